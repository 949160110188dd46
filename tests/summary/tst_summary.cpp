#include "remote/DataSpace.h"
#include "shell/Addresses.h"
#include "shell/Global.h"
#include "shell/Lifecycle.h"
#include "shell/Look.h"
#include "shell/MessageBox.h"
#include "station/frm01.h"
#include "summary/frm03.h"
#include "tests/support/CannedServer.h"
#include "tests/support/StationSite.h"
#include "tests/support/WindowTesting.h"

#include <QApplication>
#include <QtTest>

namespace {

const QStringList columns = {"Total", "A", "B", "C", "D", "E", "F", "G", "H"};

QList<Label *> valueLabels(frm03 *panel)
{
    return {panel->lbl_Total, panel->lbl_A, panel->lbl_B, panel->lbl_C, panel->lbl_D,
            panel->lbl_E,     panel->lbl_F, panel->lbl_G, panel->lbl_H};
}

QStringList captions(frm03 *panel)
{
    QStringList texts;
    for (Label *label : valueLabels(panel))
        texts << label->caption();
    return texts;
}

} // namespace

class TestSummary : public QObject
{
    Q_OBJECT

    AppWindowFixture m_windows;
    std::unique_ptr<CannedServer> m_server;
    std::unique_ptr<StationSite> m_site;

    // Brings the station up through its own start-up, as the console does.
    void openStation()
    {
        m_server->answerRow({{QStringLiteral("ErrCode"), QStringLiteral("0")},
                             {QStringLiteral("bizcode"), QStringLiteral("B100")},
                             {QStringLiteral("TheaterName"), QStringLiteral("큐브홀")},
                             {QStringLiteral("GoodsName"), QStringLiteral("봄 공연")}});
        fixture::openStation();
        QVERIFY(Global::frm01.isLoaded());
        m_server->commands.clear();
        m_windows.messages.texts.clear();
    }

    void answerSummary(const QStringList &values)
    {
        QVariantList row;
        for (const QString &v : values)
            row << v;
        m_server->answer(columns, {row});
    }

    static void showSummary()
    {
        runHandler([] {
            Global::frm03->Form3Show();
            Global::frm03->Show();
        });
    }

    static frm03 *panel() { return Global::frm03.instance(); }

private slots:
    void initTestCase() { m_windows.install(); }

    void init()
    {
        m_windows.reset();
        m_site = std::make_unique<StationSite>();
        m_server = std::make_unique<CannedServer>();
        overrideAddresses(m_server->url(), m_server->url());
        g_BizCode = QStringLiteral("B100");
    }

    void cleanup()
    {
        m_windows.reset();
        m_site.reset();
    }

    void layout()
    {
        QWidget *w = Global::frm03->window();
        QCOMPARE(w->windowTitle(), QStringLiteral("입장현황"));
        QCOMPARE(w->size(), QSize(475, 506));
        QCOMPARE(panel()->lbl_Total->pos(), QPoint(67, 88));
        QCOMPARE(panel()->lbl_H->pos(), QPoint(67, 432));
        QCOMPARE(panel()->btnExit->geometry(), QRect(424, 8, 41, 41));
        for (Label *label : valueLabels(panel())) {
            QVERIFY(label->autoSize());
            QCOMPARE(label->focusPolicy(), Qt::NoFocus);
            QCOMPARE(label->caption(), QString());
        }
        QCOMPARE(panel()->btnExit->focusPolicy(), Qt::NoFocus);
    }

    void rowFillsTheNineLinesTrimmed()
    {
        answerSummary({" 전체 1,234명 ", "A 10", "  B 20", "C 30  ", "D", "E", "F", "G", "H 0 "});
        showSummary();
        QCOMPARE(m_server->commands,
                 QStringList{"Exec Proc_GRVM_Admin_GetAdminQAV_BookingInfo 'S','B100','','',''"});
        QCOMPARE(g_ServerUrl, m_server->url());
        QCOMPARE(captions(panel()),
                 QStringList({"전체 1,234명", "A 10", "B 20", "C 30", "D", "E", "F", "G", "H 0"}));
        QVERIFY(m_windows.messages.texts.isEmpty());
    }

    void linesAreFilledTopDown()
    {
        // An answer that lacks D fills the lines above it and fails at D.
        m_server->answer({"Total", "A", "B", "C"}, {{"9", "1", "2", "3"}});
        showSummary();
        QCOMPARE(captions(panel()), QStringList({"9", "1", "2", "3", "", "", "", "", ""}));
        QCOMPARE(m_windows.messages.texts.size(), 1);
        QVERIFY(m_windows.messages.texts[0].startsWith(QStringLiteral("실행 오류 '105'")));
    }

    void noRowLeavesTheLinesAlone()
    {
        m_server->answer(columns, {});
        showSummary();
        QCOMPARE(m_server->commands.size(), 1);
        QCOMPARE(captions(panel()), QStringList(9, QString()));
        QVERIFY(m_windows.messages.texts.isEmpty());
    }

