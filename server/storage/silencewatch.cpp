#include "server/storage/silencewatch.h"

#include "server/base/steadyclock.h"

#include <sys/socket.h>
#include <sys/stat.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace qav {

namespace {

class Watch
{
public:
    // Never destroyed: waits may still be armed on other threads while the process ends.
    static Watch &instance()
    {
        static Watch *watch = new Watch;
        return *watch;
    }

    quint64 arm(int socket, qint64 deadlineMs)
    {
        Entry e;
        e.socket = socket;
        struct stat st = {};
        if (::fstat(socket, &st) == 0) {
            e.device = st.st_dev;
            e.inode = st.st_ino;
        }
        e.deadlineNs = steadyNs() + deadlineMs * 1000000;
        std::lock_guard lock(m_mutex);
        const quint64 id = ++m_lastId;
        m_entries.emplace(id, e);
        if (!m_thread.joinable())
            m_thread = std::thread([this] { run(); });
        // The thread sleeps until its earliest deadline: woken only for an earlier one.
        if (m_wakeNs == 0 || e.deadlineNs < m_wakeNs) {
            m_wakeNs = e.deadlineNs;
            m_wake.notify_one();
        }
        return id;
    }
    void disarm(quint64 id)
    {
        std::lock_guard lock(m_mutex);
        m_entries.erase(id);
    }
    bool cut(quint64 id)
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_entries.find(id);
        return it != m_entries.end() && it->second.cut;
    }

private:
    struct Entry
    {
        int socket = -1;
        dev_t device = 0;
        ino_t inode = 0;
        qint64 deadlineNs = 0;
        bool cut = false;
    };

    void run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            qint64 next = 0;
            const qint64 now = steadyNs();
            for (auto &[id, e] : m_entries) {
                if (e.cut)
                    continue;
                if (e.deadlineNs <= now) {
                    // Under the lock, so the owner cannot disarm and close it meanwhile; a socket
                    // the client library closed itself and the number since reused is left alone.
                    struct stat st = {};
                    if (::fstat(e.socket, &st) == 0 && st.st_dev == e.device &&
                        st.st_ino == e.inode)
                        ::shutdown(e.socket, SHUT_RDWR);
                    e.cut = true;
                } else if (next == 0 || e.deadlineNs < next) {
                    next = e.deadlineNs;
                }
            }
            m_wakeNs = next;
            if (next == 0)
                m_wake.wait(lock);
            else
                m_wake.wait_for(lock, std::chrono::nanoseconds(next - now));
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::map<quint64, Entry> m_entries;
    quint64 m_lastId = 0;
    qint64 m_wakeNs = 0;  // when the thread wakes next; 0: when woken
    std::thread m_thread; // runs for the life of the process
};

} // namespace

SilenceWatch::Armed::Armed(int socket, qint64 deadlineMs)
    : m_id(Watch::instance().arm(socket, deadlineMs))
{}

SilenceWatch::Armed::~Armed()
{
    Watch::instance().disarm(m_id);
}

bool SilenceWatch::Armed::cut() const
{
    return Watch::instance().cut(m_id);
}

} // namespace qav
