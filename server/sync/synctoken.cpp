#include "server/sync/synctoken.h"

#include <QByteArray>

#include <sodium.h>

#include <stdexcept>

namespace qav {

NewSyncToken newSyncToken()
{
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium could not start");
    QByteArray raw(32, Qt::Uninitialized);
    randombytes_buf(raw.data(), size_t(raw.size()));
    // The prefix tells a leaked token's kind to whoever finds it (and to secret scanners).
    const QString token =
        u"qavs_"_qs + QString::fromLatin1(raw.toBase64(QByteArray::Base64UrlEncoding |
                                                       QByteArray::OmitTrailingEquals));
    sodium_memzero(raw.data(), size_t(raw.size()));
    return {token, syncTokenHash(token)};
}

QString syncTokenHash(const QString &token)
{
    const QByteArray text = token.toUtf8();
    unsigned char digest[crypto_generichash_BYTES];
    crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char *>(text.data()),
                       static_cast<unsigned long long>(text.size()), nullptr, 0);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(digest), sizeof digest).toHex());
}

} // namespace qav
