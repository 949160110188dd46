#include "server/http/httplistener.h"

#include "server/http/metrics.h"
#include "server/http/serverlog.h"

#include <QSocketNotifier>
#include <QSslSocket>
#include <QTcpSocket>

#include <cerrno>
#include <cstring>
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

enum class ProxyStep { More, Bad, Done };

// Takes what has come of the first line of a connection from a load balancer (PROXY protocol
// version 1) into line, never past its end, so the TLS handshake or the request that follows is
// read as from any client. Done: client is the address the line names, a null address for
// "PROXY UNKNOWN" (the balancer's own health checks); Bad: the line is malformed, too long, or the
// connection ended first.
ProxyStep takeProxyLine(int descriptor, QByteArray &line, QHostAddress &client)
{
    constexpr qsizetype kMaxLine = 107; // the longest line the protocol allows, CRLF included
    char buffer[kMaxLine];
    const ssize_t seen =
        ::recv(descriptor, buffer, size_t(kMaxLine - line.size()), MSG_PEEK | MSG_DONTWAIT);
    if (seen < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return ProxyStep::More;
    if (seen <= 0)
        return ProxyStep::Bad;
    // A CR at the end of what came before may have its LF first in what came now.
    const qsizetype end = (line + QByteArray::fromRawData(buffer, seen)).indexOf("\r\n");
    const qsizetype take = end >= 0 ? end + 2 - line.size() : qsizetype(seen);
    if (::recv(descriptor, buffer, size_t(take), MSG_DONTWAIT) != take)
        return ProxyStep::Bad;
    line.append(buffer, take);
    if (end < 0)
        return line.size() < kMaxLine ? ProxyStep::More : ProxyStep::Bad;
    const QList<QByteArray> words = line.left(end).split(' ');
    if (words.value(0) != "PROXY")
        return ProxyStep::Bad;
    if (words.value(1) == "UNKNOWN") {
        client = QHostAddress();
        return ProxyStep::Done;
    }
    const bool v4 = words.value(1) == "TCP4";
    if (words.size() != 6 || (!v4 && words[1] != "TCP6") ||
        !client.setAddress(QString::fromLatin1(words[2])) ||
        (client.protocol() == QAbstractSocket::IPv4Protocol) != v4)
        return ProxyStep::Bad;
    return ProxyStep::Done;
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
    dropProxyWaits();
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
    const QHostAddress peer = peerOf(descriptor);
    if (m_limits.proxies.contains(peer))
        awaitProxyLine(int(descriptor), peer);
    else
        admit(descriptor, peer, false);
}

// The line is read as it comes, so that balancers slow to send it hold up nobody else; one that
// has not sent it whole within kProxyLineMs of the accept is closed.
void HttpListener::awaitProxyLine(int descriptor, const QHostAddress &balancer)
{
    const quint64 id = ++m_lastProxyWait;
    auto *notifier = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
    m_proxyWaits.insert(id, {descriptor, notifier, {}, balancer});
    connect(notifier, &QSocketNotifier::activated, this, [this, id] { readProxyLine(id); });
    QTimer::singleShot(kProxyLineMs, notifier, [this, id] { endProxyWait(id, nullptr); });
    readProxyLine(id); // usually it came with the connection
}

void HttpListener::readProxyLine(quint64 id)
{
    const auto wait = m_proxyWaits.find(id);
    if (wait == m_proxyWaits.end())
        return;
    QHostAddress client;
    const ProxyStep step = takeProxyLine(wait->descriptor, wait->line, client);
    if (step != ProxyStep::More)
        endProxyWait(id, step == ProxyStep::Done ? &client : nullptr);
}

// Admits the connection as from client (the balancer itself when that is null), or closes it
// without one.
void HttpListener::endProxyWait(quint64 id, const QHostAddress *client)
{
    const auto wait = m_proxyWaits.find(id);
    if (wait == m_proxyWaits.end())
        return;
    const ProxyWait ended = *wait;
    m_proxyWaits.erase(wait);
    ended.notifier->setEnabled(false);
    ended.notifier->deleteLater(); // it may be the sender of the signal being handled
    if (!client) {
        qCWarning(lcServer).noquote()
            << "closed a connection from" << peerText(ended.balancer)
            << "without the PROXY line its balancer must send (send-proxy)";
        ::close(ended.descriptor);
        return;
    }
    admit(ended.descriptor, client->isNull() ? ended.balancer : *client, true);
}

void HttpListener::admit(qintptr descriptor, const QHostAddress &peer, bool proxied)
{
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

void HttpListener::dropProxyWaits()
{
    for (const ProxyWait &wait : std::as_const(m_proxyWaits)) {
        delete wait.notifier;
        ::close(wait.descriptor);
    }
    m_proxyWaits.clear();
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
    dropProxyWaits();
    if (m_connections.isEmpty()) {
        QMetaObject::invokeMethod(this, &HttpListener::drained, Qt::QueuedConnection);
        return;
    }
    const auto connections = m_connections;
    for (HttpConnection *c : connections)
        c->finishAndClose();
}

} // namespace qav
