// The dashboard in a real browser: headless chromium driven through chromedriver (WebDriver over
// loopback HTTP) against a real qav-server. Skipped only when chromium or chromedriver is missing.
// With QAV_SCREENSHOT_DIR set it also saves the README's pictures (desk and phone width).

#include "tests/server/webclient.h"
#include "tests/server/workbooks.h"
#include "tests/support/GateClient.h"
#include "tests/support/RawSql.h"
#include "tests/support/ServerProcess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kElementKey = QStringLiteral("element-6066-11e4-a52e-4f735466cecf");

// A step in the page (a click, a round trip, a repaint) may wait long on a loaded machine, where
// the browser shares the CPU with another test.
constexpr int kStepMs = 15000;
#define STEP_VERIFY(expr) QTRY_VERIFY_WITH_TIMEOUT(expr, kStepMs)
#define STEP_COMPARE(actual, expected) QTRY_COMPARE_WITH_TIMEOUT(actual, expected, kStepMs)

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// One chromedriver process and one browser session; both end with this object.
class Browser
{
public:
    ~Browser()
    {
        if (!m_session.isEmpty())
            call("DELETE", QString());
        m_driver.terminate();
        if (!m_driver.waitForFinished(10000))
            m_driver.kill();
    }

    bool start(const QString &chromium, const QString &chromedriver, QString *error)
    {
        const quint16 port = freePort();
        m_client = std::make_unique<WebClient>(port);
        m_driver.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_driver.setStandardOutputFile(QProcess::nullDevice());
        m_driver.start(chromedriver, {QStringLiteral("--port=%1").arg(port)});
        if (!m_driver.waitForStarted(10000)) {
            *error = m_driver.errorString();
            return false;
        }
        bool ready = false;
        for (int i = 0; i < 100 && !ready && m_driver.state() == QProcess::Running; ++i) {
            ready = m_client->send("GET", QStringLiteral("/status")).status == 200;
            if (!ready)
                m_driver.waitForFinished(100); // returns early only when the driver died
        }
        if (!ready) {
            *error = QStringLiteral("chromedriver did not become ready");
            return false;
        }
        const QJsonObject options{
            {QStringLiteral("binary"), chromium},
            {QStringLiteral("args"),
             QJsonArray{u"--headless=new"_qs, u"--no-sandbox"_qs, u"--disable-gpu"_qs,
                        u"--disable-dev-shm-usage"_qs, u"--no-first-run"_qs, u"--lang=ko-KR"_qs,
                        u"--window-size=1280,1000"_qs, u"--user-data-dir="_qs + m_profile.path()}}};
        const QJsonObject caps{
            {QStringLiteral("capabilities"),
             QJsonObject{{QStringLiteral("alwaysMatch"),
                          QJsonObject{{QStringLiteral("browserName"), u"chrome"_qs},
                                      {QStringLiteral("goog:chromeOptions"), options}}}}}};
        const WebReply r =
            m_client->send("POST", QStringLiteral("/session"), QJsonDocument(caps).toJson(),
                           {{"Content-Type", "application/json"}});
        m_session = r.json().value(u"value"_qs).toObject().value(u"sessionId"_qs).toString();
        if (m_session.isEmpty())
            *error = QString::fromUtf8(r.body);
        return !m_session.isEmpty();
    }

    // A command of the session; returns its "value".
    QJsonValue call(const QByteArray &method, const QString &path, const QJsonObject &body = {})
    {
        const WebReply r =
            m_client->send(method, u"/session/"_qs + m_session + path,
                           method == "POST" ? QJsonDocument(body).toJson() : QByteArray(),
                           {{"Content-Type", "application/json"}});
        return r.json().value(u"value"_qs);
    }

    void open(const QString &url) { call("POST", u"/url"_qs, {{u"url"_qs, url}}); }

    QJsonValue script(const QString &js, const QJsonArray &args = {})
    {
        return call("POST", u"/execute/sync"_qs, {{u"script"_qs, js}, {u"args"_qs, args}});
    }

    QString text(const QString &css)
    {
        return script(
                   u"const e = document.querySelector(arguments[0]); return e ? e.textContent : null;"_qs,
                   {css})
            .toString();
    }

