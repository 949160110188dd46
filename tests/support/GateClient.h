#pragma once

// A gate for the server tests, on the wire's texts and headers: the commands a station sends, as
// bytes, and a client that signs in and verifies over loopback one request per connection
// (RawHttp.h's exchange). Tests that mean "a normal sign-in or verification" use these; tests of
// the parser and the HTTP framing write their odd bytes by hand.

#include "tests/support/RawHttp.h"
#include "wire/command.h"

#include <QString>

namespace qavtest {

// A command as a station puts it on the wire.
inline QByteArray gateText(const wire::Command &command)
{
    return wire::commandText(command).toUtf8();
}

inline QByteArray signInText(const QString &operatorId, const QString &password)
{
    return gateText(wire::operatorSignIn(operatorId, password));
}

inline QByteArray placeSignInText(const QString &placeCode)
{
    return gateText(wire::placeSignIn(placeCode));
}

inline QByteArray verifyText(const QString &mode, const QString &ticket,
                             const QString &operatorId = QStringLiteral("gate01"),
                             const QString &bizcode = QStringLiteral("GRVM0001"))
{
    return gateText(wire::verification(mode, bizcode, ticket, operatorId));
}

inline QByteArray summaryText(const QString &bizcode = QStringLiteral("GRVM0001"))
{
    return gateText(wire::summary(bizcode));
}

// One gate of a running server: the operator's sign-in keeps the session key and the operator,
// the place code's the performance; verifications then go with both. Failures are in the
// replies it returns (status 0 when nothing came).
class GateClient
{
public:
    explicit GateClient(quint16 port, QString from = {}) : m_port(port), m_from(std::move(from)) {}

    RawReply signIn(const QString &operatorId, const QString &password)
    {
        const RawReply reply = send(signInText(operatorId, password));
        m_operatorId = operatorId;
        m_sessionKey = reply.column(QStringLiteral("SessionKey")).toLatin1();
        return reply;
    }

    RawReply signInPlace(const QString &placeCode)
    {
        const RawReply reply = send(placeSignInText(placeCode));
        m_bizcode = reply.column(QStringLiteral("bizcode"));
        return reply;
    }

    // With a replay key the server answers a repeat with the first answer.
    RawReply verify(const QString &mode, const QString &ticket, const QByteArray &replayKey = {})
    {
        return send(verifyText(mode, ticket, m_operatorId, m_bizcode), replayKey);
    }

    RawReply send(const QByteArray &command, const QByteArray &replayKey = {})
    {
        return exchange(m_port, rawQuery(command, m_sessionKey, replayKey), m_from);
    }

    QByteArray sessionKey() const { return m_sessionKey; }
    QString bizcode() const { return m_bizcode; }

private:
    quint16 m_port;
    QString m_from;
    QByteArray m_sessionKey;
    QString m_operatorId;
    QString m_bizcode = QStringLiteral("GRVM0001");
};

} // namespace qavtest
