#include "remote/DataSpace.h"

#include "remote/ReportFailure.h"
#include "remote/ServerCertificates.h"
#include "shell/Global.h"
#include "shell/QavError.h"
#include "wire/headers.h"

#include <QCoreApplication>
#include <QCursor>
#include <QEventLoop>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QTimer>

namespace {

int s_timeoutMs = BusinessObject::defaultTimeoutMs;
bool s_busy = false;

// One manager per thread keeps the connection to the server alive between handlers.
QNetworkAccessManager *manager()
{
    static thread_local QNetworkAccessManager *nam = nullptr;
    if (!nam) {
        QCoreApplication *app = QCoreApplication::instance();
        const bool mainThread = app && app->thread() == QThread::currentThread();
        nam = new QNetworkAccessManager(mainThread ? app : nullptr);
        // Kept TLS connections are closed while the program can still do so cleanly.
        if (mainThread)
            QObject::connect(app, &QCoreApplication::aboutToQuit, nam,
                             &QNetworkAccessManager::clearConnectionCache);
    }
    return nam;
}

} // namespace

void BusinessObject::closeConnections()
{
    manager()->clearConnectionCache();
}

namespace {

class WaitCursor
{
public:
    WaitCursor() : m_gui(qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
    {
        if (m_gui)
            QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    }
    ~WaitCursor()
    {
        if (m_gui)
            QGuiApplication::restoreOverrideCursor();
    }

private:
    bool m_gui;
};

class BusyFlag
{
public:
    BusyFlag()
    {
        if (s_busy)
            throw QavError(QavError::ChannelBusy,
                           QStringLiteral("이전 요청이 끝나기 전에 새 요청을 보낼 수 없습니다"));
        s_busy = true;
    }
    ~BusyFlag() { s_busy = false; }
};

// The text of an error body {"error": "<text>"}; empty when the body is not one.
QString serverOwnText(const QByteArray &body)
{
    const QJsonDocument doc = QJsonDocument::fromJson(body);
    if (doc.isObject() && doc.object().value(u"error").isString())
        return doc.object().value(u"error").toString();
    return QString();
}

QString serverErrorText(const QByteArray &body, const char *fallback = "")
{
    const QString own = serverOwnText(body);
    if (!own.isEmpty())
        return own;
    const QString text = QString::fromUtf8(body.left(200)).trimmed();
    return text.isEmpty() ? QString::fromUtf8(fallback) : text;
}

} // namespace

BusinessObject::BusinessObject(QString name, QUrl server, QString sessionKey)
    : m_name(std::move(name)), m_server(std::move(server)), m_sessionKey(std::move(sessionKey))
{}

void BusinessObject::setTimeoutMs(int ms)
{
    s_timeoutMs = ms;
}

int BusinessObject::timeoutMs()
{
    return s_timeoutMs;
}

std::unique_ptr<RecordSet> BusinessObject::Query(const QString &command,
                                                 const QueryOptions &options)
{
    BusyFlag busy;

    QUrl url = m_server;
    QString path = url.path();
    if (path.endsWith(u'/'))
        path.chop(1);
    url.setPath(path + wire::queryPath(m_name));

    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("text/plain; charset=utf-8"));
    // The server takes business-object calls only with this header, which a web page cannot
    // add to a request to another site.
    request.setRawHeader(wire::kClientHeader, wire::kStationClient);
    if (!m_sessionKey.isEmpty())
        request.setRawHeader(wire::kAuthorizationHeader,
                             wire::kBearerPrefix + m_sessionKey.toUtf8());
    if (!options.idempotencyKey.isEmpty())
        request.setRawHeader(wire::kReplayKeyHeader, options.idempotencyKey);
    if (url.scheme() == u"https")
        request.setSslConfiguration(ServerCertificates::configuration());
    std::unique_ptr<QNetworkReply> reply(manager()->post(request, command.toUtf8()));
    QList<QSslError> certificateErrors;
    QObject::connect(reply.get(), &QNetworkReply::sslErrors, reply.get(),
                     [&](const QList<QSslError> &errors) { certificateErrors += errors; });
    // The answer is taken piece by piece and given up once it passes the bound, so a runaway
    // answer never sits whole in memory.
    reply->setReadBufferSize(64 * 1024);

    QByteArray body;
    bool timedOut = false;
    bool tooLarge = false;
    auto giveUpTooLarge = [&] {
        tooLarge = true;
        body.clear();
        reply->abort();
    };
    auto take = [&] {
        while (!tooLarge && reply->bytesAvailable() > 0) {
            body += reply->read(qMin(reply->bytesAvailable(), maxAnswerBytes + 1 - body.size()));
            if (body.size() > maxAnswerBytes)
                giveUpTooLarge();
        }
    };

    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        reply->abort();
    });
    QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, &loop, [&] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (!tooLarge && length.isValid() && length.toLongLong() > maxAnswerBytes)
            giveUpTooLarge();
    });
    QObject::connect(reply.get(), &QIODevice::readyRead, &loop, take);
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    const int waitMs = options.timeoutMs > 0 ? qMin(options.timeoutMs, s_timeoutMs) : s_timeoutMs;
    if (!reply->isFinished()) {
        WaitCursor cursor;
        deadline.start(waitMs);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    take();

    try {
        if (tooLarge)
            throw QavError(
                QavError::AnswerTooLarge,
                QStringLiteral("서버의 응답이 %1 MB보다 큽니다").arg(maxAnswerBytes >> 20));
        if (timedOut)
            throw QavError(
                QavError::ServerTimeout,
                QStringLiteral("서버가 %1초 안에 응답하지 않았습니다").arg(waitMs / 1000.0));
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!certificateErrors.isEmpty() ||
            reply->error() == QNetworkReply::SslHandshakeFailedError)
            throw QavError(QavError::CertificateRefused,
                           ServerCertificates::refusal(certificateErrors, reply->errorString()));
        if (!status.isValid())
            throw QavError(
                QavError::ServerUnreachable,
                QStringLiteral("서버에 연결할 수 없습니다: %1").arg(reply->errorString()));
        // The server's own words say what the operator has to do (sign in again).
        if (status.toInt() == 401)
            throw QavError(
                QavError::SessionRefused,
                QStringLiteral("%1 (HTTP 401)").arg(serverErrorText(body, "다시 로그인하세요")))
                .withServerAnswer(401, serverOwnText(body).isEmpty()
                                           ? QStringLiteral("다시 로그인하세요")
                                           : serverOwnText(body));
        if (status.toInt() != 200)
            throw QavError(QavError::ServerRefused,
                           QStringLiteral("서버가 요청을 거절했습니다 (HTTP %1): %2")
                               .arg(status.toInt())
                               .arg(serverErrorText(body)))
                .withServerAnswer(status.toInt(), serverOwnText(body));
        return std::make_unique<RecordSet>(RecordSet::fromJson(body));
    } catch (const QavError &e) {
        reportFailure(url, e.description());
        throw;
    }
}

std::unique_ptr<BusinessObject> DataSpace::CreateObject(const QString &progId,
                                                        const QString &serverUrl)
{
    const QUrl url(serverUrl, QUrl::StrictMode);
    if (!url.isValid() || (url.scheme() != u"http" && url.scheme() != u"https") ||
        url.host().isEmpty())
        throw QavError(QavError::BadServerAddress,
                       QStringLiteral("서버 주소가 올바르지 않습니다: %1").arg(serverUrl));
    return std::make_unique<BusinessObject>(progId, url, g_SessionKey);
}
