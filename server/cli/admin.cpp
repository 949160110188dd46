#include "server/cli/admin.h"

#include "server/cli/cli.h"
#include "server/cli/clicommands.h"

#include <QHash>

#include <cstdio>
#include <sys/stat.h>

namespace qav {

using namespace cli;

const QList<AdminCommand> &adminCommands()
{
    static const QList<AdminCommand> commands = {
        {"serve", "serve the business object over HTTP(S) (default port 8470)", serveCommand},
        {"init-db", "create the database or bring its tables up to date", initDbCommand},
        {"add-venue", "add or rename a venue", addVenueCommand},
        {"add-performance", "add or change a performance", addPerformanceCommand},
        {"add-operator", "add an operator", addOperatorCommand},
        {"add-admin", "add a dashboard admin or set a new password", addAdminCommand},
        {"list-admins", "list the dashboard admins", listAdminsCommand},
        {"disable-admin", "stop a dashboard admin from signing in", disableAdminCommand},
        {"remove-admin", "remove a dashboard admin", removeAdminCommand},
        {"import-bookings", "import bookings from an .xlsx or CSV file", importBookingsCommand},
        {"add-token", "make a sales system's API token for a venue", addTokenCommand},
        {"list-tokens", "list the sales systems' API tokens", listTokensCommand},
        {"revoke-token", "revoke a sales system's API token", revokeTokenCommand},
        {"seed-demo", "lay out the demo venue, operators and bookings", seedDemoCommand},
        {"summary", "print the counters of a performance", summaryCommand},
        {"sessions", "list signed-in sessions", sessionsCommand},
        {"revoke-session", "end one session, or all of an operator", revokeSessionCommand},
        {"sign-ins", "list the newest sign-in attempts", signInsCommand},
        {"list-venues", "list the venues", listVenuesCommand},
        {"list-performances", "list the performances", listPerformancesCommand},
        {"list-operators", "list the operators", listOperatorsCommand},
        {"list-bookings", "list the bookings of a performance", listBookingsCommand},
        {"show-venue", "show a venue", showVenueCommand},
        {"show-performance", "show a performance and its counters", showPerformanceCommand},
        {"show-operator", "show an operator", showOperatorCommand},
        {"show-booking", "show a booking", showBookingCommand},
        {"disable-operator", "stop an operator from signing in", disableOperatorCommand},
        {"enable-operator", "let a disabled operator sign in again", enableOperatorCommand},
        {"set-password", "change an operator's password", setPasswordCommand},
        {"cancel-booking", "cancel a booking", cancelBookingCommand},
        {"uncancel-booking", "undo the cancellation of a booking", uncancelBookingCommand},
        {"annul", "undo a ticket's last entry or exit (within 15 minutes)", annulCommand},
        {"remove-performance", "remove a performance nobody scanned", removePerformanceCommand},
        {"recount", "count the summary's and dashboard's counters afresh", recountCommand},
        {"audit", "print the scans of a performance; audit verify, audit seal", auditCommand},
        {"backup", "copy a live SQLite database", backupCommand},
        {"restore", "put a backup back in place of a stopped server's database", restoreCommand},
        {"drill", "rehearse the gates against a running server", drillCommand},
    };
    return commands;
}

namespace {

QString usage()
{
    QString text = QStringLiteral("Usage: qav-server <command> [options]\n\nCommands:\n");
    for (const AdminCommand &c : adminCommands())
        text += QStringLiteral("  %1%2\n")
                    .arg(QString::fromLatin1(c.name), -20)
                    .arg(QString::fromLatin1(c.summary));
    text += QStringLiteral(
        "\nEvery command takes --db <url>, --config <file> and --help. Without either, the\n"
        "service's /etc/qav/qav-server.conf is read when it exists, else qav.db here is used;\n"
        "every command but init-db refuses a SQLite file that does not exist.\n"
        "qav-server --version prints the version.\n");
    return text;
}

} // namespace

int runAdmin(const QStringList &arguments)
{
    const QString command = arguments.value(1);
    if (command.isEmpty() || command == QLatin1String("--help") || command == QLatin1String("-h") ||
        command == QLatin1String("help")) {
        std::fputs(usage().toUtf8().constData(), command.isEmpty() ? stderr : stdout);
        return command.isEmpty() ? 2 : 0;
    }
    if (command == QLatin1String("--version") || command == QLatin1String("version")) {
        out(QStringLiteral("qav-server %1").arg(QStringLiteral(QAV_VERSION)));
        return 0;
    }
    static const QHash<QString, CommandHandler> handlers = [] {
        QHash<QString, CommandHandler> h;
        for (const AdminCommand &c : adminCommands())
            h.insert(QString::fromLatin1(c.name), c.handler);
        return h;
    }();
    const auto handler = handlers.find(command);
    if (handler == handlers.end()) {
        err(QStringLiteral("unknown command '%1'\n\n%2").arg(command, usage()));
        return 2;
    }
    // The database and everything else the server writes hold password hashes and customers' names.
    ::umask(077);
    // The parser sees "qav-server <command>" as its program name, so --help reads naturally.
    QStringList args = arguments.mid(2);
    args.prepend(QStringLiteral("qav-server ") + command);
    try {
        return (*handler)(args);
    } catch (const UsageError &e) {
        err(QStringLiteral("%1: %2 (see qav-server %1 --help)").arg(command, e.text));
        return 2;
    } catch (const NotFound &e) {
        err(e.text());
        return 1;
    } catch (const std::exception &e) {
        err(QString::fromUtf8(e.what()));
        return 1;
    }
}

} // namespace qav
