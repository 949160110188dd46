#pragma once

#include "shell/Controls.h"
#include "shell/Form.h"

// The admission summary panel: the server's total and eight counters for the signed-in business
// code, one per line, each shown exactly as the server words it.
class frm03 : public Form
{
    Q_OBJECT
public:
    Label *lbl_Total = nullptr;
    Label *lbl_A = nullptr;
    Label *lbl_B = nullptr;
    Label *lbl_C = nullptr;
    Label *lbl_D = nullptr;
    Label *lbl_E = nullptr;
    Label *lbl_F = nullptr;
    Label *lbl_G = nullptr;
    Label *lbl_H = nullptr;
    ImageControl *btnExit = nullptr; // transparent click area over the drawn close box

    void Form3Show();
    void btnExit_Click();

protected:
    QWidget *createWindow() override;
};

namespace Global {
inline constexpr FormRef<::frm03, FormId::Summary> frm03{};
}
