// Drives many concurrent gates through HTTP against qav-server and prints verifications per
// second with p50/p99 latency: first a server answering a constant record set, then SQLite, then
// PostgreSQL (--pg URL or QAV_TEST_PG_URL; its demo data is laid anew). The ratio to the constant
// server is what the database costs. With --processes N, N servers then share the PostgreSQL
// database, the gates spread over them, beside pgbench at the same client count.

#include "RawHttp.h"
#include "ServerProcess.h"
#include "demoseed.h"
#include "storage.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

struct Result
{
    double perSecond = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    qint64 done = 0;
    qint64 failed = 0;  // refused or not answered 200
    qint64 busy = 0;    // of those, answered 503
    qint64 signIns = 0; // operator sign-ins answered meanwhile
    double seconds = 0;
    std::vector<qint64> latenciesUs; // sorted

    void finish()
    {
        std::sort(latenciesUs.begin(), latenciesUs.end());
        if (!latenciesUs.empty()) {
            p50Ms = double(latenciesUs[latenciesUs.size() / 2]) / 1000.0;
            p99Ms =
                double(
                    latenciesUs[std::min(latenciesUs.size() - 1, latenciesUs.size() * 99 / 100)]) /
                1000.0;
        }
        perSecond = seconds > 0 ? double(done) / seconds : 0;
    }
    // Adds another run's counts and latencies.
    void add(const Result &other)
    {
        done += other.done;
        failed += other.failed;
        busy += other.busy;
        signIns += other.signIns;
        seconds += other.seconds;
        latenciesUs.insert(latenciesUs.end(), other.latenciesUs.begin(), other.latenciesUs.end());
        finish();
    }
};

// One gate: alternates entry and exit of its own ticket so every answer is an acceptance.
struct Gate
{
    QTcpSocket socket;
    QByteArray buffer;
    QElapsedTimer sentAt;
    QByteArray ticket;
    bool entry = true;
};

// Where each ticket was left, so the next drive scans it the right way.
QHash<QByteArray, bool> &nextIsEntry()
{
    static QHash<QByteArray, bool> state;
    return state;
}

