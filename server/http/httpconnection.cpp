#include "httpconnection.h"

#include "serverlog.h"
#include "steadyclock.h"

#include <QMutex>
#include <QSslSocket>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>

#include <sys/socket.h>

namespace qav {

namespace {

constexpr qsizetype kMaxChunkLine = 1024;
// Qt stops reading from the kernel once this much waits unread, so a paused connection costs
// no more than this (the kernel's own buffers then push back on the client).
constexpr qint64 kSocketReadBuffer = 16 * 1024;

// Bytes the socket still has to hand to the system, encrypted ones included.
qint64 unsent(QTcpSocket *socket)
{
    const auto *tls = qobject_cast<QSslSocket *>(socket);
    return socket->bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0);
}

bool isToken(const QByteArray &s)
{
    if (s.isEmpty())
        return false;
    for (const char c : s) {
        if (c <= ' ' || c >= 127 || QByteArrayView("()<>@,;:\\\"/[]?={}").contains(c))
            return false;
    }
    return true;
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

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Control characters other than tab (a bare CR or a NUL among them) split a header or a chunk
// line differently for different parsers: refused wherever they appear.
bool hasControl(QByteArrayView line)
{
    return std::any_of(line.begin(), line.end(),
                       [](char c) { return (uchar(c) < ' ' && c != '\t') || c == 127; });
}

bool hasToken(const QByteArray &list, const char *token)
{
    for (const QByteArray &part : list.split(','))
        if (part.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    return false;
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
                               QObject *parent)
    : QObject(parent), m_socket(socket), m_limits(limits), m_handler(std::move(handler)),
      m_anchor(std::make_shared<Anchor>())
{
    m_anchor->connection = this;
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
        if (m_pos > 0) {
            m_in.remove(0, m_pos);
            m_scan -= m_pos;
            m_pos = 0;
        }
        // Asking for more than is buffered lets Qt read from the kernel again after a pause.
        m_in += m_socket->read(available + 1);
        if (!m_partial) {
            m_partial = true;
            m_requestStart.start();
        }
        m_lastProgress.start();
    }
    m_pumping = false;
    rearm();
}

// One step of the request parser over m_in from m_pos; false when it needs more bytes.
bool HttpConnection::parseStep()
{
    switch (m_state) {
    case State::Head: {
        // Blank lines between requests are allowed.
        while (m_pos < m_in.size() && (m_in[m_pos] == '\r' || m_in[m_pos] == '\n'))
            ++m_pos;
        if (m_pos >= m_in.size()) {
            m_in.clear();
            m_pos = m_scan = 0;
            m_partial = false;
            return false;
        }
        m_scan = qMax(m_scan, m_pos);
        qsizetype end = -1;
        qsizetype bodyStart = -1;
        for (qsizetype i = m_scan; i < m_in.size(); ++i) {
            if (m_in[i] != '\n')
                continue;
            if (i + 1 < m_in.size() && m_in[i + 1] == '\n') {
                end = i;
                bodyStart = i + 2;
                break;
            }
            if (i + 2 < m_in.size() && m_in[i + 1] == '\r' && m_in[i + 2] == '\n') {
                end = i;
                bodyStart = i + 3;
                break;
            }
        }
        if (end < 0) {
            m_scan = qMax(m_pos, m_in.size() - 2);
            if (m_in.size() - m_pos > m_limits.maxHeaderBytes)
                refuse(413, QStringLiteral("요청 헤더가 너무 깁니다"));
            return m_state != State::Head;
        }
        if (end - m_pos > m_limits.maxHeaderBytes) {
            refuse(413, QStringLiteral("요청 헤더가 너무 깁니다"));
            return true;
        }
        const QByteArray head = m_in.mid(m_pos, end - m_pos);
        m_pos = bodyStart;
        m_scan = bodyStart;
        parseHead(head);
        return true;
    }
    case State::Body:
    case State::ChunkData: {
        // A whole body and one chunk of a chunked body are copied the same way; only what comes
        // after them differs.
        const qint64 take = qMin<qint64>(m_remaining, m_in.size() - m_pos);
        if (take <= 0)
            return false;
        m_request.body.append(m_in.constData() + m_pos, take);
        m_pos += take;
        m_remaining -= take;
        if (m_remaining == 0) {
            if (m_state == State::Body)
                complete();
            else
                m_state = State::ChunkEnd;
        }
        return true;
    }
    case State::ChunkSize:
    case State::ChunkEnd:
    case State::Trailer: {
        const qsizetype nl = m_in.indexOf('\n', m_pos);
        if (nl < 0) {
            if (m_in.size() - m_pos > kMaxChunkLine)
                refuse(413, QStringLiteral("요청 본문이 너무 깁니다"));
            return m_state == State::Draining;
        }
        QByteArray line = m_in.mid(m_pos, nl - m_pos);
        if (nl - m_pos > kMaxChunkLine) {
            refuse(413, QStringLiteral("요청 본문이 너무 깁니다"));
            return true;
        }
        m_pos = nl + 1;
        if (line.endsWith('\r'))
            line.chop(1);
        if (hasControl(line)) {
            refuse(400, QStringLiteral("청크 크기가 올바르지 않습니다"));
            return true;
        }
        if (m_state == State::ChunkEnd) {
            if (!line.isEmpty())
                refuse(400, QStringLiteral("청크 크기가 올바르지 않습니다"));
            else
                m_state = State::ChunkSize;
        } else if (m_state == State::Trailer) {
            // Trailers count against the header limit; their content is not used.
            m_remaining += line.size() + 2;
            if (line.isEmpty())
                complete();
            else if (m_remaining > m_limits.maxHeaderBytes)
                refuse(413, QStringLiteral("요청 헤더가 너무 깁니다"));
        } else {
            // Hex digits only: no sign, no 0x, no blanks, each of which some parser reads
            // differently. Leading zeros are plain hex.
            const qsizetype semicolon = line.indexOf(';');
            const QByteArray digits = semicolon < 0 ? line : line.left(semicolon);
            const bool ok = !digits.isEmpty() && std::all_of(digits.begin(), digits.end(), isHex);
            const qint64 size = ok && digits.size() <= 15 ? digits.toLongLong(nullptr, 16) : -1;
            if (ok && digits.size() > 15) {
                refuse(413,
                       QStringLiteral("요청 본문이 %1바이트를 넘습니다").arg(m_limits.maxBody));
            } else if (!ok) {
                refuse(400, QStringLiteral("청크 크기가 올바르지 않습니다"));
            } else if (size == 0) {
                m_remaining = 0;
                m_state = State::Trailer;
            } else if (m_request.body.size() + size > m_limits.maxBody) {
                refuse(413,
                       QStringLiteral("요청 본문이 %1바이트를 넘습니다").arg(m_limits.maxBody));
            } else {
                m_remaining = size;
                m_state = State::ChunkData;
            }
        }
        return true;
    }
    case State::Closing:
    case State::Draining:
        break;
    }
    return false;
}

bool HttpConnection::parseHead(const QByteArray &head)
{
    QList<QByteArray> lines = head.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (hasControl(line)) {
            refuse(400, QStringLiteral("요청 형식이 올바르지 않습니다"));
            return false;
        }
    }
    const QList<QByteArray> requestLine = lines.first().split(' ');
    if (requestLine.size() != 3 || !isToken(requestLine[0]) || requestLine[1].isEmpty()) {
        refuse(400, QStringLiteral("요청 형식이 올바르지 않습니다"));
        return false;
    }
    const QByteArray &version = requestLine[2];
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        if (version.startsWith("HTTP/"))
            refuse(505, QStringLiteral("HTTP 버전을 지원하지 않습니다"));
        else
            refuse(400, QStringLiteral("요청 형식이 올바르지 않습니다"));
        return false;
    }

