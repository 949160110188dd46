// The administrator's reads and changes of a season: what is loaded before it (venues,
// performances, operators, bookings), listings, operator and booking switches, removal of an
// unused performance, the audit reader and the SQLite backup.

#include "server/storage/sqlstorage.h"

#include "server/storage/sqlrecords.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <unistd.h>

namespace qav {

void SqlStorage::putVenue(const Venue &venue)
{
    WriteTransaction tx(*this);
    run(QStringLiteral(
            "INSERT INTO venues (place_code, theater_name) VALUES (?, ?)"
            " ON CONFLICT (place_code) DO UPDATE SET theater_name = excluded.theater_name"),
        {venue.placeCode, venue.theaterName});
    tx.commit();
}

void SqlStorage::putPerformance(const Performance &p)
{
    WriteTransaction tx(*this);
    run(QStringLiteral(
            "INSERT INTO performances (bizcode, place_code, goods_name, starts_at, place_name)"
            " VALUES (?, ?, ?, ?, ?) ON CONFLICT (bizcode) DO UPDATE SET"
            " place_code = excluded.place_code, goods_name = excluded.goods_name,"
            " starts_at = excluded.starts_at, place_name = excluded.place_name"),
        {p.bizcode, p.placeCode, p.goodsName, p.startsAt, p.placeName});
    tx.commit();
}

bool SqlStorage::addPerformance(const Performance &p, const SeasonAudit &audit)
{
    bool added = false;
    inWriteTransaction([&](SqlStorage &db) {
        added = db.run(QStringLiteral("INSERT INTO performances (bizcode, place_code, goods_name,"
                                      " starts_at, place_name) VALUES (?, ?, ?, ?, ?)"
                                      " ON CONFLICT (bizcode) DO NOTHING RETURNING bizcode"),
                       {p.bizcode, p.placeCode, p.goodsName, p.startsAt, notNull(p.placeName)})
                    .next();
        if (added)
            db.writeSeasonAudit(audit);
    });
    return added;
}

bool SqlStorage::changePerformance(const Performance &p, const QString &within,
                                   const SeasonAudit &audit)
{
    bool changed = false;
    inWriteTransaction([&](SqlStorage &db) {
        // The venue is tested by the update itself, so a move by another manager since the
        // caller looked cannot carry the change into a venue it does not run.
        changed = db.run(QStringLiteral("UPDATE performances SET place_code = ?, goods_name = ?,"
                                        " starts_at = ?, place_name = ? WHERE bizcode = ?"
                                        " AND (? = '' OR place_code = ?) RETURNING bizcode"),
                         {p.placeCode, p.goodsName, p.startsAt, notNull(p.placeName), p.bizcode,
                          notNull(within), notNull(within)})
                      .next();
        if (changed)
            db.writeSeasonAudit(audit);
    });
    return changed;
}

void SqlStorage::putOperator(const OperatorRecord &op)
{
    changeOperator(
        op.id,
        QStringLiteral("INSERT INTO operators (operator_id, password_hash, place_code, disabled)"
                       " VALUES (?, ?, ?, ?) ON CONFLICT (operator_id) DO UPDATE SET"
                       " password_hash = excluded.password_hash, place_code = excluded.place_code,"
                       " disabled = excluded.disabled"),
        {op.id, QString::fromUtf8(op.passwordHash), op.placeCode, op.disabled ? 1 : 0});
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
    writeBookingChunk(bookings);
    tx.commit();
}

void SqlStorage::writeBookingChunk(const QList<Booking> &bookings)
{
    // Each booking's state before the chunk, so the counters move by what the chunk changes.
    QHash<QString, QHash<QString, std::optional<CountedBooking>>> states;
    {
        QHash<QString, QStringList> tickets;
        for (const Booking &b : bookings)
            tickets[b.bizcode] << b.ticketNo;
        constexpr qsizetype kRead = 200;
        const QString read =
            QStringLiteral("SELECT ticket_no, cancelled, inside, entries FROM bookings"
                           " WHERE bizcode = ? AND ticket_no IN (%1)")
                .arg(QStringList(kRead, u"?"_qs).join(u", "_qs));
        for (auto it = tickets.begin(); it != tickets.end(); ++it) {
            QHash<QString, std::optional<CountedBooking>> &known = states[it.key()];
            for (qsizetype from = 0; from < it->size(); from += kRead) {
                QVariantList binds{it.key()};
                for (qsizetype i = 0; i < kRead; ++i) // the last slice repeats its last ticket
                    binds << it->at(std::min(from + i, it->size() - 1));
                Rows q = run(read, binds);
                while (q.next())
                    known.insert(q.value(0).toString(),
                                 CountedBooking{q.value(1).toInt() != 0, q.value(2).toInt() != 0,
                                                q.value(3).toLongLong()});
            }
        }
    }
    QHash<QString, BookingCounts> changes;
    // Each written booking takes the next change number of its performance.
    QHash<QString, qint64> nextSeq;
    {
        QHash<QString, qint64> counts;
        for (const Booking &b : bookings)
            ++counts[b.bizcode];
        for (auto it = counts.cbegin(); it != counts.cend(); ++it)
            nextSeq.insert(it.key(), takeChangeSeqs(it.key(), it.value()));
    }
    const QString sql = QStringLiteral(
        "INSERT INTO bookings (bizcode, ticket_no, cust_name, seat_grade, seat_info, cancelled,"
        " change_seq) VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT (bizcode, ticket_no) DO UPDATE SET"
        " cust_name = excluded.cust_name, seat_grade = excluded.seat_grade,"
        " seat_info = excluded.seat_info, cancelled = excluded.cancelled,"
        " change_seq = excluded.change_seq");
    for (const Booking &b : bookings) {
        // An empty field (a standing ticket has no seat) is stored empty, never as NULL.
        run(sql, {b.bizcode, b.ticketNo, notNull(b.custName), notNull(b.seatGrade),
                  notNull(b.seatInfo), b.cancelled ? 1 : 0, nextSeq[b.bizcode]++});
        std::optional<CountedBooking> &state = states[b.bizcode][b.ticketNo];
        CountedBooking after = state.value_or(CountedBooking{});
        after.cancelled = b.cancelled;
        changes[b.bizcode] += BookingCounts::of(after) - BookingCounts::of(state);
        state = after;
    }
    for (auto it = changes.cbegin(); it != changes.cend(); ++it)
        addCounts(it.key(), it.value());
}

void SqlStorage::clearPerformance(const QString &bizcode)
{
    WriteTransaction tx(*this);
    run(QStringLiteral("DELETE FROM bookings WHERE bizcode = ?"), {bizcode});
    run(QStringLiteral("DELETE FROM scan_log WHERE bizcode = ?"), {bizcode});
    run(QStringLiteral("DELETE FROM scan_counts WHERE bizcode = ?"), {bizcode});
    run(QStringLiteral("DELETE FROM scan_feed WHERE bizcode = ?"), {bizcode});
    // With the last audit row gone there is nothing left to seal: the chain starts again.
    run(QStringLiteral("DELETE FROM audit_seals WHERE NOT EXISTS (SELECT 1 FROM scan_log)"));
    dropCounters(bizcode);
    tx.commit();
}

QList<Performance> SqlStorage::performances(const QString &placeCode)
{
    const bool all = placeCode.isEmpty();
    Rows q = run(
        QStringLiteral("SELECT %1 FROM performances%2 ORDER BY starts_at, bizcode")
            .arg(kPerformanceColumns, all ? QString() : QStringLiteral(" WHERE place_code = ?")),
        all ? QVariantList{} : QVariantList{placeCode});
    QList<Performance> list;
    while (q.next())
        list << performanceFrom(q);
    return list;
}

QList<OperatorRecord> SqlStorage::operators(const QString &placeCode)
{
    const bool all = placeCode.isEmpty();
    Rows q =
        run(QStringLiteral("SELECT %1 FROM operators%2 ORDER BY operator_id")
                .arg(kOperatorColumns, all ? QString() : QStringLiteral(" WHERE place_code = ?")),
            all ? QVariantList{} : QVariantList{placeCode});
    QList<OperatorRecord> list;
    while (q.next())
        list << operatorFrom(q);
    return list;
}

QList<BookingRecord> SqlStorage::bookings(const QString &bizcode)
{
    Rows q = run(QStringLiteral("SELECT %1 FROM bookings WHERE bizcode = ? ORDER BY ticket_no")
                     .arg(kBookingColumns),
                 {bizcode});
    QList<BookingRecord> list;
    while (q.next())
        list << bookingRecordFrom(q);
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
    return bookingRecordFrom(q);
}

QList<SignInAttempt> SqlStorage::lastSignIns(const QString &placeCode)
{
    // Each operator's row found through sign_in_log_by_operator, newest first.
    Rows q = run(QStringLiteral("SELECT %1 FROM sign_in_log WHERE id IN (SELECT (SELECT MAX(n.id)"
                                " FROM sign_in_log n WHERE n.operator_id = o.operator_id"
                                " AND n.result = 'ok') FROM operators o"
                                " WHERE ? = '' OR o.place_code = ?) ORDER BY operator_id")
                     .arg(kSignInColumns),
                 {notNull(placeCode), notNull(placeCode)});
    QList<SignInAttempt> list;
    while (q.next())
        list << signInFrom(q);
    return list;
}

bool SqlStorage::addOperator(const OperatorRecord &op)
{
    return addOperatorAudited(op, nullptr);
}

bool SqlStorage::addOperator(const OperatorRecord &op, const SeasonAudit &audit)
{
    return addOperatorAudited(op, &audit);
}

bool SqlStorage::addOperatorAudited(const OperatorRecord &op, const SeasonAudit *audit)
{
    bool added = false;
    inWriteTransaction([&](SqlStorage &db) {
        added =
            db.run(QStringLiteral("INSERT INTO operators (operator_id, password_hash,"
                                  " place_code, disabled) VALUES (?, ?, ?, ?)"
                                  " ON CONFLICT (operator_id) DO NOTHING RETURNING operator_id"),
                   {op.id, QString::fromUtf8(op.passwordHash), op.placeCode, op.disabled ? 1 : 0})
                .next();
        if (added && audit)
            db.writeSeasonAudit(*audit);
    });
    return added;
}

// A new password, venue or switch ends the operator's sessions in the same transaction, so no
// station stays signed in with what was just taken away.
bool SqlStorage::changeOperator(const QString &id, const QString &sql, const QVariantList &binds,
                                const SeasonAudit *audit)
{
    bool found = false;
    inWriteTransaction([&](SqlStorage &db) {
        found = db.run(sql + QStringLiteral(" RETURNING operator_id"), binds).next();
        if (!found)
            return;
        db.run(QStringLiteral("DELETE FROM sessions WHERE operator_id = ?"), {id});
        if (audit)
            db.writeSeasonAudit(*audit);
    });
    return found;
}

bool SqlStorage::setOperatorDisabled(const QString &id, bool disabled)
{
    return changeOperator(id,
                          QStringLiteral("UPDATE operators SET disabled = ? WHERE operator_id = ?"),
                          {disabled ? 1 : 0, id});
}

bool SqlStorage::setOperatorDisabled(const QString &id, bool disabled, const SeasonAudit &audit)
{
    return changeOperator(id,
                          QStringLiteral("UPDATE operators SET disabled = ? WHERE operator_id = ?"),
                          {disabled ? 1 : 0, id}, &audit);
}

bool SqlStorage::setOperatorPassword(const QString &id, const QByteArray &passwordHash)
{
    return changeOperator(
        id, QStringLiteral("UPDATE operators SET password_hash = ? WHERE operator_id = ?"),
        {QString::fromUtf8(passwordHash), id});
}

bool SqlStorage::setOperatorPassword(const QString &id, const QByteArray &passwordHash,
                                     const SeasonAudit &audit)
{
    return changeOperator(
        id, QStringLiteral("UPDATE operators SET password_hash = ? WHERE operator_id = ?"),
        {QString::fromUtf8(passwordHash), id}, &audit);
}

int SqlStorage::endOperatorSessions(const QString &id, const SeasonAudit &audit)
{
    int ended = 0;
    inWriteTransaction([&](SqlStorage &db) {
        ended = db.run(QStringLiteral("DELETE FROM sessions WHERE operator_id = ?"), {id})
                    .numRowsAffected();
        SeasonAudit row = audit;
        row.what = row.what.arg(ended);
        db.writeSeasonAudit(row);
    });
    return ended;
}

bool SqlStorage::setBookingCancelled(const QString &bizcode, const QString &ticketNo,
                                     bool cancelled)
{
    WriteTransaction tx(*this);
    // Only a booking that changes is written, so the counters know what it was before. The
    // change number is taken first, so the performance's numbers commit in order.
    const qint64 seq = takeChangeSeqs(bizcode, 1);
    Rows q = run(cancelled ? QStringLiteral("UPDATE bookings SET cancelled = 1, change_seq = ?"
                                            " WHERE bizcode = ? AND ticket_no = ? AND cancelled = 0"
                                            " RETURNING inside, entries")
                           : QStringLiteral("UPDATE bookings SET cancelled = 0, change_seq = ?"
                                            " WHERE bizcode = ? AND ticket_no = ?"
                                            " AND cancelled <> 0 RETURNING inside, entries"),
                 {seq, bizcode, ticketNo});
    if (q.next()) {
        const bool inside = q.value(0).toInt() != 0;
        const qint64 entries = q.value(1).toLongLong();
        q.finish();
        moveCounters(bizcode, CountedBooking{!cancelled, inside, entries},
                     CountedBooking{cancelled, inside, entries});
        tx.commit();
        return true;
    }
    q.finish();
    return findBooking(bizcode, ticketNo).has_value();
}

qint64 SqlStorage::scanCount(const QString &bizcode)
{
    // The API's rows (kind sync) record changes of bookings, not scans.
    Rows q = run(QStringLiteral("SELECT COUNT(*) FROM scan_log WHERE bizcode = ? AND kind <> ?"),
                 {bizcode, QString::fromLatin1(kAuditSync)});
    return q.next() ? q.value(0).toLongLong() : 0;
}

bool SqlStorage::removePerformance(const QString &bizcode)
{
    return removePerformanceIn(bizcode, {}, nullptr);
}

bool SqlStorage::removePerformance(const QString &bizcode, const QString &within,
                                   const SeasonAudit &audit)
{
    return removePerformanceIn(bizcode, within, &audit);
}

bool SqlStorage::removePerformanceIn(const QString &bizcode, const QString &within,
                                     const SeasonAudit *audit)
{
    bool found = false;
    inWriteTransaction([&](SqlStorage &db) {
        // The row is held (PostgreSQL; SQLite has one writer) so it cannot be moved to another
        // venue before it goes.
        found = db.run(QStringLiteral("SELECT 1 FROM performances WHERE bizcode = ?"
                                      " AND (? = '' OR place_code = ?)%1")
                           .arg(db.isSqlite() ? QString() : u" FOR UPDATE"_qs),
                       {bizcode, notNull(within), notNull(within)})
                    .next();
        if (!found)
            return;
        // Counted inside the write transaction, so a scan cannot slip in between check and
        // removal. The API's own rows (kind sync) record changes of bookings, not scans; they
        // stay.
        Rows count =
            db.run(QStringLiteral("SELECT COUNT(*) FROM scan_log WHERE bizcode = ? AND kind <> ?"),
                   {bizcode, QString::fromLatin1(kAuditSync)});
        const qint64 scans = count.next() ? count.value(0).toLongLong() : 0;
        count.finish();
        if (scans > 0)
            throw StorageError(
                QStringLiteral("performance %1 has %2 scan(s) in the audit; it is kept")
                    .arg(bizcode)
                    .arg(scans)
                    .toStdString());
        db.run(QStringLiteral("DELETE FROM bookings WHERE bizcode = ?"), {bizcode});
        db.dropCounters(bizcode);
        db.run(QStringLiteral("DELETE FROM performances WHERE bizcode = ?"), {bizcode});
        if (audit)
            db.writeSeasonAudit(*audit);
    });
    return found;
}

QList<ScanLogEntry> SqlStorage::audit(const AuditFilter &f)
{
    QString sql = QStringLiteral("SELECT %1 FROM scan_log WHERE bizcode = ?").arg(kScanLogColumns);
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
        list << scanLogEntryFrom(q);
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
