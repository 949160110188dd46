// The counters the summary and the dashboard read, kept in the same transaction as every change
// that moves them, so that reading them costs the same at any size of performance: the booking
// counters (moved by each writer of a booking through moveCounters), the accepted scans per
// minute, the scans per gate operator, and each gate operator's minutes for its health (moved with
// each audit row of a scan that ran).

#include "server/storage/sqlstorage.h"

#include "server/base/timebuckets.h"
#include "server/storage/gateminutetally.h"
#include "server/storage/schema.h"
#include "server/storage/sqlrecords.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

namespace qav {

namespace {

// The end of an INSERT into booking_counts: a row for a (bizcode, shard) already there is added
// to it.
const QString kAddToBookingCounts =
    QStringLiteral(" ON CONFLICT (bizcode, shard) DO UPDATE SET"
                   " total = booking_counts.total + excluded.total,"
                   " admitted = booking_counts.admitted + excluded.admitted,"
                   " inside_now = booking_counts.inside_now + excluded.inside_now,"
                   " left_now = booking_counts.left_now + excluded.left_now,"
                   " not_yet = booking_counts.not_yet + excluded.not_yet,"
                   " reentered = booking_counts.reentered + excluded.reentered,"
                   " cancelled = booking_counts.cancelled + excluded.cancelled");

} // namespace

SqlStorage::BookingCounts
SqlStorage::BookingCounts::of(const std::optional<CountedBooking> &booking)
{
    BookingCounts c;
    if (!booking)
        return c;
    const bool valid = !booking->cancelled;
    const bool admitted = booking->entries > 0;
    c.total = valid;
    c.admitted = valid && admitted;
    c.insideNow = valid && booking->inside;
    c.leftNow = valid && admitted && !booking->inside;
    c.notYet = valid && !admitted;
    c.reentered = booking->entries > 1;
    c.cancelled = booking->cancelled;
    return c;
}

SqlStorage::BookingCounts &SqlStorage::BookingCounts::operator+=(const BookingCounts &o)
{
    total += o.total;
    admitted += o.admitted;
    insideNow += o.insideNow;
    leftNow += o.leftNow;
    notYet += o.notYet;
    reentered += o.reentered;
    cancelled += o.cancelled;
    return *this;
}

SqlStorage::BookingCounts SqlStorage::BookingCounts::operator-(const BookingCounts &o) const
{
    return {total - o.total,        admitted - o.admitted, insideNow - o.insideNow,
            leftNow - o.leftNow,    notYet - o.notYet,     reentered - o.reentered,
            cancelled - o.cancelled};
}

bool SqlStorage::BookingCounts::isZero() const
{
    return total == 0 && admitted == 0 && insideNow == 0 && leftNow == 0 && notYet == 0 &&
           reentered == 0 && cancelled == 0;
}

int SqlStorage::counterShard()
{
    if (m_counterShard < 0) {
        // Spread over the shards by connection, and over processes sharing one database by pid.
        static QAtomicInt connections;
        const qint64 n = connections.fetchAndAddRelaxed(1) + QCoreApplication::applicationPid();
        m_counterShard = int(n % counterShards());
    }
    return m_counterShard;
}

void SqlStorage::moveCounters(const QString &bizcode, const std::optional<CountedBooking> &before,
                              const std::optional<CountedBooking> &after)
{
    addCounts(bizcode, BookingCounts::of(after) - BookingCounts::of(before));
}

void SqlStorage::addCounts(const QString &bizcode, const BookingCounts &c)
{
    if (c.isZero())
        return;
    static const QString sql =
        QStringLiteral(
            "INSERT INTO booking_counts (bizcode, shard, total, admitted, inside_now, left_now,"
            " not_yet, reentered, cancelled) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)") +
        kAddToBookingCounts;
    run(sql, {bizcode, counterShard(), c.total, c.admitted, c.insideNow, c.leftNow, c.notYet,
              c.reentered, c.cancelled});
}

// As moveCounters for an accepted scan of a valid booking, in SQL: an entry takes it from outside
// with entries - 1 to inside, an exit from inside to outside, entries being the column of from's
// row after the change.
SqlStorage::Statement SqlStorage::acceptedScanCountsMove(const QString &bizcode, bool entry,
                                                         const QString &from)
{
    const QString deltas =
        entry
            ? u"0, CASE WHEN entries = 1 THEN 1 ELSE 0 END, 1,"
              " CASE WHEN entries > 1 THEN -1 ELSE 0 END, CASE WHEN entries = 1 THEN -1 ELSE 0 END,"
              " CASE WHEN entries = 2 THEN 1 ELSE 0 END, 0"_qs
            : u"0, 0, -1, CASE WHEN entries > 0 THEN 1 ELSE 0 END, 0, 0, 0"_qs;
    return {
        QStringLiteral("INSERT INTO booking_counts (bizcode, shard, total, admitted, inside_now,"
                       " left_now, not_yet, reentered, cancelled) SELECT ?,"
                       " CAST(? AS INTEGER), %1 %2 WHERE true")
                .arg(deltas, from) +
            kAddToBookingCounts,
        {bizcode, counterShard()}};
}

void SqlStorage::dropCounters(const QString &bizcode)
{
    gateMinuteTally().drop(bizcode);
    for (const char *table : {"booking_counts", "minute_counts", "gate_counts", "gate_minutes"})
        run(QStringLiteral("DELETE FROM %1 WHERE bizcode = ?").arg(QLatin1String(table)),
            {bizcode});
}

namespace {

// The kept figures of a scan that ran. Each reads its values from binds, inserting only when the
// FROM clause put in {from} (none: always) yields a row, so that one scan's statement can make
// them wait on its booking's change.
const QString kGateUpsert =
    QStringLiteral("INSERT INTO gate_counts (bizcode, operator_id, shard, scans, accepted, refused,"
                   " last_scan_at, manual) SELECT ?, ?, CAST(? AS INTEGER), 1, CAST(? AS INTEGER),"
                   " CAST(? AS INTEGER), ?, CAST(? AS INTEGER){from} WHERE true"
                   " ON CONFLICT (bizcode, operator_id, shard) DO UPDATE SET"
                   " scans = gate_counts.scans + 1,"
                   " accepted = gate_counts.accepted + excluded.accepted,"
                   " refused = gate_counts.refused + excluded.refused,"
                   " last_scan_at = CASE WHEN excluded.last_scan_at > gate_counts.last_scan_at"
                   " THEN excluded.last_scan_at ELSE gate_counts.last_scan_at END,"
                   " manual = CASE WHEN excluded.manual > gate_counts.manual"
                   " THEN excluded.manual ELSE gate_counts.manual END");
// Its last value says whether the minute's row is to move at all.
const QString kMinuteUpsert =
    QStringLiteral("INSERT INTO minute_counts (bizcode, minute, shard, entries, exits)"
                   " SELECT ?, ?, CAST(? AS INTEGER), CAST(? AS INTEGER), CAST(? AS INTEGER){from}"
                   " WHERE CAST(? AS INTEGER) = 1"
                   " ON CONFLICT (bizcode, minute, shard) DO UPDATE SET"
                   " entries = minute_counts.entries + excluded.entries,"
                   " exits = minute_counts.exits + excluded.exits");

QString withFrom(QString sql, const QString &from)
{
    return sql.replace(u"{from}"_qs, from.isEmpty() ? QString() : u' ' + from);
}

} // namespace

QList<SqlStorage::Statement> SqlStorage::scanCounterMoves(const AuditCount &a, const QString &from)
{
    const bool accepted = a.code == QLatin1String("0") || a.code == QLatin1String("1") ||
                          a.code == QLatin1String("2");
    const bool refused = a.code == QLatin1String("-1") || a.code == QLatin1String("-2");
    const bool entry = a.mode == QLatin1String("I");
    const bool inMinute = accepted && (entry || a.mode == QLatin1String("O"));
    const int shard = counterShard();
    QList<Statement> moves{
        {withFrom(kGateUpsert, from),
         {a.bizcode, a.operatorId, shard, accepted ? 1 : 0, refused ? 1 : 0, a.stamp,
          a.kind == QLatin1String(kAuditManual) ? 1 : 0}},
    };
    if (inMinute)
        moves << Statement{withFrom(kMinuteUpsert, from),
                           {a.bizcode, a.stamp.left(16), shard, entry ? 1 : 0, entry ? 0 : 1, 1}};
    return moves;
}

void SqlStorage::tallyGateMinute(const AuditCount &a)
{
    gateMinuteTally().add(a.bizcode, a.stamp, a.operatorId, a.kind == QLatin1String(kAuditScan),
                          a.code == QLatin1String("-1") || a.code == QLatin1String("-2"),
                          timeBucket(a.durationUs));
}

void SqlStorage::addGateMinutes(const QList<GateMinuteCount> &counts)
{
    if (counts.isEmpty())
        return;
    static const QString sql =
        QStringLiteral("INSERT INTO gate_minutes (bizcode, minute, operator_id, shard, ran, scans,"
                       " refused, last_scan_at, %1) VALUES (?, ?, ?, ?, ?, ?, ?, ?, %2)"
                       " ON CONFLICT (bizcode, minute, operator_id, shard) DO UPDATE SET"
                       " ran = gate_minutes.ran + excluded.ran,"
                       " scans = gate_minutes.scans + excluded.scans,"
                       " refused = gate_minutes.refused + excluded.refused,"
                       " last_scan_at = CASE WHEN excluded.last_scan_at > gate_minutes.last_scan_at"
                       " THEN excluded.last_scan_at ELSE gate_minutes.last_scan_at END, %3")
            .arg(timeColumns(u"%1"_qs).join(u", "),
                 QStringList(kTimeBuckets + kTimeGroups, u"?"_qs).join(u", "),
                 timeColumns(u"%1 = gate_minutes.%1 + excluded.%1"_qs).join(u", "));
    inWriteTransaction([&](SqlStorage &db) {
        for (const GateMinuteCount &c : counts) {
            QVariantList binds{c.bizcode, c.minute, c.operatorId, db.counterShard(),
                               c.ran,     c.scans,  c.refused,    notNull(c.lastScanAt)};
            for (qint64 n : c.buckets)
                binds << n;
            for (qint64 n : c.groups)
                binds << n;
            db.run(sql, binds);
        }
    });
}

// The audit row (auditSql with its binds) and what the dashboard shows of a scan that ran (kinds
// scan and manual): its gate's figures and, when accepted, its minute's entry or exit. PostgreSQL
// gets all in one statement, a round trip instead of three in the scan's transaction.
void SqlStorage::insertAudit(const QString &auditSql, const QVariantList &auditBinds,
                             const AuditCount &a)
{
    if (a.kind != QLatin1String(kAuditScan) && a.kind != QLatin1String(kAuditManual)) {
        run(auditSql, auditBinds);
        return;
    }
    const QList<Statement> moves = scanCounterMoves(a, {});
    if (isSqlite()) {
        run(auditSql, auditBinds);
        for (const Statement &move : moves)
            run(move.sql, move.binds);
    } else {
        QStringList ctes;
        QVariantList binds;
        for (const Statement &move : moves) {
            ctes << QStringLiteral("k%1 AS (%2)").arg(ctes.size()).arg(move.sql);
            binds += move.binds;
        }
        run(QStringLiteral("WITH %1 %2").arg(ctes.join(u", "), auditSql), binds + auditBinds);
    }
    tallyGateMinute(a);
}

void SqlStorage::foldCounters()
{
    if (counterShards() <= 1)
        return;
    // Each deletes the rows of every shard but 0 and adds what they held to shard 0's, in one
    // statement, so a scan's increment is either in a deleted row (and added) or comes after.
    const QStringList folds = {
        QStringLiteral(
            "WITH gone AS (DELETE FROM booking_counts WHERE shard <> 0 RETURNING *)"
            " INSERT INTO booking_counts (bizcode, shard, total, admitted, inside_now, left_now,"
            " not_yet, reentered, cancelled) SELECT bizcode, 0, SUM(total), SUM(admitted),"
            " SUM(inside_now), SUM(left_now), SUM(not_yet), SUM(reentered), SUM(cancelled)"
            " FROM gone GROUP BY bizcode") +
            kAddToBookingCounts,
        QStringLiteral(
            "WITH gone AS (DELETE FROM minute_counts WHERE shard <> 0 RETURNING *)"
            " INSERT INTO minute_counts (bizcode, minute, shard, entries, exits)"
            " SELECT bizcode, minute, 0, SUM(entries), SUM(exits) FROM gone"
            " GROUP BY bizcode, minute ON CONFLICT (bizcode, minute, shard) DO UPDATE SET"
            " entries = minute_counts.entries + excluded.entries,"
            " exits = minute_counts.exits + excluded.exits"),
        QStringLiteral(
            "WITH gone AS (DELETE FROM gate_counts WHERE shard <> 0 RETURNING *)"
            " INSERT INTO gate_counts (bizcode, operator_id, shard, scans, accepted, refused,"
            " last_scan_at, manual) SELECT bizcode, operator_id, 0, SUM(scans), SUM(accepted),"
            " SUM(refused), MAX(last_scan_at), MAX(manual) FROM gone GROUP BY bizcode, operator_id"
            " ON CONFLICT (bizcode, operator_id, shard) DO UPDATE SET"
            " scans = gate_counts.scans + excluded.scans,"
            " accepted = gate_counts.accepted + excluded.accepted,"
            " refused = gate_counts.refused + excluded.refused,"
            " last_scan_at = GREATEST(gate_counts.last_scan_at, excluded.last_scan_at),"
            " manual = GREATEST(gate_counts.manual, excluded.manual)"),
        QStringLiteral(
            "WITH gone AS (DELETE FROM gate_minutes WHERE shard <> 0 RETURNING *)"
            " INSERT INTO gate_minutes (bizcode, minute, operator_id, shard, ran, scans, refused,"
            " last_scan_at, %1) SELECT bizcode, minute, operator_id, 0, SUM(ran), SUM(scans),"
            " SUM(refused), MAX(last_scan_at), %2 FROM gone GROUP BY bizcode, minute, operator_id"
            " ON CONFLICT (bizcode, minute, operator_id, shard) DO UPDATE SET"
            " ran = gate_minutes.ran + excluded.ran,"
            " scans = gate_minutes.scans + excluded.scans,"
            " refused = gate_minutes.refused + excluded.refused,"
            " last_scan_at = GREATEST(gate_minutes.last_scan_at, excluded.last_scan_at), %3")
            .arg(timeColumns(u"%1"_qs).join(u", "), timeColumns(u"SUM(%1)"_qs).join(u", "),
                 timeColumns(u"%1 = gate_minutes.%1 + excluded.%1"_qs).join(u", ")),
    };
    for (const QString &fold : folds) {
        inWriteTransaction([&](SqlStorage &db) {
            // One process folds at a time; two would wait on each other's rows.
            Rows mine = db.run(QStringLiteral("SELECT pg_try_advisory_xact_lock(8471)"));
            if (!mine.next() || !mine.value(0).toBool())
                return;
            mine.finish();
            db.exec(fold);
        });
    }
}

QStringList SqlStorage::recountCounters()
{
    const QStringList tables = {QStringLiteral("booking_counts"), QStringLiteral("minute_counts"),
                                QStringLiteral("gate_counts"), QStringLiteral("gate_minutes")};
    // Every counter of every performance, shards summed, as one comparable text per performance;
    // counters that are all zero are as good as none. The gates' minutes are laid anew but not
    // compared: each server writes them up to two seconds late, so they are not wrong for lagging.
    const auto snapshot = [&](SqlStorage &db) {
        QHash<QString, QString> rows;
        const QStringList reads = {
            QStringLiteral("SELECT bizcode, SUM(total), SUM(admitted), SUM(inside_now),"
                           " SUM(left_now), SUM(not_yet), SUM(reentered), SUM(cancelled)"
                           " FROM booking_counts GROUP BY bizcode ORDER BY bizcode"),
            QStringLiteral("SELECT bizcode, minute, SUM(entries), SUM(exits) FROM minute_counts"
                           " GROUP BY bizcode, minute ORDER BY bizcode, minute"),
            QStringLiteral("SELECT bizcode, operator_id, SUM(scans), SUM(accepted), SUM(refused),"
                           " MAX(last_scan_at), MAX(manual) FROM gate_counts"
                           " GROUP BY bizcode, operator_id ORDER BY bizcode, operator_id"),
        };
        for (const QString &sql : reads) {
            QSqlQuery q(db.m_db);
            q.setForwardOnly(true);
            if (!q.exec(sql))
                db.fail(QStringLiteral("cannot read the counters"), q.lastError());
            const int columns = q.record().count(); // a record per call: read it once
            while (q.next()) {
                QStringList values;
                bool zero = true;
                for (int i = 1; i < columns; ++i) {
                    const QString v = q.value(i).toString();
                    zero = zero && (v == QLatin1String("0") || v.isEmpty());
                    values << v;
                }
                if (!zero)
                    rows[q.value(0).toString()] += values.join(u',') + u';';
            }
        }
        return rows;
    };
    QStringList wrong;
    inWriteTransaction([&](SqlStorage &db) {
        // Scans wait while the counters are laid anew, so none is counted twice or not at all.
        if (!db.isSqlite())
            db.exec(QStringLiteral("LOCK TABLE %1 IN EXCLUSIVE MODE").arg(tables.join(u", ")));
        // What this process gathered but has not written is in the audit: counted below.
        gateMinuteTally().drop({});
        const QHash<QString, QString> before = snapshot(db);
        for (const QString &table : tables)
            db.exec(QStringLiteral("DELETE FROM %1").arg(table));
        for (const QString &statement : counterFillStatements())
            db.exec(statement);
        db.exec(gateMinuteFillStatement());
        const QHash<QString, QString> after = snapshot(db);
        for (auto it = after.begin(); it != after.end(); ++it) {
            if (before.value(it.key()) != it.value())
                wrong << it.key();
        }
        for (auto it = before.begin(); it != before.end(); ++it) {
            if (!after.contains(it.key()) && !wrong.contains(it.key()))
                wrong << it.key();
        }
    });
    wrong.sort();
    return wrong;
}

} // namespace qav
