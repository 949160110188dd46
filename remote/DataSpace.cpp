#include "remote/DataSpace.h"

#include "remote/ReportFailure.h"
#include "remote/ServerAddresses.h"
#include "remote/ServerCertificates.h"
#include "shell/Global.h"
#include "shell/QavError.h"
#include "wire/headers.h"

#include <QCoreApplication>
#include <QCursor>
#include <QDeadlineTimer>
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

namespace {

// One request to one address, and what came of it.
struct Attempt
{
    QByteArray body;
    QVariant status; // the HTTP status; invalid when no answer came
    QList<QSslError> certificateErrors;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QString errorText;
    bool timedOut = false;   // the caller's whole wait is over
    bool passedOver = false; // this address did not connect or answer within its share
    bool tooLarge = false;

    // Nothing reached a server that answers: the next address may.
    bool unanswered() const
    {
        return !tooLarge && !timedOut && !status.isValid() && certificateErrors.isEmpty() &&
               error != QNetworkReply::SslHandshakeFailedError;
    }
};

// connectMs and answerMs (0: none) bound this address's share of the wait; waitMs bounds it all.
Attempt send(const QNetworkRequest &request, const QByteArray &payload, int waitMs, int connectMs,
             int answerMs)
{
    Attempt a;
    std::unique_ptr<QNetworkReply> reply(manager()->post(request, payload));
    QObject::connect(reply.get(), &QNetworkReply::sslErrors, reply.get(),
                     [&](const QList<QSslError> &errors) { a.certificateErrors += errors; });
    // The answer is taken piece by piece and given up once it passes the bound, so a runaway
    // answer never sits whole in memory.
    reply->setReadBufferSize(64 * 1024);
    const qint64 maxBytes = BusinessObject::maxAnswerBytes;
    auto giveUpTooLarge = [&] {
        a.tooLarge = true;
        a.body.clear();
        reply->abort();
    };
    auto take = [&] {
        while (!a.tooLarge && reply->bytesAvailable() > 0) {
            a.body += reply->read(qMin(reply->bytesAvailable(), maxBytes + 1 - a.body.size()));
            if (a.body.size() > maxBytes)
                giveUpTooLarge();
        }
    };

    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
        a.timedOut = true;
        reply->abort();
    });
    QTimer share;
    share.setSingleShot(true);
    QObject::connect(&share, &QTimer::timeout, &loop, [&] {
        a.passedOver = true;
        reply->abort();
    });
    if (answerMs > 0)
        QObject::connect(reply.get(), &QNetworkReply::requestSent, &share,
                         [&] { share.start(answerMs); });
    QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, &loop, [&] {
        share.stop();
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (!a.tooLarge && length.isValid() && length.toLongLong() > maxBytes)
            giveUpTooLarge();
    });
    QObject::connect(reply.get(), &QIODevice::readyRead, &loop, take);
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished()) {
        WaitCursor cursor;
        deadline.start(waitMs);
        if (connectMs > 0 && connectMs < waitMs)
            share.start(connectMs);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    take();
    // The whole wait ran out while this address had its share: the wait, not the address, ended.
    if (a.passedOver && a.timedOut)
        a.passedOver = false;
    a.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    a.error = reply->error();
    a.errorText = reply->errorString();
    return a;
}

} // namespace

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
    const QByteArray payload = command.toUtf8();

    const int waitMs = options.timeoutMs > 0 ? qMin(options.timeoutMs, s_timeoutMs) : s_timeoutMs;
    QDeadlineTimer wait(waitMs);
    const QString host = url.host();
    const QList<QHostAddress> addresses = ServerAddresses::of(host, waitMs);
    Attempt a;
    if (addresses.size() <= 1) {
        a = send(request, payload, int(qMax<qint64>(1, wait.remainingTime())), 0, 0);
    } else {
        // Each address in turn, the same request with the same Idempotency-Key, so a scan the
        // server that went silent did take is answered from its record, not taken twice.
        bool answered = false;
        // Round after round while the wait lasts and some address was only slow: it may answer
        // the next time; when all refused at once, no round will do better.
        for (bool slow = true; slow && !answered && !a.timedOut;) {
            slow = false;
            for (const QHostAddress &address : addresses) {
                a = send(ServerAddresses::to(request, address), payload,
                         int(qMax<qint64>(1, wait.remainingTime())), ServerAddresses::connectMs,
                         ServerAddresses::answerMs);
                if (!a.unanswered() && !a.passedOver) {
                    ServerAddresses::answered(host, address);
                    answered = true;
                    break;
                }
                slow = slow || a.passedOver;
                if (wait.hasExpired()) {
                    a.timedOut = true;
                    break;
                }
            }
        }
    }

    try {
        if (a.tooLarge)
            throw QavError(
                QavError::AnswerTooLarge,
                QStringLiteral("서버의 응답이 %1 MB보다 큽니다").arg(maxAnswerBytes >> 20));
        if (a.timedOut)
            throw QavError(
                QavError::ServerTimeout,
                QStringLiteral("서버가 %1초 안에 응답하지 않았습니다").arg(waitMs / 1000.0));
        if (!a.certificateErrors.isEmpty() || a.error == QNetworkReply::SslHandshakeFailedError)
            throw QavError(QavError::CertificateRefused,
                           ServerCertificates::refusal(a.certificateErrors, a.errorText));
        if (!a.status.isValid())
            throw QavError(QavError::ServerUnreachable,
                           QStringLiteral("서버에 연결할 수 없습니다: %1").arg(a.errorText));
        const QByteArray &body = a.body;
        const int status = a.status.toInt();
        // The server's own words say what the operator has to do (sign in again).
        if (status == 401)
            throw QavError(
                QavError::SessionRefused,
                QStringLiteral("%1 (HTTP 401)").arg(serverErrorText(body, "다시 로그인하세요")))
                .withServerAnswer(401, serverOwnText(body).isEmpty()
                                           ? QStringLiteral("다시 로그인하세요")
                                           : serverOwnText(body));
        if (status != 200)
            throw QavError(QavError::ServerRefused,
                           QStringLiteral("서버가 요청을 거절했습니다 (HTTP %1): %2")
                               .arg(status)
                               .arg(serverErrorText(body)))
                .withServerAnswer(status, serverOwnText(body));
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
