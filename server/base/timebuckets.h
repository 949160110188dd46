#pragma once

#include <QList>

#include <optional>

namespace qav {

// Verification times kept as counts in fixed geometric buckets, so that a percentile is read from
// a few counters instead of every time. Bucket k holds the times below 100 µs × 1.2^k that the
// bucket before does not; the first also holds every shorter time, the last every longer one. A
// bucket stands for its geometric middle, which is within 10 % of any time in it (between about
// 0.1 ms and 12 s; outside, it says only "shorter" or "longer").
constexpr int kTimeBuckets = 66;
// The buckets counted again in groups of six neighbours, so that a percentile is found in a few
// group counts first and then in the six buckets of its group alone.
constexpr int kTimeGroupSize = 6;
constexpr int kTimeGroups = kTimeBuckets / kTimeGroupSize;
static_assert(kTimeGroups * kTimeGroupSize == kTimeBuckets);

// The bucket of a time in microseconds.
int timeBucket(qint64 us);
// The first whole microsecond past bucket k (k < kTimeBuckets - 1): bucket k holds the times
// from timeBucketEnd(k - 1) up to this, exclusive.
qint64 timeBucketEnd(int k);
// What bucket k stands for, in microseconds.
qint64 timeBucketMiddle(int k);
// The 95th percentile by nearest rank of the times counted per bucket (counts[k] for bucket k),
// as its bucket's middle; none for no times.
std::optional<qint64> bucketsPercentile95(const QList<qint64> &counts);

} // namespace qav
