#include "server/accounts/signinthrottle.h"

#include <QMutexLocker>

#include <algorithm>

namespace qav {

SignInThrottle::SignInThrottle() : SignInThrottle(Limits()) {}

SignInThrottle::SignInThrottle(Limits limits) : m_limits(limits) {}

void SignInThrottle::forget(Entry &entry, qint64 nowMs) const
{
    while (!entry.failures.isEmpty() && entry.failures.first() <= nowMs - m_limits.windowMs)
        entry.failures.removeFirst();
}

bool SignInThrottle::isLocked(const Entry &entry, qint64 nowMs) const
{
    return entry.failures.size() >= m_limits.maxFailures &&
           nowMs < entry.failures.last() + m_limits.lockCapMs;
}

SignInThrottle::Verdict SignInThrottle::check(const QString &key, qint64 nowMs)
{
    QMutexLocker lock(&m_mutex);
    const auto it = m_entries.find(key);
    if (it == m_entries.end())
        return {};
    forget(*it, nowMs);
    it->lastSeenMs = nowMs;
    if (!isLocked(*it, nowMs)) {
        it->refusedWhileLocked = 0;
        return {};
    }
    const int doublings = std::min(it->refusedWhileLocked, 16);
    ++it->refusedWhileLocked;
    return {true, std::min(m_limits.firstDelayMs << doublings, m_limits.maxDelayMs)};
}

bool SignInThrottle::isLocked(const QString &key, qint64 nowMs)
{
    QMutexLocker lock(&m_mutex);
    const auto it = m_entries.find(key);
    if (it == m_entries.end())
        return false;
    forget(*it, nowMs);
    return isLocked(*it, nowMs);
}

int SignInThrottle::failures(const QString &key, qint64 nowMs)
{
    QMutexLocker lock(&m_mutex);
    const auto it = m_entries.find(key);
    if (it == m_entries.end())
        return 0;
    forget(*it, nowMs);
    return int(it->failures.size());
}

void SignInThrottle::failed(const QString &key, qint64 nowMs)
{
    QMutexLocker lock(&m_mutex);
    if (!m_entries.contains(key))
        makeRoom(nowMs);
    Entry &entry = m_entries[key];
    forget(entry, nowMs);
    entry.failures.append(nowMs);
    while (entry.failures.size() > m_limits.maxFailures)
        entry.failures.removeFirst();
    entry.lastSeenMs = nowMs;
}

void SignInThrottle::succeeded(const QString &key)
{
    QMutexLocker lock(&m_mutex);
    m_entries.remove(key);
}

void SignInThrottle::makeRoom(qint64 nowMs)
{
    if (m_entries.size() < m_limits.maxKeys)
        return;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        forget(*it, nowMs);
        it = it->failures.isEmpty() ? m_entries.erase(it) : std::next(it);
    }
    if (m_entries.size() < m_limits.maxKeys)
        return;
    // Still full of live keys: drop the one left alone longest.
    auto oldest =
        std::min_element(m_entries.begin(), m_entries.end(), [](const Entry &a, const Entry &b) {
            return a.lastSeenMs < b.lastSeenMs;
        });
    m_entries.erase(oldest);
}

} // namespace qav