    bool visible(const QString &css)
    {
        return script(
                   u"const e = document.querySelector(arguments[0]); return !!e && e.offsetParent !== null;"_qs,
                   {css})
            .toBool();
    }

    QString element(const QString &css)
    {
        return call("POST", u"/element"_qs, {{u"using"_qs, u"css selector"_qs}, {u"value"_qs, css}})
            .toObject()
            .value(kElementKey)
            .toString();
    }

    void click(const QString &css) { call("POST", u"/element/%1/click"_qs.arg(element(css))); }

    void type(const QString &css, const QString &text)
    {
        call("POST", u"/element/%1/value"_qs.arg(element(css)), {{u"text"_qs, text}});
    }

    void resize(int width, int height)
    {
        call("POST", u"/window/rect"_qs, {{u"width"_qs, width}, {u"height"_qs, height}});
    }

    QByteArray screenshot()
    {
        return QByteArray::fromBase64(call("GET", u"/screenshot"_qs).toString().toLatin1());
    }

private:
    QProcess m_driver;
    QTemporaryDir m_profile;
    std::unique_ptr<WebClient> m_client;
    QString m_session;
};

// Saves what the browser shows as name in QAV_SCREENSHOT_DIR, when that is set.
void saveScreenshot(Browser &browser, const QString &name)
{
    const QString shots = qEnvironmentVariable("QAV_SCREENSHOT_DIR");
    if (shots.isEmpty())
        return;
    QDir().mkpath(shots);
    QFile file(QDir(shots).filePath(name));
    if (file.open(QIODevice::WriteOnly))
        file.write(browser.screenshot());
}

} // namespace

class ServerBrowserTest : public QObject
{
    Q_OBJECT
private slots:
    void dashboardLiveInTheBrowser();
    void managerRunsTheSeasonFromTheBrowser();

private:
    // A demo server (serveArguments added) and a browser; skips without chromium.
    bool startBoth(ServerProcess &server, Browser &browser);
};

bool ServerBrowserTest::startBoth(ServerProcess &server, Browser &browser)
{
    const QString chromium = QStandardPaths::findExecutable(u"chromium"_qs);
    const QString chromedriver = QStandardPaths::findExecutable(u"chromedriver"_qs);
    if (chromium.isEmpty() || chromedriver.isEmpty()) {
        QTest::qSkip("chromium and chromium-driver are not installed (scripts/setup.sh --test)",
                     __FILE__, __LINE__);
        return false;
    }
    [&] { QVERIFY2(server.start(), qPrintable(server.errorText())); }();
    if (QTest::currentTestFailed())
        return false;
    QString error;
    [&] { QVERIFY2(browser.start(chromium, chromedriver, &error), qPrintable(error)); }();
    return !QTest::currentTestFailed();
}

