#pragma once

#include <QList>
#include <QSslConfiguration>
#include <QSslError>
#include <QString>

// Whom the station believes when a server address is https: the system's CAs and, when the build
// names one (QAV_SERVER_CA), the venue's own CA installed with the station. A certificate that
// chains to neither, or is not for the address's host, fails the call; the station never falls
// back to plain HTTP.
namespace ServerCertificates {

// The TLS settings for every https request of the station.
QSslConfiguration configuration();

// The CA file the build names, where the station reads it; empty when the build names none.
QString caFile();

// Points the own CA elsewhere (empty: none) for the rest of the process: only tests call this.
void overrideCaFile(const QString &file);

// The operator's sentence for a refused certificate, Korean and English, with the details.
QString refusal(const QList<QSslError> &errors, const QString &fallback);

} // namespace ServerCertificates
