#include "shell/Global.h"
#include "shell/Lifecycle.h"
#include "shell/MessageBox.h"
#include "shell/ProfileReader.h"
#include "shell/QavError.h"
#include "shell/cMontionInfo.h"
#include "tests/support/WindowFixture.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

QStringList s_log;

// A window that writes what happens to it into the log.
template <FormId Id> class LoggingForm : public Form
{
public:
    QLabel *caption = nullptr;
    std::function<void()> onLoad;

protected:
    QWidget *createWindow() override
    {
        auto *w = new QWidget;
        caption = new QLabel(w);
        s_log << QStringLiteral("create window");
        return w;
    }
    void Form_Load() override
    {
        s_log << QStringLiteral("Form_Load");
        if (onLoad)
            onLoad();
    }
};

using Station = LoggingForm<FormId::Station>;
using Console = LoggingForm<FormId::Console>;
using Summary = LoggingForm<FormId::Summary>;
constexpr FormRef<Station, FormId::Station> station{};
constexpr FormRef<Console, FormId::Console> console{};
constexpr FormRef<Summary, FormId::Summary> summary{};

class FixedScreens : public ScreenSource
{
public:
    int count = 2;
    int monitorCount() const override { return count; }
    QRect virtualGeometry() const override { return QRect(0, 0, 1024 * count, 768); }
    bool sameDisplayFormat() const override { return false; }
};

} // namespace

class TestShell : public QObject
{
    Q_OBJECT

    WindowFixture m_windows;

private slots:
    void initTestCase() { m_windows.install(); }

    void init()
    {
        m_windows.reset();
        s_log.clear();
    }

    void firstAccessLoadsInsideTheAccess()
    {
        QVERIFY(station.isNull());
        Station *fresh = station.instance();
        QVERIFY(!station.isNull());
        QVERIFY(!fresh->isLoaded());
        QVERIFY(s_log.isEmpty());

        s_log << QStringLiteral("before access");
        station->caption->setText(QStringLiteral("x"));
        s_log << QStringLiteral("after access");
        QCOMPARE(s_log,
                 QStringList({"before access", "create window", "Form_Load", "after access"}));
        QCOMPARE(station.instance(), fresh);

        // Further accesses do not load again.
        station->caption->setText(QStringLiteral("y"));
        QCOMPARE(s_log.count(QStringLiteral("Form_Load")), 1);
    }

    void unloadKeepsInstanceDropClearsIt()
    {
        Station *first = station.instance();
        station.Unload(); // not loaded: nothing happens
        QVERIFY(s_log.isEmpty());

        station->caption->setText(QStringLiteral("loaded"));
        station.Unload();
        QVERIFY(!first->isLoaded());
        QCOMPARE(station.instance(), first);

        // Reloading the same instance builds a fresh window and runs the load handler again.
        QCOMPARE(station->caption->text(), QString());
        QCOMPARE(s_log.count(QStringLiteral("Form_Load")), 2);

        station.Unload();
        station.drop();
        QVERIFY(station.isNull());
        station->caption->setText(QStringLiteral("new"));
        QCOMPARE(s_log.count(QStringLiteral("Form_Load")), 3);
    }

    void closeStationBeforeStationWasOpened()
    {
        console->Show();
        CloseStation();
        QVERIFY(station.isNull());
        QVERIFY(console.isNull());
        QCOMPARE(Form::loadedCount(), 0);
        QCOMPARE(m_windows.programEnds, 1);
    }

    void closeStationTakesTheSummaryWithIt()
    {
        console->Show();
        station->Show();
        summary->Show();
        CloseStation();
        QVERIFY(station.isNull() && console.isNull() && summary.isNull());
        QCOMPARE(Form::loadedCount(), 0);
        QCOMPARE(m_windows.programEnds, 1);
    }

    void summaryReopenedAfterCloseSummaryLoadsAgain()
    {
        summary->caption->setText(QStringLiteral("old"));
        CloseSummary();
        QCOMPARE(summary->caption->text(), QString());
        QCOMPARE(s_log.count(QStringLiteral("Form_Load")), 2);
    }

    void titleBarCloseUnloadsWithoutDropping()
    {
        summary->Show();
        Summary *panel = summary.instance();
        summary->window()->close();
        QVERIFY(!panel->isLoaded());
        QCOMPARE(summary.instance(), panel);
        QCOMPARE(m_windows.programEnds, 1);
    }

