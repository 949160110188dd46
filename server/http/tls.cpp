#include "server/http/tls.h"

#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QSslCertificate>
#include <QSslCipher>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTimer>

namespace qav {

namespace {

constexpr int kSelfCheckMs = 10000;

bool readFile(const QString &path, const QString &what, QByteArray *out, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the TLS %1 file %2: %3")
                     .arg(what, path, file.errorString());
        return false;
    }
    *out = file.readAll();
    return true;
}

// Empty when a client completes a handshake with the configuration, else why it could not.
QString handshakeFailure(const QSslConfiguration &config)
{
    QSslServer server;
    server.setSslConfiguration(config);
    if (!server.listen(QHostAddress::LocalHost, 0))
        return server.errorString();

    QEventLoop loop;
    QString failure;
    QObject::connect(&server, &QSslServer::errorOccurred, &loop,
                     [&](QSslSocket *socket, QAbstractSocket::SocketError) {
                         failure = socket->errorString();
                         loop.quit();
                     });
    QSslSocket client;
    client.setPeerVerifyMode(QSslSocket::VerifyNone);
    QObject::connect(&client, &QSslSocket::encrypted, &loop, &QEventLoop::quit);
    QObject::connect(&client, &QSslSocket::errorOccurred, &loop, [&] {
        if (failure.isEmpty())
            failure = client.errorString();
        loop.quit();
    });
    QTimer::singleShot(kSelfCheckMs, &loop, [&] {
        failure = QStringLiteral("the test handshake did not end");
        loop.quit();
    });
    client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), server.serverPort());
    loop.exec();
    client.abort();
    return client.isEncrypted() ? QString() : failure;
}

// TLS 1.3's suites, and TLS 1.2's with an ephemeral key exchange (forward secrecy) and
// authenticated encryption: no static RSA, no CBC with SHA-1, no pre-shared keys.
QList<QSslCipher> strongCiphers()
{
    QList<QSslCipher> kept;
    for (const QSslCipher &cipher : QSslConfiguration::supportedCiphers()) {
        const QString name = cipher.name();
        const bool tls13 = cipher.protocol() == QSsl::TlsV1_3 || name.startsWith(u"TLS_");
        const bool ecdheAead = name.startsWith(u"ECDHE-") && !name.contains(u"PSK") &&
                               (name.contains(u"-GCM-") || name.contains(u"CHACHA20-POLY1305"));
        if (tls13 || ecdheAead)
            kept.append(cipher);
    }
    return kept;
}

} // namespace

std::optional<QSslConfiguration> loadServerTls(const QString &certFile, const QString &keyFile,
                                               QString *error)
{
    QByteArray certPem;
    QByteArray keyPem;
    if (!readFile(certFile, QStringLiteral("certificate"), &certPem, error) ||
        !readFile(keyFile, QStringLiteral("key"), &keyPem, error))
        return std::nullopt;

    const QList<QSslCertificate> chain = QSslCertificate::fromData(certPem, QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull()) {
        *error = QStringLiteral("no PEM certificate in %1").arg(certFile);
        return std::nullopt;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (chain.first().expiryDate() < now || chain.first().effectiveDate() > now) {
        *error = QStringLiteral("the certificate in %1 is valid only from %2 to %3")
                     .arg(certFile, chain.first().effectiveDate().toString(Qt::ISODate),
                          chain.first().expiryDate().toString(Qt::ISODate));
        return std::nullopt;
    }

    QSslKey key;
    for (QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec}) {
        key = QSslKey(keyPem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull())
            break;
    }
    if (key.isNull()) {
        *error = QStringLiteral("no unencrypted PEM private key (RSA or EC) in %1").arg(keyFile);
        return std::nullopt;
    }

    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificateChain(chain);
    config.setPrivateKey(key);
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    config.setProtocol(QSsl::TlsV1_2OrLater);
    config.setCiphers(strongCiphers());

    const QString failure = handshakeFailure(config);
    if (!failure.isEmpty()) {
        *error = QStringLiteral("the key in %1 does not serve the certificate in %2: %3")
                     .arg(keyFile, certFile, failure);
        return std::nullopt;
    }
    return config;
}

} // namespace qav
