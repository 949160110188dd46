// Summary and dashboard latency at a stadium's size, the gates beside polling dashboards, and
// the server's memory.

#include "bench/server/bench.h"
#include "server/cli/demoseed.h"
#include "server/storage/storage.h"
#include "tests/support/RawHttp.h"

#include <QDate>
#include <QDateTime>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

namespace bench {

namespace {

// The dashboard's update as the page asks for it every 2 seconds, signed in as the demo admin;
// empty when the sign-in is refused.
QByteArray dashboardRequest(quint16 port, const QByteArray &bizcode)
{
    const QByteArray body = R"({"id":"admin","password":"admin"})";
    const qavtest::RawReply r = qavtest::exchange(
        port, "POST /api/admin/sign-in HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
              "application/json\r\nContent-Length: " +
                  QByteArray::number(body.size()) + "\r\n\r\n" + body);
    static const QRegularExpression cookieRe(QStringLiteral("(?i)\r\nset-cookie:\\s*([^;\r]+)"));
    const auto cookie = cookieRe.match(QString::fromLatin1(r.head));
    if (r.status != 200 || !cookie.hasMatch())
        return {};
    return "GET /api/dashboard?bizcode=" + bizcode +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + cookie.captured(1).toLatin1() +
           "\r\nX-CSRF-Token: " + r.json().value(u"csrfToken").toString().toLatin1() + "\r\n\r\n";
}

// A connection for bulk statements straight into the database the server serves.
QSqlDatabase bulkConnection(const QString &url)
{
    const QString path = qav::sqlitePathOf(url);
    QSqlDatabase db = QSqlDatabase::addDatabase(path.isEmpty() ? QStringLiteral("QPSQL")
                                                               : QStringLiteral("QSQLITE"),
                                                QStringLiteral("bench-bulk"));
    if (path.isEmpty()) {
        const QUrl u(url);
        db.setHostName(u.host());
        db.setPort(u.port(5432));
        db.setUserName(u.userName());
        db.setPassword(u.password());
        db.setDatabaseName(u.path().mid(1));
    } else {
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=15000"));
    }
    return db;
}

// Runs statements straight in the database the server serves (binding now's time stamp where
// one has a ?); false after printing why when one fails.
bool runBulk(const QString &url, const QStringList &statements)
{
    bool ok = true;
    {
        QSqlDatabase db = bulkConnection(url);
        if (!db.open()) {
            std::fprintf(stderr, "bench: %s\n", qPrintable(db.lastError().text()));
            ok = false;
        }
        const QString now = QDateTime::currentDateTime().toString(u"yyyy-MM-dd HH:mm:ss"_qs);
        for (const QString &sql : statements) {
            if (!ok)
                break;
            QSqlQuery q(db);
            bool done = false;
            if (sql.contains(u'?')) {
                q.prepare(sql);
                q.addBindValue(now);
                done = q.exec();
            } else {
                done = q.exec(sql);
            }
            if (!done) {
                std::fprintf(stderr, "bench: %s\n", qPrintable(q.lastError().text()));
                ok = false;
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-bulk"));
    return ok;
}

// A stadium's performance of the demo's venue: `bookings` bookings (six in ten inside, one in ten
// gone out again, one in fifty re-entered, one in 500 cancelled) and `auditRows` scans of 200 gate
// operators over the last 12 hours, one in twenty refused, the last `recentRows` of them within
// the last 30 minutes; then the counters counted once, as the schema step does for an older
// database.
bool fillStadium(const QString &url, const QString &bizcode, int bookings, int auditRows,
                 int recentRows = 0)
{
    try {
        qav::openStorage(url)->putPerformance(
            {bizcode, u"1234"_qs, u"스타디움 공연"_qs,
             QDate::currentDate().toString(u"yyyyMMdd"_qs) + u"2000"_qs, u"주경기장"_qs});
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench: %s\n", e.what());
        return false;
    }
    const bool sqlite = !qav::sqlitePathOf(url).isEmpty();
    // Rows numbered i from 0 to n - 1.
    const auto series = [&](int n, const QString &insert, const QString &select) {
        return sqlite ? QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1"
                                       " FROM n WHERE i < %1) %2 %3 FROM n")
                            .arg(n - 1)
                            .arg(insert, select)
                      : QStringLiteral("%2 %3 FROM generate_series(CAST(0 AS BIGINT), %1) AS n(i)")
                            .arg(n - 1)
                            .arg(insert, select);
    };
    // Seconds before now of row i: the older rows over the 12 hours before the last 30 minutes,
    // the recent ones over those.
    const QString ago = recentRows > 0
                            ? QStringLiteral("(CASE WHEN i >= %1 THEN (%2 - 1 - i) * 1800 / %3"
                                             " ELSE 1800 + (%1 - 1 - i) * 41400 / %1 END)")
                                  .arg(auditRows - recentRows)
                                  .arg(auditRows)
                                  .arg(recentRows)
                            : QStringLiteral("((%1 - 1 - i) * 43200 / %1)").arg(auditRows);
    const QString stamp =
        sqlite
            ? QStringLiteral("strftime('%Y-%m-%d %H:%M:%S', ?, '-' || %1 || ' seconds')").arg(ago)
            : QStringLiteral("to_char(CAST(? AS timestamp) - %1 * INTERVAL '1 second',"
                             " 'YYYY-MM-DD HH24:MI:SS')")
                  .arg(ago);
    const QStringList fill = {
        series(bookings,
               u"INSERT INTO bookings (bizcode, ticket_no, cust_name, seat_grade, seat_info,"
               " cancelled, inside, entries, exits)"_qs,
               u"SELECT '"_qs + bizcode +
                   u"', 'S' || (100000 + i), '관객' || i, 'R석', 'A' || i,"
                   " CASE WHEN i % 500 = 0 THEN 1 ELSE 0 END,"
                   " CASE WHEN i % 10 < 6 THEN 1 ELSE 0 END,"
                   " CASE WHEN i % 10 < 7 THEN (CASE WHEN i % 50 = 0 THEN 2 ELSE 1 END) ELSE 0 END,"
                   " CASE WHEN i % 10 = 6 OR i % 50 = 0 THEN 1 ELSE 0 END"_qs),
        series(auditRows,
               u"INSERT INTO scan_log (scanned_at, operator_id, bizcode, ticket_raw, mode,"
               " result_code, result_msg, duration_us, client_address, kind)"_qs,
               u"SELECT "_qs + stamp + u", 'gate' || (i % 200), '"_qs + bizcode +
                   u"', 'S' || (100000 + i % 100000),"
                   " CASE WHEN i % 3 = 2 THEN 'O' ELSE 'I' END,"
                   " CASE WHEN i % 20 = 0 THEN '-2' WHEN i % 3 = 2 THEN '2' ELSE '0' END,"
                   " '입장 확인', 900, '127.0.0.1', 'scan'"_qs),
    };
    if (!runBulk(url, fill))
        return false;
    try {
        qav::openStorage(url)->recountCounters();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench: %s\n", e.what());
        return false;
    }
    if (sqlite)
        return true;
    // What the server's connections leave between two folds of the counters at a stadium's pace
    // (22 scans/s for ten seconds: each connection's own row of the booking counters and of the
    // minute, one more row of each gate and of its minute), zero rows costing a read as much as
    // any; and the tables as autovacuum would leave them after such a day.
    const QString of = u" WHERE bizcode = '"_qs + bizcode + u"' AND shard = 0"_qs;
    return runBulk(
        url,
        {u"INSERT INTO booking_counts (bizcode, shard) SELECT bizcode, s"
         " FROM booking_counts, generate_series(1, 15) AS g(s)"_qs +
             of,
         u"INSERT INTO minute_counts (bizcode, minute, shard)"
         " SELECT bizcode, MAX(minute), s FROM minute_counts, generate_series(1, 15) AS g(s)"_qs +
             of + u" GROUP BY bizcode, s"_qs,
         u"INSERT INTO gate_counts (bizcode, operator_id, shard)"
         " SELECT bizcode, operator_id, 1 FROM gate_counts"_qs +
             of,
         u"INSERT INTO gate_minutes (bizcode, minute, operator_id, shard)"
         " SELECT bizcode, minute, operator_id, 1 FROM gate_minutes"_qs +
             of + u" AND minute = (SELECT MAX(minute) FROM gate_minutes"_qs + of + u")"_qs,
         u"VACUUM ANALYZE"_qs});
}

// The gates' p99 alone and while 20 supervisors' phones poll the stadium's dashboard every 2
// seconds, in turns, so that a slow spell of the machine falls on both.
bool dashboardsBesideGates(const char *name, quint16 port, const QByteArray &key,
                           const QByteArray &dashboard)
{
    constexpr int kPhones = 20;
    constexpr int kGates = 64;
    constexpr int kTurnSeconds = 4;
    Result alone, beside;
    std::atomic<qint64> polls{0}, refused{0};
    for (int round = 0; round < 3; ++round) {
        alone.add(drive(port, kGates, kTurnSeconds, key));
        std::atomic<bool> stop{false};
        // Each phone on a connection of its own, the polls spread evenly over the 2 seconds.
        std::thread phones([&] {
            QElapsedTimer clock;
            clock.start();
            for (qint64 n = 0; !stop; ++n) {
                const qint64 due = n * 2000 / kPhones;
                while (!stop && clock.elapsed() < due)
                    QThread::msleep(5);
                if (stop)
                    break;
                const qavtest::RawReply r = qavtest::exchange(port, dashboard);
                ++polls;
                refused += r.status == 200 ? 0 : 1;
            }
        });
        beside.add(drive(port, kGates, kTurnSeconds, key));
        stop = true;
        phones.join();
    }
    report((QByteArray(name) + " 64 gates").constData(), alone, 0);
    report((QByteArray(name) + " + 20 dashboards").constData(), beside, 0);
    std::printf("  %lld dashboard polls (%lld not answered 200); gates' p99 beside them / alone,"
                " in turns: %.2fx (target <= 1.2)\n",
                static_cast<long long>(polls.load()), static_cast<long long>(refused.load()),
                beside.p99Ms / alone.p99Ms);
    std::fflush(stdout);
    return refused == 0;
}

} // namespace

int countersBench(const QList<std::pair<const char *, QString>> &databases, int repeats)
{
    std::printf("%-11s %-34s %-21s %-21s\n", "database", "performance", "summary p50 / p99",
                "dashboard p50 / p99");
    for (const auto &[name, url] : databases) {
        try {
            const auto storage = qav::openStorage(url);
            qav::seedDemo(*storage);
            for (const QString &stadium : {u"STADIUM1"_qs, u"STADIUM2"_qs}) {
                storage->clearPerformance(stadium);
                storage->removePerformance(stadium);
            }
        } catch (const std::exception &e) {
            std::fprintf(stderr, "bench: %s: %s\n", name, e.what());
            return 1;
        }
        ServerOptions options;
        options.databaseUrl = url;
        const auto server = startServer(options);
        const quint16 port = server->port();
        if (port == 0)
            return 1;
        const qint64 rssStart = server->rssKb();
        QByteArray key = signIn(port);
        const QByteArray demoDashboard = dashboardRequest(port, "GRVM0001");
        if (key.isEmpty() || demoDashboard.isEmpty()) {
            std::fprintf(stderr, "bench: %s: the demo's gate01 or admin could not sign in\n", name);
            return 1;
        }
        const auto line = [&](const char *what, const Result &summary, const Result &dashboard) {
            std::printf("%-11s %-34s %6.2f / %6.2f ms     %6.2f / %6.2f ms\n", name, what,
                        summary.p50Ms, summary.p99Ms, dashboard.p50Ms, dashboard.p99Ms);
            std::fflush(stdout);
        };
        // Latencies of `count` requests, added to a result.
        const auto measure = [&](Result &into, const QByteArray &request, int count) {
            Result r;
            if (!requestLatency(port, request, count, &r.latenciesUs))
                return false;
            into.add(r);
            return true;
        };
        Result demoSummary, demoDash;
        if (!measure(demoSummary, summaryRequest(key), repeats) ||
            !measure(demoDash, demoDashboard, repeats))
            return 1;
        line("demo: 300 bookings, 4 audit rows", demoSummary, demoDash);

        if (!fillStadium(url, u"STADIUM1"_qs, 100000, 1000000) ||
            !fillStadium(url, u"STADIUM2"_qs, 100000, 1000000, 100000))
            return 1;
        // Signed in again: a slow machine's fill can outlast an idle dashboard session.
        key = signIn(port);
        const QByteArray dashboards[3] = {dashboardRequest(port, "GRVM0001"),
                                          dashboardRequest(port, "STADIUM1"),
                                          dashboardRequest(port, "STADIUM2")};
        const QByteArray bizcodes[3] = {"GRVM0001", "STADIUM1", "STADIUM2"};
        Result sum[3], dash[3];
        for (int turn = 0; turn < 10; ++turn) {
            for (int i = 0; i < 3; ++i) {
                if (!measure(sum[i], summaryRequest(key, bizcodes[i]), repeats / 10) ||
                    !measure(dash[i], dashboards[i], repeats / 10))
                    return 1;
            }
        }
        line("demo beside the stadiums", sum[0], dash[0]);
        line("stadium: 100,000 bookings, 10^6 rows", sum[1], dash[1]);
        line("  and 10^5 of them in the last 30 min", sum[2], dash[2]);
        std::printf("%-11s %-34s %6.2fx            %6.2fx (in turns)\n", name, "stadium / demo",
                    sum[1].p50Ms / sum[0].p50Ms, dash[1].p50Ms / dash[0].p50Ms);
        const double slowest = std::max({dash[0].p50Ms, dash[1].p50Ms, dash[2].p50Ms});
        const double fastest = std::min({dash[0].p50Ms, dash[1].p50Ms, dash[2].p50Ms});
        std::printf("%-11s %-34s %27s %6.2fx (target <= 1.5)\n", name, "slowest / fastest", "",
                    slowest / fastest);
        if (!dashboardsBesideGates(name, port, key, dashboards[1]))
            return 1;
        const qint64 rssEnd = server->rssKb();
        std::printf("%-11s server RSS %.1f MB at start, %.1f MB after the stadium's run"
                    " (+%.1f MB; target <= 64)\n",
                    name, double(rssStart) / 1024, double(rssEnd) / 1024,
                    double(rssEnd - rssStart) / 1024);
    }
    std::printf("targets: summary p50 <= 1 ms, dashboard p50 <= 5 ms at each size\n");
    return 0;
}

} // namespace bench
