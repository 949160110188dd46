#include "summary/frm03.h"

#include "assets/Assets.h"
#include "remote/Commands.h"
#include "remote/ServerChannel.h"
#include "shell/Global.h"
#include "shell/Lifecycle.h"
#include "shell/Look.h"
#include "shell/SummaryLink.h"

#include <QApplication>
#include <QIcon>
#include <QPixmap>
#include <QWindow>

namespace {

// The X11 window type "dialog", as the platform's window integration reads it.
constexpr int kX11DialogType = 0x80;

} // namespace

QWidget *frm03::createWindow()
{
    qav::initAssets();
    // Kept above the full-screen station, which has no room beside it, yet owned by no window.
    // It never takes the keyboard, not even when clicked: scans belong to the station, which also
    // takes any key that reaches the panel all the same.
    auto *w =
        new QWidget(nullptr, Qt::Window | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus);
    w->setWindowTitle(QStringLiteral("입장현황"));
    w->setAttribute(Qt::WA_ShowWithoutActivating);
    // An icon of its own that shows nothing, so the application's icon is not inherited.
    QPixmap blank(16, 16);
    blank.fill(Qt::transparent);
    w->setWindowIcon(QIcon(blank));
    w->resize(tw(7125), tw(7590));

    auto *background = new QLabel(w);
    background->setPixmap(QPixmap(QStringLiteral(":/builtin/summary_background.jpg")));
    background->setGeometry(QRect(QPoint(0, 0), background->pixmap().size()));

    const QColor buttonText = QApplication::palette().color(QPalette::ButtonText);
    auto value = [&](int top) {
        auto *label = new Label(w, true);
        label->setGeometry(twipsRect(1000, top, 10000, 405));
        label->setFont(gulim(20.25));
        QPalette p = label->palette();
        p.setColor(QPalette::WindowText, buttonText);
        label->setPalette(p);
        return label;
    };
    lbl_Total = value(1320);
    lbl_A = value(1920);
    lbl_B = value(2520);
    lbl_C = value(3240);
    lbl_D = value(3840);
    lbl_E = value(4440);
    lbl_F = value(5160);
    lbl_G = value(5880);
    lbl_H = value(6480);

    btnExit = new ImageControl(w);
    btnExit->setGeometry(twipsRect(6360, 120, 615, 615));
    connect(btnExit, &ImageControl::clicked, this,
            [this] { runHandler([this] { btnExit_Click(); }); });

    // Some X window managers (openbox) put a focused borderless window that fills the screen
    // above every window kept on top. A dialog that names no owner belongs to its whole program
    // there and stays above the program's windows, the station included. The platform reads
    // the type when the flags of the native window change.
    w->winId();
    if (QWindow *handle = w->windowHandle()) {
        handle->setProperty("_q_xcb_wm_window_type", kX11DialogType);
        const Qt::WindowFlags flags = handle->flags();
        handle->setFlags(flags & ~Qt::WindowDoesNotAcceptFocus);
        handle->setFlags(flags);
    }
    return w;
}

void frm03::Form3Show()
{
    ServerChannel channel;
    const std::unique_ptr<RecordSet> answer = channel.query(Commands::Summary(g_BizCode));

    if (!answer->Eof()) {
        const std::pair<Label *, const char16_t *> lines[] = {
            {lbl_Total, u"Total"}, {lbl_A, u"A"}, {lbl_B, u"B"}, {lbl_C, u"C"}, {lbl_D, u"D"},
            {lbl_E, u"E"},         {lbl_F, u"F"}, {lbl_G, u"G"}, {lbl_H, u"H"}};
        for (const auto &[label, column] : lines)
            label->setCaption(answer->Fields(QString::fromUtf16(column)));
    }
}

void frm03::btnExit_Click()
{
    CloseSummary();
    emit SummaryLink::instance().leftByExit();
}
