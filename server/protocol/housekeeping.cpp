#include "housekeeping.h"

#include "refusaltally.h"

#include <QDateTime>
#include <QDebug>

#include <chrono>

namespace qav {

namespace {

constexpr auto kFlushEvery = std::chrono::seconds(2);
constexpr auto kPruneEvery = std::chrono::hours(1);
constexpr auto kFoldEvery = std::chrono::seconds(10);

} // namespace

Housekeeping::Housekeeping(Opener opener, int keepDays)
    : m_opener(std::move(opener)), m_keepDays(keepDays), m_thread([this] { run(); })
{}

Housekeeping::~Housekeeping()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void Housekeeping::flush(std::unique_ptr<Storage> &storage, QList<RefusalCount> &unwritten)
{
    unwritten += refusalTally().take();
    if (unwritten.isEmpty())
        return;
    try {
        if (!storage)
            storage = m_opener();
        storage->addRefusalCounts(unwritten);
        unwritten.clear();
    } catch (const std::exception &e) {
        storage.reset();
        qWarning().noquote() << "could not write the refusal counts:" << e.what();
        if (unwritten.size() > RefusalTally::kMaxKeys) // the database is gone for long
            unwritten.remove(0, unwritten.size() - RefusalTally::kMaxKeys);
    }
}

void Housekeeping::run()
{
    std::unique_ptr<Storage> storage;
    QList<RefusalCount> unwritten;
    auto nextPrune = std::chrono::steady_clock::now();
    auto nextFold = nextPrune;
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        lock.unlock();
        flush(storage, unwritten);
        if (std::chrono::steady_clock::now() >= nextFold) {
            nextFold = std::chrono::steady_clock::now() + kFoldEvery;
            try {
                if (!storage)
                    storage = m_opener();
                storage->foldCounters();
            } catch (const std::exception &e) {
                storage.reset();
                qWarning().noquote() << "could not fold the counters:" << e.what();
            }
        }
        if (std::chrono::steady_clock::now() >= nextPrune) {
            nextPrune = std::chrono::steady_clock::now() + kPruneEvery;
            try {
                if (!storage)
                    storage = m_opener();
                const QString before = QDateTime::currentDateTime()
                                           .addDays(-m_keepDays)
                                           .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
                storage->pruneUnauthenticated(before);
            } catch (const std::exception &e) {
                storage.reset();
                qWarning().noquote() << "could not prune the sign-in audit:" << e.what();
            }
        }
        lock.lock();
        m_wake.wait_for(lock, kFlushEvery, [this] { return m_stopping; });
    }
    lock.unlock();
    flush(storage, unwritten);
}

} // namespace qav
