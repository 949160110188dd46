#include "admin.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <unistd.h>

namespace {

int g_stopPipe[2] = {-1, -1};

void onStopSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_stopPipe[1], &byte, 1);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // SIGTERM (systemd stopping the service) and SIGINT end the event loop normally, so the
    // process exits 0 after closing its databases; the signal handler only writes to a pipe.
    if (::pipe(g_stopPipe) == 0) {
        auto *notifier = new QSocketNotifier(g_stopPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
        std::signal(SIGTERM, onStopSignal);
        std::signal(SIGINT, onStopSignal);
    }
    return qav::runAdmin(app.arguments());
}
