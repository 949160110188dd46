#include "server/accounts/passwords.h"

#include <QFile>

#include <sodium.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

namespace qav {

namespace {

void ensureSodium()
{
    static const bool ready = sodium_init() >= 0;
    if (!ready)
        throw std::runtime_error("libsodium could not start");
}

bool checkNow(const QByteArray &storedHash, const QByteArray &password)
{
    ensureSodium();
    const QByteArray hash = storedHash; // NUL-terminated copy for the C API
    return crypto_pwhash_str_verify(hash.constData(), password.constData(),
                                    static_cast<unsigned long long>(password.size())) == 0;
}

using Clock = std::chrono::steady_clock;

bool readFully(int fd, void *buffer, size_t size)
{
    auto *at = static_cast<char *>(buffer);
    while (size > 0) {
        const ssize_t n = ::read(fd, at, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += n;
        size -= size_t(n);
    }
    return true;
}

struct RequestHead
{
    quint64 id;
    quint32 hashSize;
    quint32 passwordSize;
};

struct Answer
{
    quint64 id;
    quint8 ok;
};

// The child's whole life: requests in on fd 0, answers out on fd 1, until the server closes the
// pipe. Only system calls and the check itself run here, as after a fork of a threaded process
// must be.
[[noreturn]] void serveChecks(void (*lower)())
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE})
        signal(sig, SIG_DFL);
    lower();
    for (;;) {
        RequestHead head;
        if (!readFully(0, &head, sizeof head) || head.hashSize + head.passwordSize > PIPE_BUF)
            _exit(0);
        char body[PIPE_BUF + 1];
        if (!readFully(0, body, head.hashSize + head.passwordSize))
            _exit(0);
        char hash[PIPE_BUF + 1];
        std::memcpy(hash, body, head.hashSize);
        hash[head.hashSize] = '\0';
        const Answer answer{head.id, quint8(crypto_pwhash_str_verify(hash, body + head.hashSize,
                                                                     head.passwordSize) == 0)};
        if (::write(1, &answer, sizeof answer) != ssize_t(sizeof answer))
            _exit(0);
    }
}

// A child process that checks passwords one at a time at the priority `lower` gives it. A process,
// not a thread: a thread of ours starved of CPU in the middle of a check holds the process's
// memory-map lock (a check maps and touches tens of megabytes), and every other thread of the
// server that maps memory, a scan's included, waits until the starved one runs again.
class CheckerProcess
{
public:
    explicit CheckerProcess(void (*lower)()) : m_lower(lower) {}
    // At exit nobody reaps the child: it ends with its pipe, and init takes it.
    ~CheckerProcess() { stop(false); }

    // The answer, or nothing if it has not come by `deadline` (the child finishes that check and
    // its answer is dropped) or the child cannot take the check.
    std::optional<bool> check(const QByteArray &hash, const QByteArray &password,
                              Clock::time_point deadline)
    {
        const size_t size = sizeof(RequestHead) + size_t(hash.size()) + size_t(password.size());
        std::unique_lock lock(m_mutex, std::defer_lock);
        if (size > PIPE_BUF || !lock.try_lock_until(deadline))
            return std::nullopt;
        if (m_pid < 0 && !start())
            return std::nullopt;
        if (m_unanswered >= kMaxUnanswered)
            return std::nullopt; // starved with a queue already: no use adding to it
        const RequestHead head{++m_lastId, quint32(hash.size()), quint32(password.size())};
        const QByteArray request =
            QByteArray(reinterpret_cast<const char *>(&head), sizeof head) + hash + password;
        // Within PIPE_BUF a write to a pipe is all or nothing; the pipe does not block.
        if (::write(m_requests, request.constData(), size_t(request.size())) != request.size()) {
            if (errno != EAGAIN)
                stop();
            return std::nullopt;
        }
        ++m_unanswered;
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd answers{m_answers, POLLIN, 0};
            const int ready = left.count() > 0 ? ::poll(&answers, 1, int(left.count())) : 0;
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                return std::nullopt;
            Answer answer;
            if (!readFully(m_answers, &answer, sizeof answer)) {
                stop(); // died; a new one starts with the next check
                return std::nullopt;
            }
            --m_unanswered;
            if (answer.id == head.id)
                return answer.ok != 0;
        }
    }

