#pragma once

#include "server/http/exchange.h"
#include "server/protocol/gateservice.h"
#include "wire/headers.h"

namespace qav {

// The gate's routes on the HTTP front: the business object's query endpoint (and a 404 for other
// business objects) and the venue logos, with their counts for /metrics. Registered by `serve`
// beside the dashboard's; the front itself knows no command.
struct MemberRouteOptions
{
    QString imagesDir;           // empty: no logos
    bool constantAnswer = false; // answer without the database (benchmark baseline)
    qint64 sessionIdleSecs = 12 * 3600;
    int sessionScanRate = kDefaultSessionScanRate; // per session and second; 0: no ceiling
};

void addMemberRoutes(Routes &routes, const MemberRouteOptions &options);

// Every POST to the business object carries this header with this value, or is refused 403.
using wire::kClientHeader;
using wire::kStationClient;

// The query endpoint's handler alone; policy holds the sessions' settings and the sign-in
// guard shared by every worker (the constant answer needs none).
HttpAnswer answerQuery(const HttpRequest &request, WorkerContext &context, GatePolicy *policy);

} // namespace qav