// Every request as the station sends it: in the operator's session, with its own replay key.
// The keys of one run differ from those of earlier runs, which the server keeps for ten minutes
// and would answer from its replay store.
QByteArray request(const Gate &g, const QByteArray &sessionKey, qint64 serial)
{
    static const QByteArray run = QByteArray::number(QDateTime::currentMSecsSinceEpoch(), 36);
    const QByteArray body = "Exec Proc_GRVM_Admin_GetAdminQAV_BookingInfo '" +
                            QByteArray(g.entry ? "I" : "O") + "','GRVM0001','','" + g.ticket +
                            "', 'gate01'";
    return "POST /rds/Velmor.member/Query HTTP/1.1\r\nHost: 127.0.0.1\r\nX-QAV-Client: "
           "station\r\nAuthorization: Bearer " +
           sessionKey + "\r\nIdempotency-Key: bench-" + run + '-' + QByteArray::number(serial) +
           "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QByteArray signInRequest()
{
    return qavtest::rawQuery("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo 'gate01','gate01'");
}

// Signs gate01 in once; its session serves every simulated gate. Empty when refused.
QByteArray signIn(quint16 port)
{
    return qavtest::exchange(port, signInRequest()).column(QStringLiteral("SessionKey")).toLatin1();
}

// Removes one complete response from the buffer; returns its ErrCode, or "" while incomplete.
// The code is cut out of the body rather than parsed, to keep the simulated gates cheap.
QByteArray takeReply(QByteArray &buffer)
{
    qavtest::RawReply reply;
    if (!qavtest::takeRawReply(buffer, reply))
        return {};
    if (reply.status == 503)
        return "busy";
    const qsizetype rows = reply.body.indexOf("\"rows\":[[\"");
    if (reply.status != 200 || rows < 0)
        return "error";
    return reply.body.mid(rows + 10, reply.body.indexOf('"', rows + 10) - rows - 10);
}

// Verifications from `clients` gates for `seconds`, gate i on ports[i % ports.size()] with ticket
// firstTicket + i % tickets; meanwhile `signers` operators sign in again and again (each sign-in
// checks a password hash), their answers not counted.
Result driveAcross(const QList<quint16> &ports, int clients, int seconds,
                   const QByteArray &sessionKey, int signers, int firstTicket, int tickets)
{
    const quint16 port = ports.value(0);
    static qint64 serial = 0; // never reused within a run either
    std::vector<std::unique_ptr<Gate>> gates;
    Result result;
    std::vector<qint64> &latenciesUs = result.latenciesUs;
    latenciesUs.reserve(200000);
    bool stopping = false;
    int outstanding = 0;
    QEventLoop loop;

    for (int i = 0; i < clients; ++i) {
        auto gate = std::make_unique<Gate>();
        gate->ticket = QByteArray::number(firstTicket + i % tickets);
        gate->entry = nextIsEntry().value(gate->ticket, true);
        Gate *g = gate.get();
        QObject::connect(&g->socket, &QTcpSocket::readyRead, &loop, [&, g] {
            g->buffer += g->socket.readAll();
            for (QByteArray code = takeReply(g->buffer); !code.isEmpty();
                 code = takeReply(g->buffer)) {
                --outstanding;
                latenciesUs.push_back(g->sentAt.nsecsElapsed() / 1000);
                if (code == "0" || code == "1" || code == "2")
                    ++result.done;
                else if (++result.failed <= 3)
                    std::fprintf(stderr, "bench: a verification failed: %s\n", code.constData());
                if (code == "busy")
                    ++result.busy;
                g->entry = !g->entry;
                if (stopping) {
                    if (outstanding == 0)
                        loop.quit();
                    continue;
                }
                g->sentAt.start();
                g->socket.write(request(*g, sessionKey, ++serial));
                ++outstanding;
            }
        });
        const quint16 gatePort = ports[i % ports.size()];
        g->socket.connectToHost(QHostAddress::LocalHost, gatePort);
        if (!g->socket.waitForConnected(10000)) {
            std::fprintf(stderr, "bench: cannot connect to port %u\n", gatePort);
            return result;
        }
        gates.push_back(std::move(gate));
    }
    std::vector<std::unique_ptr<Gate>> operators;
    for (int i = 0; i < signers; ++i) {
        auto op = std::make_unique<Gate>();
        Gate *g = op.get();
        QObject::connect(&g->socket, &QTcpSocket::readyRead, &loop, [&, g] {
            g->buffer += g->socket.readAll();
            while (!takeReply(g->buffer).isEmpty()) {
                ++result.signIns;
                if (!stopping)
                    g->socket.write(signInRequest());
            }
        });
        g->socket.connectToHost(QHostAddress::LocalHost, port);
        if (!g->socket.waitForConnected(10000))
            return result;
        operators.push_back(std::move(op));
    }
    QElapsedTimer wall;
    wall.start();
    for (auto &op : operators)
        op->socket.write(signInRequest());
    for (int i = 0; i < clients; ++i) {
        gates[size_t(i)]->sentAt.start();
        gates[size_t(i)]->socket.write(request(*gates[size_t(i)], sessionKey, ++serial));
        ++outstanding;
    }
    QTimer::singleShot(seconds * 1000, &loop, [&] { stopping = true; });
    QTimer::singleShot((seconds + 30) * 1000, &loop, [&] { loop.quit(); }); // never hang
    loop.exec();
    result.seconds = double(wall.nsecsElapsed()) / 1e9;
    for (const auto &g : gates)
        nextIsEntry()[g->ticket] = g->entry;
    result.finish();
    return result;
}

Result drive(quint16 port, int clients, int seconds, const QByteArray &sessionKey, int signers = 0,
             int firstTicket = 10000001)
{
    return driveAcross({port}, clients, seconds, sessionKey, signers, firstTicket, 64);
}

// A quiet qav-server on a free port, serving the database as it is.
std::unique_ptr<ServerProcess> startServer(ServerOptions options)
{
    options.initDatabase = false;
    options.quiet = true;
    // Every simulated gate connects from 127.0.0.1, which the per-address cap would stop at 64;
    // they share one session, whose ceiling is set far above what they reach (still checked).
    options.serveArguments =
        QStringList{QStringLiteral("--max-connections-per-address"), QStringLiteral("1000"),
                    QStringLiteral("--session-scan-rate"), QStringLiteral("1000000")} +
        options.serveArguments;
    return startedServer(std::move(options));
}

void report(const char *name, const Result &r, double baseline);

// Bytes the database's tables and indexes take, WAL included; -1 when it cannot be read.
qint64 databaseBytes(const QString &url)
{
    const bool sqlite = !url.startsWith(QLatin1String("postgresql://"));
    const QString name = QStringLiteral("bytes");
    qint64 bytes = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(sqlite ? u"QSQLITE"_qs : u"QPSQL"_qs, name);
        if (sqlite) {
            db.setDatabaseName(url);
        } else {
            const QUrl u(url);
            db.setHostName(u.host());
            db.setPort(u.port(5432));
            db.setUserName(u.userName());
            db.setPassword(u.password());
            db.setDatabaseName(u.path().mid(1));
        }
        QSqlQuery q(db);
        if (db.open() &&
            q.exec(sqlite ? u"SELECT SUM(pgsize) FROM dbstat"_qs
                          : u"SELECT SUM(pg_total_relation_size(oid)) FROM pg_class WHERE relkind ="
                            " 'r' AND relnamespace = 'public'::regnamespace"_qs) &&
            q.next())
            bytes = q.value(0).toLongLong();
        else
            std::fprintf(stderr, "bench: %s\n", qPrintable(q.lastError().text()));
    }
    QSqlDatabase::removeDatabase(name);
    return bytes;
}

