// The dashboard's part of the SQL storage: supervisors, their sessions and read-only views of the
// audit. Kept apart from the gate's rules in sqlscan.cpp; nothing here changes admission state.

#include "server/storage/sqlstorage.h"

#include "server/base/timebuckets.h"
#include "server/storage/schema.h"
#include "server/storage/sqlrecords.h"

#include <QSet>
#include <QSqlQuery>
#include <QSqlRecord>

#include <algorithm>
#include <cmath>

namespace qav {

namespace {

// A session's last use is written at most this often, so a dashboard polling every two seconds
// does not turn every read into a write beside the gates' scans.
constexpr qint64 kTouchEverySecs = 30;

const QString kAccepted = QStringLiteral("('0', '1', '2')");
// Written exactly as the partial index scan_log_refusals is, so that it is used.
const QString kRefused = QStringLiteral("('-1', '-2')");
// Rows of scans that ran: a repeated request answered from the replay store or a request refused
// before it was looked at is no scan of its own.
const QString kRan = QStringLiteral("kind IN ('scan', 'manual')");

QString likePattern(const QString &text)
{
    QString escaped = text;
    escaped.replace(u'\\', QStringLiteral("\\\\"));
    escaped.replace(u'%', QStringLiteral("\\%"));
    escaped.replace(u'_', QStringLiteral("\\_"));
    return u'%' + escaped.toLower() + u'%';
}

} // namespace

void SqlStorage::putAdmin(const AdminRecord &admin)
{
    inWriteTransaction([&](SqlStorage &db) {
        db.run(QStringLiteral("INSERT INTO admins (admin_id, password_hash, place_code, role)"
                              " VALUES (?, ?, ?, ?) ON CONFLICT (admin_id) DO UPDATE SET"
                              " password_hash = excluded.password_hash,"
                              " place_code = excluded.place_code, role = excluded.role"),
               {admin.id, QString::fromUtf8(admin.passwordHash), notNull(admin.placeCode),
                adminRoleName(admin.role)});
        // A new password or venue ends the sessions opened under the old ones.
        db.run(QStringLiteral("DELETE FROM admin_sessions WHERE admin_id = ?"), {admin.id});
    });
}

bool SqlStorage::addAdmin(const AdminRecord &admin, const SeasonAudit &audit)
{
    bool added = false;
    inWriteTransaction([&](SqlStorage &db) {
        added = db.run(QStringLiteral("INSERT INTO admins (admin_id, password_hash, place_code,"
                                      " role) VALUES (?, ?, ?, ?)"
                                      " ON CONFLICT (admin_id) DO NOTHING RETURNING admin_id"),
                       {admin.id, QString::fromUtf8(admin.passwordHash), notNull(admin.placeCode),
                        adminRoleName(admin.role)})
                    .next();
        if (added)
            db.writeSeasonAudit(audit);
    });
    return added;
}

std::optional<AdminRecord> SqlStorage::findAdmin(const QString &id)
{
    Rows q =
        run(QStringLiteral("SELECT %1 FROM admins WHERE admin_id = ?").arg(kAdminColumns), {id});
    if (!q.next())
        return std::nullopt;
    return adminFrom(q);
}

QList<AdminRecord> SqlStorage::admins()
{
    Rows q = run(QStringLiteral("SELECT %1 FROM admins ORDER BY admin_id").arg(kAdminColumns));
    QList<AdminRecord> list;
    while (q.next())
        list << adminFrom(q);
    return list;
}

bool SqlStorage::removeAdmin(const QString &id)
{
    bool removed = false;
    inWriteTransaction([&](SqlStorage &db) {
        db.run(QStringLiteral("DELETE FROM admin_sessions WHERE admin_id = ?"), {id});
        removed = db.run(QStringLiteral("DELETE FROM admins WHERE admin_id = ?"), {id})
                      .numRowsAffected() > 0;
    });
    return removed;
}

AdminRetirement SqlStorage::retireAdmin(const QString &id, bool remove)
{
    return retireAdminAudited(id, remove, nullptr);
}

AdminRetirement SqlStorage::retireAdmin(const QString &id, bool remove, const SeasonAudit &audit)
{
    return retireAdminAudited(id, remove, &audit);
}

std::optional<AdminRecord> SqlStorage::lockAdmin(const QString &id, bool *lastManager)
{
    // The managers' rows are locked (PostgreSQL; SQLite has one writer), so a second retirement
    // waits for this one and then counts without it.
    Rows q = run(QStringLiteral("SELECT %1 FROM admins WHERE admin_id = ? OR role = ?"
                                " ORDER BY admin_id%2")
                     .arg(kAdminColumns, isSqlite() ? QString() : u" FOR UPDATE"_qs),
                 {id, adminRoleName(AdminRole::Manager)});
    std::optional<AdminRecord> target;
    QList<AdminRecord> managers;
    while (q.next()) {
        const AdminRecord a = adminFrom(q);
        if (a.id == id)
            target = a;
        else if (a.role == AdminRole::Manager && !a.disabled())
            managers << a;
    }
    q.finish();
    *lastManager = target && target->role == AdminRole::Manager && !target->disabled() &&
                   std::none_of(managers.cbegin(), managers.cend(), [&](const AdminRecord &m) {
                       return m.placeCode.isEmpty() || m.placeCode == target->placeCode;
                   });
    return target;
}

AdminRetirement SqlStorage::retireAdminAudited(const QString &id, bool remove,
                                               const SeasonAudit *audit)
{
    AdminRetirement result = AdminRetirement::NotFound;
    inWriteTransaction([&](SqlStorage &db) {
        bool last = false;
        const std::optional<AdminRecord> target = db.lockAdmin(id, &last);
        if (!target)
            return;
        if (last) {
            result = AdminRetirement::LastManager;
            return;
        }
        db.run(QStringLiteral("DELETE FROM admin_sessions WHERE admin_id = ?"), {id});
        if (remove)
            db.run(QStringLiteral("DELETE FROM admins WHERE admin_id = ?"), {id});
        else if (!target->disabled())
            db.run(QStringLiteral("UPDATE admins SET password_hash = ? WHERE admin_id = ?"),
                   {u"!"_qs + QString::fromUtf8(target->passwordHash), id});
        if (audit)
            db.writeSeasonAudit(*audit);
        result = AdminRetirement::Done;
    });
    return result;
}

AdminRetirement SqlStorage::setAdminRole(const QString &id, AdminRole role,
                                         const SeasonAudit &audit)
{
    AdminRetirement result = AdminRetirement::NotFound;
    inWriteTransaction([&](SqlStorage &db) {
        bool last = false;
        if (!db.lockAdmin(id, &last))
            return;
        if (last && role != AdminRole::Manager) {
            result = AdminRetirement::LastManager;
            return;
        }
        db.run(QStringLiteral("UPDATE admins SET role = ? WHERE admin_id = ?"),
               {adminRoleName(role), id});
        db.writeSeasonAudit(audit);
        result = AdminRetirement::Done;
    });
    return result;
}

bool SqlStorage::enableAdmin(const QString &id, const QByteArray &passwordHash,
                             const SeasonAudit &audit)
{
    bool enabled = false;
    inWriteTransaction([&](SqlStorage &db) {
        enabled = db.run(QStringLiteral("UPDATE admins SET password_hash = ? WHERE admin_id = ?"
                                        " AND password_hash LIKE '!%' RETURNING admin_id"),
                         {QString::fromUtf8(passwordHash), id})
                      .next();
        if (enabled)
            db.writeSeasonAudit(audit);
    });
    return enabled;
}

void SqlStorage::addSeasonAudit(const SeasonAudit &audit)
{
    inWriteTransaction([&](SqlStorage &db) { db.writeSeasonAudit(audit); });
}

void SqlStorage::writeSeasonAudit(const SeasonAudit &audit)
{
    writeAudit(
        ScanRequest({}, {}, audit.target, audit.adminId, 0, audit.clientAddress, audit.adminId),
        QString::fromLatin1(kAuditSeason), {}, audit.what);
}

// As createSession: the admin's row read under a lock, so putAdmin either comes first or waits
// and then ends this session.
bool SqlStorage::putAdminSession(const QString &tokenHash, const AdminSession &session,
                                 const QByteArray &passwordHash, qint64 nowSecs)
{
    bool created = false;
    inWriteTransaction([&](SqlStorage &db) {
        created = db.run(QStringLiteral("SELECT 1 FROM admins WHERE admin_id = ?"
                                        " AND password_hash = ?%1")
                             .arg(db.forShare()),
                         {session.adminId, QString::fromUtf8(passwordHash)})
                      .next();
        if (created)
            db.run(QStringLiteral("INSERT INTO admin_sessions (token_hash, admin_id, csrf_token,"
                                  " created_at, last_used) VALUES (?, ?, ?, ?, ?)"),
                   {tokenHash, session.adminId, session.csrfToken, nowSecs, nowSecs});
    });
    return created;
}

std::optional<AdminSession> SqlStorage::useAdminSession(const QString &tokenHash, qint64 nowSecs,
                                                        qint64 idleSecs)
{
    const QString &key = tokenHash;
    qint64 lastUsed = 0;
    AdminSession session;
    {
        Rows q = run(QStringLiteral("SELECT admin_id, csrf_token, last_used FROM admin_sessions"
                                    " WHERE token_hash = ?"),
                     {key});
        if (!q.next())
            return std::nullopt;
        session = {q.value(0).toString(), q.value(1).toString()};
        lastUsed = q.value(2).toLongLong();
    }
    if (lastUsed < nowSecs - idleSecs) {
        run(QStringLiteral("DELETE FROM admin_sessions WHERE token_hash = ? OR last_used < ?"),
            {key, nowSecs - idleSecs});
        return std::nullopt;
    }
    if (lastUsed < nowSecs - kTouchEverySecs)
        run(QStringLiteral("UPDATE admin_sessions SET last_used = ? WHERE token_hash = ?"),
            {nowSecs, key});
    return session;
}

void SqlStorage::removeAdminSession(const QString &tokenHash)
{
    run(QStringLiteral("DELETE FROM admin_sessions WHERE token_hash = ?"), {tokenHash});
}

// Both read the kept counters (sqlcounters.cpp) and, for the last minute, only that minute of the
// audit, so their cost does not grow with the audit.
QList<MinuteCount> SqlStorage::minuteSeries(const QString &bizcode, const QString &fromStamp)
{
    Rows q =
        run(QStringLiteral("SELECT minute, SUM(entries), SUM(exits) FROM minute_counts"
                           " WHERE bizcode = ? AND minute >= ? GROUP BY minute ORDER BY minute"),
            {bizcode, fromStamp.left(16)});
    QList<MinuteCount> list;
    while (q.next())
        list << MinuteCount{q.value(0).toString(), q.value(1).toLongLong(),
                            q.value(2).toLongLong()};
    return list;
}

QList<GateActivity> SqlStorage::gateActivity(const QString &bizcode, const QString &lastMinuteStamp)
{
    // The last 60 seconds from the kept minutes: those after the one they start in, and of that
    // one the share still inside them, as if its scans were spread evenly over it.
    const QString firstMinute = lastMinuteStamp.left(16);
    const double firstShare = (60 - lastMinuteStamp.mid(17, 2).toInt()) / 60.0;
    QHash<QString, qint64> lastMinute;
    {
        Rows q = run(QStringLiteral("SELECT operator_id,"
                                    " SUM(CASE WHEN minute = ? THEN ran ELSE 0 END),"
                                    " SUM(CASE WHEN minute > ? THEN ran ELSE 0 END)"
                                    " FROM gate_minutes WHERE bizcode = ? AND minute >= ?"
                                    " GROUP BY operator_id"),
                     {firstMinute, firstMinute, bizcode, firstMinute});
        while (q.next())
            lastMinute.insert(q.value(0).toString(),
                              std::llround(double(q.value(1).toLongLong()) * firstShare) +
                                  q.value(2).toLongLong());
    }
    Rows q = run(QStringLiteral("SELECT operator_id, SUM(scans), SUM(accepted), SUM(refused),"
                                " MAX(last_scan_at), MAX(manual) FROM gate_counts"
                                " WHERE bizcode = ? GROUP BY operator_id ORDER BY operator_id"),
                 {bizcode});
    QList<GateActivity> list;
    while (q.next()) {
        const QString op = q.value(0).toString();
        list << GateActivity{op,
                             q.value(1).toLongLong(),
                             q.value(2).toLongLong(),
                             q.value(3).toLongLong(),
                             q.value(4).toString(),
                             lastMinute.value(op),
                             q.value(5).toInt() != 0};
    }
    return list;
}

// From the kept minutes of the watch: at most one row per gate operator, minute and shard, so the
// cost does not grow with the scans. Each gate's last scan is read from its newest minute back;
// the counts and the time buckets over the window's minutes alone, counted in whole minutes, the
// one it starts in included: first the groups of buckets, then the buckets of only the groups
// that hold a gate's 95th percentile.
QList<GateRecent> SqlStorage::recentGates(const QString &bizcode, const QString &watchFrom,
                                          const QString &windowFrom)
{
    QList<GateRecent> list;
    QHash<QString, qsizetype> at;
    {
        Rows q =
            run(QStringLiteral("SELECT o.operator_id, (SELECT m.last_scan_at FROM gate_minutes m"
                               " WHERE m.bizcode = o.bizcode AND m.operator_id = o.operator_id"
                               " AND m.minute >= ? AND m.last_scan_at <> ''"
                               " ORDER BY m.minute DESC, m.last_scan_at DESC LIMIT 1)"
                               " FROM (SELECT DISTINCT bizcode, operator_id FROM gate_counts"
                               " WHERE bizcode = ?) o ORDER BY o.operator_id"),
                {watchFrom.left(16), bizcode});
        while (q.next()) {
            const QString last = q.value(1).toString();
            if (last.isEmpty() || last < watchFrom)
                continue;
            at.insert(q.value(0).toString(), list.size());
            list << GateRecent{q.value(0).toString(), last, 0, 0, QList<qint64>(kTimeBuckets, 0)};
        }
    }
    // The gate of a row read below, when it is one watched.
    const auto watched = [&](const Rows &q) -> GateRecent * {
        const auto i = at.constFind(q.value(0).toString());
        return i == at.constEnd() ? nullptr : &list[*i];
    };
    const QString windowMinute = windowFrom.left(16);
    QSet<int> groupsNeeded;
    {
        Rows q = run(QStringLiteral("SELECT operator_id, SUM(scans), SUM(refused), %1"
                                    " FROM gate_minutes WHERE bizcode = ? AND minute >= ?"
                                    " GROUP BY operator_id")
                         .arg(timeColumns(u"SUM(%1)"_qs).mid(kTimeBuckets).join(u", ")),
                     {bizcode, windowMinute});
        while (q.next()) {
            GateRecent *gate = watched(q);
            if (!gate)
                continue;
            GateRecent &g = *gate;
            g.scans = q.value(1).toLongLong();
            g.refused = q.value(2).toLongLong();
            // A group's count stands in its first bucket until its own buckets are read.
            qint64 total = 0;
            for (int j = 0; j < kTimeGroups; ++j) {
                g.timeCounts[j * kTimeGroupSize] = q.value(3 + j).toLongLong();
                total += g.timeCounts[j * kTimeGroupSize];
            }
            const auto rank = qint64(std::ceil(0.95 * double(total)));
            qint64 seen = 0;
            for (int j = 0; j < kTimeGroups && total > 0; ++j) {
                seen += g.timeCounts[j * kTimeGroupSize];
                if (seen >= rank) {
                    groupsNeeded.insert(j);
                    break;
                }
            }
        }
    }
    if (groupsNeeded.isEmpty())
        return list;
    QList<int> groups = groupsNeeded.values();
    std::sort(groups.begin(), groups.end());
    QStringList sums;
    for (int j : groups)
        for (int k = j * kTimeGroupSize; k < (j + 1) * kTimeGroupSize; ++k)
            sums << QStringLiteral("SUM(%1)").arg(timeBucketColumn(k));
    Rows q = run(QStringLiteral("SELECT operator_id, %1 FROM gate_minutes"
                                " WHERE bizcode = ? AND minute >= ? GROUP BY operator_id")
                     .arg(sums.join(u", ")),
                 {bizcode, windowMinute});
    while (q.next()) {
        GateRecent *g = watched(q);
        if (!g)
            continue;
        int column = 1;
        for (int j : groups)
            for (int k = j * kTimeGroupSize; k < (j + 1) * kTimeGroupSize; ++k)
                g->timeCounts[k] = q.value(column++).toLongLong();
    }
    return list;
}

QList<ScanLogEntry> SqlStorage::lastRefusals(const QString &bizcode, int limit)
{
    Rows q = run(QStringLiteral("SELECT %1 FROM scan_log WHERE bizcode = ? AND result_code IN %2"
                                " AND %3 ORDER BY id DESC LIMIT ?")
                     .arg(kScanLogColumns, kRefused, kRan),
                 {bizcode, limit});
    QList<ScanLogEntry> list;
    while (q.next())
        list << scanLogEntryFrom(q);
    return list;
}

QList<BookingState> SqlStorage::searchBookings(const QString &bizcode, const QString &text,
                                               int limit)
{
    const QString pattern = likePattern(text.trimmed());
    Rows q =
        run(QStringLiteral(
                "SELECT %1 FROM bookings WHERE bizcode = ?"
                " AND (LOWER(ticket_no) LIKE ? ESCAPE '\\' OR LOWER(cust_name) LIKE ? ESCAPE '\\')"
                " ORDER BY ticket_no LIMIT ?")
                .arg(kBookingColumns),
            {bizcode, pattern, pattern, limit});
    QList<BookingState> list;
    while (q.next())
        list << bookingStateFrom(q);
    return list;
}

QList<ScanLogEntry> SqlStorage::ticketHistory(const QString &bizcode, const QString &ticketNo)
{
    Rows q = run(QStringLiteral("SELECT %1 FROM scan_log WHERE bizcode = ? AND ticket_raw = ?"
                                " AND ((result_code IN %2 AND %3) OR kind = 'annul') ORDER BY id")
                     .arg(kScanLogColumns, kAccepted, kRan),
                 {bizcode, ticketNo});
    QList<ScanLogEntry> list;
    while (q.next())
        list << scanLogEntryFrom(q);
    return list;
}

} // namespace qav
