#include "server/base/outagelog.h"

#include "server/base/steadyclock.h"

namespace qav {

bool OutageLog::busy()
{
    std::lock_guard lock(m_mutex);
    ++m_busyAnswers;
    if (m_out.load(std::memory_order_relaxed))
        return false;
    m_out.store(true, std::memory_order_relaxed);
    m_sinceNs = steadyNs();
    m_busyAnswers = 1;
    return true;
}

std::optional<OutageLog::Stretch> OutageLog::served()
{
    // Served requests are the usual case: one relaxed load, no lock.
    if (!m_out.load(std::memory_order_relaxed))
        return std::nullopt;
    std::lock_guard lock(m_mutex);
    if (!m_out.load(std::memory_order_relaxed))
        return std::nullopt;
    m_out.store(false, std::memory_order_relaxed);
    return Stretch{m_busyAnswers, (steadyNs() - m_sinceNs) / 1000000};
}

} // namespace qav
