#include "auditsealer.h"

#include <QDebug>

#include <chrono>
#include <cstring>

#include <sys/resource.h>
#include <unistd.h>

namespace qav {

AuditSealer::AuditSealer(Opener opener, SealKey key, int everySecs)
    : m_opener(std::move(opener)), m_key(std::move(key)), m_everySecs(everySecs),
      m_thread([this] { run(); })
{}

AuditSealer::~AuditSealer()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void AuditSealer::seal(std::unique_ptr<Storage> &storage, bool last)
{
    try {
        if (!storage)
            storage = m_opener();
        // A backlog (an audit older than sealing) goes in rounds, one after the other. A stop
        // cuts a backlog short, since the last round follows at once.
        for (int round = 0; round < 100; ++round) {
            if (!storage->sealAudit(m_key).more)
                break;
            std::lock_guard lock(m_mutex);
            if (m_stopping && !last)
                break;
        }
    } catch (const std::exception &e) {
        storage.reset();
        qWarning().noquote() << "could not seal the audit:" << e.what();
    }
}

void AuditSealer::run()
{
    // The gates come first: sealing takes the CPU they leave, at a low priority that is never
    // starved (per thread on Linux).
    if (setpriority(PRIO_PROCESS, id_t(gettid()), 15) != 0)
        qWarning("the audit's sealing keeps its normal priority: %s", std::strerror(errno));
    std::unique_ptr<Storage> storage;
    std::unique_lock lock(m_mutex);
    for (bool last = false; !last;) {
        m_wake.wait_for(lock, std::chrono::seconds(m_everySecs), [this] { return m_stopping; });
        // The stop may come while a round is under way, which read the rows before the last
        // requests committed: the last round always starts after it.
        last = m_stopping;
        lock.unlock();
        seal(storage, last);
        lock.lock();
    }
}

} // namespace qav
