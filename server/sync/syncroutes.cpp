#include "server/sync/syncroutes.h"

#include "server/accounts/sessionkeys.h"
#include "server/base/steadyclock.h"
#include "server/import/bookingimport.h"
#include "server/sync/syncjson.h"
#include "server/sync/synctoken.h"
#include "wire/headers.h"
#include "wire/ticket.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <memory>

namespace qav {

namespace {

constexpr int kDefaultPage = 100;
constexpr int kMaxPage = 1000;
// A claim of an Idempotency-Key whose request has run this long is taken to be lost with its
// server, and its retry runs again (writing the same bookings again is harmless).
constexpr qint64 kStaleClaimSecs = 120;
constexpr qsizetype kMaxIdempotencyKey = 200;

void setHeader(HttpAnswer &answer, const QByteArray &name, const QByteArray &value)
{
    answer.headers.append(qMakePair(name, value));
}

HttpAnswer jsonAnswer(int status, const QJsonObject &object)
{
    HttpAnswer a;
    a.status = status;
    a.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return a;
}

HttpAnswer problem(int status, const QString &error, const QString &field = {})
{
    QJsonObject o{{u"error"_qs, error}};
    if (!field.isEmpty())
        o.insert(u"field"_qs, field);
    return jsonAnswer(status, o);
}

HttpAnswer noPerformance()
{
    return problem(404, u"no such performance"_qs, u"bizcode"_qs);
}

HttpAnswer notAllowed(const QByteArray &allow)
{
    HttpAnswer a = problem(405, u"method not allowed"_qs);
    setHeader(a, "Allow", allow);
    return a;
}

HttpAnswer openApi()
{
    QFile file(u":/qav/sync/openapi.json"_qs);
    if (!file.open(QIODevice::ReadOnly))
        return problem(500, u"the API document is missing from this build"_qs);
    HttpAnswer a;
    a.body = file.readAll();
    return a;
}

// A path segment as sent, percent-decoded; empty when it is not UTF-8 text.
QString segment(const QString &encoded)
{
    const QByteArray bytes = QByteArray::fromPercentEncoding(encoded.toLatin1());
    const QString text = QString::fromUtf8(bytes);
    return text.toUtf8() == bytes ? text : QString();
}

// The performance the token may act on, none for another venue's or none at all: both answer
// the same, so a token learns nothing of other venues.
std::optional<Performance> ownPerformance(Storage &storage, const SyncToken &token,
                                          const QString &bizcode)
{
    if (bizcode.isEmpty() || isDrillCode(bizcode))
        return std::nullopt;
    std::optional<Performance> p = storage.findPerformance(bizcode);
    if (!p || p->placeCode != token.placeCode)
        return std::nullopt;
    return p;
}

bool pageArgs(const HttpRequest &r, const QString &afterName, qint64 &after, int &limit,
              HttpAnswer &bad)
{
    after = 0;
    limit = kDefaultPage;
    bool ok = true;
    if (r.query.hasQueryItem(afterName)) {
        after = r.query.queryItemValue(afterName).toLongLong(&ok);
        if (!ok || after < 0) {
            bad = problem(400, u"must be a whole number, 0 or more"_qs, afterName);
            return false;
        }
    }
    if (r.query.hasQueryItem(u"limit"_qs)) {
        limit = r.query.queryItemValue(u"limit"_qs).toInt(&ok);
        if (!ok || limit < 1 || limit > kMaxPage) {
            bad = problem(400, QStringLiteral("must be 1 to %1").arg(kMaxPage), u"limit"_qs);
            return false;
        }
    }
    return true;
}

QJsonObject bookingJson(const BookingRecord &r)
{
    return {{u"ticketNo"_qs, r.booking.ticketNo},
            {u"custName"_qs, r.booking.custName},
            {u"seatGrade"_qs, r.booking.seatGrade},
            {u"seatInfo"_qs, r.booking.seatInfo},
            {u"cancelled"_qs, r.booking.cancelled},
            {u"inside"_qs, r.inside},
            {u"entries"_qs, r.entries},
            {u"exits"_qs, r.exits},
            {u"lastEntryAt"_qs, r.lastEntryAt},
            {u"lastExitAt"_qs, r.lastExitAt}};
}

struct Call
{
    const HttpRequest &request;
    Storage &storage;
    const SyncToken &token;
    SyncActor actor;
};

HttpAnswer putPerformance(const Call &c, const QString &bizcode)
{
    QString why;
    if (!bizcodeAllowed(bizcode, why))
        return problem(400, why, u"bizcode"_qs);
    Performance p;
    JsonProblem bad;
    if (!readPerformanceBody(c.request.body, p, bad))
        return problem(400, bad.reason, bad.field);
    p.bizcode = bizcode;
    p.placeCode = c.token.placeCode;
    bool created = false;
    if (!c.storage.putSyncPerformance(p, c.actor, created))
        return noPerformance();
    return jsonAnswer(created ? 201 : 200, {{u"bizcode"_qs, p.bizcode},
                                            {u"goodsName"_qs, p.goodsName},
                                            {u"startsAt"_qs, p.startsAt},
                                            {u"placeName"_qs, p.placeName},
                                            {u"created"_qs, created}});
}

HttpAnswer postBookings(const Call &c, const QString &bizcode)
{
    BookingBatch batch = readBookingBatch(c.request.body, bizcode);
    if (batch.tooMany)
        return problem(413, batch.problems.value(0).reason, u"bookings"_qs);
    if (!batch.problems.isEmpty()) {
        if (batch.problems.first().index < 0)
            return problem(400, batch.problems.first().reason, batch.problems.first().field);
        QJsonArray items;
        for (const JsonProblem &p : std::as_const(batch.problems))
            items.append(QJsonObject{
                {u"index"_qs, p.index}, {u"field"_qs, p.field}, {u"reason"_qs, p.reason}});
        return jsonAnswer(
            400, {{u"error"_qs,
                   QStringLiteral("%1 bad item(s); nothing written").arg(batch.problems.size())},
                  {u"field"_qs, u"bookings"_qs},
                  {u"items"_qs, items}});
    }
    BookingFile file;
    file.bookings = batch.bookings;
    for (qsizetype i = 0; i < batch.bookings.size(); ++i)
        file.lineOf << int(i);
    const BookingImport plan = planBookings(c.storage, file);
    if (!plan.problems.isEmpty()) // the performance went meanwhile
        return noPerformance();
    if (!plan.toWrite.isEmpty())
        c.storage.putSyncBookings(bizcode, plan.toWrite, c.actor,
                                  plan.counts() +
                                      (plan.admittedCancelled.isEmpty()
                                           ? QString()
                                           : QStringLiteral("; cancelled although admitted: %1")
                                                 .arg(plan.admittedCancelled.join(u", "_qs))));
    return jsonAnswer(
        200, {{u"new"_qs, plan.added},
              {u"changed"_qs, plan.changed()},
              {u"unchanged"_qs, plan.unchanged()},
              {u"admittedCancelled"_qs, QJsonArray::fromStringList(plan.admittedCancelled)}});
}

HttpAnswer deleteBooking(const Call &c, const QString &bizcode, const QString &ticketNo)
{
    const std::optional<BookingRecord> before =
        ticketNo.isEmpty() ? std::nullopt : c.storage.cancelSyncBooking(bizcode, ticketNo, c.actor);
    if (!before)
        return problem(404, u"no such booking"_qs, u"ticketNo"_qs);
    QJsonObject o = bookingJson(*before);
    o.insert(u"cancelled"_qs, true);
    o.insert(u"wasCancelled"_qs, before->booking.cancelled);
    o.insert(u"admittedAlready"_qs, before->entries > 0);
    return jsonAnswer(200, o);
}

HttpAnswer bookingFeed(const Call &c, const QString &bizcode)
{
    qint64 after = 0;
    int limit = 0;
    HttpAnswer bad;
    if (!pageArgs(c.request, u"after"_qs, after, limit, bad))
        return bad;
    const QList<FeedBooking> rows = c.storage.bookingFeed(bizcode, after, limit);
    QJsonArray list;
    for (const FeedBooking &f : rows) {
        QJsonObject o = bookingJson(f.record);
        o.insert(u"seq"_qs, f.seq);
        list.append(o);
    }
    return jsonAnswer(200, {{u"bookings"_qs, list},
                            {u"next"_qs, rows.isEmpty() ? after : rows.constLast().seq},
                            {u"more"_qs, rows.size() == limit}});
}

HttpAnswer scanFeed(const Call &c, const QString &bizcode)
{
    qint64 after = 0;
    int limit = 0;
    HttpAnswer bad;
    if (!pageArgs(c.request, u"after"_qs, after, limit, bad))
        return bad;
    const QList<FeedScan> rows = c.storage.scanFeed(bizcode, after, limit);
    QJsonArray list;
    for (const FeedScan &f : rows) {
        const ScanLogEntry &e = f.entry;
        const bool annul = e.kind == QLatin1String(kAuditAnnul);
        QJsonObject o{{u"id"_qs, f.feedNo},
                      {u"at"_qs, e.scannedAt},
                      {u"ticketNo"_qs, e.ticketRaw},
                      {u"event"_qs, annul                          ? u"annulment"_qs
                                    : e.mode == QLatin1String("I") ? u"entry"_qs
                                                                   : u"exit"_qs},
                      {u"by"_qs, e.operatorId},
                      {u"manual"_qs, e.kind == QLatin1String(kAuditManual)}};
        if (annul)
            o.insert(u"reason"_qs, e.manualReason);
        list.append(o);
    }
    return jsonAnswer(200, {{u"scans"_qs, list},
                            {u"next"_qs, rows.isEmpty() ? after : rows.constLast().feedNo},
                            {u"more"_qs, rows.size() == limit}});
}

// The call itself, once the token is known and the rate allows it.
HttpAnswer route(const Call &c)
{
    const QStringList parts = c.request.path.mid(qsizetype(qstrlen(kSyncPrefix))).split(u'/');
    if (parts.size() < 2 || parts.size() > 4 || parts[0] != QLatin1String("performances"))
        return problem(404, u"no such path"_qs);
    const QString bizcode = segment(parts[1]);
    const QByteArray &method = c.request.method;
    if (parts.size() == 2) {
        if (method != "PUT")
            return notAllowed("PUT");
        // Another venue's bizcode answers as if it did not exist.
        if (const auto p = c.storage.findPerformance(bizcode);
            (p && p->placeCode != c.token.placeCode) || isDrillCode(bizcode))
            return noPerformance();
        return putPerformance(c, bizcode);
    }
    const QString what = parts[2];
    if (what != QLatin1String("bookings") && what != QLatin1String("scans"))
        return problem(404, u"no such path"_qs);
    if (!ownPerformance(c.storage, c.token, bizcode))
        return noPerformance();
    if (what == QLatin1String("scans")) {
        if (parts.size() != 3)
            return problem(404, u"no such path"_qs);
        return method == "GET" ? scanFeed(c, bizcode) : notAllowed("GET");
    }
    if (parts.size() == 4)
        return method == "DELETE" ? deleteBooking(c, bizcode, segment(parts[3]))
                                  : notAllowed("DELETE");
    if (method == "POST")
        return postBookings(c, bizcode);
    return method == "GET" ? bookingFeed(c, bizcode) : notAllowed("GET, POST");
}

// A write under an Idempotency-Key: the first answer kept and given again to a retry of the same
// request; the key with another request is refused.
HttpAnswer idempotent(const Call &c, const QByteArray &key)
{
    if (key.size() > kMaxIdempotencyKey || wire::hasControlCharacter(QString::fromLatin1(key)))
        return problem(400,
                       QStringLiteral("at most %1 printable characters").arg(kMaxIdempotencyKey),
                       u"Idempotency-Key"_qs);
    const QString keyText = QString::fromLatin1(key);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(c.request.method + '\n' + c.request.path.toUtf8() + '\n');
    hash.addData(c.request.body);
    const QString requestHash = QString::fromLatin1(hash.result().toHex());
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const SyncClaim claim =
        c.storage.claimSyncKey(c.token.name, keyText, requestHash, now, now - kStaleClaimSecs);
    switch (claim.kind) {
    case SyncClaim::Answered: {
        HttpAnswer a;
        a.status = claim.status;
        a.body = claim.answer;
        setHeader(a, "Idempotent-Replayed", "true");
        return a;
    }
    case SyncClaim::Other:
        return problem(422, u"this key was used for another request"_qs, u"Idempotency-Key"_qs);
    case SyncClaim::UnderWay: {
        HttpAnswer a = problem(409, u"the first request with this key is still running"_qs,
                               u"Idempotency-Key"_qs);
        setHeader(a, "Retry-After", "1");
        return a;
    }
    case SyncClaim::New:
        break;
    }
    HttpAnswer answer;
    try {
        answer = route(c);
    } catch (...) {
        c.storage.dropSyncKey(c.token.name, keyText);
        throw;
    }
    if (answer.status >= 500)
        c.storage.dropSyncKey(c.token.name, keyText);
    else
        c.storage.finishSyncKey(c.token.name, keyText, answer.status, answer.body);
    return answer;
}

} // namespace

HttpAnswer handleSync(const HttpRequest &request, Storage &storage, RateLimiter &limiter)
{
    if (request.path == QLatin1String("/api/v1/openapi.json"))
        return request.method == "GET" || request.method == "HEAD" ? openApi()
                                                                   : notAllowed("GET, HEAD");
    const QString bearer = bearerKey(request.header(wire::kAuthorizationHeader));
    const std::optional<SyncToken> token =
        bearer.isEmpty() ? std::nullopt : storage.findSyncToken(syncTokenHash(bearer));
    if (!token) {
        HttpAnswer a = problem(401, u"a valid token is needed"_qs, u"Authorization"_qs);
        setHeader(a, "WWW-Authenticate", "Bearer");
        return a;
    }
    if (const int wait = limiter.take(token->name, steadyNs()); wait > 0) {
        HttpAnswer a = problem(429, u"too many requests for this token"_qs);
        setHeader(a, "Retry-After", QByteArray::number(wait));
        return a;
    }
    const Call call{request, storage, *token, SyncActor{token->name, request.peer.toString()}};
    const QByteArray key = request.header(wire::kReplayKeyHeader);
    if (request.method != "GET" && request.method != "HEAD" && !key.isEmpty())
        return idempotent(call, key);
    return route(call);
}

void addSyncRoutes(Routes &routes, const SyncRouteOptions &options)
{
    const auto limiter = std::make_shared<RateLimiter>(options.ratePerSecond);
    const Handler handler = [limiter](const HttpRequest &request, WorkerContext &context) {
        HttpAnswer answer = handleSync(request, context.storage(), *limiter);
        setHeader(answer, "Cache-Control", "no-store");
        answer.logWhat = request.path.mid(1);
        answer.logResult = QString::number(answer.status);
        return answer;
    };
    routes.addPrefix(QString::fromLatin1(kSyncPrefix), {handler, {}});
}

} // namespace qav