// Runs sql on the database with Qt's driver, outside any qav code (which would upgrade an older
// version's schema).
bool runSql(const QString &url, const QStringList &statements)
{
    const bool sqlite = !url.startsWith(QLatin1String("postgresql://"));
    const QString name = QStringLiteral("sql");
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(sqlite ? u"QSQLITE"_qs : u"QPSQL"_qs, name);
        const QUrl u(url);
        db.setDatabaseName(sqlite ? url : u.path().mid(1));
        db.setHostName(u.host());
        db.setPort(u.port(5432));
        db.setUserName(u.userName());
        db.setPassword(u.password());
        ok = db.open();
        QSqlQuery q(db);
        for (const QString &sql : statements)
            ok = ok && q.exec(sql);
        if (!ok)
            std::fprintf(stderr, "bench: %s\n", qPrintable(q.lastError().text()));
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
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
    if (ours)
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

// This build's server and another (an older build's qav-server) on fresh demo databases, in
// turns, so that a slow spell of the machine falls on both.
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

void report(const char *name, const Result &r, double baseline)
{
    std::printf("%-22s %9.0f verifications/s   p50 %7.2f ms   p99 %7.2f ms   (%lld ok, %lld "
                "failed, %lld busy)",
                name, r.perSecond, r.p50Ms, r.p99Ms, static_cast<long long>(r.done),
                static_cast<long long>(r.failed), static_cast<long long>(r.busy));
    if (baseline > 0 && r.perSecond > 0)
        std::printf("   %.2fx of constant", r.perSecond / baseline);
    std::printf("\n");
    std::fflush(stdout);
}

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

// pgbench running the same kind of transaction (conditional UPDATE ... RETURNING plus the audit
// INSERT, entry then exit of one ticket per client); returns verifications per second.
double runPgbench(const QString &url, int clients, int seconds, const QString &protocol,
                  const QString &dir, const QByteArray &tickets = "10000201 + :client_id % 64")
{
    QString program = QStandardPaths::findExecutable(QStringLiteral("pgbench"));
    if (program.isEmpty()) {
        const QStringList found =
            QDir(QStringLiteral("/usr/lib/postgresql"))
                .entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::Reversed);
        for (const QString &version : found) {
            const QString candidate =
                QStringLiteral("/usr/lib/postgresql/%1/bin/pgbench").arg(version);
            if (QFileInfo::exists(candidate)) {
                program = candidate;
                break;
            }
        }
    }
    if (program.isEmpty())
        return -1;
    const QString script = QDir(dir).filePath(QStringLiteral("scan.sql"));
    QFile f(script);
    if (!f.open(QIODevice::WriteOnly))
        return -1;
    auto scan = [](const char *set, const char *where, const char *mode) {
        return QByteArray("BEGIN;\nUPDATE bookings SET ") + set +
               " WHERE bizcode = 'GRVM0001' AND ticket_no = :t::text AND cancelled = 0 AND " +
               where +
               " RETURNING cust_name, seat_grade, seat_info, exits;\n"
               "INSERT INTO scan_log (scanned_at, operator_id, bizcode, ticket_raw, mode, "
               "result_code, result_msg,"
               " duration_us) VALUES ('2026-01-01 00:00:00', 'pgbench', 'GRVM0001', :t::text, '" +
               mode + "', '0', '', 0);\nEND;\n";
    };
    f.write("\\set t " + tickets + "\n");
    f.write(
        scan("inside = 1, entries = entries + 1, last_entry_at = 'x', last_entry_by = 'pgbench'",
             "inside = 0", "I"));
    f.write(scan("inside = 0, exits = exits + 1, last_exit_at = 'x', last_exit_by = 'pgbench'",
                 "inside = 1", "O"));
    f.close();
    QProcess pgbench;
    pgbench.start(program, {QStringLiteral("-n"), QStringLiteral("-c"), QString::number(clients),
                            QStringLiteral("-j"), QStringLiteral("2"), QStringLiteral("-T"),
                            QString::number(seconds), QStringLiteral("-M"), protocol,
                            QStringLiteral("-f"), script, url});
    if (!pgbench.waitForFinished((seconds + 60) * 1000))
        return -1;
    const QString out = QString::fromUtf8(pgbench.readAllStandardOutput());
    static const QRegularExpression tps(
        QStringLiteral("tps = ([0-9.]+) \\(without initial connection time\\)"));
    const auto m = tps.match(out);
    if (!m.hasMatch()) {
        std::fprintf(stderr, "bench: pgbench: %s\n", pgbench.readAllStandardError().constData());
        return -1;
    }
    return m.captured(1).toDouble() * 2; // two verifications per script run
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

// Latencies of one request sent `count` times on one connection, each answer awaited; false
// when one is not answered 200.
bool requestLatency(quint16 port, const QByteArray &request, int count, std::vector<qint64> *us)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(10000))
        return false;
    QByteArray buffer;
    for (int i = 0; i < count; ++i) {
        QElapsedTimer t;
        t.start();
        socket.write(request);
        qavtest::RawReply reply;
        while (!qavtest::takeRawReply(buffer, reply)) {
            if (!socket.waitForReadyRead(10000))
                return false;
            buffer += socket.readAll();
        }
        if (reply.status != 200) {
            std::fprintf(stderr, "bench: answered %d: %s\n", reply.status, reply.body.constData());
            return false;
        }
        us->push_back(t.nsecsElapsed() / 1000);
    }
    return true;
}

