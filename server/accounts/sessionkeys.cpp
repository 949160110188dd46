#include "server/accounts/sessionkeys.h"

#include <sodium.h>

#include <stdexcept>

namespace qav {

namespace {

constexpr int kKeyBytes = 32;

} // namespace

SessionKey newSessionKey()
{
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium could not start");
    QByteArray raw(kKeyBytes, Qt::Uninitialized);
    randombytes_buf(raw.data(), size_t(raw.size()));
    const QString key = QString::fromLatin1(
        raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    sodium_memzero(raw.data(), size_t(raw.size()));
    return {key, sessionKeyHash(key)};
}

QString sessionKeyHash(const QString &key)
{
    // The key is random and long, so a fast hash is enough: nothing can be guessed back from it.
    const QByteArray text = key.toUtf8();
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char *>(text.constData()),
                       static_cast<unsigned long long>(text.size()));
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(digest), sizeof digest).toHex());
}

QString bearerKey(const QByteArray &authorization)
{
    const QByteArray value = authorization.trimmed();
    const qsizetype space = value.indexOf(' ');
    if (space <= 0 || value.left(space).toLower() != "bearer")
        return {};
    const QByteArray key = value.mid(space + 1).trimmed();
    // Base64url text only, of a sane length; anything else cannot be one of ours.
    if (key.isEmpty() || key.size() > 256)
        return {};
    for (const char c : key) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '=';
        if (!ok)
            return {};
    }
    return QString::fromLatin1(key);
}

} // namespace qav
