#include "executor.h"

#include <cstdio>

namespace qav {

HttpAnswer runRoute(const Route &route, const HttpRequest &request, WorkerContext &context)
{
    try {
        if (!route.handler)
            return HttpAnswer::error(404, QStringLiteral("없는 경로입니다"));
        return route.handler(request, context);
    } catch (const StorageError &e) {
        context.dropStorage();
        std::fprintf(stderr, "qav-server: request failed: %s\n", e.what());
    } catch (const std::exception &e) {
        std::fprintf(stderr, "qav-server: request failed: %s\n", e.what());
    } catch (...) {
    }
    return HttpAnswer::error(500, QStringLiteral("서버 오류입니다. 잠시 후 다시 시도하세요"));
}

InlineExecutor::InlineExecutor(WorkerContext::Opener opener) : m_context(std::move(opener)) {}

void InlineExecutor::submit(const Route &route, Lane, HttpRequest request, Done done)
{
    done(runRoute(route, request, m_context));
}

} // namespace qav
