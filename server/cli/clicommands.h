#pragma once

// The commands of `qav-server <command>`. Each takes its arguments with args[0] being
// "qav-server <command>", returns the exit code and may throw cli::UsageError (exit 2),
// cli::NotFound (exit 1) or anything else std::exception (exit 1); runAdmin catches them.

#include "server/storage/storage.h"

#include <QList>
#include <QStringList>

namespace qav {

using CommandHandler = int (*)(const QStringList &args);

struct AdminCommand
{
    const char *name;
    const char *summary; // one line for `qav-server --help`
    CommandHandler handler;
};

// Every command in the order `qav-server --help` lists them; the one place a command is added.
const QList<AdminCommand> &adminCommands();

// servecommand.cpp: its options, then serve() of server/serve
int serveCommand(const QStringList &args);

// setupcommands.cpp: laying out a database
int initDbCommand(const QStringList &args);
int addVenueCommand(const QStringList &args);
int addPerformanceCommand(const QStringList &args);
int addOperatorCommand(const QStringList &args);
int seedDemoCommand(const QStringList &args);
int summaryCommand(const QStringList &args);

// accountcommands.cpp: dashboard admins, sessions and sign-ins; operators switched off and on,
// their passwords
int addAdminCommand(const QStringList &args);
int listAdminsCommand(const QStringList &args);
int disableAdminCommand(const QStringList &args);
int removeAdminCommand(const QStringList &args);
int sessionsCommand(const QStringList &args);
int revokeSessionCommand(const QStringList &args);
int signInsCommand(const QStringList &args);
int disableOperatorCommand(const QStringList &args);
int enableOperatorCommand(const QStringList &args);
int setPasswordCommand(const QStringList &args);

// importcommand.cpp: over server/import
int importBookingsCommand(const QStringList &args);

// tokencommands.cpp
int addTokenCommand(const QStringList &args);
int listTokensCommand(const QStringList &args);
int revokeTokenCommand(const QStringList &args);

// listcommands.cpp: listing and showing what is in the database
int listVenuesCommand(const QStringList &args);
int listPerformancesCommand(const QStringList &args);
int listOperatorsCommand(const QStringList &args);
int listBookingsCommand(const QStringList &args);
int showVenueCommand(const QStringList &args);
int showPerformanceCommand(const QStringList &args);
int showOperatorCommand(const QStringList &args);
int showBookingCommand(const QStringList &args);
// bookingcommands.cpp: cancelling bookings, removing an unused performance
int cancelBookingCommand(const QStringList &args);
int uncancelBookingCommand(const QStringList &args);
int removePerformanceCommand(const QStringList &args);
// recountcommand.cpp
int recountCommand(const QStringList &args);
// backupcommands.cpp: copies of a SQLite database and putting one back
int backupCommand(const QStringList &args);
int restoreCommand(const QStringList &args);

// drillcommand.cpp: a rehearsal of the gates against a running server (server/drill)
int drillCommand(const QStringList &args);
// annulcommand.cpp
int annulCommand(const QStringList &args);
// auditcommands.cpp: `audit`, and `audit verify` and `audit seal` reached through it
int auditCommand(const QStringList &args);
int auditVerifyCommand(const QStringList &args);
int auditSealCommand(const QStringList &args);

} // namespace qav
