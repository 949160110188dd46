#pragma once

#include <QString>

// The four command texts the station sends. Every value goes between apostrophes as it is, not
// trimmed; an apostrophe inside a value is doubled so that it cannot end its argument.
namespace Commands {

// The business object on the server that every command is sent to.
QString ObjectName();

QString OperatorSignIn(const QString &operatorId, const QString &password);
QString PlaceSignIn(const QString &placeCode);
QString Verification(const QString &mode, const QString &bizCode, const QString &ticketNo,
                     const QString &operatorId);
QString Summary(const QString &bizCode);

// 'value' with its apostrophes doubled.
QString quoted(const QString &value);

} // namespace Commands
