#include "station/frm01.h"

#include "assets/Assets.h"
#include "remote/Commands.h"
#include "remote/ServerChannel.h"
#include "shell/Addresses.h"
#include "shell/Global.h"
#include "shell/Lifecycle.h"
#include "shell/Look.h"
#include "shell/MessageBox.h"
#include "shell/ProfileReader.h"
#include "shell/QavError.h"
#include "shell/SummaryLink.h"
#include "station/LogoView.h"
#include "station/Sound.h"
#include "station/StationKeyPreview.h"
#include "station/StationLogic.h"
#include "station/StationWindow.h"
#include "summary/frm03.h"

#include <QApplication>
#include <QDebug>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <QUuid>

namespace {

const QString kCheckPlaceCode = QStringLiteral("▶ qav.ini 파일의 PlaceCode 확인해주세요");
const QString kNotVerified = QStringLiteral("인증 실패");
const QString kOkSound = QStringLiteral("./ok.wav");
const QString kNoSound = QStringLiteral("./no.wav");
// A verification waits this long for its answer, and says it is checking after the first moment.
constexpr int kVerificationTimeoutMs = 5000;
int s_checkingNoticeMs = frm01::defaultCheckingNoticeMs;
// The right edge, in pixels, of the status box drawn in the background picture.
constexpr int kStatusBoxRight = 969;

Label *makeLabel(QWidget *parent, const QRect &geometry, double points, bool autoSize = false,
                 bool bold = false)
{
    auto *label = new Label(parent, autoSize);
    label->setGeometry(geometry);
    label->setFont(gulim(points, bold));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::ButtonText));
    label->setPalette(palette);
    return label;
}

PictureButton *makePictureButton(QWidget *parent, const QRect &geometry, const QString &up,
                                 const QString &down)
{
    auto *button = new PictureButton(parent);
    button->setGeometry(geometry);
    button->setPicture(QPixmap(QStringLiteral(":/builtin/") + up));
    button->setDownPicture(QPixmap(QStringLiteral(":/builtin/") + down));
    return button;
}

int twipsOf(int pixels)
{
    return pixels * 15;
}

} // namespace

