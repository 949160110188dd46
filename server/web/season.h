#pragma once

#include "server/http/exchange.h"
#include "server/storage/auditseal.h"
#include "server/storage/storage.h"
#include "server/web/bookinguploads.h"

namespace qav {

// The season from the dashboard, for managers: performances, gate operators and the venue's
// dashboard accounts, as JSON under /api/season/. Every call needs the session cookie and its
// CSRF token (GETs too, as the dashboard's); an account below manager gets 403 and changes
// nothing; what lies in a venue the account may not see answers 404 as if it were not there.
// Every change is written to the audit with the account and its address, in the change's own
// transaction; an add refused by the database as taken answers 409. A password is never
// answered, but the one the server made, once. Throws StorageError when the database fails.
// Booking files and audit exports: seasonfiles.h.
namespace season {

inline constexpr auto kPrefix = "/api/season/";
// The one call whose body is a file, and how large that may be: a booking file's limit.
inline constexpr auto kUploadPath = "/api/season/bookings/upload";
inline constexpr qint64 kMaxUpload = ImportLimits{}.fileBytes;

// What the season's calls share across requests and workers.
struct Shared
{
    SealKey auditKey; // seals the audit's exports, as the command line's --audit-key
    BookingUploads uploads;
};

HttpAnswer handle(const HttpRequest &request, WorkerContext &context, Shared &shared);

} // namespace season

} // namespace qav
