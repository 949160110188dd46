// The administrator's reads and changes of a season: listings, operator and booking switches,
// removal of an unused performance, the audit reader and the SQLite backup.

#include "sqlstorage.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace qav {

namespace {

const QString kBookingColumns = QStringLiteral(
    "bizcode, ticket_no, cust_name, seat_grade, seat_info, cancelled, inside, entries, exits,"
    " last_entry_at, last_entry_by, last_exit_at, last_exit_by");

BookingRecord bookingFrom(const Rows &q)
{
    BookingRecord r;
    r.booking = {q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                 q.value(3).toString(), q.value(4).toString(), q.value(5).toInt() != 0};
    r.inside = q.value(6).toInt() != 0;
    r.entries = q.value(7).toInt();
    r.exits = q.value(8).toInt();
    r.lastEntryAt = q.value(9).toString();
    r.lastEntryBy = q.value(10).toString();
    r.lastExitAt = q.value(11).toString();
    r.lastExitBy = q.value(12).toString();
    return r;
}

} // namespace

QList<Performance> SqlStorage::performances(const QString &placeCode)
{
    const bool all = placeCode.isEmpty();
    Rows q = run(QStringLiteral("SELECT bizcode, place_code, goods_name, starts_at, place_name"
                                " FROM performances%1 ORDER BY starts_at, bizcode")
                     .arg(all ? QString() : QStringLiteral(" WHERE place_code = ?")),
                 all ? QVariantList{} : QVariantList{placeCode});
    QList<Performance> list;
    while (q.next())
        list << Performance{q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                            q.value(3).toString(), q.value(4).toString()};
    return list;
}

QList<OperatorRecord> SqlStorage::operators(const QString &placeCode)
{
    const bool all = placeCode.isEmpty();
    Rows q = run(
        QStringLiteral("SELECT operator_id, password_hash, place_code, disabled FROM operators%1"
                       " ORDER BY operator_id")
            .arg(all ? QString() : QStringLiteral(" WHERE place_code = ?")),
        all ? QVariantList{} : QVariantList{placeCode});
    QList<OperatorRecord> list;
    while (q.next())
        list << OperatorRecord{q.value(0).toString(), q.value(1).toString().toUtf8(),
                               q.value(2).toString(), q.value(3).toInt() != 0};
    return list;
}

QList<BookingRecord> SqlStorage::bookings(const QString &bizcode)
{
    Rows q = run(QStringLiteral("SELECT %1 FROM bookings WHERE bizcode = ? ORDER BY ticket_no")
                     .arg(kBookingColumns),
                 {bizcode});
    QList<BookingRecord> list;
    while (q.next())
        list << bookingFrom(q);
    return list;
}

std::optional<BookingRecord> SqlStorage::findBooking(const QString &bizcode,
                                                     const QString &ticketNo)
{
    Rows q = run(QStringLiteral("SELECT %1 FROM bookings WHERE bizcode = ? AND ticket_no = ?")
                     .arg(kBookingColumns),
                 {bizcode, ticketNo});
    if (!q.next())
        return std::nullopt;
    return bookingFrom(q);
}

bool SqlStorage::addOperator(const OperatorRecord &op)
{
    WriteTransaction tx(*this);
    Rows q = run(
        QStringLiteral("INSERT INTO operators (operator_id, password_hash, place_code, disabled)"
                       " VALUES (?, ?, ?, ?) ON CONFLICT (operator_id) DO NOTHING"
                       " RETURNING operator_id"),
        {op.id, QString::fromUtf8(op.passwordHash), op.placeCode, op.disabled ? 1 : 0});
    const bool added = q.next();
    q.finish();
    tx.commit();
    return added;
}

// Disabling an operator or changing its password ends its sessions in the same transaction, so no
// station stays signed in with what was just taken away.
bool SqlStorage::setOperatorDisabled(const QString &id, bool disabled)
{
    WriteTransaction tx(*this);
    Rows q =
        run(QStringLiteral(
                "UPDATE operators SET disabled = ? WHERE operator_id = ? RETURNING operator_id"),
            {disabled ? 1 : 0, id});
    const bool found = q.next();
    q.finish();
    if (found)
        run(QStringLiteral("DELETE FROM sessions WHERE operator_id = ?"), {id});
    tx.commit();
    return found;
}

bool SqlStorage::setOperatorPassword(const QString &id, const QByteArray &passwordHash)
{
    WriteTransaction tx(*this);
    Rows q = run(QStringLiteral("UPDATE operators SET password_hash = ? WHERE operator_id = ?"
                                " RETURNING operator_id"),
                 {QString::fromUtf8(passwordHash), id});
    const bool found = q.next();
    q.finish();
    if (found)
        run(QStringLiteral("DELETE FROM sessions WHERE operator_id = ?"), {id});
    tx.commit();
    return found;
}

