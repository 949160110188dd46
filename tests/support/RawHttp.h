#pragma once

// Raw HTTP/1.1 for server tests that need what a client library hides: pipelined requests,
// answers read off the wire as they come, sockets left unread, a chosen source address.

#include "wire/command.h"
#include "wire/headers.h"

#include <QByteArray>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QRegularExpression>
#include <QStringList>
#include <QTcpSocket>

namespace qavtest {

// A POST of one command text to the business object, with a session key and a replay key when
// they are given.
inline QByteArray rawQuery(const QByteArray &command, const QByteArray &sessionKey = {},
                           const QByteArray &replayKey = {})
{
    auto header = [](const char *name, const QByteArray &value) {
        return QByteArray(name) + ": " + value + "\r\n";
    };
    return "POST " + wire::queryPath(QString::fromLatin1(wire::kObjectName)).toLatin1() +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + header(wire::kClientHeader, wire::kStationClient) +
           header("Content-Length", QByteArray::number(command.size())) +
           (sessionKey.isEmpty()
                ? QByteArray()
                : header(wire::kAuthorizationHeader, wire::kBearerPrefix + sessionKey)) +
           (replayKey.isEmpty() ? QByteArray() : header(wire::kReplayKeyHeader, replayKey)) +
           "\r\n" + command;
}

// One answer as it came off the wire; status 0 when none came.
struct RawReply
{
    int status = 0;
    QByteArray head; // status line and header lines, without the blank line
    QByteArray body;

    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    QStringList columns() const { return json().value(u"columns").toVariant().toStringList(); }
    // The named column of the first row; empty when there is none.
    QString column(const QString &name) const
    {
        const qsizetype at = columns().indexOf(name);
        return at < 0 ? QString() : json().value(u"rows")[0][int(at)].toString();
    }
    // The station's ErrCode of a record set.
    QString code() const { return column(QStringLiteral("ErrCode")); }
    // The text of a refusal.
    QString error() const { return json().value(u"error").toString(); }
};

// Takes one Content-Length framed answer off the front of buffer, if it is complete.
inline bool takeRawReply(QByteArray &buffer, RawReply &reply)
{
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return false;
    static const QRegularExpression lengthRe(QStringLiteral("(?i)\r\ncontent-length:\\s*(\\d+)"));
    const auto m = lengthRe.match(QString::fromLatin1(buffer.left(headEnd)));
    const qsizetype length = m.hasMatch() ? m.captured(1).toLongLong() : 0;
    if (buffer.size() < headEnd + 4 + length)
        return false;
    reply.head = buffer.left(headEnd);
    reply.status = buffer.mid(9, 3).toInt();
    reply.body = buffer.mid(headEnd + 4, length);
    buffer.remove(0, headEnd + 4 + length);
    return true;
}

// Writes requests (one or several, pipelined) and reads up to `answers` replies; fewer when
// nothing more comes for waitMs.
inline QList<RawReply> exchangePipelined(QTcpSocket &socket, const QByteArray &requests,
                                         int answers, int waitMs = 30000)
{
    socket.write(requests);
    QByteArray buffer;
    QList<RawReply> replies;
    RawReply reply;
    while (replies.size() < answers) {
        if (takeRawReply(buffer, reply)) {
            replies << reply;
            continue;
        }
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(waitMs))
            break;
        buffer += socket.readAll();
    }
    return replies;
}

inline RawReply exchange(QTcpSocket &socket, const QByteArray &request, int waitMs = 30000)
{
    return exchangePipelined(socket, request, 1, waitMs).value(0);
}

// One request on a connection of its own, from the given loopback source address when one is
// given; with dropBeforeAnswer the connection is closed once the request is sent.
inline RawReply exchange(quint16 port, const QByteArray &request, const QString &from = {},
                         bool dropBeforeAnswer = false)
{
    QTcpSocket socket;
    if (!from.isEmpty() && !socket.bind(QHostAddress(from)))
        return {};
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(10000))
        return {};
    if (dropBeforeAnswer) {
        socket.write(request);
        socket.waitForBytesWritten(10000);
        socket.abort();
        return {};
    }
    return exchange(socket, request);
}

} // namespace qavtest
