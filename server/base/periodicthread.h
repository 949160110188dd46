#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace qav {

// A thread of its own that runs a round every interval until it is destroyed, and one last round
// after the stop (round(true)), so what a round writes is not lost when the server stops. The
// destructor waits for the round under way; a round must not throw. An owner that holds one
// declares it last, so it stops before the members its rounds use are gone.
class PeriodicThread
{
public:
    using Round = std::function<void(bool last)>;
    enum class First { AfterInterval, AtStart };

    PeriodicThread(std::chrono::milliseconds every, First first, Round round,
                   std::function<void()> atThreadStart = {});
    ~PeriodicThread();
    PeriodicThread(const PeriodicThread &) = delete;
    PeriodicThread &operator=(const PeriodicThread &) = delete;

    // Whether the stop has come; a long round checks it to cut itself short.
    bool stopping();

private:
    void run();

    std::chrono::milliseconds m_every;
    First m_first;
    Round m_round;
    std::function<void()> m_atThreadStart;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace qav
