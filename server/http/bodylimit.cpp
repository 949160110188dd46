#include "bodylimit.h"

#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

#include <sys/socket.h>

namespace qav {

namespace {

constexpr qsizetype kMaxHeaderBytes = 16 * 1024;
constexpr qsizetype kMaxLineBytes = 1024;
constexpr int kDrainMs = 10000;
constexpr int kHandshakeMs = 10000;

// Bytes the socket still has to hand to the system, encrypted ones included.
qint64 unsent(QTcpSocket *socket)
{
    const auto *tls = qobject_cast<QSslSocket *>(socket);
    return socket->bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0);
}

// Follows HTTP/1.1 request framing over the bytes as they arrive (it only peeks: the HTTP server
// still reads them). Knows nothing else about HTTP.
class RequestFramer : public QObject
{
public:
    RequestFramer(QTcpSocket *socket, qint64 maxBody, QObject *httpServer)
        : QObject(socket)
        , m_socket(socket)
        , m_maxBody(maxBody)
        , m_httpServer(httpServer)
    {
        connect(socket, &QTcpSocket::readyRead, this, &RequestFramer::onReadyRead);
    }

private:
    enum class State { Head, Body, ChunkSize, ChunkData, ChunkEnd, Trailer, Refused };

    void onReadyRead()
    {
        if (m_state == State::Refused) {
            m_socket->readAll();
            return;
        }
        const QByteArray data = m_socket->peek(m_socket->bytesAvailable());
        qsizetype pos = 0;
        while (pos < data.size() && m_state != State::Refused)
            pos = step(data, pos);
    }

    // Consumes from data at pos, returns the new position.
    qsizetype step(const QByteArray &data, qsizetype pos)
    {
        switch (m_state) {
        case State::Head: {
            const qsizetype end = data.indexOf('\n', pos);
            const qsizetype stop = end < 0 ? data.size() : end + 1;
            m_line += data.mid(pos, stop - pos);
            if (end < 0) {
                if (m_head.size() + m_line.size() > kMaxHeaderBytes)
                    refuse(413, "요청 헤더가 너무 깁니다");
                return stop;
            }
            const QByteArray line = m_line.trimmed();
            m_line.clear();
            if (line.isEmpty()) {
                if (!m_head.isEmpty())
                    startBody();
            } else {
                m_head += line + '\n';
                if (m_head.size() > kMaxHeaderBytes)
                    refuse(413, "요청 헤더가 너무 깁니다");
            }
            return stop;
        }
        case State::Body:
        case State::ChunkData: {
            const qint64 take = qMin<qint64>(m_remaining, data.size() - pos);
            m_remaining -= take;
            if (m_remaining == 0)
                m_state = m_state == State::Body ? State::Head : State::ChunkEnd;
            return pos + take;
        }
        case State::ChunkEnd:
        case State::ChunkSize:
        case State::Trailer: {
            const qsizetype end = data.indexOf('\n', pos);
            const qsizetype stop = end < 0 ? data.size() : end + 1;
            m_line += data.mid(pos, stop - pos);
            if (m_line.size() > kMaxLineBytes) {
                refuse(413, "요청 본문이 너무 깁니다");
                return stop;
            }
            if (end < 0)
                return stop;
            const QByteArray line = m_line.trimmed();
            m_line.clear();
            if (m_state == State::ChunkEnd) {
                m_state = State::ChunkSize;
            } else if (m_state == State::Trailer) {
                if (line.isEmpty())
                    m_state = State::Head;
            } else {
                bool ok = false;
                const qint64 size = line.split(';').first().trimmed().toLongLong(&ok, 16);
                if (!ok || size < 0) {
                    refuse(400, "청크 크기가 올바르지 않습니다");
                } else if (size == 0) {
                    m_state = State::Trailer;
                } else {
                    m_bodySoFar += size;
                    if (m_bodySoFar > m_maxBody) {
                        refuse(413, "요청 본문이 4096바이트를 넘습니다");
                    } else {
                        m_remaining = size;
                        m_state = State::ChunkData;
                    }
                }
            }
            return stop;
        }
        case State::Refused:
            break;
        }
        return data.size();
    }

