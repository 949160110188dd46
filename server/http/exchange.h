#pragma once

// How a request is handled, in plain values (no Qt sockets), so handlers can run on any thread:
//
//   HttpFront (socket thread)          Executor                        worker thread
//   HttpParser         -> HttpRequest --submit(route, request)--> route.handler(request, context)
//   socket <- HttpAnswer <------------- done(answer) on the socket thread <------- HttpAnswer
//
// A handler is a plain function HttpAnswer(const HttpRequest &, WorkerContext &). It must not
// touch sockets or any state shared between threads other than through the context; the context
// belongs to the one worker thread that runs it (its own database connection, and whatever else
// a part keeps per thread via get<T>()). Handlers are registered in Routes by path. Answers on
// one connection go out in the order its requests came in, however they finish.

#include "server/base/lane.h"
#include "server/storage/storage.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrlQuery>

#include <functional>
#include <memory>
#include <typeindex>
#include <unordered_map>

namespace qav {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

struct HttpRequest
{
    QByteArray method; // "GET", "POST", ... as sent
    QString path;      // percent-encoded, without the query
    QUrlQuery query;
    HeaderList headers; // names as sent
    QByteArray body;
    QHostAddress peer;
    QHostAddress local;    // the address the request came in on
    bool secure = false;   // came over TLS
    qint64 receivedNs = 0; // steady clock when the request was complete

    // First value of a header, names compared without case; empty when absent.
    QByteArray header(const QByteArray &name) const;
};

struct HttpAnswer
{
    int status = 200;
    QByteArray mime = "application/json";
    QByteArray body;
    HeaderList headers; // sent after Content-Type and Content-Length
    // Held back this long before it is written (a throttled sign-in), by a timer on the socket's
    // thread, so no worker waits for it.
    qint64 delayMs = 0;

    // For the request log only, never sent: what was asked ("Query", "logo", ...) and its result.
    QString logWhat = QStringLiteral("-");
    QString logResult;

    // {"error": text} with that status.
    static HttpAnswer error(int status, const QString &text);
};

// What a worker thread keeps for the handlers it runs. Used by one thread only.
class WorkerContext
{
public:
    using Opener = std::function<std::unique_ptr<Storage>()>;
    explicit WorkerContext(Opener opener);
    ~WorkerContext();

    // This worker's database connection, opened on first use; throws StorageError.
    Storage &storage();
    // Forgets the connection after a database failure, so the next request opens a new one.
    void dropStorage();
    // How this worker opens its connection, for work a handler hands to a thread of its own.
    const Opener &opener() const { return m_opener; }

    // Any other per-thread state, default-constructed on first use (caches, prepared objects).
    template <typename T> T &get()
    {
        auto &slot = m_extras[std::type_index(typeid(T))];
        if (!slot)
            slot = std::shared_ptr<void>(new T(), [](void *p) { delete static_cast<T *>(p); });
        return *static_cast<T *>(slot.get());
    }

private:
    Opener m_opener;
    std::unique_ptr<Storage> m_storage;
    std::unordered_map<std::type_index, std::shared_ptr<void>> m_extras;
};

using Handler = std::function<HttpAnswer(const HttpRequest &, WorkerContext &)>;

struct Route
{
    Handler handler;
    // Picks the lane per request; empty means Quick.
    std::function<Lane(const HttpRequest &)> lane;
    // A Quick-lane request not answered this long after it arrived is answered 503 with lateText
    // by the front, whatever its worker is stuck on (a database host that stopped answering); the
    // worker's own answer is dropped when it comes. 0: no such bound.
    qint64 deadlineMs = 0;
    QString lateText = {};
};

// Handlers by path: an exact path wins over a prefix, a longer prefix over a shorter one.
class Routes
{
public:
    void add(const QString &path, Route route);
    void addPrefix(const QString &prefix, Route route);
    void setFallback(Route route);
    const Route &find(const QString &path) const;

private:
    QHash<QString, Route> m_exact;
    QList<QPair<QString, Route>> m_prefixes; // longest first
    Route m_fallback;
};

} // namespace qav
