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
    CannedServer();

    QString url() const;

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
    SilentServer();
    QString url() const;

private:
    QTcpServer m_server;
};

// An address on loopback where nothing listens.
QString unreachableUrl();
