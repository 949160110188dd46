#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <atomic>
#include <cstdint>

namespace qav {

// What the server counts for a monitoring system (GET /metrics): verifications by result and how
// long they took, operator sign-ins, 503 answers, open connections. One instance per process;
// every count is a relaxed atomic, safe to bump from any thread and cheap on the scan's path.
class ServerMetrics
{
public:
    enum class Scan {
        Entered,
        ReEntered,
        Exited,
        Refused,
        Repeated,
        NotAllowed,
        Busy,
        Failed,
        Count
    };
    enum class SignIn { Ok, Refused, Count };

    // A verification's answer, the gate routes having said what it came to.
    void countScan(Scan kind, qint64 tookNs);
    void countSignIn(bool ok);
    void countUnavailable() { m_unavailable.fetch_add(1, std::memory_order_relaxed); }
    void connectionOpened() { m_connections.fetch_add(1, std::memory_order_relaxed); }
    void connectionClosed() { m_connections.fetch_sub(1, std::memory_order_relaxed); }

    // Prometheus text exposition format (version 0.0.4).
    QByteArray render() const;

private:
    static constexpr std::array<double, 11> kBucketsSec{0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                        0.5,   1.0,  1.5,   2.5,  5.0};
    std::array<std::atomic<std::uint64_t>, size_t(Scan::Count)> m_scans{};
    std::array<std::atomic<std::uint64_t>, kBucketsSec.size()> m_buckets{}; // not cumulative
    std::atomic<std::uint64_t> m_latencySumNs{0};
    std::array<std::atomic<std::uint64_t>, size_t(SignIn::Count)> m_signIns{};
    std::atomic<std::uint64_t> m_unavailable{0};
    std::atomic<std::int64_t> m_connections{0};
};

ServerMetrics &serverMetrics();

} // namespace qav
