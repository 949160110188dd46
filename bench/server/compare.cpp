// This build's server beside another build's: scan throughput, p99 and bytes per scan.

#include "bench/server/bench.h"
#include "tests/support/RawHttp.h"
#include "tests/support/RawSql.h"

#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <cstdio>

namespace bench {

namespace {

// Bytes the database's tables and indexes take, WAL included; -1 when it cannot be read.
qint64 databaseBytes(const QString &url)
{
    const bool sqlite = !url.startsWith(QLatin1String("postgresql://"));
    const qavtest::RawSql db(url);
    const qint64 bytes =
        db.number(sqlite ? u"SELECT SUM(pgsize) FROM dbstat"_qs
                         : u"SELECT SUM(pg_total_relation_size(oid)) FROM pg_class WHERE relkind ="
                           " 'r' AND relnamespace = 'public'::regnamespace"_qs);
    if (bytes < 0)
        std::fprintf(stderr, "bench: cannot read the database's size: %s\n",
                     qPrintable(db.errorText()));
    return bytes;
}

// Runs sql on the database with Qt's driver, outside any qav code (which would upgrade an older
// version's schema).
bool runSql(const QString &url, const QStringList &statements)
{
    const qavtest::RawSql db(url);
    QSqlQuery q(db.database());
    bool ok = db.isOpen();
    for (const QString &sql : statements)
        ok = ok && q.exec(sql);
    if (!ok)
        std::fprintf(stderr, "bench: %s %s\n", qPrintable(db.errorText()),
                     qPrintable(q.lastError().text()));
    return ok;
}

// Whether that qav-server's `serve` takes the option (an older build may not).
bool knowsServeOption(const QString &binary, const QString &option)
{
    QProcess help;
    help.start(binary, {u"serve"_qs, u"--help"_qs});
    help.waitForFinished(30000);
    return QString::fromUtf8(help.readAllStandardOutput() + help.readAllStandardError())
        .contains(option);
}

// One server binary's scan throughput and p99 on the demo, and the bytes its database grows by
// per accepted scan of a ticket of the station's longest length (15 characters).
struct TicketFigures
{
    Result speed;
    double bytesPerScan = 0;
};

TicketFigures ticketRun(const QString &binary, bool ours, const QString &url, int clients,
                        int seconds)
{
    constexpr int kScans = 2000;
    TicketFigures f;
    ServerOptions options;
    options.quiet = true;
    options.databaseUrl = url;
    options.serveArguments = {u"--max-connections-per-address"_qs, u"1000"_qs};
    // One session drives every simulated gate: lift its scan ceiling wherever the build has one.
    if (ours || knowsServeOption(binary, u"--session-scan-rate"_qs))
        options.serveArguments << u"--session-scan-rate"_qs << u"1000000"_qs;
    QStringList bookings;
    for (int i = 0; i < kScans; ++i)
        bookings << QStringLiteral("INSERT INTO bookings (bizcode, ticket_no) VALUES"
                                   " ('GRVM0001', 'T%1')")
                        .arg(i, 14, 10, QLatin1Char('0'));
    ServerProcess server(binary, options);
    if (!server.start() || !runSql(url.isEmpty() ? server.databasePath() : url, bookings)) {
        std::fprintf(stderr, "bench: %s\n", qPrintable(server.errorText()));
        return f;
    }
    const QString db = url.isEmpty() ? server.databasePath() : url;
    const QByteArray key = signIn(server.port());
    nextIsEntry().clear();
    f.speed = drive(server.port(), clients, seconds, key);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, server.port());
    socket.waitForConnected(5000);
    const qint64 before = databaseBytes(db);
    for (int i = 0; i < kScans; ++i) {
        const QByteArray ticket = 'T' + QByteArray::number(i).rightJustified(14, '0');
        Gate g;
        g.ticket = ticket;
        g.entry = true;
        if (qavtest::exchange(socket, request(g, key, 1000000 + i)).column(u"ErrCode"_qs) !=
            u"0"_qs)
            std::fprintf(stderr, "bench: %s was not admitted\n", ticket.constData());
    }
    server.stop();
    f.bytesPerScan = double(databaseBytes(db) - before) / kScans;
    return f;
}

} // namespace

int compareBench(const QString &other, const QString &pgUrl, int clients, int seconds)
{
    QList<std::pair<const char *, QString>> databases = {{"sqlite", QString()}};
    if (!pgUrl.isEmpty())
        databases.append({"postgresql", pgUrl});
    for (const auto &[name, url] : databases) {
        TicketFigures sum[2];
        constexpr int kRounds = 3;
        for (int round = 0; round < kRounds; ++round) {
            for (int which = 0; which < 2; ++which) {
                if (!url.isEmpty() &&
                    !runSql(url, {u"DROP SCHEMA public CASCADE"_qs, u"CREATE SCHEMA public"_qs}))
                    return 1;
                const TicketFigures f = ticketRun(which == 0 ? other : qavServerBinary(),
                                                  which == 1, url, clients, seconds);
                sum[which].speed.add(f.speed);
                sum[which].bytesPerScan += f.bytesPerScan / kRounds;
            }
        }
        const char *who[2] = {"other", "this build"};
        for (int which = 0; which < 2; ++which) {
            report((QByteArray(name) + ' ' + who[which]).constData(), sum[which].speed, 0);
            std::printf("  %.0f bytes per accepted scan of a 15-character ticket\n",
                        sum[which].bytesPerScan);
        }
        std::printf("%s this build / other, in turns: throughput %.2fx, p99 %.2fx, bytes per scan "
                    "%.2fx\n",
                    name, sum[1].speed.perSecond / sum[0].speed.perSecond,
                    sum[1].speed.p99Ms / sum[0].speed.p99Ms,
                    sum[1].bytesPerScan / sum[0].bytesPerScan);
        std::fflush(stdout);
    }
    return 0;
}

} // namespace bench
