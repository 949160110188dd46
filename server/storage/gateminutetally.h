#pragma once

#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>

namespace qav {

// What one gate operator did in one minute, as gate_minutes keeps it: its scans and check-ins by
// hand (ran), its own scans, their refusals and the last of them, and their verification times
// per bucket and per group of buckets (server/base/timebuckets.h).
struct GateMinuteCount
{
    QString bizcode, minute, operatorId;
    qint64 ran = 0, scans = 0, refused = 0;
    QString lastScanAt; // of its own scans; empty for none
    QList<qint64> buckets, groups;
};

// Gathers, in memory, the gate minutes of the scans this process wrote, so that a scan writes no
// row for them; the housekeeping adds them to gate_minutes every two seconds (SqlStorage::
// addGateMinutes). The audit keeps every scan, so what a crash loses here `recount` counts again.
// Thread-safe. Beyond kMaxKeys keys (a database away for long) new keys wait for recount.
class GateMinuteTally
{
public:
    static constexpr int kMaxKeys = 50000;

    // One scan or check-in by hand of kind scan (own) or manual, whose time falls in bucket.
    void add(const QString &bizcode, const QString &stamp, const QString &operatorId, bool own,
             bool refused, int bucket);
    // What was gathered, handed over to be written; gathering starts afresh.
    QList<GateMinuteCount> take();
    // Forgets what was gathered for a performance whose counters are being removed or counted
    // afresh; all of them for an empty bizcode.
    void drop(const QString &bizcode);

private:
    QMutex m_mutex;
    QHash<QString, GateMinuteCount> m_counts;
};

// The one tally of this process.
GateMinuteTally &gateMinuteTally();

} // namespace qav
