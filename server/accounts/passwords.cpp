#include "passwords.h"

#include <sodium.h>

#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
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
                                    static_cast<unsigned long long>(password.size()))
        == 0;
}

// One thread at the scheduler's idle priority checks the passwords: a check takes tens of
// milliseconds of CPU and tens of megabytes of memory, and there it only takes CPU time nothing else
// wants and is put aside the moment a scan needs the CPU. Only the hash runs there: a database
// write must never wait for a thread that is not allowed to run. When the machine has had no idle
// moment for a while, the caller checks the password itself, so a sign-in under full load is
// slower but never stuck.
class IdleChecker
{
public:
    static IdleChecker &instance()
    {
        static IdleChecker checker;
        return checker;
    }

    bool check(const QByteArray &storedHash, const QByteArray &password)
    {
        auto job = std::make_shared<Job>();
        job->hash = storedHash;
        job->password = password;
        {
            std::lock_guard lock(m_mutex);
            m_jobs.push_back(job);
        }
        m_ready.notify_one();
        {
            std::unique_lock lock(m_mutex);
            if (m_done.wait_for(lock, kIdleWait, [&] { return job->state == Job::Done; }))
                return job->ok;
            job->state = Job::Abandoned; // left alone, or its result ignored
        }
        return checkNow(storedHash, password);
    }

private:
    static constexpr std::chrono::milliseconds kIdleWait{1000};

    struct Job
    {
        enum State { Queued, Running, Done, Abandoned };
        QByteArray hash;
        QByteArray password;
        State state = Queued;
        bool ok = false;
    };

    IdleChecker()
        : m_thread([this] { run(); })
    {
    }
    ~IdleChecker()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_ready.notify_all();
        m_thread.join();
    }

    void run()
    {
        const sched_param param{};
        sched_setscheduler(gettid(), SCHED_IDLE, &param); // per thread on Linux; best effort
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_ready.wait(lock, [&] { return m_stopping || !m_jobs.empty(); });
            if (m_stopping)
                return;
            const std::shared_ptr<Job> job = std::move(m_jobs.front());
            m_jobs.pop_front();
            if (job->state == Job::Abandoned)
                continue;
            job->state = Job::Running;
            lock.unlock();
            const bool ok = checkNow(job->hash, job->password);
            lock.lock();
            if (job->state == Job::Running) {
                job->ok = ok;
                job->state = Job::Done;
                m_done.notify_all();
            }
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::condition_variable m_done;
    std::deque<std::shared_ptr<Job>> m_jobs;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace

QByteArray hashPassword(const QString &password)
{
    ensureSodium();
    const QByteArray pw = password.toUtf8();
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, pw.constData(), static_cast<unsigned long long>(pw.size()),
                          crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE)
        != 0)
        throw std::runtime_error("password hashing ran out of memory");
    return QByteArray(out);
}

bool verifyPassword(const QByteArray &storedHash, const QString &password)
{
    ensureSodium();
    return IdleChecker::instance().check(storedHash, password.toUtf8());
}

const QByteArray &dummyPasswordHash()
{
    static const QByteArray hash = [] {
        ensureSodium();
        unsigned char secret[32];
        randombytes_buf(secret, sizeof secret);
        return hashPassword(QString::fromLatin1(QByteArray(reinterpret_cast<char *>(secret),
                                                           sizeof secret)
                                                    .toHex()));
    }();
    return hash;
}

} // namespace qav
