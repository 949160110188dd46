#pragma once

#include <QSslConfiguration>
#include <QString>

#include <optional>

namespace qav {

// The certificate and key HTTPS is served with. The certificate file holds PEM certificates, the
// server's own first and any intermediate ones after it; the key file one unencrypted PEM key
// (RSA or EC). Before anything is served, a handshake over loopback proves that the two belong
// together. Returns nullopt with the reason in *error when the files cannot be used.
std::optional<QSslConfiguration> loadServerTls(const QString &certFile, const QString &keyFile,
                                               QString *error);

} // namespace qav
