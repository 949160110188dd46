#include "server/protocol/auditsealer.h"

#include <QDebug>

#include <cstring>

#include <sys/resource.h>
#include <unistd.h>

namespace qav {

namespace {

// The gates come first: sealing takes the CPU they leave, at a low priority that is never
// starved (per thread on Linux).
void lowerPriority()
{
    if (setpriority(PRIO_PROCESS, id_t(gettid()), 15) != 0)
        qWarning("the audit's sealing keeps its normal priority: %s", std::strerror(errno));
}

} // namespace

AuditSealer::AuditSealer(Opener opener, SealKey key, int everySecs)
    : m_opener(std::move(opener)), m_key(std::move(key)),
      m_thread(
          std::chrono::seconds(everySecs), PeriodicThread::First::AfterInterval,
          [this](bool last) { seal(last); }, lowerPriority)
{}

void AuditSealer::seal(bool last)
{
    try {
        if (!m_storage)
            m_storage = m_opener();
        // A backlog (an audit older than sealing) goes in rounds, one after the other. A stop
        // cuts a backlog short, since the last round follows at once.
        for (int round = 0; round < 100; ++round) {
            if (!m_storage->sealAudit(m_key).more)
                break;
            if (!last && m_thread.stopping())
                break;
        }
    } catch (const std::exception &e) {
        m_storage.reset();
        qWarning().noquote() << "could not seal the audit:" << e.what();
    }
}

} // namespace qav
