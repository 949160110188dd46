// The sales system's API on a real server and database: its endpoints, retries, isolation of
// venues, a cancellation racing an admission, the feeds while gates scan, revoked tokens.

#include "server/cli/demoseed.h"
#include "server/storage/storage.h"
#include "tests/server/testsupport.h"
#include "tests/support/GateClient.h"
#include "tests/support/RawHttp.h"
#include "tests/support/ServerProcess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTest>

#include <atomic>
#include <thread>

using namespace qav;

namespace {

const QString kBiz = QString::fromLatin1(demo::kTodayBizcode);
const ServerOptions kQuiet = [] {
    ServerOptions o;
    o.quiet = true;
    return o;
}();

QByteArray apiRequest(const QByteArray &method, const QString &path, const QString &token,
                      const QByteArray &body = {}, const QByteArray &key = {})
{
    QByteArray r = method + ' ' + path.toUtf8() + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!token.isEmpty())
        r += "Authorization: Bearer " + token.toLatin1() + "\r\n";
    if (!key.isEmpty())
        r += "Idempotency-Key: " + key + "\r\n";
    if (!body.isEmpty() || method == "POST" || method == "PUT")
        r +=
            "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
            "\r\n";
    return r + "\r\n" + body;
}

// One API call on a connection of its own; callable from any thread.
qavtest::RawReply call(quint16 port, const QByteArray &method, const QString &path,
                       const QString &token, const QJsonObject &body = {},
                       const QByteArray &key = {})
{
    const QByteArray bytes =
        body.isEmpty() ? QByteArray() : QJsonDocument(body).toJson(QJsonDocument::Compact);
    return qavtest::exchange(port, apiRequest(method, path, token, bytes, key));
}

QJsonObject batch(const QList<QJsonObject> &items)
{
    QJsonArray list;
    for (const QJsonObject &o : items)
        list.append(o);
    return {{u"bookings"_qs, list}};
}

QString bookingsPath(const QString &bizcode = kBiz)
{
    return QStringLiteral("/api/v1/performances/%1/bookings").arg(bizcode);
}

// A token made by the command line for the venue.
QString addToken(const QString &db, const QString &dir, const QString &name,
                 const QString &venue = QString::fromLatin1(demo::kPlaceCode))
{
    const CliResult r = runCli({u"add-token"_qs, name, u"--venue"_qs, venue, u"--db"_qs, db}, dir);
    if (r.exitCode != 0)
        qWarning("add-token: %s", qPrintable(r.all()));
    return r.out.trimmed();
}

// The accepted entries of a ticket in the audit.
int acceptedEntries(Storage &storage, const QString &ticket)
{
    int n = 0;
    for (const ScanLogEntry &e : storage.scanLog(kBiz)) {
        if (e.ticketRaw == ticket && e.mode == QLatin1String("I") && e.kind == u"scan"_qs &&
            QStringList{u"0"_qs, u"1"_qs, u"2"_qs}.contains(e.resultCode))
            ++n;
    }
    return n;
}

// The demo on a scratch database, a server whose API takes rate calls a second per token, and a
// token of the demo venue.
struct ApiSite
{
    ApiSite(const QString &backend, int rate) : scratch(backend)
    {
        seedDemo(*openStorage(scratch.url()));
        server = serverOn(scratch.url(), {u"--quiet"_qs, u"--api-rate"_qs, QString::number(rate)});
        port = server->port();
        if (port)
            token = addToken(scratch.url(), scratch.dir(), u"sales"_qs);
    }
    qavtest::ScratchDatabase scratch;
    std::unique_ptr<ServerProcess> server;
    quint16 port = 0;
    QString token;
};

} // namespace

class ServerSyncTest : public QObject
{
    Q_OBJECT

private slots:
    void endpointsAndRetries_data() { qavtest::backendRows(); }
    void endpointsAndRetries();
    void badInputChangesNothing_data() { qavtest::backendRows(); }
    void badInputChangesNothing();
    void otherVenueSeesNothing_data() { qavtest::backendRows(); }
    void otherVenueSeesNothing();
    void cancellationRacingAdmission_data() { qavtest::backendRows(); }
    void cancellationRacingAdmission();
    void scanFeedWhileGatesScan_data() { qavtest::backendRows(); }
    void scanFeedWhileGatesScan();
    void revokedTokenRefusedBySecondServer_data() { qavtest::backendRows(); }
    void revokedTokenRefusedBySecondServer();
};

