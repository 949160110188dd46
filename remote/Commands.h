#pragma once

#include "wire/command.h"

#include <QString>

// The four command texts the station sends, in the station's names; the texts themselves are
// the wire's (command.h), written once for station and server.
namespace Commands {

// The business object on the server that every command is sent to.
inline QString ObjectName()
{
    return QString::fromLatin1(wire::kObjectName);
}

inline QString OperatorSignIn(const QString &operatorId, const QString &password)
{
    return wire::commandText(wire::operatorSignIn(operatorId, password));
}

inline QString PlaceSignIn(const QString &placeCode)
{
    return wire::commandText(wire::placeSignIn(placeCode));
}

inline QString Verification(const QString &mode, const QString &bizCode, const QString &ticketNo,
                            const QString &operatorId)
{
    return wire::commandText(wire::verification(mode, bizCode, ticketNo, operatorId));
}

inline QString Summary(const QString &bizCode)
{
    return wire::commandText(wire::summary(bizCode));
}

} // namespace Commands
