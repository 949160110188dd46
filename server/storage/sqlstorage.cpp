#include "sqlstorage.h"

#include "schema.h"

#include <QAtomicInt>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlDriver>
#include <QSqlRecord>

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace qav {

namespace {

QString newConnectionName()
{
    static QAtomicInt counter;
    return QStringLiteral("qav-storage-%1").arg(counter.fetchAndAddRelaxed(1));
}

// Local time as text, worked out once a second per thread: a local-time look-up and formatting
// on every scan showed up in profiles.
QString nowStamp()
{
    thread_local qint64 second = -1;
    thread_local QString text;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (now != second) {
        second = now;
        text = QDateTime::fromSecsSinceEpoch(now).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    }
    return text;
}

qint64 steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Performance performanceFrom(const Rows &q, int first)
{
    return {q.value(first).toString(), q.value(first + 1).toString(), q.value(first + 2).toString(),
            q.value(first + 3).toString(), q.value(first + 4).toString()};
}

// Operator, venue, client address, created and last used, from the first columns of a row.
SessionRecord sessionFrom(const Rows &q, const QString &keyHash)
{
    return {keyHash,
            q.value(0).toString(),
            q.value(1).toString(),
            q.value(2).toString(),
            q.value(3).toLongLong(),
            q.value(4).toLongLong()};
}

// A session's last use is written at most this often, so that scans do not all write it.
constexpr qint64 kSessionTouchSecs = 60;

// Expired replay answers are swept once every this many scans of a connection.
constexpr int kReplayPruneEvery = 64;

// Bound as an empty text, not as NULL, for the NOT NULL columns.
QString text(const QString &s)
{
    return s.isNull() ? QStringLiteral("") : s;
}

QString replayOperator(const ScanRequest &request)
{
    return request.sessionOperator.isEmpty() ? request.operatorId : request.sessionOperator;
}

// What a replayed answer must match: a key reused for another ticket is not a repeat.
QString replayRequest(const ScanRequest &request)
{
    return request.mode + u'\x1f' + request.bizcode + u'\x1f' + request.ticketRaw;
}

QString encodeAnswer(const ScanOutcome &o)
{
    const QJsonArray a = {o.code,
                          o.message,
                          o.booking.custName,
                          o.booking.ticketNo,
                          o.performance.goodsName,
                          o.performance.startsAt,
                          o.performance.placeName,
                          o.booking.seatGrade,
                          o.booking.seatInfo};
    return QString::fromUtf8(QJsonDocument(a).toJson(QJsonDocument::Compact));
}

bool decodeAnswer(const QString &text, ScanOutcome &o)
{
    const QJsonArray a = QJsonDocument::fromJson(text.toUtf8()).array();
    if (a.size() != 9)
        return false;
    o.code = a[0].toString();
    o.message = a[1].toString();
    o.booking.custName = a[2].toString();
    o.booking.ticketNo = a[3].toString();
    o.performance.goodsName = a[4].toString();
    o.performance.startsAt = a[5].toString();
    o.performance.placeName = a[6].toString();
    o.booking.seatGrade = a[7].toString();
    o.booking.seatInfo = a[8].toString();
    return true;
}

const QString kPerformanceColumns = QStringLiteral("bizcode, place_code, goods_name, starts_at, place_name");

} // namespace

SqlStorage::SqlStorage(QSqlDatabase db)
    : m_db(std::move(db))
{
}

SqlStorage::~SqlStorage()
{
    const QString name = m_db.connectionName();
    m_statements.clear();
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(name);
}

void SqlStorage::fail(const QString &what, const QSqlError &error)
{
    const QString message = what + QStringLiteral(": ") + error.text();
    const QString code = error.nativeErrorCode();
    // SQLite: SQLITE_BUSY, SQLITE_LOCKED. PostgreSQL: lock or statement timeout, lost connection.
    const bool busy = code == QLatin1String("5") || code == QLatin1String("6") || code == QLatin1String("55P03")
        || code == QLatin1String("57014") || code.startsWith(QLatin1String("08"))
        || error.type() == QSqlError::ConnectionError || !m_db.isOpen();
    if (busy)
        throw StorageBusy(message.toStdString());
    throw StorageError(message.toStdString());
}

Rows SqlStorage::run(const QString &sql, const QVariantList &binds)
{
    auto it = m_statements.find(sql);
    if (it == m_statements.end()) {
        QSqlQuery q(m_db);
        q.setForwardOnly(true);
        if (!q.prepare(sql))
            fail(QStringLiteral("cannot prepare [%1]").arg(sql), q.lastError());
        it = m_statements.insert(sql, q);
    }
    QSqlQuery &q = *it;
    for (int i = 0; i < binds.size(); ++i)
        q.bindValue(i, binds[i]);
    if (!q.exec()) {
        const QSqlError error = q.lastError();
        q.finish();
        fail(QStringLiteral("query failed [%1]").arg(sql), error);
    }
    return Rows(q);
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
    exec(QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)"));
    int version = 0;
    {
        Rows q = run(QStringLiteral("SELECT MAX(version) FROM schema_version"));
        if (q.next())
            version = q.value(0).toInt();
    }
    const int current = currentSchemaVersion();
    if (version > current)
        throw StorageError(QStringLiteral("the database %1 has schema version %2, newer than the %3 "
                                          "this qav-server knows: use qav-server %4 or later")
                               .arg(describe())
                               .arg(version)
                               .arg(current)
                               .arg(QStringLiteral(QAV_VERSION))
                               .toStdString());
    if (version == current)
        return; // the transaction rolls back: nothing was changed
    for (const SchemaStep &step : schemaSteps()) {
        if (step.version <= version)
            continue;
        for (const QString &statement : step.statements) {
            // Databases made before versions were kept may have some of a step's columns.
            static const QRegularExpression addColumn(
                QStringLiteral("^ALTER TABLE (\\w+) ADD COLUMN (\\w+) (.*)$"));
            const QRegularExpressionMatch added = addColumn.match(statement);
            if (added.hasMatch())
                addColumnIfMissing(added.captured(1), added.captured(2), added.captured(3));
            else
                exec(QString(statement).replace(QStringLiteral("%SERIAL%"), serialIdType()));
        }
    }
    exec(QStringLiteral("DELETE FROM schema_version"));
    run(QStringLiteral("INSERT INTO schema_version (version) VALUES (?)"), {current});
    tx.commit();
}

int SqlStorage::schemaVersion()
{
    Rows q = run(QStringLiteral("SELECT MAX(version) FROM schema_version"));
    return q.next() ? q.value(0).toInt() : 0;
}

void SqlStorage::addColumnIfMissing(const QString &table, const QString &column,
                                    const QString &declaration)
{
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("SELECT * FROM %1 WHERE 1 = 0").arg(table)))
        fail(QStringLiteral("cannot read the columns of %1").arg(table), q.lastError());
    if (q.record().indexOf(column) >= 0)
        return;
    q.finish();
    exec(QStringLiteral("ALTER TABLE %1 ADD COLUMN %2 %3").arg(table, column, declaration));
}