void ServerSyncTest::endpointsAndRetries()
{
    QFETCH(QString, backend);
    QAV_REQUIRE_BACKEND(backend);
    const ApiSite site(backend, 1000);
    QVERIFY(site.port && !site.token.isEmpty());
    const quint16 port = site.port;
    const QString &token = site.token;

    QCOMPARE(
        call(port, "GET", u"/api/v1/openapi.json"_qs, {}).json().value(u"openapi"_qs).toString(),
        u"3.0.3"_qs);
    QCOMPARE(call(port, "GET", bookingsPath(), {}).status, 401);

    // A performance made, then changed.
    const QString perf = u"/api/v1/performances/NEW001"_qs;
    QJsonObject p{{u"goodsName"_qs, u"새 공연"_qs}, {u"startsAt"_qs, u"203001011900"_qs}};
    QCOMPARE(call(port, "PUT", perf, token, p).status, 201);
    p.insert(u"placeName"_qs, u"B홀"_qs);
    QCOMPARE(call(port, "PUT", perf, token, p).status, 200);
    QCOMPARE(openStorage(site.scratch.url())->findPerformance(u"NEW001"_qs)->placeName, u"B홀"_qs);

    // A batch, retried with its key: the first answer again, nothing written twice.
    const QJsonObject first = batch(
        {{{u"ticketNo"_qs, u"A1"_qs}, {u"custName"_qs, u"김"_qs}},
         {{u"ticketNo"_qs, u"A2"_qs}},
         {{u"ticketNo"_qs, QString::fromLatin1(demo::kFirstTicket)}, {u"seatInfo"_qs, u"R-1"_qs}}});
    const auto posted = call(port, "POST", bookingsPath(), token, first, "k1");
    QCOMPARE(posted.status, 200);
    QCOMPARE(posted.json().value(u"new"_qs).toInt(), 2);
    QCOMPARE(posted.json().value(u"changed"_qs).toInt(), 1);
    const auto feed = call(port, "GET", bookingsPath() + u"?after=0&limit=1000"_qs, token);
    const qint64 last = feed.json().value(u"next"_qs).toInteger();
    const auto again = call(port, "POST", bookingsPath(), token, first, "k1");
    QCOMPARE(again.body, posted.body);
    QVERIFY(again.head.contains("Idempotent-Replayed: true"));
    QCOMPARE(call(port, "GET", bookingsPath() + u"?after=%1"_qs.arg(last), token)
                 .json()
                 .value(u"bookings"_qs)
                 .toArray()
                 .size(),
             0);
    QCOMPARE(call(port, "POST", bookingsPath(), token, batch({{{u"ticketNo"_qs, u"A3"_qs}}}), "k1")
                 .status,
             422);
    // Sent again without a key, nothing is new: all unchanged, the sequence stays.
    QCOMPARE(call(port, "POST", bookingsPath(), token, first).json().value(u"unchanged"_qs).toInt(),
             3);

    // The feed pages by the server's sequence, with the admission state.
    QJsonArray all;
    qint64 after = 0;
    for (int pages = 0; pages < 1000; ++pages) {
        const QJsonObject page =
            call(port, "GET", bookingsPath() + u"?after=%1&limit=7"_qs.arg(after), token).json();
        for (const QJsonValue &v : page.value(u"bookings"_qs).toArray())
            all.append(v);
        after = page.value(u"next"_qs).toInteger();
        if (!page.value(u"more"_qs).toBool())
            break;
    }
    QCOMPARE(all.size(), demo::kTodayBookings + 2);
    QSet<QString> tickets;
    for (const QJsonValue &v : all)
        tickets << v[u"ticketNo"_qs].toString();
    QCOMPARE(tickets.size(), all.size());

    // A cancellation says when the holder was admitted already; the feed shows it after.
    const QString inside = QString::fromLatin1(demo::kInsideTicket);
    const auto cancelled = call(port, "DELETE", bookingsPath() + u'/' + inside, token, {}, "d1");
    QCOMPARE(cancelled.status, 200);
    QVERIFY(cancelled.json().value(u"admittedAlready"_qs).toBool());
    const QJsonArray changed = call(port, "GET", bookingsPath() + u"?after=%1"_qs.arg(after), token)
                                   .json()
                                   .value(u"bookings"_qs)
                                   .toArray();
    QCOMPARE(changed.size(), 1);
    QCOMPARE(changed[0][u"ticketNo"_qs].toString(), inside);
    QVERIFY(changed[0][u"cancelled"_qs].toBool() && changed[0][u"inside"_qs].toBool());
    QCOMPARE(call(port, "DELETE", bookingsPath() + u"/NOPE"_qs, token).status, 404);

    // The scans feed: an entry at the gate, then read.
    qavtest::GateClient gate(port);
    gate.signIn(u"gate01"_qs, u"gate01"_qs);
    QCOMPARE(gate.verify(u"I"_qs, u"A1"_qs).column(u"ErrCode"_qs), u"0"_qs);
    const QJsonArray scans = call(port, "GET", u"/api/v1/performances/%1/scans"_qs.arg(kBiz), token)
                                 .json()
                                 .value(u"scans"_qs)
                                 .toArray();
    QVERIFY(!scans.isEmpty());
    QCOMPARE(scans.last()[u"ticketNo"_qs].toString(), u"A1"_qs);
    QCOMPARE(scans.last()[u"event"_qs].toString(), u"entry"_qs);

    // Every change is in the audit under the token's name.
    AuditFilter f;
    f.bizcode = kBiz;
    f.operatorId = u"sales"_qs;
    QCOMPARE(openStorage(site.scratch.url())->audit(f).size(), 2); // the batch, the cancellation
}

