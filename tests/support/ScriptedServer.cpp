#include "tests/support/ScriptedServer.h"

#include "tests/support/CannedServer.h"

ScriptedServer::ScriptedServer(const QHostAddress &at)
{
    QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::readyRead, socket,
                             [this, socket] { read(socket); });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, socket] {
                m_pending.erase(socket);
                socket->deleteLater();
            });
        }
    });
    m_server.listen(at, 0);
}

ScriptedServer::~ScriptedServer() = default;

QString ScriptedServer::url() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort());
}

void ScriptedServer::answer(const QByteArray &body, int status)
{
    m_script.push_back({Action::Answer, body, status});
}

void ScriptedServer::drop()
{
    m_script.push_back({Action::Drop, {}, 0});
    m_script.push_back({Action::Drop, {}, 0});
}

void ScriptedServer::hold(const QByteArray &body)
{
    m_script.push_back({Action::Hold, body, 200});
}

void ScriptedServer::release()
{
    if (m_held)
        respond(m_held, {Action::Answer, m_heldBody, 200});
    m_held = nullptr;
}

void ScriptedServer::read(QTcpSocket *socket)
{
    QByteArray &buffer = m_pending[socket];
    buffer += socket->readAll();
    for (;;) {
        const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        qsizetype length = 0;
        QByteArray key;
        for (const QByteArray &line : buffer.left(headerEnd).split('\n')) {
            const qsizetype colon = line.indexOf(':');
            const QByteArray name = line.left(colon).trimmed().toLower();
            if (name == "content-length")
                length = line.mid(colon + 1).trimmed().toLongLong();
            else if (name == "idempotency-key")
                key = line.mid(colon + 1).trimmed();
        }
        if (buffer.size() < headerEnd + 4 + length)
            return;
        commands << QString::fromUtf8(buffer.mid(headerEnd + 4, length));
        keys << key;
        buffer.remove(0, headerEnd + 4 + length);

        Step step{Action::Answer, CannedServer::recordSetJson({QStringLiteral("ErrCode")}, {}),
                  200};
        if (!m_script.empty()) {
            step = m_script.front();
            m_script.pop_front();
        }
        if (step.action == Action::Drop) {
            m_pending.erase(socket);
            socket->abort();
            return;
        }
        if (step.action == Action::Hold) {
            m_held = socket;
            m_heldBody = step.body;
            return;
        }
        respond(socket, step);
    }
}

void ScriptedServer::respond(QTcpSocket *socket, const Step &step)
{
    socket->write("HTTP/1.1 " + QByteArray::number(step.status) + " Scripted\r\n" +
                  "Content-Type: application/json\r\nContent-Length: " +
                  QByteArray::number(step.body.size()) + "\r\nConnection: keep-alive\r\n\r\n" +
                  step.body);
}
