// The dashboard's JSON API over real HTTP against SQLite and PostgreSQL: figures equal to what the
// database holds, search, manual check-in against a gate, and who may see and change what.

#include "tests/server/testsupport.h"
#include "tests/server/webclient.h"
#include "tests/support/RawHttp.h"
#include "tests/support/ServerProcess.h"

#include <QFile>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QUrlQuery>

namespace {

const QString kBizcode = QStringLiteral("GRVM0001");

// One number straight from the database, past the server's code.
qint64 directCount(const QString &url, const QString &sql)
{
    return qavtest::RawSql(url).number(sql);
}

QString dashboardPath(const QString &bizcode = kBizcode)
{
    return QStringLiteral("/api/dashboard?bizcode=") + bizcode;
}

// The environment of a server whose wall clock starts at `at` (local time) and runs on from
// there; its steady clock is left alone. Sanitizer builds must let the preload come first.
QStringList clockSetTo(const QString &at)
{
    QString asan = qEnvironmentVariable("ASAN_OPTIONS");
    if (!asan.isEmpty())
        asan += u':';
    asan += QStringLiteral("verify_asan_link_order=0");
    return {QStringLiteral("LD_PRELOAD=/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"),
            QStringLiteral("FAKETIME=@") + at, QStringLiteral("FAKETIME_DONT_FAKE_MONOTONIC=1"),
            QStringLiteral("ASAN_OPTIONS=") + asan};
}

// A cell of the first row of a record set, by column name.
QString cellOf(const WebReply &r, const QString &column)
{
    const QJsonObject o = r.json();
    const qsizetype i =
        o.value(QStringLiteral("columns")).toVariant().toStringList().indexOf(column);
    return i < 0 ? QString() : o.value(QStringLiteral("rows"))[0][i].toString();
}

// What a season change from the dashboard would touch, as text, to compare before and after.
QString seasonState(const QString &url)
{
    const qavtest::RawSql db(url);
    QString text;
    for (const char *table :
         {"performances", "bookings", "operators", "admins", "scan_log", "sessions"}) {
        QSqlQuery q(db.database());
        q.exec(QStringLiteral("SELECT * FROM %1 ORDER BY 1, 2").arg(QLatin1String(table)));
        while (q.next()) {
            for (int i = 0; i < q.record().count(); ++i)
                text += q.value(i).toString() + u'|';
        }
        text += u'\n';
    }
    return text;
}

// The ids (or another field) of the objects listed under key.
QStringList listed(const WebReply &r, const QString &key, const QString &field = u"id"_qs)
{
    QStringList ids;
    for (const QJsonValue &v : r.json().value(key).toArray())
        ids << v[field].toString();
    return ids;
}

qint64 sum(const QJsonArray &values)
{
    qint64 total = 0;
    for (const QJsonValue &v : values)
        total += v.toInteger();
    return total;
}

} // namespace

class ServerWebTest : public QObject
{
    Q_OBJECT
private slots:
    void countersAndSeriesEqualTheDatabaseAfterABurst_data() { backends(); }
    void countersAndSeriesEqualTheDatabaseAfterABurst();
    void searchFindsByTicketOrName_data() { backends(); }
    void searchFindsByTicketOrName();
    void manualCheckInRacingAGateAdmitsOnce_data() { backends(); }
    void manualCheckInRacingAGateAdmitsOnce();
    void annulRacingGatesKeepsBookingAndAuditAgreeing_data() { backends(); }
    void annulRacingGatesKeepsBookingAndAuditAgreeing();
    void annulIsRefusedWhenTheRowMayNotBeUndone();
    void aTicketIsOneTextEverywhere_data() { backends(); }
    void aTicketIsOneTextEverywhere();
    void textTheServerCannotKeepIsRefusedBeforeAnyWrite_data() { backends(); }
    void textTheServerCannotKeepIsRefusedBeforeAnyWrite();
    void endpointsRefuseWithoutSessionOrToken_data();
    void endpointsRefuseWithoutSessionOrToken();
    void venueAdminSeesNothingOfAnotherVenue();
    void rolesBelowManagerChangeNothing();
    void uploadIsWrittenOnceAsItsDryRunShowed_data() { backends(); }
    void uploadIsWrittenOnceAsItsDryRunShowed();
    void venueManagerRunsOnlyItsVenue_data() { backends(); }
    void venueManagerRunsOnlyItsVenue();
    void addsRacingForOneIdKeepTheFirst_data() { backends(); }
    void addsRacingForOneIdKeepTheFirst();
    void aChangeWhoseAuditFailsChangesNothing_data() { backends(); }
    void aChangeWhoseAuditFailsChangesNothing();
    void signInIsThrottledAndSignOutEndsTheSession();
    void lateShowKeepsItsGatesPastMidnight_data() { backends(); }
    void lateShowKeepsItsGatesPastMidnight();

private:
    void backends()
    {
        QTest::addColumn<QString>("backend");
        for (const QString &b : qavtest::backends())
            QTest::newRow(qPrintable(b)) << b;
    }
    // A demo server on the backend's scratch database, with the demo admin signed in.
    bool startServer(const QString &backend, const QStringList &serveArguments = {});

    std::unique_ptr<qavtest::ScratchDatabase> m_db;
    std::unique_ptr<ServerProcess> m_server;
    std::unique_ptr<WebClient> m_admin;
};

bool ServerWebTest::startServer(const QString &backend, const QStringList &serveArguments)
{
    m_admin.reset();
    m_server.reset();
    m_db = std::make_unique<qavtest::ScratchDatabase>(backend);
    ServerOptions options;
    options.quiet = true;
    options.serveArguments = serveArguments;
    options.databaseUrl = m_db->url();
    m_server = std::make_unique<ServerProcess>(qavServerBinary(), options);
    if (!m_server->start()) {
        qWarning("%s", qPrintable(m_server->errorText()));
        return false;
    }
    m_admin = std::make_unique<WebClient>(m_server->port());
    const WebReply r = m_admin->signIn(QStringLiteral("admin"), QStringLiteral("admin"));
    // The session cookie is out of the page's scripts' reach and never sent by another site.
    return r.status == 200 && r.setCookie.contains("HttpOnly") &&
           r.setCookie.contains("SameSite=Strict");
}

void ServerWebTest::countersAndSeriesEqualTheDatabaseAfterABurst()
{
    QFETCH(QString, backend);
    QAV_REQUIRE_BACKEND(backend);
    QVERIFY(startServer(backend));

    // Three gates at once: fresh entries, the same tickets again, exits, unknown tickets.
    std::vector<std::unique_ptr<WebClient>> gates;
    QList<QNetworkReply *> replies;
    for (int g = 0; g < 3; ++g) {
        gates.push_back(std::make_unique<WebClient>(m_server->port()));
        const QString op = QStringLiteral("gate0%1").arg(g + 1);
        const QByteArray key = gates.back()->signInGate(op);
        QVERIFY(!key.isEmpty());
        for (int i = 0; i < 20; ++i) {
            const QString ticket = QString::number(10000010 + i + (g % 2) * 10);
            replies << gates.back()->startScan(QStringLiteral("I"), ticket, op, key);
        }
        replies << gates.back()->startScan(QStringLiteral("O"), QStringLiteral("10000298"), op,
                                           key);
        replies << gates.back()->startScan(QStringLiteral("I"), QStringLiteral("99999999"), op,
                                           key);
    }
    QStringList codes;
    for (QNetworkReply *r : replies)
        codes << WebClient::finish(r).errCode();
    QCOMPARE(codes.count(QStringLiteral("2")), 1); // the one ticket inside leaves once

    const WebReply r = m_admin->api("GET", dashboardPath());
    QCOMPARE(r.status, 200);
    const QJsonObject c = r.json().value(u"counters"_qs).toObject();
    const QString url = m_db->url();
    const QString live =
        QStringLiteral(" FROM bookings WHERE bizcode = 'GRVM0001' AND cancelled = 0");
    QCOMPARE(c.value(u"total"_qs).toInteger(), directCount(url, u"SELECT COUNT(*)"_qs + live));
    QCOMPARE(c.value(u"entered"_qs).toInteger(),
             directCount(url, u"SELECT COUNT(*)"_qs + live + u" AND entries > 0"_qs));
    QCOMPARE(c.value(u"insideNow"_qs).toInteger(),
             directCount(url, u"SELECT COUNT(*)"_qs + live + u" AND inside = 1"_qs));
    QCOMPARE(
        c.value(u"exited"_qs).toInteger(),
        directCount(url, u"SELECT COUNT(*)"_qs + live + u" AND entries > 0 AND inside = 0"_qs));
    QCOMPARE(c.value(u"notYet"_qs).toInteger(),
             directCount(url, u"SELECT COUNT(*)"_qs + live + u" AND entries = 0"_qs));
    QCOMPARE(
        c.value(u"cancelled"_qs).toInteger(),
        directCount(
            url,
            u"SELECT COUNT(*) FROM bookings WHERE bizcode = 'GRVM0001' AND cancelled <> 0"_qs));
    QCOMPARE(c.value(u"entered"_qs).toInteger(),
             3 + 30); // the demo's three and thirty distinct tickets

    // Every accepted entry and exit of the burst (and of the demo, laid just now) is in the series.
    const QJsonObject series = r.json().value(u"series"_qs).toObject();
    QCOMPARE(series.value(u"minutes"_qs).toArray().size(), 180);
    const QString log = QStringLiteral(
        "SELECT COUNT(*) FROM scan_log WHERE bizcode = 'GRVM0001' AND kind = 'scan'");
    QCOMPARE(sum(series.value(u"entries"_qs).toArray()),
             directCount(url, log + u" AND mode = 'I' AND result_code IN ('0', '1')"_qs));
    QCOMPARE(sum(series.value(u"exits"_qs).toArray()),
             directCount(url, log + u" AND mode = 'O' AND result_code = '2'"_qs));

    qint64 scans = 0, accepted = 0, refused = 0;
    for (const QJsonValue &g : r.json().value(u"gates"_qs).toArray()) {
        scans += g[u"scans"_qs].toInteger();
        accepted += g[u"accepted"_qs].toInteger();
        refused += g[u"refused"_qs].toInteger();
        QCOMPARE(g[u"perMinute"_qs].toInteger() <= g[u"scans"_qs].toInteger(), true);
    }
    QCOMPARE(scans, directCount(url, log));
    QCOMPARE(accepted + refused, scans);
    QCOMPARE(refused, directCount(url, log + u" AND result_code IN ('-1', '-2')"_qs));
    const QJsonArray refusals = r.json().value(u"refusals"_qs).toArray();
    QCOMPARE(refusals.size(), 20);
    QVERIFY(!refusals[0][u"message"_qs].toString().isEmpty());
}

