#include "remote/ServerAddresses.h"
#include "station/LogoView.h"
#include "station/Sound.h"
#include "tests/support/CannedServer.h"
#include "tests/support/WindowTesting.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QSignalSpy>

// The logo view against a real HTTP server on loopback, and the real sound player on a machine
// without a sound card.
class TestStationParts : public QObject
{
    Q_OBJECT

    QHttpServer m_images;
    QString m_url;

    static void serveLogos(QHttpServer &server)
    {
        server.route(QStringLiteral("/TicketImage/GRVM/<arg>"), [](const QString &file) {
            if (file == u"logo_1234.jpg")
                return QHttpServerResponse("image/jpeg", fixture::jpeg(120, 90, QColor(0, 0, 255)));
            if (file == u"logo_text.jpg")
                return QHttpServerResponse("image/jpeg", QByteArray("not a picture"));
            return QHttpServerResponse(QHttpServerResponder::StatusCode::NotFound);
        });
    }

private slots:
    void initTestCase()
    {
        serveLogos(m_images);
        const quint16 port = m_images.listen(QHostAddress::LocalHost, 0);
        QVERIFY(port);
        m_url = QStringLiteral("http://127.0.0.1:%1/TicketImage/GRVM/").arg(port);
    }

    void logo_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("shown");
        QTest::newRow("picture is shown") << "logo_1234.jpg" << true;
        QTest::newRow("404 leaves it blank") << "logo_9999.jpg" << false;
        QTest::newRow("answer that is no picture leaves it blank") << "logo_text.jpg" << false;
        QTest::newRow("unreachable server leaves it blank") << "unreachable" << false;
        QTest::newRow("empty address leaves it blank") << "empty" << false;
    }
    void logo()
    {
        QFETCH(QString, url);
        QFETCH(bool, shown);
        if (url == u"unreachable")
            url = unreachableUrl() + QStringLiteral("/TicketImage/GRVM/logo_1234.jpg");
        else if (url == u"empty")
            url = QString();
        else
            url = m_url + url;

        QWidget parent;
        parent.resize(300, 200);
        auto *view = new LogoView(&parent);
        view->setGeometry(0, 0, 186, 154);
        parent.show();
        QSignalSpy finished(view, &LogoView::finished);
        QElapsedTimer clock;
        clock.start();
        view->Navigate(url);
        QVERIFY(clock.elapsed() < 1000); // never waits for the download
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(finished[0][0].toBool(), shown);
        QCOMPARE(!view->image().isNull(), shown);
        const QImage shot = view->grab().toImage();
        const QColor corner = shot.pixelColor(10, 10);
        if (shown) {
            QVERIFY2(corner.blue() > 200 && corner.red() < 60, qPrintable(corner.name()));
            // The page margin stays clear; the frame hides it on the station.
            QCOMPARE(shot.pixelColor(3, 3), parent.palette().color(QPalette::Window));
        } else
            QCOMPARE(corner, parent.palette().color(QPalette::Window));
    }

    // A silent address and a refusing one are passed over without holding up the window; the
    // one that answered is asked first the next time.
    void aNameWithSeveralAddressesFindsTheOneThatAnswers()
    {
        QHttpServer live;
        serveLogos(live);
        const quint16 port = live.listen(QHostAddress(QStringLiteral("127.0.0.4")), 0);
        QVERIFY(port);
        SilentServer silent(QHostAddress(QStringLiteral("127.0.0.2")), port);
        const QString name = QStringLiteral("logos.qav.test");
        // 127.0.0.3: nothing listens there, the kernel refuses.
        ServerAddresses::setForTests(name, {QHostAddress(QStringLiteral("127.0.0.2")),
                                            QHostAddress(QStringLiteral("127.0.0.3")),
                                            QHostAddress(QStringLiteral("127.0.0.4"))});
        const QString url =
            QStringLiteral("http://%1:%2/TicketImage/GRVM/logo_1234.jpg").arg(name).arg(port);
        LogoView view;
        QSignalSpy finished(&view, &LogoView::finished);
        QElapsedTimer clock;
        clock.start();
        view.Navigate(url);
        QVERIFY(clock.elapsed() < 1000);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, LogoView::timeoutMs + 1000);
        QVERIFY(finished[0][0].toBool());
        QVERIFY2(clock.elapsed() < 4000, qPrintable(QString::number(clock.elapsed())));

        clock.restart();
        view.Navigate(url);
        QTRY_COMPARE(finished.size(), 2);
        QVERIFY(finished[1][0].toBool());
        QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
        ServerAddresses::setForTests(name, {});
    }

    void secondAddressReplacesTheFirst()
    {
        LogoView view;
        QSignalSpy finished(&view, &LogoView::finished);
        view.Navigate(m_url + QStringLiteral("logo_1234.jpg"));
        QTRY_COMPARE(finished.size(), 1);
        QVERIFY(!view.image().isNull());
        view.Navigate(m_url + QStringLiteral("logo_0000.jpg"));
        QVERIFY(view.image().isNull()); // the old picture goes at once
        QTRY_COMPARE(finished.size(), 2);
        QVERIFY(view.image().isNull());
    }

    void navigateWhileLoadingKeepsOnlyTheLast()
    {
        LogoView view;
        QSignalSpy finished(&view, &LogoView::finished);
        view.Navigate(m_url + QStringLiteral("logo_0000.jpg"));
        view.Navigate(m_url + QStringLiteral("logo_1234.jpg"));
        QTRY_COMPARE(finished.size(), 1);
        QVERIFY(finished[0][0].toBool());
        QCOMPARE(view.url().toString(), m_url + QStringLiteral("logo_1234.jpg"));
    }

    void viewDestroyedWhileLoading()
    {
        {
            LogoView gone;
            gone.Navigate(m_url + QStringLiteral("logo_1234.jpg"));
        }
        // Run the event loop past the abandoned download: nothing may reach the dead view.
        LogoView view;
        QSignalSpy finished(&view, &LogoView::finished);
        view.Navigate(m_url + QStringLiteral("logo_1234.jpg"));
        QTRY_COMPARE(finished.size(), 1);
    }

    // No sound card on CI: the real player must return at once and never fail. Without an audio
    // device nothing can be heard, so the test sees the closest thing: the effect reports the
    // last file as playing right after play() and has decoded it.
    void realSoundPlayerNeverBlocks_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("playing");
        QTest::newRow("one sound") << QStringList{"ok.wav"} << "ok.wav";
        QTest::newRow("second cuts the first")
            << QStringList{"ok.wav", "no.wav", "ok.wav"} << "ok.wav";
        QTest::newRow("the last one plays") << QStringList{"ok.wav", "no.wav"} << "no.wav";
        QTest::newRow("missing file beeps") << QStringList{"missing.wav"} << "";
    }
    void realSoundPlayerNeverBlocks()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, playing);
        StationSite site;
        QtSoundPlayer player;
        QElapsedTimer clock;
        clock.start();
        for (const QString &f : files)
            player.play(QStringLiteral("./") + f);
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        if (playing.isEmpty()) {
            QCOMPARE(player.playing(), QString());
            return;
        }
        QCOMPARE(QFileInfo(player.playing()), QFileInfo(site.filePath(playing)));
        QTRY_VERIFY(player.loaded());
    }
};

QTEST_MAIN(TestStationParts)
#include "tst_station_parts.moc"