void ServerSyncTest::badInputChangesNothing()
{
    QFETCH(QString, backend);
    QAV_REQUIRE_BACKEND(backend);
    const ApiSite site(backend, 1000);
    QVERIFY(site.port && !site.token.isEmpty());
    const quint16 port = site.port;
    const QString &token = site.token;
    const auto before = openStorage(site.scratch.url())->bookings(kBiz).size();

    struct Bad
    {
        QByteArray body;
        int status;
        QString field;
    };
    QList<QJsonObject> many;
    for (int i = 0; i < 1001; ++i)
        many << QJsonObject{{u"ticketNo"_qs, QString::number(i)}};
    const QList<Bad> cases = {
        {"{not json", 400, u"body"_qs},
        {"[]", 400, u"body"_qs},
        {R"({"bookings":[{"ticketNo":"B1","inside":true}]})", 400, u"bookings"_qs},
        {R"({"bookings":[{"ticketNo":7}]})", 400, u"bookings"_qs},
        {R"({"bookings":[],"extra":1})", 400, u"extra"_qs},
        {QJsonDocument(batch(many)).toJson(), 413, u"bookings"_qs},
    };
    for (const Bad &c : cases) {
        const auto r = qavtest::exchange(port, apiRequest("POST", bookingsPath(), token, c.body));
        QVERIFY2(r.status == c.status, c.body.left(60));
        QCOMPARE(r.json().value(u"field"_qs).toString(), c.field);
    }
    // Every bad item named with its index; the good ones are not written either.
    const auto r = call(port, "POST", bookingsPath(), token,
                        batch({{{u"ticketNo"_qs, u"OK1"_qs}},
                               {{u"ticketNo"_qs, u"BAD"_qs + QChar(1)}},
                               {{u"ticketNo"_qs, u"OK2"_qs}, {u"custName"_qs, QString(201, u'x')}},
                               {{u"ticketNo"_qs, u"OK1"_qs}},
                               {{u"ticketNo"_qs, u" pad"_qs}}}));
    QCOMPARE(r.status, 400);
    QList<int> indexes;
    for (const QJsonValue &v : r.json().value(u"items"_qs).toArray())
        indexes << v[u"index"_qs].toInt();
    QCOMPARE(indexes, (QList<int>{1, 2, 3, 4}));
    QCOMPARE(openStorage(site.scratch.url())->bookings(kBiz).size(), before);

    const QString perf = u"/api/v1/performances/P2"_qs;
    QCOMPARE(
        call(port, "PUT", perf, token, {{u"goodsName"_qs, u"x"_qs}}).json()[u"field"_qs].toString(),
        u"startsAt"_qs);
    QCOMPARE(call(port, "PUT", perf, token,
                  {{u"goodsName"_qs, u"a\nb"_qs}, {u"startsAt"_qs, u"203001011900"_qs}})
                 .json()[u"field"_qs]
                 .toString(),
             u"goodsName"_qs);
    QCOMPARE(call(port, "PUT", u"/api/v1/performances/DRILL-1"_qs, token,
                  {{u"goodsName"_qs, u"x"_qs}, {u"startsAt"_qs, u"203001011900"_qs}})
                 .status,
             404);
    QVERIFY(!openStorage(site.scratch.url())->findPerformance(u"P2"_qs));
    // Over 1 MB is refused before it is read.
    QCOMPARE(qavtest::exchange(
                 port, apiRequest("POST", bookingsPath(), token, QByteArray(1024 * 1024 + 1, ' ')))
                 .status,
             413);
}

