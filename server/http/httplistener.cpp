#include "httplistener.h"

#include "metrics.h"
#include "serverlog.h"

#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QSslSocket>
#include <QTcpSocket>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qav {

namespace {

constexpr int kRetryMs = 1000;
// Long enough for a gate PC on a busy network; a client that stalls it holds a slot no longer.
constexpr int kHandshakeMs = 3000;
constexpr int kAcceptsPerWake = 64; // then let the connections already open have their turn
// A proxy sends its PROXY line with the connection; one that has not after this is not one.
constexpr int kProxyLineMs = 500;

// The client's address; a mapped IPv4 address as plain IPv4, so one client counts once.
QHostAddress peerOf(qintptr descriptor)
{
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getpeername(int(descriptor), reinterpret_cast<sockaddr *>(&storage), &length) != 0)
        return {};
    QHostAddress address(reinterpret_cast<const sockaddr *>(&storage));
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped && address.protocol() == QAbstractSocket::IPv6Protocol)
        address = QHostAddress(v4);
    address.setScopeId({});
    return address;
}

// The first line of a connection from a load balancer (PROXY protocol version 1): the client
// address it names, a null address for "PROXY UNKNOWN" (the balancer's own health checks), or
// nothing when the line is missing or malformed. Only the line is taken off the socket, so the
// TLS handshake or the request that follows is read as from any client.
std::optional<QHostAddress> takeProxyLine(int descriptor)
{
    char buffer[108]; // the longest line the protocol allows, CRLF included
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const ssize_t seen = ::recv(descriptor, buffer, sizeof buffer, MSG_PEEK | MSG_DONTWAIT);
        if (seen == 0 || (seen < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return std::nullopt;
        const QByteArray peeked = QByteArray::fromRawData(buffer, std::max<qsizetype>(seen, 0));
        const qsizetype end = peeked.indexOf("\r\n");
        if (end >= 0) {
            const QByteArray line(buffer, end);
            if (::recv(descriptor, buffer, size_t(end + 2), MSG_DONTWAIT) != end + 2)
                return std::nullopt;
            const QList<QByteArray> words = line.split(' ');
            if (words.value(0) != "PROXY")
                return std::nullopt;
            if (words.value(1) == "UNKNOWN")
                return QHostAddress();
            QHostAddress client;
            const bool v4 = words.value(1) == "TCP4";
            if (words.size() != 6 || (!v4 && words[1] != "TCP6") ||
                !client.setAddress(QString::fromLatin1(words[2])) ||
                (client.protocol() == QAbstractSocket::IPv4Protocol) != v4)
                return std::nullopt;
            return client;
        }
        if (seen == qsizetype(sizeof buffer) || waited.elapsed() > kProxyLineMs)
            return std::nullopt;
        // Part of the line is there (peeked, so still readable): give the rest a moment.
        pollfd wait{descriptor, POLLIN, 0};
        if (seen > 0)
            ::poll(nullptr, 0, 2);
        else
            ::poll(&wait, 1, 50);
    }
}

} // namespace

HttpListener::HttpListener(const HttpLimits &limits, HttpHandler handler, QObject *parent)
    : QTcpServer(parent), m_limits(limits), m_handler(std::move(handler))
{
    HttpAnswer busy = HttpAnswer::error(503, m_limits.busyText);
    busy.headers.append(qMakePair(QByteArray("Retry-After"), QByteArray("1")));
    m_busyAnswer = serializeAnswer(busy, false, true, false);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &HttpListener::acceptAgain);
}

HttpListener::~HttpListener()
{
    delete m_acceptNotifier;
    for (HttpConnection *c : std::as_const(m_connections))
        c->disconnect(this);
}

bool HttpListener::start(const QHostAddress &address, quint16 port)
{
    if (!listen(address, port))
        return false;
    // QTcpServer's own accepting stays paused: this class decides when to accept.
    QTcpServer::pauseAccepting();
    m_acceptNotifier = new QSocketNotifier(socketDescriptor(), QSocketNotifier::Read, this);
    connect(m_acceptNotifier, &QSocketNotifier::activated, this, &HttpListener::acceptReady);
    return true;
}

void HttpListener::acceptReady()
{
    for (int i = 0; i < kAcceptsPerWake && !m_stopping; ++i) {
        const int fd =
            ::accept4(int(socketDescriptor()), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            if (std::exchange(m_starved, false))
                qCInfo(lcServer) << "accepting connections again";
            incomingConnection(fd);
            continue;
        }
        switch (errno) {
        case EAGAIN:
#if EAGAIN != EWOULDBLOCK
        case EWOULDBLOCK:
#endif
            return;
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
        case EPERM: // refused by a firewall rule
            continue;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            holdAccepting("out of descriptors or memory");
            return;
        default:
            holdAccepting(std::strerror(errno));
            return;
        }
    }
}