void ServerWebTest::searchFindsByTicketOrName()
{
    QFETCH(QString, backend);
    QAV_REQUIRE_BACKEND(backend);
    QVERIFY(startServer(backend));

    auto search = [&](const QString &text) {
        QUrlQuery q;
        q.addQueryItem(u"bizcode"_qs, kBizcode);
        q.addQueryItem(u"q"_qs, QString::fromLatin1(QUrl::toPercentEncoding(text)));
        return m_admin->api("GET", u"/api/bookings?"_qs + q.toString(QUrl::FullyEncoded));
    };
    // 10000297 went in and out at the demo: state and both events with their operator.
    WebReply r = search(u"0297"_qs);
    QCOMPARE(r.status, 200);
    QJsonArray found = r.json().value(u"bookings"_qs).toArray();
    QCOMPARE(found.size(), 1);
    QCOMPARE(found[0][u"ticketNo"_qs].toString(), u"10000297"_qs);
    QCOMPARE(found[0][u"state"_qs].toString(), u"left"_qs);
    const QJsonArray history = found[0][u"history"_qs].toArray();
    QCOMPARE(history.size(), 2);
    QCOMPARE(history[0][u"mode"_qs].toString(), u"I"_qs);
    QCOMPARE(history[1][u"mode"_qs].toString(), u"O"_qs);
    QCOMPARE(history[1][u"operator"_qs].toString(), u"gate01"_qs);

    // A part of a Korean name finds every holder whose name contains it, and only those.
    const QString name = found[0][u"custName"_qs].toString();
    r = search(name.mid(1));
    found = r.json().value(u"bookings"_qs).toArray();
    QVERIFY(found.size() >= 1);
    for (const QJsonValue &b : found)
        QVERIFY2(b[u"custName"_qs].toString().contains(name.mid(1)),
                 qPrintable(b[u"custName"_qs].toString()));

    QCOMPARE(search(u"없는이름"_qs).json().value(u"bookings"_qs).toArray().size(), 0);
    QCOMPARE(search(u"%"_qs).json().value(u"bookings"_qs).toArray().size(),
             0); // a wildcard is a letter
    QCOMPARE(search(u"  "_qs).status, 400);
}

void ServerWebTest::manualCheckInRacingAGateAdmitsOnce()
{
    QFETCH(QString, backend);
    QAV_REQUIRE_BACKEND(backend);
    QVERIFY(startServer(backend));

    WebClient gate(m_server->port());
    const QByteArray key = gate.signInGate(u"gate01"_qs);
    const QString ticket = u"10000077"_qs;
    const QJsonObject manual{{u"bizcode"_qs, kBizcode},
                             {u"ticketNo"_qs, ticket},
                             {u"mode"_qs, u"I"_qs},
                             {u"reason"_qs, u"바코드 훼손"_qs}};
    QList<QNetworkReply *> scans;
    for (int i = 0; i < 6; ++i)
        scans << gate.startScan(u"I"_qs, ticket, u"gate01"_qs, key);
    QNetworkReply *byHand = m_admin->startApi("POST", u"/api/manual-scan"_qs, manual);

    int accepted = 0;
    for (QNetworkReply *r : scans)
        accepted += WebClient::finish(r).errCode() == QLatin1String("0") ? 1 : 0;
    const WebReply m = WebClient::finish(byHand);
    QCOMPARE(m.status, 200);
    accepted += m.json().value(u"accepted"_qs).toBool() ? 1 : 0;
    QCOMPARE(accepted, 1);
    QCOMPARE(
        directCount(m_db->url(), u"SELECT entries FROM bookings WHERE ticket_no = '10000077'"_qs),
        1);

    // The manual attempt is audited as such, with the admin and the reason.
    QCOMPARE(directCount(
                 m_db->url(),
                 u"SELECT COUNT(*) FROM scan_log WHERE ticket_raw = '10000077' AND kind = 'manual'"
                 " AND operator_id = 'admin' AND manual_reason = '바코드 훼손'"_qs),
             1);
    // Without a reason nothing is done.
    QJsonObject noReason = manual;
    noReason[u"ticketNo"_qs] = u"10000078"_qs;
    noReason[u"reason"_qs] = u"  "_qs;
    QCOMPARE(m_admin->api("POST", u"/api/manual-scan"_qs, noReason).status, 400);
    QCOMPARE(
        directCount(m_db->url(), u"SELECT entries FROM bookings WHERE ticket_no = '10000078'"_qs),
        0);
}

