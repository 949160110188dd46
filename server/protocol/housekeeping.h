#pragma once

#include "storage.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace qav {

// The serving process's chores on a thread of its own with its own connection: writes the refusal
// tally (refusalTally()) every two seconds, and once at start and then hourly removes sign-in
// attempts and refusals older than keepDays (Storage::pruneUnauthenticated), and every ten seconds
// folds the counters (Storage::foldCounters). A failure is logged
// and the chore tried again next time; counts that could not be written are kept for it. The
// destructor writes the last counts.
class Housekeeping
{
public:
    using Opener = std::function<std::unique_ptr<Storage>()>;
    Housekeeping(Opener opener, int keepDays);
    ~Housekeeping();

private:
    void run();
    void flush(std::unique_ptr<Storage> &storage, QList<RefusalCount> &unwritten);

    Opener m_opener;
    int m_keepDays;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace qav
