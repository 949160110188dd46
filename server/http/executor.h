#pragma once

#include "server/http/exchange.h"

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace qav {

// Runs a route's handler and answers 500 when it throws; a database failure also makes the
// context drop its connection, so the next request on that worker opens a new one.
HttpAnswer runRoute(const Route &route, const HttpRequest &request, WorkerContext &context);

// Where the HTTP front hands its requests. submit() returns at once or after running the
// handler; done is called exactly once, on the thread that called submit (that thread runs a Qt
// event loop), possibly before submit returns.
class Executor
{
public:
    using Done = std::function<void(HttpAnswer)>;
    virtual ~Executor() = default;
    virtual void submit(const Route &route, Lane lane, HttpRequest request, Done done) = 0;
};

// Runs every handler at once on the calling thread, with one context.
class InlineExecutor final : public Executor
{
public:
    explicit InlineExecutor(WorkerContext::Opener opener);
    void submit(const Route &route, Lane lane, HttpRequest request, Done done) override;

private:
    WorkerContext m_context;
};

} // namespace qav

namespace qav {

// Worker threads, each with its own context (so its own database connection): a Quick lane for
// the many short requests and a smaller Slow lane for sign-ins, which wait for a password check
// (run at idle priority, see verifyPassword), so a burst of sign-ins never holds up a scan; one
// more thread serves SlowUntrusted, so failing clients wait behind each other only.
// Answers are posted back to the thread of `home`. Stopping drops requests still queued; those
// running finish first.
class WorkerPool final : public Executor
{
public:
    WorkerPool(WorkerContext::Opener opener, int quickThreads, int slowThreads, QObject *home);
    ~WorkerPool() override;
    void submit(const Route &route, Lane lane, HttpRequest request, Done done) override;

private:
    struct Job
    {
        Handler handler;
        HttpRequest request;
        Done done;
    };
    struct Queue
    {
        std::mutex mutex;
        std::condition_variable ready;
        std::deque<Job> jobs;
    };
    void work(Queue &queue);

    WorkerContext::Opener m_opener;
    QObject *m_home;
    Queue m_quick;
    Queue m_slow;
    Queue m_untrusted;
    std::atomic<bool> m_stopping{false};
    std::vector<std::thread> m_threads;
};

} // namespace qav