// Each ticket's first entry is annulled, through a second server process on the same database,
// while two gates scan it in and one out: whatever the order, its booking must say what its
// standing audit rows say, never inside twice.
void ServerWebTest::annulRacingGatesKeepsBookingAndAuditAgreeing()
{
    QFETCH(QString, backend);
    QAV_REQUIRE_BACKEND(backend);
    QVERIFY(startServer(backend));
    ServerOptions second;
    second.quiet = true;
    second.initDatabase = false;
    second.databaseUrl = m_db->url();
    ServerProcess office(qavServerBinary(), second);
    QVERIFY2(office.start(), qPrintable(office.errorText()));
    WebClient supervisor(office.port());
    QCOMPARE(supervisor.signIn(u"admin"_qs, u"admin"_qs).status, 200);

    constexpr int kTickets = 12;
    std::vector<std::unique_ptr<WebClient>> gates;
    QList<QByteArray> keys;
    for (int g = 0; g < 3; ++g) {
        gates.push_back(std::make_unique<WebClient>(m_server->port()));
        keys << gates.back()->signInGate(QStringLiteral("gate0%1").arg(g + 1));
        QVERIFY(!keys.back().isEmpty());
    }
    auto ticketOf = [](int i) { return QString::number(10000200 + i); };
    for (int i = 0; i < kTickets; ++i)
        QCOMPARE(WebClient::finish(gates[0]->startScan(u"I"_qs, ticketOf(i), u"gate01"_qs, keys[0]))
                     .errCode(),
                 u"0"_qs);

    QList<QNetworkReply *> replies;
    for (int i = 0; i < kTickets; ++i) {
        const qint64 id =
            directCount(m_db->url(),
                        u"SELECT id FROM scan_log WHERE kind = 'scan' AND ticket_raw = '%1'"_qs.arg(
                            ticketOf(i)));
        QVERIFY(id > 0);
        // A third of them are let out just before, a third just after, a third not at all: only
        // an exit can stand after the entry, so those last annulments must all go through.
        if (i % 3 == 1)
            replies << gates[2]->startScan(u"O"_qs, ticketOf(i), u"gate03"_qs, keys[2]);
        replies << supervisor.startApi("POST", u"/api/annul"_qs,
                                       {{u"bizcode"_qs, kBizcode},
                                        {u"ticketNo"_qs, ticketOf(i)},
                                        {u"id"_qs, id},
                                        {u"reason"_qs, u"게이트 오작동"_qs}});
        replies << gates[0]->startScan(u"I"_qs, ticketOf(i), u"gate01"_qs, keys[0]);
        replies << gates[1]->startScan(u"I"_qs, ticketOf(i), u"gate02"_qs, keys[1]);
        if (i % 3 == 2)
            replies << gates[2]->startScan(u"O"_qs, ticketOf(i), u"gate03"_qs, keys[2]);
    }
    int annulled = 0;
    for (QNetworkReply *r : replies) {
        const WebReply reply = WebClient::finish(r);
        QVERIFY2(reply.status == 200 || reply.status == 409, reply.body.constData());
        if (reply.json().value(u"annulled"_qs).toBool())
            ++annulled;
        else if (reply.status == 409)
            QCOMPARE(reply.error(), u"그 뒤에 이 티켓이 다시 스캔되어 취소할 수 없습니다"_qs);
    }
    QVERIFY(annulled >= kTickets / 3);

    for (int i = 0; i < kTickets; ++i) {
        const WebReply found =
            m_admin->api("GET", u"/api/bookings?bizcode=GRVM0001&q="_qs + ticketOf(i));
        const QJsonObject b = found.json().value(u"bookings"_qs)[0].toObject();
        int entries = 0, exits = 0;
        QString last;
        for (const QJsonValue &h : b.value(u"history"_qs).toArray()) {
            if (h[u"kind"_qs].toString() == u"annul"_qs || h[u"annulled"_qs].toBool())
                continue;
            const QString mode = h[u"mode"_qs].toString();
            QVERIFY2(mode != last, qPrintable(ticketOf(i) + u" moved "_qs + mode + u" twice"_qs));
            (mode == u"I"_qs ? entries : exits) += 1;
            last = mode;
        }
        QCOMPARE(b.value(u"entries"_qs).toInt(), entries);
        QCOMPARE(b.value(u"exits"_qs).toInt(), exits);
        QCOMPARE(b.value(u"state"_qs).toString(),
                 last == u"I"_qs ? u"inside"_qs : (entries ? u"left"_qs : u"notYet"_qs));
    }
}

void ServerWebTest::annulIsRefusedWhenTheRowMayNotBeUndone()
{
    QVERIFY(startServer(u"sqlite"_qs));
    WebClient gate(m_server->port());
    const QByteArray key = gate.signInGate(u"gate01"_qs);
    auto scan = [&](const QString &mode, const QString &ticket) {
        return WebClient::finish(gate.startScan(mode, ticket, u"gate01"_qs, key)).errCode();
    };
    auto idOf = [&](const QString &ticket, const QString &mode) {
        return directCount(m_db->url(),
                           u"SELECT MAX(id) FROM scan_log WHERE kind = 'scan'"
                           " AND ticket_raw = '%1' AND mode = '%2'"_qs.arg(ticket, mode));
    };
    auto annul = [&](const QString &ticket, qint64 id, const QString &reason = u"오인식"_qs) {
        return m_admin->api("POST", u"/api/annul"_qs,
                            {{u"bizcode"_qs, kBizcode},
                             {u"ticketNo"_qs, ticket},
                             {u"id"_qs, id},
                             {u"reason"_qs, reason}});
    };
    const qint64 enteredBefore =
        m_admin->api("GET", dashboardPath()).json()[u"counters"_qs][u"entered"_qs].toInteger();

    QCOMPARE(scan(u"I"_qs, u"10000250"_qs), u"0"_qs);
    QCOMPARE(annul(u"10000250"_qs, idOf(u"10000250"_qs, u"I"_qs), u" "_qs).status, 400);
    // Annulled: the ticket may enter again, the counters move back, the audit says who and why.
    WebReply r = annul(u"10000250"_qs, idOf(u"10000250"_qs, u"I"_qs));
    QCOMPARE(r.status, 200);
    QCOMPARE(r.json()[u"message"_qs].toString(), u"입장 취소 완료"_qs);
    QCOMPARE(r.json()[u"booking"_qs][u"state"_qs].toString(), u"notYet"_qs);
    QCOMPARE(m_admin->api("GET", dashboardPath()).json()[u"counters"_qs][u"entered"_qs].toInteger(),
             enteredBefore);
    QCOMPARE(directCount(m_db->url(),
                         u"SELECT COUNT(*) FROM scan_log WHERE kind = 'annul' AND operator_id ="
                         " 'admin' AND manual_reason = '오인식' AND client_address <> ''"
                         " AND annuls = %1"_qs.arg(idOf(u"10000250"_qs, u"I"_qs))),
             1);
    QCOMPARE(annul(u"10000250"_qs, idOf(u"10000250"_qs, u"I"_qs)).error(),
             u"이미 취소된 기록입니다"_qs);
    QCOMPARE(scan(u"I"_qs, u"10000250"_qs), u"0"_qs);

    // Let out since: the entry may no longer be undone, the exit may.
    QCOMPARE(scan(u"O"_qs, u"10000250"_qs), u"2"_qs);
    r = annul(u"10000250"_qs, idOf(u"10000250"_qs, u"I"_qs));
    QCOMPARE(r.status, 409);
    QCOMPARE(r.error(), u"그 뒤에 이 티켓이 다시 스캔되어 취소할 수 없습니다"_qs);
    QCOMPARE(r.json()[u"booking"_qs][u"state"_qs].toString(), u"left"_qs);

    // Past the window.
    QCOMPARE(scan(u"I"_qs, u"10000251"_qs), u"0"_qs);
    const QString old =
        QDateTime::currentDateTime().addSecs(-16 * 60).toString(u"yyyy-MM-dd HH:mm:ss"_qs);
    directCount(m_db->url(),
                u"UPDATE scan_log SET scanned_at = '%1' WHERE ticket_raw = '10000251'"_qs.arg(old));
    r = annul(u"10000251"_qs, idOf(u"10000251"_qs, u"I"_qs));
    QCOMPARE(r.status, 409);
    QCOMPARE(r.error(), u"15분이 지나 취소할 수 없습니다"_qs);
    QCOMPARE(
        directCount(m_db->url(), u"SELECT inside FROM bookings WHERE ticket_no = '10000251'"_qs),
        1);
    QCOMPARE(annul(u"10000252"_qs, 1).error(), u"취소할 입장·퇴장 기록이 없습니다"_qs);

    // A re-entry annulled: the entry before it, older than the window, is the last one again.
    QCOMPARE(scan(u"I"_qs, u"10000253"_qs), u"0"_qs);
    QCOMPARE(scan(u"O"_qs, u"10000253"_qs), u"2"_qs);
    directCount(m_db->url(),
                u"UPDATE scan_log SET scanned_at = '%1' WHERE ticket_raw = '10000253'"_qs.arg(old));
    QCOMPARE(scan(u"I"_qs, u"10000253"_qs), u"1"_qs);
    QCOMPARE(annul(u"10000253"_qs, idOf(u"10000253"_qs, u"I"_qs)).status, 200);
    QCOMPARE(directCount(m_db->url(),
                         u"SELECT COUNT(*) FROM bookings WHERE ticket_no = '10000253'"
                         " AND inside = 0 AND entries = 1 AND last_entry_at = '%1'"_qs.arg(old)),
             1);

    // The command line does the same for the ticket's last move.
    QString output;
    QVERIFY2(
        m_server->run({u"annul"_qs, u"10000250"_qs, u"--reason"_qs, u"퇴장 오인식"_qs}, &output),
        qPrintable(m_server->errorText()));
    QVERIFY2(output.contains(u"퇴장 취소 완료"_qs), qPrintable(output));
    QCOMPARE(
        directCount(m_db->url(), u"SELECT inside FROM bookings WHERE ticket_no = '10000250'"_qs),
        1);
    QVERIFY(!m_server->run({u"annul"_qs, u"10000251"_qs, u"--reason"_qs, u"늦음"_qs}, &output));
}

