#pragma once

#include <QByteArray>
#include <QString>

namespace qav {

// Salted slow password hashes (Argon2id, interactive limits). Throws std::runtime_error when the
// crypto library cannot start or runs out of memory while hashing.
QByteArray hashPassword(const QString &password);
// Checks in a child process at idle CPU priority; the caller waits. After 1.5 s without an answer
// it is checked again in a second child at low priority, and after 3 s more by the caller itself.
bool verifyPassword(const QByteArray &storedHash, const QString &password);

// A random password for an operator, shown once: 12 letters and digits without the look-alikes
// (0 O 1 l I), easy to read off a screen and type at a station. Throws std::runtime_error when the
// crypto library cannot start.
QString newPassword();

// For tests of what may change while a password is checked: from now on, each check, once done,
// creates the file dir/held and waits until dir/go exists (for a minute at most).
void holdPasswordChecksIn(const QString &dir);

// A valid hash of a random secret, made once, so that an unknown operator id costs as much time
// to refuse as a wrong password.
const QByteArray &dummyPasswordHash();

} // namespace qav
