#include "server/accounts/signinguard.h"

#include "server/base/steadyclock.h"

#include <atomic>

namespace qav {

namespace {

std::atomic<int> g_clockScale{1};

// How long a refusal for an id under attack is held back (on the sign-in clock).
constexpr qint64 kIdRefusalDelayMs = 1000;

} // namespace

qint64 signInClockMs()
{
    return steadyMs() * g_clockScale.load(std::memory_order_relaxed);
}

qint64 realDelayMs(qint64 clockMs)
{
    return clockMs / g_clockScale.load(std::memory_order_relaxed);
}

void setSignInClockScale(int factor)
{
    g_clockScale = std::max(1, factor);
}

bool SignInGuard::refusedForId(const QString &id, const QString &address, qint64 nowMs)
{
    return !id.isEmpty() && m_byId.failures(id, nowMs) >= m_byId.limits().maxFailures &&
           m_byAddress.failures(address, nowMs) > 0;
}

SignInGuard::Standing SignInGuard::standing(const QString &id, const QString &address)
{
    const qint64 now = signInClockMs();
    if (m_byAddress.isLocked(address, now) || refusedForId(id, address, now))
        return Standing::Refused;
    return m_byAddress.failures(address, now) > 0 ? Standing::Failing : Standing::Good;
}

Lane SignInGuard::lane(const QString &id, const QString &address)
{
    switch (standing(id, address)) {
    case Standing::Good:
        return Lane::Slow;
    case Standing::Failing:
        return Lane::SlowUntrusted;
    case Standing::Refused:
        break;
    }
    return Lane::Quick;
}

SignInGuard::Verdict SignInGuard::admit(const QString &id, const QString &address)
{
    const qint64 now = signInClockMs();
    const SignInThrottle::Verdict byAddress = m_byAddress.check(address, now);
    if (byAddress.locked)
        return {true, realDelayMs(byAddress.delayMs)};
    if (refusedForId(id, address, now))
        return {true, realDelayMs(kIdRefusalDelayMs)};
    return {};
}

void SignInGuard::failed(const QString &id, const QString &address)
{
    const qint64 now = signInClockMs();
    m_byAddress.failed(address, now);
    m_byId.failed(id, now);
}

void SignInGuard::succeeded(const QString &address)
{
    m_byAddress.succeeded(address);
}

} // namespace qav