    void loadThatClosesItselfAbandonsTheCaller()
    {
        console->Show();
        station.instance()->onLoad = [] { CloseStation(); };
        bool wentOn = false;
        runHandler([&] {
            station->window()->resize(10, 10);
            wentOn = true;
        });
        QVERIFY(!wentOn);
        QVERIFY(m_windows.messages.texts.isEmpty());
        QVERIFY(station.isNull());
        QCOMPARE(m_windows.programEnds, 1);
    }

    void showingAWindowWhoseLoadClosedItStopsTheHandler()
    {
        console->Show();
        Station *fresh = station.instance();
        fresh->onLoad = [] { CloseStation(); };
        bool wentOn = false;
        runHandler([&] {
            fresh->Show();
            wentOn = true;
        });
        QVERIFY(!wentOn);
        QVERIFY(!fresh->isLoaded());
        QVERIFY(m_windows.messages.texts.isEmpty());
    }

    void failuresAreReportedAndTheProgramGoesOn()
    {
        console->Show();
        runHandler(
            [] { throw QavError(QavError::ServerUnreachable, QStringLiteral("연결 안 됨")); });
        QCOMPARE(m_windows.messages.texts.size(), 1);
        QVERIFY(m_windows.messages.texts[0].contains(QStringLiteral("101")));
        QVERIFY(m_windows.messages.texts[0].contains(QStringLiteral("연결 안 됨")));
        QVERIFY(console.isLoaded());
        QCOMPARE(m_windows.programEnds, 0);

        runHandler([] { throw std::runtime_error("boom"); });
        QCOMPARE(m_windows.messages.texts.size(), 2);
        QVERIFY(m_windows.messages.texts[1].contains(QStringLiteral("boom")));
        QVERIFY(console.isLoaded());
    }

    void fatalFailureEndsTheProgramAfterTheMessage()
    {
        console->Show();
        summary->Show();
        runHandler([] {
            throw QavError(QavError::PictureNotLoaded, QStringLiteral("그림 없음")).asFatal();
        });
        QCOMPARE(m_windows.messages.texts.size(), 1);
        QCOMPARE(Form::loadedCount(), 0);
        QCOMPARE(m_windows.programEnds, 1);
    }