private:
    static constexpr int kMaxUnanswered = 4;

    bool start()
    {
        int requests[2];
        int answers[2];
        if (::pipe2(requests, O_CLOEXEC) != 0)
            return false;
        if (::pipe2(answers, O_CLOEXEC) != 0) {
            ::close(requests[0]);
            ::close(requests[1]);
            return false;
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(requests[0], 0);
            ::dup2(answers[1], 1);
            // Nothing else of the server's stays open in the child, so that the pipes' ends
            // close when the server ends and the child with them.
            if (::close_range(3, ~0U, 0) != 0) {
                rlimit files{};
                ::getrlimit(RLIMIT_NOFILE, &files);
                for (rlim_t fd = 3; fd < std::min<rlim_t>(files.rlim_cur, 1 << 16); ++fd)
                    ::close(int(fd));
            }
            serveChecks(m_lower);
        }
        ::close(requests[0]);
        ::close(answers[1]);
        if (pid < 0) {
            qWarning("password checks run in the server: cannot start a checker (%s)",
                     std::strerror(errno));
            ::close(requests[1]);
            ::close(answers[0]);
            return false;
        }
        ::fcntl(requests[1], F_SETFL, O_NONBLOCK);
        m_pid = pid;
        m_requests = requests[1];
        m_answers = answers[0];
        m_unanswered = 0;
        return true;
    }

    void stop(bool reap = true)
    {
        if (m_pid < 0)
            return;
        ::close(m_requests);
        ::close(m_answers);
        ::kill(m_pid, SIGKILL);
        // A starved child may take a while to die; no caller waits for it.
        if (reap)
            std::thread([pid = m_pid] { ::waitpid(pid, nullptr, 0); }).detach();
        m_pid = -1;
    }

    void (*const m_lower)();
    std::timed_mutex m_mutex; // held only by callers, never waiting on the child past a deadline
    pid_t m_pid = -1;
    int m_requests = -1;
    int m_answers = -1;
    quint64 m_lastId = 0;
    int m_unanswered = 0;
};

// Said by a child, where Qt's logging may hold a lock some thread of the server had at the fork.
void warnNotLowered()
{
    static const char text[] =
        "qav-server: password checks keep their normal priority: cannot lower it\n";
    [[maybe_unused]] const ssize_t n = ::write(2, text, sizeof text - 1);
}

// Takes only CPU time nothing else wants, and is put aside the moment a scan needs the CPU.
void lowerToIdle()
{
    const sched_param param{};
    if (sched_setscheduler(0, SCHED_IDLE, &param) != 0)
        warnNotLowered();
}

// Low, but never starved; where the kernel knows custom time slices, the shortest, so a thread
// woken for a scan soon takes the CPU back.
void lowerToNice()
{
    struct
    {
        quint32 size;
        quint32 policy;
        quint64 flags;
        qint32 nice;
        quint32 priority;
        quint64 runtime; // the time slice asked for, in nanoseconds
        quint64 deadline;
        quint64 period;
    } attr{sizeof attr, SCHED_OTHER, 0, 15, 0, 100000, 0, 0};
    if (syscall(SYS_sched_setattr, 0, &attr, 0) != 0 && setpriority(PRIO_PROCESS, 0, 15) != 0)
        warnNotLowered();
}

// A check takes tens of milliseconds of CPU and tens of megabytes of memory. It runs first on idle
// CPU only; when the machine has had no idle moment for a second (two, once the check has
// started), it runs again at low but ordinary priority. Where even that is starved (a machine or
// container whose CPU share is used up), the sign-in's own thread does the check after a few more
// seconds, so a sign-in under full load is slower but always ends in time for the station that
// waits for it.
bool checkOnSpareCpu(const QByteArray &storedHash, const QByteArray &password)
{
    using namespace std::chrono_literals;
    static CheckerProcess idle(lowerToIdle);
    static CheckerProcess backup(lowerToNice);
    const Clock::time_point start = Clock::now();
    if (const std::optional<bool> ok = idle.check(storedHash, password, start + 1500ms))
        return *ok;
    if (const std::optional<bool> ok = backup.check(storedHash, password, Clock::now() + 3s))
        return *ok;
    return checkNow(storedHash, password);
}

} // namespace

QByteArray hashPassword(const QString &password)
{
    ensureSodium();
    const QByteArray pw = password.toUtf8();
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, pw.constData(), static_cast<unsigned long long>(pw.size()),
                          crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        throw std::runtime_error("password hashing ran out of memory");
    return QByteArray(out);
}

namespace {

QString &holdDir()
{
    static QString dir;
    return dir;
}

} // namespace

void holdPasswordChecksIn(const QString &dir)
{
    holdDir() = dir;
}

bool verifyPassword(const QByteArray &storedHash, const QString &password)
{
    ensureSodium();
    const bool ok = checkOnSpareCpu(storedHash, password.toUtf8());
    if (!holdDir().isEmpty()) {
        QFile held(holdDir() + u"/held"_qs);
        if (!held.open(QIODevice::WriteOnly))
            return ok; // a test that cannot see the hold would wait in vain
        const QString go = holdDir() + u"/go"_qs;
        for (int waited = 0; waited < 60000 && !QFile::exists(go); waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return ok;
}

QString newPassword()
{
    ensureSodium();
    static const char alphabet[] = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    constexpr int kLength = 12;
    QString password;
    for (int i = 0; i < kLength; ++i)
        password += QLatin1Char(alphabet[randombytes_uniform(sizeof alphabet - 1)]);
    return password;
}

const QByteArray &dummyPasswordHash()
{
    static const QByteArray hash = [] {
        ensureSodium();
        unsigned char secret[32];
        randombytes_buf(secret, sizeof secret);
        return hashPassword(QString::fromLatin1(
            QByteArray(reinterpret_cast<char *>(secret), sizeof secret).toHex()));
    }();
    return hash;
}

} // namespace qav
