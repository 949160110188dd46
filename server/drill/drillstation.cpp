#include "server/drill/drillstation.h"

#include "wire/command.h"
#include "wire/errcode.h"
#include "wire/headers.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QUuid>

namespace qav {

namespace {

// The station's own wait for an answer.
constexpr int kAnswerWaitMs = 5000;

// The named column of the first row of a record set; empty when there is none.
QString column(const QJsonObject &answer, const QString &name)
{
    // Matched as the station matches them: without regard to case.
    const QStringList names = answer.value(u"columns").toVariant().toStringList();
    for (qsizetype at = 0; at < names.size(); ++at)
        if (names[at].compare(name, Qt::CaseInsensitive) == 0)
            return answer.value(u"rows")[0][int(at)].toString().trimmed();
    return {};
}

// The command as a station puts it on the wire.
QByteArray stationText(const wire::Command &command)
{
    return wire::commandText(command).toUtf8();
}

} // namespace

DrillStation::DrillStation(QUrl server, QSslConfiguration tls, QObject *parent)
    : QObject(parent), m_tls(std::move(tls))
{
    QString path = server.path();
    if (path.endsWith(u'/'))
        path.chop(1);
    server.setPath(path + wire::queryPath(QString::fromLatin1(wire::kObjectName)));
    m_url = server;
}

// A call under way is given up while the station is whole, before its network goes.
DrillStation::~DrillStation()
{
    abort();
}

void DrillStation::post(const QByteArray &body, const QByteArray &replayKey,
                        std::function<void(const DrillAnswer &, const QByteArray &)> then)
{
    QNetworkRequest request(m_url);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("text/plain; charset=utf-8"));
    request.setRawHeader(wire::kClientHeader, wire::kStationClient);
    if (!m_sessionKey.isEmpty())
        request.setRawHeader(wire::kAuthorizationHeader, wire::kBearerPrefix + m_sessionKey);
    if (!replayKey.isEmpty())
        request.setRawHeader(wire::kReplayKeyHeader, replayKey);
    if (m_url.scheme() == u"https")
        request.setSslConfiguration(m_tls);
    request.setTransferTimeout(kAnswerWaitMs);
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    m_reply = m_network.post(request, body);
    QNetworkReply *reply = m_reply;
    connect(reply, &QNetworkReply::finished, this, [this, reply, clock, then = std::move(then)] {
        reply->deleteLater();
        if (m_reply != reply)
            return; // given up
        m_reply = nullptr;
        DrillAnswer answer;
        answer.micros = clock->nsecsElapsed() / 1000;
        answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QByteArray data = reply->readAll();
        const QJsonObject json = QJsonDocument::fromJson(data).object();
        if (answer.status == 200) {
            answer.code = column(json, QString::fromLatin1(wire::kErrCodeColumn));
        } else if (answer.status > 0) {
            answer.error = QStringLiteral("HTTP %1 %2")
                               .arg(answer.status)
                               .arg(json.value(u"error").toString());
        } else {
            answer.error = reply->errorString();
            answer.timedOut = reply->error() == QNetworkReply::OperationCanceledError;
        }
        then(answer, data);
    });
}

void DrillStation::signIn(const QString &operatorId, const QString &password,
                          const QString &placeCode)
{
    m_operatorId = operatorId;
    m_sessionKey.clear();
    post(stationText(wire::operatorSignIn(operatorId, password)), {},
         [this, placeCode](const DrillAnswer &a, const QByteArray &data) {
             const QJsonObject json = QJsonDocument::fromJson(data).object();
             if (a.status != 200 || a.code != QLatin1String(wire::errcode::kOk)) {
                 Q_EMIT failed(a, a.error.isEmpty()
                                      ? column(json, QString::fromLatin1(wire::kErrMsgColumn))
                                      : a.error);
                 return;
             }
             m_sessionKey = column(json, QStringLiteral("SessionKey")).toLatin1();
             post(stationText(wire::placeSignIn(placeCode)), {},
                  [this](const DrillAnswer &place, const QByteArray &placeData) {
                      const QJsonObject answer = QJsonDocument::fromJson(placeData).object();
                      if (place.status != 200 || place.code != QLatin1String(wire::errcode::kOk))
                          Q_EMIT failed(
                              place, place.error.isEmpty()
                                         ? column(answer, QString::fromLatin1(wire::kErrMsgColumn))
                                         : place.error);
                      else
                          Q_EMIT signedIn(column(answer, QStringLiteral("bizcode")));
                  });
         });
}

void DrillStation::scan(const QString &mode, const QString &bizcode, const QString &ticket)
{
    m_lastBody = stationText(wire::verification(mode, bizcode, ticket, m_operatorId));
    m_lastKey = QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
    m_lastTicket = ticket;
    resendLast();
}

void DrillStation::resendLast()
{
    post(m_lastBody, m_lastKey,
         [this](const DrillAnswer &a, const QByteArray &) { Q_EMIT answered(a); });
}

void DrillStation::abort()
{
    QNetworkReply *reply = std::exchange(m_reply, nullptr);
    if (reply)
        reply->abort();
}

} // namespace qav