void ServerSyncTest::otherVenueSeesNothing()
{
    QFETCH(QString, backend);
    QAV_REQUIRE_BACKEND(backend);
    qavtest::ScratchDatabase scratch(backend);
    {
        auto storage = openStorage(scratch.url());
        seedDemo(*storage);
        storage->putVenue({u"777"_qs, u"다른 극장"_qs});
    }
    const auto server = serverOn(scratch.url(), kQuiet);
    QVERIFY(server->port());
    const quint16 port = server->port();
    const QString other = addToken(scratch.url(), scratch.dir(), u"other"_qs, u"777"_qs);
    QVERIFY(!other.isEmpty());

    // Another venue's performance answers exactly as one that does not exist.
    for (const QString &bizcode : {kBiz, u"NOSUCH"_qs}) {
        const QString path = bookingsPath(bizcode);
        const auto get = call(port, "GET", path, other);
        QCOMPARE(get.status, 404);
        QCOMPARE(call(port, "POST", path, other, batch({{{u"ticketNo"_qs, u"X"_qs}}})).body,
                 get.body);
        QCOMPARE(
            call(port, "DELETE", path + u'/' + QString::fromLatin1(demo::kFirstTicket), other).body,
            get.body);
        QCOMPARE(call(port, "GET", u"/api/v1/performances/%1/scans"_qs.arg(bizcode), other).body,
                 get.body);
    }
    QCOMPARE(call(port, "PUT", u"/api/v1/performances/"_qs + kBiz, other,
                  {{u"goodsName"_qs, u"x"_qs}, {u"startsAt"_qs, u"203001011900"_qs}})
                 .status,
             404);
    auto storage = openStorage(scratch.url());
    QCOMPARE(storage->findPerformance(kBiz)->placeCode, QString::fromLatin1(demo::kPlaceCode));
    QVERIFY(
        !storage->findBooking(kBiz, QString::fromLatin1(demo::kFirstTicket))->booking.cancelled);
    // A gate's session is no token here.
    qavtest::GateClient gate(port);
    gate.signIn(u"gate01"_qs, u"gate01"_qs);
    QCOMPARE(call(port, "GET", bookingsPath(), QString::fromLatin1(gate.sessionKey())).status, 401);
}

void ServerSyncTest::cancellationRacingAdmission()
{
    QFETCH(QString, backend);
    QAV_REQUIRE_BACKEND(backend);
    const ApiSite site(backend, 1000);
    QVERIFY(site.port && !site.token.isEmpty());
    const quint16 port = site.port;
    const QString &token = site.token;
    constexpr int kTickets = 40;
    const auto ticket = [](int i) { return QString::number(10000001 + i); };

    QHash<QString, bool> admittedFirst;
    std::thread cancels([&] {
        for (int i = 0; i < kTickets; ++i) {
            const auto r = call(port, "DELETE", bookingsPath() + u'/' + ticket(i), token);
            admittedFirst.insert(ticket(i), r.json().value(u"admittedAlready"_qs).toBool());
        }
    });
    qavtest::GateClient gate(port);
    gate.signIn(u"gate01"_qs, u"gate01"_qs);
    for (int i = 0; i < kTickets; ++i)
        gate.verify(u"I"_qs, ticket(i));
    cancels.join();

    // Whichever came first, the booking and the audit tell the same story.
    auto storage = openStorage(site.scratch.url());
    for (int i = 0; i < kTickets; ++i) {
        const BookingRecord b = *storage->findBooking(kBiz, ticket(i));
        QVERIFY(b.booking.cancelled);
        QCOMPARE(b.entries, acceptedEntries(*storage, ticket(i)));
        QCOMPARE(b.inside, b.entries > 0);
        QCOMPARE(admittedFirst.value(ticket(i)), b.entries > 0);
    }
    QVERIFY(storage->recountCounters().isEmpty());
}

