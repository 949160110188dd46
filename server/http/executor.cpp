#include "server/http/executor.h"

#include "server/http/serverlog.h"

namespace qav {

HttpAnswer runRoute(const Route &route, const HttpRequest &request, WorkerContext &context)
{
    try {
        if (!route.handler)
            return HttpAnswer::error(404, QStringLiteral("없는 경로입니다"));
        return route.handler(request, context);
    } catch (const StorageError &e) {
        context.dropStorage();
        qCWarning(lcRequest) << "request failed:" << e.what();
    } catch (const std::exception &e) {
        qCWarning(lcRequest) << "request failed:" << e.what();
    } catch (...) {
    }
    return HttpAnswer::error(500, QStringLiteral("서버 오류입니다. 잠시 후 다시 시도하세요"));
}

InlineExecutor::InlineExecutor(WorkerContext::Opener opener) : m_context(std::move(opener)) {}

void InlineExecutor::submit(const Route &route, Lane, HttpRequest request, Done done)
{
    done(runRoute(route, request, m_context));
}

} // namespace qav

namespace qav {

WorkerPool::WorkerPool(WorkerContext::Opener opener, int quickThreads, int slowThreads,
                       QObject *home)
    : m_opener(std::move(opener)), m_home(home)
{
    for (int i = 0; i < std::max(1, quickThreads); ++i)
        m_threads.emplace_back([this] { work(m_quick); });
    for (int i = 0; i < std::max(1, slowThreads); ++i)
        m_threads.emplace_back([this] { work(m_slow); });
    m_threads.emplace_back([this] { work(m_untrusted); });
}

WorkerPool::~WorkerPool()
{
    m_stopping = true;
    for (Queue *q : {&m_quick, &m_slow, &m_untrusted}) {
        std::lock_guard lock(q->mutex);
        q->ready.notify_all();
    }
    for (std::thread &t : m_threads)
        t.join();
}

void WorkerPool::submit(const Route &route, Lane lane, HttpRequest request, Done done)
{
    Queue &q = lane == Lane::Slow ? m_slow : lane == Lane::SlowUntrusted ? m_untrusted : m_quick;
    {
        std::lock_guard lock(q.mutex);
        q.jobs.push_back({route.handler, std::move(request), std::move(done)});
    }
    q.ready.notify_one();
}

void WorkerPool::work(Queue &queue)
{
    WorkerContext context(m_opener);
    // Connect before the first request, so no gate pays for opening a connection.
    try {
        if (m_opener)
            context.storage();
    } catch (const StorageError &) {
        context.dropStorage(); // tried again with the first request
    }
    for (;;) {
        Job job;
        {
            std::unique_lock lock(queue.mutex);
            queue.ready.wait(lock, [&] { return m_stopping || !queue.jobs.empty(); });
            if (m_stopping)
                return;
            job = std::move(queue.jobs.front());
            queue.jobs.pop_front();
        }
        Route route;
        route.handler = std::move(job.handler);
        HttpAnswer answer = runRoute(route, job.request, context);
        QMetaObject::invokeMethod(
            m_home,
            [done = std::move(job.done), answer = std::move(answer)]() mutable {
                done(std::move(answer));
            },
            Qt::QueuedConnection);
    }
}

} // namespace qav