std::optional<Venue> SqlStorage::findVenue(const QString &placeCode)
{
    Rows q = run(QStringLiteral("SELECT place_code, theater_name FROM venues WHERE place_code = ?"),
                      {placeCode});
    if (!q.next())
        return std::nullopt;
    return Venue{q.value(0).toString(), q.value(1).toString()};
}

std::optional<Performance> SqlStorage::findPerformance(const QString &bizcode)
{
    Rows q = run(QStringLiteral("SELECT %1 FROM performances WHERE bizcode = ?").arg(kPerformanceColumns),
                      {bizcode});
    if (!q.next())
        return std::nullopt;
    return performanceFrom(q, 0);
}

QList<Performance> SqlStorage::performancesFrom(const QString &placeCode, const QString &fromStartsAt)
{
    Rows q = run(QStringLiteral("SELECT %1 FROM performances WHERE place_code = ? AND starts_at >= ?"
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
    Rows q = run(QStringLiteral("SELECT operator_id, password_hash, place_code, disabled FROM operators"
                                     " WHERE operator_id = ?"),
                      {id});
    if (!q.next())
        return std::nullopt;
    return OperatorRecord{q.value(0).toString(), q.value(1).toString().toUtf8(), q.value(2).toString(),
                          q.value(3).toInt() != 0};
}

ScanOutcome SqlStorage::scan(const ScanRequest &request)
{
    ScanOutcome outcome;
    {
        WriteTransaction tx(*this);
        if (recordFreshScan(request, outcome)) {
            tx.commit();
            return outcome;
        }
    } // rolled back: the key was taken, so this is probably a repeat
    outcome = {};
    WriteTransaction tx(*this);
    recordScan(request, outcome);
    tx.commit();
    return outcome;
}

// A scan whose replay key is new, as nearly all are: scanned first, then the key stored with its
// answer, a statement fewer than claiming the key first. Returns false when the key is there
// already (on PostgreSQL, after a concurrent holder of it commits): the caller rolls this scan
// back and runs recordScan, which finds the stored answer.
bool SqlStorage::recordFreshScan(const ScanRequest &request, ScanOutcome &outcome)
{
    scanInTransaction(request, outcome);
    describeOutcome(outcome);
    if (!request.replayKey.isEmpty()) {
        Rows q = run(QStringLiteral(
                         "INSERT INTO scan_replays (operator_id, replay_key, request, created_at, answer)"
                         " VALUES (?, ?, ?, ?, ?) ON CONFLICT (operator_id, replay_key) DO NOTHING"
                         " RETURNING created_at"),
                     {replayOperator(request), request.replayKey, replayRequest(request),
                      QDateTime::currentSecsSinceEpoch(), encodeAnswer(outcome)});
        if (!q.next())
            return false;
    }
    finishScan(request, outcome, true);
    return true;
}

void SqlStorage::recordScan(const ScanRequest &request, ScanOutcome &outcome)
{
    const bool fresh = request.replayKey.isEmpty() || claimReplayKey(request, outcome);
    if (fresh) {
        scanInTransaction(request, outcome);
        describeOutcome(outcome);
        if (!request.replayKey.isEmpty())
            run(QStringLiteral(
                    "UPDATE scan_replays SET answer = ? WHERE operator_id = ? AND replay_key = ?"
                    " AND request = ?"),
                {encodeAnswer(outcome), replayOperator(request), request.replayKey,
                 replayRequest(request)});
    }
    finishScan(request, outcome, fresh);
}

void SqlStorage::finishScan(const ScanRequest &request, const ScanOutcome &outcome, bool fresh)
{
    writeAudit(request, QString::fromLatin1(fresh ? kAuditScan : kAuditRepeat), outcome.code,
               outcome.message);
    if (++m_scansSincePrune >= kReplayPruneEvery) {
        m_scansSincePrune = 0;
        run(QStringLiteral("DELETE FROM scan_replays WHERE created_at < ?"),
            {QDateTime::currentSecsSinceEpoch() - kReplayKeepSecs});
    }
}

void SqlStorage::scanGroup(std::vector<GroupSlot> &group)
{
    WriteTransaction tx(*this);
    for (GroupSlot &slot : group) {
        exec(QStringLiteral("SAVEPOINT scan"));
        try {
            if (slot.work)
                slot.work(*this);
            else if (!recordFreshScan(*slot.request, slot.outcome)) {
                exec(QStringLiteral("ROLLBACK TO scan"));
                slot.outcome = {};
                recordScan(*slot.request, slot.outcome);
            }
        } catch (const StorageError &) {
            slot.failure = std::current_exception();
            exec(QStringLiteral("ROLLBACK TO scan"));
        }
        exec(QStringLiteral("RELEASE scan"));
    }
    tx.commit();
}

ScanOutcome SqlStorage::manualScan(const ScanRequest &request, const QString &reason)
{
    ScanOutcome outcome;
    WriteTransaction tx(*this);
    scanInTransaction(request, outcome);
    describeOutcome(outcome);
    writeAudit(request, QString::fromLatin1(kAuditManual), outcome.code, outcome.message, reason);
    tx.commit();
    return outcome;
}

// Takes the replay key for this request, or finds the answer stored under it. Returns true when
// the scan is to run (the key is new, expired, or was used for another ticket), false with the
// stored answer in outcome. On PostgreSQL the insert waits for a concurrent request with the same
// key to commit, so two copies of one request never both scan.
bool SqlStorage::claimReplayKey(const ScanRequest &request, ScanOutcome &outcome)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QString op = replayOperator(request);
    {
        Rows q = run(
            QStringLiteral("INSERT INTO scan_replays (operator_id, replay_key, request, created_at)"
                           " VALUES (?, ?, ?, ?) ON CONFLICT (operator_id, replay_key) DO NOTHING"
                           " RETURNING created_at"),
            {op, request.replayKey, replayRequest(request), now});
        if (q.next())
            return true;
    }
    Rows q = run(QStringLiteral("SELECT created_at, request, answer FROM scan_replays"
                                     " WHERE operator_id = ? AND replay_key = ?"),
                      {op, request.replayKey});
    if (!q.next())
        return true;
    const qint64 createdAt = q.value(0).toLongLong();
    const QString storedRequest = q.value(1).toString();
    const QString answer = q.value(2).toString();
    q.finish();
    if (storedRequest != replayRequest(request))
        return true;
    if (createdAt >= now - kReplayKeepSecs && decodeAnswer(answer, outcome)) {
        outcome.replayed = true;
        return false;
    }
    run(QStringLiteral("UPDATE scan_replays SET created_at = ?, answer = '' WHERE operator_id = ? "
                       "AND replay_key = ?"),
        {now, op, request.replayKey});
    return true;
}

void SqlStorage::writeAudit(const ScanRequest &request, const QString &kind, const QString &code,
                            const QString &message, const QString &manualReason)
{
    const qint64 tookUs = request.startedNs > 0 ? (steadyNs() - request.startedNs) / 1000 : 0;
    run(QStringLiteral(
            "INSERT INTO scan_log (scanned_at, operator_id, bizcode, ticket_raw, mode,"
            " result_code, result_msg, duration_us, client_address, session_operator, kind,"
            " manual_reason) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
        {nowStamp(), text(request.operatorId), text(request.bizcode), text(request.ticketRaw),
         text(request.mode), text(code), text(message), tookUs, text(request.clientAddress),
         text(request.sessionOperator), kind, text(manualReason)});
    // Counted as it happens, so the summary never has to count the log.
    const bool refusedEntry = kind == QLatin1String(kAuditScan) && request.mode == QLatin1String("I")
        && (code == QLatin1String("-1") || code == QLatin1String("-2"));
    if (refusedEntry) {
        run(QStringLiteral("INSERT INTO scan_counts (bizcode, refused) VALUES (?, 1)"
                           " ON CONFLICT (bizcode) DO UPDATE SET refused = scan_counts.refused + 1"),
            {text(request.bizcode)});
    }
}

void SqlStorage::auditRefusedScan(const ScanRequest &request, const QString &kind,
                                  const QString &code, const QString &message)
{
    inWriteTransaction([&](SqlStorage &db) { db.writeAudit(request, kind, code, message); });
}

void SqlStorage::inWriteTransaction(const WriteWork &work)
{
    WriteTransaction tx(*this);
    work(*this);
    tx.commit();
}

void SqlStorage::scanInTransaction(const ScanRequest &request, ScanOutcome &outcome)
{
    const bool entry = request.mode == QLatin1String("I");
    if (!entry && request.mode != QLatin1String("O")) {
        outcome.result = ScanResult::UnknownMode;
        return;
    }
    const std::optional<Performance> performance =
        request.performance ? *request.performance : findPerformance(request.bizcode);
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
        Rows q = entry
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
        Rows q = run(QStringLiteral("SELECT cust_name, seat_grade, seat_info, cancelled, inside,"
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
    // Only the venue's own performances are named: another venue's ticket is as unknown as one
    // that does not exist, so a gate learns nothing about other venues.
    Rows q =
        run(QStringLiteral("SELECT p.bizcode, p.place_code, p.goods_name, p.starts_at, p.place_name"
                           " FROM bookings b JOIN performances p ON p.bizcode = b.bizcode"
                           " WHERE b.ticket_no = ? AND p.place_code = ?"
                           " ORDER BY p.starts_at LIMIT 1"),
            {ticket, performance->placeCode});
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
        Rows q = run(QStringLiteral(
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
    Rows q = run(QStringLiteral("SELECT refused FROM scan_counts WHERE bizcode = ?"), {bizcode});
    if (q.next())
        s.refused = q.value(0).toLongLong();
    return s;
}

QList<ScanLogEntry> SqlStorage::scanLog(const QString &bizcode)
{
    Rows q =
        run(QStringLiteral("SELECT scanned_at, operator_id, bizcode, ticket_raw, mode, result_code,"
                           " result_msg, duration_us, client_address, session_operator, kind, manual_reason"
                           " FROM scan_log WHERE bizcode = ? ORDER BY id"),
            {bizcode});
    QList<ScanLogEntry> list;
    while (q.next()) {
        list << ScanLogEntry{q.value(0).toString(), q.value(1).toString(),   q.value(2).toString(),
                             q.value(3).toString(), q.value(4).toString(),   q.value(5).toString(),
                             q.value(6).toString(), q.value(7).toLongLong(), q.value(8).toString(),
                             q.value(9).toString(), q.value(10).toString(), q.value(11).toString()};
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
    run(QStringLiteral("INSERT INTO operators (operator_id, password_hash, place_code, disabled)"
                       " VALUES (?, ?, ?, ?) ON CONFLICT (operator_id) DO UPDATE SET"
                       " password_hash = excluded.password_hash, place_code = excluded.place_code,"
                       " disabled = excluded.disabled"),
        {op.id, QString::fromUtf8(op.passwordHash), op.placeCode, op.disabled ? 1 : 0});
    // A new password or venue ends whatever was signed in with the old one.
    run(QStringLiteral("DELETE FROM sessions WHERE operator_id = ?"), {op.id});
    tx.commit();
}

void SqlStorage::putBookings(const QList<Booking> &bookings)
{
    // Small enough that a scan waiting for the write lock waits a few milliseconds at most.
    constexpr qsizetype kChunk = 200;
    for (qsizetype from = 0; from < bookings.size(); from += kChunk) {
        if (from > 0) // a gap in which a server waiting for the lock gets it
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        putBookingChunk(bookings.mid(from, kChunk));
    }
}

void SqlStorage::putBookingChunk(const QList<Booking> &bookings)
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
    run(QStringLiteral("DELETE FROM scan_counts WHERE bizcode = ?"), {bizcode});
    tx.commit();
}

void SqlStorage::createSession(const SessionRecord &session, qint64 dropIdleBefore)
{
    inWriteTransaction([&](SqlStorage &db) {
        db.run(QStringLiteral("DELETE FROM sessions WHERE last_used_at < ?"), {dropIdleBefore});
        db.run(QStringLiteral("INSERT INTO sessions (key_hash, operator_id, client_address,"
                              " created_at, last_used_at) VALUES (?, ?, ?, ?, ?)"),
               {session.keyHash, session.operatorId, text(session.clientAddress),
                session.createdAt, session.lastUsedAt});
    });
}

std::optional<SessionRecord> SqlStorage::useSession(const QString &keyHash, qint64 now,
                                                    qint64 idleBefore)
{
    Rows q =
        run(QStringLiteral("SELECT s.operator_id, o.place_code, s.client_address, s.created_at,"
                           " s.last_used_at FROM sessions s JOIN operators o"
                           " ON o.operator_id = s.operator_id WHERE s.key_hash = ?"),
            {keyHash});
    if (!q.next())
        return std::nullopt;
    SessionRecord session = sessionFrom(q, keyHash);
    q.finish();
    return keepSession(std::move(session), now, idleBefore);
}

// One statement instead of two on every verification, which on PostgreSQL is a round trip.
std::optional<SessionRecord> SqlStorage::useSessionFor(const QString &keyHash, qint64 now,
                                                       qint64 idleBefore, const QString &bizcode,
                                                       std::optional<Performance> &performance)
{
    Rows q = run(QStringLiteral("SELECT s.operator_id, o.place_code, s.client_address, s.created_at,"
                                " s.last_used_at, p.bizcode, p.place_code, p.goods_name, p.starts_at,"
                                " p.place_name FROM sessions s JOIN operators o"
                                " ON o.operator_id = s.operator_id"
                                " LEFT JOIN performances p ON p.bizcode = ? WHERE s.key_hash = ?"),
                 {bizcode, keyHash});
    if (!q.next())
        return std::nullopt;
    SessionRecord session = sessionFrom(q, keyHash);
    performance.reset();
    if (!q.value(5).isNull())
        performance = performanceFrom(q, 5);
    q.finish();
    return keepSession(std::move(session), now, idleBefore);
}

// Ends a session idle too long, or notes its use (at most once a kSessionTouchSecs).
std::optional<SessionRecord> SqlStorage::keepSession(SessionRecord session, qint64 now,
                                                     qint64 idleBefore)
{
    if (session.lastUsedAt < idleBefore) {
        inWriteTransaction([&](SqlStorage &db) {
            db.run(QStringLiteral("DELETE FROM sessions WHERE key_hash = ?"), {session.keyHash});
        });
        return std::nullopt;
    }
    if (now - session.lastUsedAt >= kSessionTouchSecs) {
        inWriteTransaction([&](SqlStorage &db) {
            db.run(QStringLiteral("UPDATE sessions SET last_used_at = ? WHERE key_hash = ?"),
                   {now, session.keyHash});
        });
        session.lastUsedAt = now;
    }
    return session;
}

QList<SessionRecord> SqlStorage::sessions(const QString &operatorId)
{
    Rows q = run(
        QStringLiteral("SELECT s.key_hash, s.operator_id, COALESCE(o.place_code, ''),"
                       " s.client_address, s.created_at, s.last_used_at FROM sessions s"
                       " LEFT JOIN operators o ON o.operator_id = s.operator_id"
                       " WHERE ? = '' OR s.operator_id = ? ORDER BY s.operator_id, s.created_at"),
        {text(operatorId), text(operatorId)});
    QList<SessionRecord> list;
    while (q.next()) {
        list << SessionRecord{q.value(0).toString(),   q.value(1).toString(),
                              q.value(2).toString(),   q.value(3).toString(),
                              q.value(4).toLongLong(), q.value(5).toLongLong()};
    }
    return list;
}

bool SqlStorage::revokeSession(const QString &keyHash)
{
    WriteTransaction tx(*this);
    Rows q = run(QStringLiteral("DELETE FROM sessions WHERE key_hash = ?"), {keyHash});
    const bool removed = q.numRowsAffected() > 0;
    tx.commit();
    return removed;
}

int SqlStorage::revokeSessions(const QString &operatorId)
{
    WriteTransaction tx(*this);
    Rows q = run(QStringLiteral("DELETE FROM sessions WHERE operator_id = ?"), {operatorId});
    const int removed = q.numRowsAffected();
    tx.commit();
    return removed;
}

void SqlStorage::recordSignIn(const SignInAttempt &attempt)
{
    inWriteTransaction([&](SqlStorage &db) {
        db.run(QStringLiteral("INSERT INTO sign_in_log (attempted_at, operator_id, client_address,"
                              " result) VALUES (?, ?, ?, ?)"),
               {nowStamp(), text(attempt.operatorId), text(attempt.clientAddress),
                text(attempt.result)});
    });
}

QList<SignInAttempt> SqlStorage::signInLog(int newest)
{
    Rows q = run(
        QStringLiteral("SELECT attempted_at, operator_id, client_address, result FROM sign_in_log"
                       " ORDER BY id DESC LIMIT ?"),
        {newest});
    QList<SignInAttempt> list;
    while (q.next())
        list << SignInAttempt{q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                              q.value(3).toString()};
    return list;
}

void SqlStorage::addRefusalCounts(const QList<RefusalCount> &counts)
{
    if (counts.isEmpty())
        return;
    inWriteTransaction([&](SqlStorage &db) {
        for (const RefusalCount &c : counts)
            db.run(
                QStringLiteral(
                    "INSERT INTO refusal_counts (minute, client_address, what, count, last_text)"
                    " VALUES (?, ?, ?, ?, ?) ON CONFLICT (minute, client_address, what) DO UPDATE"
                    " SET count = refusal_counts.count + excluded.count,"
                    " last_text = excluded.last_text"),
                {text(c.minute), text(c.clientAddress), text(c.what), c.count, text(c.lastText)});
    });
}

QList<RefusalCount> SqlStorage::refusalCounts(int newest)
{
    Rows q = run(QStringLiteral("SELECT minute, client_address, what, count, last_text"
                                " FROM refusal_counts ORDER BY minute DESC, client_address, what"
                                " LIMIT ?"),
                 {newest});
    QList<RefusalCount> list;
    while (q.next())
        list << RefusalCount{q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                             q.value(3).toLongLong(), q.value(4).toString()};
    return list;
}

qint64 SqlStorage::pruneUnauthenticated(const QString &stamp)
{
    // In small transactions, so that no scan waits long behind a large backlog.
    constexpr int kBatch = 1000;
    const QStringList deletes = {
        QStringLiteral("DELETE FROM sign_in_log WHERE id IN"
                       " (SELECT id FROM sign_in_log WHERE attempted_at < ? LIMIT %1)"),
        QStringLiteral("DELETE FROM refusal_counts WHERE (minute, client_address, what) IN"
                       " (SELECT minute, client_address, what FROM refusal_counts"
                       " WHERE minute < substr(?, 1, 16) LIMIT %1)"),
    };
    qint64 removed = 0;
    for (const QString &sql : deletes) {
        for (int batch = kBatch; batch == kBatch;) {
            inWriteTransaction([&](SqlStorage &db) {
                batch = db.run(sql.arg(kBatch), {stamp}).numRowsAffected();
            });
            removed += batch;
        }
    }
    // The audit has no index for this: its rows are looked for outside the write transaction.
    for (;;) {
        QStringList ids;
        {
            Rows q = run(QStringLiteral("SELECT id FROM scan_log WHERE kind = ? AND scanned_at < ?"
                                        " LIMIT %1")
                             .arg(kBatch),
                         {QString::fromLatin1(kAuditUnauthorized), stamp});
            while (q.next())
                ids << QString::number(q.value(0).toLongLong());
        }
        if (ids.isEmpty())
            break;
        inWriteTransaction([&](SqlStorage &db) {
            db.run(QStringLiteral("DELETE FROM scan_log WHERE id IN (%1)").arg(ids.join(u',')));
        });
        removed += ids.size();
    }
    return removed;
}

namespace {

class SqliteWriter;

class SqliteStorage final : public SqlStorage
{
public:
    SqliteStorage(QSqlDatabase db, QString path, StorageUse use, std::shared_ptr<SqliteWriter> writer)
        : SqlStorage(std::move(db))
        , m_path(std::move(path))
        , m_writer(std::move(writer))
    {
        // WAL lets readers run beside the one writer; FULL makes every commit durable before
        // the gate hears "accepted". An admin command waits for the server as long as it takes;
        // the server's own connections give up on a lock within the time a gate may wait.
        exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(use == StorageUse::Admin ? 15000 : kScanBudgetMs));
        exec(QStringLiteral("PRAGMA journal_mode = WAL"));
        exec(QStringLiteral("PRAGMA synchronous = FULL"));
        exec(QStringLiteral("PRAGMA foreign_keys = ON"));
        if (use == StorageUse::Serving)
            pollForLocks();
    }
    QString describe() const override { return QStringLiteral("sqlite:") + m_path; }
    ScanOutcome scan(const ScanRequest &request) override;
    void inWriteTransaction(const WriteWork &work) override;
    void checkHealth() override;

    // For the writer: waits at most this long for another process's write lock.
    void setBusyTimeout(qint64 ms) { m_busyBudgetMs = ms; }

protected:
    // IMMEDIATE takes the write lock up front, so no transaction ever has to upgrade a read lock.
    QString beginWriteSql() const override { return QStringLiteral("BEGIN IMMEDIATE"); }
    QString serialIdType() const override { return QStringLiteral("INTEGER PRIMARY KEY AUTOINCREMENT"); }
    bool isSqlite() const override { return true; }

private:
    QString m_path;
    // SQLite's own wait sleeps up to 100 ms between tries, so a writer waiting on another
    // process that takes the lock again right after each commit (an import) may never get it.
    // Trying every quarter millisecond finds the gap between two of its transactions.
    void pollForLocks()
    {
        const QVariant handle = m_db.driver()->handle();
        if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
            return;
        sqlite3 *db = *static_cast<sqlite3 *const *>(handle.constData());
        sqlite3_busy_handler(db, &SqliteStorage::onBusy, this);
    }
    static int onBusy(void *self, int tries)
    {
        auto *s = static_cast<SqliteStorage *>(self);
        const qint64 now = steadyNs();
        if (tries == 0)
            s->m_busySinceNs = now;
        if ((now - s->m_busySinceNs) / 1000000 >= s->m_busyBudgetMs)
            return 0;
        std::this_thread::sleep_for(std::chrono::microseconds(250));
        return 1;
    }

    std::shared_ptr<SqliteWriter> m_writer;
    qint64 m_busyBudgetMs = kScanBudgetMs;
    qint64 m_busySinceNs = 0;
};

// The one writer of a server process on one SQLite file. Scans of all worker threads queue here;
// its thread takes all that wait, commits them in one transaction (one durable write for the lot)
// and then wakes each worker with its outcome. A scan that has waited past the gate's budget
// (another process holds the lock) is answered busy instead of being tried.
class SqliteWriter
{
public:
    static std::shared_ptr<SqliteWriter> forPath(const QString &absolutePath)
    {
        static std::mutex mutex;
        static std::map<QString, std::weak_ptr<SqliteWriter>> writers;
        std::lock_guard lock(mutex);
        std::shared_ptr<SqliteWriter> writer = writers[absolutePath].lock();
        if (!writer) {
            writer = std::make_shared<SqliteWriter>(absolutePath);
            writers[absolutePath] = writer;
        }
        return writer;
    }

    explicit SqliteWriter(QString path)
        : m_path(std::move(path))
        , m_thread([this] { loop(); })
    {
    }
    ~SqliteWriter()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

    ScanOutcome scan(const ScanRequest &request)
    {
        Pending pending{&request, {}, request.startedNs, {}, {}, false};
        wait(pending);
        return pending.outcome;
    }

    // False when one commit has been under way for longer than any healthy one takes: its
    // busy wait is bounded by a scan's budget.
    bool alive() const
    {
        const qint64 since = m_commitSinceNs.load(std::memory_order_relaxed);
        return since == 0 || (steadyNs() - since) / 1000000 < 2 * kScanBudgetMs;
    }

    // Other writes of the serving path (sessions, sign-ins, refused scans' audit) share the
    // scans' commit, so they never hold the file's one write lock on their own.
    void write(const SqlStorage::WriteWork &work)
    {
        Pending pending{nullptr, &work, steadyNs(), {}, {}, false};
        wait(pending);
    }

private:
    struct Pending
    {
        const ScanRequest *request; // or
        const SqlStorage::WriteWork *work;
        qint64 arrivedNs;
        ScanOutcome outcome;
        std::exception_ptr failure;
        bool finished;
    };

    void wait(Pending &pending)
    {
        std::unique_lock lock(m_mutex);
        m_queue.push_back(&pending);
        m_wake.notify_all();
        m_done.wait(lock, [&] { return pending.finished; });
        if (pending.failure)
            std::rethrow_exception(pending.failure);
    }

    void loop()
    {
        std::unique_ptr<SqliteStorage> storage;
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [&] { return m_stopping || !m_queue.empty(); });
            if (m_stopping && m_queue.empty())
                break;
            std::vector<Pending *> batch;
            batch.swap(m_queue);
            lock.unlock();
            m_commitSinceNs.store(steadyNs(), std::memory_order_relaxed);
            commit(storage, batch);
            m_commitSinceNs.store(0, std::memory_order_relaxed);
            lock.lock();
            for (Pending *p : batch)
                p->finished = true;
            m_done.notify_all();
        }
        lock.unlock();
        storage.reset();
    }

    void commit(std::unique_ptr<SqliteStorage> &storage, const std::vector<Pending *> &batch)
    {
        const qint64 now = steadyNs();
        std::vector<SqlStorage::GroupSlot> group;
        std::vector<Pending *> tried;
        qint64 oldest = now;
        for (Pending *p : batch) {
            const qint64 arrived = p->arrivedNs > 0 ? p->arrivedNs : now;
            if ((now - arrived) / 1000000 >= kScanBudgetMs) {
                p->failure = std::make_exception_ptr(StorageBusy("the scan waited too long for the database"));
                continue;
            }
            oldest = std::min(oldest, arrived);
            SqlStorage::GroupSlot slot;
            slot.request = p->request;
            if (p->work)
                slot.work = *p->work;
            group.push_back(std::move(slot));
            tried.push_back(p);
        }
        if (group.empty())
            return;
        try {
            if (!storage)
                storage = openWriterConnection();
            storage->setBusyTimeout(std::max<qint64>(10, kScanBudgetMs - (now - oldest) / 1000000));
            storage->scanGroup(group);
            for (size_t i = 0; i < group.size(); ++i) {
                tried[i]->outcome = std::move(group[i].outcome);
                tried[i]->failure = group[i].failure;
            }
        } catch (const StorageError &) {
            storage.reset(); // a new connection for the next group
            for (Pending *p : tried)
                p->failure = std::current_exception();
        }
    }

    std::unique_ptr<SqliteStorage> openWriterConnection();

    QString m_path;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    std::vector<Pending *> m_queue;
    bool m_stopping = false;
    std::atomic<qint64> m_commitSinceNs{0}; // steady clock; 0 while idle
    std::thread m_thread;
};

ScanOutcome SqliteStorage::scan(const ScanRequest &request)
{
    return m_writer ? m_writer->scan(request) : SqlStorage::scan(request);
}

void SqliteStorage::checkHealth()
{
    SqlStorage::checkHealth();
    if (m_writer && !m_writer->alive())
        throw StorageError("the writer has been stuck in one commit for more than twice a scan's budget");
}

void SqliteStorage::inWriteTransaction(const WriteWork &work)
{
    if (m_writer)
        m_writer->write(work);
    else
        SqlStorage::inWriteTransaction(work);
}

QSqlDatabase openSqliteConnection(const QString &path)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), newConnectionName());
    db.setDatabaseName(path);
    if (!db.open()) {
        const QString err = db.lastError().text();
        const QString name = db.connectionName();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
        throw StorageError(QStringLiteral("cannot open SQLite database %1: %2").arg(path, err).toStdString());
    }
    return db;
}

std::unique_ptr<SqliteStorage> SqliteWriter::openWriterConnection()
{
    return std::make_unique<SqliteStorage>(openSqliteConnection(m_path), m_path, StorageUse::Serving, nullptr);
}

class PostgresStorage final : public SqlStorage
{
public:
    PostgresStorage(QSqlDatabase db, QString description, StorageUse use)
        : SqlStorage(std::move(db))
        , m_description(std::move(description))
    {
        exec(QStringLiteral("SET synchronous_commit TO on"));
        exec(QStringLiteral("SET client_min_messages TO warning"));
        if (use == StorageUse::Serving) {
            // A gate hears "busy" rather than waiting behind a lock held elsewhere.
            exec(QStringLiteral("SET lock_timeout TO %1").arg(kScanBudgetMs));
            exec(QStringLiteral("SET statement_timeout TO %1").arg(kScanBudgetMs + 300));
        }
    }
    QString describe() const override { return m_description; }

protected:
    QString beginWriteSql() const override { return QStringLiteral("BEGIN"); }
    QString serialIdType() const override { return QStringLiteral("BIGSERIAL PRIMARY KEY"); }
    bool isSqlite() const override { return false; }
    // Several servers may start at once; CREATE ... IF NOT EXISTS alone races in PostgreSQL.
    void lockSchema() override { exec(QStringLiteral("SELECT pg_advisory_xact_lock(8470)")); }

private:
    QString m_description;
};

} // namespace

