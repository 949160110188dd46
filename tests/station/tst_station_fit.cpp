#include "shell/Look.h"
#include "station/LogoView.h"
#include "tests/support/CannedServer.h"
#include "tests/support/WindowTesting.h"

#include <QApplication>
#include <QTemporaryFile>

// The station's optional fit to a larger screen, on an offscreen screen of 2048 × 1536: exactly
// twice the designed 1024 × 768.
class TestStationFit : public QObject
{
    Q_OBJECT

    AppWindowFixture m_windows;

private slots:
    void initTestCase()
    {
        m_windows.install();
        QCOMPARE(QGuiApplication::primaryScreen()->geometry().size(), QSize(2048, 1536));
    }

    void cleanup() { m_windows.reset(); }

    void layoutScales_data()
    {
        QTest::addColumn<QByteArray>("setting");
        QTest::addColumn<int>("factor");
        QTest::newRow("FitToScreen=1 scales the whole layout")
            << QByteArray("FitToScreen=1\n") << 2;
        QTest::newRow("FitToScreen=0 keeps the design") << QByteArray("FitToScreen=0\n") << 1;
        QTest::newRow("no setting keeps the design") << QByteArray() << 1;
    }
    void layoutScales()
    {
        QFETCH(QByteArray, setting);
        QFETCH(int, factor);
        CannedServer server;
        overrideAddresses(server.url(), server.url());
        StationSite site;
        site.writeIni("[Quorvanta]\nPlaceCode=1234\n" + setting);
        server.answer({"ErrCode", "bizcode", "GoodsName"}, {{"0", "GRVM0001", "Show"}});
        frm01 *s = fixture::openStation();
        QVERIFY(s);
        QVERIFY2(m_windows.messages.texts.isEmpty(),
                 qPrintable(m_windows.messages.texts.join(u'\n')));

        QCOMPARE(s->window()->size(), QSize(1026, 769) * factor);
        QCOMPARE(s->lbl_CustName->geometry(),
                 QRect(QPoint(208, 368) * factor, QSize(761, 49) * factor));
        QCOMPARE(s->lbl_CustName->font().pointSizeF(), 27.0 * factor);
        QCOMPARE(s->txtTicketNo->geometry(),
                 QRect(QPoint(336, 152) * factor, QSize(353, 57) * factor));
        QCOMPARE(s->txtTicketNo->font().pointSizeF(), 30.0 * factor);
        QCOMPARE(s->btnSave->geometry(), QRect(QPoint(768, 152) * factor, QSize(113, 57) * factor));
        QCOMPARE(s->Command2->geometry(), QRect(QPoint(960, 16) * factor, QSize(48, 45) * factor));
        QCOMPARE(s->xx->geometry(), QRect(QPoint(-8, -8) * factor, QSize(169, 137) * factor));
        // The goods name grows from its scaled left edge, in the scaled font.
        QCOMPARE(s->lbl_GoodsNameInfo->pos(), QPoint(531, 40) * factor);
        QCOMPARE(s->lbl_GoodsNameInfo->font().pointSizeF(), 39.75 * factor);

        // A long value still shrinks within its own, scaled, floor.
        s->lbl_CustName->setCaption(QString(60, QChar(u'가')));
        QCOMPARE(s->lbl_CustName->font().pointSizeF(), 27.0 * 0.6 * factor);
    }
};

int main(int argc, char *argv[])
{
    QTemporaryFile config;
    if (!config.open())
        return 1;
    config.write(R"({"screens":[{"name":"wide","x":0,"y":0,"width":2048,"height":1536,)"
                 R"("logicalDpi":96,"logicalBaseDpi":96,"dpr":1}]})");
    config.flush();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + config.fileName().toLocal8Bit());
    QApplication app(argc, argv);
    TestStationFit test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_station_fit.moc"
