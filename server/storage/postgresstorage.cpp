// PostgreSQL: its connection settings and time-outs, and how the serving connections of a process
// come back after the database was away; the SQL is SqlStorage's.

#include "server/base/steadyclock.h"
#include "server/storage/backends.h"
#include "server/storage/sqlstorage.h"

#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>

namespace qav {

namespace {

// Between failed attempts to reach the database, the serving connections of a process wait at
// least the first and at most the last of these, doubling: an outage costs the database a few
// attempts a second, and a gate is served again within the longest wait of its coming back.
constexpr qint64 kFirstRetryMs = 50;
constexpr qint64 kLongestRetryMs = 400;

// What the serving connections of one process to one database share. A connection that finds its
// link lost counts a loss; every connection opened before the latest loss is opened again before
// its next use, rather than failing a gate's request to find out. While the database cannot be
// reached, one attempt at a time is made, and the others answer busy at once.
class SharedLink
{
public:
    static SharedLink &of(const QString &description)
    {
        static std::mutex mutex;
        static std::map<QString, SharedLink> links; // never shrinks: one per database served
        std::lock_guard lock(mutex);
        return links[description];
    }

    quint64 losses() const { return m_losses.load(std::memory_order_relaxed); }
    // Counted once however many connections find the same loss.
    void lost(quint64 seen) { m_losses.compare_exchange_strong(seen, seen + 1); }

    // Whether an attempt may be made now; false while the last one failed lately.
    bool mayTry(qint64 &waitMs)
    {
        std::lock_guard lock(m_mutex);
        const qint64 now = steadyNs();
        if (m_retryMs > 0 && now < m_nextTryNs) {
            waitMs = (m_nextTryNs - now) / 1000000 + 1;
            return false;
        }
        // The others wait while this attempt is under way (a silent host takes seconds to fail).
        if (m_retryMs > 0)
            m_nextTryNs = now + m_retryMs * 1000000;
        return true;
    }
    void tried(bool reached)
    {
        std::lock_guard lock(m_mutex);
        m_retryMs = reached ? 0 : std::clamp(m_retryMs * 2, kFirstRetryMs, kLongestRetryMs);
        m_nextTryNs = reached ? 0 : steadyNs() + m_retryMs * 1000000;
    }

private:
    std::atomic<quint64> m_losses{0};
    std::mutex m_mutex;
    qint64 m_retryMs = 0;
    qint64 m_nextTryNs = 0;
};

class PostgresStorage final : public SqlStorage
{
public:
    PostgresStorage(QSqlDatabase db, QString description, StorageUse use)
        : SqlStorage(std::move(db)), m_description(std::move(description)), m_use(use),
          m_link(use == StorageUse::Serving ? &SharedLink::of(m_description) : nullptr)
    {
        connect();
    }
    QString describe() const override { return m_description; }

protected:
    QString beginWriteSql() const override { return QStringLiteral("BEGIN"); }
    QString serialIdType() const override { return QStringLiteral("BIGSERIAL PRIMARY KEY"); }
    bool isSqlite() const override { return false; }
    // As many as a server's usual connections, so its scans rarely share a counter row.
    int counterShards() const override { return 16; }
    // Several servers may start at once; CREATE ... IF NOT EXISTS alone races in PostgreSQL.
    void lockSchema() override { exec(QStringLiteral("SELECT pg_advisory_xact_lock(8470)")); }

    bool lostConnection(const QSqlError &error) override
    {
        const QString code = error.nativeErrorCode();
        // The client library says so by the connection's state; a server that is shutting down
        // (57P01..57P03) ends the session it answers with. One that refuses writes (25006) is a
        // standby now, after a failover: the next connection finds the new primary.
        const bool lost = !m_db.isOpen() || code.startsWith(QLatin1String("08")) ||
                          code.startsWith(QLatin1String("57P0")) || code == QLatin1String("25006");
        if (lost && m_link)
            m_link->lost(m_losses);
        return lost;
    }
    bool wantsReopen() const override { return m_link && m_link->losses() != m_losses; }
    void reopen() override
    {
        m_db.close();
        connect();
    }

private:
    void connect()
    {
        qint64 waitMs = 0;
        if (m_link && !m_link->mayTry(waitMs))
            throw StorageBusy(
                QStringLiteral("%1 could not be reached lately; trying again in %2 ms")
                    .arg(m_description)
                    .arg(waitMs)
                    .toStdString());
        // Read before connecting: a loss counted meanwhile makes this connection go again.
        const quint64 losses = m_link ? m_link->losses() : 0;
        const bool opened = m_db.open() && setUp();
        if (m_link)
            m_link->tried(opened);
        if (!opened)
            throw StorageBusy(QStringLiteral("cannot connect to %1: %2")
                                  .arg(m_description, m_db.lastError().text())
                                  .toStdString());
        m_losses = losses;
    }
    bool setUp()
    {
        QStringList settings{QStringLiteral("SET synchronous_commit TO on"),
                             QStringLiteral("SET client_min_messages TO warning")};
        if (m_use == StorageUse::Serving) {
            // A gate hears "busy" rather than waiting behind a lock held elsewhere.
            settings << QStringLiteral("SET lock_timeout TO %1").arg(kScanBudgetMs)
                     << QStringLiteral("SET statement_timeout TO %1").arg(kScanBudgetMs + 300);
        }
        for (const QString &sql : settings) {
            QSqlQuery q(m_db);
            if (!q.exec(sql))
                return false;
        }
        return true;
    }

    QString m_description;
    StorageUse m_use;
    SharedLink *m_link; // serving connections only
    quint64 m_losses = 0;
};

} // namespace

std::unique_ptr<Storage> openPostgres(const PgParams &p, StorageUse use)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), newConnectionName());
    db.setHostName(p.host);
    db.setUserName(p.user);
    db.setPassword(p.password);
    db.setDatabaseName(p.database);
    // libpq waits at least 2 s; a gate's request is answered busy when it cannot connect. A
    // serving connection also notices within seconds that the database host went silent (data
    // not acknowledged, or an idle connection not answering probes), so its worker is free again.
    // What the URL sets wins.
    QList<std::pair<QString, QString>> options =
        use == StorageUse::Serving
            ? QList<std::pair<QString, QString>>{{u"connect_timeout"_qs, u"2"_qs},
                                                 {u"tcp_user_timeout"_qs, u"3000"_qs},
                                                 {u"keepalives_idle"_qs, u"10"_qs},
                                                 {u"keepalives_interval"_qs, u"2"_qs},
                                                 {u"keepalives_count"_qs, u"3"_qs}}
            : QList<std::pair<QString, QString>>{{u"connect_timeout"_qs, u"5"_qs}};
    bool onePort = false;
    const int port = p.port.toInt(&onePort);
    if (onePort)
        db.setPort(port);
    else
        options.append({u"port"_qs, p.port});
    for (const auto &[name, value] : p.options) {
        options.removeIf([&](const auto &o) { return o.first == name; });
        options.append({name, value});
    }
    QStringList words;
    for (const auto &[name, value] : options)
        words << name + u'=' + value;
    db.setConnectOptions(words.join(u';'));
    // A failure to connect is thrown from the constructor; the connection is removed with it.
    return std::make_unique<PostgresStorage>(std::move(db), p.description, use);
}

} // namespace qav
