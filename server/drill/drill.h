#pragma once

#include "server/storage/storage.h"

#include <QSslConfiguration>
#include <QUrl>

namespace qav {

// What `qav-server drill` is told, checked by the command line.
struct DrillSettings
{
    QUrl server;
    QSslConfiguration tls;
    int stations = 50;
    int bookings = 10000;
    int seconds = 60;
    double rate = 22;
    QString venue; // a real venue to hold the drill in; empty: one of its own
};

// The drill against settings.server on storage, the database that server serves: what earlier
// drills left removed, its own performance, bookings and operator laid out (in `venue` when one
// is given, else a venue of its own; unknown: cli::NotFound), stations signed in, the scans made
// and printed, and everything it made removed on every way out. Returns the exit code: 1 when
// interrupted or when a scan failed or was answered otherwise than expected.
int runDrill(Storage &storage, const DrillSettings &settings);

} // namespace qav
