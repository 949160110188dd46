// Gate operators' sessions, and what was tried without one: sign-in attempts, the per-minute
// counts of refused requests and their pruning.

#include "server/storage/sqlstorage.h"

#include "server/storage/sqlrecords.h"

namespace qav {

namespace {

// A session's last use is written at most this often, so that scans do not all write it.
constexpr qint64 kSessionTouchSecs = 60;

} // namespace

// The operator's row is read first, under a lock: a change of it made before is seen here, and
// one made meanwhile waits for this commit and then ends this session with the others.
bool SqlStorage::createSession(const SessionRecord &session, const QByteArray &passwordHash,
                               qint64 dropIdleBefore)
{
    bool created = false;
    inWriteTransaction([&](SqlStorage &db) {
        created = db.run(QStringLiteral("SELECT 1 FROM operators WHERE operator_id = ?"
                                        " AND password_hash = ? AND disabled = 0%1")
                             .arg(db.forShare()),
                         {session.operatorId, QString::fromUtf8(passwordHash)})
                      .next();
        if (!created)
            return;
        db.run(QStringLiteral("DELETE FROM sessions WHERE last_used_at < ?"), {dropIdleBefore});
        db.run(QStringLiteral("INSERT INTO sessions (key_hash, operator_id, client_address,"
                              " created_at, last_used_at) VALUES (?, ?, ?, ?, ?)"),
               {session.keyHash, session.operatorId, notNull(session.clientAddress),
                session.createdAt, session.lastUsedAt});
    });
    return created;
}

std::optional<SessionRecord> SqlStorage::useSession(const QString &keyHash, qint64 now,
                                                    qint64 idleBefore)
{
    Rows q = run(QStringLiteral("SELECT %1 FROM sessions s JOIN operators o"
                                " ON o.operator_id = s.operator_id"
                                " WHERE s.key_hash = ? AND o.disabled = 0")
                     .arg(kSessionColumns),
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
    Rows q = run(QStringLiteral("SELECT %1, p.bizcode, p.place_code, p.goods_name, p.starts_at,"
                                " p.place_name FROM sessions s JOIN operators o"
                                " ON o.operator_id = s.operator_id"
                                " LEFT JOIN performances p ON p.bizcode = ?"
                                " WHERE s.key_hash = ? AND o.disabled = 0")
                     .arg(kSessionColumns),
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
        QStringLiteral("SELECT s.key_hash, %1 FROM sessions s"
                       " LEFT JOIN operators o ON o.operator_id = s.operator_id"
                       " WHERE ? = '' OR s.operator_id = ? ORDER BY s.operator_id, s.created_at")
            .arg(kSessionColumns),
        {notNull(operatorId), notNull(operatorId)});
    QList<SessionRecord> list;
    while (q.next())
        list << sessionFrom(q, q.value(0).toString(), 1);
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
               {nowStamp(), notNull(attempt.operatorId), notNull(attempt.clientAddress),
                notNull(attempt.result)});
    });
}

QList<SignInAttempt> SqlStorage::signInLog(int newest)
{
    Rows q = run(
        QStringLiteral("SELECT %1 FROM sign_in_log ORDER BY id DESC LIMIT ?").arg(kSignInColumns),
        {newest});
    QList<SignInAttempt> list;
    while (q.next())
        list << signInFrom(q);
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
                {notNull(c.minute), notNull(c.clientAddress), notNull(c.what), c.count,
                 notNull(c.lastText)});
    });
}

QList<RefusalCount> SqlStorage::refusalCounts(int newest)
{
    Rows q = run(
        QStringLiteral("SELECT %1 FROM refusal_counts ORDER BY minute DESC, client_address, what"
                       " LIMIT ?")
            .arg(kRefusalCountColumns),
        {newest});
    QList<RefusalCount> list;
    while (q.next())
        list << refusalCountFrom(q);
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

} // namespace qav