// A scanner that adds a Tab or a CR sends the same ticket: one booking moved, one history, and an
// annulment that sees every later scan, whatever was around the number.
void ServerWebTest::aTicketIsOneTextEverywhere()
{
    QFETCH(QString, backend);
    QAV_REQUIRE_BACKEND(backend);
    QVERIFY(startServer(backend));
    WebClient gate(m_server->port());
    const QByteArray key = gate.signInGate(u"gate01"_qs);
    auto scan = [&](const QString &mode, const QString &ticket) {
        return WebClient::finish(gate.startScan(mode, ticket, u"gate01"_qs, key)).errCode();
    };
    const QString ticket = u"10000264"_qs;
    QCOMPARE(directCount(m_db->url(),
                         u"SELECT entries FROM bookings WHERE ticket_no = '%1'"_qs.arg(ticket)),
             0);
    QCOMPARE(scan(u"I"_qs, ticket), u"0"_qs);
    QCOMPARE(scan(u"O"_qs, u"\t"_qs + ticket), u"2"_qs);
    QCOMPARE(scan(u"I"_qs, u"\t"_qs + ticket + u"\r\u3000"_qs), u"1"_qs);

    QUrlQuery q;
    q.addQueryItem(u"bizcode"_qs, kBizcode);
    q.addQueryItem(u"q"_qs, ticket);
    const QJsonArray found = m_admin->api("GET", u"/api/bookings?"_qs + q.toString())
                                 .json()
                                 .value(u"bookings"_qs)
                                 .toArray();
    QCOMPARE(found.size(), 1);
    const QJsonArray history = found[0][u"history"_qs].toArray();
    QCOMPARE(history.size(), 3);
    for (const QJsonValue &e : history)
        QCOMPARE(e[u"ticket"_qs].toString(), ticket);

    auto annul = [&](const QString &sql) {
        return m_admin->api("POST", u"/api/annul"_qs,
                            {{u"bizcode"_qs, kBizcode},
                             {u"ticketNo"_qs, u" "_qs + ticket},
                             {u"id"_qs, directCount(m_db->url(), sql.arg(ticket))},
                             {u"reason"_qs, u"오인식"_qs}});
    };
    const WebReply first = annul(u"SELECT MIN(id) FROM scan_log WHERE ticket_raw = '%1'"_qs);
    QCOMPARE(first.status, 409);
    QCOMPARE(first.error(), u"그 뒤에 이 티켓이 다시 스캔되어 취소할 수 없습니다"_qs);
    QCOMPARE(annul(u"SELECT MAX(id) FROM scan_log WHERE ticket_raw = '%1'"_qs).status, 200);
    QCOMPARE(directCount(m_db->url(),
                         u"SELECT COUNT(*) FROM bookings WHERE ticket_no = '%1' AND entries = 1"
                         " AND exits = 1 AND inside = 0 AND last_entry_at <> ''"_qs.arg(ticket)),
             1);
}

// Nothing is written for a ticket longer than the bound, and text with a control character is
// refused alike on both databases, before the database sees it.
void ServerWebTest::textTheServerCannotKeepIsRefusedBeforeAnyWrite()
{
    QFETCH(QString, backend);
    QAV_REQUIRE_BACKEND(backend);
    QVERIFY(startServer(backend));
    WebClient gate(m_server->port());
    const QByteArray key = gate.signInGate(u"gate01"_qs);
    const QString written = u"SELECT (SELECT COUNT(*) FROM scan_log) + (SELECT COUNT(*) FROM"
                            " scan_replays) + (SELECT COUNT(*) FROM sign_in_log)"_qs;
    qint64 rows = directCount(m_db->url(), written);

    WebReply r = WebClient::finish(gate.startScan(u"I"_qs, QString(65, u'7'), u"gate01"_qs, key));
    QCOMPARE(r.errCode(), u"-1"_qs);
    QVERIFY2(r.body.contains("64"), r.body.constData());
    QCOMPARE(
        WebClient::finish(gate.startScan(u"I"_qs, u"1000\u00010004"_qs, u"gate01"_qs, key)).status,
        400);
    QCOMPARE(directCount(m_db->url(), written), rows);
    r = WebClient::finish(gate.startScan(u"I"_qs, QString(64, u'7'), u"gate01"_qs, key));
    QCOMPARE(r.errCode(), u"-1"_qs);
    QCOMPARE(directCount(m_db->url(), written), rows + 2); // the audit row and the replay key
    rows += 2;

    const QString nul = u"\u0000"_qs;
    QCOMPARE(WebClient(m_server->port()).signIn(u"admin"_qs + nul, u"admin"_qs).status, 400);
    const QJsonObject manual{{u"bizcode"_qs, kBizcode},
                             {u"ticketNo"_qs, u"10000266"_qs},
                             {u"mode"_qs, u"I"_qs},
                             {u"reason"_qs, u"바코드 훼손"_qs}};
    for (const char *field : {"ticketNo", "reason"}) {
        QJsonObject bad = manual;
        bad[QLatin1String(field)] = bad[QLatin1String(field)].toString() + nul + u"x"_qs;
        r = m_admin->api("POST", u"/api/manual-scan"_qs, bad);
        QVERIFY2(r.status == 400,
                 qPrintable(QString::number(r.status) + u' ' + QLatin1String(field)));
    }
    QCOMPARE(m_admin->api("GET", u"/api/bookings?bizcode=GRVM0001&q=1000%00"_qs).status, 400);
    QCOMPARE(m_admin->api("GET", u"/api/dashboard?bizcode=GRVM%000001"_qs).status, 400);
    QCOMPARE(directCount(m_db->url(), written), rows);
    // The server is still there for the gate.
    QCOMPARE(
        WebClient::finish(gate.startScan(u"I"_qs, u"10000266"_qs, u"gate01"_qs, key)).errCode(),
        u"0"_qs);
}

void ServerWebTest::endpointsRefuseWithoutSessionOrToken_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("needsToken");
    QTest::newRow("session") << QByteArray("GET") << u"/api/admin/session"_qs << false;
    QTest::newRow("sign-out") << QByteArray("POST") << u"/api/admin/sign-out"_qs << true;
    QTest::newRow("performances") << QByteArray("GET") << u"/api/performances"_qs << true;
    QTest::newRow("dashboard") << QByteArray("GET") << dashboardPath() << true;
    QTest::newRow("search") << QByteArray("GET") << u"/api/bookings?bizcode=GRVM0001&q=1000"_qs
                            << true;
    QTest::newRow("manual check-in") << QByteArray("POST") << u"/api/manual-scan"_qs << true;
    QTest::newRow("annul") << QByteArray("POST") << u"/api/annul"_qs << true;
}

void ServerWebTest::endpointsRefuseWithoutSessionOrToken()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(bool, needsToken);
    if (!m_server || m_db->url().startsWith(u"postgresql"_qs) || !m_admin)
        QVERIFY(startServer(u"sqlite"_qs));
    const QJsonObject body{{u"bizcode"_qs, kBizcode},
                           {u"ticketNo"_qs, u"10000101"_qs},
                           {u"mode"_qs, u"I"_qs},
                           {u"reason"_qs, u"test"_qs}};

    WebClient stranger(m_server->port());
    WebReply r = stranger.api(method, path, body);
    QCOMPARE(r.status, 401);
    QCOMPARE(r.error(), u"다시 로그인하세요"_qs);

    stranger.cookie = m_admin->cookie; // a stolen cookie without the page's token
    stranger.csrf = "not-the-token";
    r = stranger.api(method, path, body);
    QCOMPARE(r.status, needsToken ? 403 : 200);
    stranger.csrf.clear();
    QCOMPARE(stranger.api(method, path, body).status, needsToken ? 403 : 200);
    QCOMPARE(
        directCount(m_db->url(), u"SELECT entries FROM bookings WHERE ticket_no = '10000101'"_qs),
        0);
    QCOMPARE(m_admin->api("GET", u"/api/admin/session"_qs).status, 200); // still signed in
}

