#include "console/frmQAV.h"

#include "assets/Assets.h"
#include "console/ConsoleLogic.h"
#include "remote/Commands.h"
#include "remote/ServerChannel.h"
#include "shell/Global.h"
#include "shell/Lifecycle.h"
#include "shell/Look.h"
#include "shell/MessageBox.h"
#include "shell/QavError.h"
#include "shell/cMontionInfo.h"
#include "station/frm01.h"

#include <QApplication>
#include <QDebug>
#include <QGuiApplication>
#include <QIcon>
#include <QPalette>
#include <QScreen>

namespace {

void setTextColour(QWidget *w, const QColor &colour)
{
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, colour);
    p.setColor(QPalette::Text, colour);
    w->setPalette(p);
}

Label *makeLabel(QWidget *parent, const QRect &rect, const QString &caption, const QFont &font,
                 const QColor &colour)
{
    auto *label = new Label(parent);
    label->setGeometry(rect);
    label->setFont(font);
    setTextColour(label, colour);
    label->setCaption(caption);
    return label;
}

QPushButton *makeButton(QWidget *parent, const QRect &rect, const QString &text)
{
    auto *button = new QPushButton(text, parent);
    button->setGeometry(rect);
    // Enter and Escape do nothing on the console.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

} // namespace

QWidget *frmQAV::createWindow()
{
    qav::initAssets();
    const QPalette system = QApplication::palette();

    auto *w =
        new QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    w->setWindowTitle(QStringLiteral("Quorvanta QAV"));
    w->setWindowIcon(QIcon(QStringLiteral(":/builtin/console_icon.png")));
    w->setFixedSize(tw(4800), tw(5430));
    QPalette back = w->palette();
    back.setColor(QPalette::Window, Qt::white);
    w->setPalette(back);
    w->setAutoFillBackground(true);

    auto *background = new QLabel(w);
    background->setPixmap(QPixmap(QStringLiteral(":/builtin/console_background.jpg")));
    background->setGeometry(QRect(QPoint(0, 0), background->pixmap().size()));

    txtID = makeTextBox(w, true);
    txtID->setGeometry(twipsRect(1080, 1560, 1575, 270));

    txtPass = makeTextBox(w, true);
    txtPass->setGeometry(twipsRect(1080, 1920, 1575, 270));
    txtPass->setStyleSheet(txtPass->styleSheet() +
                           QStringLiteral(" QLineEdit { lineedit-password-character: 42; }"));
    txtPass->setEchoMode(QLineEdit::Password);
    // The box takes its password character from the style only on a style change, which can
    // come before the sheet's rules are in place: announce one once they are.
    txtPass->ensurePolished();
    QEvent styleChanged(QEvent::StyleChange);
    QCoreApplication::sendEvent(txtPass, &styleChanged);
    // Passwords go in as typed keys, never through an input method's composition.
    txtPass->setAttribute(Qt::WA_InputMethodEnabled, false);
    txtPass->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData |
                                 Qt::ImhNoPredictiveText);

    // The frame comes before the two buttons so that they are drawn over it.
    Frame1 = new QGroupBox(QStringLiteral("QAV 화면 디스플레이"), w);
    Frame1->setGeometry(twipsRect(480, 3120, 3855, 1215));
    Frame1->setFocusPolicy(Qt::NoFocus);
    QPalette framePalette = Frame1->palette();
    framePalette.setColor(QPalette::Window, system.color(QPalette::Window));
    framePalette.setColor(QPalette::WindowText, system.color(QPalette::WindowText));
    Frame1->setPalette(framePalette);
    Frame1->setAutoFillBackground(true);

    btnQAVOpen = makeButton(w, twipsRect(720, 3480, 1335, 615), QStringLiteral("QAV OPEN"));
    btnQAVClose = makeButton(w, twipsRect(2640, 3480, 1335, 615), QStringLiteral("QAV CLOSE"));

    const QColor windowText = system.color(QPalette::WindowText);
    Label1 = makeLabel(w, twipsRect(480, 360, 2655, 495), QStringLiteral("Quorvanta QAV"),
                       gulim(15.75, true), windowText);
    Label2 = makeLabel(w, twipsRect(480, 4680, 3975, 375),
                       QStringLiteral("QAV화면을 닫으려면 Ctrl + Alt + F7을 눌러주세요"),
                       gulim(9, true), QColor(0, 0, 64));

    btnLogin = makeButton(w, twipsRect(3120, 1920, 975, 255), QStringLiteral("로그인"));

    lblID = makeLabel(w, twipsRect(480, 1560, 375, 255), QStringLiteral("ID"), gulim(9, true),
                      windowText);
    lblPWD = makeLabel(w, twipsRect(480, 2040, 495, 255), QStringLiteral("PWD"), gulim(9, true),
                       system.color(QPalette::ButtonText));
    lbl_LoginInfo =
        makeLabel(w, twipsRect(600, 2520, 3615, 375), QString(), gulim(9, true), QColor(0, 0, 255));

    connect(btnLogin, &QPushButton::clicked, this,
            [this] { runHandler([this] { btnLogin_Click(); }); });
    connect(btnQAVOpen, &QPushButton::clicked, this,
            [this] { runHandler([this] { btnQAVOpen_Click(); }); });
    connect(btnQAVClose, &QPushButton::clicked, this,
            [this] { runHandler([this] { btnQAVClose_Click(); }); });

    txtID->setFocus();
    return w;
}

