#include "server/web/adminsession.h"

#include "server/accounts/passwords.h"
#include "server/accounts/sessionkeys.h"
#include "server/accounts/signinguard.h"
#include "server/http/serverlog.h"
#include "server/protocol/refusaltally.h"
#include "server/web/dashboard.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QUrl>

namespace qav::adminsession {

namespace {

const QString kSignInAgain = QStringLiteral("다시 로그인하세요");

bool sameSecret(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

QByteArray cookieToken(const HttpRequest &request)
{
    const QByteArray name = QByteArray(dashboard::kCookieName) + '=';
    for (const auto &h : request.headers) {
        if (h.first.compare("cookie", Qt::CaseInsensitive) != 0)
            continue;
        for (const QByteArray &part : h.second.split(';')) {
            const QByteArray cookie = part.trimmed();
            if (cookie.startsWith(name))
                return cookie.mid(name.size());
        }
    }
    return {};
}

QByteArray cookie(const HttpRequest &request, const QByteArray &value, bool expire)
{
    QByteArray c =
        QByteArray(dashboard::kCookieName) + '=' + value + "; Path=/; HttpOnly; SameSite=Strict";
    if (expire)
        c += "; Max-Age=0";
    if (request.secure)
        c += "; Secure";
    return c;
}

// A sign-in form on another site cannot post JSON without the browser asking first, and a
// browser names the page's origin: both must be ours.
bool fromOurPage(const HttpRequest &request)
{
    if (!request.header("content-type").toLower().startsWith("application/json"))
        return false;
    const QByteArray origin = request.header("origin");
    if (origin.isEmpty())
        return true;
    const QUrl url(QString::fromLatin1(origin));
    const QString host =
        url.host() + (url.port() >= 0 ? u':' + QString::number(url.port()) : QString());
    return host.compare(QString::fromLatin1(request.header("host")), Qt::CaseInsensitive) == 0;
}

} // namespace

QJsonObject describe(const SignedInAdmin &admin)
{
    return {{QStringLiteral("admin"), admin.admin.id},
            {QStringLiteral("placeCode"), admin.admin.placeCode},
            {QStringLiteral("role"), adminRoleName(admin.admin.role)},
            {QStringLiteral("csrfToken"), admin.session.csrfToken}};
}

HttpAnswer signIn(const HttpRequest &request, DashboardStore &storage, SignInGuard &guard)
{
    if (!fromOurPage(request))
        return HttpAnswer::error(403, QStringLiteral("로그인 요청을 확인할 수 없습니다"));
    const QJsonObject form = QJsonDocument::fromJson(request.body).object();
    const QString id = form.value(QStringLiteral("id")).toString().trimmed();
    const QString password = form.value(QStringLiteral("password")).toString();
    if (id.isEmpty() || password.isEmpty())
        return HttpAnswer::error(400, QStringLiteral("아이디와 비밀번호를 입력하세요"));

    const QString peer = peerText(request.peer);
    // Dashboard sign-ins share the operators' sign-in log, marked as such.
    auto log = [&](const QString &result) {
        storage.recordSignIn({{}, id, peer, u"dashboard "_qs + result});
    };
    const SignInGuard::Verdict verdict = guard.admit(id, peer);
    if (verdict.refused) {
        // Counted, not logged row by row: a flood of refusals must not grow the database.
        refusalTally().add(peer, u"dashboard"_qs, id);
        // Refused before the password is looked at: guessing gains nothing, costs no hashing.
        HttpAnswer a =
            HttpAnswer::error(429, QStringLiteral("시도가 너무 많습니다. 잠시 후 다시 시도하세요"));
        a.delayMs = verdict.delayMs;
        return a;
    }

    const std::optional<AdminRecord> admin = storage.findAdmin(id);
    const bool usable = admin && !admin->disabled();
    // Unknown and disabled ids are checked against a dummy hash so every refusal takes as long.
    const bool passwordOk =
        verifyPassword(usable ? admin->passwordHash : dummyPasswordHash(), password);
    if (!usable || !passwordOk) {
        log(admin && !usable ? u"disabled"_qs : u"wrong"_qs);
        guard.failed(id, peer);
        return HttpAnswer::error(401, QStringLiteral("아이디 또는 비밀번호가 맞지 않습니다"));
    }
    guard.succeeded(peer);

    const SessionKey key = newSessionKey();
    const SignedInAdmin signedIn{*admin, {admin->id, newSessionKey().key}, key.hash};
    // Disabled or given a new password since it was read, the admin gets no session.
    if (!storage.putAdminSession(signedIn.tokenHash, signedIn.session, admin->passwordHash,
                                 QDateTime::currentSecsSinceEpoch())) {
        log(u"changed during sign-in"_qs);
        return HttpAnswer::error(401, QStringLiteral("아이디 또는 비밀번호가 맞지 않습니다"));
    }
    log(u"ok"_qs);
    HttpAnswer a = dashboard::json(200, describe(signedIn));
    dashboard::addHeader(a, "Set-Cookie", cookie(request, key.key.toLatin1(), false));
    return a;
}

HttpAnswer signOut(const HttpRequest &request, DashboardStore &storage, const SignedInAdmin &admin)
{
    storage.removeAdminSession(admin.tokenHash);
    HttpAnswer a = dashboard::json(200, {});
    dashboard::addHeader(a, "Set-Cookie", cookie(request, QByteArray(), true));
    return a;
}

std::optional<SignedInAdmin> check(const HttpRequest &request, DashboardStore &storage,
                                   bool needCsrf, HttpAnswer *refusal)
{
    const QByteArray token = cookieToken(request);
    if (token.isEmpty()) {
        *refusal = HttpAnswer::error(401, kSignInAgain);
        return std::nullopt;
    }
    SignedInAdmin signedIn;
    signedIn.tokenHash = sessionKeyHash(QString::fromLatin1(token));
    const std::optional<AdminSession> session = storage.useAdminSession(
        signedIn.tokenHash, QDateTime::currentSecsSinceEpoch(), dashboard::kIdleSecs);
    const std::optional<AdminRecord> admin =
        session ? storage.findAdmin(session->adminId) : std::nullopt;
    if (!admin || admin->disabled()) {
        *refusal = HttpAnswer::error(401, kSignInAgain);
        return std::nullopt;
    }
    signedIn.session = *session;
    signedIn.admin = *admin;
    if (needCsrf &&
        !sameSecret(request.header(dashboard::kCsrfHeader), session->csrfToken.toLatin1())) {
        *refusal = HttpAnswer::error(
            403, QStringLiteral("보안 토큰이 맞지 않습니다. 페이지를 새로 고치세요"));
        return std::nullopt;
    }
    return signedIn;
}

} // namespace qav::adminsession
