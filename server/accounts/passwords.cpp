#include "passwords.h"

#include <sodium.h>

#include <stdexcept>

namespace qav {

namespace {

void ensureSodium()
{
    static const bool ready = sodium_init() >= 0;
    if (!ready)
        throw std::runtime_error("libsodium could not start");
}

} // namespace

QByteArray hashPassword(const QString &password)
{
    ensureSodium();
    const QByteArray pw = password.toUtf8();
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, pw.constData(), static_cast<unsigned long long>(pw.size()),
                          crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE)
        != 0)
        throw std::runtime_error("password hashing ran out of memory");
    return QByteArray(out);
}

bool verifyPassword(const QByteArray &storedHash, const QString &password)
{
    ensureSodium();
    const QByteArray pw = password.toUtf8();
    const QByteArray hash = storedHash; // NUL-terminated copy for the C API
    return crypto_pwhash_str_verify(hash.constData(), pw.constData(),
                                    static_cast<unsigned long long>(pw.size()))
        == 0;
}

const QByteArray &dummyPasswordHash()
{
    static const QByteArray hash = [] {
        ensureSodium();
        unsigned char secret[32];
        randombytes_buf(secret, sizeof secret);
        return hashPassword(QString::fromLatin1(QByteArray(reinterpret_cast<char *>(secret),
                                                           sizeof secret)
                                                    .toHex()));
    }();
    return hash;
}

} // namespace qav
