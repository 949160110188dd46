#pragma once

#include "server/http/exchange.h"
#include "server/http/httpparser.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <deque>
#include <memory>
#include <optional>

class QTcpSocket;

namespace qav {

// Takes the answer to one request: call it exactly once, on any thread, now or later.
using HttpReply = std::function<void(HttpAnswer)>;
// Handles one request; called on the connection's thread, must not block for long.
using HttpHandler = std::function<void(HttpRequest, HttpReply)>;

// What one connection, and the server as a whole, may hold.
struct HttpLimits
{
    qint64 maxBody = 4096;                // a longer body is refused with 413
    qsizetype maxHeaderBytes = 16 * 1024; // request line and headers; longer is refused with 413
    int idleTimeoutMs = 60000;            // a connection that does nothing this long is closed
    int maxConnections = 1000;            // beyond it a new connection gets 503 and is closed
    int maxPerAddress = 64;               // the same from one client address
    int maxPipelined = 16;                // requests read ahead of their answers
    qint64 maxUnsentBytes = 256 * 1024;   // answers a client has not read yet: read no more from it
    int drainMs = 10000; // after a refusal, the rest of an upload is dropped this long
    QString busyText = QStringLiteral("서버가 바쁩니다"); // the 503 past a connection cap
    // Load balancers whose connections begin with a PROXY protocol line (version 1) naming the
    // client: that client's address counts for the limits, the sign-in guard and the logs.
    QList<QHostAddress> proxies;
    // Path prefixes whose requests may carry a larger body than maxBody, and how large.
    QList<QPair<QString, qint64>> largerBodies;
};

// The bytes of an answer on the wire: status line, headers, and the body unless a HEAD is
// answered.
QByteArray serializeAnswer(const HttpAnswer &answer, bool headOnly, bool close, bool keepAlive10);

// One HTTP/1.1 connection: reads requests off the socket through an HttpParser (keep-alive,
// pipelining, chunked bodies), hands each to the handler and writes the answers in request order,
// whatever order they come back in. It holds bounded memory whatever the client does: a request
// over the limits is refused at once; a client that sends requests but does not read the answers is
// no longer read from; one that makes no progress for the idle timeout is closed. Owns the socket;
// emits closed() once, after which the owner deletes it.
class HttpConnection : public QObject
{
    Q_OBJECT
public:
    // client: the address the requests come from when not the socket's peer (behind a proxy).
    HttpConnection(QTcpSocket *socket, const HttpLimits &limits, HttpHandler handler,
                   QObject *parent = nullptr, const QHostAddress &client = {});
    ~HttpConnection() override;

    // Takes no new request; answers those already taken, then closes.
    void finishAndClose();
    // Requests taken whose answer is not yet written.
    int inFlight() const { return int(m_pending.size()); }

Q_SIGNALS:
    void closed();

private:
    enum class State { Reading, Closing, Draining };
    struct Pending
    {
        quint64 seq = 0;
        bool headOnly = false;
        bool keepAlive10 = false;
        bool close = false;
        std::optional<HttpAnswer> answer;
    };
    struct Anchor;

    void deliver(quint64 seq, HttpAnswer answer);
    void pump();
    bool parseStep();
    void complete();
    void refuse(int status, const QString &text);
    void flush();
    bool paused() const;
    void onBytesWritten();
    void onTimeout();
    qint64 msLeft() const;
    void rearm();
    void shutdownWrite();
    void closeNow();

    QTcpSocket *m_socket;
    QHostAddress m_client;
    HttpLimits m_limits;
    HttpHandler m_handler;
    std::shared_ptr<Anchor> m_anchor;

    State m_state = State::Reading;
    HttpParser m_parser;
    bool m_partial = false; // some bytes of the next request have arrived

    std::deque<Pending> m_pending;
    quint64 m_nextSeq = 0;
    bool m_writeShut = false;
    bool m_closed = false;
    bool m_pumping = false;
    bool m_stopping = false;

    QTimer m_timer;
    QElapsedTimer m_lastProgress; // last byte read or written
    QElapsedTimer m_requestStart; // first byte of the request being read
    QElapsedTimer m_drainStart;
};

} // namespace qav
