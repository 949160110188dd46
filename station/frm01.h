#pragma once

#include "shell/Controls.h"
#include "shell/Form.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QPointer>

#include <deque>
#include <memory>

class LogoView;

// The full-screen check station. Loading it runs the station's start-up (Form_Load): logo,
// place code and the place-code sign-in. Its controls are public for the tests that drive it.
class frm01 : public Form
{
    Q_OBJECT
public:
    Label *lbl_CustName = nullptr;
    Label *lbl_TicketNo = nullptr;
    Label *lbl_GoodsName = nullptr;
    Label *lbl_PlayDate = nullptr;
    Label *lbl_PlaceName = nullptr;
    Label *lbl_SeatGradeName = nullptr;
    Label *lbl_SeatInfo = nullptr;
    Label *lbl_BookingInfo = nullptr;
    Label *lbl_GoodsNameInfo = nullptr;
    QLineEdit *txtTicketNo = nullptr;
    PictureButton *btnMode = nullptr;
    PictureButton *btnScore = nullptr;
    PictureButton *btnSave = nullptr;
    LogoView *WebBrowser1 = nullptr;
    ImageControl *Command2 = nullptr;
    QWidget *xx = nullptr; // the logo frame, added by start-up

    QString GetPlaceCode();

    // The seven labels of a ticket's booking, in screen order: the order of an answer's
    // booking values (station::Display).
    QList<Label *> bookingLabels() const;

    void btnSave_Click();
    void btnMode_Click();
    void btnScore_Click();
    void Command2_Click();
    void Form_KeyDown(int &keyCode, int shift);

    // A verification says it is checking once it has waited this long for its answer. Tests
    // move the moment out of a race with their own waits; everything else keeps the default.
    static constexpr int defaultCheckingNoticeMs = 300;
    static void setCheckingNoticeMs(int ms);

    // The controls that take focus, in tab order.
    const QList<QWidget *> &tabOrder() const { return m_tabOrder; }

protected:
    QWidget *createWindow() override;
    void Form_Load() override;
    void Form_Close() override;

private:
    void ResetTicketInput();
    // The operator left the summary panel by its exit: the keyboard and the score picture return.
    void returnFromSummary();
    void startUp();
    // With FitToScreen=1 in qav.ini: the whole layout scaled uniformly to a larger primary
    // screen, keeping its aspect and its top-left corner. Nothing changes on a smaller screen.
    void fitToScreen();
    void verify();
    // A verification without a usable answer: rejection sound, why in lbl_BookingInfo, the
    // booking emptied, and the ticket kept selected in the box (Enter sends it again, a new scan
    // replaces it).
    void showNotChecked(const QString &why);
    // The verdict area once a verification has waited a moment: the old verdict goes at once.
    void showChecking();
    void clearBooking();
    // The Idempotency-Key of a verification: the key of the last one when it failed with the
    // same command text, so the server can tell a re-send from a new scan; else a fresh one.
    QByteArray idempotencyKeyFor(const QString &command);
    // Moves a control to this position of the tab order; the others keep their order.
    void setTabIndex(QWidget *control, int index);
    // Delivers, in order, the keys that arrived while a verification waited for the server.
    void deliverHeldKeys();

    QList<QWidget *> m_tabOrder;
    double m_layoutScale = 1.0;
    QString m_unansweredCommand;
    QByteArray m_unansweredKey;
    bool m_holdingKeys = false;
    std::deque<std::pair<QPointer<QWidget>, std::unique_ptr<QKeyEvent>>> m_heldKeys;
};

namespace Global {
inline constexpr FormRef<::frm01, FormId::Station> frm01{};
}
