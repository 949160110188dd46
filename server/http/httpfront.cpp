#include "httpfront.h"

#include "bodylimit.h"
#include "commandparser.h"
#include "memberobject.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <chrono>
#include <cstdio>

namespace qav {

namespace {

using Status = QHttpServerResponder::StatusCode;

const QString kQueryPath = QStringLiteral("/rds/Velmor.member/Query");

qint64 steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QByteArray errorJson(const QString &text)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("error"), text}}).toJson(QJsonDocument::Compact);
}

QString shortProcedure(const QString &name)
{
    const qsizetype cut = name.lastIndexOf(u'_');
    return cut >= 0 ? name.mid(cut + 1) : name;
}

} // namespace

HttpFront::HttpFront(Opener opener, Options options, QObject *parent)
    : QAbstractHttpServer(parent)
    , m_opener(std::move(opener))
    , m_options(std::move(options))
{
}

HttpFront::~HttpFront() = default;

quint16 HttpFront::listenOn(const QHostAddress &address, quint16 port, QString *error)
{
    auto *tcp = new BodyLimitServer(kMaxCommandBytes, this);
    tcp->setHttpServer(this);
    if (!tcp->listen(address, port)) {
        if (error)
            *error = tcp->errorString();
        delete tcp;
        return 0;
    }
    bind(tcp);
    return tcp->serverPort();
}

Storage &HttpFront::storage()
{
    if (!m_storage)
        m_storage = m_opener();
    return *m_storage;
}

bool HttpFront::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    const qint64 started = steadyNs();
    QString what = QStringLiteral("-");
    QString result;
    Status status = Status::Ok;
    QByteArray body;
    QByteArray mime = "application/json";

    auto refuse = [&](Status s, const QString &text) {
        status = s;
        body = errorJson(text);
        result = QString::number(int(s));
    };

    try {
        const QString path = request.url().path(QUrl::FullyEncoded);
        static const QRegularExpression logoPath(
            QStringLiteral("^/TicketImage/GRVM/logo_([A-Za-z0-9_-]{1,64})\\.jpg$"));
        if (path == kQueryPath) {
            what = QStringLiteral("Query");
            if (request.method() != QHttpServerRequest::Method::Post) {
                refuse(Status::MethodNotAllowed, QStringLiteral("POST만 받습니다"));
            } else if (request.body().size() > kMaxCommandBytes) {
                refuse(Status::PayloadTooLarge, QStringLiteral("요청 본문이 4096바이트를 넘습니다"));
            } else {
                const ParsedCommand parsed = parseCommand(request.body());
                if (!parsed.ok()) {
                    refuse(Status::BadRequest, parsed.error);
                } else {
                    what = shortProcedure(parsed.command.procedure);
                    if (parsed.command.procedure == QLatin1String(kBookingProc))
                        what += u'/' + parsed.command.args.value(0).left(3);
                    RecordSet answer;
                    if (m_options.constantAnswer) {
                        answer = MemberObject::constantAnswer(parsed.command);
                    } else {
                        try {
                            answer = MemberObject(storage()).run(parsed.command, started);
                        } catch (const StorageError &) {
                            m_storage.reset(); // reconnect on the next request
                            throw;
                        }
                    }
                    body = answer.toJson();
                    result = answer.rows.isEmpty() ? QStringLiteral("no-row")
                                                   : answer.value(QStringLiteral("ErrCode"));
                }
            }
        } else if (path.startsWith(QLatin1String("/rds/")) && path.endsWith(QLatin1String("/Query"))) {
            refuse(Status::NotFound, QStringLiteral("알 수 없는 업무 객체입니다"));
        } else if (const auto m = logoPath.match(path); m.hasMatch()) {
            what = QStringLiteral("logo");
            // The place code is limited to letters, digits, '-' and '_', so it cannot leave the folder.
            const QString file = QDir(m_options.imagesDir)
                                     .filePath(QStringLiteral("logo_%1.jpg").arg(m.captured(1)));
            QFile f(file);
            if (request.method() != QHttpServerRequest::Method::Get || m_options.imagesDir.isEmpty()
                || !QFileInfo(file).isFile() || !f.open(QIODevice::ReadOnly)) {
                refuse(Status::NotFound, QStringLiteral("로고가 없습니다"));
            } else {
                body = f.readAll();
                mime = "image/jpeg";
                result = QStringLiteral("200");
            }
        } else {
            refuse(Status::NotFound, QStringLiteral("없는 경로입니다"));
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "qav-server: request failed: %s\n", e.what());
        refuse(Status::InternalServerError, QStringLiteral("서버 오류입니다. 잠시 후 다시 시도하세요"));
    } catch (...) {
        refuse(Status::InternalServerError, QStringLiteral("서버 오류입니다. 잠시 후 다시 시도하세요"));
    }

    makeResponder(request, socket).write(body, mime, status);

    if (!m_options.quiet) {
        const double ms = double(steadyNs() - started) / 1e6;
        const QByteArray line = QStringLiteral("%1 %2 %3 %4ms\n")
                                    .arg(QDateTime::currentDateTime().toString(Qt::ISODateWithMs), what,
                                         result, QString::number(ms, 'f', 2))
                                    .toUtf8();
        std::fputs(line.constData(), stderr);
    }
    return true;
}

void HttpFront::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    makeResponder(request, socket).write(errorJson(QStringLiteral("없는 경로입니다")), "application/json",
                                         Status::NotFound);
}

} // namespace qav
