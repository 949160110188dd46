#include "console/frmQAV.h"
#include "remote/DataSpace.h"
#include "shell/Addresses.h"
#include "shell/Global.h"
#include "shell/Lifecycle.h"
#include "shell/Look.h"
#include "shell/MessageBox.h"
#include "shell/cMontionInfo.h"
#include "station/frm01.h"
#include "tests/support/CannedServer.h"
#include "tests/support/StationSite.h"
#include "tests/support/WindowTesting.h"

#include <QApplication>
#include <QPointer>
#include <QScreen>
#include <QtTest>

namespace {

const QString signInFailed = QStringLiteral("시스템의 문제로 인해 로그인을 하지 못했습니다");
const QString enterDetails = QStringLiteral("▶ 로그인 정보를 입력하세요");
const QString rejected = QStringLiteral("▶ 입력한 정보를 확인하시고 ") + u'\r' +
                         QStringLiteral("     다시 로그인해주세요");

// Reports a fixed number of monitors and counts how often it is asked.
class CountingScreens : public ScreenSource
{
public:
    int count = 1;
    mutable int reads = 0;
    int monitorCount() const override
    {
        ++reads;
        return count;
    }
    QRect virtualGeometry() const override { return QRect(0, 0, 800, 600); }
    bool sameDisplayFormat() const override { return true; }
};

using Row = QList<std::pair<QString, QVariant>>;

Row acceptedRow(const QString &bizCode = QStringLiteral("B100"))
{
    return {{QStringLiteral("ErrCode"), QStringLiteral("0")},
            {QStringLiteral("bizcode"), bizCode},
            {QStringLiteral("TheaterName"), QStringLiteral("큐브홀")},
            {QStringLiteral("GoodsName"), QStringLiteral("봄 공연")}};
}

// What the station's start-up needs from the server to come up for place code 1234.
void answerPlaceSignIn(CannedServer &server)
{
    server.answerRow({{QStringLiteral("ErrCode"), QStringLiteral("0")},
                      {QStringLiteral("bizcode"), QStringLiteral("B100")},
                      {QStringLiteral("TheaterName"), QStringLiteral("큐브홀")},
                      {QStringLiteral("GoodsName"), QStringLiteral("봄 공연")}});
}

} // namespace

class TestConsole : public QObject
{
    Q_OBJECT

    AppWindowFixture m_windows;
    std::unique_ptr<CannedServer> m_server;
    std::shared_ptr<CountingScreens> m_screens;

    static frmQAV *console()
    {
        Global::frmQAV->Show();
        return Global::frmQAV.instance();
    }

    void signIn(const QString &id, const QString &password)
    {
        frmQAV *c = console();
        c->txtID->setText(id);
        c->txtPass->setText(password);
        c->btnLogin->click();
    }

    void verifyFailureTail()
    {
        QCOMPARE(m_windows.messages.texts, QStringList{signInFailed});
        QCOMPARE(m_windows.programEnds, 1);
        QVERIFY(Global::frmQAV.isNull());
        QCOMPARE(Form::loadedCount(), 0);
    }

private slots:
    void initTestCase() { m_windows.install(); }

    void init()
    {
        m_windows.reset();
        m_server = std::make_unique<CannedServer>();
        overrideAddresses(m_server->url(), m_server->url());
        m_screens = std::make_shared<CountingScreens>();
        setScreenSource(m_screens);
    }

    void cleanup()
    {
        m_windows.reset();
        setScreenSource(nullptr);
    }

