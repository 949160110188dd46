#pragma once

#include <QString>

namespace qav {

// A sales system's token: 256 random bits from the system's secure generator, shown once when
// made. The database keeps only its hash, found by that hash on every request; the token being
// random and long, a fast hash suffices (nothing can be guessed back from it). Throws
// std::runtime_error when the crypto library cannot start.
struct NewSyncToken
{
    QString token; // what the sales system sends as "Authorization: Bearer <token>"
    QString hash;  // what the database keeps
};

NewSyncToken newSyncToken();
QString syncTokenHash(const QString &token);

} // namespace qav
