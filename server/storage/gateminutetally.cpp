#include "server/storage/gateminutetally.h"

#include "server/base/timebuckets.h"

#include <algorithm>

namespace qav {

void GateMinuteTally::add(const QString &bizcode, const QString &stamp, const QString &operatorId,
                          bool own, bool refused, int bucket)
{
    const QString minute = stamp.left(16);
    const QString key = bizcode + u'\x1f' + minute + u'\x1f' + operatorId;
    QMutexLocker lock(&m_mutex);
    auto it = m_counts.find(key);
    if (it == m_counts.end()) {
        if (m_counts.size() >= kMaxKeys)
            return;
        it = m_counts.insert(key, {bizcode,
                                   minute,
                                   operatorId,
                                   0,
                                   0,
                                   0,
                                   {},
                                   QList<qint64>(kTimeBuckets, 0),
                                   QList<qint64>(kTimeGroups, 0)});
    }
    GateMinuteCount &c = *it;
    ++c.ran;
    if (!own)
        return;
    ++c.scans;
    c.refused += refused ? 1 : 0;
    c.lastScanAt = std::max(c.lastScanAt, stamp);
    ++c.buckets[bucket];
    ++c.groups[bucket / kTimeGroupSize];
}

QList<GateMinuteCount> GateMinuteTally::take()
{
    QMutexLocker lock(&m_mutex);
    QList<GateMinuteCount> list = m_counts.values();
    m_counts.clear();
    return list;
}

void GateMinuteTally::drop(const QString &bizcode)
{
    QMutexLocker lock(&m_mutex);
    if (bizcode.isEmpty())
        m_counts.clear();
    else
        m_counts.removeIf([&](const auto &it) { return it.value().bizcode == bizcode; });
}

GateMinuteTally &gateMinuteTally()
{
    static GateMinuteTally tally;
    return tally;
}

} // namespace qav