    void failureIsReportedAndTheStationGoesOn_data()
    {
        QTest::addColumn<bool>("unreachable");
        QTest::newRow("server unreachable") << true;
        QTest::newRow("server refuses") << false;
    }
    void failureIsReportedAndTheStationGoesOn()
    {
        QFETCH(bool, unreachable);
        openStation();
        if (unreachable)
            overrideAddresses(unreachableUrl(), unreachableUrl());
        else
            m_server->answerRaw(R"({"error":"db down"})", 500);
        showSummary();
        QCOMPARE(m_windows.messages.texts.size(), 1);
        QVERIFY(m_windows.messages.texts[0].startsWith(QStringLiteral("실행 오류 '")));
        QVERIFY(Global::frm01.isLoaded());
        QVERIFY(Global::frm01.instance()->window()->isVisible());
        QCOMPARE(m_windows.programEnds, 0);
    }

    void exitReturnsToTheStation()
    {
        openStation();
        answerSummary(QStringList(9, QStringLiteral("1")));
        showSummary();
        frm01 *station = Global::frm01.instance();

        QTest::mouseClick(panel()->btnExit, Qt::LeftButton);

        QVERIFY(Global::frm03.isNull());
        QVERIFY(m_windows.messages.texts.isEmpty());
        QCOMPARE(station->window()->focusWidget(), station->txtTicketNo);
        QCOMPARE(station->btnScore->pictureFile(), QStringLiteral("./btn5on.jpg"));
        QCOMPARE(station->btnScore->picture().toImage(),
                 QImage(m_site->filePath(QStringLiteral("btn5on.jpg")))
                     .convertToFormat(station->btnScore->picture().toImage().format()));
        QCOMPARE(m_windows.programEnds, 0);
    }

    void exitWithoutItsPictureIsReported()
    {
        openStation();
        answerSummary(QStringList(9, QStringLiteral("1")));
        showSummary();
        QVERIFY(QFile::remove(m_site->filePath(QStringLiteral("btn5on.jpg"))));

        QTest::mouseClick(panel()->btnExit, Qt::LeftButton);

        QCOMPARE(m_windows.messages.texts.size(), 1);
        QVERIFY(m_windows.messages.texts[0].startsWith(QStringLiteral("실행 오류 '201'")));
        QVERIFY(Global::frm03.isNull());
        QVERIFY(Global::frm01.isLoaded());
        QCOMPARE(m_windows.programEnds, 0);
    }

    void closingTheStationClosesThePanel()
    {
        openStation();
        answerSummary(QStringList(9, QStringLiteral("1")));
        showSummary();
        m_server->commands.clear();

        QTest::mouseClick(Global::frm01.instance()->Command2, Qt::LeftButton);

        QVERIFY(Global::frm01.isNull());
        QVERIFY(Global::frm03.isNull());
        QVERIFY(m_server->commands.isEmpty());
        QCOMPARE(Form::loadedCount(), 0);
        QCOMPARE(m_windows.programEnds, 1);
        QVERIFY(m_windows.messages.texts.isEmpty());
    }

    void titleBarCloseLeavesTheStationAsItIs()
    {
        openStation();
        answerSummary(QStringList(9, QStringLiteral("1")));
        frm01 *station = Global::frm01.instance();
        station->btnScore->click();
        QVERIFY(Global::frm03.isLoaded());
        QCOMPARE(station->btnScore->pictureFile(), QStringLiteral("./btn5off.jpg"));
        QWidget *focusBefore = station->window()->focusWidget();

        panel()->window()->close();

        QVERIFY(!Global::frm03.isLoaded());
        QCOMPARE(station->btnScore->pictureFile(), QStringLiteral("./btn5off.jpg"));
        QCOMPARE(station->window()->focusWidget(), focusBefore);
        QVERIFY(m_windows.messages.texts.isEmpty());
    }

    void reopenedPanelStartsEmpty()
    {
        openStation();
        answerSummary(QStringList(9, QStringLiteral("7")));
        showSummary();
        QTest::mouseClick(panel()->btnExit, Qt::LeftButton);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

        m_server->answer(columns, {});
        showSummary();

        QCOMPARE(m_server->commands.size(), 2);
        QCOMPARE(captions(panel()), QStringList(9, QString()));
    }

    void linesFitTheirText_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::newRow("grows") << "1"
                               << "전체 입장 123,456명 / 예매 234,567명";
        QTest::newRow("shrinks") << "전체 입장 123,456명 / 예매 234,567명"
                                 << "1";
        QTest::newRow("wider than the panel") << "1" << QString(80, u'가');
    }
    void linesFitTheirText()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        answerSummary(QStringList(9, first));
        answerSummary(QStringList(9, second));
        showSummary();
        Label *line = panel()->lbl_Total;
        const int firstWidth = line->width();
        const int oneLine = line->height();
        showSummary();

        QCOMPARE(line->pos(), QPoint(67, 88));
        QCOMPARE(line->height(), oneLine);
        const int textWidth = line->fontMetrics().horizontalAdvance(second);
        QVERIFY2(line->width() >= textWidth && line->width() <= textWidth + 4,
                 qPrintable(QStringLiteral("%1 for %2").arg(line->width()).arg(textWidth)));
        QCOMPARE(line->width() > firstWidth, second.size() > first.size());
        QVERIFY(m_windows.messages.texts.isEmpty());
    }
};

QTEST_MAIN(TestSummary)
#include "tst_summary.moc"
