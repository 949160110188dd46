#include "server/http/httpfront.h"

#include "server/base/steadyclock.h"
#include "server/http/httplistener.h"
#include "server/http/metrics.h"
#include "server/http/serverlog.h"
#include "server/http/serviceroutes.h"

#include <QTimer>

#include <utility>

namespace qav {

namespace {

// How often requests are checked against their deadline: how late past it a 503 may come.
constexpr int kDeadlineTickMs = 50;

} // namespace

HttpFront::HttpFront(Opener opener, Options options, QObject *parent)
    : QObject(parent), m_options(std::move(options)), m_inlineContext(opener)
{
    if (m_options.workers > 0)
        m_executor = std::make_unique<WorkerPool>(m_options.constantAnswer ? Opener() : opener,
                                                  m_options.workers, m_options.signInWorkers, this);
    else
        m_executor = std::make_unique<InlineExecutor>(opener);
    addServiceRoutes(m_routes, !m_options.constantAnswer);
    m_deadlineTimer.setInterval(kDeadlineTickMs);
    connect(&m_deadlineTimer, &QTimer::timeout, this, &HttpFront::answerLate);
}

HttpFront::~HttpFront()
{
    // Workers finish (and post their last answers, never delivered) before anything they use goes.
    m_executor.reset();
}

void HttpFront::setExecutor(std::unique_ptr<Executor> executor)
{
    m_executor = std::move(executor);
}

quint16 HttpFront::listenOn(const QHostAddress &address, quint16 port, QString *error)
{
    auto *listener = new HttpListener(
        m_options.limits,
        [this](HttpRequest request, HttpReply reply) {
            handle(std::move(request), std::move(reply));
        },
        this);
    if (m_options.tls)
        listener->setTls(*m_options.tls);
    if (!listener->start(address, port)) {
        if (error)
            *error = listener->errorString();
        delete listener;
        return 0;
    }
    m_listener = listener;
    connect(listener, &HttpListener::drained, this, &HttpFront::stopped);
    return listener->serverPort();
}

void HttpFront::stop()
{
    if (m_listener)
        m_listener->stop();
    else
        QMetaObject::invokeMethod(this, &HttpFront::stopped, Qt::QueuedConnection);
}

void HttpFront::shutDown()
{
    m_executor.reset();
    m_inlineContext.dropStorage();
}

void HttpFront::handle(HttpRequest request, HttpReply reply)
{
    const Route &route = m_routes.find(request.path);
    const Lane lane = route.lane ? route.lane(request) : Lane::Quick;
    // Shared with the deadline check; whichever answers first clears it, the other finds it empty.
    auto finish = std::make_shared<Executor::Done>();
    *finish = [this, peer = request.peer, started = request.receivedNs,
               reply = std::move(reply)](HttpAnswer answer) {
        if (answer.status == 503)
            serverMetrics().countUnavailable();
        if (lcRequest().isInfoEnabled()) {
            const double ms = double(steadyNs() - started) / 1e6;
            qCInfo(lcRequest).noquote() << peerText(peer) << answer.logWhat << answer.logResult
                                        << QString::number(ms, 'f', 2) + QStringLiteral("ms");
        }
        if (answer.delayMs > 0) {
            // A throttled sign-in: held back here, so no worker waits for it.
            const qint64 delay = std::exchange(answer.delayMs, 0);
            QTimer::singleShot(delay, this, [reply, answer = std::move(answer)]() mutable {
                reply(std::move(answer));
            });
            return;
        }
        reply(std::move(answer));
    };
    Executor::Done done = [finish](HttpAnswer answer) {
        if (*finish)
            std::exchange(*finish, nullptr)(std::move(answer));
    };
    if (lane == Lane::Inline || !m_executor) {
        done(runRoute(route, request, m_inlineContext));
        return;
    }
    if (route.deadlineMs > 0 && lane == Lane::Quick) {
        const qint64 arrived = request.receivedNs > 0 ? request.receivedNs : steadyNs();
        m_deadlines.push_back(
            {arrived + route.deadlineMs * 1000000, finish, route.lateText, request.path});
        if (!m_deadlineTimer.isActive())
            m_deadlineTimer.start();
    }
    m_executor->submit(route, lane, std::move(request), std::move(done));
}

void HttpFront::answerLate()
{
    const qint64 now = steadyNs();
    while (!m_deadlines.empty() &&
           (!*m_deadlines.front().finish || m_deadlines.front().atNs <= now)) {
        Deadline late = std::move(m_deadlines.front());
        m_deadlines.pop_front();
        if (*late.finish) {
            HttpAnswer answer = HttpAnswer::error(503, late.text);
            answer.logWhat = late.what;
            answer.logResult = QStringLiteral("503 late");
            std::exchange(*late.finish, nullptr)(std::move(answer));
        }
    }
    if (m_deadlines.empty())
        m_deadlineTimer.stop();
}

} // namespace qav
