#include "passwords.h"

#include <sodium.h>

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <semaphore>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

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

// A check waiting for the CPU.
struct CheckJob
{
    enum State { Queued, Running, Done, Abandoned };
    QByteArray hash;
    QByteArray password;
    std::atomic<int> state{Queued};
    bool ok = false; // written before state becomes Done
    std::binary_semaphore finished{0};
};

// A thread that checks passwords at the priority `lower` gives it, one at a time. It holds no lock
// anyone else waits for (jobs and answers pass through an atomic list and semaphores): nothing may
// wait for a thread that is not allowed to run.
class CheckerThread
{
public:
    explicit CheckerThread(void (*lower)())
        : m_thread([this, lower] {
              lower();
              run();
          })
    {}
    ~CheckerThread()
    {
        m_stopping = true;
        m_pending.release();
        m_thread.join();
        for (Node *n = m_incoming.exchange(nullptr); n;)
            delete std::exchange(n, n->next);
    }

    std::shared_ptr<CheckJob> submit(const QByteArray &storedHash, const QByteArray &password)
    {
        auto job = std::make_shared<CheckJob>();
        job->hash = storedHash;
        job->password = password;
        auto *node = new Node{job, m_incoming.load()};
        while (!m_incoming.compare_exchange_weak(node->next, node)) {
        }
        m_pending.release();
        return job;
    }

private:
    // Pushed by callers, taken all at once by the thread.
    struct Node
    {
        std::shared_ptr<CheckJob> job;
        Node *next;
    };

    void run()
    {
        std::deque<std::shared_ptr<CheckJob>> jobs;
        for (;;) {
            m_pending.acquire();
            if (m_stopping)
                return;
            std::vector<std::shared_ptr<CheckJob>> taken; // newest first
            for (Node *n = m_incoming.exchange(nullptr); n;) {
                taken.push_back(std::move(n->job));
                delete std::exchange(n, n->next);
            }
            jobs.insert(jobs.end(), taken.rbegin(), taken.rend());
            if (jobs.empty())
                continue; // taken with an earlier wake-up
            const std::shared_ptr<CheckJob> job = std::move(jobs.front());
            jobs.pop_front();
            int state = CheckJob::Queued;
            if (!job->state.compare_exchange_strong(state, CheckJob::Running))
                continue; // abandoned
            job->ok = checkNow(job->hash, job->password);
            state = CheckJob::Running;
            if (job->state.compare_exchange_strong(state, CheckJob::Done))
                job->finished.release();
        }
    }

    std::atomic<Node *> m_incoming{nullptr};
    std::counting_semaphore<> m_pending{0}; // one per job pushed
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
};

// Takes only CPU time nothing else wants, and is put aside the moment a scan needs the CPU.
void lowerToIdle()
{
    const sched_param param{};
    if (sched_setscheduler(gettid(), SCHED_IDLE, &param) != 0) // per thread on Linux
        qWarning("password checks keep their normal priority: cannot lower it (%s)",
                 std::strerror(errno));
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
    if (syscall(SYS_sched_setattr, 0, &attr, 0) != 0 &&
        setpriority(PRIO_PROCESS, id_t(gettid()), 15) != 0)
        qWarning("password checks keep their normal priority: cannot lower it (%s)",
                 std::strerror(errno));
}

// A check takes tens of milliseconds of CPU and tens of megabytes of memory. It runs first on idle
// CPU only; when the machine has had no idle moment for a second (two, once the check has started),
// it runs again on a thread of low but ordinary priority, so a sign-in under full load is slower
// but never stuck, and the scans still come first.
bool checkOnSpareCpu(const QByteArray &storedHash, const QByteArray &password)
{
    using namespace std::chrono_literals;
    static CheckerThread idle(lowerToIdle);
    static CheckerThread backup(lowerToNice);
    const std::shared_ptr<CheckJob> job = idle.submit(storedHash, password);
    if (job->finished.try_acquire_for(1s))
        return job->ok;
    int state = CheckJob::Queued;
    if (!job->state.compare_exchange_strong(state, CheckJob::Abandoned)) {
        // Started: given a little longer, so that two checks rarely hold their memory at once.
        if (job->finished.try_acquire_for(1s))
            return job->ok;
        state = CheckJob::Running;
        if (!job->state.compare_exchange_strong(state, CheckJob::Abandoned))
            return job->ok; // finished just now
    }
    const std::shared_ptr<CheckJob> again = backup.submit(storedHash, password);
    again->finished.acquire();
    return again->ok;
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

bool verifyPassword(const QByteArray &storedHash, const QString &password)
{
    ensureSodium();
    return checkOnSpareCpu(storedHash, password.toUtf8());
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