void frmQAV::Form_Load()
{
    QWidget::setTabOrder(txtID, txtPass);
    QWidget::setTabOrder(txtPass, btnQAVOpen);
    QWidget::setTabOrder(btnQAVOpen, btnQAVClose);
    QWidget::setTabOrder(btnQAVClose, btnLogin);
}

void frmQAV::ClearLoginForm()
{
    txtID->clear();
    txtPass->clear();
    lbl_LoginInfo->setCaption(QString());
}

void frmQAV::btnLogin_Click()
{
    try {
        lbl_LoginInfo->setCaption(QString());

        // A new sign-in stands on the password alone, never on the session it may replace.
        ServerChannel channel(ServerChannel::Session::None);

        const QString id = txtID->text();
        const QString pass = txtPass->text();
        if (id.isEmpty() || pass.isEmpty()) {
            lbl_LoginInfo->setCaption(QStringLiteral("▶ 로그인 정보를 입력하세요"));
            return;
        }

        auto answer = channel.query(Commands::OperatorSignIn(id, pass));
        const console::SignIn signIn = console::signInOf(*answer);

        if (signIn.outcome == console::SignInOutcome::Refused) {
            ClearLoginForm();
            lbl_LoginInfo->setCaption(QStringLiteral("▶ 입력한 정보를 확인하시고 ") + u'\r' +
                                      QStringLiteral("     다시 로그인해주세요"));
            return;
        }

        g_BizCode = signIn.bizCode;
        g_GoodsName = signIn.goodsName;
        g_AdminId = id;
        g_SessionKey = signIn.sessionKey;
        if (signIn.outcome == console::SignInOutcome::SignedIn) {
            lbl_LoginInfo->setCaption(signIn.venueName + QStringLiteral("에서 로그인 되었습니다"));
            return;
        }
    } catch (const QavError &e) {
        // Every failure of the sign-in ends in the same tail: the station cannot run without it.
        // The reason (an untrusted server certificate, say) goes to the technician's terminal.
        qWarning().noquote() << "sign-in failed:" << e.number() << e.description();
    } catch (const std::exception &) {
    }
    MsgBox(QStringLiteral("시스템의 문제로 인해 로그인을 하지 못했습니다"));
    CloseStation();
}

void frmQAV::btnQAVOpen_Click()
{
    const int monitors = cMontionInfo().DisplayMonitorCount();

    if (g_BizCode.isEmpty()) {
        MsgBox(QStringLiteral("로그인 후에 QAV 화면을 열어주세요"));
        return;
    }

    // No monitor reported still opens the station on the primary screen.
    const qint16 index = monitors <= 1 ? qint16(qMax(monitors, 1)) : qint16(1);
    frmInit(index);

    // A station start-up that closed the program has dropped the console: leave it gone.
    if (Global::frmQAV.isLoaded())
        Global::frmQAV->Hide();
}

void frmQAV::frmInit(qint16 monitorIndex)
{
    if (monitorIndex != 1)
        return;
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    Global::frm01->setWidth(screen.width() * 15);
    Global::frm01->setHeight(screen.height() * 15);
    Global::frm01->Show();
}

void frmQAV::btnQAVClose_Click()
{
    CloseStation();
}

void frmQAV::Form_Close()
{
    // The title bar's close box does what the close button does: nothing is left running.
    btnQAVClose_Click();
}
