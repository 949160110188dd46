#pragma once

#include <QByteArray>
#include <QString>

namespace qav {

// Keys of signed-in sessions: 256 random bits from the system's secure generator, handed to the
// station once as text. The server keeps only their hash, so a copy of the database cannot be used
// to act as a signed-in gate. Throws std::runtime_error when the crypto library cannot start.
struct SessionKey
{
    QString key;  // what the station sends back as "Authorization: Bearer <key>"
    QString hash; // what the database keeps
};

SessionKey newSessionKey();
QString sessionKeyHash(const QString &key);

// The key of an "Authorization: Bearer <key>" header value; empty when the value has another form.
QString bearerKey(const QByteArray &authorization);

} // namespace qav