    // A scan typed at a message box (Enter marks its end in the keys) goes to the control that
    // had the keyboard once the box is confirmed; the scanner's Enter does not confirm it.
    void messageBoxKeepsWhatIsTypedMeanwhile_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("kept");
        QTest::addColumn<int>("enters");
        QTest::newRow("scan, then Enter confirms") << "10000001\n\n"
                                                   << "10000001" << 1;
        QTest::newRow("two scans") << "1\n2\n\n"
                                   << "12" << 2;
        QTest::newRow("Enter alone confirms") << "\n"
                                              << "" << 0;
        QTest::newRow("Escape confirms, digits kept") << "7\x1b"
                                                      << "7" << 0;
    }
    void messageBoxKeepsWhatIsTypedMeanwhile()
    {
        QFETCH(QString, typed);
        QFETCH(QString, kept);
        QFETCH(int, enters);
        QWidget behind;
        auto *box = new QLineEdit(&behind);
        behind.show();
        behind.activateWindow();
        box->setFocus();
        QTRY_VERIFY(box->hasFocus());
        QSignalSpy entered(box, &QLineEdit::returnPressed);

        bool closedEarly = false;
        QTimer::singleShot(0, [&] {
            QPointer<QWidget> shown = QApplication::activeModalWidget();
            closedEarly = !shown || !QTest::qWaitForWindowActive(shown);
            for (qsizetype i = 0; shown && i < typed.size(); ++i) {
                closedEarly = closedEarly || !shown->isVisible();
                const QChar c = typed.at(i);
                QWidget *to = QApplication::focusWidget();
                if (c == u'\n')
                    QTest::keyClick(to, Qt::Key_Return);
                else if (c == u'\x1b')
                    QTest::keyClick(to, Qt::Key_Escape);
                else
                    QTest::keyClick(to, c.toLatin1());
            }
            if (shown && shown->isVisible())
                shown->close();
        });
        setMessageSink(nullptr);
        MsgBox(QStringLiteral("그림 없음"));
        setMessageSink(&m_windows.messages);

        QVERIFY(!closedEarly);
        QTRY_COMPARE(box->text(), kept);
        QCOMPARE(entered.count(), enters);
    }

    void trimAtNul_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("text before the NUL") << QStringLiteral("abc") + QChar(0) + "def"
                                             << "abc";
        QTest::newRow("NUL first gives nothing") << QChar(0) + QStringLiteral("abc") << "";
        QTest::newRow("no NUL gives nothing") << "abc"
                                              << "";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("Hangul kept whole") << QStringLiteral("큐브") + QChar(0) << "큐브";
    }
    void trimAtNul()
    {
        QFETCH(QString, text);
        const QString before = text;
        QFETCH(QString, expected);
        QCOMPARE(TrimAtNul(text), expected);
        QCOMPARE(text, before);
    }

    void placeCode_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << QByteArray("[Quorvanta]\nPlaceCode=1234\n") << "1234";
        QTest::newRow("no file") << QByteArray() << "";
        QTest::newRow("nothing after equals") << QByteArray("[Quorvanta]\nPlaceCode=\n") << "";
        QTest::newRow("key in another section")
            << QByteArray("[Other]\nPlaceCode=9\n[Quorvanta]\nName=x\n") << "";
        QTest::newRow("names ignore case and blanks")
            << QByteArray("  [ quorvanta ]\r\n  placecode   =   77 A  \r\n") << "77 A";
        QTest::newRow("comment lines skipped")
            << QByteArray("[Quorvanta]\n;PlaceCode=1\nPlaceCode=2\n") << "2";
        QTest::newRow("first occurrence wins")
            << QByteArray("[Quorvanta]\nPlaceCode=1\nPlaceCode=2\n") << "1";
        QTest::newRow("quotes around the value dropped")
            << QByteArray("[Quorvanta]\nPlaceCode=\" 5 \"\n") << " 5 ";
        QTest::newRow("byte order mark")
            << QByteArray("\xEF\xBB\xBF[Quorvanta]\nPlaceCode=8\n") << "8";
        QTest::newRow("300 characters cut to 254")
            << QByteArray("[Quorvanta]\nPlaceCode=" + QByteArray(300, 'x') + "\n")
            << QString(254, u'x');
        // 84 Hangul syllables are 252 bytes; the 85th would cross the 254-byte limit.
        QTest::newRow("never cut inside a character")
            << ("[Quorvanta]\nPlaceCode=" + QString(100, u'가').toUtf8() + "\n")
            << QString(84, u'가');
    }
    void placeCode()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QString old = QDir::currentPath();
        QDir::setCurrent(dir.path());
        if (!ini.isNull()) {
            QFile f(dir.filePath(QStringLiteral("qav.ini")));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(ini);
        }
        const QString code = ReadPlaceCode();
        QDir::setCurrent(old);
        QCOMPARE(code, expected);
    }

    void placeCodeIsReadAnewFromTheCurrentDirectory()
    {
        QTemporaryDir dir, elsewhere;
        const QString old = QDir::currentPath();
        QFile f(dir.filePath(QStringLiteral("qav.ini")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[Quorvanta]\nPlaceCode=1\n");
        f.close();
        QDir::setCurrent(dir.path());
        QCOMPARE(ReadPlaceCode(), QStringLiteral("1"));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("[Quorvanta]\nPlaceCode=2\n");
        f.close();
        QCOMPARE(ReadPlaceCode(), QStringLiteral("2"));
        QDir::setCurrent(elsewhere.path());
        QCOMPARE(ReadPlaceCode(), QString());
        QDir::setCurrent(old);
    }

    void monitorInfoAsksEveryTime()
    {
        QCOMPARE(cMontionInfo().DisplayMonitorCount(), 1); // the offscreen platform's one screen
        auto screens = std::make_shared<FixedScreens>();
        setScreenSource(screens);
        cMontionInfo info;
        QCOMPARE(info.DisplayMonitorCount(), 2);
        QCOMPARE(info.VirtualScreenWidth(), 2048);
        QCOMPARE(info.IsSameDisplayFormat(), 0);
        screens->count = 1;
        QCOMPARE(info.DisplayMonitorCount(), 1);
        setScreenSource(nullptr);
    }
};

QTEST_MAIN(TestShell)
#include "tst_shell.moc"
