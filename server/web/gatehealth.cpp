#include "server/web/gatehealth.h"

#include "server/base/timebuckets.h"

#include <algorithm>

namespace qav {

QList<GateHealth> assessGates(const QList<GateRecent> &gates, const QDateTime &now,
                              const GateHealthLimits &limits)
{
    QList<GateHealth> list;
    for (const GateRecent &g : gates) {
        GateHealth h;
        h.operatorId = g.operatorId;
        h.p95Us = bucketsPercentile95(g.timeCounts);
        const QDateTime last =
            QDateTime::fromString(g.lastScanAt, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        h.silentSecs = last.isValid() ? std::max<qint64>(0, last.secsTo(now)) : 0;
        h.silent = h.silentSecs > limits.silentSecs && h.silentSecs <= limits.watchSecs;
        h.slow = h.p95Us && *h.p95Us > limits.slowMs * 1000;
        h.refusing = g.scans > 0 && g.refused * 100 > g.scans * limits.refusalPercent;
        list << h;
    }
    return list;
}

} // namespace qav
