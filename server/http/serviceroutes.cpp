#include "server/http/serviceroutes.h"

#include "server/http/metrics.h"
#include "server/http/serverlog.h"

namespace qav {

namespace {

HttpAnswer plain(int status, const QByteArray &body)
{
    HttpAnswer a;
    a.status = status;
    a.mime = "text/plain; charset=utf-8";
    a.body = body;
    a.logResult = QString::number(status);
    a.headers.append(qMakePair(QByteArray("Cache-Control"), QByteArray("no-store")));
    return a;
}

// Only reads: anything else is refused before the handler looks at it.
std::optional<HttpAnswer> refuseNonRead(const HttpRequest &request)
{
    if (request.method == "GET" || request.method == "HEAD")
        return std::nullopt;
    HttpAnswer a = HttpAnswer::error(405, QStringLiteral("GET만 받습니다"));
    a.headers.append(qMakePair(QByteArray("Allow"), QByteArray("GET, HEAD")));
    return a;
}

Route inlineRoute(Handler handler)
{
    return {std::move(handler), [](const HttpRequest &) { return Lane::Inline; }};
}

} // namespace

void addServiceRoutes(Routes &routes, bool withDatabase)
{
    routes.add(QStringLiteral("/"), inlineRoute([](const HttpRequest &r, WorkerContext &) {
                   if (auto refused = refuseNonRead(r))
                       return *refused;
                   HttpAnswer a = plain(303, "/dashboard/\n");
                   a.headers.append(qMakePair(QByteArray("Location"), QByteArray("/dashboard/")));
                   a.logWhat = QStringLiteral("root");
                   return a;
               }));
    routes.add(QStringLiteral("/metrics"), inlineRoute([](const HttpRequest &r, WorkerContext &) {
                   if (auto refused = refuseNonRead(r))
                       return *refused;
                   HttpAnswer a = plain(200, serverMetrics().render());
                   a.mime = "text/plain; version=0.0.4; charset=utf-8";
                   a.logWhat = QStringLiteral("metrics");
                   return a;
               }));

    const QByteArray unavailable = "unavailable: the database does not answer\n";
    Route health{[withDatabase, unavailable](const HttpRequest &r, WorkerContext &context) {
                     if (auto refused = refuseNonRead(r))
                         return *refused;
                     HttpAnswer a = plain(200, "ok\n");
                     if (withDatabase) {
                         try {
                             context.storage().checkHealth();
                         } catch (const StorageError &e) {
                             context.dropStorage();
                             // The reason goes to the log only: the answer is public.
                             qCWarning(lcRequest) << "health check failed:" << e.what();
                             a = plain(503, unavailable);
                         }
                     }
                     a.logWhat = QStringLiteral("healthz");
                     return a;
                 },
                 {}};
    if (!withDatabase)
        health.lane = [](const HttpRequest &) { return Lane::Inline; };
    // A database that stopped answering holds the worker: the front answers for it in time.
    health.deadlineMs = kScanBudgetMs + 300;
    health.lateText = QString::fromUtf8(unavailable.trimmed());
    routes.add(QStringLiteral("/healthz"), std::move(health));
}

} // namespace qav