QWidget *frm01::createWindow()
{
    qav::initAssets();
    auto *w = new StationWindow;
    w->resize(tw(15390), tw(11535));

    lbl_CustName = makeLabel(w, twipsRect(3120, 5520, 11415, 735), 27);
    lbl_TicketNo = makeLabel(w, twipsRect(3120, 6240, 11415, 615), 27);
    lbl_GoodsName = makeLabel(w, twipsRect(3120, 6960, 11415, 615), 27);
    lbl_PlayDate = makeLabel(w, twipsRect(3120, 7560, 11415, 735), 27);
    lbl_PlaceName = makeLabel(w, twipsRect(3120, 8280, 11415, 615), 27);
    lbl_SeatGradeName = makeLabel(w, twipsRect(3120, 8880, 11415, 735), 24.75);
    lbl_SeatInfo = makeLabel(w, twipsRect(3120, 9600, 11415, 735), 24.75);

    // Long values shrink to 60 % of their designed size before they are cut: a name or a seat
    // must stay readable, and the verdict should stay inside its status box.
    for (Label *label : bookingLabels())
        label->shrinkToFit(0.6);

    lbl_BookingInfo = makeLabel(w, twipsRect(960, 3960, 13635, 1200), 60, true, true);
    lbl_BookingInfo->shrinkToFit(0.6, kStatusBoxRight - lbl_BookingInfo->x());
    lbl_BookingInfo->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    QPalette red = lbl_BookingInfo->palette();
    red.setColor(QPalette::WindowText, QColor(255, 0, 0));
    lbl_BookingInfo->setPalette(red);

    lbl_GoodsNameInfo = makeLabel(w, twipsRect(7965, 600, 285, 795), 39.75, true);
    lbl_GoodsNameInfo->setAlignment(Qt::AlignHCenter | Qt::AlignTop);

    txtTicketNo = makeTextBox(w, false);
    txtTicketNo->setGeometry(twipsRect(5040, 2280, 5295, 855));
    txtTicketNo->setFont(gulim(30));

    btnMode =
        makePictureButton(w, twipsRect(720, 2280, 1695, 855), QStringLiteral("btn_mode_up.jpg"),
                          QStringLiteral("btn_mode_down.jpg"));
    btnScore =
        makePictureButton(w, twipsRect(13560, 2280, 1335, 855), QStringLiteral("btn_score_up.jpg"),
                          QStringLiteral("btn_score_down.jpg"));
    btnSave =
        makePictureButton(w, twipsRect(11520, 2280, 1695, 855), QStringLiteral("btn_save_up.jpg"),
                          QStringLiteral("btn_save_down.jpg"));

    WebBrowser1 = new LogoView(w);
    WebBrowser1->setGeometry(twipsRect(-120, -120, 2535, 2055));

    Command2 = new ImageControl(w);
    const QPixmap close(QStringLiteral(":/builtin/close.jpg"));
    Command2->setPixmap(close);
    Command2->setGeometry(
        QRect(QPoint(tw(14400), tw(240)), close.deviceIndependentSize().toSize()));

    // The controls carry their layout names, for whoever inspects the running window.
    const std::pair<QWidget *, const char *> names[] = {{lbl_CustName, "lbl_CustName"},
                                                        {lbl_TicketNo, "lbl_TicketNo"},
                                                        {lbl_GoodsName, "lbl_GoodsName"},
                                                        {lbl_PlayDate, "lbl_PlayDate"},
                                                        {lbl_PlaceName, "lbl_PlaceName"},
                                                        {lbl_SeatGradeName, "lbl_SeatGradeName"},
                                                        {lbl_SeatInfo, "lbl_SeatInfo"},
                                                        {lbl_BookingInfo, "lbl_BookingInfo"},
                                                        {lbl_GoodsNameInfo, "lbl_GoodsNameInfo"},
                                                        {txtTicketNo, "txtTicketNo"},
                                                        {btnMode, "btnMode"},
                                                        {btnScore, "btnScore"},
                                                        {btnSave, "btnSave"},
                                                        {WebBrowser1, "WebBrowser1"},
                                                        {Command2, "Command2"}};
    for (const auto &[control, name] : names)
        control->setObjectName(QLatin1String(name));

    m_tabOrder = {txtTicketNo, btnMode, btnScore, btnSave, WebBrowser1};
    setTabIndex(txtTicketNo, 0);
    w->focusWhenShown = txtTicketNo;

    connect(btnSave, &QAbstractButton::clicked, this,
            [this] { runHandler([this] { btnSave_Click(); }); });
    connect(btnMode, &QAbstractButton::clicked, this,
            [this] { runHandler([this] { btnMode_Click(); }); });
    connect(btnScore, &QAbstractButton::clicked, this,
            [this] { runHandler([this] { btnScore_Click(); }); });
    connect(Command2, &ImageControl::clicked, this,
            [this] { runHandler([this] { Command2_Click(); }); });

    StationKeyPreview::Hooks hooks;
    hooks.holdingKeys = [this] { return m_holdingKeys; };
    hooks.holdKey = [this](QWidget *target, std::unique_ptr<QKeyEvent> key) {
        m_heldKeys.emplace_back(target, std::move(key));
    };
    hooks.keyDown = [this](int &keyCode, int shift) { Form_KeyDown(keyCode, shift); };
    // The summary panel never keeps a key: a scan made while it has the keyboard is verified as
    // usual.
    hooks.keyTargetFor = [this](QWidget *outside) -> QWidget * {
        const bool onPanel =
            Global::frm03.isLoaded() && outside->window() == Global::frm03.instance()->window();
        return onPanel ? txtTicketNo : nullptr;
    };
    qApp->installEventFilter(new StationKeyPreview(this, w, std::move(hooks)));

    // Gone with the window: a station that is already gone stays gone.
    connect(&SummaryLink::instance(), &SummaryLink::leftByExit, w,
            [this] { runHandler([this] { returnFromSummary(); }); });
    return w;
}

void frm01::setCheckingNoticeMs(int ms)
{
    s_checkingNoticeMs = ms;
}

QString frm01::GetPlaceCode()
{
    return ReadPlaceCode();
}

void frm01::Form_Load()
{
    // The station cannot work without its start-up: any failure here ends the program.
    try {
        startUp();
    } catch (const HandlerAbandoned &) {
        throw;
    } catch (const QavError &e) {
        throw e.asFatal();
    } catch (const std::exception &e) {
        throw QavError(999, QString::fromLocal8Bit(e.what())).asFatal();
    }
}

