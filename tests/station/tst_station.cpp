#include "remote/Commands.h"
#include "remote/DataSpace.h"
#include "shell/Look.h"
#include "shell/QavError.h"
#include "station/LogoView.h"
#include "station/StationLogic.h"
#include "tests/support/CannedServer.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/WindowTesting.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QUuid>
#include <QWindow>

namespace {

const QString kCheckPlaceCode = QStringLiteral("▶ qav.ini 파일의 PlaceCode 확인해주세요");
const QString kSignIn = QStringLiteral("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo '1234'");
const QString kOld = QStringLiteral("이전");

QString verifyCommand(const QString &ticket)
{
    return QStringLiteral(
               "Exec Proc_GRVM_Admin_GetAdminQAV_BookingInfo 'I','GRVM0001','','%1', 'gate01'")
        .arg(ticket);
}

QByteArray signInAnswer(const QString &errCode = QStringLiteral("0"))
{
    return CannedServer::recordSetJson(
        {"ErrCode", "ErrMsg", "bizcode", "TheaterName", "GoodsName"},
        {{errCode, QStringLiteral("로그인 성공"), "GRVM0001", QStringLiteral("큐브 아레나"),
          QStringLiteral("뮤지컬 캣츠")}});
}

// A verification answer; a null QVariant in any place makes that value null.
QByteArray booking(const QVariant &errCode, const QVariant &errMsg,
                   const QVariant &ticketNo = QStringLiteral("10000001"),
                   const QVariant &playDate = QStringLiteral("201012251930"))
{
    return CannedServer::recordSetJson(
        {"ErrCode", "ErrMsg", "CustName", "TicketNo", "GoodsName", "PlayDate", "PlaceName",
         "SeatGradeName", "SeatInfo"},
        {{errCode, errMsg, QStringLiteral(" 홍길동 "), ticketNo, QStringLiteral("뮤지컬 캣츠"),
          playDate, QStringLiteral("큐브 아레나"), QStringLiteral("R석"),
          QStringLiteral("1층 A열 5번")}});
}

QStringList admitted(const QString &message,
                     const QString &date = QStringLiteral("2010년 12월25일 19시 30분 "))
{
    return {message,
            QStringLiteral("홍길동"),
            QStringLiteral("10000001"),
            QStringLiteral("뮤지컬 캣츠"),
            date,
            QStringLiteral("큐브 아레나"),
            QStringLiteral("R석"),
            QStringLiteral("1층 A열 5번")};
}

QStringList refused(const QString &message)
{
    return {message, "", "", "", "", "", "", ""};
}

QList<Label *> bookingLabels(frm01 *s)
{
    return {s->lbl_BookingInfo, s->lbl_CustName,  s->lbl_TicketNo,      s->lbl_GoodsName,
            s->lbl_PlayDate,    s->lbl_PlaceName, s->lbl_SeatGradeName, s->lbl_SeatInfo};
}

QStringList captions(frm01 *s)
{
    QStringList texts;
    for (Label *l : bookingLabels(s))
        texts << l->caption();
    return texts;
}

void showPreviousBooking(frm01 *s)
{
    for (Label *l : bookingLabels(s))
        l->setCaption(kOld);
}

QStringList oldBooking()
{
    return QStringList(8, kOld);
}

// The controls Tab visits from the ticket box, in order, until it comes back.
QList<QWidget *> tabCycle(QWidget *start)
{
    QList<QWidget *> cycle{start};
    for (QWidget *w = start->nextInFocusChain(); w != start && cycle.size() < 50;
         w = w->nextInFocusChain()) {
        if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(start->window()))
            cycle << w;
    }
    return cycle;
}

} // namespace

class TestStation : public QObject
{
    Q_OBJECT

    AppWindowFixture m_windows;
    std::unique_ptr<CannedServer> m_server;
    std::unique_ptr<StationSite> m_site;

    // Opens the station on a server that accepts the place code, as gate01 left it.
    frm01 *openSignedIn()
    {
        m_server->answerRaw(signInAnswer());
        frm01 *s = fixture::openStation();
        g_AdminId = QStringLiteral("gate01");
        m_server->commands.clear();
        return s;
    }

    QStringList sentAfterSignIn() const { return m_server->commands; }

    // Types a ticket and Enter where the keyboard goes (the focused control, else the active
    // window), as a scanner does.
    static void scanIntoFocus(const QString &ticket)
    {
        QTRY_VERIFY(QApplication::focusWidget() || QApplication::activeWindow());
        QWidget *focus = QApplication::focusWidget();
        if (!focus)
            focus = QApplication::activeWindow();
        QTest::keyClicks(focus, ticket);
        QTest::keyClick(focus, Qt::Key_Return);
    }

private slots:
    void initTestCase() { m_windows.install(); }

    void init()
    {
        m_windows.reset();
        m_server = std::make_unique<CannedServer>();
        overrideAddresses(m_server->url(), m_server->url());
        m_site = std::make_unique<StationSite>();
    }

    void cleanup()
    {
        m_windows.reset();
        frm01::setCheckingNoticeMs(frm01::defaultCheckingNoticeMs);
        m_site.reset();
        m_server.reset();
    }

    // ---- layout

