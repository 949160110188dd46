// The sales system's API: tokens, the answers kept for retries, its writes with their audit rows,
// and its two feeds. A feed pages by a number that only ever grows in commit order, so a reader
// paging with after= never skips a row that committed late nor sees one twice: booking changes
// take their numbers under the performance's row in change_seqs (held to commit), and audit rows
// are numbered when read, in a table beside the sealed audit, so the gates' path takes no lock.

#include "server/storage/sqlstorage.h"

#include "server/storage/sqlrecords.h"

#include <QDateTime>

namespace qav {

namespace {

// A row that gave its id to a transaction committing this much later than a feed read would be
// numbered by a later read only when it commits within this window (as the sealer assumes).
constexpr qint64 kLateCommitSecs = 60;

// Bookings read per statement when looking up a batch's tickets.
constexpr qsizetype kTicketsPerRead = 200;

// Rows of a batch written per transaction: a scan waits behind one slice at most.
constexpr qsizetype kSyncSlice = 200;

QString prefixed(const QString &columns, const QString &alias)
{
    QStringList list = columns.split(u',');
    for (QString &c : list)
        c = alias + u'.' + c.trimmed();
    return list.join(u", "_qs);
}

} // namespace

bool SqlStorage::addSyncToken(const SyncToken &token, const QString &tokenHash)
{
    bool added = false;
    inWriteTransaction([&](SqlStorage &db) {
        Rows q = db.run(QStringLiteral("INSERT INTO sync_tokens (name, token_hash, place_code,"
                                       " created_at) VALUES (?, ?, ?, ?)"
                                       " ON CONFLICT (name) DO NOTHING RETURNING name"),
                        {token.name, tokenHash, token.placeCode, token.createdAt});
        added = q.next();
    });
    return added;
}

std::optional<SyncToken> SqlStorage::findSyncToken(const QString &tokenHash)
{
    Rows q = run(
        QStringLiteral("SELECT name, place_code, created_at FROM sync_tokens WHERE token_hash = ?"),
        {tokenHash});
    if (!q.next())
        return std::nullopt;
    return SyncToken{q.value(0).toString(), q.value(1).toString(), q.value(2).toLongLong()};
}

QList<SyncToken> SqlStorage::syncTokens()
{
    Rows q = run(QStringLiteral("SELECT name, place_code, created_at FROM sync_tokens"
                                " ORDER BY name"));
    QList<SyncToken> list;
    while (q.next())
        list << SyncToken{q.value(0).toString(), q.value(1).toString(), q.value(2).toLongLong()};
    return list;
}

bool SqlStorage::revokeSyncToken(const QString &name)
{
    bool found = false;
    inWriteTransaction([&](SqlStorage &db) {
        Rows q =
            db.run(QStringLiteral("DELETE FROM sync_tokens WHERE name = ? RETURNING name"), {name});
        found = q.next();
        q.finish();
        db.run(QStringLiteral("DELETE FROM sync_replays WHERE token_name = ?"), {name});
    });
    return found;
}

SyncClaim SqlStorage::claimSyncKey(const QString &tokenName, const QString &key,
                                   const QString &requestHash, qint64 nowSecs, qint64 staleBefore)
{
    SyncClaim claim;
    inWriteTransaction([&](SqlStorage &db) {
        claim = {};
        db.run(QStringLiteral("DELETE FROM sync_replays WHERE token_name = ? AND idem_key = ?"
                              " AND created_at < ?"),
               {tokenName, key, nowSecs - kSyncReplayKeepSecs});
        Rows put = db.run(QStringLiteral("INSERT INTO sync_replays (token_name, idem_key,"
                                         " request_hash, created_at) VALUES (?, ?, ?, ?)"
                                         " ON CONFLICT (token_name, idem_key) DO NOTHING"
                                         " RETURNING status"),
                          {tokenName, key, requestHash, nowSecs});
        if (put.next())
            return;
        put.finish();
        Rows q = db.run(QStringLiteral("SELECT request_hash, status, answer, created_at FROM"
                                       " sync_replays WHERE token_name = ? AND idem_key = ?%1")
                            .arg(db.forShare()),
                        {tokenName, key});
        if (!q.next())
            return; // gone meanwhile: as good as new, though not claimed; rare, and harmless
        if (q.value(0).toString() != requestHash) {
            claim.kind = SyncClaim::Other;
        } else if (q.value(1).toInt() != 0) {
            claim.kind = SyncClaim::Answered;
            claim.status = q.value(1).toInt();
            claim.answer = q.value(2).toString().toUtf8();
        } else if (q.value(3).toLongLong() < staleBefore) {
            q.finish();
            db.run(QStringLiteral("UPDATE sync_replays SET created_at = ? WHERE token_name = ?"
                                  " AND idem_key = ?"),
                   {nowSecs, tokenName, key});
        } else {
            claim.kind = SyncClaim::UnderWay;
        }
    });
    return claim;
}

void SqlStorage::finishSyncKey(const QString &tokenName, const QString &key, int status,
                               const QByteArray &answer)
{
    inWriteTransaction([&](SqlStorage &db) {
        db.run(QStringLiteral("UPDATE sync_replays SET status = ?, answer = ? WHERE"
                              " token_name = ? AND idem_key = ?"),
               {status, QString::fromUtf8(answer), tokenName, key});
    });
}

void SqlStorage::dropSyncKey(const QString &tokenName, const QString &key)
{
    inWriteTransaction([&](SqlStorage &db) {
        db.run(QStringLiteral("DELETE FROM sync_replays WHERE token_name = ? AND idem_key = ?"
                              " AND status = 0"),
               {tokenName, key});
    });
}

qint64 SqlStorage::purgeSyncKeys(qint64 beforeSecs)
{
    qint64 gone = 0;
    inWriteTransaction([&](SqlStorage &db) {
        Rows q = db.run(QStringLiteral("DELETE FROM sync_replays WHERE created_at < ?"
                                       " RETURNING created_at"),
                        {beforeSecs});
        gone = 0;
        while (q.next())
            ++gone;
    });
    return gone;
}

qint64 SqlStorage::takeChangeSeqs(const QString &bizcode, qint64 count)
{
    Rows q = run(QStringLiteral("INSERT INTO change_seqs (bizcode, last_seq) VALUES (?, ?)"
                                " ON CONFLICT (bizcode) DO UPDATE SET"
                                " last_seq = change_seqs.last_seq + excluded.last_seq"
                                " RETURNING last_seq"),
                 {bizcode, count});
    if (!q.next())
        throw StorageError("cannot take change numbers");
    return q.value(0).toLongLong() - count + 1;
}

void SqlStorage::writeSyncAudit(const SyncActor &actor, const QString &bizcode,
                                const QString &ticket, const QString &what, const QString &message)
{
    run(QStringLiteral("INSERT INTO scan_log (scanned_at, operator_id, bizcode, ticket_raw, mode,"
                       " result_code, result_msg, duration_us, client_address, kind)"
                       " VALUES (?, ?, ?, ?, '', ?, ?, 0, ?, ?)"),
        {nowStamp(), actor.tokenName, bizcode, notNull(ticket), what, message,
         notNull(actor.clientAddress), QString::fromLatin1(kAuditSync)});
}

bool SqlStorage::putSyncPerformance(const Performance &p, const SyncActor &actor, bool &created)
{
    bool mine = false;
    inWriteTransaction([&](SqlStorage &db) {
        Rows old = db.run(QStringLiteral("SELECT %1 FROM performances WHERE bizcode = ?%2")
                              .arg(kPerformanceColumns, db.forShare()),
                          {p.bizcode});
        std::optional<Performance> before;
        if (old.next())
            before = performanceFrom(old);
        old.finish();
        mine = !before || before->placeCode == p.placeCode;
        created = !before;
        if (!mine)
            return;
        // The venue is kept out of the update: a bizcode of another venue that appeared since
        // the read above changes nothing.
        Rows q = db.run(
            QStringLiteral(
                "INSERT INTO performances (bizcode, place_code, goods_name, starts_at, place_name)"
                " VALUES (?, ?, ?, ?, ?) ON CONFLICT (bizcode) DO UPDATE SET"
                " goods_name = excluded.goods_name, starts_at = excluded.starts_at,"
                " place_name = excluded.place_name"
                " WHERE performances.place_code = excluded.place_code RETURNING bizcode"),
            {p.bizcode, p.placeCode, notNull(p.goodsName), notNull(p.startsAt),
             notNull(p.placeName)});
        mine = q.next();
        q.finish();
        if (!mine)
            return;
        if (!before || before->goodsName != p.goodsName || before->startsAt != p.startsAt ||
            before->placeName != p.placeName)
            db.writeSyncAudit(actor, p.bizcode, {}, u"performance"_qs,
                              QStringLiteral("%1 %2 %3 (%4)")
                                  .arg(created ? u"created"_qs : u"changed"_qs, p.goodsName,
                                       p.startsAt, p.placeName));
    });
    return mine;
}

QList<BookingRecord> SqlStorage::bookingsByTicket(const QString &bizcode,
                                                  const QStringList &tickets)
{
    const QString sql = QStringLiteral("SELECT %1 FROM bookings WHERE bizcode = ? AND ticket_no"
                                       " IN (%2)")
                            .arg(kBookingColumns)
                            .arg(QStringList(kTicketsPerRead, u"?"_qs).join(u", "_qs));
    QList<BookingRecord> list;
    for (qsizetype from = 0; from < tickets.size(); from += kTicketsPerRead) {
        QVariantList binds{bizcode};
        for (qsizetype i = 0; i < kTicketsPerRead; ++i) // the last slice repeats its last ticket
            binds << tickets.at(std::min(from + i, tickets.size() - 1));
        Rows q = run(sql, binds);
        while (q.next())
            list << bookingRecordFrom(q);
    }
    return list;
}

void SqlStorage::putSyncBookings(const QString &bizcode, const QList<Booking> &bookings,
                                 const SyncActor &actor, const QString &summary)
{
    qsizetype from = 0;
    do {
        const QList<Booking> slice = bookings.mid(from, kSyncSlice);
        from += kSyncSlice;
        const bool last = from >= bookings.size();
        // On a serving SQLite connection this joins the gates' writer, so a slice waits for no
        // lock and a scan waits behind one slice at most.
        inWriteTransaction([&](SqlStorage &db) {
            if (!slice.isEmpty())
                db.writeBookingChunk(slice);
            if (last)
                db.writeSyncAudit(actor, bizcode, {}, u"bookings"_qs, summary);
        });
    } while (from < bookings.size());
}

std::optional<BookingRecord> SqlStorage::cancelSyncBooking(const QString &bizcode,
                                                           const QString &ticketNo,
                                                           const SyncActor &actor)
{
    std::optional<BookingRecord> before;
    inWriteTransaction([&](SqlStorage &db) {
        const qint64 seq = db.takeChangeSeqs(bizcode, 1);
        // Locks the booking: a gate's scan of it comes wholly before or after this.
        Rows q = db.run(QStringLiteral("UPDATE bookings SET cancelled = cancelled WHERE bizcode = ?"
                                       " AND ticket_no = ? RETURNING %1")
                            .arg(kBookingColumns),
                        {bizcode, ticketNo});
        before.reset();
        if (!q.next())
            return;
        before = bookingRecordFrom(q);
        q.finish();
        if (before->booking.cancelled)
            return;
        db.run(QStringLiteral("UPDATE bookings SET cancelled = 1, change_seq = ? WHERE"
                              " bizcode = ? AND ticket_no = ?"),
               {seq, bizcode, ticketNo});
        db.moveCounters(bizcode, CountedBooking{false, before->inside, before->entries},
                        CountedBooking{true, before->inside, before->entries});
        db.writeSyncAudit(actor, bizcode, ticketNo, u"cancel"_qs,
                          before->entries > 0 ? QStringLiteral("cancelled; admitted already (%1)")
                                                    .arg(before->inside ? u"inside"_qs : u"left"_qs)
                                              : u"cancelled"_qs);
    });
    return before;
}

QList<FeedBooking> SqlStorage::bookingFeed(const QString &bizcode, qint64 after, int limit)
{
    Rows q = run(QStringLiteral("SELECT change_seq, %1 FROM bookings WHERE bizcode = ? AND"
                                " change_seq > ? ORDER BY change_seq LIMIT ?")
                     .arg(kBookingColumns),
                 {bizcode, after, limit});
    QList<FeedBooking> list;
    while (q.next())
        list << FeedBooking{bookingRecordFrom(q, 1), q.value(0).toLongLong()};
    return list;
}

void SqlStorage::numberScanFeed(const QString &bizcode)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    // One reader of a performance numbers at a time; SQLite has one writer anyway.
    if (!isSqlite())
        run(QStringLiteral("SELECT pg_advisory_xact_lock(8472, hashtext(?))"), {bizcode});
    // Rows at or below the id numbered last before kLateCommitSecs ago are all committed (or
    // rolled back) by now; above it, any row not numbered yet gets the next numbers in id order.
    qint64 lowWater = 0;
    {
        Rows q = run(QStringLiteral("SELECT log_id FROM scan_feed WHERE bizcode = ? AND"
                                    " numbered_at < ? ORDER BY feed_no DESC LIMIT 1"),
                     {bizcode, now - kLateCommitSecs});
        if (q.next())
            lowWater = q.value(0).toLongLong();
    }
    run(QStringLiteral(
            "INSERT INTO scan_feed (bizcode, feed_no, log_id, numbered_at)"
            " SELECT s.bizcode, (SELECT COALESCE(MAX(feed_no), 0) FROM scan_feed WHERE bizcode = ?)"
            " + ROW_NUMBER() OVER (ORDER BY s.id), s.id, ? FROM scan_log s"
            " WHERE s.bizcode = ? AND s.id > ? AND (s.kind = 'annul' OR (s.kind IN ('scan',"
            " 'manual') AND s.mode IN ('I', 'O') AND s.result_code IN ('0', '1', '2')))"
            " AND NOT EXISTS (SELECT 1 FROM scan_feed f WHERE f.log_id = s.id)"),
        {bizcode, now, bizcode, lowWater});
}

QList<FeedScan> SqlStorage::scanFeed(const QString &bizcode, qint64 after, int limit)
{
    inWriteTransaction([&](SqlStorage &db) { db.numberScanFeed(bizcode); });
    Rows q = run(QStringLiteral("SELECT f.feed_no, %1 FROM scan_feed f JOIN scan_log s ON"
                                " s.id = f.log_id WHERE f.bizcode = ? AND f.feed_no > ?"
                                " ORDER BY f.feed_no LIMIT ?")
                     .arg(prefixed(kScanLogColumns, u"s"_qs)),
                 {bizcode, after, limit});
    QList<FeedScan> list;
    while (q.next())
        list << FeedScan{q.value(0).toLongLong(), scanLogEntryFrom(q, 1)};
    return list;
}

} // namespace qav