void frm01::startUp()
{
    Move(0, 0);
    if (ReadFitToScreen())
        fitToScreen();

    QWidget *w = window();
    xx = new QWidget(w);
    xx->setObjectName(QStringLiteral("xx"));
    xx->hide();
    xx->setGeometry(twipsRect(twipsOf(WebBrowser1->x()), twipsOf(WebBrowser1->y()),
                              twipsOf(WebBrowser1->width()), twipsOf(WebBrowser1->height())));
    WebBrowser1->setParent(xx);
    WebBrowser1->show();
    // The browser reaches past the frame's edges so that its own border stays out of sight.
    const int beyond = qRound(250 * m_layoutScale);
    WebBrowser1->setGeometry(
        twipsRect(0, 0, twipsOf(xx->width()) + beyond, twipsOf(xx->height()) + beyond));
    setTabIndex(WebBrowser1, 4);
    xx->show();

    WebBrowser1->Navigate(station::logoAddress(ImageServerAddress(), GetPlaceCode()));

    ServerChannel channel;

    if (GetPlaceCode().isEmpty()) {
        MsgBox(kCheckPlaceCode);
        CloseStation();
        return;
    }

    const std::unique_ptr<RecordSet> rs = channel.query(Commands::PlaceSignIn(GetPlaceCode()));
    const QString errCode = rs->Fields(QStringLiteral("ErrCode"));
    const bool eof = rs->Eof();
    if (station::placeSignInAccepted(errCode, eof)) {
        g_BizCode = rs->Fields(QStringLiteral("bizcode"));
        g_GoodsName = rs->Fields(QStringLiteral("GoodsName"));
        setTabIndex(txtTicketNo, 0);
        btnSave->loadPicture(QStringLiteral("./btn3on.jpg"));
        lbl_GoodsNameInfo->setCaption(g_GoodsName);
    } else {
        MsgBox(kCheckPlaceCode);
        txtTicketNo->setFocus();
        ResetTicketInput();
    }
}

void frm01::fitToScreen()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QSize area = screen->geometry().size();
    const QSize design = StationWindow::artworkSize;
    const double scale =
        qMin(area.width() / double(design.width()), area.height() / double(design.height()));
    if (scale <= 1.0)
        return;
    m_layoutScale = scale;
    auto scaled = [scale](const QRect &r) {
        return QRect(qRound(r.x() * scale), qRound(r.y() * scale), qRound(r.width() * scale),
                     qRound(r.height() * scale));
    };

    auto *w = static_cast<StationWindow *>(window());
    w->setArtworkScale(scale);
    w->resize(scaled(w->rect()).size());
    for (QWidget *control : w->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        control->setGeometry(scaled(control->geometry()));
        // Text is drawn anew at the larger size, so it stays sharp.
        if (control->testAttribute(Qt::WA_SetFont)) {
            QFont font = control->font();
            font.setPointSizeF(font.pointSizeF() * scale);
            control->setFont(font);
        }
    }
    for (Label *label : bookingLabels())
        label->shrinkToFit(0.6);
    lbl_BookingInfo->shrinkToFit(0.6, qRound(kStatusBoxRight * scale) - lbl_BookingInfo->x());
    for (PictureButton *button : {btnMode, btnScore, btnSave})
        button->setPictureScale(scale);
    Command2->setPixmap(QPixmap(QStringLiteral(":/builtin/close@2x.jpg")));
    Command2->setScaledContents(true);
    WebBrowser1->setScale(scale);
}

void frm01::btnSave_Click()
{
    // Keys that arrive while the server is asked wait, and are delivered in order afterwards.
    QPointer<frm01> self(this);
    const bool wasHolding = m_holdingKeys;
    m_holdingKeys = true;
    try {
        verify();
    } catch (...) {
        if (self) {
            m_holdingKeys = wasHolding;
            deliverHeldKeys();
        }
        throw;
    }
    if (self) {
        m_holdingKeys = wasHolding;
        deliverHeldKeys();
    }
}

void frm01::verify()
{
    station::Display shown;
    QPointer<frm01> self(this);
    try {
        ServerChannel channel;

        const QString ticket = station::ticketNumberOf(txtTicketNo->text());
        if (g_CheckMode.isEmpty())
            g_CheckMode = QStringLiteral("I");

        if (ticket.isEmpty()) {
            soundPlayer().play(kNoSound);
            lbl_BookingInfo->setCaption(kNotVerified);
            txtTicketNo->setFocus();
            return;
        }

        const QString command = Commands::Verification(g_CheckMode, g_BizCode, ticket, g_AdminId);
        QueryOptions options;
        options.timeoutMs = kVerificationTimeoutMs;
        options.idempotencyKey = idempotencyKeyFor(command);

        QTimer notice;
        notice.setSingleShot(true);
        connect(&notice, &QTimer::timeout, this, [this] { showChecking(); });
        notice.start(s_checkingNoticeMs);
        const std::unique_ptr<RecordSet> rs = channel.query(command, options);
        notice.stop();
        // The wait runs the event loop: the station may have been closed meanwhile.
        if (!self || !isLoaded())
            throw HandlerAbandoned{};

        shown = station::displayOf(*rs);
    } catch (const QavError &failure) {
        // The wait runs the event loop: the station may have been closed meanwhile.
        if (!self || !isLoaded())
            throw HandlerAbandoned{};
        showNotChecked(station::notCheckedCaption(failure));
        return;
    }

    m_unansweredCommand.clear();
    m_unansweredKey.clear();
    txtTicketNo->setFocus();
    soundPlayer().play(shown.verdict == station::Verdict::Admit ? kOkSound : kNoSound);
    lbl_BookingInfo->setCaption(shown.message);
    const QList<Label *> booking = bookingLabels();
    for (qsizetype i = 0; i < shown.booking.size(); ++i)
        booking[i]->setCaption(shown.booking[i]);
    txtTicketNo->setFocus();
    ResetTicketInput();
}