    m_request = HttpRequest();
    m_request.method = requestLine[0];
    QByteArray target = requestLine[1];
    if (target.startsWith("http://") || target.startsWith("https://")) {
        // Absolute form: only the path and query matter here.
        const qsizetype slash = target.indexOf('/', target.indexOf("//") + 2);
        target = slash < 0 ? QByteArray("/") : target.mid(slash);
    }
    const qsizetype question = target.indexOf('?');
    m_request.path = QString::fromLatin1(question < 0 ? target : target.left(question));
    if (question >= 0)
        m_request.query = QUrlQuery(QString::fromLatin1(target.mid(question + 1)));
    m_request.peer = m_socket->peerAddress();
    m_request.local = m_socket->localAddress();
    const auto *ssl = qobject_cast<QSslSocket *>(m_socket);
    m_request.secure = ssl && ssl->isEncrypted();

    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        const qsizetype colon = line.indexOf(':');
        // Folded lines and blanks before the colon are how requests get smuggled: refused.
        if (line.startsWith(' ') || line.startsWith('\t') || colon <= 0 ||
            !isToken(line.left(colon))) {
            refuse(400, QStringLiteral("요청 형식이 올바르지 않습니다"));
            return false;
        }
        m_request.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
    }

    std::optional<QByteArray> length;
    std::optional<QByteArray> codings;
    QByteArray connection;
    for (const auto &[name, value] : std::as_const(m_request.headers)) {
        if (name.compare("content-length", Qt::CaseInsensitive) == 0) {
            // Digits only, and once (or repeated the same): a list, a sign or an empty value is
            // read differently by different parsers.
            const bool digits =
                !value.isEmpty() && std::all_of(value.begin(), value.end(),
                                                [](char c) { return c >= '0' && c <= '9'; });
            if (!digits || (length && *length != value)) {
                refuse(400, QStringLiteral("Content-Length가 올바르지 않습니다"));
                return false;
            }
            length = value;
        } else if (name.compare("transfer-encoding", Qt::CaseInsensitive) == 0) {
            if (codings) { // a second header adds a coding, and no other coding is taken
                refuse(400, QStringLiteral("Transfer-Encoding이 올바르지 않습니다"));
                return false;
            }
            codings = value;
        } else if (name.compare("connection", Qt::CaseInsensitive) == 0) {
            connection += (connection.isEmpty() ? "" : ",") + value;
        }
    }
    const bool http10 = version == "HTTP/1.0";
    m_requestKeepAlive10 = http10 && hasToken(connection, "keep-alive");
    m_requestClose = http10 ? !m_requestKeepAlive10 : hasToken(connection, "close");
    m_requestHead = m_request.method == "HEAD";

    bool chunked = false;
    qint64 size = 0;
    if (codings) {
        // Only chunked is decoded; anything else (gzip, a list) would be passed on undecoded.
        if (length || codings->compare("chunked", Qt::CaseInsensitive) != 0) {
            refuse(400, QStringLiteral("Transfer-Encoding이 올바르지 않습니다"));
            return false;
        }
        chunked = true;
    } else if (length) {
        bool ok = false;
        size = length->toLongLong(&ok);
        if (!ok || size > m_limits.maxBody) { // too many digits for a number are too large too
            refuse(413, QStringLiteral("요청 본문이 %1바이트를 넘습니다").arg(m_limits.maxBody));
            return false;
        }
    }

    if ((chunked || size > 0) && !http10 && m_pending.empty() &&
        m_request.header("expect").compare("100-continue", Qt::CaseInsensitive) == 0) {
        m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
    }
    if (chunked) {
        m_state = State::ChunkSize;
    } else if (size > 0) {
        m_remaining = size;
        m_state = State::Body;
    } else {
        complete();
    }
    return true;
}

