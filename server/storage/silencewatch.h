#pragma once

#include <QtGlobal>

namespace qav {

// Bounds how long a thread waits for a database host that went silent. A host that froze or lost
// its power leaves the connection open (a frozen one's kernel even acknowledges what is sent), so
// a read on it would wait for ever and hold its worker. A wait is armed with its socket and a
// deadline; at the deadline a thread of the watch shuts the socket down, which ends the wait as a
// lost connection. The socket stays the caller's: the watch never closes it, and touches it only
// while it is armed and still the same socket.
class SilenceWatch
{
public:
    // One wait; disarmed when it goes.
    class Armed
    {
    public:
        Armed(int socket, qint64 deadlineMs);
        ~Armed();
        Armed(const Armed &) = delete;
        Armed &operator=(const Armed &) = delete;
        // Whether the deadline passed and the socket was shut down.
        bool cut() const;

    private:
        quint64 m_id;
    };
};

} // namespace qav
