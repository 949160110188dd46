// PostgreSQL: an accepted fresh scan, as nearly all scans are, in one statement committed on its
// own: one round trip where a transaction of its own would take six (three where the server can
// keep one plan for it: the setting needs a transaction, begun in the same round trip). Everything
// else (a refusal, a repeated request) goes the way of every scan, in sqlscan.cpp.

#include "server/storage/sqlstorage.h"

#include "server/base/steadyclock.h"
#include "server/storage/scanreplay.h"
#include "server/storage/sqlrecords.h"

#include <optional>

namespace qav {

// The statement, for an entry with a replay key:
//   b  locks the booking if the scan can change it, and reads it as it is after any scan
//      before it committed;
//   r  takes the replay key with the answer b's row makes, or nothing when the key is there;
//   u  changes the booking only when r took the key;
//   and the booking counters, the audit row and its kept figures are written from u's row.
// So when the key is taken nothing is written, and the caller answers from the stored answer as
// before. Without a key, u stands alone. It returns whether b found a row and u's row (entries,
// never null, telling whether there is one).
SqlStorage::OneScan SqlStorage::scanInOneStatement(const ScanRequest &request, ScanOutcome &outcome)
{
    const bool entry = request.mode == QLatin1String("I");
    if ((!entry && request.mode != QLatin1String("O")) || request.ticketRaw.isEmpty())
        return OneScan::Usual;
    const std::optional<Performance> performance =
        request.performance ? *request.performance : findPerformance(request.bizcode);
    if (!performance)
        return OneScan::Usual;
    const bool keyed = !request.replayKey.isEmpty();
    const QString now = nowStamp();
    const qint64 tookUs = request.startedNs > 0 ? (steadyNs() - request.startedNs) / 1000 : 0;
    const QString state =
        entry ? u"cancelled = 0 AND inside = 0"_qs : u"cancelled = 0 AND inside = 1"_qs;

    // What an accepted scan answers, chosen in SQL by whether the booking has left before.
    ScanOutcome first, again;
    first.result = entry ? ScanResult::Entered : ScanResult::Exited;
    again.result = entry ? ScanResult::ReEntered : ScanResult::Exited;
    describeOutcome(first);
    describeOutcome(again);

    QStringList ctes;
    QVariantList binds;
    if (keyed) {
        ctes << QStringLiteral("b AS MATERIALIZED (SELECT exits FROM bookings WHERE bizcode = ?"
                               " AND ticket_no = ? AND %1 FOR UPDATE)")
                    .arg(state)
             << u"r AS (INSERT INTO scan_replays (operator_id, replay_key, request, created_at,"
                " answer) SELECT ?, ?, ?, CAST(? AS BIGINT), CASE WHEN exits > 0 THEN ? ELSE ? END "
                "FROM b"
                " WHERE true ON CONFLICT (operator_id, replay_key) DO NOTHING RETURNING 1)"_qs;
        binds << request.bizcode << request.ticketRaw << replayOperator(request)
              << request.replayKey << replayRequest(request) << QDateTime::currentSecsSinceEpoch()
              << encodeAnswer(again) << encodeAnswer(first);
    }
    ctes << (entry ? u"u AS (UPDATE bookings SET inside = 1, entries = entries + 1,"
                     " last_entry_at = ?, last_entry_by = ?"_qs
                   : u"u AS (UPDATE bookings SET inside = 0, exits = exits + 1,"
                     " last_exit_at = ?, last_exit_by = ?"_qs) +
                QStringLiteral(" WHERE bizcode = ? AND ticket_no = ? AND %1%2"
                               " RETURNING cust_name, seat_grade, seat_info, exits, entries)")
                    .arg(state, keyed ? u" AND EXISTS (SELECT 1 FROM r)"_qs : QString());
    binds << now << request.operatorId << request.bizcode << request.ticketRaw;

    QList<Statement> moves{acceptedScanCountsMove(request.bizcode, entry, u"FROM u"_qs)};
    const AuditCount audited{request.bizcode, request.operatorId, now,
                             request.mode,    first.code,         QString::fromLatin1(kAuditScan),
                             tookUs};
    moves += scanCounterMoves(audited, u"FROM u"_qs);
    for (const Statement &move : moves) {
        ctes << QStringLiteral("k%1 AS (%2)").arg(ctes.size()).arg(move.sql);
        binds += move.binds;
    }
    ctes << u"a AS (INSERT INTO scan_log (scanned_at, operator_id, bizcode, ticket_raw, mode,"
            " result_code, result_msg, duration_us, client_address, session_operator, kind,"
            " manual_reason, annuls) SELECT ?, ?, ?, ?, ?, CASE WHEN exits > 0 THEN ? ELSE ? END,"
            " CASE WHEN exits > 0 THEN ? ELSE ? END, CAST(? AS BIGINT), ?, ?, ?, '', 0 FROM u)"_qs;
    binds << now << notNull(request.operatorId) << request.bizcode << request.ticketRaw
          << request.mode << again.code << first.code << again.message << first.message << tookUs
          << notNull(request.clientAddress) << notNull(request.sessionOperator)
          << QString::fromLatin1(kAuditScan);

    // Planned for each scan's values, as PostgreSQL chooses for this statement, the planning took
    // a quarter of the gates' throughput; made once, the plan serves every value. Set for this
    // transaction alone: the dashboard's reads over ranges of minutes need plans for their values.
    std::optional<WriteTransaction> tx;
    if (const QString plan = planOnceSql(); !plan.isEmpty())
        tx.emplace(*this, plan);
    Rows q =
        run(QStringLiteral(
                "WITH %1 SELECT %2, u.entries, u.cust_name,"
                " u.seat_grade, u.seat_info, u.exits FROM (SELECT 1) AS one LEFT JOIN u ON true")
                .arg(ctes.join(u", "), keyed ? u"(SELECT COUNT(*) FROM b)"_qs : u"0"_qs),
            binds);
    if (!q.next())
        return OneScan::Usual;
    if (q.value(1).isNull())
        return q.value(0).toLongLong() > 0 ? OneScan::KeyTaken : OneScan::Usual;
    outcome.performance = *performance;
    outcome.booking.bizcode = request.bizcode;
    outcome.booking.ticketNo = request.ticketRaw;
    outcome.booking.custName = q.value(2).toString();
    outcome.booking.seatGrade = q.value(3).toString();
    outcome.booking.seatInfo = q.value(4).toString();
    outcome.result = q.value(5).toLongLong() > 0 ? again.result : first.result;
    q.finish();
    tallyGateMinute(audited);
    if (tx)
        tx->commit();
    describeOutcome(outcome);
    pruneReplaysNowAndThen();
    return OneScan::Done;
}

} // namespace qav
