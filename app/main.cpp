#include "Assets.h"
#include "Form.h"
#include "Lifecycle.h"
#include "Look.h"
#include "frmQAV.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("QAV"));
    // The program ends when its last window is unloaded, not when the last one is hidden.
    QApplication::setQuitOnLastWindowClosed(false);
    qav::initAssets();
    installKoreanFonts();

    runHandler([] { Global::frmQAV->Show(); });
    if (Form::loadedCount() == 0)
        return 0;
    return QApplication::exec();
}
