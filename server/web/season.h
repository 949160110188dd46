#pragma once

#include "server/http/exchange.h"
#include "server/storage/storage.h"

namespace qav {

// The season from the dashboard, for managers: performances, gate operators and the venue's
// dashboard accounts, as JSON under /api/season/. Every call needs the session cookie and its
// CSRF token (GETs too, as the dashboard's); an account below manager gets 403 and changes
// nothing; what lies in a venue the account may not see answers 404 as if it were not there.
// Every change is written to the audit with the account and its address, in the change's own
// transaction; an add refused by the database as taken answers 409. A password is never
// answered, but the one the server made, once. Throws StorageError when the database fails.
namespace season {

inline constexpr auto kPrefix = "/api/season/";

HttpAnswer handle(const HttpRequest &request, Storage &storage);

} // namespace season

} // namespace qav
