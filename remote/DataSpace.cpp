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

#include <algorithm>
#include <functional>
#include <list>

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
    bool timedOut = false; // the caller's whole wait is over
    bool tooLarge = false;

    // Nothing reached a server that answers: the next address may.
    bool unanswered() const
    {
        return !tooLarge && !timedOut && !status.isValid() && certificateErrors.isEmpty() &&
               error != QNetworkReply::SslHandshakeFailedError;
    }
};

// A request on its way to one address.
struct Flight
{
    QHostAddress address; // null: to the URL's own host
    std::unique_ptr<QNetworkReply> reply;
    QTimer share;
    Attempt a;
    bool handedOn = false; // the next address has been asked on this one's account
};

// Sends the request to the first address, and to the next one whenever an address refuses, or
// does not connect within connectMs or answer within answerMs. One that was only slow is not
// given up: its answer still counts, and the first answer of any address is the one returned
// (the others are abandoned), so a server busy with a slow call is not asked it a second time.
// Without several addresses, the request goes to the URL's host with the whole wait. answeredBy
// gets the address that answered, null when none did or there was only the host.
Attempt sendTo(const QNetworkRequest &request, const QByteArray &payload,
               const QList<QHostAddress> &addresses, int waitMs, QHostAddress *answeredBy)
{
    const bool several = addresses.size() > 1;
    const qint64 maxBytes = BusinessObject::maxAnswerBytes;
    std::list<Flight> flights;
    qsizetype next = 0;
    Attempt result;
    bool done = false;
    QEventLoop loop;

    auto finish = [&](const Attempt &a, const QHostAddress &address) {
        done = true;
        result = a;
        *answeredBy = a.unanswered() ? QHostAddress() : address;
        for (Flight &f : flights) {
            if (!f.reply->isFinished())
                f.reply->abort();
        }
        loop.quit();
    };
    // The answer is taken piece by piece and given up once it passes the bound, so a runaway
    // answer never sits whole in memory.
    auto take = [&](Flight &f) {
        while (!f.a.tooLarge && f.reply->bytesAvailable() > 0) {
            f.a.body +=
                f.reply->read(qMin(f.reply->bytesAvailable(), maxBytes + 1 - f.a.body.size()));
            if (f.a.body.size() > maxBytes) {
                f.a.tooLarge = true;
                f.a.body.clear();
                f.reply->abort();
            }
        }
    };
    std::function<void()> start;
    auto handOn = [&](Flight &f) {
        if (f.handedOn)
            return;
        f.handedOn = true;
        if (next < addresses.size())
            start();
    };
    auto ended = [&](Flight &f) {
        if (done)
            return;
        take(f);
        f.a.status = f.reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        f.a.error = f.reply->error();
        f.a.errorText = f.reply->errorString();
        f.share.stop();
        if (!f.a.unanswered()) {
            finish(f.a, f.address);
            return;
        }
        handOn(f);
        // Nothing left to ask and nobody still asked: the last failure stands.
        const bool waiting = std::any_of(flights.begin(), flights.end(),
                                         [](const Flight &g) { return !g.reply->isFinished(); });
        if (!done && !waiting && next == addresses.size())
            finish(f.a, f.address);
    };
    start = [&] {
        Flight *f = &flights.emplace_back();
        if (several) {
            f->address = addresses[next];
            f->reply.reset(manager()->post(ServerAddresses::to(request, f->address), payload));
        } else {
            f->reply.reset(manager()->post(request, payload));
        }
        next = several ? next + 1 : addresses.size();
        QNetworkReply *reply = f->reply.get();
        reply->setReadBufferSize(64 * 1024);
        QObject::connect(reply, &QNetworkReply::sslErrors, &loop,
                         [f](const QList<QSslError> &errors) { f->a.certificateErrors += errors; });
        QObject::connect(reply, &QNetworkReply::metaDataChanged, &loop, [f, maxBytes] {
            f->share.stop();
            const QVariant length = f->reply->header(QNetworkRequest::ContentLengthHeader);
            if (!f->a.tooLarge && length.isValid() && length.toLongLong() > maxBytes) {
                f->a.tooLarge = true;
                f->reply->abort();
            }
        });
        QObject::connect(reply, &QIODevice::readyRead, &loop, [&take, f] { take(*f); });
        QObject::connect(reply, &QNetworkReply::finished, &loop, [&ended, f] { ended(*f); });
        if (several) {
            f->share.setSingleShot(true);
            QObject::connect(&f->share, &QTimer::timeout, &loop, [&handOn, f] { handOn(*f); });
            QObject::connect(reply, &QNetworkReply::requestSent, &loop,
                             [f] { f->share.start(ServerAddresses::answerMs); });
            f->share.start(ServerAddresses::connectMs);
        }
        if (reply->isFinished())
            QTimer::singleShot(0, &loop, [&ended, f] { ended(*f); });
    };

    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
        Attempt timedOut;
        timedOut.timedOut = true;
        finish(timedOut, QHostAddress());
    });
    WaitCursor cursor;
    deadline.start(waitMs);
    start();
    if (!done)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    return result;
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
    // Each address gets the same request with the same Idempotency-Key, so a scan that a server
    // gone silent did take is answered from its record, not taken twice.
    QHostAddress answeredBy;
    const Attempt a = sendTo(request, payload, addresses,
                             int(qMax<qint64>(1, wait.remainingTime())), &answeredBy);
    if (!answeredBy.isNull())
        ServerAddresses::answered(host, answeredBy);

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
