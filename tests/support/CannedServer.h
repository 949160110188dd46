#pragma once

#include <QByteArray>
#include <QHttpServer>
#include <QList>
#include <QStringList>
#include <QTcpServer>
#include <QVariantList>

#include <deque>

// A real HTTP server on loopback that answers the station's Query calls with record sets the test
// chooses, and keeps every command text it received. It runs on the test's own thread: the
// channel's wait serves it.
class CannedServer
{
public:
    // On loopback's first address and a free port, unless told where.
    explicit CannedServer(const QHostAddress &at = QHostAddress::LocalHost, quint16 port = 0);

    QString url() const;
    quint16 port() const { return m_port; }

    // Answers the next call with this record set (values: QString or a null QVariant).
    void answer(const QStringList &columns, const QList<QVariantList> &rows);
    // One row with these column/value pairs.
    void answerRow(const QList<std::pair<QString, QVariant>> &row);
    // Answers the next call with this raw body and status.
    void answerRaw(const QByteArray &body, int status = 200,
                   const QByteArray &type = "application/json");

    QStringList commands;
    QStringList paths;
    QList<QByteArray> authorizations; // the Authorization header of each call, empty when none
    QList<QByteArray> hosts;          // the Host header of each call
    QList<QByteArray> replayKeys;     // the Idempotency-Key header of each call

    static QByteArray recordSetJson(const QStringList &columns, const QList<QVariantList> &rows);

private:
    struct Answer
    {
        QByteArray body;
        int status;
        QByteArray type;
    };
    QHttpServer m_server;
    quint16 m_port = 0;
    std::deque<Answer> m_answers;
};

// Accepts connections and never answers: a server that hangs.
class SilentServer
{
public:
    explicit SilentServer(const QHostAddress &at = QHostAddress::LocalHost, quint16 port = 0);
    QString url() const;

private:
    QTcpServer m_server;
};

// An address on loopback where nothing listens.
QString unreachableUrl();
