#include "server/web/dashboard.h"

#include "server/base/steadyclock.h"
#include "server/http/serverlog.h"
#include "server/web/adminsession.h"
#include "server/web/season.h"
#include "wire/ticket.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <memory>

namespace qav::dashboard {

namespace {

const QString kStampFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");
const QString kMinuteFormat = QStringLiteral("yyyy-MM-dd HH:mm");
constexpr int kDefaultHours = 3;
constexpr int kMaxHours = 12;
constexpr int kRefusalsShown = 20;
constexpr int kSearchLimit = 50;
constexpr qsizetype kMaxReason = 200;

HttpAnswer forbidden()
{
    return HttpAnswer::error(403, QStringLiteral("권한이 없습니다"));
}

// 405 naming the methods the path takes.
HttpAnswer notAllowed(bool post)
{
    HttpAnswer a = HttpAnswer::error(405, post ? QStringLiteral("POST만 받습니다")
                                               : QStringLiteral("GET만 받습니다"));
    addHeader(a, "Allow", post ? "POST" : "GET, HEAD");
    return a;
}

// Files of the page, from the resources compiled into the binary.
HttpAnswer pageFile(const QString &name)
{
    static const QHash<QString, QByteArray> types = {
        {QStringLiteral("index.html"), "text/html; charset=utf-8"},
        {QStringLiteral("app.js"), "text/javascript; charset=utf-8"},
        {QStringLiteral("season.js"), "text/javascript; charset=utf-8"},
        {QStringLiteral("style.css"), "text/css; charset=utf-8"},
        {QStringLiteral("chart.min.js"), "text/javascript; charset=utf-8"},
    };
    const auto type = types.find(name);
    QFile file(QStringLiteral(":/qav/web/") + name);
    if (type == types.end() || !file.open(QIODevice::ReadOnly))
        return HttpAnswer::error(404, QStringLiteral("없는 경로입니다"));
    HttpAnswer a;
    a.mime = *type;
    a.body = file.readAll();
    addHeader(a, "Cache-Control", "no-cache");
    return a;
}

QJsonObject performanceJson(const Performance &p, const QString &theaterName)
{
    return {
        {QStringLiteral("bizcode"), p.bizcode},       {QStringLiteral("placeCode"), p.placeCode},
        {QStringLiteral("theaterName"), theaterName}, {QStringLiteral("goodsName"), p.goodsName},
        {QStringLiteral("startsAt"), p.startsAt},     {QStringLiteral("placeName"), p.placeName}};
}

// The performance named by ?bizcode= if the admin may see it.
std::optional<Performance> visiblePerformance(const QString &bizcode, DashboardStore &storage,
                                              const SignedInAdmin &admin)
{
    if (bizcode.isEmpty())
        return std::nullopt;
    std::optional<Performance> p = storage.findPerformance(bizcode);
    if (!p || !admin.maySee(p->placeCode))
        return std::nullopt;
    return p;
}

HttpAnswer performances(DashboardStore &storage, const SignedInAdmin &admin)
{
    const QDateTime now = QDateTime::currentDateTime();
    const QString from =
        now.date().addDays(-7).toString(QStringLiteral("yyyyMMdd")) + QStringLiteral("0000");
    QJsonArray list;
    std::optional<Performance> preferred;
    for (const Venue &venue : storage.venues()) {
        if (!admin.maySee(venue.placeCode))
            continue;
        for (const Performance &p : storage.performancesFrom(venue.placeCode, from))
            list.append(performanceJson(p, venue.theaterName));
        // Today's show at the gates comes first; among venues, the one that starts soonest.
        const std::optional<Performance> atGate = storage.gatePerformance(venue.placeCode, now);
        if (atGate && (!preferred || atGate->startsAt < preferred->startsAt))
            preferred = atGate;
    }
    return json(200, {{QStringLiteral("default"), preferred ? preferred->bizcode : QString()},
                      {QStringLiteral("performances"), list}});
}

QJsonObject logEntryJson(const ScanLogEntry &e)
{
    return {{QStringLiteral("at"), e.scannedAt},
            {QStringLiteral("operator"), e.operatorId},
            {QStringLiteral("ticket"), e.ticketRaw},
            {QStringLiteral("mode"), e.mode},
            {QStringLiteral("code"), e.resultCode},
            {QStringLiteral("message"), e.resultMessage},
            {QStringLiteral("manualReason"), e.manualReason},
            {QStringLiteral("id"), e.id},
            {QStringLiteral("kind"), e.kind}};
}

HttpAnswer overview(const HttpRequest &request, DashboardStore &storage, const SignedInAdmin &admin,
                    const GateHealthLimits &limits)
{
    const std::optional<Performance> perf = visiblePerformance(
        request.query.queryItemValue(QStringLiteral("bizcode"), QUrl::FullyDecoded), storage,
        admin);
    if (!perf)
        return forbidden();
    bool ok = false;
    int hours = request.query.queryItemValue(QStringLiteral("hours")).toInt(&ok);
    if (!ok || hours < 1)
        hours = kDefaultHours;
    hours = std::min(hours, kMaxHours);

    const QDateTime now = QDateTime::currentDateTime();
    const std::optional<Summary> s = storage.summary(perf->bizcode);
    if (!s)
        return forbidden();
    const QJsonObject counters{
        {QStringLiteral("total"), s->total},         {QStringLiteral("entered"), s->admitted},
        {QStringLiteral("insideNow"), s->insideNow}, {QStringLiteral("exited"), s->leftNow},
        {QStringLiteral("notYet"), s->notYet},       {QStringLiteral("reentered"), s->reentered},
        {QStringLiteral("cancelled"), s->cancelled}, {QStringLiteral("refused"), s->refused}};

    // One point per minute, the quiet ones included, so the chart's axis is time.
    const QDateTime first = now.addSecs(-qint64(hours) * 3600 + 60);
    QHash<QString, MinuteCount> byMinute;
    for (const MinuteCount &m :
         storage.minuteSeries(perf->bizcode, first.toString(kMinuteFormat) + QStringLiteral(":00")))
        byMinute.insert(m.minute, m);
    QJsonArray minutes, entries, exits;
    for (QDateTime t = first; t <= now; t = t.addSecs(60)) {
        const MinuteCount m = byMinute.value(t.toString(kMinuteFormat));
        minutes.append(t.toString(QStringLiteral("HH:mm")));
        entries.append(m.entries);
        exits.append(m.exits);
    }

    QHash<QString, GateHealth> health;
    for (const GateHealth &h :
         assessGates(storage.recentGates(perf->bizcode,
                                         now.addSecs(-limits.watchSecs).toString(kStampFormat),
                                         now.addSecs(-limits.windowSecs).toString(kStampFormat)),
                     now, limits))
        health.insert(h.operatorId, h);
    QJsonArray gates;
    for (const GateActivity &g :
         storage.gateActivity(perf->bizcode, now.addSecs(-60).toString(kStampFormat))) {
        QJsonObject gate{{QStringLiteral("operator"), g.operatorId},
                         {QStringLiteral("scans"), g.scans},
                         {QStringLiteral("accepted"), g.accepted},
                         {QStringLiteral("refused"), g.refused},
                         {QStringLiteral("lastScanAt"), g.lastScanAt},
                         {QStringLiteral("perMinute"), g.lastMinute},
                         {QStringLiteral("manual"), g.manual}};
        const auto h = health.constFind(g.operatorId);
        QJsonArray warnings;
        if (h != health.constEnd()) {
            gate.insert(QStringLiteral("p95Ms"),
                        h->p95Us ? QJsonValue(double(*h->p95Us) / 1000.0) : QJsonValue());
            if (h->silent)
                warnings.append(QStringLiteral("silent"));
            if (h->slow)
                warnings.append(QStringLiteral("slow"));
            if (h->refusing)
                warnings.append(QStringLiteral("refusing"));
        }
        gate.insert(QStringLiteral("warnings"), warnings);
        gates.append(gate);
    }
    QJsonArray refusals;
    for (const ScanLogEntry &e : storage.lastRefusals(perf->bizcode, kRefusalsShown))
        refusals.append(logEntryJson(e));

    const std::optional<Venue> venue = storage.findVenue(perf->placeCode);
    return json(200, {{QStringLiteral("now"), now.toString(kStampFormat)},
                      {QStringLiteral("performance"),
                       performanceJson(*perf, venue ? venue->theaterName : QString())},
                      {QStringLiteral("counters"), counters},
                      {QStringLiteral("series"), QJsonObject{{QStringLiteral("minutes"), minutes},
                                                             {QStringLiteral("entries"), entries},
                                                             {QStringLiteral("exits"), exits}}},
                      {QStringLiteral("gates"), gates},
                      {QStringLiteral("refusals"), refusals}});
}

QString stateOf(const BookingState &b)
{
    if (b.booking.cancelled)
        return QStringLiteral("cancelled");
    if (b.inside)
        return QStringLiteral("inside");
    return b.entries > 0 ? QStringLiteral("left") : QStringLiteral("notYet");
}

// The history with each undone row marked, and the row a supervisor may still undo: the last
// standing entry or exit, if it is recent enough.
QJsonObject bookingJson(const BookingState &b, DashboardStore &storage)
{
    const QList<ScanLogEntry> rows = storage.ticketHistory(b.booking.bizcode, b.booking.ticketNo);
    QHash<qint64, QString> undone; // row id: reason
    for (const ScanLogEntry &e : rows) {
        if (e.kind == QLatin1String(kAuditAnnul))
            undone.insert(e.annuls, e.manualReason);
    }
    QJsonArray history;
    const ScanLogEntry *standing = nullptr;
    for (const ScanLogEntry &e : rows) {
        QJsonObject entry = logEntryJson(e);
        if (undone.contains(e.id)) {
            entry.insert(QStringLiteral("annulled"), true);
            entry.insert(QStringLiteral("annulReason"), undone.value(e.id));
        } else if (e.kind != QLatin1String(kAuditAnnul)) {
            standing = &e;
        }
        history.append(entry);
    }
    const QString oldest =
        QDateTime::currentDateTime().addSecs(-kAnnulWindowSecs).toString(kStampFormat);
    QJsonValue annulable;
    if (standing && standing->scannedAt >= oldest)
        annulable = QJsonObject{{QStringLiteral("id"), standing->id},
                                {QStringLiteral("mode"), standing->mode},
                                {QStringLiteral("at"), standing->scannedAt},
                                {QStringLiteral("operator"), standing->operatorId}};
    return {{QStringLiteral("ticketNo"), b.booking.ticketNo},
            {QStringLiteral("custName"), b.booking.custName},
            {QStringLiteral("seatGrade"), b.booking.seatGrade},
            {QStringLiteral("seatInfo"), b.booking.seatInfo},
            {QStringLiteral("state"), stateOf(b)},
            {QStringLiteral("entries"), b.entries},
            {QStringLiteral("exits"), b.exits},
            {QStringLiteral("history"), history},
            {QStringLiteral("annulable"), annulable}};
}

} // namespace

// A password is only hashed, so it is not looked at.
bool controlCharacterIn(const HttpRequest &request)
{
    for (const auto &[name, value] : request.query.queryItems(QUrl::FullyDecoded)) {
        if (wire::hasControlCharacter(value.trimmed()))
            return true;
    }
    if (request.body.isEmpty())
        return false;
    const QJsonObject form = QJsonDocument::fromJson(request.body).object();
    for (auto i = form.constBegin(); i != form.constEnd(); ++i) {
        if (!i.value().isString() || i.key().startsWith(QLatin1String("password")))
            continue;
        const QString value = i.value().toString();
        if (wire::hasControlCharacter(i.key() == QLatin1String("reason") ? value.simplified()
                                                                         : value.trimmed()))
            return true;
    }
    return false;
}

namespace {

// The booking of ticket as the dashboard shows it, if there is one.
std::optional<QJsonObject> bookingOf(const QString &bizcode, const QString &ticket,
                                     DashboardStore &storage)
{
    for (const BookingState &b : storage.searchBookings(bizcode, ticket, kSearchLimit)) {
        if (b.booking.ticketNo == ticket)
            return bookingJson(b, storage);
    }
    return std::nullopt;
}

HttpAnswer search(const HttpRequest &request, DashboardStore &storage, const SignedInAdmin &admin)
{
    const std::optional<Performance> perf = visiblePerformance(
        request.query.queryItemValue(QStringLiteral("bizcode"), QUrl::FullyDecoded), storage,
        admin);
    if (!perf)
        return forbidden();
    const QString text =
        request.query.queryItemValue(QStringLiteral("q"), QUrl::FullyDecoded).trimmed();
    if (text.isEmpty())
        return HttpAnswer::error(400, QStringLiteral("티켓 번호나 이름을 입력하세요"));
    QJsonArray found;
    for (const BookingState &b : storage.searchBookings(perf->bizcode, text, kSearchLimit))
        found.append(bookingJson(b, storage));
    return json(200, {{QStringLiteral("bookings"), found}});
}

// A supervisor admits or lets out a guest by hand: the gate's own rule, so never twice inside.
HttpAnswer manualScan(const HttpRequest &request, DashboardStore &storage,
                      const SignedInAdmin &admin)
{
    const qint64 started = steadyNs();
    const QJsonObject form = QJsonDocument::fromJson(request.body).object();
    const std::optional<Performance> perf =
        visiblePerformance(form.value(QStringLiteral("bizcode")).toString(), storage, admin);
    if (!perf)
        return forbidden();
    const QString mode = form.value(QStringLiteral("mode")).toString();
    const QString ticket = wire::normalTicket(form.value(QStringLiteral("ticketNo")).toString());
    const QString reason = form.value(QStringLiteral("reason")).toString().simplified();
    if (mode != QLatin1String("I") && mode != QLatin1String("O"))
        return HttpAnswer::error(400, QStringLiteral("입장(I) 또는 퇴장(O)을 고르세요"));
    if (ticket.isEmpty())
        return HttpAnswer::error(400, QStringLiteral("티켓 번호를 입력하세요"));
    if (ticket.size() > wire::kMaxTicketChars)
        return HttpAnswer::error(
            400, QStringLiteral("티켓 번호는 %1자까지 입력하세요").arg(wire::kMaxTicketChars));
    if (reason.isEmpty())
        return HttpAnswer::error(400, QStringLiteral("수동 처리 사유를 입력하세요"));
    if (reason.size() > kMaxReason)
        return HttpAnswer::error(400, QStringLiteral("사유는 200자 이내로 입력하세요"));

    const ScanOutcome o =
        storage.manualScan(ScanRequest(mode, perf->bizcode, ticket, admin.admin.id, started,
                                       request.peer.toString(), admin.admin.id),
                           reason);
    const bool accepted = o.code != QLatin1String("-1") && o.code != QLatin1String("-2");
    QJsonObject answer{{QStringLiteral("accepted"), accepted},
                       {QStringLiteral("code"), o.code},
                       {QStringLiteral("message"), o.message}};
    if (const std::optional<QJsonObject> b = bookingOf(perf->bizcode, ticket, storage))
        answer.insert(QStringLiteral("booking"), *b);
    return json(200, answer);
}

// A supervisor undoes a mistaken entry or exit; 409 with the reason when it may not be undone.
HttpAnswer annul(const HttpRequest &request, DashboardStore &storage, const SignedInAdmin &admin)
{
    const QJsonObject form = QJsonDocument::fromJson(request.body).object();
    const std::optional<Performance> perf =
        visiblePerformance(form.value(QStringLiteral("bizcode")).toString(), storage, admin);
    // Whether the performance exists elsewhere is not told.
    if (!perf)
        return HttpAnswer::error(
            403, QStringLiteral("권한이 없습니다. 다른 공연장의 입장은 취소할 수 없습니다"));
    AnnulRequest r;
    r.bizcode = perf->bizcode;
    r.ticketNo = wire::normalTicket(form.value(QStringLiteral("ticketNo")).toString());
    r.logId = form.value(QStringLiteral("id")).toInteger();
    r.reason = form.value(QStringLiteral("reason")).toString().simplified();
    r.adminId = admin.admin.id;
    r.clientAddress = request.peer.toString();
    if (r.ticketNo.isEmpty() || r.logId <= 0)
        return HttpAnswer::error(400, QStringLiteral("취소할 기록을 고르세요"));
    if (r.reason.isEmpty())
        return HttpAnswer::error(400, QStringLiteral("취소 사유를 입력하세요"));
    if (r.reason.size() > kMaxReason)
        return HttpAnswer::error(400, QStringLiteral("사유는 200자 이내로 입력하세요"));

    const AnnulOutcome o = storage.annul(r);
    const bool done = o.result == AnnulResult::Annulled;
    QJsonObject answer{{QStringLiteral("annulled"), done}, {QStringLiteral("message"), o.message}};
    if (!done)
        answer.insert(QStringLiteral("error"), o.message);
    if (const std::optional<QJsonObject> b = bookingOf(perf->bizcode, r.ticketNo, storage))
        answer.insert(QStringLiteral("booking"), *b);
    return json(done ? 200 : 409, answer);
}

HttpAnswer api(const HttpRequest &request, DashboardStore &storage, SignInGuard &guard,
               const GateHealthLimits &limits)
{
    const QString &path = request.path;
    const bool post = request.method == "POST";
    const bool get = request.method == "GET" || request.method == "HEAD";
    if (controlCharacterIn(request))
        return HttpAnswer::error(400, QStringLiteral("제어 문자는 입력할 수 없습니다"));
    if (path == QLatin1String("/api/admin/sign-in"))
        return post ? adminsession::signIn(request, storage, guard) : notAllowed(true);

    struct Route
    {
        const char *path;
        bool post;
        AdminRole role; // the least role that may call it
    };
    static const Route routes[] = {{"/api/admin/session", false, AdminRole::Viewer},
                                   {"/api/admin/sign-out", true, AdminRole::Viewer},
                                   {"/api/performances", false, AdminRole::Viewer},
                                   {"/api/dashboard", false, AdminRole::Viewer},
                                   {"/api/bookings", false, AdminRole::Viewer},
                                   {"/api/manual-scan", true, AdminRole::Supervisor},
                                   {"/api/annul", true, AdminRole::Supervisor}};
    const auto route = std::find_if(std::begin(routes), std::end(routes),
                                    [&](const Route &r) { return path == QLatin1String(r.path); });
    if (route == std::end(routes))
        return HttpAnswer::error(404, QStringLiteral("없는 경로입니다"));
    if (route->post ? !post : !get)
        return notAllowed(route->post);

    // Reading the session is how a reloaded page gets its token back; everything else needs it.
    const bool isSession = path == QLatin1String("/api/admin/session");
    HttpAnswer refusal;
    const std::optional<SignedInAdmin> admin =
        adminsession::check(request, storage, !isSession, &refusal);
    if (!admin)
        return refusal;
    if (!admin->may(route->role))
        return forbidden();
    if (isSession)
        return json(200, adminsession::describe(*admin));
    if (path == QLatin1String("/api/admin/sign-out"))
        return adminsession::signOut(request, storage, *admin);
    if (path == QLatin1String("/api/performances"))
        return performances(storage, *admin);
    if (path == QLatin1String("/api/dashboard"))
        return overview(request, storage, *admin, limits);
    if (path == QLatin1String("/api/bookings"))
        return search(request, storage, *admin);
    if (path == QLatin1String("/api/annul"))
        return annul(request, storage, *admin);
    return manualScan(request, storage, *admin);
}

} // namespace

HttpAnswer json(int status, const QJsonObject &object)
{
    HttpAnswer a;
    a.status = status;
    a.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return a;
}

void addHeader(HttpAnswer &answer, const QByteArray &name, const QByteArray &value)
{
    answer.headers.append(qMakePair(name, value));
}

void addRoutes(Routes &routes, const HostNames &hosts, const GateHealthLimits &gates,
               const SealKey &auditKey)
{
    // Apart from the gates' guard: admins and operators are different people.
    const auto guard = std::make_shared<SignInGuard>();
    const auto seasonShared = std::make_shared<season::Shared>();
    seasonShared->auditKey = auditKey;
    const Handler handler = [hosts, gates, guard, seasonShared](const HttpRequest &request,
                                                                WorkerContext &context) {
        // Before anything else, so a rebound name learns nothing, not even whether a session
        // exists.
        HttpAnswer answer;
        if (!hosts.allows(request)) {
            answer = HttpAnswer::error(421, QStringLiteral("이 서버의 주소가 아닙니다"));
        } else if (request.path.startsWith(QLatin1String(season::kPrefix))) {
            answer = season::handle(request, context, *seasonShared);
            addPageHeaders(answer, request);
        } else {
            answer = handle(request, context.storage(), *guard, gates);
        }
        answer.logWhat =
            request.path.startsWith(QLatin1String("/api/")) ? request.path.mid(1) : u"dashboard"_qs;
        answer.logResult = QString::number(answer.status);
        return answer;
    };
    routes.add(QStringLiteral("/dashboard"), {handler, {}});
    routes.addPrefix(QStringLiteral("/dashboard/"), {handler, {}});
    routes.addPrefix(QStringLiteral("/api/"), {handler, {}});
    // Calls that hash a password keep a CPU busy as a sign-in does, away from the gates' scans.
    for (const char *hashing : {"operators/add", "operators/password", "accounts/add"})
        routes.add(QLatin1String(season::kPrefix) + QLatin1String(hashing),
                   {handler, [](const HttpRequest &) { return Lane::Slow; }});
    routes.add(QStringLiteral("/api/admin/sign-in"), {handler, [guard](const HttpRequest &r) {
                                                          const QString id =
                                                              QJsonDocument::fromJson(r.body)
                                                                  .object()
                                                                  .value(QStringLiteral("id"))
                                                                  .toString()
                                                                  .trimmed();
                                                          return guard->lane(id, peerText(r.peer));
                                                      }});
}

HttpAnswer handle(const HttpRequest &request, DashboardStore &storage, SignInGuard &guard,
                  const GateHealthLimits &gates)
{
    HttpAnswer answer;
    if (request.path.startsWith(QLatin1String("/api/"))) {
        answer = api(request, storage, guard, gates);
        addHeader(answer, "Cache-Control", "no-store");
    } else if (request.method != "GET" && request.method != "HEAD") {
        answer = notAllowed(false);
    } else if (request.path == QLatin1String("/dashboard")) {
        answer.status = 308;
        answer.mime = "text/plain; charset=utf-8";
        answer.body = "/dashboard/";
        addHeader(answer, "Location", "/dashboard/");
    } else {
        const QString name = request.path.mid(int(sizeof("/dashboard/")) - 1);
        answer = pageFile(name.isEmpty() ? QStringLiteral("index.html") : name);
    }
    addPageHeaders(answer, request);
    return answer;
}

void addPageHeaders(HttpAnswer &answer, const HttpRequest &request)
{
    // The page loads only its own files and talks only to its own server.
    addHeader(answer, "Content-Security-Policy",
              "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self';"
              " connect-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'");
    addHeader(answer, "X-Content-Type-Options", "nosniff");
    addHeader(answer, "Referrer-Policy", "no-referrer");
    // A browser that once reached the dashboard over HTTPS never again tries it in the clear.
    if (request.secure)
        addHeader(answer, "Strict-Transport-Security", "max-age=31536000");
}

} // namespace qav::dashboard
