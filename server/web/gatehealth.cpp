#include "server/web/gatehealth.h"

#include <algorithm>
#include <cmath>

namespace qav {

namespace {

// A stamp as the audit writes it, yyyy-MM-dd HH:mm:ss in local time. Read by hand: the general
// parser took a tenth of a stadium's dashboard, once per gate; invalid when it is not one.
QDateTime stampTime(const QString &stamp)
{
    if (stamp.size() != 19)
        return {};
    const auto number = [&](int from, int length) {
        bool ok = false;
        const int n = QStringView(stamp).mid(from, length).toInt(&ok);
        return ok ? n : -1;
    };
    const QDate date(number(0, 4), number(5, 2), number(8, 2));
    const QTime time(number(11, 2), number(14, 2), number(17, 2));
    if (stamp[4] != u'-' || stamp[7] != u'-' || stamp[10] != u' ' || stamp[13] != u':' ||
        stamp[16] != u':' || !date.isValid() || !time.isValid())
        return {};
    return QDateTime(date, time);
}

} // namespace

std::optional<qint64> percentile95(QList<qint64> values)
{
    if (values.isEmpty())
        return std::nullopt;
    const auto rank = qsizetype(std::ceil(0.95 * double(values.size()))) - 1;
    std::nth_element(values.begin(), values.begin() + rank, values.end());
    return values[rank];
}

QList<GateHealth> assessGates(const QList<GateRecent> &gates, const QDateTime &now,
                              const GateHealthLimits &limits)
{
    QList<GateHealth> list;
    for (const GateRecent &g : gates) {
        GateHealth h;
        h.operatorId = g.operatorId;
        h.p95Us = percentile95(g.durationsUs);
        const QDateTime last = stampTime(g.lastScanAt);
        h.silentSecs = last.isValid() ? std::max<qint64>(0, last.secsTo(now)) : 0;
        h.silent = h.silentSecs > limits.silentSecs && h.silentSecs <= limits.watchSecs;
        h.slow = h.p95Us && *h.p95Us > limits.slowMs * 1000;
        h.refusing = g.scans > 0 && g.refused * 100 > g.scans * limits.refusalPercent;
        list << h;
    }
    return list;
}

} // namespace qav
