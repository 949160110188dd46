#pragma once

#include "server/http/exchange.h"
#include "server/http/executor.h"
#include "server/http/httpconnection.h"

#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>
#include <QTimer>

#include <deque>
#include <memory>
#include <optional>

namespace qav {

class HttpListener;

// The HTTP side of the server. Picks each request's route and hands it to the executor; the
// connections write the answers back in request order. Every request is answered (a failure
// inside becomes a 500) and logged as one line naming the client. Serves only the service routes
// (/, /healthz, /metrics); the gate and the dashboard add theirs through routes() before listening.
class HttpFront : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        bool constantAnswer = false; // answer without the database (benchmark baseline)
        int workers = 0;             // threads (database connections) for requests; 0: all inline
        int signInWorkers = 1;       // threads for password checks, with their own connections
        std::optional<QSslConfiguration> tls; // serve HTTPS with it (see loadServerTls)
        HttpLimits limits;
    };
    using Opener = WorkerContext::Opener;

    HttpFront(Opener opener, Options options, QObject *parent = nullptr);
    ~HttpFront() override;

    Routes &routes() { return m_routes; }
    // Replaces the executor (the default is set by the options).
    void setExecutor(std::unique_ptr<Executor> executor);

    // Returns the port listened on, or 0 with a reason in error.
    quint16 listenOn(const QHostAddress &address, quint16 port, QString *error);
    // Stops accepting and finishes the requests taken; emits stopped() when none is left.
    void stop();
    // Ends the executor (its workers finish what they run) and closes the databases.
    void shutDown();

Q_SIGNALS:
    void stopped();

private:
    void handle(HttpRequest request, HttpReply reply);
    void answerLate();

    // A request with a deadline, until it is answered or the deadline passed. All routes with
    // one share it, so arrival order is deadline order.
    struct Deadline
    {
        qint64 atNs;
        std::shared_ptr<Executor::Done> finish; // empty once answered
        QString text;
        QString what; // for the log
    };
    std::deque<Deadline> m_deadlines;
    QTimer m_deadlineTimer;

    Options m_options;
    Routes m_routes;
    std::unique_ptr<Executor> m_executor;
    WorkerContext m_inlineContext;
    HttpListener *m_listener = nullptr;
};

} // namespace qav