std::unique_ptr<Storage> openSqlite(const QString &path, StorageUse use)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    QSqlDatabase db = openSqliteConnection(path);
    try {
        return std::make_unique<SqliteStorage>(db, absolute, use,
                                               use == StorageUse::Serving ? SqliteWriter::forPath(absolute) : nullptr);
    } catch (const StorageError &e) {
        throw StorageError(QStringLiteral("cannot use SQLite database %1: %2")
                               .arg(path, QString::fromStdString(e.what()))
                               .toStdString());
    }
}

std::unique_ptr<Storage> openPostgres(const PgParams &p, StorageUse use)
{
    const QString description = QStringLiteral("postgresql://%1@%2:%3/%4")
                                    .arg(p.user, p.host, QString::number(p.port), p.database);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), newConnectionName());
    db.setHostName(p.host);
    db.setPort(p.port);
    db.setUserName(p.user);
    db.setPassword(p.password);
    db.setDatabaseName(p.database);
    // libpq waits at least 2 s; a gate's request is answered busy when it cannot connect. A
    // serving connection also notices within seconds that the database host went silent (data
    // not acknowledged, or an idle connection not answering probes), so its worker is free again.
    db.setConnectOptions(use == StorageUse::Serving
                             ? QStringLiteral("connect_timeout=2;tcp_user_timeout=3000;keepalives_idle=10;"
                                              "keepalives_interval=2;keepalives_count=3")
                             : QStringLiteral("connect_timeout=5"));
    if (!db.open()) {
        const QString err = db.lastError().text();
        const QString name = db.connectionName();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
        throw StorageBusy(QStringLiteral("cannot connect to %1: %2").arg(description, err).toStdString());
    }
    return std::make_unique<PostgresStorage>(db, description, use);
}

} // namespace qav
