#include "CannedServer.h"

#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>

CannedServer::CannedServer()
{
    m_server.route(
        QStringLiteral("/rds/<arg>/Query"), QHttpServerRequest::Method::Post,
        [this](const QString &object, const QHttpServerRequest &request) {
            paths << object;
            commands << QString::fromUtf8(request.body());
            authorizations << request.value(QByteArrayLiteral("Authorization"));
            Answer a{recordSetJson({QStringLiteral("ErrCode")}, {}), 200, "application/json"};
            if (!m_answers.empty()) {
                a = m_answers.front();
                m_answers.pop_front();
            }
            return QHttpServerResponse(a.type, a.body, QHttpServerResponder::StatusCode(a.status));
        });
    m_port = m_server.listen(QHostAddress::LocalHost, 0);
}

QString CannedServer::url() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

QByteArray CannedServer::recordSetJson(const QStringList &columns, const QList<QVariantList> &rows)
{
    QJsonArray jsonRows;
    for (const QVariantList &row : rows) {
        QJsonArray values;
        for (const QVariant &v : row)
            values.append(v.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(v.toString()));
        jsonRows.append(values);
    }
    QJsonObject root{{QStringLiteral("columns"), QJsonArray::fromStringList(columns)},
                     {QStringLiteral("rows"), jsonRows}};
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

void CannedServer::answer(const QStringList &columns, const QList<QVariantList> &rows)
{
    answerRaw(recordSetJson(columns, rows));
}

void CannedServer::answerRow(const QList<std::pair<QString, QVariant>> &row)
{
    QStringList columns;
    QVariantList values;
    for (const auto &[name, value] : row) {
        columns << name;
        values << value;
    }
    answer(columns, {values});
}

void CannedServer::answerRaw(const QByteArray &body, int status, const QByteArray &type)
{
    m_answers.push_back({body, status, type});
}

SilentServer::SilentServer()
{
    m_server.listen(QHostAddress::LocalHost, 0);
}

QString SilentServer::url() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort());
}

QString unreachableUrl()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return QStringLiteral("http://127.0.0.1:%1").arg(port);
}
