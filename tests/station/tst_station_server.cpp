#include "remote/DataSpace.h"
#include "shell/Look.h"
#include "station/LogoView.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/WindowTesting.h"

#include <QRegularExpression>

namespace {

// "입장 3" → 3, from the lines `qav-server summary` prints.
int counter(const QString &summary, const QString &name)
{
    const QRegularExpression line(QStringLiteral("^%1 (\\d+)$").arg(name),
                                  QRegularExpression::MultilineOption);
    const QRegularExpressionMatch m = line.match(summary);
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

} // namespace

// The station against the real qav-server on loopback with a real SQLite database (the demo
// venue 1234 and its bookings).
class TestStationServer : public QObject
{
    Q_OBJECT

    AppWindowFixture m_windows;
    std::unique_ptr<ServerProcess> m_server;

    void scan(frm01 *s, const QString &ticket)
    {
        QTest::keyClicks(s->txtTicketNo, ticket);
        QTest::keyClick(s->txtTicketNo, Qt::Key_Return);
    }

    int summaryCounter(const QString &name)
    {
        QString out;
        if (!m_server->run({QStringLiteral("summary"), QStringLiteral("GRVM0001")}, &out))
            qWarning("%s", qPrintable(m_server->errorText()));
        return counter(out, name);
    }

private slots:
    void initTestCase()
    {
        m_windows.install();
        ServerOptions options;
        options.imagesDir = QStringLiteral(QAV_SOURCE_DIR "/assets/demo");
        m_server = std::make_unique<ServerProcess>(qavServerBinary(), options);
        QVERIFY2(m_server->start(), qPrintable(m_server->errorText()));
    }

    void init()
    {
        m_windows.reset();
        overrideAddresses(m_server->url(), m_server->url());
        // The console's part: the station works in the operator's session.
        QVERIFY(
            fixture::signIn(m_server->url(), QStringLiteral("gate01"), QStringLiteral("gate01")));
    }

    void cleanup()
    {
        m_windows.reset();
        if (QTest::currentTestFailed())
            qWarning("server log:\n%s", qPrintable(m_server->log()));
    }

    void gateDayOnTheDemoVenue()
    {
        StationSite site("1234");
        frm01 *s = fixture::openStation();
        QVERIFY2(s, qPrintable(m_windows.messages.texts.join(u'\n')));
        QVERIFY(m_windows.messages.texts.isEmpty());
        QCOMPARE(g_BizCode, QStringLiteral("GRVM0001"));
        QVERIFY(!g_GoodsName.isEmpty());
        QCOMPARE(s->lbl_GoodsNameInfo->caption(), g_GoodsName);
        QTRY_VERIFY(!s->WebBrowser1->image().isNull()); // the venue logo from the image server
        g_AdminId = QStringLiteral("gate01");
        const int admittedBefore = summaryCounter(QStringLiteral("입장"));
        const int leftBefore = summaryCounter(QStringLiteral("퇴장"));
        QVERIFY(admittedBefore >= 0 && leftBefore >= 0);

        scan(s, QStringLiteral("10000001"));
        QCOMPARE(m_windows.sounds.files.value(0), QStringLiteral("./ok.wav"));
        const QString admittedText = s->lbl_BookingInfo->caption();
        QVERIFY(!admittedText.isEmpty());
        QCOMPARE(s->lbl_TicketNo->caption(), QStringLiteral("10000001"));
        QVERIFY(!s->lbl_CustName->caption().isEmpty());
        QCOMPARE(s->lbl_GoodsName->caption(), g_GoodsName);
        static const QRegularExpression date(
            QStringLiteral("^\\d{4}년 \\d{1,2}월\\d{1,2}일 \\d{1,2}시 \\d{1,2}분 $"));
        QVERIFY2(date.match(s->lbl_PlayDate->caption()).hasMatch(),
                 qPrintable(s->lbl_PlayDate->caption()));
        QCOMPARE(s->txtTicketNo->text(), QString());

        // Never twice: the same ticket again is refused and the booking cleared.
        scan(s, QStringLiteral("10000001"));
        QCOMPARE(m_windows.sounds.files.value(1), QStringLiteral("./no.wav"));
        // The server words its refusals itself; they only must not read like the admission.
        QVERIFY(!s->lbl_BookingInfo->caption().isEmpty());
        QVERIFY(s->lbl_BookingInfo->caption() != admittedText);
        QCOMPARE(s->lbl_TicketNo->caption(), QString());
        QCOMPARE(s->lbl_CustName->caption(), QString());

        scan(s, QStringLiteral("99999999"));
        QCOMPARE(m_windows.sounds.files.value(2), QStringLiteral("./no.wav"));
        QVERIFY(!s->lbl_BookingInfo->caption().isEmpty());
        QCOMPARE(s->lbl_CustName->caption(), QString());

        // Exit mode lets the admitted ticket out.
        QTest::mouseClick(s->btnMode, Qt::LeftButton);
        QCOMPARE(g_CheckMode, QStringLiteral("O"));
        scan(s, QStringLiteral("10000001"));
        QCOMPARE(m_windows.sounds.files.value(3), QStringLiteral("./ok.wav"));
        QCOMPARE(s->lbl_TicketNo->caption(), QStringLiteral("10000001"));
        QVERIFY(s->lbl_BookingInfo->caption() != admittedText);

        QCOMPARE(summaryCounter(QStringLiteral("입장")), admittedBefore + 1);
        QCOMPARE(summaryCounter(QStringLiteral("퇴장")), leftBefore + 1);
        QVERIFY(m_windows.messages.texts.isEmpty());
    }

    void unknownPlaceCodeKeepsTheStationOpen()
    {
        StationSite site("9999");
        frm01 *s = fixture::openStation();
        QVERIFY(s);
        QCOMPARE(m_windows.messages.texts,
                 QStringList{QStringLiteral("▶ qav.ini 파일의 PlaceCode 확인해주세요")});
        QVERIFY(Global::frm01.isLoaded());
        QCOMPARE(s->lbl_GoodsNameInfo->caption(), QString());
        QTRY_COMPARE(s->WebBrowser1->url().fileName(), QStringLiteral("logo_9999.jpg"));
    }

    // Last: stops the server.
    void serverGoneMidShiftShowsNotChecked()
    {
        StationSite site("1234");
        frm01 *s = fixture::openStation();
        QVERIFY(s);
        g_AdminId = QStringLiteral("gate01");
        m_server->stop();
        scan(s, QStringLiteral("10000002"));
        QVERIFY(m_windows.messages.texts.isEmpty());
        QCOMPARE(s->txtTicketNo->text(), QStringLiteral("10000002"));
        QCOMPARE(m_windows.sounds.files, QStringList{QStringLiteral("./no.wav")});
        QCOMPARE(s->lbl_BookingInfo->caption(), QStringLiteral("서버 응답 없음 – 다시 스캔하세요"));
        QVERIFY(Global::frm01.isLoaded());
    }
};

QTEST_MAIN(TestStationServer)
#include "tst_station_server.moc"