    void layoutGeometry_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QRect>("pixels");
        QTest::newRow("customer name label") << "lbl_CustName" << QRect(208, 368, 761, 49);
        QTest::newRow("seat label, last of the booking")
            << "lbl_SeatInfo" << QRect(208, 640, 761, 49);
        QTest::newRow("ticket box") << "txtTicketNo" << QRect(336, 152, 353, 57);
        QTest::newRow("mode button") << "btnMode" << QRect(48, 152, 113, 57);
        QTest::newRow("save button") << "btnSave" << QRect(768, 152, 113, 57);
        QTest::newRow("score button") << "btnScore" << QRect(904, 152, 89, 57);
        QTest::newRow("close picture, its own size") << "Command2" << QRect(960, 16, 48, 45);
        QTest::newRow("logo frame") << "xx" << QRect(-8, -8, 169, 137);
    }
    void layoutGeometry()
    {
        QFETCH(QString, control);
        QFETCH(QRect, pixels);
        frm01 *s = openSignedIn();
        QVERIFY(s);
        const QHash<QString, QWidget *> controls{
            {"lbl_CustName", s->lbl_CustName}, {"lbl_SeatInfo", s->lbl_SeatInfo},
            {"txtTicketNo", s->txtTicketNo},   {"btnMode", s->btnMode},
            {"btnSave", s->btnSave},           {"btnScore", s->btnScore},
            {"Command2", s->Command2},         {"xx", s->xx}};
        QCOMPARE(controls.value(control)->geometry(), pixels);
    }

    void windowLooksAsDesigned()
    {
        frm01 *s = openSignedIn();
        QVERIFY(s);
        QWidget *w = s->window();
        QCOMPARE(w->size(), QSize(1026, 769));
        QCOMPARE(w->pos(), QPoint(0, 0));
        QVERIFY(w->windowFlags() & Qt::FramelessWindowHint);
        QVERIFY(!w->isMaximized());
        QCOMPARE(w->windowTitle(), QStringLiteral("Form2"));

        QCOMPARE(s->lbl_CustName->font().pointSizeF(), 27.0);
        QCOMPARE(s->lbl_SeatGradeName->font().pointSizeF(), 24.75);
        QCOMPARE(s->txtTicketNo->font().pointSizeF(), 30.0);
        QVERIFY(s->lbl_BookingInfo->font().bold());
        QCOMPARE(s->lbl_BookingInfo->font().pointSizeF(), 60.0);
        QCOMPARE(s->lbl_BookingInfo->palette().color(QPalette::WindowText), QColor(255, 0, 0));
        QCOMPARE(s->lbl_CustName->palette().color(QPalette::WindowText),
                 w->palette().color(QPalette::ButtonText));
        QVERIFY(s->lbl_BookingInfo->autoSize() && s->lbl_GoodsNameInfo->autoSize());
        QVERIFY(!s->lbl_CustName->autoSize());

        // The background once at its own size: beyond its 1024x768 the window colour shows.
        const QImage shown = w->grab().toImage();
        const QImage background(QStringLiteral(":/builtin/station_background.jpg"));
        QCOMPARE(background.size(), QSize(1024, 768));
        QCOMPARE(shown.pixelColor(1025, 400), w->palette().color(QPalette::Window));
        QCOMPARE(shown.pixelColor(1025, 768), w->palette().color(QPalette::Window));
        QCOMPARE(shown.pixelColor(20, 750), background.pixelColor(20, 750));
        QCOMPARE(shown.pixelColor(1000, 700), background.pixelColor(1000, 700));
    }

    void tabOrderAndFocus()
    {
        frm01 *s = openSignedIn();
        QVERIFY(s);
        QCOMPARE(tabCycle(s->txtTicketNo),
                 (QList<QWidget *>{s->txtTicketNo, s->btnMode, s->btnScore, s->btnSave,
                                   s->WebBrowser1}));
        QCOMPARE(s->lbl_BookingInfo->focusPolicy(), Qt::NoFocus);
        QCOMPARE(s->Command2->focusPolicy(), Qt::NoFocus);
        QTRY_VERIFY(s->txtTicketNo->hasFocus());
        // A tap on the logo leaves the keyboard where a scan goes.
        QTest::mouseClick(s->WebBrowser1, Qt::LeftButton);
        QCOMPARE(s->window()->focusWidget(), s->txtTicketNo);
    }

    // ---- start-up

    void startUpAccepted()
    {
        g_CheckMode = QStringLiteral("O");
        g_AdminId = QStringLiteral("gate02");
        m_server->answerRaw(signInAnswer());
        frm01 *s = fixture::openStation();
        QVERIFY(s);
        QVERIFY(m_windows.messages.texts.isEmpty());
        QCOMPARE(m_server->commands, QStringList{kSignIn});
        QCOMPARE(g_BizCode, QStringLiteral("GRVM0001"));
        QCOMPARE(g_GoodsName, QStringLiteral("뮤지컬 캣츠"));
        QCOMPARE(g_ServerUrl, m_server->url());
        QCOMPARE(g_CheckMode, QStringLiteral("O"));
        QCOMPARE(g_AdminId, QStringLiteral("gate02"));
        QCOMPARE(s->lbl_GoodsNameInfo->caption(), QStringLiteral("뮤지컬 캣츠"));
        // Auto-size: grown to the right from its designed left edge.
        QCOMPARE(s->lbl_GoodsNameInfo->pos(), QPoint(531, 40));
        QVERIFY(s->lbl_GoodsNameInfo->width() > 100);
        QCOMPARE(s->btnSave->pictureFile(), QStringLiteral("./btn3on.jpg"));
        QVERIFY(!s->btnSave->picture().isNull());
        QCOMPARE(s->txtTicketNo->text(), QString());

        // The logo frame and the browser reaching 250 twips past its edges.
        QCOMPARE(s->xx->objectName(), QStringLiteral("xx"));
        QCOMPARE(s->xx->geometry(), QRect(-8, -8, 169, 137));
        QVERIFY(s->xx->isVisible());
        QCOMPARE(s->WebBrowser1->parentWidget(), s->xx);
        QCOMPARE(s->WebBrowser1->geometry(), QRect(0, 0, 186, 154));
        QVERIFY(s->WebBrowser1->isVisible());
        QCOMPARE(s->WebBrowser1->url().toString(),
                 m_server->url() + QStringLiteral("/TicketImage/GRVM/logo_1234.jpg"));
        QTRY_VERIFY(s->txtTicketNo->hasFocus());
    }

    void startUpUsesThePlaceCodeAsRead()
    {
        m_site->writeIni("[Quorvanta]\nPlaceCode=\" 12'3 \"\n");
        m_server->answerRaw(signInAnswer());
        frm01 *s = fixture::openStation();
        QVERIFY(s);
        QCOMPARE(m_server->commands, QStringList{QStringLiteral(
                                         "Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo ' 12''3 '")});
        QCOMPARE(s->WebBrowser1->url(),
                 QUrl(m_server->url() + QStringLiteral("/TicketImage/GRVM/logo_ 12'3 .jpg")));
    }

    void startUpRejected_data()
    {
        QTest::addColumn<QString>("errCode");
        QTest::newRow("ErrCode -1 rejects the place") << "-1";
        QTest::newRow("ErrCode -1 with blanks rejects the place") << "  -1 ";
    }
    void startUpRejected()
    {
        QFETCH(QString, errCode);
        g_BizCode = QStringLiteral("B-OPERATOR");
        g_GoodsName = QStringLiteral("G-OPERATOR");
        m_server->answerRaw(signInAnswer(errCode));
        frm01 *s = fixture::openStation();
        QVERIFY(s);
        QCOMPARE(m_windows.messages.texts, QStringList{kCheckPlaceCode});
        QVERIFY(Global::frm01.isLoaded());
        QVERIFY(s->window()->isVisible());
        QCOMPARE(m_windows.programEnds, 0);
        QCOMPARE(g_BizCode, QStringLiteral("B-OPERATOR"));
        QCOMPARE(g_GoodsName, QStringLiteral("G-OPERATOR"));
        QCOMPARE(s->lbl_GoodsNameInfo->caption(), QString());
        QCOMPARE(s->btnSave->pictureFile(), QString());
        QCOMPARE(s->xx->geometry(), QRect(-8, -8, 169, 137));
        QTRY_VERIFY(s->txtTicketNo->hasFocus());
    }

    void startUpWithoutPlaceCode_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::newRow("no qav.ini") << QByteArray();
        QTest::newRow("empty PlaceCode") << QByteArray("[Quorvanta]\nPlaceCode=\n");
        QTest::newRow("PlaceCode in another section") << QByteArray("[Other]\nPlaceCode=1234\n");
    }
    void startUpWithoutPlaceCode()
    {
        QFETCH(QByteArray, ini);
        if (ini.isNull())
            QVERIFY(m_site->remove(QStringLiteral("qav.ini")));
        else
            m_site->writeIni(ini);
        g_BizCode = QStringLiteral("B-OPERATOR");

        // As the console opens the station: sizing it must not go on with a closed window.
        bool wentOn = false;
        runHandler([&] {
            Global::frm01->setWidth(15390);
            wentOn = true;
        });
        QVERIFY(!wentOn);
        QCOMPARE(m_windows.messages.texts, QStringList{kCheckPlaceCode});
        QVERIFY(m_server->commands.isEmpty());
        QVERIFY(Global::frm01.isNull());
        QCOMPARE(Form::loadedCount(), 0);
        QCOMPARE(m_windows.programEnds, 1);
        QCOMPARE(g_BizCode, QStringLiteral("B-OPERATOR"));
    }

    void startUpFailureEndsTheProgram_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("missingFile");
        QTest::addColumn<int>("number");
        QTest::newRow("server unreachable")
            << QByteArray() << 0 << "" << int(QavError::ServerUnreachable);
        QTest::newRow("server refuses")
            << QByteArray(R"({"error":"db down"})") << 500 << "" << int(QavError::ServerRefused);
        QTest::newRow("answer without rows")
            << CannedServer::recordSetJson({"ErrCode", "bizcode", "GoodsName"}, {}) << 200 << ""
            << int(QavError::NoCurrentRow);
        QTest::newRow("bizcode missing")
            << CannedServer::recordSetJson({"ErrCode", "GoodsName"}, {{"0", "x"}}) << 200 << ""
            << int(QavError::MissingColumn);
        QTest::newRow("null GoodsName")
            << CannedServer::recordSetJson({"ErrCode", "bizcode", "GoodsName"},
                                           {{"0", "B", QVariant()}})
            << 200 << "" << int(QavError::NullValue);
        QTest::newRow("entry picture missing")
            << signInAnswer() << 200 << "btn3on.jpg" << int(QavError::PictureNotLoaded);
    }
    void startUpFailureEndsTheProgram()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, status);
        QFETCH(QString, missingFile);
        QFETCH(int, number);
        if (status == 0)
            overrideAddresses(unreachableUrl(), unreachableUrl());
        else
            m_server->answerRaw(answer, status);
        if (!missingFile.isEmpty())
            QVERIFY(m_site->remove(missingFile));

        QVERIFY(!fixture::openStation());
        QCOMPARE(m_windows.messages.texts.size(), 1);
        QVERIFY2(
            m_windows.messages.texts[0].startsWith(QStringLiteral("실행 오류 '%1':").arg(number)),
            qPrintable(m_windows.messages.texts[0]));
        QCOMPARE(Form::loadedCount(), 0);
        QCOMPARE(m_windows.programEnds, 1);
    }

    // ---- verification

    void verification_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("sound");
        QTest::addColumn<QStringList>("labels");
        QTest::addColumn<QString>("boxAfter");

        const QString no = QStringLiteral("./no.wav"), ok = QStringLiteral("./ok.wav");
        QTest::newRow("ErrCode -1 rejects and empties the booking")
            << "10000001" << booking("-1", QStringLiteral("  이미 입장한 티켓 "))
            << verifyCommand("10000001") << no << refused(QStringLiteral("이미 입장한 티켓")) << "";
        QTest::newRow("ErrCode -2 with blanks rejects")
            << "10000001" << booking(" -2 ", QStringLiteral("취소된 티켓"))
            << verifyCommand("10000001") << no << refused(QStringLiteral("취소된 티켓")) << "";
        for (const char *code : {"-3", "0", "", "01", "-4"}) {
            QTest::addRow("ErrCode '%s' admits", code)
                << "0001" << booking(QString::fromLatin1(code), QStringLiteral("입장 확인"))
                << verifyCommand("0001") << ok << admitted(QStringLiteral("입장 확인")) << "";
        }
        QTest::newRow("long box text sends the last 15 characters, trailing blank too")
            << "ABCDE12345678901234 " << booking("0", QStringLiteral("입장 확인"))
            << verifyCommand("12345678901234 ") << ok << admitted(QStringLiteral("입장 확인"))
            << "";
        QTest::newRow("blanks only are sent as typed")
            << "   " << booking("-1", QStringLiteral("없는 티켓")) << verifyCommand("   ") << no
            << refused(QStringLiteral("없는 티켓")) << "";
        QTest::newRow("answer without rows shows 인증 실패")
            << "10000001" << CannedServer::recordSetJson({"ErrCode", "ErrMsg"}, {})
            << verifyCommand("10000001") << no << refused(QStringLiteral("인증 실패")) << "";
        QTest::newRow("null PlayDate shows an empty date")
            << "10000001"
            << booking("0", QStringLiteral("입장 확인"), QStringLiteral("10000001"), QVariant())
            << verifyCommand("10000001") << ok
            << admitted(QStringLiteral("입장 확인"), QStringLiteral("년 월일 시 분 ")) << "";
        QStringList emptyBox = oldBooking();
        emptyBox[0] = QStringLiteral("인증 실패");
        QTest::newRow("empty box asks nothing and keeps the booking")
            << "" << QByteArray() << "" << no << emptyBox << "";
    }
    void verification()
    {
        QFETCH(QString, box);
        QFETCH(QByteArray, answer);
        QFETCH(QString, command);
        QFETCH(QString, sound);
        QFETCH(QStringList, labels);
        QFETCH(QString, boxAfter);

        frm01 *s = openSignedIn();
        QVERIFY(s);
        QCOMPARE(g_CheckMode, QString());
        showPreviousBooking(s);
        if (!answer.isNull())
            m_server->answerRaw(answer);
        s->txtTicketNo->setText(box);
        QTest::keyClick(s->txtTicketNo, Qt::Key_Return);

        QCOMPARE(m_server->commands, command.isEmpty() ? QStringList() : QStringList{command});
        QCOMPARE(m_windows.sounds.files, QStringList{sound});
        QCOMPARE(m_windows.sounds.captionsWhenPlayed, QStringList{kOld}); // the sound comes first
        QCOMPARE(captions(s), labels);
        QCOMPARE(s->txtTicketNo->text(), boxAfter);
        QCOMPARE(g_CheckMode, QStringLiteral("I"));
        QCOMPARE(g_ServerUrl, m_server->url());
        QVERIFY(m_windows.messages.texts.isEmpty());
        QTRY_VERIFY(s->txtTicketNo->hasFocus());
        QCOMPARE(tabCycle(s->txtTicketNo).value(1), s->btnMode);
    }

    void emptyBoxTwiceInARow()
    {
        frm01 *s = openSignedIn();
        QVERIFY(s);
        QTest::keyClick(s->txtTicketNo, Qt::Key_Return);
        QTest::keyClick(s->txtTicketNo, Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(m_windows.sounds.files, (QStringList{"./no.wav", "./no.wav"}));
        QCOMPARE(s->lbl_BookingInfo->caption(), QStringLiteral("인증 실패"));
        QVERIFY(m_server->commands.isEmpty());
        QCOMPARE(g_CheckMode, QStringLiteral("I"));
    }

    // What nobody foresaw in a verification started by Enter goes to the terminal, never to
    // a message box at the gate; the same by a click shows as any handler's failure does.
    void unforeseenFailureByEnterIsLogged()
    {
        struct BrokenPlayer : SoundPlayer
        {
            void play(const QString &) override { throw std::runtime_error("sound gone"); }
        } broken;
        frm01 *s = openSignedIn();
        QVERIFY(s);
        setSoundPlayer(&broken);
        const auto restore = qScopeGuard([this] { setSoundPlayer(&m_windows.sounds); });
        QTest::ignoreMessage(QtWarningMsg, "verification by Enter failed: sound gone");
        QTest::keyClick(s->txtTicketNo, Qt::Key_Return);
        QVERIFY(m_windows.messages.texts.isEmpty());
        QVERIFY(Global::frm01.isLoaded());

        QTest::mouseClick(s->btnSave, Qt::LeftButton);
        QCOMPARE(m_windows.messages.texts.size(), 1);
        QVERIFY2(m_windows.messages.texts[0].contains(u"sound gone"),
                 qPrintable(m_windows.messages.texts[0]));
    }

    void keysThatVerify_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<bool>("verifies");
        QTest::newRow("Enter") << int(Qt::Key_Return) << 0 << true;
        QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << true;
        QTest::newRow("Shift+Enter") << int(Qt::Key_Return) << int(Qt::ShiftModifier) << true;
        QTest::newRow("Ctrl+Enter") << int(Qt::Key_Return) << int(Qt::ControlModifier) << true;
        QTest::newRow("F5 does nothing") << int(Qt::Key_F5) << 0 << false;
        QTest::newRow("Escape does nothing") << int(Qt::Key_Escape) << 0 << false;
    }
    void keysThatVerify()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(bool, verifies);
        frm01 *s = openSignedIn();
        QVERIFY(s);
        m_server->answerRaw(booking("0", QStringLiteral("입장 확인")));
        QTest::keyClicks(s->txtTicketNo, QStringLiteral("10000001"));
        QTest::keyClick(s->txtTicketNo, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(m_server->commands.size(), verifies ? 1 : 0);
        QCOMPARE(s->txtTicketNo->text(), verifies ? QString() : QStringLiteral("10000001"));
    }

    void enterOnAnotherControlVerifiesOnce()
    {
        frm01 *s = openSignedIn();
        QVERIFY(s);
        m_server->answerRaw(booking("0", QStringLiteral("입장 확인")));
        s->txtTicketNo->setText(QStringLiteral("10000001"));
        s->btnMode->setFocus();
        QTest::keyClick(s->btnMode, Qt::Key_Return);
        // The key travels on from the button to the window: one verification, not two.
        QCOMPARE(m_server->commands, QStringList{verifyCommand("10000001")});
        QCOMPARE(m_windows.sounds.files.size(), 1);
    }

    // A verification that gets no usable answer is shown as "not checked", on both paths, and
    // the next scan replaces the kept ticket: nothing of the previous guest stays on screen.
    void failureIsShownAsNotChecked_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("byClick");
        QTest::addColumn<QString>("caption");

        const QString noAnswer = QStringLiteral("서버 응답 없음 – 다시 스캔하세요");
        const QString fault = QStringLiteral("서버 오류 – 다시 스캔하세요");
        const QByteArray none;
        QTest::newRow("server down, by Enter") << "down" << none << 0 << false << noAnswer;
        QTest::newRow("server down, by click") << "down" << none << 0 << true << noAnswer;
        QTest::newRow("server stalls past the wait") << "hold" << none << 0 << false << noAnswer;
        QTest::newRow("connection dropped after the server took the call")
            << "drop" << none << 0 << false << noAnswer;
        QTest::newRow("connection dropped, by click") << "drop" << none << 0 << true << noAnswer;
        QTest::newRow("server error 500")
            << "answer" << QByteArray(R"({"error":"db down"})") << 500 << false << fault;
        QTest::newRow("server error 500, by click")
            << "answer" << QByteArray(R"({"error":"db down"})") << 500 << true << fault;
        QTest::newRow("busy server says so itself")
            << "answer" << QByteArray(R"({"error":"서버가 바쁩니다. 다시 스캔하세요"})") << 503
            << false << QStringLiteral("서버가 바쁩니다. 다시 스캔하세요");
        QTest::newRow("expired session says so itself")
            << "answer" << QByteArray(R"({"error":"다시 로그인하세요"})") << 401 << true
            << QStringLiteral("다시 로그인하세요");
        QTest::newRow("admission without the booking columns")
            << "answer" << CannedServer::recordSetJson({"ErrCode", "ErrMsg"}, {{"0", "입장 확인"}})
            << 200 << false << fault;
        QTest::newRow("admission with a null ticket number")
            << "answer" << booking("0", QStringLiteral("입장 확인"), QVariant()) << 200 << true
            << fault;
        QTest::newRow("refusal without ErrMsg")
            << "answer" << CannedServer::recordSetJson({"ErrCode"}, {{"-1"}}) << 200 << false
            << fault;
        QTest::newRow("answer larger than 1 MB")
            << "answer" << QByteArray(10 << 20, ' ') + booking("0", QStringLiteral("입장 확인"))
            << 200 << false << fault;
    }
    void failureIsShownAsNotChecked()
    {
        QFETCH(QString, server);
        QFETCH(QByteArray, answer);
        QFETCH(int, status);
        QFETCH(bool, byClick);
        QFETCH(QString, caption);
        const bool waits = server == u"hold";

        frm01 *s = openSignedIn();
        QVERIFY(s);
        showPreviousBooking(s);
        // The notice at once where the server stalls, never where it fails: no race with the wait.
        frm01::setCheckingNoticeMs(waits ? 0 : 3600 * 1000);
        ScriptedServer failing;
        if (server == u"down") {
            overrideAddresses(unreachableUrl(), unreachableUrl());
        } else {
            overrideAddresses(failing.url(), failing.url());
            if (server == u"hold") {
                BusinessObject::setTimeoutMs(1000);
                failing.hold(booking("0", QStringLiteral("입장 확인")));
            } else if (server == u"drop") {
                failing.drop();
            } else {
                failing.answer(answer, status);
            }
        }

        QTest::keyClicks(s->txtTicketNo, QStringLiteral("10000004"));
        if (byClick) {
            s->btnSave->setFocus();
            QTest::mouseClick(s->btnSave, Qt::LeftButton);
        } else {
            QTest::keyClick(s->txtTicketNo, Qt::Key_Return);
        }
        BusinessObject::setTimeoutMs(5000);

        QCOMPARE(m_windows.sounds.files, QStringList{QStringLiteral("./no.wav")});
        QCOMPARE(m_windows.sounds.captionsWhenPlayed.value(0),
                 waits ? station::checkingCaption() : kOld);
        QCOMPARE(captions(s), refused(caption));
        QVERIFY(s->lbl_BookingInfo->geometry().right() <= 969); // inside the status box
        QVERIFY2(m_windows.messages.texts.isEmpty(),
                 qPrintable(m_windows.messages.texts.join(u'\n')));
        QCOMPARE(s->txtTicketNo->text(), QStringLiteral("10000004"));
        QCOMPARE(s->txtTicketNo->selectedText(), QStringLiteral("10000004"));
        QTRY_VERIFY(s->txtTicketNo->hasFocus());

        // The next scan, typed wherever the focus is, replaces the kept ticket.
        overrideAddresses(m_server->url(), m_server->url());
        m_server->answerRaw(booking("0", QStringLiteral("입장 확인"), QStringLiteral("10000006")));
        scanIntoFocus(QStringLiteral("10000006"));
        QCOMPARE(m_server->commands, QStringList{verifyCommand("10000006")});
        QCOMPARE(s->lbl_TicketNo->caption(), QStringLiteral("10000006"));
        QCOMPARE(s->txtTicketNo->text(), QString());
    }

    void longValuesShrinkBeforeTheyAreCut_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<double>("lowest");
        QTest::addColumn<double>("highest");
        QTest::addColumn<bool>("fits");
        QTest::newRow("a short name keeps the designed size") << "홍길동" << 27.0 << 27.0 << true;
        QTest::newRow("a long name shrinks until it fits")
            << QStringLiteral("가나다라마바사아자차카타파하가나다라마바사아자차") << 16.2 << 26.9
            << true;
        QTest::newRow("a name too long even so stops at 60 %")
            << QString(60, QChar(u'가')) << 16.2 << 16.2 << false;
    }
    void longValuesShrinkBeforeTheyAreCut()
    {
        QFETCH(QString, name);
        QFETCH(double, lowest);
        QFETCH(double, highest);
        QFETCH(bool, fits);
        frm01 *s = openSignedIn();
        QVERIFY(s);
        QByteArray answer = booking("0", QStringLiteral("입장 확인"));
        answer.replace(QStringLiteral(" 홍길동 ").toUtf8(), name.toUtf8());
        m_server->answerRaw(answer);
        scanIntoFocus(QStringLiteral("10000001"));
        Label *label = s->lbl_CustName;
        QCOMPARE(label->caption(), name);
        const double size = label->font().pointSizeF();
        QVERIFY2(size >= lowest - 0.01 && size <= highest + 0.01,
                 qPrintable(QString::number(size)));
        QCOMPARE(label->fontMetrics().horizontalAdvance(name) <= label->width(), fits);
        // The verdict text stays inside its status box, and the next guest gets the full size.
        QVERIFY(s->lbl_BookingInfo->geometry().right() <= 969);
        m_server->answerRaw(booking("0", QStringLiteral("입장 확인")));
        scanIntoFocus(QStringLiteral("10000001"));
        QCOMPARE(label->font().pointSizeF(), 27.0);
    }

    void enterSendsTheKeptTicketAgain()
    {
        frm01 *s = openSignedIn();
        QVERIFY(s);
        m_server->answerRaw(R"({"error":"db down"})", 500);
        m_server->answerRaw(booking("0", QStringLiteral("입장 확인")));
        scanIntoFocus(QStringLiteral("10000001"));
        QCOMPARE(s->lbl_BookingInfo->caption(), QStringLiteral("서버 오류 – 다시 스캔하세요"));
        QTest::keyClick(s->txtTicketNo, Qt::Key_Return);
        QCOMPARE(m_server->commands, QStringList(2, verifyCommand("10000001")));
        QCOMPARE(captions(s), admitted(QStringLiteral("입장 확인")));
        QCOMPARE(m_windows.sounds.files, (QStringList{"./no.wav", "./ok.wav"}));
    }

    // Past a moment without an answer the verdict area says the ticket is being checked, and the
    // previous guest's booking is gone.
    void longWaitSaysCheckingAtOnce()
    {
        frm01 *s = openSignedIn();
        QVERIFY(s);
        showPreviousBooking(s);
        ScriptedServer slow;
        overrideAddresses(slow.url(), slow.url());
        slow.hold(booking("0", QStringLiteral("입장 확인")));
        QStringList seenWhileWaiting;
        QTimer probe;
        QObject::connect(&probe, &QTimer::timeout, [&] {
            if (slow.holding() && s->lbl_BookingInfo->caption() == station::checkingCaption()) {
                seenWhileWaiting = captions(s);
                slow.release();
            }
        });
        probe.start(20);
        scanIntoFocus(QStringLiteral("10000001"));
        QCOMPARE(seenWhileWaiting, refused(station::checkingCaption()));
        QCOMPARE(captions(s), admitted(QStringLiteral("입장 확인")));
    }

    // The server tells a re-send from a new scan by the Idempotency-Key of the call.
    void retriesCarryTheSameKey_data()
    {
        QTest::addColumn<bool>("firstFails");
        QTest::addColumn<QString>("secondScan");
        QTest::addColumn<bool>("sameKey");
        QTest::newRow("Enter after a failure re-sends with the same key") << true << "" << true;
        QTest::newRow("the same ticket scanned again after a failure keeps the key")
            << true << "10000001" << true;
        QTest::newRow("another ticket after a failure gets its own key")
            << true << "10000002" << false;
        QTest::newRow("the same ticket after an answer gets a fresh key")
            << false << "10000001" << false;
    }
    void retriesCarryTheSameKey()
    {
        QFETCH(bool, firstFails);
        QFETCH(QString, secondScan);
        QFETCH(bool, sameKey);
        frm01 *s = openSignedIn();
        QVERIFY(s);
        ScriptedServer server;
        overrideAddresses(server.url(), server.url());
        if (firstFails)
            server.answer(R"({"error":"db down"})", 500);
        else
            server.answer(booking("0", QStringLiteral("입장 확인")));
        server.answer(booking("-1", QStringLiteral("이미 입장")));
        scanIntoFocus(QStringLiteral("10000001"));
        if (secondScan.isEmpty())
            QTest::keyClick(s->txtTicketNo, Qt::Key_Return);
        else
            scanIntoFocus(secondScan);
        QCOMPARE(server.keys.size(), 2);
        QVERIFY(!QUuid::fromString(QString::fromLatin1(server.keys[0])).isNull());
        QVERIFY(!QUuid::fromString(QString::fromLatin1(server.keys[1])).isNull());
        QCOMPARE(server.keys[0] == server.keys[1], sameKey);
    }

    // A kept-alive connection that drops before the answer: whatever the network layer sends
    // again on its own, and the operator's retry, carry the key of that scan.
    void droppedConnectionKeepsTheKey()
    {
        frm01 *s = openSignedIn();
        QVERIFY(s);
        ScriptedServer server;
        overrideAddresses(server.url(), server.url());
        server.answer(booking("0", QStringLiteral("입장 확인")));
        server.drop();
        scanIntoFocus(QStringLiteral("10000001"));
        scanIntoFocus(QStringLiteral("10000002"));
        QCOMPARE(s->lbl_BookingInfo->caption(), QStringLiteral("서버 응답 없음 – 다시 스캔하세요"));
        const qsizetype sentOnce = server.commands.size();
        server.answer(booking("0", QStringLiteral("입장 확인")));
        QTest::keyClick(s->txtTicketNo, Qt::Key_Return);
        QCOMPARE(s->lbl_BookingInfo->caption(), QStringLiteral("입장 확인"));

        QCOMPARE(server.commands.size(), sentOnce + 1);
        for (qsizetype i = 1; i < server.commands.size(); ++i) {
            QCOMPARE(server.commands[i], verifyCommand("10000002"));
            QCOMPARE(server.keys[i], server.keys[1]);
        }
        QVERIFY(server.keys[1] != server.keys[0]);
    }

    // ---- scanner input

    void twoScansBackToBack()
    {
        frm01 *s = openSignedIn();
        QVERIFY(s);
        m_server->answerRaw(booking("0", QStringLiteral("입장 확인"), QStringLiteral("10000001")));
        m_server->answerRaw(booking("0", QStringLiteral("입장 확인"), QStringLiteral("10000002")));
        QTest::keyClicks(s->txtTicketNo, QStringLiteral("10000001"));
        QTest::keyClick(s->txtTicketNo, Qt::Key_Return);
        QTest::keyClicks(s->txtTicketNo, QStringLiteral("10000002"));
        QTest::keyClick(s->txtTicketNo, Qt::Key_Return);
        QCOMPARE(m_server->commands,
                 (QStringList{verifyCommand("10000001"), verifyCommand("10000002")}));
        QCOMPARE(s->lbl_TicketNo->caption(), QStringLiteral("10000002"));
        QCOMPARE(s->txtTicketNo->text(), QString());
    }

    // Keys that reach the station while it waits for the server (here: sent from a timer that
    // fires inside the wait) neither start a second verification inside the first nor land in
    // the box mid-way: they are held and delivered, in order, once the first one is done.
    void scanDuringTheWaitFollowsTheFirst_data()
    {
        QTest::addColumn<bool>("posted");
        QTest::addColumn<bool>("firstFails");
        QTest::newRow("keys sent directly during the wait") << false << false;
        QTest::newRow("keys posted during the wait") << true << false;
        // The kept ticket is selected, so the held scan replaces it instead of being appended.
        QTest::newRow("keys during a wait that fails replace the kept ticket") << false << true;
    }
    void scanDuringTheWaitFollowsTheFirst()
    {
        QFETCH(bool, posted);
        QFETCH(bool, firstFails);
        frm01 *s = openSignedIn();
        QVERIFY(s);
        showPreviousBooking(s);
        if (firstFails)
            m_server->answerRaw(R"({"error":"db down"})", 500);
        else
            m_server->answerRaw(
                booking("0", QStringLiteral("입장 확인"), QStringLiteral("10000001")));
        m_server->answerRaw(booking("-1", QStringLiteral("이미 입장"), QStringLiteral("10000002")));
        QTest::keyClicks(s->txtTicketNo, QStringLiteral("10000001"));

        bool insideTheWait = false;
        QString boxAfterSecondScan;
        QTimer::singleShot(0, s->txtTicketNo, [&] {
            insideTheWait = s->lbl_BookingInfo->caption() == kOld;
            const QString second = QStringLiteral("10000002");
            if (posted) {
                for (QChar c : second) {
                    const int key = Qt::Key_0 + c.digitValue();
                    QCoreApplication::postEvent(s->txtTicketNo,
                                                new QKeyEvent(QEvent::KeyPress, key, {}, c));
                    QCoreApplication::postEvent(s->txtTicketNo,
                                                new QKeyEvent(QEvent::KeyRelease, key, {}, c));
                }
                QCoreApplication::postEvent(s->txtTicketNo,
                                            new QKeyEvent(QEvent::KeyPress, Qt::Key_Return, {}));
                QCoreApplication::postEvent(s->txtTicketNo,
                                            new QKeyEvent(QEvent::KeyRelease, Qt::Key_Return, {}));
            } else {
                QTest::keyClicks(s->txtTicketNo, second);
                QTest::keyClick(s->txtTicketNo, Qt::Key_Return);
            }
            boxAfterSecondScan = s->txtTicketNo->text();
        });
        QTest::keyClick(s->txtTicketNo, Qt::Key_Return);

        QTRY_COMPARE(m_server->commands.size(), 2);
        QVERIFY(insideTheWait);
        if (!posted)
            QCOMPARE(boxAfterSecondScan, QStringLiteral("10000001"));
        QCOMPARE(m_server->commands,
                 (QStringList{verifyCommand("10000001"), verifyCommand("10000002")}));
        QCOMPARE(m_windows.sounds.files,
                 (QStringList{firstFails ? "./no.wav" : "./ok.wav", "./no.wav"}));
        QCOMPARE(s->lbl_BookingInfo->caption(), QStringLiteral("이미 입장"));
        QCOMPARE(s->txtTicketNo->text(), QString());
        QVERIFY(m_windows.messages.texts.isEmpty());
    }

    // ---- buttons

    void modeSwitchSequence()
    {
        frm01 *s = openSignedIn();
        QVERIFY(s);
        const QList<QStringList> expected{{"O", "./btn4on.jpg", "./btn4off.jpg"},
                                          {"I", "./btn3on.jpg", "./btn3off.jpg"},
                                          {"O", "./btn4on.jpg", "./btn4off.jpg"}};
        for (const QStringList &step : expected) {
            QTest::mouseClick(s->btnMode, Qt::LeftButton);
            QCOMPARE((QStringList{g_CheckMode, s->btnSave->pictureFile(),
                                  s->btnSave->downPictureFile()}),
                     step);
            QVERIFY(!s->btnSave->downPicture().isNull());
            QTRY_VERIFY(s->txtTicketNo->hasFocus());
        }
        QVERIFY(m_server->commands.isEmpty());
        QVERIFY(m_windows.messages.texts.isEmpty());
    }

    void firstVerificationThenModeSwitchGoesToExit()
    {
        frm01 *s = openSignedIn();
        QVERIFY(s);
        QTest::keyClick(s->txtTicketNo, Qt::Key_Return);
        QCOMPARE(g_CheckMode, QStringLiteral("I"));
        QTest::mouseClick(s->btnMode, Qt::LeftButton);
        QCOMPARE(g_CheckMode, QStringLiteral("O"));

        // The next scan asks for the exit.
        m_server->answerRaw(booking("0", QStringLiteral("퇴장 확인")));
        QTest::keyClicks(s->txtTicketNo, QStringLiteral("10000001"));
        QTest::keyClick(s->txtTicketNo, Qt::Key_Return);
        QCOMPARE(m_server->commands.value(0),
                 QStringLiteral("Exec Proc_GRVM_Admin_GetAdminQAV_BookingInfo "
                                "'O','GRVM0001','','10000001', 'gate01'"));
    }

    void modeSwitchWithAMissingPicture()
    {
        frm01 *s = openSignedIn();
        QVERIFY(s);
        QVERIFY(m_site->remove(QStringLiteral("btn4off.jpg")));
        QTest::mouseClick(s->btnMode, Qt::LeftButton);
        QCOMPARE(m_windows.messages.texts.size(), 1);
        QVERIFY(m_windows.messages.texts[0].startsWith(QStringLiteral("실행 오류 '201':")));
        QCOMPARE(g_CheckMode, QStringLiteral("O"));
        QVERIFY(Global::frm01.isLoaded());

        QTest::mouseClick(s->btnMode, Qt::LeftButton);
        QCOMPARE(g_CheckMode, QStringLiteral("I"));
        QCOMPARE(s->btnSave->downPictureFile(), QStringLiteral("./btn3off.jpg"));
    }

    void scoreButtonShowsTheSummary()
    {
        frm01 *s = openSignedIn();
        QVERIFY(s);
        QTest::mouseClick(s->btnScore, Qt::LeftButton);
        QVERIFY(m_windows.messages.texts.isEmpty());
        QVERIFY(Global::frm03.isLoaded());
        QVERIFY(Global::frm03->window()->isVisible());
        QCOMPARE(Global::frm03->window()->parentWidget(), nullptr);
        const QString summary =
            QStringLiteral("Exec Proc_GRVM_Admin_GetAdminQAV_BookingInfo 'S','GRVM0001','','',''");
        QCOMPARE(m_server->commands, QStringList{summary});
        QCOMPARE(s->btnScore->pictureFile(), QStringLiteral("./btn5off.jpg"));

        QTest::mouseClick(s->btnScore, Qt::LeftButton);
        QCOMPARE(m_server->commands, QStringList(2, summary));

        // The panel's exit hands the station its score picture and the focus back.
        Global::frm03->btnExit_Click();
        QCOMPARE(s->btnScore->pictureFile(), QStringLiteral("./btn5on.jpg"));
        QVERIFY(Global::frm01.isLoaded());
    }

    // The panel is shown without taking the keyboard, and a key that reaches it all the same goes
    // on to the ticket box: scans made while it is open are verified as usual.
    void summaryPanelNeverTakesScans()
    {
        frm01 *s = openSignedIn();
        QVERIFY(s);
        QTRY_VERIFY(s->txtTicketNo->hasFocus());
        QTest::mouseClick(s->btnScore, Qt::LeftButton);
        QWidget *panel = Global::frm03->window();
        QVERIFY(panel->isVisible());
        QVERIFY(panel->testAttribute(Qt::WA_ShowWithoutActivating));
        // Above the full-screen station, never focused, owned by no window.
        QVERIFY(panel->windowFlags().testFlags(Qt::WindowStaysOnTopHint |
                                               Qt::WindowDoesNotAcceptFocus));
        QCOMPARE(panel->windowHandle()->transientParent(), nullptr);
        QCOMPARE(s->window()->focusWidget(), s->txtTicketNo);

        m_server->commands.clear();
        m_server->answerRaw(booking("0", QStringLiteral("입장 확인")));
        scanIntoFocus(QStringLiteral("10000001"));
        QCOMPARE(s->lbl_BookingInfo->caption(), QStringLiteral("입장 확인"));

        m_server->answerRaw(booking("-1", QStringLiteral("이미 입장")));
        QTest::keyClicks(panel, QStringLiteral("10000001"));
        QTest::keyClick(panel, Qt::Key_Return);
        QCOMPARE(m_server->commands, QStringList(2, verifyCommand("10000001")));
        QCOMPARE(s->lbl_BookingInfo->caption(), QStringLiteral("이미 입장"));
        QCOMPARE(s->txtTicketNo->text(), QString());
        QVERIFY(Global::frm03.isLoaded());
    }

    void closeBoxAndCtrlAltF7CloseTheStation_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("close picture") << 0;
        QTest::newRow("Ctrl+Alt+F7") << 1;
        QTest::newRow("window manager close (Alt+F4)") << 2;
    }
    void closeBoxAndCtrlAltF7CloseTheStation()
    {
        QFETCH(int, how);
        frm01 *s = openSignedIn();
        QVERIFY(s);
        QTest::keyClick(s->txtTicketNo, Qt::Key_F7); // F7 alone does nothing
        QTest::keyClick(s->txtTicketNo, Qt::Key_F7, Qt::ControlModifier);
        QVERIFY(Global::frm01.isLoaded());
        if (how == 0)
            QTest::mouseClick(s->Command2, Qt::LeftButton);
        else if (how == 1)
            QTest::keyClick(s->txtTicketNo, Qt::Key_F7, Qt::ControlModifier | Qt::AltModifier);
        else
            s->window()->close();
        QVERIFY(Global::frm01.isNull());
        QCOMPARE(Form::loadedCount(), 0);
        QCOMPARE(m_windows.programEnds, 1);
        QVERIFY(m_windows.messages.texts.isEmpty());
    }
};

QTEST_MAIN(TestStation)
#include "tst_station.moc"
