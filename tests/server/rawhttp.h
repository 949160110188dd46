#pragma once

// Raw HTTP/1.1 for server tests that need what a client library hides: pipelined requests,
// answers read off the wire as they come, sockets left unread.

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>

namespace qavtest {

// A POST of one command text to the business object, with a session key when one is given.
inline QByteArray rawQuery(const QByteArray &command, const QByteArray &sessionKey = {})
{
    return "POST /rds/Velmor.member/Query HTTP/1.1\r\nHost: 127.0.0.1\r\nX-QAV-Client: station\r\n"
           "Content-Length: "
           + QByteArray::number(command.size()) + "\r\n"
           + (sessionKey.isEmpty() ? QByteArray() : "Authorization: Bearer " + sessionKey + "\r\n")
           + "\r\n" + command;
}

struct RawReply
{
    int status = 0;
    QByteArray body;

    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    QStringList columns() const { return json().value(u"columns").toVariant().toStringList(); }
    // The named column of the first row; empty when there is none.
    QString column(const QString &name) const
    {
        const qsizetype at = columns().indexOf(name);
        return at < 0 ? QString() : json().value(u"rows")[0][int(at)].toString();
    }
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
    reply.status = buffer.mid(9, 3).toInt();
    reply.body = buffer.mid(headEnd + 4, length);
    buffer.remove(0, headEnd + 4 + length);
    return true;
}

} // namespace qavtest
