#include "console/frmQAV.h"
#include "shell/Addresses.h"
#include "shell/Global.h"
#include "shell/Lifecycle.h"
#include "shell/Look.h"
#include "shell/MessageBox.h"
#include "station/LogoView.h"
#include "station/Sound.h"
#include "station/frm01.h"
#include "summary/frm03.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/StationSite.h"
#include "tests/support/WindowTesting.h"

#include <QtTest>

// A whole shift at one gate: the real windows, driven by mouse and keyboard, against the real
// qav-server binary on a real SQLite database with the demo venue.
class TestEndToEnd : public QObject
{
    Q_OBJECT

    RecordingMessageSink m_messages;
    RecordingSoundPlayer m_sounds;
    int m_programEnds = 0;

    static void scan(const QString &ticket)
    {
        QTest::keyClicks(Global::frm01->txtTicketNo, ticket);
        QTest::keyClick(Global::frm01->txtTicketNo, Qt::Key_Return);
    }

    static QStringList summaryLines()
    {
        frm03 *panel = Global::frm03.instance();
        QStringList lines;
        for (Label *l : {panel->lbl_Total, panel->lbl_A, panel->lbl_B, panel->lbl_C, panel->lbl_D,
                         panel->lbl_E, panel->lbl_F, panel->lbl_G, panel->lbl_H})
            lines << l->caption();
        return lines;
    }

    static void openSummary()
    {
        QTest::mouseClick(Global::frm01->btnScore, Qt::LeftButton);
        QVERIFY(Global::frm03.isLoaded());
        QVERIFY(Global::frm03->window()->isVisible());
    }

    static void closeSummary()
    {
        QTest::mouseClick(Global::frm03->btnExit, Qt::LeftButton);
        QVERIFY(Global::frm03.isNull());
    }

    // The server serves nothing without a session: every call after the sign-in must carry it.
    static std::unique_ptr<ServerProcess> startServer()
    {
        ServerOptions options;
        options.imagesDir = QStringLiteral(QAV_SOURCE_DIR "/assets/demo");
        auto server = startedServer(options);
        overrideAddresses(server->url(), server->url());
        return server;
    }

    static frmQAV *signIn()
    {
        Global::frmQAV->Show();
        frmQAV *console = Global::frmQAV.instance();
        QTest::keyClicks(console->txtID, QStringLiteral("gate01"));
        QTest::keyClicks(console->txtPass, QStringLiteral("gate01"));
        QTest::mouseClick(console->btnLogin, Qt::LeftButton);
        return console;
    }

private slots:
    void initTestCase()
    {
        installKoreanFonts();
        setMessageSink(&m_messages);
        setSoundPlayer(&m_sounds);
        setProgramEndAction([this] { ++m_programEnds; });
    }

    void init()
    {
        resetProgram();
        m_messages.texts.clear();
        m_sounds.files.clear();
        m_programEnds = 0;
    }

