#pragma once

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

#include <deque>
#include <map>

// A bare HTTP/1.1 server on loopback that does to each Query call what the test scripts: answer
// it (keeping the connection alive), take it and drop the connection without a word (a server that
// committed the work and then lost the answer), or hold it until release(). Unscripted calls are
// answered with an empty record set. It keeps every command text and Idempotency-Key it received,
// and runs on the test's own thread: the channel's wait serves it.
class ScriptedServer
{
public:
    enum class Action { Answer, Drop, Hold };

    // On loopback's first address and a free port, unless told where.
    explicit ScriptedServer(const QHostAddress &at = QHostAddress::LocalHost);
    ~ScriptedServer();

    QString url() const;
    quint16 port() const { return m_server.serverPort(); }

    void answer(const QByteArray &body, int status = 200);
    // Drops this call and, as the network layer sends a dropped call once more by itself, the
    // one after it too.
    void drop();
    void hold(const QByteArray &body);
    // Answers the call that is being held, if any.
    void release();
    bool holding() const { return m_held != nullptr; }

    QStringList commands;
    QList<QByteArray> keys;

private:
    struct Step
    {
        Action action;
        QByteArray body;
        int status = 200;
    };
    void read(QTcpSocket *socket);
    void respond(QTcpSocket *socket, const Step &step);

    std::deque<Step> m_script;
    std::map<QTcpSocket *, QByteArray> m_pending;
    QPointer<QTcpSocket> m_held;
    QByteArray m_heldBody;
    // Last, so that it goes first: its sockets still report their end to the members above.
    QTcpServer m_server;
};
