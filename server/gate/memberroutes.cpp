#include "server/gate/memberroutes.h"

#include "server/base/outagelog.h"
#include "server/base/steadyclock.h"
#include "server/http/metrics.h"
#include "server/http/serverlog.h"
#include "server/protocol/commandparser.h"
#include "server/protocol/memberobject.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace qav {

namespace {

const QString kQueryPath = QStringLiteral("/rds/Velmor.member/Query");

// One per process, as the database the gates wait for is.
OutageLog &databaseOutage()
{
    static OutageLog log;
    return log;
}

QString shortProcedure(const QString &name)
{
    const qsizetype cut = name.lastIndexOf(u'_');
    return cut >= 0 ? name.mid(cut + 1) : name;
}

HttpAnswer answerLogo(const HttpRequest &request, const QString &imagesDir)
{
    static const QRegularExpression logoPath(
        QStringLiteral("^/TicketImage/GRVM/logo_([A-Za-z0-9_-]{1,64})\\.jpg$"));
    const auto m = logoPath.match(request.path);
    if (!m.hasMatch())
        return HttpAnswer::error(404, QStringLiteral("없는 경로입니다"));
    // The place code is limited to letters, digits, '-' and '_', so it cannot leave the folder.
    const QString file = QDir(imagesDir).filePath(QStringLiteral("logo_%1.jpg").arg(m.captured(1)));
    QFile f(file);
    HttpAnswer answer;
    if (request.method != "GET" || imagesDir.isEmpty() || !QFileInfo(file).isFile() ||
        !f.open(QIODevice::ReadOnly)) {
        answer = HttpAnswer::error(404, QStringLiteral("로고가 없습니다"));
    } else {
        answer.body = f.readAll();
        answer.mime = "image/jpeg";
        answer.logResult = QStringLiteral("200");
    }
    answer.logWhat = QStringLiteral("logo");
    return answer;
}

bool fromStation(const HttpRequest &request)
{
    return request.header(kClientHeader) == kStationClient;
}

// Sets parsed once the body is read.
HttpAnswer answerCommandQuery(const HttpRequest &request, WorkerContext &context,
                              GatePolicy *policy, ParsedCommand &parsed)
{
    QString what = QStringLiteral("Query");
    auto refuse = [&](int status, const QString &text) {
        HttpAnswer a = HttpAnswer::error(status, text);
        a.logWhat = what;
        return a;
    };
    if (request.method != "POST")
        return refuse(405, QStringLiteral("POST만 받습니다"));
    // A browser cannot add this header to a cross-site request without asking first, which is
    // never granted: a web page opened at a gate cannot sign in or scan on its behalf.
    if (!fromStation(request))
        return refuse(403, QStringLiteral("스테이션의 요청이 아닙니다"));
    if (request.body.size() > kMaxCommandBytes)
        return refuse(413, QStringLiteral("요청 본문이 4096바이트를 넘습니다"));
    parsed = parseCommand(request.body);
    if (!parsed.ok())
        return refuse(400, parsed.error);
    what = shortProcedure(parsed.command.procedure);
    if (parsed.command.procedure == QLatin1String(kBookingProc))
        what += u'/' + parsed.command.args.value(0).left(3);

    HttpAnswer answer;
    answer.logWhat = what;
    if (!policy) {
        const RecordSet records = MemberObject::constantAnswer(parsed.command);
        answer.body = records.toJson();
        answer.logResult = records.value(QStringLiteral("ErrCode"));
        return answer;
    }
    const GateCaller caller{peerText(request.peer), request.header("Authorization"),
                            request.header("Idempotency-Key"), request.receivedNs};
    // Behind a long queue the gate is better told to scan again than kept waiting; the
    // connection is fine, so it is kept.
    if (request.receivedNs > 0 && (steadyNs() - request.receivedNs) / 1000000 > kScanBudgetMs)
        return refuse(503, QString::fromUtf8(kBusyText));
    GateAnswer gate;
    try {
        gate = answerCommand(context.storage(), *policy, parsed.command, caller);
    } catch (const StorageBusy &e) {
        context.dropStorage();
        if (databaseOutage().busy())
            qCWarning(lcRequest) << "database busy, gates are told so until it answers again:"
                                 << e.what();
        return refuse(503, QString::fromUtf8(kBusyText));
    } catch (const StorageError &e) {
        context.dropStorage(); // reconnect on the next request
        qCWarning(lcRequest) << "request failed:" << e.what();
        return refuse(500, QStringLiteral("서버 오류입니다. 잠시 후 다시 시도하세요"));
    }
    if (const auto stretch = databaseOutage().served())
        qCWarning(lcRequest).noquote()
            << QStringLiteral(
                   "database answering again after %1 ms; %2 requests were answered busy")
                   .arg(stretch->lastedMs)
                   .arg(stretch->busyAnswers);
    answer.status = gate.status;
    answer.body = gate.body;
    answer.logResult = gate.logResult;
    answer.delayMs = gate.delayMs;
    return answer;
}

// A verification's answer by its HTTP status and, for a 200, the record set's ErrCode.
ServerMetrics::Scan scanKind(int status, const QString &errCode)
{
    using Scan = ServerMetrics::Scan;
    if (status == 200) {
        if (errCode == QLatin1String("0"))
            return Scan::Entered;
        if (errCode == QLatin1String("1"))
            return Scan::ReEntered;
        if (errCode == QLatin1String("2"))
            return Scan::Exited;
        if (errCode == QLatin1String("-2"))
            return Scan::Repeated;
        return Scan::Refused;
    }
    if (status == 401 || status == 403)
        return Scan::NotAllowed;
    if (status == 503)
        return Scan::Busy;
    return Scan::Failed;
}

// What a verification and an operator sign-in came to, for the monitoring counts.
void countAnswer(const ParsedCommand &parsed, const HttpAnswer &answer, qint64 receivedNs)
{
    const Command &c = parsed.command;
    if (c.procedure == QLatin1String(kBookingProc)) {
        const QString &mode = c.args.value(0);
        if (mode == QLatin1String("I") || mode == QLatin1String("O"))
            serverMetrics().countScan(scanKind(answer.status, answer.logResult),
                                      receivedNs > 0 ? steadyNs() - receivedNs : 0);
    } else if (c.procedure == QLatin1String(kLoginProc) && c.args.size() == 2) {
        serverMetrics().countSignIn(answer.status == 200 && answer.logResult == QLatin1String("0"));
    }
}

} // namespace