bool SqlStorage::setBookingCancelled(const QString &bizcode, const QString &ticketNo,
                                     bool cancelled)
{
    WriteTransaction tx(*this);
    Rows q =
        run(QStringLiteral("UPDATE bookings SET cancelled = ? WHERE bizcode = ? AND ticket_no = ?"
                           " RETURNING ticket_no"),
            {cancelled ? 1 : 0, bizcode, ticketNo});
    const bool found = q.next();
    q.finish();
    tx.commit();
    return found;
}

qint64 SqlStorage::scanCount(const QString &bizcode)
{
    Rows q = run(QStringLiteral("SELECT COUNT(*) FROM scan_log WHERE bizcode = ?"), {bizcode});
    return q.next() ? q.value(0).toLongLong() : 0;
}

bool SqlStorage::removePerformance(const QString &bizcode)
{
    WriteTransaction tx(*this);
    // Counted inside the write transaction, so a scan cannot slip in between check and removal.
    Rows count = run(QStringLiteral("SELECT COUNT(*) FROM scan_log WHERE bizcode = ?"), {bizcode});
    const qint64 scans = count.next() ? count.value(0).toLongLong() : 0;
    count.finish();
    if (scans > 0)
        throw StorageError(QStringLiteral("performance %1 has %2 scan(s) in the audit; it is kept")
                               .arg(bizcode)
                               .arg(scans)
                               .toStdString());
    run(QStringLiteral("DELETE FROM bookings WHERE bizcode = ?"), {bizcode});
    Rows q = run(QStringLiteral("DELETE FROM performances WHERE bizcode = ? RETURNING bizcode"),
                 {bizcode});
    const bool found = q.next();
    q.finish();
    if (!found)
        return false;
    tx.commit();
    return true;
}

QList<ScanLogEntry> SqlStorage::audit(const AuditFilter &f)
{
    QString sql = QStringLiteral(
        "SELECT scanned_at, operator_id, bizcode, ticket_raw, mode, result_code,"
        " result_msg, duration_us, client_address, session_operator, kind, manual_reason"
        " FROM scan_log WHERE bizcode = ?");
    QVariantList binds{f.bizcode};
    if (!f.from.isEmpty()) {
        sql += QStringLiteral(" AND scanned_at >= ?");
        binds << f.from;
    }
    if (!f.to.isEmpty()) {
        sql += QStringLiteral(" AND scanned_at < ?");
        binds << f.to;
    }
    if (!f.operatorId.isEmpty()) {
        sql += QStringLiteral(" AND operator_id = ?");
        binds << f.operatorId;
    }
    if (!f.resultCodes.isEmpty()) {
        sql += QStringLiteral(" AND result_code IN (%1)")
                   .arg(QStringList(f.resultCodes.size(), u"?"_qs).join(u", "_qs));
        for (const QString &code : f.resultCodes)
            binds << code;
    }
    Rows q = run(sql + QStringLiteral(" ORDER BY id"), binds);
    QList<ScanLogEntry> list;
    while (q.next())
        list << ScanLogEntry{
            q.value(0).toString(), q.value(1).toString(),   q.value(2).toString(),
            q.value(3).toString(), q.value(4).toString(),   q.value(5).toString(),
            q.value(6).toString(), q.value(7).toLongLong(), q.value(8).toString(),
            q.value(9).toString(), q.value(10).toString(),  q.value(11).toString()};
    return list;
}

void SqlStorage::backupTo(const QString &path)
{
    if (!isSqlite())
        throw StorageError("backup copies SQLite databases; back up PostgreSQL with pg_dump");
    // VACUUM INTO reads one snapshot (WAL lets the gates keep writing meanwhile) and writes a
    // fresh file; it is renamed over the target only when complete.
    const QString target = QFileInfo(path).absoluteFilePath();
    const QString partial = target + QStringLiteral(".partial");
    QFile::remove(partial);
    run(QStringLiteral("VACUUM INTO ?"), {partial});
    QFile copy(partial);
    const bool synced = copy.open(QIODevice::ReadWrite) && ::fsync(copy.handle()) == 0;
    copy.close();
    if (!synced || std::rename(QFile::encodeName(partial).constData(),
                               QFile::encodeName(target).constData()) != 0) {
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        QFile::remove(partial);
        throw StorageError(QStringLiteral("cannot write %1: %2").arg(target, why).toStdString());
    }
}

} // namespace qav
