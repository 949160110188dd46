#pragma once

#include <QtGlobal>

#include <chrono>

namespace qav {

// Steady-clock time for durations and deadlines (request arrival, time-outs, the audit's
// duration): never moves back when the wall clock is set.
inline qint64 steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline qint64 steadyMs()
{
    return steadyNs() / 1000000;
}

} // namespace qav