void ServerWebTest::venueAdminSeesNothingOfAnotherVenue()
{
    QVERIFY(startServer(u"sqlite"_qs));
    QVERIFY2(m_server->run({u"add-venue"_qs, u"5678"_qs, u"다른 극장"_qs}),
             qPrintable(m_server->errorText()));
    QVERIFY(
        m_server->run({u"add-performance"_qs, u"OTHR0001"_qs, u"5678"_qs, u"다른 공연"_qs,
                       QDate::currentDate().toString(u"yyyyMMdd"_qs) + u"2000"_qs, u"소극장"_qs}));
    QVERIFY(m_server->run({u"add-admin"_qs, u"boss5678"_qs, u"--place-code"_qs, u"5678"_qs},
                          nullptr, "boss5678pw\n"));
    QVERIFY(!m_server->run({u"add-admin"_qs, u"nobody"_qs, u"--place-code"_qs, u"0000"_qs}, nullptr,
                           "pw\n"));

    WebClient boss(m_server->port());
    QCOMPARE(boss.signIn(u"boss5678"_qs, u"boss5678pw"_qs).status, 200);
    QString signIns;
    QVERIFY(m_server->run({u"sign-ins"_qs}, &signIns));
    QVERIFY2(signIns.contains(u"boss5678  127.0.0.1  dashboard ok"_qs), qPrintable(signIns));
    const WebReply list = boss.api("GET", u"/api/performances"_qs);
    QCOMPARE(list.json().value(u"default"_qs).toString(), u"OTHR0001"_qs);
    for (const QJsonValue &p : list.json().value(u"performances"_qs).toArray())
        QCOMPARE(p[u"placeCode"_qs].toString(), u"5678"_qs);
    QCOMPARE(boss.api("GET", dashboardPath(u"OTHR0001"_qs)).status, 200);

    QCOMPARE(boss.api("GET", dashboardPath()).status, 403);
    QCOMPARE(boss.api("GET", u"/api/bookings?bizcode=GRVM0001&q=1000"_qs).status, 403);
    const WebReply byHand = boss.api("POST", u"/api/manual-scan"_qs,
                                     {{u"bizcode"_qs, kBizcode},
                                      {u"ticketNo"_qs, u"10000102"_qs},
                                      {u"mode"_qs, u"I"_qs},
                                      {u"reason"_qs, u"x"_qs}});
    QCOMPARE(byHand.status, 403);
    QVERIFY(!byHand.body.contains("10000102"));
    QCOMPARE(
        directCount(m_db->url(), u"SELECT entries FROM bookings WHERE ticket_no = '10000102'"_qs),
        0);
    // A ticket of the other venue, checked in by hand at this one, is as unknown as a made-up one.
    const WebReply foreign = boss.api("POST", u"/api/manual-scan"_qs,
                                      {{u"bizcode"_qs, u"OTHR0001"_qs},
                                       {u"ticketNo"_qs, u"10000102"_qs},
                                       {u"mode"_qs, u"I"_qs},
                                       {u"reason"_qs, u"x"_qs}});
    QCOMPARE(foreign.json().value(u"message"_qs).toString(), u"없는 티켓"_qs);
    const WebReply annul = boss.api("POST", u"/api/annul"_qs,
                                    {{u"bizcode"_qs, kBizcode},
                                     {u"ticketNo"_qs, u"10000297"_qs},
                                     {u"id"_qs, 1},
                                     {u"reason"_qs, u"x"_qs}});
    QCOMPARE(annul.status, 403);
    QCOMPARE(annul.error(), u"권한이 없습니다. 다른 공연장의 입장은 취소할 수 없습니다"_qs);
    // The admin of every venue sees both.
    QCOMPARE(m_admin->api("GET", dashboardPath(u"OTHR0001"_qs)).status, 200);
}

// A viewer and a supervisor reach none of a manager's calls, and what each may not do by hand is
// refused by the server, not only left off the page.
void ServerWebTest::rolesBelowManagerChangeNothing()
{
    QVERIFY(startServer(u"sqlite"_qs));
    QVERIFY(m_server->run({u"add-admin"_qs, u"watcher"_qs, u"--role"_qs, u"viewer"_qs}, nullptr,
                          "watcherpw\n"));
    QVERIFY(m_server->run(
        {u"add-admin"_qs, u"desk"_qs, u"--role"_qs, u"supervisor"_qs, u"--venue"_qs, u"1234"_qs},
        nullptr, "deskpass1\n"));
    WebClient watcher(m_server->port());
    WebClient desk(m_server->port());
    QCOMPARE(watcher.signIn(u"watcher"_qs, u"watcherpw"_qs).json().value(u"role"_qs).toString(),
             u"viewer"_qs);
    QCOMPARE(desk.signIn(u"desk"_qs, u"deskpass1"_qs).json().value(u"role"_qs).toString(),
             u"supervisor"_qs);
    const QString password = u"longenough1"_qs;
    const QList<std::tuple<QByteArray, QString, QJsonObject>> managers = {
        {"GET", u"/api/season/operators"_qs, {}},
        {"GET", u"/api/season/accounts"_qs, {}},
        {"POST",
         u"/api/season/performances/add"_qs,
         {{u"bizcode"_qs, u"NEW00001"_qs},
          {u"placeCode"_qs, u"1234"_qs},
          {u"goodsName"_qs, u"새 공연"_qs},
          {u"startsAt"_qs, u"2031-01-01 19:00"_qs}}},
        {"POST", u"/api/season/performances/remove"_qs, {{u"bizcode"_qs, u"GRVM0002"_qs}}},
        {"POST",
         u"/api/season/operators/add"_qs,
         {{u"id"_qs, u"gate99"_qs}, {u"placeCode"_qs, u"1234"_qs}, {u"generate"_qs, true}}},
        {"POST",
         u"/api/season/operators/password"_qs,
         {{u"id"_qs, u"gate01"_qs}, {u"password"_qs, password}, {u"password2"_qs, password}}},
        {"POST", u"/api/season/operators/disable"_qs, {{u"id"_qs, u"gate01"_qs}}},
        {"POST",
         u"/api/season/accounts/add"_qs,
         {{u"id"_qs, u"boss2"_qs},
          {u"role"_qs, u"manager"_qs},
          {u"password"_qs, password},
          {u"password2"_qs, password}}},
        {"POST", u"/api/season/accounts/remove"_qs, {{u"id"_qs, u"admin"_qs}}},
        {"POST",
         u"/api/season/accounts/role"_qs,
         {{u"id"_qs, u"admin"_qs}, {u"role"_qs, u"viewer"_qs}}},
        {"POST",
         u"/api/season/accounts/enable"_qs,
         {{u"id"_qs, u"admin"_qs}, {u"password"_qs, password}, {u"password2"_qs, password}}},
        {"POST", u"/api/season/bookings/upload?bizcode=GRVM0001&name=a.csv"_qs, {}},
        {"POST", u"/api/season/bookings/confirm"_qs, {{u"id"_qs, u"0"_qs}}},
        {"GET", u"/api/season/bookings/progress?id=0"_qs, {}},
        {"GET", u"/api/season/audit/export?bizcode=GRVM0001&format=csv"_qs, {}},
    };
    const QJsonObject byHand{{u"bizcode"_qs, kBizcode},
                             {u"ticketNo"_qs, u"10000103"_qs},
                             {u"mode"_qs, u"I"_qs},
                             {u"id"_qs, 1},
                             {u"reason"_qs, u"x"_qs}};
    const QString before = seasonState(m_db->url());
    for (WebClient *client : {&watcher, &desk}) {
        for (const auto &[method, path, body] : managers) {
            const WebReply r = client->api(method, path, body);
            QVERIFY2(r.status == 403, qPrintable(path + u": "_qs + QString::fromUtf8(r.body)));
        }
    }
    QCOMPARE(watcher.api("POST", u"/api/manual-scan"_qs, byHand).status, 403);
    QCOMPARE(watcher.api("POST", u"/api/annul"_qs, byHand).status, 403);
    QCOMPARE(seasonState(m_db->url()), before);

    QCOMPARE(watcher.api("GET", u"/api/bookings?bizcode=GRVM0001&q=10000103"_qs).status, 200);
    const WebReply admitted = desk.api("POST", u"/api/manual-scan"_qs, byHand);
    QCOMPARE(admitted.json().value(u"accepted"_qs).toBool(), true);
}

