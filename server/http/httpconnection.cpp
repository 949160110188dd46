#include "server/http/httpconnection.h"

#include "server/base/steadyclock.h"
#include "server/http/serverlog.h"

#include <QMutex>
#include <QSslSocket>
#include <QTcpSocket>
#include <QThread>

#include <sys/socket.h>

namespace qav {

namespace {

// Qt stops reading from the kernel once this much waits unread, so a paused connection costs
// no more than this (the kernel's own buffers then push back on the client).
constexpr qint64 kSocketReadBuffer = 16 * 1024;

// Bytes the socket still has to hand to the system, encrypted ones included.
qint64 unsent(QTcpSocket *socket)
{
    const auto *tls = qobject_cast<QSslSocket *>(socket);
    return socket->bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0);
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
    case 421:
        return "Misdirected Request";
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
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return status < 400 ? "OK" : "Error";
    }
}

} // namespace

QByteArray serializeAnswer(const HttpAnswer &answer, bool headOnly, bool close, bool keepAlive10)
{
    const bool noBody = answer.status == 204 || answer.status == 304 || answer.status < 200;
    QByteArray out;
    out.reserve(160 + (headOnly ? 0 : answer.body.size()));
    out += "HTTP/1.1 " + QByteArray::number(answer.status) + ' ' + reasonPhrase(answer.status) +
           "\r\n";
    if (!answer.mime.isEmpty())
        out += "Content-Type: " + answer.mime + "\r\n";
    if (!noBody)
        out += "Content-Length: " + QByteArray::number(answer.body.size()) + "\r\n";
    for (const auto &[name, value] : answer.headers)
        out += name + ": " + value + "\r\n";
    if (close)
        out += "Connection: close\r\n";
    else if (keepAlive10)
        out += "Connection: keep-alive\r\n";
    out += "\r\n";
    if (!headOnly && !noBody)
        out += answer.body;
    return out;
}

// Lets a reply find its connection from any thread, and find nothing once it is gone.
struct HttpConnection::Anchor
{
    QMutex mutex;
    HttpConnection *connection = nullptr;
};

HttpConnection::HttpConnection(QTcpSocket *socket, const HttpLimits &limits, HttpHandler handler,
                               QObject *parent, const QHostAddress &client)
    : QObject(parent), m_socket(socket), m_client(client.isNull() ? socket->peerAddress() : client),
      m_limits(limits), m_handler(std::move(handler)), m_anchor(std::make_shared<Anchor>()),
      m_parser(limits.maxBody, limits.maxHeaderBytes)
{
    m_anchor->connection = this;
    for (const auto &[prefix, maxBody] : limits.largerBodies)
        m_parser.allowLargerBody(prefix, maxBody);
    m_socket->setParent(this);
    m_socket->setReadBufferSize(kSocketReadBuffer);
    m_timer.setSingleShot(true);
    m_lastProgress.start();
    connect(&m_timer, &QTimer::timeout, this, &HttpConnection::onTimeout);
    connect(m_socket, &QTcpSocket::readyRead, this, &HttpConnection::pump);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &HttpConnection::onBytesWritten);
    if (auto *tls = qobject_cast<QSslSocket *>(m_socket))
        connect(tls, &QSslSocket::encryptedBytesWritten, this, &HttpConnection::onBytesWritten);
    connect(m_socket, &QTcpSocket::disconnected, this, &HttpConnection::closeNow);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &HttpConnection::closeNow);
    rearm();
    if (m_socket->bytesAvailable() > 0)
        pump();
}

HttpConnection::~HttpConnection()
{
    m_socket->disconnect(this);
    QMutexLocker lock(&m_anchor->mutex);
    m_anchor->connection = nullptr;
}

bool HttpConnection::paused() const
{
    return int(m_pending.size()) >= m_limits.maxPipelined ||
           unsent(m_socket) > m_limits.maxUnsentBytes;
}

void HttpConnection::pump()
{
    if (m_closed || m_pumping)
        return;
    m_pumping = true;
    for (;;) {
        if (m_state == State::Draining) {
            // Read and drop: the client may still be sending what it began before the refusal.
            if (m_socket->bytesAvailable() > 0) {
                m_socket->read(m_socket->bytesAvailable() + 1);
                m_lastProgress.start();
            }
            break;
        }
        if (m_closed || m_state == State::Closing || paused())
            break;
        if (parseStep())
            continue;
        const qint64 available = m_socket->bytesAvailable();
        if (available <= 0)
            break;
        // Asking for more than is buffered lets Qt read from the kernel again after a pause.
        m_parser.feed(m_socket->read(available + 1));
        if (!m_partial) {
            m_partial = true;
            m_requestStart.start();
        }
        m_lastProgress.start();
    }
    m_pumping = false;
    rearm();
}

// Hands on what the parser made of the bytes read; false when it needs more.
bool HttpConnection::parseStep()
{
    switch (m_parser.next()) {
    case HttpParser::Step::NeedMore:
        if (m_parser.idle())
            m_partial = false;
        return false;
    case HttpParser::Step::Continue:
        if (m_pending.empty())
            m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
        return true;
    case HttpParser::Step::Request:
        complete();
        return true;
    case HttpParser::Step::Refused:
        refuse(m_parser.refusal().status, m_parser.refusal().reason);
        return true;
    }
    return false;
}

