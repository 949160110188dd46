#pragma once

// A client of a running qav-server over loopback HTTP for the dashboard tests: the admin's
// sign-in, cookie and CSRF token, and gate operators' sessions and scans.

#include "wire/command.h"
#include "wire/headers.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QUuid>

#include <memory>

struct WebReply
{
    int status = 0;
    QByteArray body;
    QByteArray setCookie;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    QString error() const { return json().value(QStringLiteral("error")).toString(); }
    // First cell of a record set: the station's ErrCode.
    QString errCode() const { return json().value(QStringLiteral("rows"))[0][0].toString(); }
};

class WebClient
{
public:
    using Headers = QList<QPair<QByteArray, QByteArray>>;

    explicit WebClient(quint16 port) : m_port(port) { m_nam.setProxy(QNetworkProxy::NoProxy); }

    // Sends a request and returns at once; the reply belongs to the client's manager.
    QNetworkReply *start(const QByteArray &method, const QString &pathAndQuery,
                         const QByteArray &body = {}, const Headers &headers = {})
    {
        QNetworkRequest request(
            QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(pathAndQuery)));
        for (const auto &[name, value] : headers)
            request.setRawHeader(name, value);
        return m_nam.sendCustomRequest(request, method, body);
    }

    static WebReply finish(QNetworkReply *reply)
    {
        if (!reply->isFinished()) {
            QSignalSpy done(reply, &QNetworkReply::finished);
            done.wait(30000);
        }
        WebReply r;
        r.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        r.body = reply->readAll();
        r.setCookie = reply->rawHeader("Set-Cookie");
        reply->deleteLater();
        return r;
    }

    WebReply send(const QByteArray &method, const QString &pathAndQuery,
                  const QByteArray &body = {}, const Headers &headers = {})
    {
        return finish(start(method, pathAndQuery, body, headers));
    }

    // Signs the admin in; keeps the session cookie and the CSRF token for api().
    WebReply signIn(const QString &id, const QString &password)
    {
        const WebReply r = send("POST", QStringLiteral("/api/admin/sign-in"),
                                QJsonDocument(QJsonObject{{QStringLiteral("id"), id},
                                                          {QStringLiteral("password"), password}})
                                    .toJson(),
                                {{"Content-Type", "application/json"}});
        if (r.status == 200) {
            cookie = r.setCookie.split(';').first();
            csrf = r.json().value(QStringLiteral("csrfToken")).toString().toLatin1();
        }
        return r;
    }

    Headers adminHeaders() const
    {
        Headers h{{"Content-Type", "application/json"}};
        if (!cookie.isEmpty())
            h.append({"Cookie", cookie});
        if (!csrf.isEmpty())
            h.append({"X-CSRF-Token", csrf});
        return h;
    }

    QNetworkReply *startApi(const QByteArray &method, const QString &pathAndQuery,
                            const QJsonObject &body = {})
    {
        return start(method, pathAndQuery,
                     method == "POST" ? QJsonDocument(body).toJson(QJsonDocument::Compact)
                                      : QByteArray(),
                     adminHeaders());
    }

    WebReply api(const QByteArray &method, const QString &pathAndQuery,
                 const QJsonObject &body = {})
    {
        return finish(startApi(method, pathAndQuery, body));
    }

    // A command to the business object as a station sends it, with a session and a replay key
    // when they are given.
    QNetworkReply *startGate(const wire::Command &command, const QByteArray &sessionKey = {},
                             const QByteArray &replayKey = {})
    {
        Headers headers{{"Content-Type", "text/plain; charset=utf-8"},
                        {wire::kClientHeader, wire::kStationClient}};
        if (!sessionKey.isEmpty())
            headers.append({wire::kAuthorizationHeader, wire::kBearerPrefix + sessionKey});
        if (!replayKey.isEmpty())
            headers.append({wire::kReplayKeyHeader, replayKey});
        return start("POST", wire::queryPath(QString::fromLatin1(wire::kObjectName)),
                     wire::commandText(command).toUtf8(), headers);
    }

    WebReply sendGate(const wire::Command &command) { return finish(startGate(command)); }

    // A gate operator's session key (the demo operators' passwords are their ids).
    QByteArray signInGate(const QString &op)
    {
        const WebReply r = sendGate(wire::operatorSignIn(op, op));
        const QJsonObject o = r.json();
        const qsizetype column = o.value(QStringLiteral("columns"))
                                     .toVariant()
                                     .toStringList()
                                     .indexOf(QStringLiteral("SessionKey"));
        return column < 0 ? QByteArray()
                          : o.value(QStringLiteral("rows"))[0][column].toString().toLatin1();
    }

    QNetworkReply *startScan(const QString &mode, const QString &ticket, const QString &op,
                             const QByteArray &sessionKey,
                             const QString &bizcode = QStringLiteral("GRVM0001"))
    {
        return startGate(wire::verification(mode, bizcode, ticket, op), sessionKey,
                         QUuid::createUuid().toString(QUuid::WithoutBraces).toLatin1());
    }

    QByteArray cookie;
    QByteArray csrf;

private:
    quint16 m_port;
    QNetworkAccessManager m_nam;
};
