// SQLite: its connection settings, the lock polling of a serving connection and the one writer
// thread per file that commits the scans of all workers in groups.

#include "server/storage/backends.h"
#include "server/storage/sqlstorage.h"

#include "server/base/steadyclock.h"

#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>

#include <sqlite3.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace qav {

namespace {

class SqliteWriter;

class SqliteStorage final : public SqlStorage
{
public:
    SqliteStorage(QSqlDatabase db, QString path, StorageUse use,
                  std::shared_ptr<SqliteWriter> writer)
        : SqlStorage(std::move(db)), m_path(std::move(path)), m_writer(std::move(writer))
    {
        // WAL lets readers run beside the one writer; FULL makes every commit durable before
        // the gate hears "accepted". An admin command waits for the server as long as it takes;
        // the server's own connections give up on a lock within the time a gate may wait.
        exec(QStringLiteral("PRAGMA busy_timeout = %1")
                 .arg(use == StorageUse::Admin ? 15000 : kScanBudgetMs));
        exec(QStringLiteral("PRAGMA journal_mode = WAL"));
        exec(QStringLiteral("PRAGMA synchronous = FULL"));
        exec(QStringLiteral("PRAGMA foreign_keys = ON"));
        if (use == StorageUse::Serving)
            pollForLocks();
    }
    QString describe() const override { return QStringLiteral("sqlite:") + m_path; }
    ScanOutcome scan(const ScanRequest &request) override;
    void inWriteTransaction(const WriteWork &work) override;
    void checkHealth() override;

    // For the writer: waits at most this long for another process's write lock.
    void setBusyTimeout(qint64 ms) { m_busyBudgetMs = ms; }

protected:
    // IMMEDIATE takes the write lock up front, so no transaction ever has to upgrade a read lock.
    QString beginWriteSql() const override { return QStringLiteral("BEGIN IMMEDIATE"); }
    QString serialIdType() const override
    {
        return QStringLiteral("INTEGER PRIMARY KEY AUTOINCREMENT");
    }
    bool isSqlite() const override { return true; }

private:
    QString m_path;
    // SQLite's own wait sleeps up to 100 ms between tries, so a writer waiting on another
    // process that takes the lock again right after each commit (an import) may never get it.
    // Trying every quarter millisecond finds the gap between two of its transactions.
    void pollForLocks()
    {
        const QVariant handle = m_db.driver()->handle();
        if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
            return;
        sqlite3 *db = *static_cast<sqlite3 *const *>(handle.constData());
        sqlite3_busy_handler(db, &SqliteStorage::onBusy, this);
    }
    static int onBusy(void *self, int tries)
    {
        auto *s = static_cast<SqliteStorage *>(self);
        const qint64 now = steadyNs();
        if (tries == 0)
            s->m_busySinceNs = now;
        if ((now - s->m_busySinceNs) / 1000000 >= s->m_busyBudgetMs)
            return 0;
        std::this_thread::sleep_for(std::chrono::microseconds(250));
        return 1;
    }

    std::shared_ptr<SqliteWriter> m_writer;
    qint64 m_busyBudgetMs = kScanBudgetMs;
    qint64 m_busySinceNs = 0;
};

// The one writer of a server process on one SQLite file. Scans of all worker threads queue here;
// its thread takes all that wait, commits them in one transaction (one durable write for the lot)
// and then wakes each worker with its outcome. A scan that has waited past the gate's budget
// (another process holds the lock) is answered busy instead of being tried.
class SqliteWriter
{
public:
    static std::shared_ptr<SqliteWriter> forPath(const QString &absolutePath)
    {
        static std::mutex mutex;
        static std::map<QString, std::weak_ptr<SqliteWriter>> writers;
        std::lock_guard lock(mutex);
        std::shared_ptr<SqliteWriter> writer = writers[absolutePath].lock();
        if (!writer) {
            writer = std::make_shared<SqliteWriter>(absolutePath);
            writers[absolutePath] = writer;
        }
        return writer;
    }

    explicit SqliteWriter(QString path) : m_path(std::move(path)), m_thread([this] { loop(); }) {}
    ~SqliteWriter()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

    ScanOutcome scan(const ScanRequest &request)
    {
        Pending pending{&request, {}, request.startedNs, {}, {}, false};
        wait(pending);
        return pending.outcome;
    }

    // False when one commit has been under way for longer than any healthy one takes: its
    // busy wait is bounded by a scan's budget.
    bool alive() const
    {
        const qint64 since = m_commitSinceNs.load(std::memory_order_relaxed);
        return since == 0 || (steadyNs() - since) / 1000000 < 2 * kScanBudgetMs;
    }