// A manager's booking file: refused whole when hostile, never kept with a bad line, otherwise
// written once as its dry run showed; bookings changed since the dry run are planned again and
// shown, not written over. The audit's CSV download is what `audit --csv` prints.
void ServerWebTest::uploadIsWrittenOnceAsItsDryRunShowed()
{
    QFETCH(QString, backend);
    QAV_REQUIRE_BACKEND(backend);
    // Sealed once by hand below, so that both exports name the same seal.
    QVERIFY(startServer(backend, {u"--seal-every"_qs, u"0"_qs}));
    const quint16 port = m_server->port();
    auto upload = [&](const QByteArray &file, const QString &name) {
        WebClient::Headers headers = m_admin->adminHeaders();
        headers.first().second = "application/octet-stream";
        return m_admin->send(
            "POST", u"/api/season/bookings/upload?bizcode=GRVM0001&name="_qs + name, file, headers);
    };
    auto confirm = [&](const QString &id) {
        return m_admin->api("POST", u"/api/season/bookings/confirm"_qs, {{u"id"_qs, id}});
    };
    auto raw = [&](const QByteArray &head) {
        return qavtest::exchange(port, head + "Host: 127.0.0.1\r\nCookie: " + m_admin->cookie +
                                           "\r\nX-CSRF-Token: " + m_admin->csrf + "\r\n\r\n");
    };

    const QString before = seasonState(m_db->url());
    const WebReply page =
        upload("<!DOCTYPE html><html><body><table><tr><td>1</td></tr></table></body></html>",
               u"bookings.xls"_qs);
    QCOMPARE(page.status, 415);
    QVERIFY2(page.error().contains(u"웹 페이지(HTML)"_qs), qPrintable(page.error()));
    // Over the upload's limit, refused on its length; the larger body is that route's alone.
    QCOMPARE(raw("POST /api/season/bookings/upload?bizcode=GRVM0001 HTTP/1.1\r\n"
                 "Content-Length: 67108865\r\n")
                 .status,
             413);
    QCOMPARE(raw("POST /api/season/accounts/add HTTP/1.1\r\nContent-Length: 100000\r\n").status,
             413);
    const WebReply bad = upload("bizcode,ticket_no,cust_name\nGRVM0001,30000001,김하나\n"
                                "GRVM0002,30000002,이둘\nGRVM0001,,빈칸\n",
                                u"bad.csv"_qs);
    QCOMPARE(bad.status, 200);
    QCOMPARE(bad.json().value(u"id"_qs).toString(), QString());
    QCOMPARE(listed(bad, u"problems"_qs, u"line"_qs).size(), 2);
    QCOMPARE(bad.json().value(u"problems"_qs)[0][u"line"_qs].toInt(), 3);
    // The page's reasons are Korean, the file's own texts kept as they were.
    QCOMPARE(bad.json().value(u"problems"_qs)[0][u"reason"_qs].toString(),
             u"고른 공연(GRVM0001)이 아닌 공연 'GRVM0002'의 예매입니다"_qs);
    QCOMPARE(bad.json().value(u"problems"_qs)[1][u"reason"_qs].toString(),
             u"공연코드나 예매번호가 비어 있습니다"_qs);
    QCOMPARE(seasonState(m_db->url()), before);

    const QByteArray csv = "bizcode,ticket_no,cust_name,seat_grade\nGRVM0001,30000001,김하나,R석\n"
                           "GRVM0001,30000002,이둘,S석\nGRVM0001,10000005,바뀐 이름,R석\n";
    const WebReply dry = upload(csv, u"%EC%98%88%EB%A7%A4.csv"_qs);
    QCOMPARE(dry.status, 200);
    const QString id = dry.json().value(u"id"_qs).toString();
    QVERIFY(!id.isEmpty());
    QCOMPARE(dry.json().value(u"added"_qs).toInt(), 2);
    QCOMPARE(dry.json().value(u"changed"_qs).toInt(), 1);
    QCOMPARE(seasonState(m_db->url()), before);

    // The sales system's import writes one of its bookings meanwhile.
    QTemporaryDir dir;
    QFile meanwhile(dir.filePath(u"meanwhile.csv"_qs));
    QVERIFY(meanwhile.open(QIODevice::WriteOnly));
    meanwhile.write("bizcode,ticket_no,cust_name,seat_grade\nGRVM0001,30000001,김하나,R석\n");
    meanwhile.close();
    QVERIFY(m_server->run({u"import-bookings"_qs, meanwhile.fileName()}));
    const WebReply replanned = confirm(id);
    QCOMPARE(replanned.status, 409);
    const QJsonObject again = replanned.json().value(u"dryRun"_qs).toObject();
    QCOMPARE(again.value(u"added"_qs).toInt(), 1);
    QCOMPARE(again.value(u"unchanged"_qs).toInt(), 1);
    QCOMPARE(again.value(u"id"_qs).toString(), id);

    // Confirmed twice at once, as a double click would: one write.
    QNetworkReply *first =
        m_admin->startApi("POST", u"/api/season/bookings/confirm"_qs, {{u"id"_qs, id}});
    const WebReply second = confirm(id);
    const WebReply firstReply = WebClient::finish(first);
    QCOMPARE(QList<int>({firstReply.status, second.status}).count(202), 1);
    QCOMPARE(confirm(id).error(), u"이미 확정한 파일입니다"_qs);
    QTRY_COMPARE_WITH_TIMEOUT(
        m_admin->api("GET", u"/api/season/bookings/progress?id="_qs + id).json().value(u"state"_qs),
        QJsonValue(u"done"_qs), 15000);
    QCOMPARE(directCount(m_db->url(), u"SELECT COUNT(*) FROM bookings WHERE bizcode = 'GRVM0001'"
                                      " AND ((ticket_no = '30000002' AND cust_name = '이둘') OR"
                                      " (ticket_no = '10000005' AND cust_name = '바뀐 이름'))"_qs),
             2);
    // Before the write and after it, naming the file, the admin, its address and the counts.
    QCOMPARE(directCount(m_db->url(),
                         u"SELECT COUNT(*) FROM scan_log WHERE kind = 'season' AND operator_id ="
                         " 'admin' AND client_address = '127.0.0.1' AND ticket_raw = 'GRVM0001'"
                         " AND result_msg LIKE '%새 예매 1, 바뀐 예매 1, 그대로 1'"_qs),
             2);

    QVERIFY(m_server->run({u"audit"_qs, u"seal"_qs}));
    const qavtest::RawReply csvExport =
        raw("GET /api/season/audit/export?bizcode=GRVM0001&format=csv HTTP/1.1\r\n");
    QCOMPARE(csvExport.status, 200);
    QVERIFY2(csvExport.head.contains("filename=\"audit-GRVM0001.csv\"; filename*=UTF-8''"
                                     "%EC%9E%85%EC%9E%A5%EA%B8%B0%EB%A1%9D_"),
             csvExport.head.constData());
    QString printed;
    QVERIFY(m_server->run({u"audit"_qs, u"GRVM0001"_qs, u"--csv"_qs}, &printed));
    QVERIFY(csvExport.body.trimmed().endsWith(printed.trimmed().section(u'\n', -1).toUtf8()));
    QCOMPARE(QString::fromUtf8(csvExport.body).trimmed(), printed.trimmed());
    const qavtest::RawReply workbook =
        raw("GET /api/season/audit/export?bizcode=GRVM0001&format=xlsx HTTP/1.1\r\n");
    QCOMPARE(workbook.status, 200);
    QVERIFY(workbook.body.startsWith("PK"));
}

