// Several servers on one PostgreSQL database, beside pgbench, and no double admission.

#include "bench/server/bench.h"
#include "server/cli/demoseed.h"
#include "server/storage/storage.h"
#include "tests/support/RawSql.h"

#include <QUrl>

#include <cstdio>

namespace bench {

namespace {

// Connections other clients hold to the database of url; -1 when it cannot be asked.
int pgConnections(const QString &url)
{
    return int(qavtest::RawSql(url).number(
        QStringLiteral("SELECT count(*) FROM pg_stat_activity WHERE datname"
                       " = current_database() AND pid <> pg_backend_pid()")));
}

} // namespace

bool severalProcesses(const QString &url, int processes, int clients, int seconds,
                      const QStringList &serverArgs, const QString &dir)
{
    constexpr int kGateTickets = 80000001;
    constexpr int kPgbenchTickets = 81000001;
    const QString bizcode = QStringLiteral("GRVM0001");
    std::unique_ptr<qav::Storage> storage;
    qsizetype auditBefore = 0;
    QHash<QString, bool> inside;
    try {
        storage = qav::openStorage(url);
        qav::seedDemo(*storage);
        QList<qav::Booking> bookings;
        for (int i = 0; i < clients; ++i)
            for (const int first : {kGateTickets, kPgbenchTickets})
                bookings.append({bizcode, QString::number(first + i), QStringLiteral("관객"),
                                 QStringLiteral("R석"), QStringLiteral("1층"), false});
        storage->putBookings(bookings);
        for (const qav::BookingRecord &b : storage->bookings(bizcode)) {
            nextIsEntry()[b.booking.ticketNo.toLatin1()] = !b.inside;
            inside[b.booking.ticketNo] = b.inside;
        }
        auditBefore = storage->scanLog(bizcode).size();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench: %s\n", e.what());
        return false;
    }
    const int before = pgConnections(url);
    std::vector<std::unique_ptr<ServerProcess>> servers;
    QList<quint16> ports;
    for (int i = 0; i < processes; ++i) {
        ServerOptions options;
        options.databaseUrl = url;
        options.serveArguments = serverArgs;
        servers.push_back(startServer(options));
        if (servers.back()->port() == 0)
            return false;
        ports << servers.back()->port();
    }
    const QByteArray key = signIn(ports[0]);
    if (key.isEmpty()) {
        std::fprintf(stderr, "bench: gate01 could not sign in\n");
        return false;
    }
    const int connections = pgConnections(url) - before;
    std::printf("%d servers on one PostgreSQL database, %d gates spread over them: %d connections "
                "to PostgreSQL (%.1f a server)\n",
                processes, clients, connections, double(connections) / processes);

    Result served;
    double tps = 0;
    bool ran = true;
    const int turn = std::max(1, seconds / 2);
    const QByteArray pgbenchTickets =
        QByteArray::number(kPgbenchTickets) + " + :client_id % " + QByteArray::number(clients);
    for (int round = 0; round < 2; ++round) {
        served.add(driveAcross(ports, clients, turn, key, 0, kGateTickets, clients));
        const double t =
            ran ? runPgbench(url, clients, turn, QStringLiteral("simple"), dir, pgbenchTickets)
                : -1;
        ran = t >= 0;
        tps += t / 2;
    }
    report(qPrintable(QStringLiteral("%1 servers").arg(processes)), served, 0);
    if (ran)
        std::printf("%-22s %9.0f verifications/s   servers / pgbench, in turns: %.2fx "
                    "(target >= 0.5)\n",
                    qPrintable(QStringLiteral("pgbench %1 clients").arg(clients)), tps,
                    served.perSecond / tps);
    else
        std::printf("  pgbench could not run (are %d more connections allowed?)\n", clients);

    qint64 admissions = 0;
    qint64 doubles = 0;
    const QList<qav::ScanLogEntry> audit = storage->scanLog(bizcode);
    for (qsizetype i = auditBefore; i < audit.size(); ++i) {
        const qav::ScanLogEntry &e = audit[i];
        const int ticket = e.ticketRaw.toInt();
        if (e.kind != QLatin1String(qav::kAuditScan) || ticket < kGateTickets ||
            ticket >= kGateTickets + clients)
            continue;
        const bool entered =
            e.resultCode == QLatin1String("0") || e.resultCode == QLatin1String("1");
        const bool left = e.resultCode == QLatin1String("2");
        if (entered) {
            ++admissions;
            doubles += inside[e.ticketRaw] ? 1 : 0;
        }
        if (entered || left)
            inside[e.ticketRaw] = entered;
    }
    std::printf("  double admissions: %lld of %lld admissions\n", static_cast<long long>(doubles),
                static_cast<long long>(admissions));
    std::fflush(stdout);
    return doubles == 0;
}

} // namespace bench
