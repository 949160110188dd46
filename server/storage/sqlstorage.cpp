#include "sqlstorage.h"

#include <QAtomicInt>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <chrono>

namespace qav {

namespace {

QString newConnectionName()
{
    static QAtomicInt counter;
    return QStringLiteral("qav-storage-%1").arg(counter.fetchAndAddRelaxed(1));
}

QString nowStamp()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

qint64 steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

[[noreturn]] void fail(const QString &what, const QSqlError &error)
{
    throw StorageError((what + QStringLiteral(": ") + error.text()).toStdString());
}

Performance performanceFrom(const QSqlQuery &q, int first)
{
    return {q.value(first).toString(), q.value(first + 1).toString(), q.value(first + 2).toString(),
            q.value(first + 3).toString(), q.value(first + 4).toString()};
}

const QString kPerformanceColumns = QStringLiteral("bizcode, place_code, goods_name, starts_at, place_name");

} // namespace

// Rolls back unless committed, so an exception anywhere leaves no half-written scan.
class SqlStorage::WriteTransaction
{
public:
    explicit WriteTransaction(SqlStorage &s)
        : m_s(s)
    {
        m_s.exec(m_s.beginWriteSql());
    }
    ~WriteTransaction()
    {
        if (!m_done)
            m_s.m_db.exec(QStringLiteral("ROLLBACK"));
    }
    void commit()
    {
        m_s.exec(QStringLiteral("COMMIT"));
        m_done = true;
    }

private:
    SqlStorage &m_s;
    bool m_done = false;
};

SqlStorage::SqlStorage(QSqlDatabase db)
    : m_db(std::move(db))
{
}

SqlStorage::~SqlStorage()
{
    const QString name = m_db.connectionName();
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(name);
}

QSqlQuery SqlStorage::run(const QString &sql, const QVariantList &binds)
{
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        fail(QStringLiteral("cannot prepare [%1]").arg(sql), q.lastError());
    for (const QVariant &v : binds)
        q.addBindValue(v);
    if (!q.exec())
        fail(QStringLiteral("query failed [%1]").arg(sql), q.lastError());
    return q;
}

void SqlStorage::exec(const QString &sql)
{
    QSqlQuery q(m_db);
    if (!q.exec(sql))
        fail(QStringLiteral("statement failed [%1]").arg(sql), q.lastError());
}

void SqlStorage::initSchema()
{
    WriteTransaction tx(*this);
    lockSchema();
    const QStringList ddl = {
        QStringLiteral("CREATE TABLE IF NOT EXISTS venues ("
                       " place_code TEXT PRIMARY KEY,"
                       " theater_name TEXT NOT NULL)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS performances ("
                       " bizcode TEXT PRIMARY KEY,"
                       " place_code TEXT NOT NULL REFERENCES venues(place_code),"
                       " goods_name TEXT NOT NULL,"
                       " starts_at TEXT NOT NULL,"
                       " place_name TEXT NOT NULL DEFAULT '')"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS performances_by_venue"
                       " ON performances(place_code, starts_at)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS operators ("
                       " operator_id TEXT PRIMARY KEY,"
                       " password_hash TEXT NOT NULL,"
                       " place_code TEXT NOT NULL REFERENCES venues(place_code))"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS bookings ("
                       " bizcode TEXT NOT NULL REFERENCES performances(bizcode),"
                       " ticket_no TEXT NOT NULL,"
                       " cust_name TEXT NOT NULL DEFAULT '',"
                       " seat_grade TEXT NOT NULL DEFAULT '',"
                       " seat_info TEXT NOT NULL DEFAULT '',"
                       " cancelled INTEGER NOT NULL DEFAULT 0,"
                       " inside INTEGER NOT NULL DEFAULT 0,"
                       " entries INTEGER NOT NULL DEFAULT 0,"
                       " exits INTEGER NOT NULL DEFAULT 0,"
                       " last_entry_at TEXT NOT NULL DEFAULT '',"
                       " last_entry_by TEXT NOT NULL DEFAULT '',"
                       " last_exit_at TEXT NOT NULL DEFAULT '',"
                       " last_exit_by TEXT NOT NULL DEFAULT '',"
                       " PRIMARY KEY (bizcode, ticket_no))"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS bookings_by_ticket ON bookings(ticket_no)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS scan_log ("
                       " id %1,"
                       " scanned_at TEXT NOT NULL,"
                       " operator_id TEXT NOT NULL,"
                       " bizcode TEXT NOT NULL,"
                       " ticket_raw TEXT NOT NULL,"
                       " mode TEXT NOT NULL,"
                       " result_code TEXT NOT NULL,"
                       " result_msg TEXT NOT NULL,"
                       " duration_us BIGINT NOT NULL)")
            .arg(serialIdType()),
        QStringLiteral("CREATE INDEX IF NOT EXISTS scan_log_by_performance ON scan_log(bizcode, mode)"),
    };
    for (const QString &stmt : ddl)
        exec(stmt);
    tx.commit();
}

std::optional<Venue> SqlStorage::findVenue(const QString &placeCode)
{
    QSqlQuery q = run(QStringLiteral("SELECT place_code, theater_name FROM venues WHERE place_code = ?"),
                      {placeCode});
    if (!q.next())
        return std::nullopt;
    return Venue{q.value(0).toString(), q.value(1).toString()};
}

std::optional<Performance> SqlStorage::findPerformance(const QString &bizcode)
{
    QSqlQuery q = run(QStringLiteral("SELECT %1 FROM performances WHERE bizcode = ?").arg(kPerformanceColumns),
                      {bizcode});
    if (!q.next())
        return std::nullopt;
    return performanceFrom(q, 0);
}

QList<Performance> SqlStorage::performancesFrom(const QString &placeCode, const QString &fromStartsAt)
{
    QSqlQuery q = run(QStringLiteral("SELECT %1 FROM performances WHERE place_code = ? AND starts_at >= ?"
                                     " ORDER BY starts_at, bizcode LIMIT 200")
                          .arg(kPerformanceColumns),
                      {placeCode, fromStartsAt});
    QList<Performance> list;
    while (q.next())
        list << performanceFrom(q, 0);
    return list;
}

std::optional<OperatorRecord> SqlStorage::findOperator(const QString &id)
{
    QSqlQuery q = run(QStringLiteral("SELECT operator_id, password_hash, place_code FROM operators"
                                     " WHERE operator_id = ?"),
                      {id});
    if (!q.next())
        return std::nullopt;
    return OperatorRecord{q.value(0).toString(), q.value(1).toString().toUtf8(), q.value(2).toString()};
}

ScanOutcome SqlStorage::scan(const ScanRequest &request)
{
    ScanOutcome outcome;
    WriteTransaction tx(*this);
    scanInTransaction(request, outcome);
    describeOutcome(outcome);
    const qint64 tookUs = request.startedNs > 0 ? (steadyNs() - request.startedNs) / 1000 : 0;
    run(QStringLiteral("INSERT INTO scan_log (scanned_at, operator_id, bizcode, ticket_raw, mode,"
                       " result_code, result_msg, duration_us) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"),
        {nowStamp(), request.operatorId, request.bizcode, request.ticketRaw, request.mode,
         outcome.code, outcome.message, tookUs});
    tx.commit();
    return outcome;
}

void SqlStorage::scanInTransaction(const ScanRequest &request, ScanOutcome &outcome)
{
    const bool entry = request.mode == QLatin1String("I");
    if (!entry && request.mode != QLatin1String("O")) {
        outcome.result = ScanResult::UnknownMode;
        return;
    }
    const std::optional<Performance> performance = findPerformance(request.bizcode);
    if (!performance) {
        outcome.result = ScanResult::UnknownPerformance;
        return;
    }
    outcome.performance = *performance;
    const QString ticket = request.ticketRaw.trimmed();
    outcome.booking.ticketNo = ticket;
    outcome.booking.bizcode = request.bizcode;
    if (ticket.isEmpty()) {
        outcome.result = ScanResult::UnknownTicket;
        return;
    }

    // The state change itself: only a row whose state allows it is touched, so of two gates
    // scanning at once exactly one sees a returned row.
    const QString now = nowStamp();
    {
        QSqlQuery q = entry
            ? run(QStringLiteral("UPDATE bookings SET inside = 1, entries = entries + 1,"
                                 " last_entry_at = ?, last_entry_by = ?"
                                 " WHERE bizcode = ? AND ticket_no = ? AND cancelled = 0 AND inside = 0"
                                 " RETURNING cust_name, seat_grade, seat_info, exits"),
                  {now, request.operatorId, request.bizcode, ticket})
            : run(QStringLiteral("UPDATE bookings SET inside = 0, exits = exits + 1,"
                                 " last_exit_at = ?, last_exit_by = ?"
                                 " WHERE bizcode = ? AND ticket_no = ? AND cancelled = 0 AND inside = 1"
                                 " RETURNING cust_name, seat_grade, seat_info, exits"),
                  {now, request.operatorId, request.bizcode, ticket});
        if (q.next()) {
            outcome.booking.custName = q.value(0).toString();
            outcome.booking.seatGrade = q.value(1).toString();
            outcome.booking.seatInfo = q.value(2).toString();
            const bool hadExited = q.value(3).toLongLong() > 0;
            outcome.result = !entry ? ScanResult::Exited
                                    : (hadExited ? ScanResult::ReEntered : ScanResult::Entered);
            return;
        }
    }

    // Refused: read why, for the operator.
    {
        QSqlQuery q = run(QStringLiteral("SELECT cust_name, seat_grade, seat_info, cancelled, inside,"
                                         " exits, last_entry_at, last_entry_by, last_exit_at, last_exit_by"
                                         " FROM bookings WHERE bizcode = ? AND ticket_no = ?"),
                          {request.bizcode, ticket});
        if (q.next()) {
            outcome.booking.custName = q.value(0).toString();
            outcome.booking.seatGrade = q.value(1).toString();
            outcome.booking.seatInfo = q.value(2).toString();
            outcome.booking.cancelled = q.value(3).toInt() != 0;
            const bool inside = q.value(4).toInt() != 0;
            const bool hasExited = q.value(5).toLongLong() > 0;
            if (outcome.booking.cancelled) {
                outcome.result = ScanResult::Cancelled;
            } else if (entry && inside) {
                outcome.result = ScanResult::AlreadyInside;
                outcome.when = q.value(6).toString();
                outcome.who = q.value(7).toString();
            } else if (!entry && hasExited) {
                outcome.result = ScanResult::AlreadyLeft;
                outcome.when = q.value(8).toString();
                outcome.who = q.value(9).toString();
            } else {
                outcome.result = ScanResult::NeverEntered;
            }
            return;
        }
    }
    QSqlQuery q = run(QStringLiteral("SELECT p.bizcode, p.place_code, p.goods_name, p.starts_at, p.place_name"
                                     " FROM bookings b JOIN performances p ON p.bizcode = b.bizcode"
                                     " WHERE b.ticket_no = ? ORDER BY p.starts_at LIMIT 1"),
                      {ticket});
    if (q.next()) {
        outcome.result = ScanResult::OtherPerformance;
        outcome.performance = performanceFrom(q, 0);
        return;
    }
    outcome.result = ScanResult::UnknownTicket;
}

std::optional<Summary> SqlStorage::summary(const QString &bizcode)
{
    if (!findPerformance(bizcode))
        return std::nullopt;
    Summary s;
    {
        QSqlQuery q = run(QStringLiteral(
                              "SELECT"
                              " SUM(CASE WHEN cancelled = 0 THEN 1 ELSE 0 END),"
                              " SUM(CASE WHEN cancelled = 0 AND entries > 0 THEN 1 ELSE 0 END),"
                              " SUM(CASE WHEN cancelled = 0 AND inside = 1 THEN 1 ELSE 0 END),"
                              " SUM(CASE WHEN cancelled = 0 AND entries > 0 AND inside = 0 THEN 1 ELSE 0 END),"
                              " SUM(CASE WHEN cancelled = 0 AND entries = 0 THEN 1 ELSE 0 END),"
                              " SUM(CASE WHEN entries > 1 THEN 1 ELSE 0 END),"
                              " SUM(CASE WHEN cancelled <> 0 THEN 1 ELSE 0 END)"
                              " FROM bookings WHERE bizcode = ?"),
                          {bizcode});
        if (q.next()) {
            s.total = q.value(0).toLongLong();
            s.admitted = q.value(1).toLongLong();
            s.insideNow = q.value(2).toLongLong();
            s.leftNow = q.value(3).toLongLong();
            s.notYet = q.value(4).toLongLong();
            s.reentered = q.value(5).toLongLong();
            s.cancelled = q.value(6).toLongLong();
        }
    }
    QSqlQuery q = run(QStringLiteral("SELECT COUNT(*) FROM scan_log WHERE bizcode = ? AND mode = 'I'"
                                     " AND result_code IN ('-1', '-2')"),
                      {bizcode});
    if (q.next())
        s.refused = q.value(0).toLongLong();
    return s;
}

QList<ScanLogEntry> SqlStorage::scanLog(const QString &bizcode)
{
    QSqlQuery q = run(QStringLiteral("SELECT scanned_at, operator_id, bizcode, ticket_raw, mode, result_code,"
                                     " result_msg, duration_us FROM scan_log WHERE bizcode = ? ORDER BY id"),
                      {bizcode});
    QList<ScanLogEntry> list;
    while (q.next()) {
        list << ScanLogEntry{q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                             q.value(3).toString(), q.value(4).toString(), q.value(5).toString(),
                             q.value(6).toString(), q.value(7).toLongLong()};
    }
    return list;
}

void SqlStorage::putVenue(const Venue &venue)
{
    WriteTransaction tx(*this);
    run(QStringLiteral("INSERT INTO venues (place_code, theater_name) VALUES (?, ?)"
                       " ON CONFLICT (place_code) DO UPDATE SET theater_name = excluded.theater_name"),
        {venue.placeCode, venue.theaterName});
    tx.commit();
}

void SqlStorage::putPerformance(const Performance &p)
{
    WriteTransaction tx(*this);
    run(QStringLiteral("INSERT INTO performances (bizcode, place_code, goods_name, starts_at, place_name)"
                       " VALUES (?, ?, ?, ?, ?) ON CONFLICT (bizcode) DO UPDATE SET"
                       " place_code = excluded.place_code, goods_name = excluded.goods_name,"
                       " starts_at = excluded.starts_at, place_name = excluded.place_name"),
        {p.bizcode, p.placeCode, p.goodsName, p.startsAt, p.placeName});
    tx.commit();
}

void SqlStorage::putOperator(const OperatorRecord &op)
{
    WriteTransaction tx(*this);
    run(QStringLiteral("INSERT INTO operators (operator_id, password_hash, place_code) VALUES (?, ?, ?)"
                       " ON CONFLICT (operator_id) DO UPDATE SET password_hash = excluded.password_hash,"
                       " place_code = excluded.place_code"),
        {op.id, QString::fromUtf8(op.passwordHash), op.placeCode});
    tx.commit();
}

void SqlStorage::putBookings(const QList<Booking> &bookings)
{
    WriteTransaction tx(*this);
    const QString sql = QStringLiteral(
        "INSERT INTO bookings (bizcode, ticket_no, cust_name, seat_grade, seat_info, cancelled)"
        " VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (bizcode, ticket_no) DO UPDATE SET"
        " cust_name = excluded.cust_name, seat_grade = excluded.seat_grade,"
        " seat_info = excluded.seat_info, cancelled = excluded.cancelled");
    for (const Booking &b : bookings)
        run(sql, {b.bizcode, b.ticketNo, b.custName, b.seatGrade, b.seatInfo, b.cancelled ? 1 : 0});
    tx.commit();
}

void SqlStorage::clearPerformance(const QString &bizcode)
{
    WriteTransaction tx(*this);
    run(QStringLiteral("DELETE FROM bookings WHERE bizcode = ?"), {bizcode});
    run(QStringLiteral("DELETE FROM scan_log WHERE bizcode = ?"), {bizcode});
    tx.commit();
}

namespace {

class SqliteStorage final : public SqlStorage
{
public:
    SqliteStorage(QSqlDatabase db, QString path)
        : SqlStorage(std::move(db))
        , m_path(std::move(path))
    {
        // WAL lets readers run beside the one writer; FULL makes every commit durable before
        // the gate hears "accepted"; the busy timeout makes other server processes wait.
        exec(QStringLiteral("PRAGMA busy_timeout = 15000"));
        exec(QStringLiteral("PRAGMA journal_mode = WAL"));
        exec(QStringLiteral("PRAGMA synchronous = FULL"));
        exec(QStringLiteral("PRAGMA foreign_keys = ON"));
    }
    QString describe() const override { return QStringLiteral("sqlite:") + m_path; }

protected:
    // IMMEDIATE takes the write lock up front, so no transaction ever has to upgrade a read lock.
    QString beginWriteSql() const override { return QStringLiteral("BEGIN IMMEDIATE"); }
    QString serialIdType() const override { return QStringLiteral("INTEGER PRIMARY KEY AUTOINCREMENT"); }

private:
    QString m_path;
};

class PostgresStorage final : public SqlStorage
{
public:
    PostgresStorage(QSqlDatabase db, QString description)
        : SqlStorage(std::move(db))
        , m_description(std::move(description))
    {
        exec(QStringLiteral("SET synchronous_commit TO on"));
        exec(QStringLiteral("SET client_min_messages TO warning"));
    }
    QString describe() const override { return m_description; }

protected:
    QString beginWriteSql() const override { return QStringLiteral("BEGIN"); }
    QString serialIdType() const override { return QStringLiteral("BIGSERIAL PRIMARY KEY"); }
    // Several servers may start at once; CREATE ... IF NOT EXISTS alone races in PostgreSQL.
    void lockSchema() override { exec(QStringLiteral("SELECT pg_advisory_xact_lock(8470)")); }

private:
    QString m_description;
};

} // namespace

std::unique_ptr<Storage> openSqlite(const QString &path)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), newConnectionName());
    db.setDatabaseName(path);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=15000"));
    if (!db.open()) {
        const QString err = db.lastError().text();
        const QString name = db.connectionName();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
        throw StorageError(QStringLiteral("cannot open SQLite database %1: %2").arg(path, err).toStdString());
    }
    try {
        return std::make_unique<SqliteStorage>(db, QFileInfo(path).absoluteFilePath());
    } catch (const StorageError &e) {
        throw StorageError(QStringLiteral("cannot use SQLite database %1: %2")
                               .arg(path, QString::fromStdString(e.what()))
                               .toStdString());
    }
}

std::unique_ptr<Storage> openPostgres(const PgParams &p)
{
    const QString description = QStringLiteral("postgresql://%1@%2:%3/%4")
                                    .arg(p.user, p.host, QString::number(p.port), p.database);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), newConnectionName());
    db.setHostName(p.host);
    db.setPort(p.port);
    db.setUserName(p.user);
    db.setPassword(p.password);
    db.setDatabaseName(p.database);
    db.setConnectOptions(QStringLiteral("connect_timeout=5"));
    if (!db.open()) {
        const QString err = db.lastError().text();
        const QString name = db.connectionName();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
        throw StorageError(QStringLiteral("cannot connect to %1: %2").arg(description, err).toStdString());
    }
    return std::make_unique<PostgresStorage>(db, description);
}

} // namespace qav