void HttpConnection::complete()
{
    Pending pending;
    pending.seq = m_nextSeq++;
    pending.headOnly = m_requestHead;
    pending.keepAlive10 = m_requestKeepAlive10;
    pending.close = m_requestClose || m_stopping;
    m_pending.push_back(pending);
    m_state = pending.close ? State::Closing : State::Head;
    m_partial = m_pos < m_in.size();
    if (m_partial)
        m_requestStart.start();
    m_remaining = 0;
    m_request.receivedNs = steadyNs();

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
    m_handler(std::exchange(m_request, HttpRequest()), std::move(reply));
}

void HttpConnection::refuse(int status, const QString &text)
{
    Pending pending;
    pending.seq = m_nextSeq++;
    pending.close = true;
    pending.answer = HttpAnswer::error(status, text);
    m_pending.push_back(std::move(pending));
    m_state = State::Draining;
    m_in.clear();
    m_pos = m_scan = 0;
    qCInfo(lcConnection).noquote()
        << "refused" << status << "from" << peerText(m_socket->peerAddress()) << text;
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
            << "dropped" << peerText(m_socket->peerAddress()) << "which does not read its answers";
    else if (m_partial && !m_writeShut)
        qCInfo(lcConnection).noquote() << "dropped" << peerText(m_socket->peerAddress())
                                       << "whose request did not arrive in time";
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
