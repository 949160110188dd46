#include "server/protocol/sessionrate.h"

#include <QMutexLocker>

#include <algorithm>

namespace qav {

void SessionRate::setPerSecond(int perSecond)
{
    QMutexLocker lock(&m_lock);
    m_perSecond = std::max(0, perSecond);
    m_buckets.clear();
}

bool SessionRate::admit(const QString &session, qint64 nowMs)
{
    QMutexLocker lock(&m_lock);
    if (m_perSecond <= 0)
        return true;
    const double full = double(m_perSecond) * kSessionScanBurstSecs;
    // A bucket that has been full for a while says nothing: dropped, so ended sessions do not
    // pile up.
    if (nowMs - m_prunedAtMs > kSessionScanBurstSecs * 1000) {
        m_prunedAtMs = nowMs;
        m_buckets.removeIf([&](const auto &b) {
            return nowMs - b.value().atMs > 2 * kSessionScanBurstSecs * 1000;
        });
    }
    auto it = m_buckets.find(session);
    if (it == m_buckets.end())
        it = m_buckets.insert(session, Bucket{full, nowMs});
    Bucket &b = *it;
    b.tokens = std::min(full, b.tokens + double(nowMs - b.atMs) * m_perSecond / 1000.0);
    b.atMs = nowMs;
    if (b.tokens < 1)
        return false;
    b.tokens -= 1;
    return true;
}

} // namespace qav
