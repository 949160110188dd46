#pragma once

#include "server/http/httpconnection.h"

#include <QHash>
#include <QHostAddress>
#include <QSet>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTimer>

#include <optional>

class QSocketNotifier;

namespace qav {

// The listening socket and its connections. Accepts on its own so that running out of
// descriptors pauses accepting instead of spinning: the connections already open are still
// served, and accepting resumes as soon as one of them closes (or after a second). Past the
// connection cap, or the cap for its client address, a new connection gets 503 and is closed at
// once (under TLS it is closed without a word: a plaintext answer would only be garbage to the
// client). With TLS set, each connection is encrypted first and dropped when its handshake fails
// or drags on; the connection then reads the decrypted stream, so every bound holds the same
// under TLS. Owns its connections.
class HttpListener : public QTcpServer
{
    Q_OBJECT
public:
    HttpListener(const HttpLimits &limits, HttpHandler handler, QObject *parent = nullptr);
    ~HttpListener() override;

    // Serves TLS with this configuration (certificate and key) from the next connection on.
    void setTls(const QSslConfiguration &config) { m_tls = config; }
    // Listens; false with errorString() set when it cannot.
    bool start(const QHostAddress &address, quint16 port);
    // Stops accepting, lets every connection finish the requests it has taken, then closes
    // it; emits drained() once none is left.
    void stop();
    // Those served and those still waiting for their PROXY line.
    int connectionCount() const { return int(m_connections.size() + m_proxyWaits.size()); }

Q_SIGNALS:
    void drained();

protected:
    void incomingConnection(qintptr descriptor) override;
    // The socket for an accepted descriptor; nullptr to close it.
    virtual QTcpSocket *createSocket(qintptr descriptor);

private:
    void acceptReady();
    void holdAccepting(const char *why);
    void acceptAgain();
    void refuseBusy(qintptr descriptor, bool perAddress);
    void awaitProxyLine(int descriptor, const QHostAddress &balancer);
    void readProxyLine(quint64 id);
    void endProxyWait(quint64 id, const QHostAddress *client);
    void dropProxyWaits();
    void admit(qintptr descriptor, const QHostAddress &peer, bool proxied);
    void onConnectionClosed(HttpConnection *connection, const QHostAddress &peer);

    HttpLimits m_limits;
    HttpHandler m_handler;
    QByteArray m_busyAnswer; // written as is past a cap
    std::optional<QSslConfiguration> m_tls;
    QSet<HttpConnection *> m_connections;
    QHash<QHostAddress, int> m_perAddress; // open connections by client address
    QSocketNotifier *m_acceptNotifier = nullptr;
    QTimer m_retry;
    bool m_starved = false;
    bool m_atCap = false;
    QSet<QHostAddress> m_addressesAtCap;
    bool m_stopping = false;
    // A balancer's connection whose PROXY line has not all come yet.
    struct ProxyWait
    {
        int descriptor = -1;
        QSocketNotifier *notifier = nullptr;
        QByteArray line; // what came of it so far
        QHostAddress balancer;
    };
    QHash<quint64, ProxyWait> m_proxyWaits;
    quint64 m_lastProxyWait = 0;
};

} // namespace qav
