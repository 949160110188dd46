#include "httpfront.h"

#include "bodylimit.h"
#include "commandparser.h"
#include "memberroutes.h"

#include <QDateTime>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QMap>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <utility>

namespace qav {

namespace {

qint64 steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QByteArray methodName(QHttpServerRequest::Method method)
{
    using M = QHttpServerRequest::Method;
    switch (method) {
    case M::Get:
        return "GET";
    case M::Put:
        return "PUT";
    case M::Delete:
        return "DELETE";
    case M::Post:
        return "POST";
    case M::Head:
        return "HEAD";
    case M::Options:
        return "OPTIONS";
    case M::Patch:
        return "PATCH";
    case M::Connect:
        return "CONNECT";
    case M::Trace:
        return "TRACE";
    default:
        return "UNKNOWN";
    }
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 413:
        return "Payload Too Large";
    case 415:
        return "Unsupported Media Type";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return status < 400 ? "OK" : "Error";
    }
}

QByteArray serialize(const HttpAnswer &a)
{
    QByteArray out;
    out.reserve(a.body.size() + 160);
    out += "HTTP/1.1 " + QByteArray::number(a.status) + ' ' + reasonPhrase(a.status) +
           "\r\nContent-Type: " + a.mime +
           "\r\nContent-Length: " + QByteArray::number(a.body.size()) + "\r\n";
    for (const auto &[name, value] : a.headers)
        out += name + ": " + value + "\r\n";
    out += "\r\n";
    out += a.body;
    return out;
}

} // namespace

// The answers of one connection: numbered as requests arrive, written strictly in that order.
class HttpFront::Connection : public QObject
{
public:
    Connection(QTcpSocket *socket, quint64 id, QHash<quint64, Connection *> &registry)
        : QObject(socket), socket(socket), id(id), m_registry(registry)
    {
        m_registry.insert(id, this);
    }
    ~Connection() override { m_registry.remove(id); }

    void put(quint64 sequence, QByteArray bytes)
    {
        m_ready.insert(sequence, std::move(bytes));
        while (!m_ready.isEmpty() && m_ready.firstKey() == nextOut) {
            socket->write(m_ready.take(nextOut));
            ++nextOut;
        }
    }

    QTcpSocket *const socket;
    const quint64 id;
    quint64 nextIn = 0;
    quint64 nextOut = 0;

private:
    QHash<quint64, Connection *> &m_registry;
    QMap<quint64, QByteArray> m_ready;
};

HttpFront::HttpFront(Opener opener, Options options, QObject *parent)
    : QAbstractHttpServer(parent)
    , m_options(std::move(options))
    , m_inlineContext(opener)
{
    if (m_options.workers > 0)
        m_executor = std::make_unique<WorkerPool>(opener, m_options.workers, m_options.signInWorkers, this);
    else
        m_executor = std::make_unique<InlineExecutor>(opener);
    addMemberRoutes(m_routes, {m_options.imagesDir, m_options.constantAnswer,
                               m_options.sessionIdleSecs});
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
    auto *tcp = new BodyLimitServer(kMaxCommandBytes, this);
    tcp->setHttpServer(this);
    if (m_options.tls)
        tcp->setTls(*m_options.tls);
    if (!tcp->listen(address, port)) {
        if (error)
            *error = tcp->errorString();
        delete tcp;
        return 0;
    }
    bind(tcp);
    return tcp->serverPort();
}

HttpFront::Connection *HttpFront::connectionOf(QTcpSocket *socket)
{
    const QVariant id = socket->property("qavConnection");
    if (id.isValid()) {
        if (Connection *c = m_connections.value(id.toULongLong()))
            return c;
    }
    const quint64 newId = m_nextConnectionId++;
    socket->setProperty("qavConnection", newId);
    return new Connection(socket, newId, m_connections);
}

bool HttpFront::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    HttpRequest r;
    r.receivedNs = steadyNs();
    r.method = methodName(request.method());
    const QUrl url = request.url();
    r.path = url.path(QUrl::FullyEncoded);
    r.query = QUrlQuery(url);
    r.headers = request.headers();
    r.body = request.body();
    r.peer = request.remoteAddress();
    r.secure = qobject_cast<QSslSocket *>(socket) != nullptr;

    Connection *connection = connectionOf(socket);
    const quint64 sequence = connection->nextIn++;
    const Route &route = m_routes.find(r.path);
    const Lane lane = route.lane ? route.lane(r) : Lane::Quick;
    const qint64 started = r.receivedNs;
    Executor::Done done = [this, id = connection->id, sequence, started](HttpAnswer answer) {
        log(answer, started);
        deliver(id, sequence, std::move(answer));
    };
    if (lane == Lane::Inline)
        done(runRoute(route, r, m_inlineContext));
    else
        m_executor->submit(route, lane, std::move(r), std::move(done));
    return true;
}

void HttpFront::deliver(quint64 connectionId, quint64 sequence, HttpAnswer answer)
{
    if (answer.delayMs > 0) {
        const qint64 delay = std::exchange(answer.delayMs, 0);
        QTimer::singleShot(delay, this,
                           [this, connectionId, sequence, answer = std::move(answer)]() mutable {
                               deliver(connectionId, sequence, std::move(answer));
                           });
        return;
    }
    // The client may have gone while its request ran; then there is nobody to answer.
    if (Connection *c = m_connections.value(connectionId))
        c->put(sequence, serialize(answer));
}

void HttpFront::log(const HttpAnswer &answer, qint64 startedNs) const
{
    if (m_options.quiet)
        return;
    const double ms = double(steadyNs() - startedNs) / 1e6;
    const QByteArray line = QStringLiteral("%1 %2 %3 %4ms\n")
                                .arg(QDateTime::currentDateTime().toString(Qt::ISODateWithMs),
                                     answer.logWhat, answer.logResult, QString::number(ms, 'f', 2))
                                .toUtf8();
    std::fputs(line.constData(), stderr);
}

void HttpFront::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    makeResponder(request, socket)
        .write(HttpAnswer::error(404, QStringLiteral("없는 경로입니다")).body, "application/json",
               QHttpServerResponder::StatusCode::NotFound);
}

} // namespace qav