QByteArray summaryRequest(const QByteArray &key, const QByteArray &bizcode = "GRVM0001")
{
    return qavtest::rawQuery(
        "Exec Proc_GRVM_Admin_GetAdminQAV_BookingInfo 'S','" + bizcode + "','','',''", key);
}

// Median and p99 of summary requests through HTTP, one after another on one connection.
std::pair<double, double> summaryLatency(quint16 port, const QByteArray &key, int count)
{
    Result r;
    if (!requestLatency(port, summaryRequest(key), count, &r.latenciesUs))
        return {-1, -1};
    r.finish();
    return {r.p50Ms, r.p99Ms};
}

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

// A stadium's performance STADIUM1 of the demo's venue: `bookings` bookings (six in ten inside, one
// in ten gone out again, one in fifty re-entered, one in 500 cancelled) and `auditRows` scans of
// 200 gate operators over the last 12 hours, one in twenty refused; then the counters counted once,
// as the schema step does for an older database.
bool fillStadium(const QString &url, int bookings, int auditRows)
{
    try {
        qav::openStorage(url)->putPerformance(
            {u"STADIUM1"_qs, u"1234"_qs, u"스타디움 공연"_qs,
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
    const QString stamp =
        sqlite ? QStringLiteral("strftime('%Y-%m-%d %H:%M:%S', ?, '-' || ((%1 - 1 - i) * 43200"
                                " / %1) || ' seconds')")
               : QStringLiteral("to_char(CAST(? AS timestamp) - ((%1 - 1 - i) * 43200 / %1)"
                                " * INTERVAL '1 second', 'YYYY-MM-DD HH24:MI:SS')");
    const QStringList fill = {
        series(bookings,
               u"INSERT INTO bookings (bizcode, ticket_no, cust_name, seat_grade, seat_info,"
               " cancelled, inside, entries, exits)"_qs,
               u"SELECT 'STADIUM1', 'S' || (100000 + i), '관객' || i, 'R석', 'A' || i,"
               " CASE WHEN i % 500 = 0 THEN 1 ELSE 0 END,"
               " CASE WHEN i % 10 < 6 THEN 1 ELSE 0 END,"
               " CASE WHEN i % 10 < 7 THEN (CASE WHEN i % 50 = 0 THEN 2 ELSE 1 END) ELSE 0 END,"
               " CASE WHEN i % 10 = 6 OR i % 50 = 0 THEN 1 ELSE 0 END"_qs),
        series(auditRows,
               u"INSERT INTO scan_log (scanned_at, operator_id, bizcode, ticket_raw, mode,"
               " result_code, result_msg, duration_us, client_address, kind)"_qs,
               u"SELECT "_qs + stamp.arg(auditRows) +
                   u", 'gate' || (i % 200), 'STADIUM1', 'S' || (100000 + i % 100000),"
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
    // minute, one more row of each gate), zero rows costing a read as much as any; and the tables
    // as autovacuum would leave them after such a day.
    return runBulk(
        url, {u"INSERT INTO booking_counts (bizcode, shard) SELECT bizcode, s"
              " FROM booking_counts, generate_series(1, 15) AS g(s)"_qs,
              u"INSERT INTO minute_counts (bizcode, minute, shard)"
              " SELECT bizcode, MAX(minute), s FROM minute_counts, generate_series(1, 15) AS g(s)"
              " GROUP BY bizcode, s"_qs,
              u"INSERT INTO gate_counts (bizcode, operator_id, shard)"
              " SELECT bizcode, operator_id, 1 FROM gate_counts"_qs,
              u"VACUUM ANALYZE"_qs});
}

// Summary and dashboard latency at the demo's size, then beside a stadium's performance and of
// it, in turns so that a slow spell of the machine falls on both; the server's memory before and
// after.
int countersBench(const QList<std::pair<const char *, QString>> &databases, int repeats)
{
    std::printf("%-11s %-34s %-21s %-21s\n", "database", "performance", "summary p50 / p99",
                "dashboard p50 / p99");
    for (const auto &[name, url] : databases) {
        try {
            const auto storage = qav::openStorage(url);
            qav::seedDemo(*storage);
            storage->clearPerformance(u"STADIUM1"_qs);
            storage->removePerformance(u"STADIUM1"_qs);
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
        const QByteArray key = signIn(port);
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

        if (!fillStadium(url, 100000, 1000000))
            return 1;
        const QByteArray stadiumDashboard = dashboardRequest(port, "STADIUM1");
        Result sum[2], dash[2];
        for (int turn = 0; turn < 10; ++turn) {
            for (int i = 0; i < 2; ++i) {
                if (!measure(sum[i], summaryRequest(key, i ? "STADIUM1" : "GRVM0001"),
                             repeats / 10) ||
                    !measure(dash[i], i ? stadiumDashboard : demoDashboard, repeats / 10))
                    return 1;
            }
        }
        line("demo beside the stadium", sum[0], dash[0]);
        line("stadium: 100,000 bookings, 10^6 rows", sum[1], dash[1]);
        std::printf("%-11s %-34s %6.2fx            %6.2fx (in turns)\n", name, "stadium / demo",
                    sum[1].p50Ms / sum[0].p50Ms, dash[1].p50Ms / dash[0].p50Ms);
        const qint64 rssEnd = server->rssKb();
        std::printf("%-11s server RSS %.1f MB at start, %.1f MB after the stadium's run"
                    " (+%.1f MB; target <= 64)\n",
                    name, double(rssStart) / 1024, double(rssEnd) / 1024,
                    double(rssEnd - rssStart) / 1024);
    }
    std::printf("targets: summary p50 <= 1 ms, dashboard p50 <= 5 ms at both sizes\n");
    return 0;
}

// Connections other clients hold to the database of url; -1 when it cannot be asked.
int pgConnections(const QString &url)
{
    const QUrl u(url);
    int count = -1;
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("count"));
        db.setHostName(u.host());
        db.setPort(u.port(5432));
        db.setUserName(u.userName());
        db.setPassword(u.password());
        db.setDatabaseName(u.path().mid(1));
        QSqlQuery q(db);
        if (db.open() &&
            q.exec(QStringLiteral("SELECT count(*) FROM pg_stat_activity WHERE datname "
                                  "= current_database() AND pid <> pg_backend_pid()")) &&
            q.next())
            count = q.value(0).toInt();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("count"));
    return count;
}

// Gates spread over several servers on one PostgreSQL database, each gate with a ticket of its
// own, in turns with pgbench at the same client count on tickets of its own. One sign-in, made on
// the first server, serves the gates of all. Then each ticket's new audit rows are read back in
// order: an admission while the ticket was inside would be a double admission.
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

// Sealing of the audit off and on in turns, a fresh server for each turn on the same database;
// then a season of verifications with sealing on, and `audit verify` over all of it.
void benchSealing(const char *name, const QString &url, const QStringList &serverArgs, int clients,
                  int turn, qint64 seasonScans, double baseline)
{
    Result off;
    Result on;
    QByteArray key;
    const auto serve = [&](bool sealing) {
        // What the turn without sealing left is sealed first: a serving server has no backlog.
        if (sealing) {
            const std::unique_ptr<qav::Storage> storage = qav::openStorage(url);
            while (storage->sealAudit({}).more) {
            }
        }
        ServerOptions options;
        options.databaseUrl = url;
        options.serveArguments =
            serverArgs + QStringList{QStringLiteral("--seal-every"), sealing ? u"2"_qs : u"0"_qs};
        auto server = startServer(options);
        key = server->port() ? signIn(server->port()) : QByteArray();
        return server;
    };
    for (int round = 0; round < 6; ++round) {
        for (bool sealing : {round % 2 == 0, round % 2 != 0}) {
            const auto server = serve(sealing);
            if (key.isEmpty())
                return;
            (sealing ? on : off).add(drive(server->port(), clients, turn, key));
        }
    }
    report((QByteArray(name) + " sealing off").constData(), off, baseline);
    report((QByteArray(name) + " sealing on").constData(), on, baseline);
    if (off.perSecond > 0 && off.p99Ms > 0)
        std::printf("  sealing on / off, in turns: throughput %.2fx, p99 %.2fx (target within "
                    "10 %%)\n",
                    on.perSecond / off.perSecond, on.p99Ms / off.p99Ms);
    if (seasonScans <= 0)
        return;
    Result season;
    {
        const auto server = serve(true);
        while (!key.isEmpty() && season.done < seasonScans)
            season.add(drive(server->port(), clients, 5, key));
    } // stopped: its last seal covers every row
    QElapsedTimer took;
    took.start();
    const CliResult verified =
        runCommand(QStringLiteral(QAV_SERVER_BINARY),
                   {QStringLiteral("audit"), QStringLiteral("verify"), QStringLiteral("--db"), url},
                   QDir::tempPath());
    std::printf("%s: %lld verifications with sealing on, then audit verify in %.1f s, exit code "
                "%d:\n%s",
                name, static_cast<long long>(season.done), double(took.elapsed()) / 1000.0,
                verified.exitCode, qPrintable(verified.out));
    std::fflush(stdout);
}

} // namespace

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
    p.addOptions(
        {clients, seconds, pg, connections, only, processes, sealing, season, counters, compare});
    p.process(app);
    const int nClients = std::clamp(p.value(clients).toInt(), 1, 512);
    const int nSeconds = std::clamp(p.value(seconds).toInt(), 1, 120);
    const QString pgUrl = p.isSet(pg) ? p.value(pg) : qEnvironmentVariable("QAV_TEST_PG_URL");

    QTemporaryDir dir;
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

    double baseline = 0;
    double sqliteLoop = 0;
    {
        ServerOptions constant;
        constant.constantAnswer = true;
        const auto server = startServer(constant);
        const quint16 port = server->port();
        if (port == 0)
            return 1;
        const Result r = drive(port, nClients, nSeconds, "none");
        baseline = r.perSecond;
        report("constant", r, 0);
    }

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
        const bool sqlite = QLatin1String(name) == QLatin1String("sqlite");
        try {
            const std::unique_ptr<qav::Storage> storage = qav::openStorage(url);
            qav::seedDemo(*storage);
            // The demo has some tickets inside already: those are scanned out first.
            for (const qav::BookingRecord &b : storage->bookings(QStringLiteral("GRVM0001")))
                nextIsEntry()[b.booking.ticketNo.toLatin1()] = !b.inside;
        } catch (const std::exception &e) {
            std::fprintf(stderr, "bench: %s: %s\n", name, e.what());
            return 1;
        }
        if (p.isSet(sealing)) {
            benchSealing(name, url, serverArgs, nClients, nSeconds, p.value(season).toLongLong(),
                         baseline);
            continue;
        }
        if (sqlite) {
            // The plain loop on a copy, so the server starts from the same data.
            const QString copy = dir.filePath(QStringLiteral("loop.db"));
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
            return 1;
        const QByteArray key = signIn(port);
        if (key.isEmpty()) {
            std::fprintf(stderr, "bench: %s: gate01 could not sign in\n", name);
            return 1;
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
                    const double t =
                        ran[i] ? runPgbench(url, nClients, turn, protocols[i], dir.path()) : -1;
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
    }
    const int nProcesses = std::clamp(p.value(processes).toInt(), 0, 16);
    if (nProcesses > 0 && !pgUrl.isEmpty() &&
        !severalProcesses(pgUrl, nProcesses, nClients, nSeconds, serverArgs, dir.path()))
        return 1;
    return 0;
}
