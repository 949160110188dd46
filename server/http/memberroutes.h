#pragma once

#include "exchange.h"

namespace qav {

// The routes of the business object: its query endpoint (and a 404 for other business objects)
// and the venue logos.
struct MemberRouteOptions
{
    QString imagesDir;           // empty: no logos
    bool constantAnswer = false; // answer without the database (benchmark baseline)
};

void addMemberRoutes(Routes &routes, const MemberRouteOptions &options);

// The query endpoint's handler alone.
HttpAnswer answerQuery(const HttpRequest &request, WorkerContext &context,
                       bool constantAnswer = false);

} // namespace qav
