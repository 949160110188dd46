// The default bench: scan throughput through HTTP on SQLite and PostgreSQL, against the
// constant server, a plain SQLite loop and pgbench.

#include "bench/server/bench.h"
#include "server/cli/demoseed.h"
#include "server/storage/storage.h"

#include <QDir>
#include <QFile>

#include <sqlite3.h>

#include <cstdio>

namespace bench {

namespace {

// The same transaction as a verification, in a plain loop on one connection with the server's
// settings: conditional UPDATE ... RETURNING and the audit INSERT, committed one by one.
Result plainSqliteLoop(const QString &path, int gates, int seconds)
{
    Result result;
    sqlite3 *db = nullptr;
    if (sqlite3_open(path.toUtf8().constData(), &db) != SQLITE_OK) {
        std::fprintf(stderr, "bench: cannot open %s\n", qPrintable(path));
        sqlite3_close(db);
        return result;
    }
    sqlite3_exec(
        db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL; PRAGMA busy_timeout = 15000",
        nullptr, nullptr, nullptr);
    const char *updateSql[2] = {
        "UPDATE bookings SET inside = 1, entries = entries + 1, last_entry_at = ?1, last_entry_by "
        "= 'loop'"
        " WHERE bizcode = 'GRVM0001' AND ticket_no = ?2 AND cancelled = 0 AND inside = 0"
        " RETURNING cust_name, seat_grade, seat_info, exits",
        "UPDATE bookings SET inside = 0, exits = exits + 1, last_exit_at = ?1, last_exit_by = "
        "'loop'"
        " WHERE bizcode = 'GRVM0001' AND ticket_no = ?2 AND cancelled = 0 AND inside = 1"
        " RETURNING cust_name, seat_grade, seat_info, exits"};
    const char *insertSql =
        "INSERT INTO scan_log (scanned_at, operator_id, bizcode, ticket_raw, mode, result_code,"
        " result_msg, duration_us) VALUES (?1, 'loop', 'GRVM0001', ?2, ?3, ?4, '', 0)";
    sqlite3_stmt *update[2] = {nullptr, nullptr};
    sqlite3_stmt *insert = nullptr;
    sqlite3_stmt *begin = nullptr;
    sqlite3_stmt *commit = nullptr;
    sqlite3_prepare_v2(db, updateSql[0], -1, &update[0], nullptr);
    sqlite3_prepare_v2(db, updateSql[1], -1, &update[1], nullptr);
    sqlite3_prepare_v2(db, insertSql, -1, &insert, nullptr);
    sqlite3_prepare_v2(db, "BEGIN IMMEDIATE", -1, &begin, nullptr);
    sqlite3_prepare_v2(db, "COMMIT", -1, &commit, nullptr);
    std::vector<bool> inside(size_t(gates), false);
    const QByteArray stamp = "2026-01-01 00:00:00";
    QElapsedTimer wall;
    wall.start();
    for (qint64 n = 0; wall.elapsed() < seconds * 1000LL; ++n) {
        const size_t gate = size_t(n % gates);
        const QByteArray ticket = QByteArray::number(10000001 + qint64(gate) % 290);
        const int mode = inside[gate] ? 1 : 0;
        sqlite3_step(begin);
        sqlite3_reset(begin);
        sqlite3_bind_text(update[mode], 1, stamp.constData(), int(stamp.size()), SQLITE_STATIC);
        sqlite3_bind_text(update[mode], 2, ticket.constData(), int(ticket.size()),
                          SQLITE_TRANSIENT);
        const bool changed = sqlite3_step(update[mode]) == SQLITE_ROW;
        while (sqlite3_step(update[mode]) == SQLITE_ROW) {
        }
        sqlite3_reset(update[mode]);
        sqlite3_bind_text(insert, 1, stamp.constData(), int(stamp.size()), SQLITE_STATIC);
        sqlite3_bind_text(insert, 2, ticket.constData(), int(ticket.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 3, mode ? "O" : "I", 1, SQLITE_STATIC);
        sqlite3_bind_text(insert, 4, changed ? "0" : "-2", -1, SQLITE_STATIC);
        sqlite3_step(insert);
        sqlite3_reset(insert);
        if (sqlite3_step(commit) != SQLITE_DONE)
            ++result.failed;
        else if (changed)
            ++result.done;
        sqlite3_reset(commit);
        inside[gate] = !inside[gate];
    }
    result.perSecond = double(result.done) / (double(wall.nsecsElapsed()) / 1e9);
    for (sqlite3_stmt *st : {update[0], update[1], insert, begin, commit})
        sqlite3_finalize(st);
    sqlite3_close(db);
    return result;
}

// Audit rows as many gates would leave them: one transaction of plain inserts.
void fillAuditLog(const QString &path, int rows)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open(path.toUtf8().constData(), &db) != SQLITE_OK) {
        sqlite3_close(db);
        return;
    }
    sqlite3_exec(db, "PRAGMA busy_timeout = 15000; BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    sqlite3_stmt *insert = nullptr;
    sqlite3_prepare_v2(
        db,
        "INSERT INTO scan_log (scanned_at, operator_id, bizcode, ticket_raw, mode, result_code,"
        " result_msg, duration_us) VALUES ('2026-01-01 00:00:00', 'filler', 'GRVM0001', ?1, 'I', "
        "'0',"
        " '입장 확인', 900)",
        -1, &insert, nullptr);
    for (int i = 0; i < rows; ++i) {
        sqlite3_bind_int(insert, 1, 10000001 + i % 290);
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

} // namespace

double constantBaseline(int clients, int seconds)
{
    ServerOptions constant;
    constant.constantAnswer = true;
    const auto server = startServer(constant);
    const quint16 port = server->port();
    if (port == 0)
        return -1;
    const Result r = drive(port, clients, seconds, "none");
    report("constant", r, 0);
    return r.perSecond;
}

bool layDemo(const char *name, const QString &url)
{
    try {
        const std::unique_ptr<qav::Storage> storage = qav::openStorage(url);
        qav::seedDemo(*storage);
        // The demo has some tickets inside already: those are scanned out first.
        for (const qav::BookingRecord &b : storage->bookings(QStringLiteral("GRVM0001")))
            nextIsEntry()[b.booking.ticketNo.toLatin1()] = !b.inside;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench: %s: %s\n", name, e.what());
        return false;
    }
    return true;
}

bool scansBench(const char *name, const QString &url, const QStringList &serverArgs, int clients,
                int seconds, double baseline, const QString &dir)
{
    const int nClients = clients;
    const int nSeconds = seconds;
    const bool sqlite = QLatin1String(name) == QLatin1String("sqlite");
    double sqliteLoop = 0;
    if (sqlite) {
        // The plain loop on a copy, so the server starts from the same data.
        const QString copy = QDir(dir).filePath(QStringLiteral("loop.db"));
        QFile::copy(url, copy);
        const Result loop = plainSqliteLoop(copy, nClients, nSeconds);
        report("sqlite plain C loop", loop, baseline);
        sqliteLoop = loop.perSecond;
    }
    ServerOptions options;
    options.databaseUrl = url;
    options.serveArguments = serverArgs;
    const auto server = startServer(options);
    const quint16 port = server->port();
    if (port == 0)
        return false;
    const QByteArray key = signIn(port);
    if (key.isEmpty()) {
        std::fprintf(stderr, "bench: %s: gate01 could not sign in\n", name);
        return false;
    }
    const int turn = std::max(1, nSeconds / 2);
    if (sqlite) {
        const Result alone = drive(port, nClients, nSeconds, key);
        report(name, alone, baseline);
        if (sqliteLoop > 0)
            std::printf("  sqlite server / plain loop: %.2fx (target >= 1.0)\n",
                        alone.perSecond / sqliteLoop);
    } else {
        // The server and pgbench in turns, so that a slow spell of the machine falls on both.
        Result alone;
        double tps[2] = {0, 0};
        bool ran[2] = {true, true};
        const QString protocols[2] = {QStringLiteral("simple"), QStringLiteral("prepared")};
        for (int round = 0; round < 2; ++round) {
            alone.add(drive(port, nClients, turn, key));
            for (int i = 0; i < 2; ++i) {
                const double t = ran[i] ? runPgbench(url, nClients, turn, protocols[i], dir) : -1;
                ran[i] = t >= 0;
                tps[i] += t / 2;
            }
        }
        report(name, alone, baseline);
        for (int i = 0; i < 2; ++i) {
            if (!ran[i]) {
                std::printf("  pgbench (%s) could not run\n", qPrintable(protocols[i]));
                continue;
            }
            std::printf("%-22s %9.0f verifications/s   server / pgbench, in turns: %.2fx%s\n",
                        qPrintable(QStringLiteral("pgbench ") + protocols[i]), tps[i],
                        alone.perSecond / tps[i], i == 0 ? " (target >= 0.5)" : "");
        }
    }
    // Alone and with sign-ins in turns, so that a slow spell of the machine falls on both.
    Result quiet;
    Result withSignIns;
    for (int round = 0; round < 4; ++round) {
        quiet.add(drive(port, nClients, turn, key, 0, 10000101));
        withSignIns.add(drive(port, nClients, turn, key, 8, 10000101));
    }
    report((QByteArray(name) + " in turns").constData(), quiet, baseline);
    report((QByteArray(name) + " + 8 sign-ins").constData(), withSignIns, baseline);
    std::printf("  %lld sign-ins answered meanwhile (%.1f/s)\n",
                static_cast<long long>(withSignIns.signIns),
                double(withSignIns.signIns) / withSignIns.seconds);
    if (quiet.p99Ms > 0)
        std::printf(
            "  p99 with 8 operators signing in / without, in turns: %.2fx (target <= 1.5)\n",
            withSignIns.p99Ms / quiet.p99Ms);
    if (sqlite) {
        const auto [emptyP50, emptyP99] = summaryLatency(port, key, 200);
        fillAuditLog(url, 1000000);
        const auto [fullP50, fullP99] = summaryLatency(port, key, 200);
        std::printf("summary through HTTP: p50 %.2f ms p99 %.2f ms with the demo's audit rows;"
                    " p50 %.2f ms p99 %.2f ms with 10^6 more (target <= 5 ms)\n",
                    emptyP50, emptyP99, fullP50, fullP99);
    }
    std::fflush(stdout);
    return true;
}

} // namespace bench
