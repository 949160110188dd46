#pragma once

#include "exchange.h"

#include <QObject>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace qav {

// Runs a route's handler and answers 500 when it throws; a database failure also makes the
// context drop its connection, so the next request on that worker opens a new one.
HttpAnswer runRoute(const Route &route, const HttpRequest &request, WorkerContext &context);

// Where the HTTP front hands its requests. submit() returns at once or after running the
// handler; done is called exactly once, on the thread that called submit (that thread runs a Qt
// event loop), possibly before submit returns.
class Executor
{
public:
    using Done = std::function<void(HttpAnswer)>;
    virtual ~Executor() = default;
    virtual void submit(const Route &route, Lane lane, HttpRequest request, Done done) = 0;
};

// Runs every handler at once on the calling thread, with one context.
class InlineExecutor final : public Executor
{
public:
    explicit InlineExecutor(WorkerContext::Opener opener);
    void submit(const Route &route, Lane lane, HttpRequest request, Done done) override;

private:
    WorkerContext m_context;
};

} // namespace qav
