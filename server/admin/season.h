#pragma once

#include <QList>
#include <QStringList>

namespace qav {

// The commands that run a season: list and show what is in the database, switch operators and
// bookings, remove an unused performance, read the audit and back up.
struct AdminCommand
{
    const char *name;
    const char *summary;                     // one line for `qav-server --help`
    int (*handler)(const QStringList &args); // args[0] is "qav-server <name>"; may throw
};

const QList<AdminCommand> &seasonCommands();

} // namespace qav
