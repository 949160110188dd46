#pragma once

#include <QByteArray>
#include <QPointer>
#include <QSslConfiguration>
#include <QTcpServer>

#include <optional>

class QTcpSocket;

namespace qav {

// A listening socket that watches every connection's byte stream before the HTTP server parses
// it, and answers 413 itself as soon as a request declares or grows a body (plain or chunked)
// over the limit, or sends an endless header. Such a request never reaches the HTTP server, so an
// oversized upload costs no memory; the connection is then drained and closed. The sockets belong
// to this server until the HTTP server takes them. With TLS set, each connection is encrypted first
// and reaches the HTTP server only once its handshake succeeded; the guard then reads the decrypted
// stream, so every bound holds the same under TLS.
class BodyLimitServer : public QTcpServer
{
    Q_OBJECT
public:
    BodyLimitServer(qint64 maxBody, QObject *parent = nullptr);
    // The object whose readyRead handling is cut off from a refused connection.
    void setHttpServer(QObject *httpServer) { m_httpServer = httpServer; }
    // Serves TLS with this configuration (certificate and key) from the next connection on.
    void setTls(const QSslConfiguration &config) { m_tls = config; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    qint64 m_maxBody;
    QPointer<QObject> m_httpServer;
    std::optional<QSslConfiguration> m_tls;
};

} // namespace qav
