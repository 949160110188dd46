#include "tests/support/CannedServer.h"

#include "wire/recordsetjson.h"

#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QTcpSocket>

CannedServer::CannedServer(const QHostAddress &at, quint16 port)
{
    m_server.route(
        QStringLiteral("/rds/<arg>/Query"), QHttpServerRequest::Method::Post,
        [this](const QString &object, const QHttpServerRequest &request) {
            paths << object;
            commands << QString::fromUtf8(request.body());
            authorizations << request.value(QByteArrayLiteral("Authorization"));
            hosts << request.value(QByteArrayLiteral("Host"));
            replayKeys << request.value(QByteArrayLiteral("Idempotency-Key"));
            Answer a{recordSetJson({QStringLiteral("ErrCode")}, {}), 200, "application/json"};
            if (!m_answers.empty()) {
                a = m_answers.front();
                m_answers.pop_front();
            }
            return QHttpServerResponse(a.type, a.body, QHttpServerResponder::StatusCode(a.status));
        });
    m_port = m_server.listen(at, port);
}

QString CannedServer::url() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

// Written by the server's own encoder, so a canned answer is byte for byte what a server sends.
QByteArray CannedServer::recordSetJson(const QStringList &columns, const QList<QVariantList> &rows)
{
    wire::RecordSet rs{columns, {}};
    for (const QVariantList &row : rows) {
        QStringList values;
        for (const QVariant &v : row) {
            // Only a null variant is JSON null; any other value is text, an empty one too.
            QString text = v.isNull() ? QString() : v.toString();
            if (!v.isNull() && text.isNull())
                text = QString::fromLatin1("", 0);
            values << text;
        }
        rs.rows << values;
    }
    return rs.toJson();
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

SilentServer::SilentServer(const QHostAddress &at, quint16 port)
{
    m_server.listen(at, port);
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