// A manager of one venue lists and changes only its venue's performances, operators and
// accounts; another venue's answer as if they were not there, and nothing of them changes.
void ServerWebTest::venueManagerRunsOnlyItsVenue()
{
    QFETCH(QString, backend);
    QAV_REQUIRE_BACKEND(backend);
    QVERIFY(startServer(backend));
    const QString start = QDate::currentDate().toString(u"yyyyMMdd"_qs) + u"2000"_qs;
    QVERIFY(m_server->run({u"add-venue"_qs, u"5678"_qs, u"다른 극장"_qs}));
    QVERIFY(m_server->run(
        {u"add-performance"_qs, u"OTHR0001"_qs, u"5678"_qs, u"다른 공연"_qs, start, u"소극장"_qs}));
    QVERIFY(m_server->run({u"add-operator"_qs, u"gate58"_qs, u"--venue"_qs, u"5678"_qs}, nullptr,
                          "gate58pass\n"));
    QVERIFY(m_server->run(
        {u"add-admin"_qs, u"boss5678"_qs, u"--role"_qs, u"manager"_qs, u"--venue"_qs, u"5678"_qs},
        nullptr, "boss5678pw\n"));
    QCOMPARE(m_admin->sendGate(wire::operatorSignIn(u"gate58"_qs, u"gate58pass"_qs)).status, 200);
    QVERIFY(!m_admin->signInGate(u"gate01"_qs).isEmpty());

    WebClient boss(m_server->port());
    QCOMPARE(boss.signIn(u"boss5678"_qs, u"boss5678pw"_qs).status, 200);
    const WebReply shows = boss.api("GET", u"/api/season/performances"_qs);
    QCOMPARE(listed(shows, u"performances"_qs, u"bizcode"_qs), QStringList{u"OTHR0001"_qs});
    QCOMPARE(listed(shows, u"venues"_qs, u"placeCode"_qs), QStringList{u"5678"_qs});
    const WebReply gates = boss.api("GET", u"/api/season/operators"_qs);
    QCOMPARE(listed(gates, u"operators"_qs), QStringList{u"gate58"_qs});
    QCOMPARE(listed(gates, u"operators"_qs, u"lastSignInFrom"_qs), QStringList{u"127.0.0.1"_qs});
    QCOMPARE(listed(boss.api("GET", u"/api/season/accounts"_qs), u"accounts"_qs),
             QStringList{u"boss5678"_qs});

    const QString before = seasonState(m_db->url());
    const QJsonObject show{{u"bizcode"_qs, kBizcode},
                           {u"placeCode"_qs, u"1234"_qs},
                           {u"goodsName"_qs, u"바뀐 공연"_qs},
                           {u"startsAt"_qs, start}};
    auto showAs = [&](const QString &bizcode) {
        QJsonObject o = show;
        o.insert(u"bizcode"_qs, bizcode);
        return o;
    };
    const QList<std::tuple<int, QString, QJsonObject>> refused = {
        {404, u"performances/change"_qs, show},
        {404, u"performances/remove"_qs, {{u"bizcode"_qs, u"GRVM0002"_qs}}},
        {404, u"operators/disable"_qs, {{u"id"_qs, u"gate01"_qs}}},
        {404, u"operators/password"_qs, {{u"id"_qs, u"gate01"_qs}, {u"generate"_qs, true}}},
        {404, u"operators/end-sessions"_qs, {{u"id"_qs, u"gate01"_qs}}},
        {404, u"accounts/disable"_qs, {{u"id"_qs, u"admin"_qs}}},
        {404, u"accounts/remove"_qs, {{u"id"_qs, u"admin"_qs}}},
        {400,
         u"operators/add"_qs,
         {{u"id"_qs, u"gate59"_qs}, {u"placeCode"_qs, u"1234"_qs}, {u"generate"_qs, true}}},
        {400, u"performances/add"_qs, showAs(u"NEW00001"_qs)},
        // Its own show cannot be moved to a venue it does not run.
        {400, u"performances/change"_qs, showAs(u"OTHR0001"_qs)},
        {409, u"accounts/remove"_qs, {{u"id"_qs, u"boss5678"_qs}}}, // itself
        {409, u"accounts/role"_qs, {{u"id"_qs, u"boss5678"_qs}, {u"role"_qs, u"manager"_qs}}},
        {404, u"accounts/role"_qs, {{u"id"_qs, u"admin"_qs}, {u"role"_qs, u"viewer"_qs}}},
    };
    for (const auto &[status, path, body] : refused) {
        const WebReply r = boss.api("POST", u"/api/season/"_qs + path, body);
        QVERIFY2(r.status == status, qPrintable(path + u": "_qs + QString::fromUtf8(r.body)));
        QVERIFY2(!r.body.contains("password"), r.body.constData());
    }
    QCOMPARE(seasonState(m_db->url()), before);

    // An account it adds is of its venue, whatever the form says.
    const QString password = u"desk5678pw"_qs;
    QCOMPARE(boss.api("POST", u"/api/season/accounts/add"_qs,
                      {{u"id"_qs, u"desk5678"_qs},
                       {u"role"_qs, u"supervisor"_qs},
                       {u"placeCode"_qs, QString()},
                       {u"password"_qs, password},
                       {u"password2"_qs, password}})
                 .status,
             200);
    QCOMPARE(directCount(m_db->url(), u"SELECT COUNT(*) FROM admins WHERE admin_id = 'desk5678'"
                                      " AND place_code = '5678' AND role = 'supervisor'"_qs),
             1);
    // It changes that account's role, and enables it again, disabled, with a new password.
    const QJsonObject desk{{u"id"_qs, u"desk5678"_qs}, {u"role"_qs, u"viewer"_qs}};
    QCOMPARE(boss.api("POST", u"/api/season/accounts/role"_qs, desk).status, 200);
    QCOMPARE(boss.api("POST", u"/api/season/accounts/disable"_qs, desk).status, 200);
    const QString newPassword = u"desk5678new"_qs;
    QCOMPARE(boss.api("POST", u"/api/season/accounts/enable"_qs,
                      {{u"id"_qs, u"desk5678"_qs},
                       {u"password"_qs, newPassword},
                       {u"password2"_qs, newPassword}})
                 .status,
             200);
    WebClient deskClient(m_server->port());
    QCOMPARE(deskClient.signIn(u"desk5678"_qs, newPassword).json().value(u"role"_qs).toString(),
             u"viewer"_qs);
}

// Two managers adding the same new account or performance at once, through two server processes
// on one database: the database decides, one gets 409 and what the other added stays as it was.
void ServerWebTest::addsRacingForOneIdKeepTheFirst()
{
    QFETCH(QString, backend);
    QAV_REQUIRE_BACKEND(backend);
    QVERIFY(startServer(backend));
    ServerOptions options;
    options.quiet = true;
    options.databaseUrl = m_db->url();
    options.seedDemo = false; // laying the demo again would end the admin's session
    ServerProcess second(qavServerBinary(), options);
    QVERIFY2(second.start(), qPrintable(second.errorText()));
    WebClient other(second.port());
    QCOMPARE(other.signIn(u"admin"_qs, u"admin"_qs).status, 200);
    const QString start = u"2031-01-01 19:00"_qs;
    auto account = [](const QString &id, const QString &password) {
        return QJsonObject{{u"id"_qs, id},
                           {u"role"_qs, u"supervisor"_qs},
                           {u"password"_qs, password},
                           {u"password2"_qs, password}};
    };
    auto show = [&](const QString &bizcode, const QString &name) {
        return QJsonObject{{u"bizcode"_qs, bizcode},
                           {u"placeCode"_qs, u"1234"_qs},
                           {u"goodsName"_qs, name},
                           {u"startsAt"_qs, start},
                           {u"placeName"_qs, u"홀"_qs}};
    };
    constexpr int kRaces = 6;
    struct Race
    {
        QString id, path, mine, theirs; // what each side sends: a password or a title
        QNetworkReply *a, *b;
    };
    QList<Race> races;
    for (int i = 0; i < kRaces; ++i) {
        const QString id = u"RACE%1"_qs.arg(i);
        const QString mine = u"mine-pass-%1"_qs.arg(i), theirs = u"their-pass-%1"_qs.arg(i);
        const bool isAccount = i % 2 == 0;
        const QString path =
            isAccount ? u"/api/season/accounts/add"_qs : u"/api/season/performances/add"_qs;
        races.append(
            {id, path, mine, theirs,
             m_admin->startApi("POST", path, isAccount ? account(id, mine) : show(id, mine)),
             other.startApi("POST", path, isAccount ? account(id, theirs) : show(id, theirs))});
    }
    for (const Race &race : races) {
        const WebReply a = WebClient::finish(race.a), b = WebClient::finish(race.b);
        QVERIFY2((a.status == 200) != (b.status == 200),
                 qPrintable(race.id + u": "_qs + QString::fromUtf8(a.body + " / " + b.body)));
        const WebReply &lost = a.status == 200 ? b : a;
        const QString kept = a.status == 200 ? race.mine : race.theirs;
        const bool isAccount = race.path.contains(u"accounts"_qs);
        QVERIFY2(lost.status == 409, qPrintable(race.id + u": "_qs + QString::fromUtf8(lost.body)));
        QCOMPARE(lost.error(),
                 isAccount ? u"이미 있는 아이디입니다"_qs : u"이미 있는 공연 코드입니다"_qs);
        if (isAccount) {
            WebClient check(m_server->port());
            QCOMPARE(check.signIn(race.id, kept).status, 200);
        } else {
            QCOMPARE(directCount(m_db->url(), u"SELECT COUNT(*) FROM performances WHERE bizcode ="
                                              " '%1' AND goods_name = '%2'"_qs.arg(race.id, kept)),
                     1);
        }
        QCOMPARE(directCount(m_db->url(), u"SELECT COUNT(*) FROM scan_log WHERE kind = 'season'"
                                          " AND ticket_raw = '%1'"_qs.arg(race.id)),
                 1);
    }
}