void ServerSyncTest::scanFeedWhileGatesScan()
{
    QFETCH(QString, backend);
    QAV_REQUIRE_BACKEND(backend);
    const ApiSite site(backend, 10000);
    QVERIFY(site.port && !site.token.isEmpty());
    const quint16 port = site.port;
    const QString &token = site.token;
    const QString scansPath = u"/api/v1/performances/%1/scans"_qs.arg(kBiz);
    const qint64 start =
        call(port, "GET", scansPath + u"?limit=1000"_qs, token).json()[u"next"_qs].toInteger();

    // Gates admit distinct tickets while a reader pages the feed in small pages.
    constexpr int kGates = 8;
    constexpr int kEach = 30;
    std::atomic<int> running = kGates;
    std::vector<qavtest::GateClient> clients(kGates, qavtest::GateClient(port));
    for (int g = 0; g < kGates; ++g) {
        const QString id = QStringLiteral("gate0%1").arg(1 + g % 3);
        QCOMPARE(clients[size_t(g)].signIn(id, id).status, 200);
    }
    std::vector<std::thread> gates;
    for (int g = 0; g < kGates; ++g) {
        gates.emplace_back([&, g] {
            qavtest::GateClient &gate = clients[size_t(g)];
            for (int i = 0; i < kEach; ++i) {
                const auto r = gate.verify(u"I"_qs, QString::number(10000001 + g * kEach + i));
                if (r.column(u"ErrCode"_qs) != u"0"_qs)
                    qWarning("gate %d: %d %s", g, r.status, r.body.left(200).constData());
            }
            --running;
        });
    }
    QList<qint64> ids;
    QStringList seen;
    qint64 after = start;
    for (;;) {
        const bool done = running == 0;
        const QJsonObject page =
            call(port, "GET", scansPath + u"?after=%1&limit=5"_qs.arg(after), token).json();
        for (const QJsonValue &v : page.value(u"scans"_qs).toArray()) {
            ids << v[u"id"_qs].toInteger();
            seen << v[u"ticketNo"_qs].toString();
        }
        after = page.value(u"next"_qs).toInteger();
        if (done && !page.value(u"more"_qs).toBool())
            break;
    }
    for (std::thread &t : gates)
        t.join();
    QCOMPARE(seen.size(), kGates * kEach);
    QCOMPARE(QSet<QString>(seen.begin(), seen.end()).size(), kGates * kEach);
    for (qsizetype i = 1; i < ids.size(); ++i)
        QVERIFY(ids[i] == ids[i - 1] + 1);
}

void ServerSyncTest::revokedTokenRefusedBySecondServer()
{
    QFETCH(QString, backend);
    QAV_REQUIRE_BACKEND(backend);
    qavtest::ScratchDatabase scratch(backend);
    seedDemo(*openStorage(scratch.url()));
    const auto first = serverOn(scratch.url(), kQuiet);
    const auto second = serverOn(scratch.url(), {u"--quiet"_qs, u"--api-rate"_qs, u"1"_qs});
    QVERIFY(first->port() && second->port());
    const QString token = addToken(scratch.url(), scratch.dir(), u"sales"_qs);
    QCOMPARE(call(second->port(), "GET", bookingsPath(), token).status, 200);

    // Twice the rate at once, then 429 with when to come back.
    QCOMPARE(call(second->port(), "GET", bookingsPath(), token).status, 200);
    const auto limited = call(second->port(), "GET", bookingsPath(), token);
    QCOMPARE(limited.status, 429);
    QVERIFY(limited.head.contains("Retry-After: "));

    const CliResult revoked =
        runCli({u"revoke-token"_qs, u"sales"_qs, u"--db"_qs, scratch.url()}, scratch.dir());
    QVERIFY2(revoked.exitCode == 0, qPrintable(revoked.all()));
    QCOMPARE(call(first->port(), "GET", bookingsPath(), token).status, 401);
    QTRY_COMPARE_WITH_TIMEOUT(call(second->port(), "GET", bookingsPath(), token).status, 401, 5000);
}

QTEST_GUILESS_MAIN(ServerSyncTest)
#include "tst_server_sync.moc"
