#include "server/http/metrics.h"

#include <QString>

#include <algorithm>

namespace qav {

namespace {

constexpr const char *kScanNames[] = {"entered",  "reentered",   "exited", "refused",
                                      "repeated", "not_allowed", "busy",   "failed"};
constexpr const char *kSignInNames[] = {"ok", "refused"};

void header(QByteArray &out, const char *name, const char *type, const char *help)
{
    out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
}

QByteArray number(double value)
{
    return QByteArray::number(value, 'g', 12);
}

} // namespace

void ServerMetrics::countScan(Scan kind, qint64 tookNs)
{
    m_scans[size_t(kind)].fetch_add(1, std::memory_order_relaxed);
    tookNs = std::max<qint64>(tookNs, 0);
    const double secs = double(tookNs) / 1e9;
    for (size_t i = 0; i < kBucketsSec.size(); ++i) {
        if (secs <= kBucketsSec[i]) {
            m_buckets[i].fetch_add(1, std::memory_order_relaxed);
            break;
        }
    }
    m_latencySumNs.fetch_add(std::uint64_t(tookNs), std::memory_order_relaxed);
}

void ServerMetrics::countSignIn(bool ok)
{
    m_signIns[size_t(ok ? SignIn::Ok : SignIn::Refused)].fetch_add(1, std::memory_order_relaxed);
}

QByteArray ServerMetrics::render() const
{
    QByteArray out;
    header(out, "qav_scans_total", "counter", "Ticket verifications answered, by result.");
    std::uint64_t scans = 0;
    for (size_t i = 0; i < m_scans.size(); ++i) {
        const std::uint64_t n = m_scans[i].load(std::memory_order_relaxed);
        scans += n;
        out += QByteArray("qav_scans_total{result=\"") + kScanNames[i] + "\"} " +
               QByteArray::number(n) + '\n';
    }
    header(out, "qav_scan_duration_seconds", "histogram",
           "Time from a verification's arrival to the server's answer.");
    std::uint64_t cumulative = 0;
    for (size_t i = 0; i < kBucketsSec.size(); ++i) {
        cumulative += m_buckets[i].load(std::memory_order_relaxed);
        out += "qav_scan_duration_seconds_bucket{le=\"" + number(kBucketsSec[i]) + "\"} " +
               QByteArray::number(cumulative) + '\n';
    }
    // Counted apart from the buckets, so a scrape between two bumps may see the total run ahead
    // of them by a few; +Inf takes the larger, which keeps the buckets cumulative.
    const std::uint64_t timed = std::max(cumulative, scans);
    out += "qav_scan_duration_seconds_bucket{le=\"+Inf\"} " + QByteArray::number(timed) + '\n';
    out += "qav_scan_duration_seconds_sum " +
           number(double(m_latencySumNs.load(std::memory_order_relaxed)) / 1e9) + '\n';
    out += "qav_scan_duration_seconds_count " + QByteArray::number(timed) + '\n';
    header(out, "qav_sign_ins_total", "counter", "Operator sign-ins at the stations, by result.");
    for (size_t i = 0; i < m_signIns.size(); ++i)
        out += QByteArray("qav_sign_ins_total{result=\"") + kSignInNames[i] + "\"} " +
               QByteArray::number(m_signIns[i].load(std::memory_order_relaxed)) + '\n';
    header(out, "qav_http_unavailable_total", "counter",
           "Requests answered 503 (database busy or silent, too many connections).");
    out += "qav_http_unavailable_total " +
           QByteArray::number(m_unavailable.load(std::memory_order_relaxed)) + '\n';
    header(out, "qav_http_open_connections", "gauge", "Client connections open now.");
    out += "qav_http_open_connections " +
           QByteArray::number(m_connections.load(std::memory_order_relaxed)) + '\n';
    return out;
}

ServerMetrics &serverMetrics()
{
    static ServerMetrics metrics;
    return metrics;
}

} // namespace qav
