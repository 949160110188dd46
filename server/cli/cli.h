#pragma once

// Pieces every qav-server command shares: the --db and --config options, opening the database,
// reading passwords and checking codes; output and usage errors come from commandline.h.

#include "server/base/commandline.h"
#include "server/base/seasonrules.h"
#include "server/export/csvlines.h" // the lines printRows prints with --csv
#include "server/storage/storage.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>

#include <memory>

namespace qav {
class Progress;
}

namespace qav::cli {

// notFound for a ticket: "unknown ticket '55' for performance 'GRVM0001'".
[[noreturn]] void noBooking(const QString &bizcode, const QString &ticketNo);

// Thrown for a wrong value of an option that takes one of a few words; names the allowed ones.
[[noreturn]] void badChoice(const QString &option, const QString &value,
                            const QStringList &allowed);

extern const QCommandLineOption dbOption;
extern const QCommandLineOption dbPasswordFileOption; // added to every command that takes --db
extern const QCommandLineOption configOption;
extern const QCommandLineOption csvOption;
extern const QCommandLineOption auditKeyOption;

// Parses the arguments of one command (args[0] is "qav-server <command>"); prints its help and
// returns false when --help was given. Every command takes --config FILE: key=value lines whose
// keys are the command's long option names, read before the command line (which wins). With
// strictConfig a key the command does not know is an error; otherwise it is skipped, so one file
// serves `serve` and the commands run beside it. Given neither --config nor --db, the service's
// file (serviceConfigPath) is read when it exists, and standard error says so.
bool parseCommand(QCommandLineParser &p, const QStringList &args, const QString &description,
                  const QList<QCommandLineOption> &options, const QStringList &positional,
                  bool strictConfig = false);

// /etc/qav/qav-server.conf, or the file named by QAV_SERVER_CONF.
QString serviceConfigPath();

// The database URL of the command line, refused when it carries a password: the process list and
// the shell's history would show it to others.
QString databaseUrl(const QCommandLineParser &p);
QString databasePassword(const QCommandLineParser &p);

// The file to read for a secret named on the command line or in the configuration. The service
// keeps its secrets in kPrivateDir, root-only, and systemd hands each file of it to the service as
// the credential private_<name> (LoadCredential=private:/etc/qav/private); a file of that folder
// is read from the credential when there is one.
inline constexpr char kPrivateDir[] = "/etc/qav/private";
QString secretFile(const QString &path);

// The key of --audit-key, none when it is not given.
SealKey auditKey(const QCommandLineParser &p);

// Opens the database of --db and brings its tables up to date. A SQLite file that does not exist
// is refused (a mistyped path must not create an empty database) unless create is set; one this
// user may not reach is refused as such. Run as root, files it creates get the owner of the
// database (or of its folder), so the service can open them.
std::unique_ptr<Storage> openAndInit(const QCommandLineParser &p, bool create = false);

// Reads a password: twice without echo on a terminal, else the first line of standard input.
QString readPassword();
// Refuses a password too short to be one (UsageError).
void checkPassword(const QString &password);
inline constexpr int kMinPasswordLength = rules::kMinPasswordLength;

// Place codes and business codes: 1 to 32 letters, digits, '-' or '_' (they end up in logo file
// names and in the station's settings). Throws UsageError naming what.
void checkCode(const QString &what, const QString &code);
bool isValidCode(const QString &code);
// Refuses a code of the rehearsal's reserved prefix (kDrillPrefix); checkCode does as well.
void checkNotDrillCode(const QString &what, const QString &code);

// Prints rows as an aligned table (wide Hangul counted as two columns) or, with --csv, as CSV.
// Every cell is printed escaped (see printable); CSV cells a spreadsheet would take for a
// formula get a leading '.
// A progress given counts the CSV rows written.
void printRows(const QCommandLineParser &p, const QStringList &header,
               const QList<QStringList> &rows, Progress *progress = nullptr);

} // namespace qav::cli
