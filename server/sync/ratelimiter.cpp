#include "server/sync/ratelimiter.h"

#include <algorithm>
#include <cmath>

namespace qav {

RateLimiter::RateLimiter(double perSecond)
    : m_perSecond(perSecond), m_capacity(std::max(1.0, 2 * perSecond))
{}

int RateLimiter::take(const QString &name, qint64 nowNs)
{
    std::lock_guard lock(m_mutex);
    auto it = m_buckets.find(name);
    if (it == m_buckets.end())
        it = m_buckets.insert(name, Bucket{m_capacity, nowNs});
    const double elapsed = double(std::max<qint64>(0, nowNs - it->atNs)) / 1e9;
    it->tokens = std::min(m_capacity, it->tokens + elapsed * m_perSecond);
    it->atNs = nowNs;
    if (it->tokens >= 1) {
        it->tokens -= 1;
        return 0;
    }
    return std::max(1, int(std::ceil((1 - it->tokens) / m_perSecond)));
}

} // namespace qav
