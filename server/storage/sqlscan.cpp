// The gate's rule: a scan as one conditional write with its audit row, the replay store that
// answers a repeated request with the first answer, the audit of refused requests, the counts.

#include "server/storage/sqlstorage.h"

#include "server/base/steadyclock.h"
#include "server/storage/scanreplay.h"
#include "server/storage/sqlrecords.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <algorithm>

namespace qav {

namespace {

// Expired replay answers are swept once every this many scans of a connection.
constexpr int kReplayPruneEvery = 64;

// An answer stored by an earlier version: the answer's nine texts as a JSON array.
bool decodeJsonAnswer(const QString &text, ScanOutcome &o)
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

} // namespace

QString replayOperator(const ScanRequest &request)
{
    return request.sessionOperator.isEmpty() ? request.operatorId : request.sessionOperator;
}

QString replayRequest(const ScanRequest &request)
{
    return request.mode + u'\x1f' + request.bizcode + u'\x1f' + request.ticketRaw;
}

QString encodeAnswer(const ScanOutcome &o)
{
    QString text = QString::number(int(o.result));
    if (o.result == ScanResult::OtherPerformance)
        text += u'\x1f' + o.performance.startsAt;
    else if (!o.when.isEmpty() || !o.who.isEmpty())
        text += u'\x1f' + o.when + u'\x1f' + o.who;
    return text;
}

// The answer encodeAnswer stored for request, told again; false when text is none.
bool SqlStorage::decodeAnswer(const ScanRequest &request, const QString &text, ScanOutcome &o)
{
    if (text.startsWith(u'['))
        return decodeJsonAnswer(text, o);
    const QStringList parts = text.split(u'\x1f');
    bool ok = false;
    const int result = parts[0].toInt(&ok);
    if (!ok || result < int(ScanResult::Entered) || result > int(ScanResult::AlreadyLeft))
        return false;
    o.result = ScanResult(result);
    o.booking.bizcode = request.bizcode;
    o.booking.ticketNo = request.ticketRaw;
    if (o.result == ScanResult::OtherPerformance) {
        o.performance.startsAt = parts.value(1);
    } else {
        o.when = parts.value(1);
        o.who = parts.value(2);
        const std::optional<Performance> p =
            request.performance ? *request.performance : findPerformance(request.bizcode);
        if (p)
            o.performance = *p;
        if (const std::optional<BookingRecord> b = findBooking(request.bizcode, request.ticketRaw))
            o.booking = b->booking;
    }
    describeOutcome(o);
    return true;
}

ScanOutcome SqlStorage::scan(const ScanRequest &request)
{
    ScanOutcome outcome;
    if (!isSqlite()) {
        switch (scanInOneStatement(request, outcome)) {
        case OneScan::Done:
            return outcome;
        case OneScan::KeyTaken:
            outcome = {};
            {
                WriteTransaction tx(*this);
                recordScan(request, outcome);
                tx.commit();
            }
            return outcome;
        case OneScan::Usual:
            outcome = {};
            break; // refusals are rarer, and their reasons read after the change: as below
        }
    }
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
        Rows q = run(
            QStringLiteral(
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
    pruneReplaysNowAndThen();
}

void SqlStorage::pruneReplaysNowAndThen()
{
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

AnnulOutcome SqlStorage::annul(const AnnulRequest &request)
{
    AnnulOutcome outcome;
    inWriteTransaction([&](SqlStorage &db) {
        outcome = {};
        db.annulInTransaction(request, outcome);
    });
    describeAnnul(outcome);
    return outcome;
}

// Reads only the ticket's rows of the last kAnnulWindowSecs, through the index on time, so that
// a performance's long audit does not hold the gates' writer; older rows are read only to find
// the entry or exit that becomes the last one again, when there is one.
void SqlStorage::annulInTransaction(const AnnulRequest &request, AnnulOutcome &outcome)
{
    const QString &ticket = request.ticketNo;
    // Holds the booking first: a gate's scan of it now waits for this transaction, and every scan
    // that came before has its audit row committed and visible to the reads below.
    qint64 entries = 0, exits = 0;
    {
        Rows q = run(QStringLiteral("UPDATE bookings SET inside = inside WHERE bizcode = ? AND"
                                    " ticket_no = ? RETURNING entries, exits"),
                     {request.bizcode, ticket});
        if (!q.next()) {
            outcome.result = AnnulResult::NothingToAnnul;
            return;
        }
        entries = q.value(0).toLongLong();
        exits = q.value(1).toLongLong();
    }
    const QString cutoff = QDateTime::currentDateTime()
                               .addSecs(-kAnnulWindowSecs)
                               .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    // Accepted entries and exits still standing, oldest first. An annulment is always later than
    // the row it undoes, so the window holds the annulments of every row in it.
    QList<ScanLogEntry> moves;
    QSet<qint64> undone;
    {
        Rows q = run(QStringLiteral("SELECT %1 FROM scan_log WHERE bizcode = ? AND scanned_at >= ?"
                                    " AND ticket_raw = ? AND ((kind IN ('scan', 'manual')"
                                    " AND result_code IN ('0', '1', '2')) OR kind = 'annul')"
                                    " ORDER BY id")
                         .arg(kScanLogColumns),
                     {request.bizcode, cutoff, ticket});
        while (q.next()) {
            const ScanLogEntry e = scanLogEntryFrom(q);
            if (e.kind == QLatin1String(kAuditAnnul))
                undone.insert(e.annuls);
            else
                moves << e;
        }
    }
    if (request.logId > 0) {
        const auto chosen = std::find_if(moves.cbegin(), moves.cend(), [&](const ScanLogEntry &e) {
            return e.id == request.logId;
        });
        if (chosen == moves.cend()) {
            // Older than the window, or no accepted entry or exit of this ticket at all.
            Rows q = run(QStringLiteral("SELECT %1 FROM scan_log WHERE id = ? AND bizcode = ?"
                                        " AND ticket_raw = ? AND kind IN ('scan', 'manual')"
                                        " AND result_code IN ('0', '1', '2')")
                             .arg(kScanLogColumns),
                         {request.logId, request.bizcode, ticket});
            if (q.next()) {
                outcome.annulled = scanLogEntryFrom(q);
                outcome.result = AnnulResult::TooLate;
            } else {
                outcome.result = AnnulResult::NothingToAnnul;
            }
            return;
        }
        outcome.annulled = *chosen;
        if (undone.contains(chosen->id)) {
            outcome.result = AnnulResult::AlreadyAnnulled;
            return;
        }
    }
    moves.removeIf([&](const ScanLogEntry &e) { return undone.contains(e.id); });
    if (moves.isEmpty()) {
        outcome.result = entries + exits > 0 ? AnnulResult::TooLate : AnnulResult::NothingToAnnul;
        return;
    }
    if (request.logId == 0)
        outcome.annulled = moves.constLast();
    const ScanLogEntry &target = outcome.annulled;
    if (moves.constLast().id != target.id) {
        outcome.result = AnnulResult::LaterScan;
        return;
    }

    // The booking as before the row: its previous entry (or exit) becomes the last one again.
    const bool entry = target.mode == QLatin1String("I");
    QString lastAt, lastBy;
    bool found = false;
    for (qsizetype i = moves.size() - 2; i >= 0 && !found; --i) {
        if (moves[i].mode == target.mode) {
            lastAt = moves[i].scannedAt;
            lastBy = moves[i].operatorId;
            found = true;
        }
    }
    if (!found && (entry ? entries : exits) > 1) {
        Rows q = run(
            QStringLiteral("SELECT s.scanned_at, s.operator_id FROM scan_log s WHERE s.bizcode = ?"
                           " AND s.scanned_at < ? AND s.ticket_raw = ? AND s.mode = ?"
                           " AND s.kind IN ('scan', 'manual') AND s.result_code IN ('0', '1', '2')"
                           " AND NOT EXISTS (SELECT 1 FROM scan_log a WHERE a.annuls = s.id"
                           " AND a.annuls <> 0 AND a.kind = 'annul')"
                           " ORDER BY s.scanned_at DESC, s.id DESC LIMIT 1"),
            {request.bizcode, cutoff, ticket, target.mode});
        if (q.next()) {
            lastAt = q.value(0).toString();
            lastBy = q.value(1).toString();
        }
    }
    // The booking's one change of an annulment: an entry undone leaves it outside with one entry
    // fewer, an exit undone inside with one exit fewer. RETURNING gives the state after.
    {
        Rows q = run(entry ? QStringLiteral("UPDATE bookings SET inside = 0, entries = entries - 1,"
                                            " last_entry_at = ?, last_entry_by = ?"
                                            " WHERE bizcode = ? AND ticket_no = ? AND inside = 1"
                                            " AND entries > 0 RETURNING entries, exits, cancelled")
                           : QStringLiteral("UPDATE bookings SET inside = 1, exits = exits - 1,"
                                            " last_exit_at = ?, last_exit_by = ?"
                                            " WHERE bizcode = ? AND ticket_no = ? AND inside = 0"
                                            " AND exits > 0 RETURNING entries, exits, cancelled"),
                     {notNull(lastAt), notNull(lastBy), request.bizcode, ticket});
        if (!q.next()) {
            outcome.result = AnnulResult::StateChanged;
            return;
        }
        const qint64 entries = q.value(0).toLongLong();
        const bool cancelled = q.value(2).toLongLong() != 0;
        q.finish();
        moveCounters(request.bizcode,
                     CountedBooking{cancelled, entry, entry ? entries + 1 : entries},
                     CountedBooking{cancelled, !entry, entries});
    }
    outcome.result = AnnulResult::Annulled;
    describeAnnul(outcome);
    writeAudit(ScanRequest(target.mode, request.bizcode, target.ticketRaw, request.adminId, 0,
                           request.clientAddress, request.adminId),
               QString::fromLatin1(kAuditAnnul), target.resultCode, outcome.message, request.reason,
               target.id);
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
    if (createdAt >= now - kReplayKeepSecs && decodeAnswer(request, answer, outcome)) {
        outcome.replayed = true;
        return false;
    }
    run(QStringLiteral("UPDATE scan_replays SET created_at = ?, answer = '' WHERE operator_id = ? "
                       "AND replay_key = ?"),
        {now, op, request.replayKey});
    return true;
}

void SqlStorage::writeAudit(const ScanRequest &request, const QString &kind, const QString &code,
                            const QString &message, const QString &manualReason, qint64 annuls)
{
    const qint64 tookUs = request.startedNs > 0 ? (steadyNs() - request.startedNs) / 1000 : 0;
    const QString stamp = nowStamp();
    insertAudit(QStringLiteral(
                    "INSERT INTO scan_log (scanned_at, operator_id, bizcode, ticket_raw, mode,"
                    " result_code, result_msg, duration_us, client_address, session_operator, kind,"
                    " manual_reason, annuls) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                {stamp, notNull(request.operatorId), notNull(request.bizcode),
                 notNull(request.ticketRaw), notNull(request.mode), notNull(code), notNull(message),
                 tookUs, notNull(request.clientAddress), notNull(request.sessionOperator), kind,
                 notNull(manualReason), annuls},
                {notNull(request.bizcode), notNull(request.operatorId), stamp, request.mode, code,
                 kind, tookUs});
    // Counted as it happens, so the summary never has to count the log.
    const bool refusedEntry = kind == QLatin1String(kAuditScan) &&
                              request.mode == QLatin1String("I") &&
                              (code == QLatin1String("-1") || code == QLatin1String("-2"));
    if (refusedEntry) {
        run(QStringLiteral(
                "INSERT INTO scan_counts (bizcode, refused) VALUES (?, 1)"
                " ON CONFLICT (bizcode) DO UPDATE SET refused = scan_counts.refused + 1"),
            {notNull(request.bizcode)});
    }
}

void SqlStorage::auditRefusedScan(const ScanRequest &request, const QString &kind,
                                  const QString &code, const QString &message)
{
    inWriteTransaction([&](SqlStorage &db) { db.writeAudit(request, kind, code, message); });
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
    const QString &ticket = request.ticketRaw;
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
        Rows q =
            entry ? run(QStringLiteral(
                            "UPDATE bookings SET inside = 1, entries = entries + 1,"
                            " last_entry_at = ?, last_entry_by = ?"
                            " WHERE bizcode = ? AND ticket_no = ? AND cancelled = 0 AND inside = 0"
                            " RETURNING cust_name, seat_grade, seat_info, exits, entries"),
                        {now, request.operatorId, request.bizcode, ticket})
                  : run(QStringLiteral(
                            "UPDATE bookings SET inside = 0, exits = exits + 1,"
                            " last_exit_at = ?, last_exit_by = ?"
                            " WHERE bizcode = ? AND ticket_no = ? AND cancelled = 0 AND inside = 1"
                            " RETURNING cust_name, seat_grade, seat_info, exits, entries"),
                        {now, request.operatorId, request.bizcode, ticket});
        if (q.next()) {
            outcome.booking.custName = q.value(0).toString();
            outcome.booking.seatGrade = q.value(1).toString();
            outcome.booking.seatInfo = q.value(2).toString();
            const bool hadExited = q.value(3).toLongLong() > 0;
            const qint64 entries = q.value(4).toLongLong();
            q.finish();
            moveCounters(request.bizcode,
                         CountedBooking{false, !entry, entry ? entries - 1 : entries},
                         CountedBooking{false, entry, entries});
            outcome.result = !entry ? ScanResult::Exited
                                    : (hadExited ? ScanResult::ReEntered : ScanResult::Entered);
            return;
        }
    }

    // Refused: read why, for the operator.
    {
        Rows q =
            run(QStringLiteral("SELECT cust_name, seat_grade, seat_info, cancelled, inside,"
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
        outcome.performance = performanceFrom(q);
        return;
    }
    outcome.result = ScanResult::UnknownTicket;
}

std::optional<Summary> SqlStorage::summary(const QString &bizcode)
{
    if (!findPerformance(bizcode))
        return std::nullopt;
    Summary s;
    Rows q = run(QStringLiteral("SELECT SUM(total), SUM(admitted), SUM(inside_now), SUM(left_now),"
                                " SUM(not_yet), SUM(reentered), SUM(cancelled),"
                                " (SELECT refused FROM scan_counts WHERE bizcode = ?)"
                                " FROM booking_counts WHERE bizcode = ?"),
                 {bizcode, bizcode});
    if (q.next()) {
        s.total = q.value(0).toLongLong();
        s.admitted = q.value(1).toLongLong();
        s.insideNow = q.value(2).toLongLong();
        s.leftNow = q.value(3).toLongLong();
        s.notYet = q.value(4).toLongLong();
        s.reentered = q.value(5).toLongLong();
        s.cancelled = q.value(6).toLongLong();
        s.refused = q.value(7).toLongLong();
    }
    return s;
}

QList<ScanLogEntry> SqlStorage::scanLog(const QString &bizcode)
{
    Rows q = run(QStringLiteral("SELECT %1 FROM scan_log WHERE bizcode = ? ORDER BY id")
                     .arg(kScanLogColumns),
                 {bizcode});
    QList<ScanLogEntry> list;
    while (q.next())
        list << scanLogEntryFrom(q);
    return list;
}

} // namespace qav
