#pragma once

#include "server/storage/records.h"

#include <QDateTime>

#include <optional>

namespace qav {

// When the dashboard flags a gate; `serve` may change the last three.
struct GateHealthLimits
{
    qint64 windowSecs = 5 * 60; // p95 and refusal share over this window
    qint64 watchSecs = 30 * 60; // a gate that scanned within this long is watched for silence
    qint64 silentSecs = 5 * 60;
    qint64 slowMs = 500;     // p95 of the server's verification time above this
    int refusalPercent = 30; // share of refused scans in the window above this
};

// How one gate operator is doing, and why it is flagged, if it is.
struct GateHealth
{
    QString operatorId;
    std::optional<qint64> p95Us; // none without scans in the window; within 10 %
    qint64 silentSecs = 0;       // since the last scan
    bool silent = false;
    bool slow = false;
    bool refusing = false;
};

// Judges what recentGates read, at now. Plain arithmetic, no I/O.
QList<GateHealth> assessGates(const QList<GateRecent> &gates, const QDateTime &now,
                              const GateHealthLimits &limits);

} // namespace qav
