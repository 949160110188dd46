#pragma once

#include <QHash>
#include <QMutex>
#include <QString>

namespace qav {

// Scans one signed-in session may have written per second, sustained, unless serve is told
// otherwise; a gate scanning by hand makes one or two.
inline constexpr int kDefaultSessionScanRate = 50;
// A session may run ahead of the rate by this many seconds' worth at once.
inline constexpr int kSessionScanBurstSecs = 10;

// The ceiling on how fast one session's scans are written (a token bucket per session), so that
// a signed-in gate cannot grow the database faster than that. Shared by all workers; admit() is
// safe from any thread. A rate of 0 admits everything.
class SessionRate
{
public:
    explicit SessionRate(int perSecond = kDefaultSessionScanRate) : m_perSecond(perSecond) {}

    void setPerSecond(int perSecond);
    int perSecond() const { return m_perSecond; }
    // Takes one scan of the session (by its key hash) at steady time nowMs; false: over the
    // ceiling, nothing taken.
    bool admit(const QString &session, qint64 nowMs);

private:
    struct Bucket
    {
        double tokens = 0;
        qint64 atMs = 0;
    };

    QMutex m_lock;
    int m_perSecond;
    QHash<QString, Bucket> m_buckets;
    qint64 m_prunedAtMs = 0;
};

} // namespace qav