QByteArray frm01::idempotencyKeyFor(const QString &command)
{
    if (command != m_unansweredCommand || m_unansweredKey.isEmpty()) {
        m_unansweredCommand = command;
        m_unansweredKey = QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
    }
    return m_unansweredKey;
}

void frm01::showNotChecked(const QString &why)
{
    soundPlayer().play(kNoSound);
    lbl_BookingInfo->setCaption(why);
    clearBooking();
    txtTicketNo->setFocus();
    txtTicketNo->selectAll();
}

void frm01::showChecking()
{
    if (!isLoaded())
        return;
    lbl_BookingInfo->setCaption(station::checkingCaption());
    clearBooking();
}

QList<Label *> frm01::bookingLabels() const
{
    return {lbl_CustName,  lbl_TicketNo,      lbl_GoodsName, lbl_PlayDate,
            lbl_PlaceName, lbl_SeatGradeName, lbl_SeatInfo};
}

void frm01::clearBooking()
{
    for (Label *label : bookingLabels())
        label->setCaption(QString());
}

void frm01::deliverHeldKeys()
{
    // A delivered Enter may start a verification that holds keys again and delivers the rest.
    while (!m_holdingKeys && !m_heldKeys.empty()) {
        auto [target, key] = std::move(m_heldKeys.front());
        m_heldKeys.pop_front();
        if (!isLoaded()) {
            m_heldKeys.clear();
            return;
        }
        QPointer<frm01> self(this);
        if (target)
            QCoreApplication::sendEvent(target, key.get());
        if (!self)
            return;
    }
}

void frm01::btnMode_Click()
{
    const station::ModeSwitch next = station::nextMode(g_CheckMode);
    g_CheckMode = next.mode;
    btnSave->loadPicture(next.normalPicture);
    btnSave->loadDownPicture(next.downPicture);
    txtTicketNo->setFocus();
}

void frm01::btnScore_Click()
{
    Global::frm03->Show();
    Global::frm03->Form3Show();
    btnScore->loadPicture(QStringLiteral("./btn5off.jpg"));
}

void frm01::returnFromSummary()
{
    if (!isLoaded())
        return;
    window()->activateWindow();
    txtTicketNo->setFocus();
    btnScore->loadPicture(QStringLiteral("./btn5on.jpg"));
}

void frm01::Command2_Click()
{
    CloseStation();
}

void frm01::Form_Close()
{
    // A close from the window manager (Alt+F4) ends the station as its close picture does;
    // unloading only the station would leave the hidden console running.
    CloseStation();
}

void frm01::Form_KeyDown(int &keyCode, int)
{
    if (keyCode != 13)
        return;
    // Enter ignores what goes wrong in the verification it starts: a failed scan is already shown
    // as not checked with its number kept in the box, so the next Enter sends it again. Nothing
    // may leave here, as the key comes from the event loop; what was not foreseen goes to the
    // technician's terminal instead of a message box at the gate.
    try {
        btnSave_Click();
    } catch (const HandlerAbandoned &) {
        // The station was closed while the verification waited.
    } catch (const QavError &e) {
        qWarning().noquote() << "verification by Enter failed:" << e.number() << e.description();
    } catch (const std::exception &e) {
        qWarning().noquote() << "verification by Enter failed:" << e.what();
    } catch (...) {
        qWarning("verification by Enter failed: unknown error");
    }
}

void frm01::ResetTicketInput()
{
    txtTicketNo->setText(QString());
    setTabIndex(txtTicketNo, 0);
}

void frm01::setTabIndex(QWidget *control, int index)
{
    m_tabOrder.removeOne(control);
    m_tabOrder.insert(qBound(0, index, int(m_tabOrder.size())), control);
    for (qsizetype i = 0; i + 1 < m_tabOrder.size(); ++i)
        QWidget::setTabOrder(m_tabOrder[i], m_tabOrder[i + 1]);
}
