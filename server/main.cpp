#include "server/cli/admin.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    return qav::runAdmin(app.arguments());
}