    void layout_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QRect>("pixels");
        QTest::newRow("ID box") << "txtID" << QRect(72, 104, 105, 18);
        QTest::newRow("password box") << "txtPass" << QRect(72, 128, 105, 18);
        QTest::newRow("sign-in button") << "btnLogin" << QRect(208, 128, 65, 17);
        QTest::newRow("open button") << "btnQAVOpen" << QRect(48, 232, 89, 41);
        QTest::newRow("close button") << "btnQAVClose" << QRect(176, 232, 89, 41);
        QTest::newRow("frame") << "Frame1" << QRect(32, 208, 257, 81);
        QTest::newRow("status line") << "lbl_LoginInfo" << QRect(40, 168, 241, 25);
        QTest::newRow("hint") << "Label2" << QRect(32, 312, 265, 25);
    }
    void layout()
    {
        QFETCH(QString, control);
        QFETCH(QRect, pixels);
        frmQAV *c = console();
        const std::map<QString, QWidget *> controls = {{"txtID", c->txtID},
                                                       {"txtPass", c->txtPass},
                                                       {"btnLogin", c->btnLogin},
                                                       {"btnQAVOpen", c->btnQAVOpen},
                                                       {"btnQAVClose", c->btnQAVClose},
                                                       {"Frame1", c->Frame1},
                                                       {"lbl_LoginInfo", c->lbl_LoginInfo},
                                                       {"Label2", c->Label2}};
        QWidget *w = controls.at(control);
        QCOMPARE(w->geometry(), pixels);
        QCOMPARE(w->parentWidget(), c->window());
    }

    void windowIsFixedWithTitleAndCloseBox()
    {
        QWidget *w = console()->window();
        QCOMPARE(w->windowTitle(), QStringLiteral("Quorvanta QAV"));
        QCOMPARE(w->size(), QSize(320, 362));
        QCOMPARE(w->minimumSize(), w->maximumSize());
        const Qt::WindowFlags flags = w->windowFlags();
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        QVERIFY(!w->windowIcon().isNull());
    }

    void buttonsAreDrawnOverTheFrame()
    {
        frmQAV *c = console();
        for (QPushButton *b : {c->btnQAVOpen, c->btnQAVClose}) {
            QCOMPARE(c->window()->childAt(b->geometry().center()), b);
            QVERIFY(!b->isDefault());
            QVERIFY(!b->autoDefault());
        }
        QVERIFY(!c->btnLogin->isDefault() && !c->btnLogin->autoDefault());
    }

    void focusStartsInIdAndTabsInOrder()
    {
        frmQAV *c = console();
        QVERIFY(QTest::qWaitForWindowActive(c->window()));
        QCOMPARE(QApplication::focusWidget(), c->txtID);
        const QList<QWidget *> order = {c->txtPass, c->btnQAVOpen, c->btnQAVClose, c->btnLogin,
                                        c->txtID};
        for (QWidget *expected : order) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), expected);
        }
    }

    void enterAndEscapeDoNothing()
    {
        frmQAV *c = console();
        QVERIFY(QTest::qWaitForWindowActive(c->window()));
        c->txtID->setText(QStringLiteral("gate01"));
        c->txtPass->setText(QStringLiteral("pw"));
        QTest::keyClick(c->txtID, Qt::Key_Return);
        QTest::keyClick(c->txtID, Qt::Key_Escape);
        QVERIFY(m_server->commands.isEmpty());
        QVERIFY(c->window()->isVisible());
        QCOMPARE(c->lbl_LoginInfo->caption(), QString());
    }

    void passwordShowsStarsAndBypassesInputMethods()
    {
        frmQAV *c = console();
        QVERIFY(QTest::qWaitForWindowActive(c->window()));
        c->txtPass->setFocus();
        QTest::keyClicks(c->txtPass, QStringLiteral("s3cr t"));
        QCOMPARE(c->txtPass->text(), QStringLiteral("s3cr t"));
        QCOMPARE(c->txtPass->displayText(), QStringLiteral("******"));
        QVERIFY(!c->txtPass->testAttribute(Qt::WA_InputMethodEnabled));
    }

    void emptyFieldsAskForDetails_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("password");
        QTest::newRow("both empty") << ""
                                    << "";
        QTest::newRow("password missing") << "gate01"
                                          << "";
        QTest::newRow("ID missing") << ""
                                    << "pw";
    }
    void emptyFieldsAskForDetails()
    {
        QFETCH(QString, id);
        QFETCH(QString, password);
        signIn(id, password);
        QCOMPARE(console()->lbl_LoginInfo->caption(), enterDetails);
        QVERIFY(m_server->commands.isEmpty());
        // The channel is set up before the fields are looked at.
        QCOMPARE(g_ServerUrl, m_server->url());
        QVERIFY(m_windows.messages.texts.isEmpty());
        QCOMPARE(console()->txtID->text(), id);
    }

    void rejectedClearsTheFormAndKeepsSharedValues_data()
    {
        QTest::addColumn<QString>("errCode");
        QTest::newRow("minus one") << "-1";
        QTest::newRow("minus one with blanks") << "  -1 ";
    }
    void rejectedClearsTheFormAndKeepsSharedValues()
    {
        QFETCH(QString, errCode);
        g_BizCode = QStringLiteral("OLD");
        g_AdminId = QStringLiteral("old admin");
        g_GoodsName = QStringLiteral("old goods");
        m_server->answerRow({{QStringLiteral("ErrCode"), errCode}});

        signIn(QStringLiteral("gate01"), QStringLiteral("wrong"));

        frmQAV *c = console();
        QCOMPARE(c->txtID->text(), QString());
        QCOMPARE(c->txtPass->text(), QString());
        QCOMPARE(c->lbl_LoginInfo->caption(), rejected);
        QCOMPARE(c->lbl_LoginInfo->text().count(u'\n'), 1);
        QCOMPARE(g_BizCode, QStringLiteral("OLD"));
        QCOMPARE(g_AdminId, QStringLiteral("old admin"));
        QCOMPARE(g_GoodsName, QStringLiteral("old goods"));
        QVERIFY(m_windows.messages.texts.isEmpty());
        QCOMPARE(m_windows.programEnds, 0);
    }

    void acceptedStoresTrimmedValuesAndTheIdAsTyped()
    {
        m_server->answerRow({{QStringLiteral("ErrCode"), QStringLiteral(" 0 ")},
                             {QStringLiteral("bizcode"), QStringLiteral("  B100 ")},
                             {QStringLiteral("TheaterName"), QStringLiteral(" 큐브홀 ")},
                             {QStringLiteral("GoodsName"), QStringLiteral(" 봄 공연  ")}});

        signIn(QStringLiteral(" gate 01 "), QStringLiteral("a'b "));

        QCOMPARE(m_server->commands,
                 QStringList{"Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo ' gate 01 ','a''b '"});
        QCOMPARE(m_server->paths, QStringList{"Velmor.member"});
        QCOMPARE(g_BizCode, QStringLiteral("B100"));
        QCOMPARE(g_GoodsName, QStringLiteral("봄 공연"));
        QCOMPARE(g_AdminId, QStringLiteral(" gate 01 "));
        frmQAV *c = console();
        QCOMPARE(c->lbl_LoginInfo->caption(), QStringLiteral("큐브홀에서 로그인 되었습니다"));
        QCOMPARE(c->txtID->text(), QStringLiteral(" gate 01 "));
        QCOMPARE(c->txtPass->text(), QStringLiteral("a'b "));
        QVERIFY(m_windows.messages.texts.isEmpty());
    }

    void rejectedAfterAcceptedKeepsTheSignIn()
    {
        m_server->answerRow(acceptedRow());
        m_server->answerRow({{QStringLiteral("ErrCode"), QStringLiteral("-1")}});
        signIn(QStringLiteral("gate01"), QStringLiteral("pw"));
        signIn(QStringLiteral("gate02"), QStringLiteral("bad"));
        QCOMPARE(m_server->commands.size(), 2);
        QCOMPARE(g_BizCode, QStringLiteral("B100"));
        QCOMPARE(g_AdminId, QStringLiteral("gate01"));
        QCOMPARE(console()->lbl_LoginInfo->caption(), rejected);
    }

    // The key of the latest accepted sign-in goes with every call after it, never with a
    // sign-in itself; a server that issues none gets no header.
    void sessionKeyGoesWithEveryLaterCall_data()
    {
        QTest::addColumn<QStringList>("issued"); // per sign-in; a null entry: no SessionKey column
        QTest::addColumn<QList<QByteArray>>("sent");
        const QByteArray none;
        QTest::newRow("key of the sign-in")
            << QStringList{QStringLiteral(" k1 ")}
            << QList<QByteArray>{none, "Bearer k1", "Bearer k1", "Bearer k1"};
        QTest::newRow("second sign-in replaces the key")
            << QStringList{QStringLiteral("old"), QStringLiteral("k2")}
            << QList<QByteArray>{none, none, "Bearer k2", "Bearer k2", "Bearer k2"};
        QTest::newRow("server without sessions") << QStringList{QStringLiteral("old"), QString()}
                                                 << QList<QByteArray>{none, none, none, none, none};
    }
    void sessionKeyGoesWithEveryLaterCall()
    {
        QFETCH(QStringList, issued);
        QFETCH(QList<QByteArray>, sent);
        StationSite site;
        for (const QString &key : issued) {
            Row row = acceptedRow();
            if (!key.isNull())
                row.append({QStringLiteral("SessionKey"), key});
            m_server->answerRow(row);
            signIn(QStringLiteral("gate01"), QStringLiteral("pw"));
        }
        answerPlaceSignIn(*m_server);
        console()->btnQAVOpen->click();
        QVERIFY(Global::frm01.isLoaded());
        frm01 *station = Global::frm01.instance();
        m_server->answerRow({{QStringLiteral("ErrCode"), QStringLiteral("-1")},
                             {QStringLiteral("ErrMsg"), QStringLiteral("없는 표")}});
        station->txtTicketNo->setText(QStringLiteral("10000001"));
        station->btnSave->click();
        station->btnScore->click();

        QVERIFY2(m_windows.messages.texts.isEmpty(),
                 qPrintable(m_windows.messages.texts.join(u'|')));
        QCOMPARE(m_server->commands.size(), sent.size());
        QCOMPARE(m_server->authorizations, sent);
    }

    void failedSignInEndsTheProgram_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("answer without rows") << 0;
        QTest::newRow("accepted with an empty business code") << 1;
        QTest::newRow("accepted without a venue column") << 2;
        QTest::newRow("server unreachable") << 3;
        QTest::newRow("server refuses the command") << 4;
    }
    void failedSignInEndsTheProgram()
    {
        QFETCH(int, kind);
        switch (kind) {
        case 0:
            m_server->answer({QStringLiteral("ErrCode"), QStringLiteral("bizcode")}, {});
            break;
        case 1:
            m_server->answerRow(acceptedRow(QStringLiteral("   ")));
            break;
        case 2:
            m_server->answerRow({{QStringLiteral("ErrCode"), QStringLiteral("0")},
                                 {QStringLiteral("bizcode"), QStringLiteral("B100")}});
            break;
        case 3:
            overrideAddresses(unreachableUrl(), unreachableUrl());
            break;
        case 4:
            m_server->answerRaw(R"({"error":"db down"})", 500);
            break;
        }
        QPointer<QWidget> window = console()->window();

        signIn(QStringLiteral("gate01"), QStringLiteral("pw"));

        verifyFailureTail();
        QVERIFY(!window || !window->isVisible());
    }

    void openBeforeSignInAsksForSignIn()
    {
        frmQAV *c = console();
        c->btnQAVOpen->click();
        c->btnQAVOpen->click();
        QCOMPARE(m_windows.messages.texts,
                 QStringList(2, QStringLiteral("로그인 후에 QAV 화면을 열어주세요")));
        // The monitors are counted on every press, signed in or not.
        QCOMPARE(m_screens->reads, 2);
        QVERIFY(Global::frm01.isNull());
        QVERIFY(c->window()->isVisible());
    }

    void openAfterSignInShowsTheStation_data()
    {
        QTest::addColumn<int>("monitors");
        QTest::newRow("one monitor") << 1;
        QTest::newRow("no monitor reported") << 0;
        QTest::newRow("two monitors") << 2;
    }
    void openAfterSignInShowsTheStation()
    {
        QFETCH(int, monitors);
        StationSite site;
        m_screens->count = monitors;
        m_server->answerRow(acceptedRow());
        signIn(QStringLiteral("gate01"), QStringLiteral("pw"));
        answerPlaceSignIn(*m_server);
        frmQAV *c = console();

        c->btnQAVOpen->click();

        QVERIFY2(m_windows.messages.texts.isEmpty(),
                 qPrintable(m_windows.messages.texts.join(u'|')));
        QVERIFY(Global::frm01.isLoaded());
        QWidget *station = Global::frm01.instance()->window();
        QVERIFY(station->isVisible());
        QCOMPARE(station->parentWidget(), nullptr);
        QCOMPARE(station->width(), QGuiApplication::primaryScreen()->geometry().width());
        QCOMPARE(station->height(), QGuiApplication::primaryScreen()->geometry().height());
        QVERIFY(Global::frmQAV.isLoaded());
        QVERIFY(!c->window()->isVisible());
        QCOMPARE(m_windows.programEnds, 0);
    }

    void failedStationStartUpEndsTheProgram_data()
    {
        QTest::addColumn<bool>("placeCode");
        QTest::newRow("no place code") << false;
        QTest::newRow("place sign-in refused by the server") << true;
    }
    void failedStationStartUpEndsTheProgram()
    {
        QFETCH(bool, placeCode);
        StationSite site(placeCode ? QByteArray("1234") : QByteArray());
        m_server->answerRow(acceptedRow());
        signIn(QStringLiteral("gate01"), QStringLiteral("pw"));
        if (placeCode)
            m_server->answerRaw(R"({"error":"db down"})", 500);

        console()->btnQAVOpen->click();

        QCOMPARE(m_windows.messages.texts.size(), 1);
        QCOMPARE(m_windows.programEnds, 1);
        QCOMPARE(Form::loadedCount(), 0);
        // The console is neither shown again nor brought back to life.
        QVERIFY(!Global::frmQAV.isLoaded());
        QVERIFY(!Global::frm01.isLoaded());
    }

    void closeButtonEndsTheProgram_data()
    {
        QTest::addColumn<bool>("titleBar");
        QTest::newRow("close button") << false;
        QTest::newRow("title bar close box") << true;
    }
    void closeButtonEndsTheProgram()
    {
        QFETCH(bool, titleBar);
        if (titleBar)
            console()->window()->close();
        else
            console()->btnQAVClose->click();
        QVERIFY(Global::frmQAV.isNull());
        QCOMPARE(m_windows.programEnds, 1);
        QVERIFY(m_windows.messages.texts.isEmpty());
    }
};

QTEST_MAIN(TestConsole)
#include "tst_console.moc"