HttpAnswer answerQuery(const HttpRequest &request, WorkerContext &context, GatePolicy *policy)
{
    ParsedCommand parsed{{}, QStringLiteral("not read")};
    HttpAnswer answer = answerCommandQuery(request, context, policy, parsed);
    if (parsed.ok())
        countAnswer(parsed, answer, request.receivedNs);
    return answer;
}

void addMemberRoutes(Routes &routes, const MemberRouteOptions &options)
{
    const bool constant = options.constantAnswer;
    std::shared_ptr<GatePolicy> policy;
    if (!constant) {
        policy = std::make_shared<GatePolicy>();
        policy->sessionIdleSecs = options.sessionIdleSecs;
        policy->scanRate.setPerSecond(options.sessionScanRate);
    }
    Route query{[policy](const HttpRequest &r, WorkerContext &c) {
                    return answerQuery(r, c, policy.get());
                },
                {}};
    if (constant) {
        query.lane = [](const HttpRequest &) { return Lane::Inline; };
    } else {
        // An operator sign-in takes the guard's lane; a place-code sign-in checks no password.
        query.lane = [policy](const HttpRequest &r) {
            if (r.body.size() > kMaxCommandBytes || r.method != "POST" || !fromStation(r))
                return Lane::Inline;
            const ParsedCommand parsed = parseCommand(r.body);
            if (!parsed.ok())
                return Lane::Inline;
            if (parsed.command.procedure != QLatin1String(kLoginProc) ||
                parsed.command.args.size() != 2)
                return Lane::Quick;
            return policy->signIns.lane(parsed.command.args[0].trimmed(), peerText(r.peer));
        };
    }
    // Comes before the station's own 5 s wait runs out, so it shows "scan again" rather than
    // "no answer"; a verification the worker still commits is then found by its replay key.
    query.deadlineMs = kScanBudgetMs + 300;
    query.lateText = QString::fromUtf8(kBusyText);
    routes.add(kQueryPath, std::move(query));
    routes.addPrefix(QStringLiteral("/rds/"),
                     {[](const HttpRequest &r, WorkerContext &) {
                          if (r.path.endsWith(QLatin1String("/Query")))
                              return HttpAnswer::error(
                                  404, QStringLiteral("알 수 없는 업무 객체입니다"));
                          return HttpAnswer::error(404, QStringLiteral("없는 경로입니다"));
                      },
                      [](const HttpRequest &) { return Lane::Inline; }});
    const QString images = options.imagesDir;
    routes.addPrefix(
        QStringLiteral("/TicketImage/"),
        {[images](const HttpRequest &r, WorkerContext &) { return answerLogo(r, images); }, {}});
}

} // namespace qav
