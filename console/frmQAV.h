#pragma once

#include "shell/Controls.h"
#include "shell/Form.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>

// The sign-in console: the program's first window. The operator signs in here and opens the
// check station; the console then hides until CloseStation unloads it.
class frmQAV : public Form
{
    Q_OBJECT
public:
    QLineEdit *txtID = nullptr;
    QLineEdit *txtPass = nullptr;
    QPushButton *btnQAVOpen = nullptr;
    QPushButton *btnQAVClose = nullptr;
    QGroupBox *Frame1 = nullptr;
    Label *Label1 = nullptr;
    Label *Label2 = nullptr;
    QPushButton *btnLogin = nullptr;
    Label *lblID = nullptr;
    Label *lblPWD = nullptr;
    Label *lbl_LoginInfo = nullptr;

    void frmInit(qint16 monitorIndex);

    void btnLogin_Click();
    void btnQAVOpen_Click();
    void btnQAVClose_Click();

protected:
    QWidget *createWindow() override;
    void Form_Load() override;
    void Form_Close() override;

private:
    void ClearLoginForm();
};

namespace Global {
inline constexpr FormRef<::frmQAV, FormId::Console> frmQAV{};
}
