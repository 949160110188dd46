#pragma once

#include "server/accounts/signinguard.h"
#include "server/http/exchange.h"
#include "server/http/hostnames.h"
#include "server/storage/auditseal.h"
#include "server/storage/stores.h"
#include "server/web/gatehealth.h"

#include <QJsonObject>

namespace qav {

// The venue dashboard: its page under /dashboard/ (served from the binary's resources) and its
// JSON API under /api/. Every API call but sign-in needs the session cookie and, except for
// reading the session itself, the session's CSRF token in the X-CSRF-Token header. Throws
// StorageError when the database fails (the front answers 500); never touches a socket.
namespace dashboard {

inline constexpr qint64 kIdleSecs = 30 * 60; // a session unused this long is signed out
inline constexpr auto kCookieName = "qav_admin";
inline constexpr auto kCsrfHeader = "X-CSRF-Token";

// Registers the page and the API with a sign-in guard of their own; sign-in runs in the guard's
// lane. Both answer 421 to a Host header that hosts does not allow. gates says when a gate is
// flagged; auditKey seals the audit's exports.
void addRoutes(Routes &routes, const HostNames &hosts, const GateHealthLimits &gates = {},
               const SealKey &auditKey = {});
HttpAnswer handle(const HttpRequest &request, DashboardStore &storage, SignInGuard &guard,
                  const GateHealthLimits &gates = {});

// The headers every answer of the page and the API carries: what the page may load, no sniffing,
// no referrer, HTTPS only once reached over it.
void addPageHeaders(HttpAnswer &answer, const HttpRequest &request);
// Whether a value of the query or of the posted form holds a control character, as a handler
// would use it: a reason with its whitespace folded, anything else trimmed; passwords are left.
bool controlCharacterIn(const HttpRequest &request);

HttpAnswer json(int status, const QJsonObject &object);
void addHeader(HttpAnswer &answer, const QByteArray &name, const QByteArray &value);

} // namespace dashboard

} // namespace qav
