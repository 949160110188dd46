#pragma once

#include <QtGlobal>

#include <atomic>
#include <mutex>
#include <optional>

namespace qav {

// While the database is away every gate's request is answered busy: a stadium's gates would write
// thousands of lines a minute that say the same. This tells the caller to write one when a stretch
// of busy answers begins and one when a request is served again.
class OutageLog
{
public:
    struct Stretch
    {
        qint64 busyAnswers = 0;
        qint64 lastedMs = 0;
    };

    // A request was answered busy; true for the first of a stretch.
    bool busy();
    // A request was served; the stretch it ends, if one was going on.
    std::optional<Stretch> served();

private:
    std::atomic<bool> m_out{false};
    std::mutex m_mutex;
    qint64 m_sinceNs = 0;
    qint64 m_busyAnswers = 0;
};

} // namespace qav
