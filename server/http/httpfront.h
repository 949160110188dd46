#pragma once

#include "exchange.h"
#include "executor.h"

#include <QAbstractHttpServer>
#include <QHash>
#include <QHostAddress>
#include <QSslConfiguration>

#include <memory>
#include <optional>

namespace qav {

class BodyLimitServer;

// The HTTP side of the server. Turns each request into an HttpRequest, picks its route and hands
// it to the executor; writes the answers back on each connection in request order. Every request
// is answered (a failure inside becomes a 500) and logged as one line on stderr. Serves the
// business object's routes; other parts add theirs through routes() before listening.
class HttpFront : public QAbstractHttpServer
{
    Q_OBJECT
public:
    struct Options
    {
        QString imagesDir;           // empty: no logos
        bool constantAnswer = false; // answer without the database (benchmark baseline)
        bool quiet = false;          // no request log
        qint64 sessionIdleSecs = 12 * 3600;
        int workers = 0;             // threads (database connections) for requests; 0: all inline
        int signInWorkers = 2;       // threads for password checks, with their own connections
        std::optional<QSslConfiguration> tls; // serve HTTPS with it (see loadServerTls)
    };
    using Opener = WorkerContext::Opener;

    HttpFront(Opener opener, Options options, QObject *parent = nullptr);
    ~HttpFront() override;

    Routes &routes() { return m_routes; }
    // Replaces the executor (the default is set by the options).
    void setExecutor(std::unique_ptr<Executor> executor);

    // Returns the port listened on, or 0 with a reason in error.
    quint16 listenOn(const QHostAddress &address, quint16 port, QString *error);

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    class Connection;
    Connection *connectionOf(QTcpSocket *socket);
    void deliver(quint64 connectionId, quint64 sequence, HttpAnswer answer);
    void log(const HttpAnswer &answer, qint64 startedNs) const;

    Options m_options;
    Routes m_routes;
    std::unique_ptr<Executor> m_executor;
    WorkerContext m_inlineContext;
    QHash<quint64, Connection *> m_connections;
    quint64 m_nextConnectionId = 1;
};

} // namespace qav
