// PostgreSQL: its connection settings and time-outs, and how the serving connections of a process
// come back after the database was away; the SQL is SqlStorage's.

#include "server/base/steadyclock.h"
#include "server/storage/backends.h"
#include "server/storage/silencewatch.h"
#include "server/storage/sqlstorage.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>

#include <libpq-fe.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace qav {

namespace {

// Between failed attempts to reach the database, the serving connections of a process wait at
// least the first and at most the last of these, doubling: an outage costs the database a few
// attempts a second, and a gate is served again within the longest wait of its coming back.
constexpr qint64 kFirstRetryMs = 50;
constexpr qint64 kLongestRetryMs = 400;

// A statement the server has not answered this long after it was sent is given up: the server
// cuts its own statements at the statement timeout, so only a silent host gets this far, or a
// commit held for a synchronous standby that went away (its gate was told busy long before; the
// commit stands or not on its own, and the repeat finds out by its replay key).
constexpr qint64 kSilentHostMs = kScanBudgetMs + 300 + 1000;

// What the serving connections of one process to one database share. A connection that finds its
// link lost counts a loss; every connection opened before the latest loss is opened again before
// its next use, rather than failing a gate's request to find out. The URL's hosts are tried one
// by one, the one that took writes last first: after a failover the connections go straight to
// the new primary and never back to the old one while the new one serves, and a host that went
// silent (each attempt costing the connect timeout) holds up no attempt on another. While a host
// fails, one attempt at a time is made on it; when no host may be tried, the caller answers busy
// at once.
class SharedLink
{
public:
    static SharedLink &of(const QString &description, qsizetype hosts)
    {
        static std::mutex mutex;
        static std::map<QString, SharedLink> links; // never shrinks: one per database served
        std::lock_guard lock(mutex);
        SharedLink &link = links[description];
        if (link.m_hosts.empty())
            link.m_hosts.resize(size_t(std::max<qsizetype>(1, hosts)));
        return link;
    }

    quint64 losses() const { return m_losses.load(std::memory_order_relaxed); }
    // Counted once however many connections find the same loss.
    void lost(quint64 seen) { m_losses.compare_exchange_strong(seen, seen + 1); }

    // The host to try now among those not yet tried (marked there when picked); -1 when none may
    // be tried now, with the wait until one may.
    int pick(std::vector<bool> &tried, qint64 &waitMs)
    {
        std::lock_guard lock(m_mutex);
        const qint64 now = steadyNs();
        qint64 soonest = 0;
        const int count = int(m_hosts.size());
        for (int n = -1; n < count; ++n) {
            const int i = n < 0 ? m_writable : n;
            if (i < 0 || tried[size_t(i)])
                continue;
            Host &h = m_hosts[size_t(i)];
            // A host that has failed lately: one attempt at a time, after its wait.
            if (h.retryMs > 0 && (h.trying || now < h.nextTryNs)) {
                const qint64 at = h.trying ? now + h.retryMs * 1000000 : h.nextTryNs;
                soonest = soonest == 0 ? at : std::min(soonest, at);
                continue;
            }
            h.trying = true;
            tried[size_t(i)] = true;
            return i;
        }
        waitMs = soonest > now ? (soonest - now) / 1000000 + 1 : 1;
        return -1;
    }
    void tried(int host, bool reached)
    {
        std::lock_guard lock(m_mutex);
        Host &h = m_hosts[size_t(host)];
        h.trying = false;
        h.retryMs = reached ? 0 : std::clamp(h.retryMs * 2, kFirstRetryMs, kLongestRetryMs);
        h.nextTryNs = reached ? 0 : steadyNs() + h.retryMs * 1000000;
        if (reached)
            m_writable = host;
        else if (m_writable == host)
            m_writable = -1;
    }
    // A connection to host was lost: its next attempts go one at a time.
    void failed(int host)
    {
        std::lock_guard lock(m_mutex);
        Host &h = m_hosts[size_t(host)];
        if (h.retryMs == 0) {
            h.retryMs = kFirstRetryMs;
            h.nextTryNs = 0;
        }
        if (m_writable == host)
            m_writable = -1;
    }

private:
    struct Host
    {
        qint64 retryMs = 0; // 0 while it answers
        qint64 nextTryNs = 0;
        bool trying = false;
    };
    std::atomic<quint64> m_losses{0};
    std::mutex m_mutex;
    std::vector<Host> m_hosts;
    int m_writable = -1;
};

class PostgresStorage final : public SqlStorage, private DatabaseWaits
{
public:
    PostgresStorage(QSqlDatabase db, QString description, StorageUse use,
                    QList<std::pair<QString, int>> hosts)
        : SqlStorage(std::move(db)), m_description(std::move(description)), m_use(use),
          m_hosts(std::move(hosts)),
          m_link(use == StorageUse::Serving ? &SharedLink::of(m_description, m_hosts.size())
                                            : nullptr)
    {
        if (m_link)
            m_waits = this;
        connect();
    }
    QString describe() const override { return m_description; }

protected:
    QString beginWriteSql() const override { return QStringLiteral("BEGIN"); }
    QString serialIdType() const override { return QStringLiteral("BIGSERIAL PRIMARY KEY"); }
    bool isSqlite() const override { return false; }
    // As many as a server's usual connections, so its scans rarely share a counter row.
    int counterShards() const override { return 16; }
    QString planOnceSql() const override
    {
        return m_plansOnce ? QStringLiteral("SET LOCAL plan_cache_mode TO force_generic_plan")
                           : QString();
    }
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
        if (lost && m_link) {
            m_link->lost(m_losses);
            if (m_host >= 0)
                m_link->failed(m_host);
        }
        return lost;
    }
    bool wantsReopen() const override { return m_link && m_link->losses() != m_losses; }
    void reopen() override
    {
        m_db.close();
        connect();
    }

private:
    void waitBegins() override
    {
        if (m_depth++ == 0 && m_socket >= 0)
            m_armed.emplace(m_socket, kSilentHostMs);
    }
    void waitEnds() override
    {
        if (--m_depth == 0)
            m_armed.reset();
    }