    void startBody()
    {
        qint64 length = 0;
        bool chunked = false;
        for (const QByteArray &header : m_head.split('\n')) {
            const qsizetype colon = header.indexOf(':');
            if (colon < 0)
                continue;
            const QByteArray name = header.left(colon).trimmed().toLower();
            const QByteArray value = header.mid(colon + 1).trimmed();
            if (name == "content-length") {
                bool ok = false;
                const qint64 n = value.toLongLong(&ok);
                if (!ok || n < 0) {
                    // Huge numbers overflow toLongLong; they are too large all the same.
                    const bool digits = !value.isEmpty()
                        && std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
                    if (digits)
                        return refuse(413, "요청 본문이 4096바이트를 넘습니다");
                    return refuse(400, "Content-Length가 올바르지 않습니다");
                }
                length = qMax(length, n);
            } else if (name == "transfer-encoding" && value.toLower().contains("chunked")) {
                chunked = true;
            }
        }
        m_head.clear();
        m_bodySoFar = 0;
        if (chunked) {
            m_state = State::ChunkSize;
        } else if (length > m_maxBody) {
            refuse(413, "요청 본문이 4096바이트를 넘습니다");
        } else {
            m_remaining = length;
            m_state = length > 0 ? State::Body : State::Head;
        }
    }

    void refuse(int status, const char *why)
    {
        m_state = State::Refused;
        if (m_httpServer)
            QObject::disconnect(m_socket, &QTcpSocket::readyRead, m_httpServer, nullptr);
        // The HTTP server may hold a read transaction; end it so nothing stays buffered.
        if (m_socket->isTransactionStarted())
            m_socket->commitTransaction();
        m_socket->readAll();

        const QByteArray body = QByteArray(R"({"error":")") + why + R"("})";
        const QByteArray reason = status == 413 ? "Payload Too Large" : "Bad Request";
        m_socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason
                        + "\r\nContent-Type: application/json\r\nContent-Length: "
                        + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);

        // Close our sending side once the answer is out but keep reading (and dropping) what the
        // client still sends, so it is not reset before it could read the answer.
        const auto shutWhenSent = [this] {
            if (unsent(m_socket) == 0)
                ::shutdown(int(m_socket->socketDescriptor()), SHUT_WR);
        };
        m_socket->flush();
        if (auto *tls = qobject_cast<QSslSocket *>(m_socket)) {
            // The answer is encrypted later, outside this read: wait until its bytes are out.
            connect(tls, &QSslSocket::encryptedBytesWritten, this, shutWhenSent);
        } else {
            connect(m_socket, &QTcpSocket::bytesWritten, this, shutWhenSent);
            shutWhenSent();
        }
        QTimer::singleShot(kDrainMs, m_socket, [s = m_socket] { s->abort(); });
    }

    QTcpSocket *m_socket;
    qint64 m_maxBody;
    QPointer<QObject> m_httpServer;
    State m_state = State::Head;
    QByteArray m_line;
    QByteArray m_head;
    qint64 m_remaining = 0;
    qint64 m_bodySoFar = 0;
};

} // namespace

BodyLimitServer::BodyLimitServer(qint64 maxBody, QObject *parent)
    : QTcpServer(parent)
    , m_maxBody(maxBody)
{
}

void BodyLimitServer::incomingConnection(qintptr descriptor)
{
    QTcpSocket *socket = m_tls ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    // Connected before the HTTP server connects its own handler, so it sees each byte first.
    new RequestFramer(socket, m_maxBody, m_httpServer);
    if (!m_tls) {
        addPendingConnection(socket);
        return;
    }

    // A connection whose handshake fails or drags on is dropped before the HTTP server sees it;
    // once handed over, it is the HTTP server's to close.
    auto *tls = static_cast<QSslSocket *>(socket);
    tls->setSslConfiguration(*m_tls);
    auto handedOver = std::make_shared<bool>(false);
    connect(tls, &QSslSocket::encrypted, this, [this, tls, handedOver] {
        *handedOver = true;
        addPendingConnection(tls);
    });
    const auto dropInHandshake = [tls, handedOver] {
        if (!*handedOver) {
            tls->abort();
            tls->deleteLater();
        }
    };
    connect(tls, &QSslSocket::errorOccurred, this, dropInHandshake);
    connect(tls, &QSslSocket::disconnected, this, dropInHandshake);
    QTimer::singleShot(kHandshakeMs, tls, dropInHandshake);
    tls->startServerEncryption();
}

} // namespace qav
