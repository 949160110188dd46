#pragma once

#include <QHash>
#include <QString>

#include <mutex>

namespace qav {

// Requests per second allowed to each name (a token), as a bucket per name that holds up to
// twice the rate and fills at the rate. Shared by the worker threads of one process; a second
// process on the same database counts on its own.
class RateLimiter
{
public:
    explicit RateLimiter(double perSecond);

    // Takes one request's worth for name at steady time nowNs: 0 when it may go on, else the
    // seconds (at least 1) after which it may be tried again.
    int take(const QString &name, qint64 nowNs);

private:
    struct Bucket
    {
        double tokens = 0;
        qint64 atNs = 0;
    };
    double m_perSecond;
    double m_capacity;
    std::mutex m_mutex;
    QHash<QString, Bucket> m_buckets;
};

} // namespace qav
