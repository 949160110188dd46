#pragma once

#include "server/base/periodicthread.h"
#include "server/storage/storage.h"

#include <chrono>
#include <functional>
#include <memory>

namespace qav {

// The serving process's chores on a thread of its own with its own connection: writes the refusal
// tally (refusalTally()) and the gates' minutes (gateMinuteTally()) every two seconds, and once at
// start and then hourly removes sign-in attempts and refusals older than keepDays
// (Storage::pruneUnauthenticated) and the API's answers kept for retries past their day
// (Storage::purgeSyncKeys), and every ten seconds folds the counters (Storage::foldCounters). A
// failure is logged and the chore tried again next time; counts that could not be written are kept
// for it. The destructor writes the last counts.
class Housekeeping
{
public:
    using Opener = std::function<std::unique_ptr<Storage>()>;
    Housekeeping(Opener opener, int keepDays);

private:
    void round(bool last);
    void flush();
    // Runs a chore on the thread's connection, opened if need be; a failure is logged ("could
    // not " + what) and drops the connection for the next round. True when it ran.
    bool attempt(const char *what, const std::function<void(Storage &)> &chore);
    // Writes counts with write(storage, counts); kept for the next round when that fails, the
    // oldest dropped past max (the database gone for long).
    template <typename T, typename Write>
    void writeOrKeep(QList<T> &counts, qsizetype max, const char *what, Write write);

    Opener m_opener;
    int m_keepDays;
    // The thread's own: its connection, the counts not written yet, when the next chores are due.
    std::unique_ptr<Storage> m_storage;
    QList<RefusalCount> m_unwritten;
    QList<GateMinuteCount> m_gateMinutes; // taken from the tally, not yet written
    std::chrono::steady_clock::time_point m_nextPrune;
    std::chrono::steady_clock::time_point m_nextFold;
    PeriodicThread m_thread; // last: stops before the rest goes
};

} // namespace qav