    void connect()
    {
        m_socket = -1;
        m_host = -1;
        if (!m_link) {
            // One connection that may wait: the client library tries the hosts in turn.
            if (!m_db.open() || !setUp())
                throw StorageBusy(QStringLiteral("cannot connect to %1: %2")
                                      .arg(m_description, m_db.lastError().text())
                                      .toStdString());
            return;
        }
        // Read before connecting: a loss counted meanwhile makes this connection go again.
        const quint64 losses = m_link->losses();
        std::vector<bool> tried(size_t(m_hosts.size()), false);
        QString failure;
        for (;;) {
            qint64 waitMs = 0;
            const int host = m_link->pick(tried, waitMs);
            if (host < 0)
                throw StorageBusy(
                    (failure.isEmpty()
                         ? QStringLiteral("%1 could not be reached lately; trying again in %2 ms")
                               .arg(m_description)
                               .arg(waitMs)
                         : QStringLiteral("cannot connect to %1: %2").arg(m_description, failure))
                        .toStdString());
            if (m_hosts.size() > 1) {
                m_db.setHostName(m_hosts[host].first);
                m_db.setPort(m_hosts[host].second);
            }
            const bool opened = m_db.open() && watchSocket() && setUp();
            m_link->tried(host, opened);
            if (opened) {
                m_host = host;
                m_losses = losses;
                return;
            }
            failure += (failure.isEmpty() ? QString() : QStringLiteral("; ")) +
                       m_db.lastError().text().trimmed();
            m_db.close();
            m_socket = -1;
        }
    }
    // The socket a silent host's waits are cut on.
    bool watchSocket()
    {
        // The driver's handle is libpq's connection, named as its struct.
        const QVariant handle = m_db.driver()->handle();
        if (qstrcmp(handle.typeName(), "pg_conn*") == 0 ||
            qstrcmp(handle.typeName(), "PGconn*") == 0)
            if (PGconn *conn = *static_cast<PGconn *const *>(handle.constData()))
                m_socket = PQsocket(conn);
        return true;
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
            DatabaseWait wait(m_waits);
            if (!q.exec(sql))
                return false;
        }
        QSqlQuery version(m_db);
        DatabaseWait wait(m_waits);
        m_plansOnce = version.exec(QStringLiteral("SHOW server_version_num")) && version.next() &&
                      version.value(0).toInt() >= 120000;
        return true;
    }

    QString m_description;
    StorageUse m_use;
    QList<std::pair<QString, int>> m_hosts; // serving connections try them one by one
    SharedLink *m_link;                     // serving connections only
    quint64 m_losses = 0;
    int m_host = -1;   // of m_hosts, while connected
    int m_socket = -1; // the connection's, while connected
    int m_depth = 0;
    bool m_plansOnce = false; // the server has plan_cache_mode (12 and later)
    std::optional<SilenceWatch::Armed> m_armed;
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
    // A serving connection tries the hosts one by one itself (see SharedLink), each with its port.
    const QStringList hostNames = p.host.split(u',');
    const QStringList ports = p.port.split(u',');
    QList<std::pair<QString, int>> hosts;
    for (qsizetype i = 0; i < hostNames.size(); ++i)
        hosts.append({hostNames[i], ports.value(ports.size() == 1 ? 0 : i).toInt()});
    bool onePort = false;
    const int port = p.port.toInt(&onePort);
    if (onePort)
        db.setPort(port);
    else if (use != StorageUse::Serving)
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
    return std::make_unique<PostgresStorage>(std::move(db), p.description, use, std::move(hosts));
}

} // namespace qav