void HttpConnection::complete()
{
    HttpRequest request = m_parser.takeRequest();
    Pending pending;
    pending.seq = m_nextSeq++;
    pending.headOnly = request.method == "HEAD";
    pending.keepAlive10 = m_parser.keepAlive10();
    pending.close = m_parser.closeAfter() || m_stopping;
    m_pending.push_back(pending);
    m_state = pending.close ? State::Closing : State::Reading;
    m_partial = m_parser.hasBuffered();
    if (m_partial)
        m_requestStart.start();
    request.peer = m_client;
    request.local = m_socket->localAddress();
    const auto *ssl = qobject_cast<QSslSocket *>(m_socket);
    request.secure = ssl && ssl->isEncrypted();
    request.receivedNs = steadyNs();

    HttpReply reply = [anchor = m_anchor, seq = pending.seq](HttpAnswer answer) {
        QMutexLocker lock(&anchor->mutex);
        HttpConnection *c = anchor->connection;
        if (!c)
            return;
        if (QThread::currentThread() == c->thread()) {
            lock.unlock(); // the connection can only go away on its own thread: not now
            c->deliver(seq, std::move(answer));
        } else {
            QMetaObject::invokeMethod(
                c,
                [c, seq, answer = std::move(answer)]() mutable {
                    c->deliver(seq, std::move(answer));
                },
                Qt::QueuedConnection);
        }
    };
    m_handler(std::move(request), std::move(reply));
}

void HttpConnection::refuse(int status, const QString &text)
{
    Pending pending;
    pending.seq = m_nextSeq++;
    pending.close = true;
    pending.answer = HttpAnswer::error(status, text);
    m_pending.push_back(std::move(pending));
    m_state = State::Draining;
    qCInfo(lcConnection).noquote() << "refused" << status << "from" << peerText(m_client) << text;
    flush();
}

void HttpConnection::deliver(quint64 seq, HttpAnswer answer)
{
    for (Pending &p : m_pending) {
        if (p.seq == seq) {
            if (!p.answer)
                p.answer = std::move(answer);
            break;
        }
    }
    flush();
    pump();
}

void HttpConnection::flush()
{
    if (m_closed)
        return;
    while (!m_pending.empty() && m_pending.front().answer) {
        Pending &p = m_pending.front();
        const bool close = p.close || (m_stopping && m_pending.size() == 1);
        if (close && m_state != State::Draining)
            m_state = State::Closing;
        if (!m_writeShut)
            m_socket->write(serializeAnswer(*p.answer, p.headOnly, close, p.keepAlive10));
        m_pending.pop_front();
        if (close) {
            m_pending.clear(); // nothing after a closing answer is sent
            break;
        }
    }
    if ((m_state == State::Closing || m_state == State::Draining) && m_pending.empty() &&
        unsent(m_socket) == 0)
        shutdownWrite();
    rearm();
}

void HttpConnection::onBytesWritten()
{
    m_lastProgress.start();
    if ((m_state == State::Closing || m_state == State::Draining) && m_pending.empty() &&
        unsent(m_socket) == 0)
        shutdownWrite();
    pump();
}

// Closes our sending side once every answer is out, but keeps reading (and dropping) what the
// client still sends, so it is not reset before it could read the last answer.
void HttpConnection::shutdownWrite()
{
    if (m_writeShut || m_closed)
        return;
    m_writeShut = true;
    m_state = State::Draining;
    m_drainStart.start();
    if (qobject_cast<QSslSocket *>(m_socket))
        m_socket->disconnectFromHost();
    else
        ::shutdown(int(m_socket->socketDescriptor()), SHUT_WR);
    pump();
}

void HttpConnection::finishAndClose()
{
    if (m_closed)
        return;
    m_stopping = true;
    if (m_state == State::Draining || m_state == State::Closing)
        return;
    if (m_pending.empty()) {
        // Nothing owed: an idle connection, or one whose next request is not complete.
        closeNow();
        return;
    }
    m_state = State::Closing;
    m_pending.back().close = true;
    flush();
}

// Milliseconds until the connection has been still for too long; -1 while it waits for the
// handler, which has its own bounds.
qint64 HttpConnection::msLeft() const
{
    if (m_writeShut)
        return qMax<qint64>(0, m_limits.drainMs - m_drainStart.elapsed());
    if (unsent(m_socket) == 0 && !m_pending.empty() && !m_pending.front().answer)
        return -1;
    // A request must arrive within the timeout from its first byte, however slowly it drips.
    const QElapsedTimer &since =
        m_partial && m_pending.empty() && unsent(m_socket) == 0 ? m_requestStart : m_lastProgress;
    return qMax<qint64>(0, m_limits.idleTimeoutMs - since.elapsed());
}

void HttpConnection::rearm()
{
    if (m_closed)
        return;
    const qint64 left = msLeft();
    if (left < 0)
        m_timer.stop();
    else
        m_timer.start(int(left));
}

void HttpConnection::onTimeout()
{
    if (m_closed)
        return;
    if (msLeft() != 0) {
        rearm();
        return;
    }
    if (unsent(m_socket) > 0 && !m_writeShut)
        qCInfo(lcConnection).noquote()
            << "dropped" << peerText(m_client) << "which does not read its answers";
    else if (m_partial && !m_writeShut)
        qCInfo(lcConnection).noquote()
            << "dropped" << peerText(m_client) << "whose request did not arrive in time";
    closeNow();
}

void HttpConnection::closeNow()
{
    if (m_closed)
        return;
    m_closed = true;
    m_timer.stop();
    m_pending.clear();
    m_socket->disconnect(this);
    m_socket->abort();
    Q_EMIT closed();
}

} // namespace qav
