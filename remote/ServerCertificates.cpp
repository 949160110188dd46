#include "remote/ServerCertificates.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSslCertificate>

#include <optional>

namespace ServerCertificates {

namespace {

struct State
{
    std::optional<QString> overridden;
    std::optional<QSslConfiguration> configuration; // built on first use
    QString caProblem; // why the own CA is not trusted, empty when it is
};

State &state()
{
    static State s;
    return s;
}

} // namespace

QString caFile()
{
    if (state().overridden)
        return *state().overridden;
    const QString relative = QStringLiteral(QAV_SERVER_CA_RELPATH);
    if (relative.isEmpty())
        return QString();
    // Relative to the program, so an installed station and one in its build tree both find it.
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + u'/' + relative);
}

void overrideCaFile(const QString &file)
{
    state().overridden = file;
    state().configuration.reset();
}

QSslConfiguration configuration()
{
    State &s = state();
    if (s.configuration)
        return *s.configuration;

    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    config.setProtocol(QSsl::TlsV1_2OrLater);
    s.caProblem.clear();
    const QString file = caFile();
    if (!file.isEmpty()) {
        QFile f(file);
        const QList<QSslCertificate> own = f.open(QIODevice::ReadOnly)
                                               ? QSslCertificate::fromData(f.readAll(), QSsl::Pem)
                                               : QList<QSslCertificate>();
        if (own.isEmpty()) {
            s.caProblem = QStringLiteral("CA 파일을 읽을 수 없습니다 / cannot read the CA file %1")
                              .arg(QDir::toNativeSeparators(file));
        } else {
            // Naming CAs ends the system's on-demand lookup, so its CAs are named as well.
            config.setCaCertificates(QSslConfiguration::systemCaCertificates() + own);
        }
    }
    s.configuration = config;
    return config;
}

QString refusal(const QList<QSslError> &errors, const QString &fallback)
{
    QStringList details;
    for (const QSslError &e : errors)
        details << e.errorString();
    if (details.isEmpty())
        details << fallback;
    details.removeDuplicates();
    if (!state().caProblem.isEmpty())
        details << state().caProblem;
    return QStringLiteral("서버 인증서를 확인할 수 없어 연결하지 않았습니다 / "
                          "the server's certificate could not be verified, nothing was sent: %1")
        .arg(details.join(QStringLiteral("; ")));
}

} // namespace ServerCertificates
