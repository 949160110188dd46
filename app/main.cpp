#include "assets/Assets.h"
#include "console/frmQAV.h"
#include "shell/Form.h"
#include "shell/Lifecycle.h"
#include "shell/Look.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    // Answered before any window system is needed, so it works on a server or in a package check.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("qav " QAV_VERSION);
        return 0;
    }
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
