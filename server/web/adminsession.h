#pragma once

#include "server/accounts/signinguard.h"
#include "server/http/exchange.h"
#include "server/storage/stores.h"

#include <optional>

namespace qav {

// The account behind a dashboard request.
struct SignedInAdmin
{
    AdminRecord admin;
    AdminSession session;
    QString tokenHash;

    // Whether this admin may see the venue (an admin without a venue sees every one).
    bool maySee(const QString &placeCode) const
    {
        return admin.placeCode.isEmpty() || admin.placeCode == placeCode;
    }
    // Whether the admin's role is at least role.
    bool may(AdminRole role) const { return admin.role >= role; }
};

// Dashboard sign-in, sign-out and the session check of every other call. The session is a
// random token in an HttpOnly, SameSite=Strict cookie (Secure over TLS); the database keeps only
// its hash, with a CSRF token the page sends back in a header. Throws StorageError.
namespace adminsession {

// guard decides which sign-ins get their password checked.
HttpAnswer signIn(const HttpRequest &request, DashboardStore &storage, SignInGuard &guard);
HttpAnswer signOut(const HttpRequest &request, DashboardStore &storage, const SignedInAdmin &admin);
// The signed-in admin; otherwise nullopt with *refusal set: 401 without a live session, 403 when
// needCsrf and the header does not carry the session's token.
std::optional<SignedInAdmin> check(const HttpRequest &request, DashboardStore &storage,
                                   bool needCsrf, HttpAnswer *refusal);
QJsonObject describe(const SignedInAdmin &admin);

} // namespace adminsession

} // namespace qav
