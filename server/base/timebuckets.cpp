#include "server/base/timebuckets.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace qav {

namespace {

constexpr double kFirstEndUs = 100.0;
constexpr double kRatio = 1.2;

const std::array<qint64, kTimeBuckets - 1> &bucketEnds()
{
    static const std::array<qint64, kTimeBuckets - 1> ends = [] {
        std::array<qint64, kTimeBuckets - 1> e{};
        for (int k = 0; k < kTimeBuckets - 1; ++k) {
            // The tolerance keeps a power that lands on a whole number (120, 144) from being
            // pushed past it by rounding.
            e[size_t(k)] = qint64(std::ceil(kFirstEndUs * std::pow(kRatio, k) - 1e-6));
        }
        return e;
    }();
    return ends;
}

} // namespace

int timeBucket(qint64 us)
{
    const auto &ends = bucketEnds();
    return int(std::upper_bound(ends.begin(), ends.end(), us) - ends.begin());
}

qint64 timeBucketEnd(int k)
{
    return bucketEnds()[size_t(k)];
}

qint64 timeBucketMiddle(int k)
{
    return std::llround(kFirstEndUs * std::pow(kRatio, k - 0.5));
}

std::optional<qint64> bucketsPercentile95(const QList<qint64> &counts)
{
    qint64 total = 0;
    for (qint64 c : counts)
        total += c;
    if (total <= 0)
        return std::nullopt;
    const auto rank = qint64(std::ceil(0.95 * double(total)));
    qint64 seen = 0;
    for (int k = 0; k < counts.size(); ++k) {
        seen += counts[k];
        if (seen >= rank)
            return timeBucketMiddle(k);
    }
    return timeBucketMiddle(int(counts.size()) - 1);
}

} // namespace qav
