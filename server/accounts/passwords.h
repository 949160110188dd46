#pragma once

#include <QByteArray>
#include <QString>

namespace qav {

// Salted slow password hashes (Argon2id, interactive limits). Throws std::runtime_error when the
// crypto library cannot start or runs out of memory while hashing.
QByteArray hashPassword(const QString &password);
// Checks on a thread of its own at idle CPU priority; the caller waits. After a second without
// idle CPU (two, once the check has started) it is checked again on a thread at low priority.
bool verifyPassword(const QByteArray &storedHash, const QString &password);

// A valid hash of a random secret, made once, so that an unknown operator id costs as much time
// to refuse as a wrong password.
const QByteArray &dummyPasswordHash();

} // namespace qav
