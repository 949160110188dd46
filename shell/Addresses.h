#pragma once

#include <QString>

// The fixed addresses of the business-object server and of the image server. They are set when
// the program is built; the station has no setting for them.
QString ServerAddress();
QString ImageServerAddress();

// Points both addresses elsewhere for the rest of the process: only tests and benchmarks, which
// run their own servers on free ports, call this.
void overrideAddresses(const QString &server, const QString &imageServer);
