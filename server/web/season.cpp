#include "server/web/season.h"

#include "server/accounts/passwords.h"
#include "server/base/seasonrules.h"
#include "server/web/adminsession.h"
#include "server/web/dashboard.h"
#include "server/web/seasonfiles.h"

#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace qav::season {

namespace {

constexpr qsizetype kMaxName = 100; // a show's title, a hall, an account's id

HttpAnswer fail(int status, const QString &text)
{
    return HttpAnswer::error(status, text);
}

HttpAnswer notFound()
{
    return fail(404, QStringLiteral("찾을 수 없습니다"));
}

// One call: who makes it, from where, and what it posted.
struct Call
{
    const HttpRequest &request;
    Storage &storage;
    const SignedInAdmin &admin;
    QJsonObject form;

    QString text(const char *key) const
    {
        return form.value(QLatin1String(key)).toString().trimmed();
    }
    // The audit row of a change, written by the storage in the change's own transaction.
    SeasonAudit audit(const QString &target, const QString &what) const
    {
        return {admin.admin.id, request.peer.toString(), target, what};
    }
    // The venue the admin runs, every venue when empty: the storage tests it again as it writes.
    const QString &within() const { return admin.admin.placeCode; }
};

// An id for an operator or an account: what the command line takes, with a bound.
std::optional<HttpAnswer> badId(const QString &id)
{
    if (id.isEmpty())
        return fail(400, QStringLiteral("아이디를 입력하세요"));
    if (id.size() > kMaxName || id.contains(u' '))
        return fail(400, QStringLiteral("아이디는 공백 없이 100자까지 입력하세요"));
    if (isDrillCode(id))
        return fail(400, QStringLiteral("DRILL-로 시작하는 아이디는 쓸 수 없습니다"));
    return std::nullopt;
}

// The password a manager typed twice, or one made here when the form asks for it (made says so).
std::optional<HttpAnswer> passwordOf(const Call &c, QString *password, bool *made)
{
    *made = c.form.value(QStringLiteral("generate")).toBool();
    if (*made) {
        *password = newPassword();
        return std::nullopt;
    }
    *password = c.form.value(QStringLiteral("password")).toString();
    if (*password != c.form.value(QStringLiteral("password2")).toString())
        return fail(400, QStringLiteral("두 비밀번호가 다릅니다"));
    if (password->size() < rules::kMinPasswordLength ||
        password->size() > rules::kMaxPasswordLength)
        return fail(400, QStringLiteral("비밀번호는 %1자 이상 %2자 이하로 입력하세요")
                             .arg(rules::kMinPasswordLength)
                             .arg(rules::kMaxPasswordLength));
    return std::nullopt;
}

// --- performances

QJsonObject performanceJson(const Performance &p, Storage &storage)
{
    return {{QStringLiteral("bizcode"), p.bizcode},
            {QStringLiteral("placeCode"), p.placeCode},
            {QStringLiteral("goodsName"), p.goodsName},
            {QStringLiteral("startsAt"), p.startsAt},
            {QStringLiteral("placeName"), p.placeName},
            {QStringLiteral("scans"), storage.scanCount(p.bizcode)}};
}

HttpAnswer performances(const Call &c)
{
    QJsonArray venues;
    for (const Venue &v : c.storage.venues()) {
        if (c.admin.maySee(v.placeCode))
            venues.append(QJsonObject{{QStringLiteral("placeCode"), v.placeCode},
                                      {QStringLiteral("theaterName"), v.theaterName}});
    }
    QJsonArray list;
    for (const Performance &p : c.storage.performances(c.admin.admin.placeCode))
        list.append(performanceJson(p, c.storage));
    return dashboard::json(
        200, {{QStringLiteral("venues"), venues}, {QStringLiteral("performances"), list}});
}

// Adds (add) or changes a performance from the form; the venue must be one the admin sees, and a
// changed performance must be in one.
HttpAnswer putPerformance(const Call &c, bool add)
{
    Performance p{c.text("bizcode"), c.text("placeCode"), c.text("goodsName"),
                  rules::normalStart(c.text("startsAt")), c.text("placeName")};
    if (!add) {
        const std::optional<Performance> before = c.storage.findPerformance(p.bizcode);
        if (!before || !c.admin.maySee(before->placeCode))
            return notFound();
    }
    if (add && (!rules::isValidCode(p.bizcode) || isDrillCode(p.bizcode)))
        return fail(400, QStringLiteral("공연 코드는 영문, 숫자, '-', '_'로 32자까지 입력하세요"));
    if (p.goodsName.isEmpty() || p.goodsName.size() > kMaxName || p.placeName.size() > kMaxName)
        return fail(400, QStringLiteral("공연명(100자까지)을 입력하세요"));
    if (p.startsAt.isEmpty())
        return fail(400, QStringLiteral("시작 시각을 YYYY-MM-DD hh:mm으로 입력하세요"));
    if (!c.admin.maySee(p.placeCode) || !c.storage.findVenue(p.placeCode))
        return fail(400, QStringLiteral("공연장을 고르세요"));
    const SeasonAudit audit =
        c.audit(p.bizcode, QStringLiteral("공연 %1: %2 %3 %4 %5")
                               .arg(add ? u"추가"_qs : u"변경"_qs, p.placeCode, p.startsAt,
                                    p.goodsName, p.placeName));
    if (add && !c.storage.addPerformance(p, audit))
        return fail(409, QStringLiteral("이미 있는 공연 코드입니다"));
    if (!add && !c.storage.changePerformance(p, c.within(), audit))
        return notFound();
    return dashboard::json(200, {{QStringLiteral("performance"), performanceJson(p, c.storage)}});
}

HttpAnswer removePerformance(const Call &c)
{
    const std::optional<Performance> p = c.storage.findPerformance(c.text("bizcode"));
    if (!p || !c.admin.maySee(p->placeCode))
        return notFound();
    // The command line's rule: a performance with scans keeps its audit and stays.
    if (c.storage.scanCount(p->bizcode) > 0)
        return fail(409, QStringLiteral("스캔 기록이 있는 공연은 삭제할 수 없습니다"));
    if (!c.storage.removePerformance(
            p->bizcode, c.within(),
            c.audit(p->bizcode, QStringLiteral("공연 삭제: %1 %2").arg(p->startsAt, p->goodsName))))
        return notFound();
    return dashboard::json(200, {});
}

// --- gate operators

HttpAnswer operators(const Call &c)
{
    QHash<QString, int> sessions;
    for (const SessionRecord &s : c.storage.sessions())
        ++sessions[s.operatorId];
    QHash<QString, SignInAttempt> last;
    for (const SignInAttempt &a : c.storage.lastSignIns(c.admin.admin.placeCode))
        last.insert(a.operatorId, a);
    QJsonArray list;
    for (const OperatorRecord &op : c.storage.operators(c.admin.admin.placeCode)) {
        const SignInAttempt signIn = last.value(op.id);
        list.append(QJsonObject{{QStringLiteral("id"), op.id},
                                {QStringLiteral("placeCode"), op.placeCode},
                                {QStringLiteral("disabled"), op.disabled},
                                {QStringLiteral("sessions"), sessions.value(op.id)},
                                {QStringLiteral("lastSignInAt"), signIn.attemptedAt},
                                {QStringLiteral("lastSignInFrom"), signIn.clientAddress}});
    }
    return dashboard::json(200, {{QStringLiteral("operators"), list}});
}

// The answer of a change that set a password: the one made here is shown this once.
HttpAnswer passwordAnswer(bool made, const QString &password)
{
    return dashboard::json(200, made ? QJsonObject{{QStringLiteral("password"), password}}
                                     : QJsonObject{});
}

HttpAnswer addOperator(const Call &c)
{
    const QString id = c.text("id");
    const QString placeCode = c.text("placeCode");
    if (const auto bad = badId(id))
        return *bad;
    if (!c.admin.maySee(placeCode) || !c.storage.findVenue(placeCode))
        return fail(400, QStringLiteral("공연장을 고르세요"));
    QString password;
    bool made = false;
    if (const auto bad = passwordOf(c, &password, &made))
        return *bad;
    if (!c.storage.addOperator(
            {id, hashPassword(password), placeCode},
            c.audit(id, QStringLiteral("운영자 추가: 공연장 %1").arg(placeCode))))
        return fail(409, QStringLiteral("이미 있는 아이디입니다"));
    return passwordAnswer(made, password);
}

// A change of one operator the admin may see: disable, enable, new password, end sessions.
HttpAnswer changeOperator(const Call &c, const QString &action)
{
    const std::optional<OperatorRecord> op = c.storage.findOperator(c.text("id"));
    if (!op || !c.admin.maySee(op->placeCode))
        return notFound();
    if (action == QLatin1String("password")) {
        QString password;
        bool made = false;
        if (const auto bad = passwordOf(c, &password, &made))
            return *bad;
        if (!c.storage.setOperatorPassword(op->id, hashPassword(password),
                                           c.audit(op->id, QStringLiteral("운영자 비밀번호 변경"))))
            return notFound();
        return passwordAnswer(made, password);
    }
    if (action == QLatin1String("end-sessions")) {
        const int ended = c.storage.endOperatorSessions(
            op->id, c.audit(op->id, QStringLiteral("운영자 세션 종료: %1개")));
        return dashboard::json(200, {{QStringLiteral("ended"), ended}});
    }
    const bool disable = action == QLatin1String("disable");
    if (!c.storage.setOperatorDisabled(op->id, disable,
                                       c.audit(op->id, disable ? QStringLiteral("운영자 사용 중지")
                                                               : QStringLiteral("운영자 사용"))))
        return notFound();
    return dashboard::json(200, {});
}

// --- dashboard accounts

// A venue's manager looks after its venue's accounts; a manager of every venue after all.
bool mayManage(const SignedInAdmin &admin, const AdminRecord &account)
{
    return admin.admin.placeCode.isEmpty() || admin.admin.placeCode == account.placeCode;
}

HttpAnswer accounts(const Call &c)
{
    QJsonArray list;
    for (const AdminRecord &a : c.storage.admins()) {
        if (mayManage(c.admin, a))
            list.append(QJsonObject{{QStringLiteral("id"), a.id},
                                    {QStringLiteral("placeCode"), a.placeCode},
                                    {QStringLiteral("role"), adminRoleName(a.role)},
                                    {QStringLiteral("disabled"), a.disabled()},
                                    {QStringLiteral("self"), a.id == c.admin.admin.id}});
    }
    return dashboard::json(200, {{QStringLiteral("accounts"), list}});
}

HttpAnswer addAccount(const Call &c)
{
    const QString id = c.text("id");
    if (const auto bad = badId(id))
        return *bad;
    const std::optional<AdminRole> role = adminRoleNamed(c.text("role"));
    if (!role)
        return fail(400, QStringLiteral("역할을 고르세요"));
    // A venue's manager adds accounts of its venue only.
    const QString placeCode =
        c.admin.admin.placeCode.isEmpty() ? c.text("placeCode") : c.admin.admin.placeCode;
    if (!placeCode.isEmpty() && !c.storage.findVenue(placeCode))
        return fail(400, QStringLiteral("공연장을 고르세요"));
    QString password;
    bool made = false;
    if (const auto bad = passwordOf(c, &password, &made))
        return *bad;
    if (made)
        return fail(400, QStringLiteral("관리 계정의 비밀번호는 두 번 입력하세요"));
    if (!c.storage.addAdmin({id, hashPassword(password), placeCode, *role},
                            c.audit(id, QStringLiteral("관리 계정 추가: %1 %2")
                                            .arg(adminRoleName(*role),
                                                 placeCode.isEmpty() ? u"전체"_qs : placeCode))))
        return fail(409, QStringLiteral("이미 있는 아이디입니다"));
    return dashboard::json(200, {});
}

HttpAnswer retireAccount(const Call &c, bool remove)
{
    const std::optional<AdminRecord> account = c.storage.findAdmin(c.text("id"));
    if (!account || !mayManage(c.admin, *account))
        return notFound();
    // Signing oneself out for good is left to another manager or the command line.
    if (account->id == c.admin.admin.id)
        return fail(409, QStringLiteral("자기 계정은 중지하거나 삭제할 수 없습니다"));
    const SeasonAudit audit = c.audit(account->id, remove ? QStringLiteral("관리 계정 삭제")
                                                          : QStringLiteral("관리 계정 중지"));
    switch (c.storage.retireAdmin(account->id, remove, audit)) {
    case AdminRetirement::NotFound:
        return notFound();
    case AdminRetirement::LastManager:
        return fail(409, QStringLiteral("공연장의 마지막 관리자는 중지하거나 삭제할 수 없습니다"));
    case AdminRetirement::Done:
        break;
    }
    return dashboard::json(200, {});
}

// Another role for an account, never one's own: a manager cannot make itself less by mistake, nor
// anything more.
HttpAnswer changeRole(const Call &c)
{
    const std::optional<AdminRecord> account = c.storage.findAdmin(c.text("id"));
    if (!account || !mayManage(c.admin, *account))
        return notFound();
    if (account->id == c.admin.admin.id)
        return fail(409, QStringLiteral("자기 계정의 역할은 바꿀 수 없습니다"));
    const std::optional<AdminRole> role = adminRoleNamed(c.text("role"));
    if (!role)
        return fail(400, QStringLiteral("역할을 고르세요"));
    switch (c.storage.setAdminRole(
        account->id, *role,
        c.audit(account->id, QStringLiteral("관리 계정 역할: %1 → %2")
                                 .arg(adminRoleName(account->role), adminRoleName(*role))))) {
    case AdminRetirement::NotFound:
        return notFound();
    case AdminRetirement::LastManager:
        return fail(409, QStringLiteral("공연장의 마지막 관리자는 역할을 바꿀 수 없습니다"));
    case AdminRetirement::Done:
        break;
    }
    return dashboard::json(200, {});
}

// A disabled account enabled with a new password typed twice, as the command line does it: the
// old one may be why it was disabled.
HttpAnswer enableAccount(const Call &c)
{
    const std::optional<AdminRecord> account = c.storage.findAdmin(c.text("id"));
    if (!account || !mayManage(c.admin, *account))
        return notFound();
    if (!account->disabled())
        return fail(409, QStringLiteral("이미 사용 중인 계정입니다"));
    QString password;
    bool made = false;
    if (const auto bad = passwordOf(c, &password, &made))
        return *bad;
    if (made)
        return fail(400, QStringLiteral("관리 계정의 비밀번호는 두 번 입력하세요"));
    if (!c.storage.enableAdmin(account->id, hashPassword(password),
                               c.audit(account->id, QStringLiteral("관리 계정 사용"))))
        return fail(409, QStringLiteral("이미 사용 중인 계정입니다"));
    return dashboard::json(200, {});
}

struct Route
{
    const char *path; // after the prefix
    bool post;
};

const Route kRoutes[] = {
    {"performances", false},          {"performances/add", true}, {"performances/change", true},
    {"performances/remove", true},    {"operators", false},       {"operators/add", true},
    {"operators/disable", true},      {"operators/enable", true}, {"operators/password", true},
    {"operators/end-sessions", true}, {"accounts", false},        {"accounts/add", true},
    {"accounts/disable", true},       {"accounts/remove", true},  {"accounts/role", true},
    {"accounts/enable", true},        {"bookings/upload", true},  {"bookings/confirm", true},
    {"bookings/progress", false},     {"audit/export", false},
};

HttpAnswer dispatch(const Call &c, const QString &name, WorkerContext &context, Shared &shared)
{
    if (name == QLatin1String("bookings/upload"))
        return uploadBookings(c.request, c.storage, c.admin, shared.uploads);
    if (name == QLatin1String("bookings/confirm"))
        return confirmBookings(c.request, c.text("id"), c.storage, c.admin, shared.uploads,
                               context.opener());
    if (name == QLatin1String("bookings/progress"))
        return bookingProgress(c.request, c.admin, shared.uploads);
    if (name == QLatin1String("audit/export"))
        return exportAudit(c.request, c.storage, c.admin, shared.auditKey);
    if (name == QLatin1String("accounts/role"))
        return changeRole(c);
    if (name == QLatin1String("accounts/enable"))
        return enableAccount(c);
    if (name == QLatin1String("performances"))
        return performances(c);
    if (name == QLatin1String("performances/add"))
        return putPerformance(c, true);
    if (name == QLatin1String("performances/change"))
        return putPerformance(c, false);
    if (name == QLatin1String("performances/remove"))
        return removePerformance(c);
    if (name == QLatin1String("operators"))
        return operators(c);
    if (name == QLatin1String("operators/add"))
        return addOperator(c);
    if (name.startsWith(QLatin1String("operators/")))
        return changeOperator(c, name.mid(int(sizeof("operators/")) - 1));
    if (name == QLatin1String("accounts"))
        return accounts(c);
    if (name == QLatin1String("accounts/add"))
        return addAccount(c);
    return retireAccount(c, name == QLatin1String("accounts/remove"));
}

HttpAnswer route(const HttpRequest &request, WorkerContext &context, Shared &shared)
{
    const QString name = request.path.mid(int(qstrlen(kPrefix)));
    const auto r = std::find_if(std::begin(kRoutes), std::end(kRoutes),
                                [&](const Route &r) { return name == QLatin1String(r.path); });
    if (r == std::end(kRoutes))
        return fail(404, QStringLiteral("없는 경로입니다"));
    const bool post = request.method == "POST";
    if (r->post ? !post : request.method != "GET" && request.method != "HEAD") {
        HttpAnswer a = fail(405, r->post ? QStringLiteral("POST만 받습니다")
                                         : QStringLiteral("GET만 받습니다"));
        dashboard::addHeader(a, "Allow", r->post ? "POST" : "GET, HEAD");
        return a;
    }
    Storage &storage = context.storage();
    HttpAnswer refusal;
    const std::optional<SignedInAdmin> admin =
        adminsession::check(request, storage, true, &refusal);
    if (!admin)
        return refusal;
    if (!admin->may(AdminRole::Manager))
        return fail(403, QStringLiteral("권한이 없습니다. 관리자만 할 수 있습니다"));
    if (dashboard::controlCharacterIn(request))
        return fail(400, QStringLiteral("제어 문자는 입력할 수 없습니다"));
    // The upload's body is the file itself.
    if (request.path == QLatin1String(kUploadPath))
        return dispatch({request, storage, *admin, {}}, name, context, shared);
    Call call{request, storage, *admin, QJsonDocument::fromJson(request.body).object()};
    if (post && !request.header("content-type").toLower().startsWith("application/json"))
        return fail(415, QStringLiteral("JSON으로 보내세요"));
    return dispatch(call, name, context, shared);
}

} // namespace

HttpAnswer handle(const HttpRequest &request, WorkerContext &context, Shared &shared)
{
    HttpAnswer answer = route(request, context, shared);
    dashboard::addHeader(answer, "Cache-Control", "no-store");
    return answer;
}

} // namespace qav::season
