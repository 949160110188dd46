#include "server/storage/schema.h"

#include "server/base/timebuckets.h"

namespace qav {

// To change the schema, append one step with the next version number; never edit a step that has
// shipped. "ALTER TABLE t ADD COLUMN c ..." is skipped where the column exists already (databases
// made before versions were kept). SqlStorage::initSchema runs the missing steps of an older
// database in one transaction and refuses a database written by a newer version.
const QList<SchemaStep> &schemaSteps()
{
    static const QList<SchemaStep> steps = {
        // 1: the tables of the first release (which kept no version; their IF NOT EXISTS lets a
        // database of that release pass through this step unchanged).
        {1,
         {
             u"CREATE TABLE IF NOT EXISTS venues ("
             " place_code TEXT PRIMARY KEY,"
             " theater_name TEXT NOT NULL)"_qs,
             u"CREATE TABLE IF NOT EXISTS performances ("
             " bizcode TEXT PRIMARY KEY,"
             " place_code TEXT NOT NULL REFERENCES venues(place_code),"
             " goods_name TEXT NOT NULL,"
             " starts_at TEXT NOT NULL,"
             " place_name TEXT NOT NULL DEFAULT '')"_qs,
             u"CREATE INDEX IF NOT EXISTS performances_by_venue"
             " ON performances(place_code, starts_at)"_qs,
             u"CREATE TABLE IF NOT EXISTS operators ("
             " operator_id TEXT PRIMARY KEY,"
             " password_hash TEXT NOT NULL,"
             " place_code TEXT NOT NULL REFERENCES venues(place_code))"_qs,
             u"CREATE TABLE IF NOT EXISTS bookings ("
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
             " PRIMARY KEY (bizcode, ticket_no))"_qs,
             u"CREATE INDEX IF NOT EXISTS bookings_by_ticket ON bookings(ticket_no)"_qs,
             u"CREATE TABLE IF NOT EXISTS scan_log ("
             " id %SERIAL%,"
             " scanned_at TEXT NOT NULL,"
             " operator_id TEXT NOT NULL,"
             " bizcode TEXT NOT NULL,"
             " ticket_raw TEXT NOT NULL,"
             " mode TEXT NOT NULL,"
             " result_code TEXT NOT NULL,"
             " result_msg TEXT NOT NULL,"
             " duration_us BIGINT NOT NULL)"_qs,
             u"CREATE INDEX IF NOT EXISTS scan_log_by_performance ON scan_log(bizcode, mode)"_qs,
         }},
        // 2: signed-in sessions, the sign-in audit, replayable verifications, and where each
        // audited request came from.
        {2,
         {
             u"CREATE TABLE IF NOT EXISTS sessions ("
             " key_hash TEXT PRIMARY KEY,"
             " operator_id TEXT NOT NULL,"
             " client_address TEXT NOT NULL DEFAULT '',"
             " created_at BIGINT NOT NULL,"
             " last_used_at BIGINT NOT NULL)"_qs,
             u"CREATE INDEX IF NOT EXISTS sessions_by_operator ON sessions(operator_id)"_qs,
             u"CREATE TABLE IF NOT EXISTS sign_in_log ("
             " id %SERIAL%,"
             " attempted_at TEXT NOT NULL,"
             " operator_id TEXT NOT NULL,"
             " client_address TEXT NOT NULL,"
             " result TEXT NOT NULL)"_qs,
             u"CREATE TABLE IF NOT EXISTS scan_replays ("
             " operator_id TEXT NOT NULL,"
             " replay_key TEXT NOT NULL,"
             " request TEXT NOT NULL,"
             " created_at BIGINT NOT NULL,"
             " answer TEXT NOT NULL DEFAULT '',"
             " PRIMARY KEY (operator_id, replay_key))"_qs,
             u"CREATE INDEX IF NOT EXISTS scan_replays_by_age ON scan_replays(created_at)"_qs,
             u"ALTER TABLE scan_log ADD COLUMN client_address TEXT NOT NULL DEFAULT ''"_qs,
             u"ALTER TABLE scan_log ADD COLUMN session_operator TEXT NOT NULL DEFAULT ''"_qs,
             u"ALTER TABLE scan_log ADD COLUMN kind TEXT NOT NULL DEFAULT 'scan'"_qs,
         }},
        // 3: operators can be disabled for a season without losing their audit trail.
        {3, {u"ALTER TABLE operators ADD COLUMN disabled INTEGER NOT NULL DEFAULT 0"_qs}},
        // 4: refused entries per performance, kept with every scan so the summary never counts
        // the log; a database from before them counts once.
        {4,
         {
             u"CREATE TABLE IF NOT EXISTS scan_counts ("
             " bizcode TEXT PRIMARY KEY,"
             " refused BIGINT NOT NULL DEFAULT 0)"_qs,
             u"INSERT INTO scan_counts (bizcode, refused)"
             " SELECT bizcode, COUNT(*) FROM scan_log WHERE mode = 'I' AND result_code IN ('-1', "
             "'-2')"
             " AND kind = 'scan' AND NOT EXISTS (SELECT 1 FROM scan_counts) GROUP BY bizcode"_qs,
         }},
        // 5: dashboard supervisors and their sessions; scans made by hand carry their reason.
        {5,
         {
             u"CREATE TABLE IF NOT EXISTS admins ("
             " admin_id TEXT PRIMARY KEY,"
             " password_hash TEXT NOT NULL,"
             " place_code TEXT NOT NULL DEFAULT '')"_qs,
             u"CREATE TABLE IF NOT EXISTS admin_sessions ("
             " token_hash TEXT PRIMARY KEY,"
             " admin_id TEXT NOT NULL REFERENCES admins(admin_id) ON DELETE CASCADE,"
             " csrf_token TEXT NOT NULL,"
             " created_at BIGINT NOT NULL,"
             " last_used BIGINT NOT NULL)"_qs,
             u"ALTER TABLE scan_log ADD COLUMN manual_reason TEXT NOT NULL DEFAULT ''"_qs,
             u"CREATE INDEX IF NOT EXISTS scan_log_by_time ON scan_log(bizcode, scanned_at)"_qs,
         }},
        // 6: requests refused before a session was known, counted per address and minute; the
        // sign-in audit is pruned by age.
        {6,
         {
             u"CREATE TABLE IF NOT EXISTS refusal_counts ("
             " minute TEXT NOT NULL,"
             " client_address TEXT NOT NULL,"
             " what TEXT NOT NULL,"
             " count BIGINT NOT NULL,"
             " last_text TEXT NOT NULL DEFAULT '',"
             " PRIMARY KEY (minute, client_address, what))"_qs,
             u"CREATE INDEX IF NOT EXISTS sign_in_log_by_time ON sign_in_log(attempted_at)"_qs,
         }},
        // 7: rehearsals of the gates, recorded before they make anything, so that what a killed
        // one left is found and removed.
        {7,
         {
             u"CREATE TABLE IF NOT EXISTS drill_runs ("
             " bizcode TEXT PRIMARY KEY,"
             " operator_id TEXT NOT NULL,"
             " place_code TEXT NOT NULL,"
             " own_venue INTEGER NOT NULL DEFAULT 0,"
             " host TEXT NOT NULL,"
             " pid BIGINT NOT NULL,"
             " started_at BIGINT NOT NULL,"
             " alive_at BIGINT NOT NULL)"_qs,
         }},
        // 8: an annulment's audit row names the row it undid; the few that do are indexed.
        {8,
         {
             u"ALTER TABLE scan_log ADD COLUMN annuls BIGINT NOT NULL DEFAULT 0"_qs,
             u"CREATE INDEX IF NOT EXISTS scan_log_annulments ON scan_log(annuls)"
             " WHERE annuls <> 0"_qs,
         }},
        // 9: seals over the audit, each chained to the one before (auditseal.h).
        {9,
         {
             u"CREATE TABLE IF NOT EXISTS audit_seals ("
             " seal_no BIGINT PRIMARY KEY,"
             " sealed_at TEXT NOT NULL,"
             " sealed_secs BIGINT NOT NULL,"
             " low_water BIGINT NOT NULL,"
             " seen_max BIGINT NOT NULL,"
             " gaps TEXT NOT NULL DEFAULT '',"
             " row_count BIGINT NOT NULL,"
             " key_id TEXT NOT NULL DEFAULT '',"
             " mac TEXT NOT NULL,"
             " entries TEXT NOT NULL)"_qs,
         }},
        // 10: the summary's and the dashboard's counters, kept with every change that moves them
        // (rows per performance and connection shard, summed when read); an older database counts
        // once. The refusals and a ticket's history are found through indexes of their own.
        {10,
         QStringList{
             u"CREATE TABLE IF NOT EXISTS booking_counts ("
             " bizcode TEXT NOT NULL,"
             " shard INTEGER NOT NULL,"
             " total INTEGER NOT NULL DEFAULT 0,"
             " admitted INTEGER NOT NULL DEFAULT 0,"
             " inside_now INTEGER NOT NULL DEFAULT 0,"
             " left_now INTEGER NOT NULL DEFAULT 0,"
             " not_yet INTEGER NOT NULL DEFAULT 0,"
             " reentered INTEGER NOT NULL DEFAULT 0,"
             " cancelled INTEGER NOT NULL DEFAULT 0,"
             " PRIMARY KEY (bizcode, shard))"_qs,
             u"CREATE TABLE IF NOT EXISTS minute_counts ("
             " bizcode TEXT NOT NULL,"
             " minute TEXT NOT NULL,"
             " shard INTEGER NOT NULL,"
             " entries INTEGER NOT NULL DEFAULT 0,"
             " exits INTEGER NOT NULL DEFAULT 0,"
             " PRIMARY KEY (bizcode, minute, shard))"_qs,
             u"CREATE TABLE IF NOT EXISTS gate_counts ("
             " bizcode TEXT NOT NULL,"
             " operator_id TEXT NOT NULL,"
             " shard INTEGER NOT NULL,"
             " scans INTEGER NOT NULL DEFAULT 0,"
             " accepted INTEGER NOT NULL DEFAULT 0,"
             " refused INTEGER NOT NULL DEFAULT 0,"
             " last_scan_at TEXT NOT NULL DEFAULT '',"
             " manual INTEGER NOT NULL DEFAULT 0,"
             " PRIMARY KEY (bizcode, operator_id, shard))"_qs,
             u"CREATE INDEX IF NOT EXISTS scan_log_refusals ON scan_log(bizcode, id)"
             " WHERE result_code IN ('-1', '-2') AND kind IN ('scan', 'manual')"_qs,
             u"CREATE INDEX IF NOT EXISTS scan_log_by_ticket ON scan_log(bizcode, TRIM(ticket_raw))"_qs,
         } + counterFillStatements()},
        // 11: the audit keeps a ticket in its normal form, as the gate acted on it, so a ticket's
        // rows are found by plain equality. An older row that was recorded as sent keeps that
        // text in ticket_sent, from which its seal's digest is still made (RowDigester): it is
        // rewritten, not re-sealed, since the key may not be at hand here, and its seal stays
        // good.
        {11,
         {
             u"ALTER TABLE scan_log ADD COLUMN ticket_sent TEXT NOT NULL DEFAULT ''"_qs,
             QStringLiteral("UPDATE scan_log SET ticket_sent = ticket_raw,"
                            " ticket_raw = TRIM(ticket_raw, '%1')"
                            " WHERE ticket_raw <> TRIM(ticket_raw, '%1')")
                 .arg(ticketSpaces()),
             u"DROP INDEX IF EXISTS scan_log_by_ticket"_qs,
             u"CREATE INDEX IF NOT EXISTS scan_log_by_ticket_no ON scan_log(bizcode, ticket_raw)"_qs,
         }},
        // 12: the sales system's API: its tokens (kept as hashes), the answers kept for its
        // retries, a change sequence per performance that every write of a booking's own data
        // moves (existing bookings numbered once, by ticket), and the feed numbers given to audit
        // rows as they are read, in commit order, beside the sealed audit rather than in it.
        {12,
         {
             u"CREATE TABLE IF NOT EXISTS sync_tokens ("
             " name TEXT PRIMARY KEY,"
             " token_hash TEXT NOT NULL UNIQUE,"
             " place_code TEXT NOT NULL REFERENCES venues(place_code),"
             " created_at BIGINT NOT NULL)"_qs,
             u"CREATE TABLE IF NOT EXISTS sync_replays ("
             " token_name TEXT NOT NULL,"
             " idem_key TEXT NOT NULL,"
             " request_hash TEXT NOT NULL,"
             " created_at BIGINT NOT NULL,"
             " status INTEGER NOT NULL DEFAULT 0,"
             " answer TEXT NOT NULL DEFAULT '',"
             " PRIMARY KEY (token_name, idem_key))"_qs,
             u"CREATE INDEX IF NOT EXISTS sync_replays_by_age ON sync_replays(created_at)"_qs,
             u"ALTER TABLE bookings ADD COLUMN change_seq BIGINT NOT NULL DEFAULT 0"_qs,
             u"UPDATE bookings SET change_seq = r.n FROM (SELECT bizcode, ticket_no,"
             " ROW_NUMBER() OVER (PARTITION BY bizcode ORDER BY ticket_no) AS n FROM bookings) r"
             " WHERE bookings.bizcode = r.bizcode AND bookings.ticket_no = r.ticket_no"
             " AND bookings.change_seq = 0"_qs,
             u"CREATE INDEX IF NOT EXISTS bookings_by_change ON bookings(bizcode, change_seq)"_qs,
             u"CREATE TABLE IF NOT EXISTS change_seqs ("
             " bizcode TEXT PRIMARY KEY,"
             " last_seq BIGINT NOT NULL)"_qs,
             u"INSERT INTO change_seqs (bizcode, last_seq) SELECT bizcode, MAX(change_seq)"
             " FROM bookings WHERE true GROUP BY bizcode ON CONFLICT (bizcode) DO NOTHING"_qs,
             u"CREATE TABLE IF NOT EXISTS scan_feed ("
             " bizcode TEXT NOT NULL,"
             " feed_no BIGINT NOT NULL,"
             " log_id BIGINT NOT NULL UNIQUE,"
             " numbered_at BIGINT NOT NULL,"
             " PRIMARY KEY (bizcode, feed_no))"_qs,
         }},
        // 13: dashboard accounts have a role; those from before could do everything, so they
        // manage. An operator's last sign-in is found through the sign-in log by operator.
        {13,
         {
             u"ALTER TABLE admins ADD COLUMN role TEXT NOT NULL DEFAULT 'manager'"_qs,
             u"CREATE INDEX IF NOT EXISTS sign_in_log_by_operator"
             " ON sign_in_log(operator_id, id)"_qs,
         }},
        // 14: the gates' health kept per gate operator, minute and connection shard (scans,
        // refusals, the last scan, verification times counted in buckets), so that the dashboard
        // reads minutes instead of the audit; counted from the audit, emptied first so that a
        // database set back to an earlier version counts them again rather than twice.
        {14,
         {
             QStringLiteral("CREATE TABLE IF NOT EXISTS gate_minutes ("
                            " bizcode TEXT NOT NULL,"
                            " minute TEXT NOT NULL,"
                            " operator_id TEXT NOT NULL,"
                            " shard INTEGER NOT NULL,"
                            " ran INTEGER NOT NULL DEFAULT 0,"
                            " scans INTEGER NOT NULL DEFAULT 0,"
                            " refused INTEGER NOT NULL DEFAULT 0,"
                            " last_scan_at TEXT NOT NULL DEFAULT '',"
                            " %1,"
                            " PRIMARY KEY (bizcode, minute, operator_id, shard))")
                 .arg(timeColumns(u"%1 INTEGER NOT NULL DEFAULT 0"_qs).join(u", ")),
             // Each gate's last scan is found from its newest minutes back.
             u"CREATE INDEX IF NOT EXISTS gate_minutes_by_operator"
             " ON gate_minutes(bizcode, operator_id, minute)"_qs,
             // The fold every ten seconds finds the few rows of other shards without reading
             // the show's minutes.
             u"CREATE INDEX IF NOT EXISTS gate_minutes_other_shards ON gate_minutes(bizcode)"
             " WHERE shard <> 0"_qs,
             u"DELETE FROM gate_minutes"_qs,
             gateMinuteFillStatement(),
         }},
    };
    return steps;
}

// Shared by step 7 and SqlStorage::recountCounters: the counters as a fresh count of the
// bookings and the audit would give them. A change of what is counted needs a step that recounts.
QStringList counterFillStatements()
{
    return {
        u"INSERT INTO booking_counts (bizcode, shard, total, admitted, inside_now, left_now,"
        " not_yet, reentered, cancelled) SELECT bizcode, 0,"
        " SUM(CASE WHEN cancelled = 0 THEN 1 ELSE 0 END),"
        " SUM(CASE WHEN cancelled = 0 AND entries > 0 THEN 1 ELSE 0 END),"
        " SUM(CASE WHEN cancelled = 0 AND inside <> 0 THEN 1 ELSE 0 END),"
        " SUM(CASE WHEN cancelled = 0 AND entries > 0 AND inside = 0 THEN 1 ELSE 0 END),"
        " SUM(CASE WHEN cancelled = 0 AND entries = 0 THEN 1 ELSE 0 END),"
        " SUM(CASE WHEN entries > 1 THEN 1 ELSE 0 END),"
        " SUM(CASE WHEN cancelled <> 0 THEN 1 ELSE 0 END)"
        " FROM bookings GROUP BY bizcode"_qs,
        u"INSERT INTO minute_counts (bizcode, minute, shard, entries, exits)"
        " SELECT bizcode, SUBSTR(scanned_at, 1, 16), 0,"
        " SUM(CASE WHEN mode = 'I' THEN 1 ELSE 0 END), SUM(CASE WHEN mode = 'O' THEN 1 ELSE 0 END)"
        " FROM scan_log WHERE result_code IN ('0', '1', '2') AND kind IN ('scan', 'manual')"
        " GROUP BY bizcode, SUBSTR(scanned_at, 1, 16)"_qs,
        u"INSERT INTO gate_counts (bizcode, operator_id, shard, scans, accepted, refused,"
        " last_scan_at, manual) SELECT bizcode, operator_id, 0, COUNT(*),"
        " SUM(CASE WHEN result_code IN ('0', '1', '2') THEN 1 ELSE 0 END),"
        " SUM(CASE WHEN result_code IN ('-1', '-2') THEN 1 ELSE 0 END), MAX(scanned_at),"
        " MAX(CASE WHEN kind = 'manual' THEN 1 ELSE 0 END)"
        " FROM scan_log WHERE kind IN ('scan', 'manual') GROUP BY bizcode, operator_id"_qs,
    };
}

QString timeBucketColumn(int k)
{
    return QStringLiteral("t%1").arg(k);
}

QString timeGroupColumn(int group)
{
    return QStringLiteral("g%1").arg(group);
}

QStringList timeColumns(const QString &pattern)
{
    QStringList list;
    for (int k = 0; k < kTimeBuckets; ++k)
        list << pattern.arg(timeBucketColumn(k));
    for (int j = 0; j < kTimeGroups; ++j)
        list << pattern.arg(timeGroupColumn(j));
    return list;
}

// ran counts the scans by hand too, the rest only the gates' own scans (kind scan).
QString gateMinuteFillStatement()
{
    // The times from bucket first to bucket last, both included.
    const auto counted = [](int first, int last) {
        QStringList in;
        if (first > 0)
            in << QStringLiteral("duration_us >= %1").arg(timeBucketEnd(first - 1));
        if (last < kTimeBuckets - 1)
            in << QStringLiteral("duration_us < %1").arg(timeBucketEnd(last));
        return QStringLiteral("SUM(CASE WHEN kind = 'scan' AND %1 THEN 1 ELSE 0 END)")
            .arg(in.join(u" AND "));
    };
    QStringList counts;
    for (int k = 0; k < kTimeBuckets; ++k)
        counts << counted(k, k);
    for (int j = 0; j < kTimeGroups; ++j)
        counts << counted(j * kTimeGroupSize, (j + 1) * kTimeGroupSize - 1);
    return QStringLiteral(
               "INSERT INTO gate_minutes (bizcode, minute, operator_id, shard, ran, scans, refused,"
               " last_scan_at, %1) SELECT bizcode, SUBSTR(scanned_at, 1, 16), operator_id, 0,"
               " COUNT(*), SUM(CASE WHEN kind = 'scan' THEN 1 ELSE 0 END),"
               " SUM(CASE WHEN kind = 'scan' AND result_code IN ('-1', '-2') THEN 1 ELSE 0 END),"
               " MAX(CASE WHEN kind = 'scan' THEN scanned_at ELSE '' END), %2"
               " FROM scan_log WHERE kind IN ('scan', 'manual')"
               " GROUP BY bizcode, SUBSTR(scanned_at, 1, 16), operator_id")
        .arg(timeColumns(u"%1"_qs).join(u", "), counts.join(u", "));
}

QString ticketSpaces()
{
    static const QString spaces = [] {
        QString s;
        for (char16_t c = 1; c != 0; ++c) {
            if (QChar(c).isSpace())
                s += QChar(c);
        }
        return s;
    }();
    return spaces;
}

int currentSchemaVersion()
{
    return schemaSteps().constLast().version;
}

} // namespace qav
