#include "server/cli/admin.h"

#include <QCoreApplication>

#include <cstdlib>

int main(int argc, char **argv)
{
    // Without TZ the C library looks at /etc/localtime again on every local time it converts,
    // a file system call each time: a third of a busy dashboard's time. Named, the zone is read
    // once; a change of the machine's zone then takes a restart, as it does for most servers.
    if (!std::getenv("TZ"))
        setenv("TZ", ":/etc/localtime", 0);
    QCoreApplication app(argc, argv);
    return qav::runAdmin(app.arguments());
}