// The waiting client stays in the kernel's backlog meanwhile; the notifier is off, so nothing
// spins on the listening socket that stays readable.
void HttpListener::holdAccepting(const char *why)
{
    m_acceptNotifier->setEnabled(false);
    if (!m_starved) {
        qCWarning(lcServer).noquote()
            << "cannot accept a connection:" << why << "with" << connectionCount()
            << "open; accepting again when one closes";
    }
    m_starved = true;
    m_retry.start(kRetryMs);
}

void HttpListener::acceptAgain()
{
    m_retry.stop();
    if (m_stopping || !m_acceptNotifier)
        return;
    m_acceptNotifier->setEnabled(true);
    acceptReady();
}

void HttpListener::incomingConnection(qintptr descriptor)
{
    if (connectionCount() >= m_limits.maxConnections) {
        refuseBusy(descriptor, false);
        return;
    }
    m_atCap = false;
    QHostAddress peer = peerOf(descriptor);
    const bool proxied = m_limits.proxies.contains(peer);
    if (proxied) {
        const std::optional<QHostAddress> client = takeProxyLine(int(descriptor));
        if (!client) {
            qCWarning(lcServer).noquote()
                << "closed a connection from" << peerText(peer)
                << "without the PROXY line its balancer must send (send-proxy)";
            ::close(int(descriptor));
            return;
        }
        if (!client->isNull())
            peer = *client;
    }
    int &fromPeer = m_perAddress[peer];
    if (fromPeer >= m_limits.maxPerAddress) {
        if (!m_addressesAtCap.contains(peer)) {
            m_addressesAtCap.insert(peer); // warned about once, until it has none open
            qCWarning(lcServer).noquote()
                << "connection limit" << m_limits.maxPerAddress << "per address reached by"
                << peerText(peer) + u';' << "its new connections are refused until one closes";
        }
        refuseBusy(descriptor, true);
        return;
    }
    QTcpSocket *socket = createSocket(descriptor);
    if (!socket) {
        if (fromPeer == 0)
            m_perAddress.remove(peer);
        ::close(int(descriptor));
        return;
    }
    ++fromPeer;
    auto *connection =
        new HttpConnection(socket, m_limits, m_handler, this, proxied ? peer : QHostAddress());
    m_connections.insert(connection);
    serverMetrics().connectionOpened();
    connect(connection, &HttpConnection::closed, this,
            [this, connection, peer] { onConnectionClosed(connection, peer); });
}

QTcpSocket *HttpListener::createSocket(qintptr descriptor)
{
    QTcpSocket *socket = m_tls ? new QSslSocket : new QTcpSocket;
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return nullptr;
    }
    if (auto *tls = qobject_cast<QSslSocket *>(socket)) {
        tls->setSslConfiguration(*m_tls);
        // A failed handshake ends in an error, which closes the connection; a dragging one here.
        QTimer::singleShot(kHandshakeMs, tls, [tls] {
            if (!tls->isEncrypted())
                tls->abort();
        });
        tls->startServerEncryption();
    }
    return socket;
}

// Answers without reading and closes: costs neither memory nor a lasting descriptor. A TLS
// client gets no answer: it expects a handshake, and plaintext would be written unencrypted.
void HttpListener::refuseBusy(qintptr descriptor, bool perAddress)
{
    serverMetrics().countUnavailable();
    if (!perAddress && !m_atCap) {
        m_atCap = true;
        qCWarning(lcServer) << "connection limit" << m_limits.maxConnections
                            << "reached; new connections get 503 until one closes";
    }
    if (m_tls) {
        ::close(int(descriptor));
        return;
    }
    [[maybe_unused]] const auto sent =
        ::send(int(descriptor), m_busyAnswer.constData(), size_t(m_busyAnswer.size()),
               MSG_DONTWAIT | MSG_NOSIGNAL);
    ::shutdown(int(descriptor), SHUT_WR);
    ::close(int(descriptor));
}

void HttpListener::onConnectionClosed(HttpConnection *connection, const QHostAddress &peer)
{
    if (m_connections.remove(connection))
        serverMetrics().connectionClosed();
    const auto count = m_perAddress.find(peer);
    if (count != m_perAddress.end() && --*count <= 0) {
        m_perAddress.erase(count);
        m_addressesAtCap.remove(peer);
    }
    connection->deleteLater();
    if (m_starved)
        acceptAgain();
    if (m_stopping && m_connections.isEmpty())
        Q_EMIT drained();
}

void HttpListener::stop()
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_retry.stop();
    delete m_acceptNotifier;
    m_acceptNotifier = nullptr;
    close();
    if (m_connections.isEmpty()) {
        QMetaObject::invokeMethod(this, &HttpListener::drained, Qt::QueuedConnection);
        return;
    }
    const auto connections = m_connections;
    for (HttpConnection *c : connections)
        c->finishAndClose();
}

} // namespace qav