    // Other writes of the serving path (sessions, sign-ins, refused scans' audit) share the
    // scans' commit, so they never hold the file's one write lock on their own.
    void write(const SqlStorage::WriteWork &work)
    {
        Pending pending{nullptr, &work, steadyNs(), {}, {}, false};
        wait(pending);
    }

private:
    struct Pending
    {
        const ScanRequest *request; // or
        const SqlStorage::WriteWork *work;
        qint64 arrivedNs;
        ScanOutcome outcome;
        std::exception_ptr failure;
        bool finished;
    };

    void wait(Pending &pending)
    {
        std::unique_lock lock(m_mutex);
        m_queue.push_back(&pending);
        m_wake.notify_all();
        m_done.wait(lock, [&] { return pending.finished; });
        if (pending.failure)
            std::rethrow_exception(pending.failure);
    }

    void loop()
    {
        std::unique_ptr<SqliteStorage> storage;
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [&] { return m_stopping || !m_queue.empty(); });
            if (m_stopping && m_queue.empty())
                break;
            std::vector<Pending *> batch;
            batch.swap(m_queue);
            lock.unlock();
            m_commitSinceNs.store(steadyNs(), std::memory_order_relaxed);
            commit(storage, batch);
            m_commitSinceNs.store(0, std::memory_order_relaxed);
            lock.lock();
            for (Pending *p : batch)
                p->finished = true;
            m_done.notify_all();
        }
        lock.unlock();
        storage.reset();
    }

    void commit(std::unique_ptr<SqliteStorage> &storage, const std::vector<Pending *> &batch)
    {
        const qint64 now = steadyNs();
        std::vector<SqlStorage::GroupSlot> group;
        std::vector<Pending *> tried;
        qint64 oldest = now;
        for (Pending *p : batch) {
            const qint64 arrived = p->arrivedNs > 0 ? p->arrivedNs : now;
            if ((now - arrived) / 1000000 >= kScanBudgetMs) {
                p->failure = std::make_exception_ptr(
                    StorageBusy("the scan waited too long for the database"));
                continue;
            }
            oldest = std::min(oldest, arrived);
            SqlStorage::GroupSlot slot;
            slot.request = p->request;
            if (p->work)
                slot.work = *p->work;
            group.push_back(std::move(slot));
            tried.push_back(p);
        }
        if (group.empty())
            return;
        try {
            if (!storage)
                storage = openWriterConnection();
            storage->setBusyTimeout(std::max<qint64>(10, kScanBudgetMs - (now - oldest) / 1000000));
            storage->scanGroup(group);
            for (size_t i = 0; i < group.size(); ++i) {
                tried[i]->outcome = std::move(group[i].outcome);
                tried[i]->failure = group[i].failure;
            }
        } catch (const StorageError &) {
            storage.reset(); // a new connection for the next group
            for (Pending *p : tried)
                p->failure = std::current_exception();
        }
    }

    std::unique_ptr<SqliteStorage> openWriterConnection();

    QString m_path;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    std::vector<Pending *> m_queue;
    bool m_stopping = false;
    std::atomic<qint64> m_commitSinceNs{0}; // steady clock; 0 while idle
    std::thread m_thread;
};

ScanOutcome SqliteStorage::scan(const ScanRequest &request)
{
    return m_writer ? m_writer->scan(request) : SqlStorage::scan(request);
}

void SqliteStorage::checkHealth()
{
    SqlStorage::checkHealth();
    if (m_writer && !m_writer->alive())
        throw StorageError(
            "the writer has been stuck in one commit for more than twice a scan's budget");
}

void SqliteStorage::inWriteTransaction(const WriteWork &work)
{
    if (m_writer)
        m_writer->write(work);
    else
        SqlStorage::inWriteTransaction(work);
}

QSqlDatabase openSqliteConnection(const QString &path)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), newConnectionName());
    db.setDatabaseName(path);
    if (!db.open()) {
        const QString err = db.lastError().text();
        const QString name = db.connectionName();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
        throw StorageError(
            QStringLiteral("cannot open SQLite database %1: %2").arg(path, err).toStdString());
    }
    return db;
}

std::unique_ptr<SqliteStorage> SqliteWriter::openWriterConnection()
{
    return std::make_unique<SqliteStorage>(openSqliteConnection(m_path), m_path,
                                           StorageUse::Serving, nullptr);
}

} // namespace

std::unique_ptr<Storage> openSqlite(const QString &path, StorageUse use)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    QSqlDatabase db = openSqliteConnection(path);
    try {
        return std::make_unique<SqliteStorage>(
            db, absolute, use,
            use == StorageUse::Serving ? SqliteWriter::forPath(absolute) : nullptr);
    } catch (const StorageError &e) {
        throw StorageError(QStringLiteral("cannot use SQLite database %1: %2")
                               .arg(path, QString::fromStdString(e.what()))
                               .toStdString());
    }
}

} // namespace qav
