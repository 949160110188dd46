#pragma once

#include "server/http/exchange.h"
#include "server/sync/ratelimiter.h"

namespace qav {

// What the sales system's API is told by `serve`.
struct SyncRouteOptions
{
    double ratePerSecond = 20; // requests per second per token; twice that may come at once
};

// The largest body the API takes; a longer one is refused with 413 by the front.
inline constexpr qint64 kMaxSyncBody = 1024 * 1024;
inline constexpr auto kSyncPrefix = "/api/v1/";

// The sales system's API under /api/v1/ (docs/sync-api.md; its OpenAPI document is served at
// /api/v1/openapi.json from the binary's resources). Every call but the document needs a token
// of `qav-server add-token` as "Authorization: Bearer", checked against the database each time;
// a token acts only on its venue. Writes honour Idempotency-Key. Throws StorageError when the
// database fails (the front answers 500); never touches a socket.
void addSyncRoutes(Routes &routes, const SyncRouteOptions &options = {});
HttpAnswer handleSync(const HttpRequest &request, Storage &storage, RateLimiter &limiter);

} // namespace qav
