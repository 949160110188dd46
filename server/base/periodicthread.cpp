#include "server/base/periodicthread.h"

namespace qav {

PeriodicThread::PeriodicThread(std::chrono::milliseconds every, First first, Round round,
                               std::function<void()> atThreadStart)
    : m_every(every), m_first(first), m_round(std::move(round)),
      m_atThreadStart(std::move(atThreadStart)), m_thread([this] { run(); })
{}

PeriodicThread::~PeriodicThread()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

bool PeriodicThread::stopping()
{
    std::lock_guard lock(m_mutex);
    return m_stopping;
}

void PeriodicThread::run()
{
    if (m_atThreadStart)
        m_atThreadStart();
    std::unique_lock lock(m_mutex);
    bool wait = m_first == First::AfterInterval;
    for (bool last = false; !last; wait = true) {
        if (wait)
            m_wake.wait_for(lock, m_every, [this] { return m_stopping; });
        // The stop may come while a round is under way, which read what it works on before the
        // last requests committed: the last round always starts after it.
        last = m_stopping;
        lock.unlock();
        m_round(last);
        lock.lock();
    }
}

} // namespace qav