void ServerBrowserTest::dashboardLiveInTheBrowser()
{
    ServerOptions options;
    options.quiet = true;
    // A gate quiet for a few seconds is flagged, so the test need not wait five minutes.
    options.serveArguments = {u"--gate-silent-after"_qs, u"3s"_qs};
    ServerProcess server(qavServerBinary(), options);
    Browser browser;
    if (!startBoth(server, browser))
        return;
    const QString page = server.url() + u"/dashboard/"_qs;

    // Signed out, the page shows only the sign-in form.
    browser.open(page);
    QTRY_VERIFY_WITH_TIMEOUT(browser.visible(u"#signin-form"_qs), 15000);
    QVERIFY(!browser.visible(u"#board"_qs));
    browser.type(u"#signin-id"_qs, u"admin"_qs);
    browser.type(u"#signin-password"_qs, u"admin"_qs);
    browser.click(u"#signin-submit"_qs);
    QTRY_VERIFY2_WITH_TIMEOUT(browser.text(u"#c-total"_qs) == u"299"_qs,
                              qPrintable(browser.text(u"#signin-error"_qs) + u" / "_qs +
                                         browser.text(u"#board-error"_qs) + u" / "_qs +
                                         server.log().right(600)),
                              15000);
    QCOMPARE(browser.text(u"#c-entered"_qs), u"3"_qs);
    STEP_VERIFY(browser.text(u"#conn"_qs).startsWith(u"실시간"_qs));

    // Scans at a gate appear without a reload: the page's own state survives.
    browser.script(u"window.samePage = true;"_qs);
    WebClient gate(server.port());
    const QByteArray key = gate.signInGate(u"gate01"_qs);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(WebClient::finish(
                     gate.startScan(u"I"_qs, QString::number(10000120 + i), u"gate01"_qs, key))
                     .errCode(),
                 u"0"_qs);
    QCOMPARE(
        WebClient::finish(gate.startScan(u"I"_qs, u"99999999"_qs, u"gate01"_qs, key)).errCode(),
        u"-1"_qs);
    QTRY_COMPARE_WITH_TIMEOUT(browser.text(u"#c-entered"_qs), u"8"_qs, 10000);
    STEP_VERIFY(browser.text(u"#refusals"_qs).contains(u"없는 티켓"_qs));
    QCOMPARE(browser.text(u"#c-insideNow"_qs), u"7"_qs);
    QVERIFY(browser.script(u"return window.samePage === true;"_qs).toBool());
    STEP_VERIFY(browser.text(u"#gates"_qs).contains(u"gate01"_qs));

    // The chart is drawn: its canvas has painted pixels and carries the entries.
    const QString painted =
        QStringLiteral("const c = document.getElementById('chart');"
                       "if (!c || !c.width || !c.height) return false;"
                       "const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;"
                       "for (let i = 3; i < d.length; i += 4) if (d[i] !== 0) return true;"
                       "return false;");
    STEP_VERIFY(browser.script(painted).toBool());
    STEP_VERIFY(
        browser
            .script(
                u"return Chart.getChart('chart').data.datasets[0].data.reduce((a, b) => a + b, 0);"_qs)
            .toInt() >= 8);

    // Manual check-in: find the guest, give a reason, admit.
    browser.type(u"#search-text"_qs, u"10000150"_qs);
    browser.click(u"#search-submit"_qs);
    STEP_VERIFY(browser.visible(u".booking[data-ticket='10000150']"_qs));
    browser.click(u".booking .act-in"_qs);
    STEP_COMPARE(browser.text(u".booking .outcome"_qs), u"수동 처리 사유를 입력하세요"_qs);
    browser.type(u".booking .reason"_qs, u"바코드 인식 불가"_qs);
    browser.click(u".booking .act-in"_qs);
    STEP_COMPARE(browser.text(u".booking .outcome"_qs), u"입장 확인"_qs);
    STEP_VERIFY(browser.text(u".booking .history"_qs).contains(u"바코드 인식 불가"_qs));
    QTRY_COMPARE_WITH_TIMEOUT(browser.text(u"#c-entered"_qs), u"9"_qs, 10000);

    // Annulling that check-in: a reason first, then the guest counts as not yet arrived again.
    STEP_VERIFY(browser.visible(u".booking .act-annul"_qs));
    QCOMPARE(browser.text(u".booking .act-annul"_qs), u"입장 취소"_qs);
    browser.click(u".booking .act-annul"_qs);
    STEP_COMPARE(browser.text(u".booking .outcome"_qs), u"취소 사유를 입력하세요"_qs);
    browser.type(u".booking .annul-reason"_qs, u"입장하지 않음"_qs);
    browser.click(u".booking .act-annul"_qs);
    STEP_COMPARE(browser.text(u".booking .outcome"_qs), u"입장 취소 완료"_qs);
    QVERIFY(browser.text(u".booking .history .annul-row"_qs).contains(u"입장하지 않음"_qs));
    QVERIFY(!browser.visible(u".booking .act-annul"_qs));
    QTRY_COMPARE_WITH_TIMEOUT(browser.text(u"#c-entered"_qs), u"8"_qs, 10000);

    // gate02 made slow on purpose (its audit says its verifications took 0.9 s); gate01 has been
    // quiet longer than the server was told to allow.
    const QByteArray key2 = gate.signInGate(u"gate02"_qs);
    QCOMPARE(
        WebClient::finish(gate.startScan(u"I"_qs, u"10000160"_qs, u"gate02"_qs, key2)).errCode(),
        u"0"_qs);
    {
        const qavtest::RawSql db(server.databasePath());
        QVERIFY2(db.isOpen(), qPrintable(db.errorText()));
        QSqlQuery q(db.database());
        QVERIFY(
            q.exec(u"UPDATE scan_log SET duration_us = 900000 WHERE operator_id = 'gate02'"_qs));
    }
    // The dashboard reads the gates' kept minutes: counted again from the audit as changed.
    const CliResult recount = runCli({u"recount"_qs, u"--db"_qs, server.databasePath()},
                                     QFileInfo(server.databasePath()).absolutePath());
    QVERIFY2(recount.exitCode == 0, qPrintable(recount.all()));
    QTRY_VERIFY_WITH_TIMEOUT(browser.visible(u"tr[data-operator='gate02'] .badge.slow"_qs), 10000);
    QCOMPARE(browser.text(u"tr[data-operator='gate02'] .badge.slow"_qs), u"느림"_qs);
    QTRY_VERIFY_WITH_TIMEOUT(browser.visible(u"tr[data-operator='gate01'] .badge.silent"_qs),
                             15000);
    QCOMPARE(browser.text(u"tr[data-operator='gate01'] .badge.silent"_qs), u"응답 없음"_qs);

    const QString shots = qEnvironmentVariable("QAV_SCREENSHOT_DIR");
    if (!shots.isEmpty()) {
        QDir().mkpath(shots);
        const QList<std::tuple<QString, int, int>> sizes = {{u"dashboard-desk.png"_qs, 1280, 1000},
                                                            {u"dashboard-phone.png"_qs, 400, 860}};
        for (const auto &[name, width, height] : sizes) {
            browser.resize(width, height);
            browser.script(u"window.scrollTo(0, 0);"_qs);
            // The chart follows its box's new width before the picture is taken.
            STEP_VERIFY(browser.script(u"return Chart.getChart('chart').width <= %1;"_qs.arg(width))
                            .toBool());
            QFile file(QDir(shots).filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(browser.screenshot());
        }
        // At phone width: the gates' badges and a booking whose entry may still be annulled.
        browser.resize(400, 860);
        browser.script(u"document.getElementById('search-text').value = '';"_qs);
        browser.type(u"#search-text"_qs, u"10000160"_qs);
        browser.click(u"#search-submit"_qs);
        STEP_VERIFY(browser.visible(u".booking[data-ticket='10000160'] .act-annul"_qs));
        browser.script(u"document.querySelector('#gates').closest('.card').scrollIntoView();"_qs);
        QFile file(QDir(shots).filePath(u"dashboard-phone-gates.png"_qs));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(browser.screenshot());
        browser.resize(1280, 1000);
    }

    // Signing out locks the page, and the server no longer answers for the old session.
    browser.click(u"#signout"_qs);
    STEP_VERIFY(browser.visible(u"#signin-form"_qs));
    QVERIFY(!browser.visible(u"#board"_qs));
    QCOMPARE(browser.text(u"#c-total"_qs), u"-"_qs);
    browser.open(page);
    QTRY_VERIFY_WITH_TIMEOUT(browser.visible(u"#signin-form"_qs), 15000);
    QVERIFY(!browser.visible(u"#board"_qs));

    // Signed in again, a server that goes away shows on the page.
    browser.type(u"#signin-id"_qs, u"admin"_qs);
    browser.type(u"#signin-password"_qs, u"admin"_qs);
    browser.click(u"#signin-submit"_qs);
    QTRY_COMPARE_WITH_TIMEOUT(browser.text(u"#c-entered"_qs), u"9"_qs, 15000);
    server.stop();
    QTRY_VERIFY_WITH_TIMEOUT(browser.text(u"#conn"_qs).startsWith(u"서버 연결 끊김"_qs), 15000);
}

// A manager adds a performance and an operator with a password the server makes; the operator
// signs in at a gate with it and scans, and the page shows where it signed in from. Each change is
// in the audit with the manager and its address, and the password in no log.
void ServerBrowserTest::managerRunsTheSeasonFromTheBrowser()
{
    ServerOptions options;
    options.quiet = true;
    ServerProcess server(qavServerBinary(), options);
    Browser browser;
    if (!startBoth(server, browser))
        return;
    browser.open(server.url() + u"/dashboard/"_qs);
    STEP_VERIFY(browser.visible(u"#signin-form"_qs));
    browser.type(u"#signin-id"_qs, u"admin"_qs);
    browser.type(u"#signin-password"_qs, u"admin"_qs);
    browser.click(u"#signin-submit"_qs);
    STEP_VERIFY(browser.visible(u"#tabs"_qs));

    browser.click(u"#tabs .tab[data-view='performances']"_qs);
    STEP_VERIFY(browser.visible(u"#perf-list tr[data-bizcode='GRVM0001']"_qs));
    // The demo's show has scans: it cannot be removed.
    QVERIFY(browser
                .script(u"return document.querySelector(\"#perf-list tr[data-bizcode='GRVM0001']"
                        " .danger\").disabled;"_qs)
                .toBool());
    browser.type(u"#pf-bizcode"_qs, u"SEAS0001"_qs);
    browser.type(u"#pf-goods"_qs, u"시즌 개막 공연"_qs);
    browser.script(u"document.getElementById('pf-starts').value = '2031-03-01T19:30';"_qs);
    browser.type(u"#pf-hall"_qs, u"소극장"_qs);
    browser.click(u"#pf-submit"_qs);
    STEP_VERIFY(browser.visible(u"#perf-list tr[data-bizcode='SEAS0001']"_qs));
    QCOMPARE(browser.text(u"#pf-message"_qs), u"SEAS0001 추가했습니다"_qs);
    QVERIFY(
        browser.text(u"#perf-list tr[data-bizcode='SEAS0001']"_qs).contains(u"시즌 개막 공연"_qs));
    saveScreenshot(browser, u"season-performances-desk.png"_qs);

    browser.click(u"#tabs .tab[data-view='operators']"_qs);
    STEP_VERIFY(browser.visible(u"#op-list tr[data-operator='gate01']"_qs));
    browser.type(u"#of-id"_qs, u"gate07"_qs);
    browser.click(u"#of-generate"_qs);
    QVERIFY(!browser.visible(u"#of-password"_qs));
    browser.click(u"#of-submit"_qs);
    STEP_VERIFY(browser.visible(u"#shown-password"_qs));
    const QString password = browser.text(u"#shown-value"_qs);
    QCOMPARE(password.size(), 12);

    qavtest::GateClient gate(server.port());
    QCOMPARE(gate.signIn(u"gate07"_qs, password).status, 200);
    QVERIFY(!gate.sessionKey().isEmpty());
    QCOMPARE(gate.verify(u"I"_qs, u"10000170"_qs).code(), u"0"_qs);

    browser.click(u"#shown-close"_qs);
    QVERIFY(browser.text(u"#shown-value"_qs).isEmpty());
    browser.click(u"#tabs .tab[data-view='operators']"_qs);
    STEP_VERIFY(browser.text(u"#op-list tr[data-operator='gate07']"_qs).contains(u"127.0.0.1"_qs));
    saveScreenshot(browser, u"season-operators-desk.png"_qs);
    if (!qEnvironmentVariable("QAV_SCREENSHOT_DIR").isEmpty()) {
        browser.resize(400, 860);
        browser.script(u"window.scrollTo(0, 0);"_qs);
        saveScreenshot(browser, u"season-operators-phone.png"_qs);
        // Accounts to show beside the manager's own: one to change, one to enable.
        QVERIFY(server.run({u"add-admin"_qs, u"desk1234"_qs, u"--role"_qs, u"supervisor"_qs,
                            u"--venue"_qs, u"1234"_qs},
                           nullptr, "deskpass1\n"));
        QVERIFY(server.run({u"add-admin"_qs, u"watcher"_qs, u"--role"_qs, u"viewer"_qs}, nullptr,
                           "watcherpw\n"));
        QVERIFY(server.run({u"disable-admin"_qs, u"watcher"_qs}));
        browser.click(u"#tabs .tab[data-view='accounts']"_qs);
        STEP_VERIFY(browser.visible(u"#acct-list tr[data-account='admin']"_qs));
        saveScreenshot(browser, u"season-accounts-phone.png"_qs);
        browser.resize(1280, 1000);
        saveScreenshot(browser, u"season-accounts-desk.png"_qs);
    }

    // The sales system's workbook: its dry run, the confirm with its progress, the result; a
    // ticket of it then scans. A workbook with a bad line is shown and nothing of it written.
    QTemporaryDir dir;
    const QString workbook = dir.filePath(u"bookings.xlsx"_qs);
    const QList<QVariantList> header{
        {u"예매번호"_qs, u"공연코드"_qs, u"예매자명"_qs, u"좌석등급"_qs}};
    QVERIFY(!qavtest::writtenWorkbook(
                 workbook,
                 header +
                     QList<QVariantList>{{77000001.0, u"GRVM0001"_qs, u"박영희"_qs, u"R석"_qs},
                                         {u"77000002"_qs, u"GRVM0001"_qs, u"최민수"_qs, u"S석"_qs}})
                 .isEmpty());
    browser.click(u"#tabs .tab[data-view='files']"_qs);
    STEP_VERIFY(
        browser
            .script(u"return !!document.querySelector(\"#bi-perf option[value='GRVM0001']\");"_qs)
            .toBool());
    browser.script(u"document.getElementById('bi-perf').value = 'GRVM0001';"_qs);
    browser.type(u"#bi-file"_qs, workbook);
    browser.click(u"#bi-submit"_qs);
    STEP_VERIFY(browser.visible(u"#dr-confirm"_qs));
    QCOMPARE(browser.text(u"#dr-added"_qs), u"2"_qs);
    QCOMPARE(browser.text(u"#dr-bad"_qs), u"0"_qs);
    saveScreenshot(browser, u"season-import-desk.png"_qs);
    browser.click(u"#dr-confirm"_qs);
    STEP_VERIFY(browser.text(u"#dr-result"_qs).startsWith(u"기록했습니다"_qs));
    QVERIFY(browser.text(u"#dr-result"_qs).contains(u"새 예매 2"_qs));
    QCOMPARE(gate.verify(u"I"_qs, u"77000001"_qs).code(), u"0"_qs);

    const QString badBook = dir.filePath(u"bad.xlsx"_qs);
    QVERIFY(
        !qavtest::writtenWorkbook(
             badBook, header + QList<QVariantList>{{u"77000003"_qs, u"GRVM0001"_qs, u"김하나"_qs},
                                                   {u"77000004"_qs, u"GRVM0002"_qs, u"이둘"_qs}})
             .isEmpty());
    browser.type(u"#bi-file"_qs, badBook);
    browser.click(u"#bi-submit"_qs);
    STEP_COMPARE(browser.text(u"#dr-bad"_qs), u"1"_qs);
    QVERIFY(!browser.visible(u"#dr-confirm"_qs));
    QVERIFY(browser.text(u"#dr-problems"_qs).contains(u"GRVM0002"_qs));
    if (!qEnvironmentVariable("QAV_SCREENSHOT_DIR").isEmpty()) {
        saveScreenshot(browser, u"season-import-bad-desk.png"_qs);
        browser.resize(400, 860);
        browser.script(u"document.getElementById('dryrun').scrollIntoView();"_qs);
        saveScreenshot(browser, u"season-import-phone.png"_qs);
        browser.resize(1280, 1000);
    }

    const qavtest::RawSql db(server.databasePath());
    QVERIFY2(db.isOpen(), qPrintable(db.errorText()));
    QCOMPARE(db.number(u"SELECT COUNT(*) FROM bookings WHERE ticket_no IN ('77000001',"
                       " '77000002', '77000003', '77000004')"_qs),
             2);
    QCOMPARE(db.number(u"SELECT COUNT(*) FROM performances WHERE bizcode = 'SEAS0001'"_qs), 1);
    QCOMPARE(db.number(u"SELECT COUNT(*) FROM scan_log WHERE kind = 'season' AND operator_id ="
                       " 'admin' AND client_address = '127.0.0.1' AND ticket_raw IN"
                       " ('SEAS0001', 'gate07')"_qs),
             2);
    QVERIFY(!server.log().contains(password));
}

QTEST_GUILESS_MAIN(ServerBrowserTest)
#include "tst_server_browser.moc"