    void aShiftAtTheGate()
    {
        const auto server = startServer();
        QVERIFY(server->port() != 0);
        StationSite site("1234");

        // Sign in on the console.
        frmQAV *console = signIn();
        QCOMPARE(console->lbl_LoginInfo->caption(),
                 QStringLiteral("큐브 아레나에서 로그인 되었습니다"));
        QCOMPARE(g_BizCode, QStringLiteral("GRVM0001"));
        QVERIFY(!g_SessionKey.isEmpty());

        // Open the station: start-up signs in by place code and fetches the logo.
        QTest::mouseClick(console->btnQAVOpen, Qt::LeftButton);
        QVERIFY2(m_messages.texts.isEmpty(), qPrintable(m_messages.texts.join('\n')));
        QVERIFY(Global::frm01.isLoaded());
        frm01 *station = Global::frm01.instance();
        QVERIFY(station->window()->isVisible());
        QVERIFY(!console->window()->isVisible());
        QCOMPARE(station->lbl_GoodsNameInfo->caption(), QStringLiteral("뮤지컬 별빛 기차"));
        QTRY_VERIFY(!station->WebBrowser1->image().isNull());

        const QStringList before = [&] {
            openSummary();
            const QStringList lines = summaryLines();
            closeSummary();
            return lines;
        }();
        QCOMPARE(before.size(), 9);
        QVERIFY2(before[1].startsWith(QStringLiteral("입장 ")), qPrintable(before[1]));

        // Entry accepted, with the booking shown.
        scan(QStringLiteral("10000001"));
        QCOMPARE(m_sounds.files.last(), QStringLiteral("./ok.wav"));
        QCOMPARE(station->lbl_BookingInfo->caption(), QStringLiteral("입장 확인"));
        QCOMPARE(station->lbl_TicketNo->caption(), QStringLiteral("10000001"));
        QVERIFY(!station->lbl_CustName->caption().isEmpty());
        QVERIFY(station->lbl_PlayDate->caption().contains(QStringLiteral("19시 30분 ")));
        QCOMPARE(station->txtTicketNo->text(), QString());

        // The same ticket again: already inside, admitted by this operator.
        scan(QStringLiteral("10000001"));
        QCOMPARE(m_sounds.files.last(), QStringLiteral("./no.wav"));
        QVERIFY2(station->lbl_BookingInfo->caption().startsWith(QStringLiteral("이미 입장 ")),
                 qPrintable(station->lbl_BookingInfo->caption()));
        QVERIFY(station->lbl_BookingInfo->caption().contains(QStringLiteral("gate01")));
        QCOMPARE(station->lbl_CustName->caption(), QString());

        // Switch to exit checks; the ticket leaves.
        QTest::mouseClick(station->btnMode, Qt::LeftButton);
        QCOMPARE(g_CheckMode, QStringLiteral("O"));
        QCOMPARE(station->btnSave->pictureFile(), QStringLiteral("./btn4on.jpg"));
        scan(QStringLiteral("10000001"));
        QCOMPARE(m_sounds.files.last(), QStringLiteral("./ok.wav"));
        QCOMPARE(station->lbl_BookingInfo->caption(), QStringLiteral("퇴장 확인"));

        // The counters moved: one more admitted, one more out.
        openSummary();
        const QStringList after = summaryLines();
        QCOMPARE(station->btnScore->pictureFile(), QStringLiteral("./btn5off.jpg"));
        closeSummary();
        QCOMPARE(station->btnScore->pictureFile(), QStringLiteral("./btn5on.jpg"));
        QVERIFY2(after != before, qPrintable(after.join(" | ")));
        auto number = [](const QString &line) {
            return line.section(u' ', -1).remove(u',').remove(u'%').toInt();
        };
        QCOMPARE(number(after[1]), number(before[1]) + 1); // admitted
        QCOMPARE(number(after[3]), number(before[3]) + 1); // out now
        QCOMPARE(after[0], before[0]);                     // bookings unchanged

        // The server goes away in the middle of the shift: the scan is shown as not checked, with
        // the ticket kept, and once the server is back the retry shows the true verdict.
        QTest::mouseClick(station->btnMode, Qt::LeftButton);
        QCOMPARE(g_CheckMode, QStringLiteral("I"));
        server->stop();
        scan(QStringLiteral("10000002"));
        QCOMPARE(m_sounds.files.last(), QStringLiteral("./no.wav"));
        QCOMPARE(station->lbl_BookingInfo->caption(),
                 QStringLiteral("서버 응답 없음 – 다시 스캔하세요"));
        QCOMPARE(station->lbl_TicketNo->caption(), QString());
        QCOMPARE(station->txtTicketNo->text(), QStringLiteral("10000002"));
        QVERIFY2(server->resume(), qPrintable(server->errorText()));
        QTest::keyClick(station->txtTicketNo, Qt::Key_Return);
        QCOMPARE(m_sounds.files.last(), QStringLiteral("./ok.wav"));
        QCOMPARE(station->lbl_BookingInfo->caption(), QStringLiteral("입장 확인"));
        QCOMPARE(station->lbl_TicketNo->caption(), QStringLiteral("10000002"));
        QCOMPARE(station->txtTicketNo->text(), QString());

        // Closing the station ends the program.
        QCOMPARE(m_programEnds, 0);
        QTest::mouseClick(station->Command2, Qt::LeftButton);
        QVERIFY(Global::frm01.isNull() && Global::frmQAV.isNull());
        QCOMPARE(m_programEnds, 1);
        QVERIFY2(m_messages.texts.isEmpty(), qPrintable(m_messages.texts.join('\n')));
    }

    // The administrator ends the operator's session mid-shift: the next scan is not checked, and
    // the station says why in the server's words.
    void revokedSessionAsksForSignIn()
    {
        const auto server = startServer();
        QVERIFY(server->port() != 0);
        StationSite site("1234");
        QTest::mouseClick(signIn()->btnQAVOpen, Qt::LeftButton);
        QVERIFY(Global::frm01.isLoaded());
        frm01 *station = Global::frm01.instance();
        scan(QStringLiteral("10000002"));
        QCOMPARE(station->lbl_BookingInfo->caption(), QStringLiteral("입장 확인"));

        QVERIFY2(server->run({QStringLiteral("revoke-session"), QStringLiteral("--operator"),
                              QStringLiteral("gate01")}),
                 qPrintable(server->errorText()));
        scan(QStringLiteral("10000003"));
        QCOMPARE(m_sounds.files.last(), QStringLiteral("./no.wav"));
        QCOMPARE(station->lbl_BookingInfo->caption(), QStringLiteral("다시 로그인하세요"));
        QCOMPARE(station->lbl_CustName->caption(), QString());
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
