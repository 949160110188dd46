// The rehearsal's bookkeeping: its runs, and the removal of what a run made. Every statement
// that deletes is bound to the drill prefix as well as to the run's codes.

#include "server/storage/sqlstorage.h"

namespace qav {

bool isDrillCode(const QString &code)
{
    return code.startsWith(QLatin1String(kDrillPrefix), Qt::CaseInsensitive);
}

namespace {

// A LIKE pattern for codes of the drill.
QString drillPattern()
{
    return QLatin1String(kDrillPrefix) + u'%';
}

void checkDrillCodes(const DrillRun &drill)
{
    if (!isDrillCode(drill.bizcode) || !isDrillCode(drill.operatorId) ||
        (drill.ownVenue && !isDrillCode(drill.placeCode)))
        throw StorageError(QStringLiteral("%1 is no drill of qav-server; nothing is removed")
                               .arg(drill.bizcode)
                               .toStdString());
}

} // namespace

void SqlStorage::addDrillRun(const DrillRun &drill)
{
    checkDrillCodes(drill);
    WriteTransaction tx(*this);
    run(QStringLiteral("INSERT INTO drill_runs (bizcode, operator_id, place_code, own_venue, host,"
                       " pid, started_at, alive_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"),
        {drill.bizcode, drill.operatorId, drill.placeCode, int(drill.ownVenue), drill.host,
         drill.pid, drill.startedAt, drill.aliveAt});
    tx.commit();
}

void SqlStorage::touchDrillRun(const QString &bizcode, qint64 now)
{
    WriteTransaction tx(*this);
    run(QStringLiteral("UPDATE drill_runs SET alive_at = ? WHERE bizcode = ?"), {now, bizcode});
    tx.commit();
}

QList<DrillRun> SqlStorage::drillRuns()
{
    Rows q = run(QStringLiteral("SELECT bizcode, operator_id, place_code, own_venue, host, pid,"
                                " started_at, alive_at FROM drill_runs ORDER BY started_at"));
    QList<DrillRun> list;
    while (q.next())
        list << DrillRun{q.value(0).toString(),   q.value(1).toString(),  q.value(2).toString(),
                         q.value(3).toInt() != 0, q.value(4).toString(),  q.value(5).toLongLong(),
                         q.value(6).toLongLong(), q.value(7).toLongLong()};
    return list;
}

void SqlStorage::removeDrillRun(const DrillRun &drill)
{
    checkDrillCodes(drill);
    const QString like = drillPattern();
    WriteTransaction tx(*this);
    gateMinuteTally().drop(drill.bizcode);
    // Whatever the performance's removal missed (an audit row of a request still under way then).
    for (const char *table : {"scan_log", "bookings", "scan_counts", "booking_counts",
                              "minute_counts", "gate_counts", "gate_minutes", "performances"})
        run(QStringLiteral("DELETE FROM %1 WHERE bizcode = ? AND bizcode LIKE ?")
                .arg(QLatin1String(table)),
            {drill.bizcode, like});
    for (const char *table : {"sessions", "scan_replays", "sign_in_log", "operators"})
        run(QStringLiteral("DELETE FROM %1 WHERE operator_id = ? AND operator_id LIKE ?")
                .arg(QLatin1String(table)),
            {drill.operatorId, like});
    if (drill.ownVenue)
        run(QStringLiteral("DELETE FROM venues WHERE place_code = ? AND place_code LIKE ?"),
            {drill.placeCode, like});
    run(QStringLiteral("DELETE FROM drill_runs WHERE bizcode = ?"), {drill.bizcode});
    tx.commit();
}

} // namespace qav
