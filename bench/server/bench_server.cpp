// Drives many concurrent gates through HTTP against qav-server and prints verifications per
// second with p50/p99 latency: first a server answering a constant record set, then SQLite, then
// PostgreSQL (--pg URL or QAV_TEST_PG_URL; its demo data is laid anew). The ratio to the constant
// server is what the database costs. With --processes N, N servers then share the PostgreSQL
// database, the gates spread over them, beside pgbench at the same client count.

// Each bench has a file of its own; this one reads the options and picks the bench.

#include "bench/server/bench.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

using namespace bench;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription(
        QStringLiteral("Verification throughput of qav-server through HTTP."));
    p.addHelpOption();
    const QCommandLineOption clients(QStringLiteral("clients"),
                                     QStringLiteral("Concurrent gates (default 32)."),
                                     QStringLiteral("n"), QStringLiteral("32"));
    const QCommandLineOption seconds(QStringLiteral("seconds"),
                                     QStringLiteral("Length of each run (default 4)."),
                                     QStringLiteral("s"), QStringLiteral("4"));
    const QCommandLineOption pg(
        QStringLiteral("pg"),
        QStringLiteral("PostgreSQL URL to measure too (default: QAV_TEST_PG_URL). "
                       "Its demo data is laid anew."),
        QStringLiteral("url"));
    const QCommandLineOption connections(
        QStringLiteral("db-connections"),
        QStringLiteral("The server's database connections (default: its own)."),
        QStringLiteral("n"));
    const QCommandLineOption only(
        QStringLiteral("only"), QStringLiteral("Measure only this database: sqlite or postgresql."),
        QStringLiteral("name"));
    const QCommandLineOption processes(
        QStringLiteral("processes"),
        QStringLiteral("Then this many servers on the PostgreSQL database, the gates spread over "
                       "them (--only processes measures only that)."),
        QStringLiteral("n"));
    const QCommandLineOption sealing(
        QStringLiteral("sealing"),
        QStringLiteral("Measure only the audit's sealing: off and on in turns, then a season of "
                       "--season verifications checked by audit verify."));
    const QCommandLineOption season(QStringLiteral("season"),
                                    QStringLiteral("Verifications of the season (default 100000)."),
                                    QStringLiteral("n"), QStringLiteral("100000"));
    const QCommandLineOption counters(
        QStringLiteral("counters"),
        QStringLiteral("Measure only summary and dashboard latency at 300 and at 100,000 bookings "
                       "with 10^6 audit rows, and the server's memory."));
    const QCommandLineOption compare(
        QStringLiteral("compare-with"),
        QStringLiteral("Measure only scan throughput, p99 and the database's bytes per scan of a "
                       "15-character ticket, of this build's server and of this qav-server "
                       "(e.g. an older build's), in turns."),
        QStringLiteral("binary"));
    const QCommandLineOption sync(
        QStringLiteral("sync"),
        QStringLiteral("Measure only the sales system's API: the gates' p99 alone and while "
                       "100,000 bookings go in through it, and its bookings/s against "
                       "import-bookings."));
    const QCommandLineOption oneGate(
        QStringLiteral("one-gate"),
        QStringLiteral("Measure only one gate alone on SQLite: a durable verification's p50 "
                       "against the server answering a constant, beside one fdatasync."));
    const QCommandLineOption outages(
        QStringLiteral("outages"),
        QStringLiteral("Measure only the gates' longest wait and busy answers while PostgreSQL "
                       "restarts, a pg_auto_failover pair fails over and a server host dies."));
    p.addOptions({clients, seconds, pg, connections, only, processes, sealing, season, counters,
                  compare, sync, oneGate, outages});
    p.process(app);
    const int nClients = std::clamp(p.value(clients).toInt(), 1, 512);
    const int nSeconds = std::clamp(p.value(seconds).toInt(), 1, 120);
    const QString pgUrl = p.isSet(pg) ? p.value(pg) : qEnvironmentVariable("QAV_TEST_PG_URL");

    QTemporaryDir dir;
    if (p.isSet(oneGate))
        return oneGateBench(dir.path(), nSeconds);
    if (p.isSet(outages))
        return outagesBench(pgUrl, nClients, dir.path()) ? 0 : 1;
    if (p.isSet(compare))
        return compareBench(p.value(compare),
                            p.value(only) == QLatin1String("sqlite") ? QString() : pgUrl, nClients,
                            nSeconds);
    if (p.isSet(counters)) {
        QList<std::pair<const char *, QString>> databases;
        if (!p.isSet(only) || p.value(only) == QLatin1String("sqlite"))
            databases.append({"sqlite", dir.filePath(QStringLiteral("counters.db"))});
        if (pgUrl.isEmpty())
            std::printf("postgresql skipped: give --pg URL or set QAV_TEST_PG_URL\n");
        else if (!p.isSet(only) || p.value(only) == QLatin1String("postgresql"))
            databases.append({"postgresql", pgUrl});
        return countersBench(databases, 500);
    }
    std::printf("%d concurrent gates, %d s per run\n", nClients, nSeconds);

    const double baseline = constantBaseline(nClients, nSeconds);
    if (baseline < 0)
        return 1;

    QList<std::pair<const char *, QString>> databases = {
        {"sqlite", dir.filePath(QStringLiteral("bench.db"))}};
    if (!pgUrl.isEmpty())
        databases.append({"postgresql", pgUrl});
    else
        std::printf("postgresql skipped: give --pg URL or set QAV_TEST_PG_URL\n");
    QStringList serverArgs;
    if (p.isSet(connections))
        serverArgs << QStringLiteral("--db-connections") << p.value(connections);
    for (const auto &[name, url] : databases) {
        if (p.isSet(only) && p.value(only) != QLatin1String(name))
            continue;
        if (!layDemo(name, url))
            return 1;
        if (p.isSet(sync)) {
            if (!syncBench(name, url, serverArgs, nClients, nSeconds, dir.path()))
                return 1;
            continue;
        }
        if (p.isSet(sealing)) {
            benchSealing(name, url, serverArgs, nClients, nSeconds, p.value(season).toLongLong(),
                         baseline);
            continue;
        }
        if (!scansBench(name, url, serverArgs, nClients, nSeconds, baseline, dir.path()))
            return 1;
    }
    const int nProcesses = std::clamp(p.value(processes).toInt(), 0, 16);
    if (nProcesses > 0 && !pgUrl.isEmpty() &&
        !severalProcesses(pgUrl, nProcesses, nClients, nSeconds, serverArgs, dir.path()))
        return 1;
    return 0;
}