// A change whose audit row cannot be written does not stand either, and the call says it failed.
void ServerWebTest::aChangeWhoseAuditFailsChangesNothing()
{
    QFETCH(QString, backend);
    QAV_REQUIRE_BACKEND(backend);
    QVERIFY(startServer(backend));
    QVERIFY(m_server->run({u"add-admin"_qs, u"desk"_qs, u"--role"_qs, u"supervisor"_qs}, nullptr,
                          "deskpass1\n"));
    QVERIFY(!m_admin->signInGate(u"gate01"_qs).isEmpty()); // a session to end
    {
        const qavtest::RawSql db(m_db->url());
        const QStringList refuse =
            backend == u"sqlite"_qs
                ? QStringList{u"CREATE TRIGGER no_season BEFORE INSERT ON scan_log"
                              " WHEN NEW.kind = 'season' BEGIN SELECT RAISE(ABORT, 'refused'); END"_qs}
                : QStringList{u"CREATE FUNCTION no_season() RETURNS trigger LANGUAGE plpgsql AS"
                              " $$BEGIN RAISE EXCEPTION 'refused'; END$$"_qs,
                              u"CREATE TRIGGER no_season BEFORE INSERT ON scan_log FOR EACH ROW"
                              " WHEN (NEW.kind = 'season') EXECUTE FUNCTION no_season()"_qs};
        for (const QString &sql : refuse) {
            QSqlQuery q(db.database());
            QVERIFY2(q.exec(sql), qPrintable(q.lastError().text()));
        }
    }
    const QString password = u"longenough1"_qs;
    const QJsonObject show{{u"bizcode"_qs, kBizcode},
                           {u"placeCode"_qs, u"1234"_qs},
                           {u"goodsName"_qs, u"바뀐 공연"_qs},
                           {u"startsAt"_qs, u"2031-01-01 19:00"_qs}};
    QJsonObject newShow = show;
    newShow.insert(u"bizcode"_qs, u"NEW00001"_qs);
    const QList<std::pair<QString, QJsonObject>> changes = {
        {u"performances/add"_qs, newShow},
        {u"performances/change"_qs, show},
        {u"performances/remove"_qs, {{u"bizcode"_qs, u"GRVM0002"_qs}}},
        {u"operators/add"_qs,
         {{u"id"_qs, u"gate99"_qs}, {u"placeCode"_qs, u"1234"_qs}, {u"generate"_qs, true}}},
        {u"operators/password"_qs,
         {{u"id"_qs, u"gate01"_qs}, {u"password"_qs, password}, {u"password2"_qs, password}}},
        {u"operators/disable"_qs, {{u"id"_qs, u"gate01"_qs}}},
        {u"operators/end-sessions"_qs, {{u"id"_qs, u"gate01"_qs}}},
        {u"accounts/add"_qs,
         {{u"id"_qs, u"boss2"_qs},
          {u"role"_qs, u"manager"_qs},
          {u"password"_qs, password},
          {u"password2"_qs, password}}},
        {u"accounts/disable"_qs, {{u"id"_qs, u"desk"_qs}}},
        {u"accounts/remove"_qs, {{u"id"_qs, u"desk"_qs}}},
    };
    const QString before = seasonState(m_db->url());
    for (const auto &[path, body] : changes) {
        const WebReply r = m_admin->api("POST", u"/api/season/"_qs + path, body);
        QVERIFY2(r.status == 500, qPrintable(path + u": "_qs + QString::fromUtf8(r.body)));
    }
    QCOMPARE(seasonState(m_db->url()), before);

    // The same calls pass once the audit takes rows again: only the audit stopped them.
    {
        const qavtest::RawSql db(m_db->url());
        QSqlQuery q(db.database());
        QVERIFY(q.exec(u"DROP TRIGGER no_season"_qs +
                       (backend == u"sqlite"_qs ? u""_qs : u" ON scan_log"_qs)));
    }
    for (const auto &[path, body] : changes) {
        const WebReply r = m_admin->api("POST", u"/api/season/"_qs + path, body);
        QVERIFY2(r.status == 200, qPrintable(path + u": "_qs + QString::fromUtf8(r.body)));
    }
}

void ServerWebTest::signInIsThrottledAndSignOutEndsTheSession()
{
    QVERIFY(startServer(u"sqlite"_qs));
    WebClient guesser(m_server->port());
    for (int i = 0; i < 5; ++i)
        QCOMPARE(guesser.signIn(u"admin"_qs, u"guess"_qs + QString::number(i)).status, 401);
    QCOMPARE(guesser.signIn(u"admin"_qs, u"admin"_qs).status, 429); // locked: not even checked
    QCOMPARE(m_admin->api("GET", dashboardPath()).status, 200);     // an open session is not hurt

    const WebReply out = m_admin->api("POST", u"/api/admin/sign-out"_qs);
    QCOMPARE(out.status, 200);
    QVERIFY(out.setCookie.contains("Max-Age=0"));
    QCOMPARE(m_admin->api("GET", dashboardPath()).status, 401);

    WebClient page(m_server->port());
    const WebReply html = page.send("GET", u"/dashboard/"_qs);
    QCOMPARE(html.status, 200);
    QVERIFY(html.body.contains("<canvas id=\"chart\""));
    QCOMPARE(page.send("GET", u"/dashboard/chart.min.js"_qs).status, 200);
}

// A show that starts at 23:00 is still the gates' after midnight: a gate signing in at 00:30 gets
// it, its scans go on, the dashboard opens on it with the evening in its chart; and at 23:50 a show
// at 00:30 is the one coming, not the evening's long-begun one.
void ServerWebTest::lateShowKeepsItsGatesPastMidnight()
{
    QFETCH(QString, backend);
    QAV_REQUIRE_BACKEND(backend);
    qavtest::ScratchDatabase db(backend);
    ServerOptions options;
    options.quiet = true;
    options.databaseUrl = db.url();
    options.environment = clockSetTo(u"2030-05-10 23:35:00"_qs);
    auto evening = std::make_unique<ServerProcess>(qavServerBinary(), options);
    QVERIFY2(evening->start(), qPrintable(evening->errorText()));
    const QString csv = db.dir() + u"/night.csv"_qs;
    QFile file(csv);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("NIGHT001,70000001,김밤,R석,A열 1번\n");
    file.close();
    for (const QStringList &command :
         {QStringList{u"add-performance"_qs, u"NIGHT001"_qs, u"1234"_qs, u"심야 공연"_qs,
                      u"203005102300"_qs, u"그랜드 홀"_qs},
          QStringList{u"add-performance"_qs, u"EVE00001"_qs, u"1234"_qs, u"저녁 공연"_qs,
                      u"203005111900"_qs, u"그랜드 홀"_qs},
          QStringList{u"add-performance"_qs, u"DAWN0001"_qs, u"1234"_qs, u"새벽 공연"_qs,
                      u"203005120030"_qs, u"그랜드 홀"_qs},
          QStringList{u"import-bookings"_qs, csv}})
        QVERIFY2(evening->run(command), qPrintable(evening->errorText()));

    auto gateSignIn = [](WebClient &gate) {
        return gate.sendGate(wire::operatorSignIn(u"gate01"_qs, u"gate01"_qs));
    };
    auto scan = [](WebClient &gate, const WebReply &signedIn, const char *mode) {
        return WebClient::finish(gate.startScan(
            QString::fromLatin1(mode), u"70000001"_qs, u"gate01"_qs,
            cellOf(signedIn, u"SessionKey"_qs).toLatin1(), cellOf(signedIn, u"bizcode"_qs)));
    };
    {
        WebClient gate(evening->port());
        const WebReply signedIn = gateSignIn(gate);
        QCOMPARE(cellOf(signedIn, u"bizcode"_qs), u"NIGHT001"_qs);
        QCOMPARE(scan(gate, signedIn, "I").errCode(), u"0"_qs);
    }
    evening.reset();

    options.initDatabase = false;
    options.environment = clockSetTo(u"2030-05-11 00:30:00"_qs);
    auto night = std::make_unique<ServerProcess>(qavServerBinary(), options);
    QVERIFY2(night->start(), qPrintable(night->errorText()));
    {
        WebClient gate(night->port());
        const WebReply signedIn = gateSignIn(gate);
        QVERIFY2(cellOf(signedIn, u"bizcode"_qs) == u"NIGHT001"_qs, signedIn.body.constData());
        const WebReply again = scan(gate, signedIn, "I");
        QCOMPARE(again.errCode(), u"-2"_qs);
        // The evening's entry keeps its time: it is the same show's day.
        const QString said = again.json().value(u"rows"_qs)[0][1].toString();
        QVERIFY2(QRegularExpression(u"^이미 입장 23:3\\d gate01$"_qs).match(said).hasMatch(),
                 qPrintable(said));
        QCOMPARE(scan(gate, signedIn, "O").errCode(), u"2"_qs);
        QCOMPARE(scan(gate, signedIn, "I").errCode(), u"1"_qs);

        WebClient admin(night->port());
        QCOMPARE(admin.signIn(u"admin"_qs, u"admin"_qs).status, 200);
        QCOMPARE(admin.api("GET", u"/api/performances"_qs).json().value(u"default"_qs).toString(),
                 u"NIGHT001"_qs);
        const QJsonObject series =
            admin.api("GET", dashboardPath(u"NIGHT001"_qs)).json().value(u"series"_qs).toObject();
        const QStringList minutes = series.value(u"minutes"_qs).toVariant().toStringList();
        QVERIFY2(minutes.contains(u"23:40"_qs) && minutes.contains(u"00:30"_qs),
                 qPrintable(minutes.join(u' ')));
        QCOMPARE(sum(series.value(u"entries"_qs).toArray()), 2);
        QCOMPARE(sum(series.value(u"exits"_qs).toArray()), 1);
    }
    night.reset();

    options.environment = clockSetTo(u"2030-05-11 23:50:00"_qs);
    auto beforeDawn = std::make_unique<ServerProcess>(qavServerBinary(), options);
    QVERIFY2(beforeDawn->start(), qPrintable(beforeDawn->errorText()));
    WebClient gate(beforeDawn->port());
    QCOMPARE(cellOf(gateSignIn(gate), u"bizcode"_qs), u"DAWN0001"_qs);
}

QTEST_GUILESS_MAIN(ServerWebTest)
#include "tst_server_web.moc"
