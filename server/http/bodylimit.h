#pragma once

#include <QByteArray>
#include <QPointer>
#include <QTcpServer>

class QTcpSocket;

namespace qav {

// A listening socket that watches every connection's byte stream before the HTTP server parses
// it, and answers 413 itself as soon as a request declares or grows a body (plain or chunked)
// over the limit, or sends an endless header. Such a request never reaches the HTTP server, so an
// oversized upload costs no memory; the connection is then drained and closed. The sockets belong
// to this server until the HTTP server takes them.
class BodyLimitServer : public QTcpServer
{
    Q_OBJECT
public:
    BodyLimitServer(qint64 maxBody, QObject *parent = nullptr);
    // The object whose readyRead handling is cut off from a refused connection.
    void setHttpServer(QObject *httpServer) { m_httpServer = httpServer; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    qint64 m_maxBody;
    QPointer<QObject> m_httpServer;
};

} // namespace qav
