#include "server/cli/cli.h"

#include "server/base/printable.h"
#include "server/base/progress.h"
#include "server/storage/sqlitefiles.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextStream>
#include <QUrl>

#include <algorithm>
#include <cerrno>

#include <cstdio>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace qav::cli {

const QCommandLineOption
    dbOption({QStringLiteral("d"), QStringLiteral("db")},
             QStringLiteral("Database: a file path, sqlite:///path/file.db or "
                            "postgresql://user@host:port/dbname[?host=/socket/dir]. "
                            "Default: the db of /etc/qav/qav-server.conf when that file "
                            "exists, else qav.db in the current folder."),
             QStringLiteral("url"));

const QCommandLineOption dbPasswordFileOption(
    QStringLiteral("db-password-file"),
    QStringLiteral("PostgreSQL password: first line of this file (else PGPASSWORD or ~/.pgpass). "
                   "Never put it in --db, where every local user could read it."),
    QStringLiteral("file"));

const QCommandLineOption
    configOption(QStringLiteral("config"),
                 QStringLiteral("Read options from a file of key=value lines "
                                "(keys are long option names, # starts a comment)."),
                 QStringLiteral("file"));

const QCommandLineOption csvOption(QStringLiteral("csv"),
                                   QStringLiteral("Print CSV instead of a table."));

const QCommandLineOption auditKeyOption(
    QStringLiteral("audit-key"),
    QStringLiteral("The secret the audit's seals are made with: a file of at least 16 random "
                   "bytes, the same for serve and audit."),
    QStringLiteral("file"));

void noBooking(const QString &bizcode, const QString &ticketNo)
{
    notFound(u"ticket"_qs, ticketNo, QStringLiteral("performance '%1'").arg(bizcode));
}

void badChoice(const QString &option, const QString &value, const QStringList &allowed)
{
    throw UsageError{
        QStringLiteral("bad %1 '%2': use %3").arg(option, value, allowed.join(u", "_qs))};
}

QString serviceConfigPath()
{
    const QString path = qEnvironmentVariable("QAV_SERVER_CONF");
    return path.isEmpty() ? QStringLiteral("/etc/qav/qav-server.conf") : path;
}

namespace {

// Help text naming the command as typed, not the binary's full path.
QString helpOf(const QCommandLineParser &p, const QStringList &args)
{
    QString help = p.helpText();
    help.replace(QCoreApplication::arguments().value(0), args.value(0));
    return help;
}

QString configPathIn(const QStringList &args)
{
    QString path;
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--config") && i + 1 < args.size())
            path = args[i + 1];
        else if (args[i].startsWith(QLatin1String("--config=")))
            path = args[i].mid(9);
    }
    return path;
}

bool namesDatabase(const QStringList &args)
{
    return std::any_of(args.begin() + 1, args.end(), [](const QString &a) {
        return a == QLatin1String("--db") || a == QLatin1String("-d") ||
               a.startsWith(QLatin1String("--db="));
    });
}

// The options a configuration file stands for, to put in front of the command line.
QStringList configArguments(const QString &path, const QList<QCommandLineOption> &options,
                            bool strict)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        if (file.error() == QFileDevice::OpenError && QFileInfo::exists(path) &&
            !QFileInfo(path).isReadable())
            throw StorageError(QStringLiteral("permission denied reading %1: run as root or as "
                                              "the service's user, or name the database with --db")
                                   .arg(path)
                                   .toStdString());
        throw UsageError{QStringLiteral("cannot read %1: %2").arg(path, file.errorString())};
    }
    QStringList result;
    int lineNo = 0;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        ++lineNo;
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const qsizetype eq = line.indexOf(u'=');
        if (eq <= 0)
            throw UsageError{
                QStringLiteral("%1 line %2: expected key=value").arg(path).arg(lineNo)};
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        const auto option =
            std::find_if(options.begin(), options.end(), [&](const QCommandLineOption &o) {
                return o.names().contains(key) && key.size() > 1 && key != QLatin1String("config");
            });
        if (option == options.end()) {
            if (strict)
                throw UsageError{
                    QStringLiteral("%1 line %2: unknown key '%3'").arg(path).arg(lineNo).arg(key)};
            continue;
        }
        if (!option->valueName().isEmpty()) {
            result << u"--"_qs + key << value;
            continue;
        }
        static const QStringList yes = {u"1"_qs, u"yes"_qs, u"true"_qs, u"on"_qs};
        static const QStringList no = {u"0"_qs, u"no"_qs, u"false"_qs, u"off"_qs, u""_qs};
        if (yes.contains(value.toLower()))
            result << u"--"_qs + key;
        else if (!no.contains(value.toLower()))
            throw UsageError{QStringLiteral("%1 line %2: %3 is yes or no, not '%4'")
                                 .arg(path)
                                 .arg(lineNo)
                                 .arg(key, value)};
    }
    return result;
}

} // namespace

bool parseCommand(QCommandLineParser &p, const QStringList &args, const QString &description,
                  const QList<QCommandLineOption> &options, const QStringList &positional,
                  bool strictConfig)
{
    p.setApplicationDescription(description);
    p.addHelpOption();
    QList<QCommandLineOption> all = options;
    if (std::any_of(options.begin(), options.end(),
                    [](const QCommandLineOption &o) { return o.names() == dbOption.names(); }))
        all << dbPasswordFileOption;
    p.addOptions(all);
    p.addOption(configOption);
    for (const QString &pos : positional)
        p.addPositionalArgument(pos.section(u'|', 0, 0), pos.section(u'|', 1));
    QStringList expanded = args;
    QString configPath = configPathIn(args);
    if (configPath.isEmpty() && !namesDatabase(args) && !args.contains(u"--help"_qs) &&
        !args.contains(u"-h"_qs) && QFileInfo::exists(serviceConfigPath())) {
        configPath = serviceConfigPath();
        err(QStringLiteral("using the settings in %1").arg(configPath));
    }
    if (!configPath.isEmpty())
        expanded = args.mid(0, 1) + configArguments(configPath, all, strictConfig) + args.mid(1);
    if (!p.parse(expanded))
        throw UsageError{p.errorText()};
    if (p.isSet(QStringLiteral("help"))) {
        std::fputs(helpOf(p, args).toUtf8().constData(), stdout);
        return false;
    }
    if (p.positionalArguments().size() != positional.size())
        throw UsageError{QStringLiteral("expected %1 argument(s): %2")
                             .arg(positional.size())
                             .arg(helpOf(p, args).section(u'\n', 0, 0))};
    return true;
}

QString databaseUrl(const QCommandLineParser &p)
{
    const QString url = p.value(dbOption);
    if (url.contains(QLatin1String("://")) && !QUrl(url).password().isEmpty())
        throw UsageError{
            QStringLiteral("a password in --db would be visible to every local user; put it in "
                           "PGPASSWORD, ~/.pgpass or a file named by --db-password-file (%1)")
                .arg(redactedUrl(url))};
    return url;
}

QString secretFile(const QString &path)
{
    const QByteArray credentials = qgetenv("CREDENTIALS_DIRECTORY");
    const QFileInfo info(path);
    if (credentials.isEmpty() || info.absolutePath() != QLatin1String(kPrivateDir))
        return path;
    const QString credential = QFile::decodeName(credentials) + u"/private_"_qs + info.fileName();
    return QFileInfo::exists(credential) ? credential : path;
}

SealKey auditKey(const QCommandLineParser &p)
{
    return p.isSet(auditKeyOption) ? SealKey::fromFile(secretFile(p.value(auditKeyOption)))
                                   : SealKey();
}

QString databasePassword(const QCommandLineParser &p)
{
    if (!p.isSet(dbPasswordFileOption))
        return {};
    QFile file(secretFile(p.value(dbPasswordFileOption)));
    if (!file.open(QIODevice::ReadOnly))
        throw StorageError(QStringLiteral("cannot read %1: %2")
                               .arg(file.fileName(), file.errorString())
                               .toStdString());
    QByteArray line = file.readLine();
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return QString::fromUtf8(line);
}

namespace {

// An SQLite file made before the server kept its files private is made private now.
void keepPrivate(const Storage &storage)
{
    const QString described = storage.describe();
    if (!described.startsWith(QLatin1String("sqlite:")))
        return;
    const QString path = described.mid(int(sizeof("sqlite:")) - 1);
    for (const QString &file : {path, path + u"-wal"_qs, path + u"-shm"_qs}) {
        struct stat st
        {
        };
        const QByteArray name = QFile::encodeName(file);
        if (::stat(name.constData(), &st) == 0 && (st.st_mode & 077) != 0)
            ::chmod(name.constData(), st.st_mode & 0700);
    }
}

} // namespace

std::unique_ptr<Storage> openAndInit(const QCommandLineParser &p, bool create)
{
    const QString url = databaseUrl(p);
    const QString path = sqlitePathOf(url);
    bool existed = true;
    if (!path.isEmpty()) {
        const QByteArray name = QFile::encodeName(path);
        struct stat st
        {
        };
        existed = ::stat(name.constData(), &st) == 0;
        if ((!existed && errno == EACCES) ||
            (existed && ::access(name.constData(), R_OK | W_OK) != 0 && errno == EACCES))
            throw StorageError(QStringLiteral("permission denied on %1: run as root or as the "
                                              "service's user (sudo qav-server ...)")
                                   .arg(path)
                                   .toStdString());
        if (!create && !existed)
            throw StorageError(
                QStringLiteral("no database at %1 (create one with: qav-server init-db --db %1)")
                    .arg(path)
                    .toStdString());
    }
    // restore refuses to replace a file that a server or a command has open this way.
    if (existed && !path.isEmpty())
        holdServeLock(path);
    auto storage = openStorage(url, databasePassword(p));
    keepPrivate(*storage);
    storage->initSchema();
    if (!path.isEmpty())
        matchOwner(path, existed ? path : QFileInfo(path).absolutePath());
    return storage;
}

QString readPassword()
{
    QTextStream in(stdin);
    if (!isatty(STDIN_FILENO))
        return in.readLine();
    termios saved{};
    tcgetattr(STDIN_FILENO, &saved);
    termios silent = saved;
    silent.c_lflag &= ~tcflag_t(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
    std::fputs("Password: ", stderr);
    const QString first = in.readLine();
    std::fputs("\nRepeat password: ", stderr);
    const QString second = in.readLine();
    std::fputs("\n", stderr);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    if (first != second)
        throw UsageError{QStringLiteral("the passwords differ")};
    return first;
}

void checkPassword(const QString &password)
{
    if (password.size() < kMinPasswordLength)
        throw UsageError{QStringLiteral("the password must have at least %1 characters")
                             .arg(kMinPasswordLength)};
}

bool isValidCode(const QString &code)
{
    return rules::isValidCode(code);
}

void checkCode(const QString &what, const QString &code)
{
    if (!isValidCode(code))
        throw UsageError{
            QStringLiteral("bad %1 '%2': use 1 to 32 letters, digits, '-' or '_'").arg(what, code)};
    checkNotDrillCode(what, code);
}

void checkNotDrillCode(const QString &what, const QString &code)
{
    if (isDrillCode(code))
        throw UsageError{QStringLiteral("bad %1 '%2': codes beginning with %3 belong to "
                                        "qav-server drill, which removes them")
                             .arg(what, code, QLatin1String(kDrillPrefix))};
}

namespace {

int displayWidth(const QString &text)
{
    int width = 0;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        const bool wide = (u >= 0x1100 && u <= 0x115F) || (u >= 0x2E80 && u <= 0xA4CF) ||
                          (u >= 0xAC00 && u <= 0xD7A3) || (u >= 0xF900 && u <= 0xFAFF) ||
                          (u >= 0xFF00 && u <= 0xFF60) || (u >= 0xFFE0 && u <= 0xFFE6);
        width += wide ? 2 : 1;
    }
    return width;
}

} // namespace

void printRows(const QCommandLineParser &p, const QStringList &header,
               const QList<QStringList> &clientRows, Progress *progress)
{
    if (p.isSet(csvOption)) {
        qint64 written = -1; // the header is no row
        for (const QString &line : csvLines(header, clientRows)) {
            out(line);
            if (progress && ++written % 1000 == 0)
                progress->set(written);
        }
        return;
    }
    // Texts sent by clients (ticket numbers, ids) reach the terminal only escaped.
    QList<QStringList> rows;
    for (const QStringList &row : clientRows) {
        rows << QStringList();
        for (const QString &f : row)
            rows.last() << printable(f);
    }
    QList<int> widths;
    for (const QString &h : header)
        widths << displayWidth(h);
    for (const QStringList &row : rows)
        for (qsizetype i = 0; i < row.size() && i < widths.size(); ++i)
            widths[i] = std::max(widths[i], displayWidth(row[i]));
    for (const QStringList &row : QList<QStringList>{header} + rows) {
        QString line;
        for (qsizetype i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size())
                line += QString(widths[i] - displayWidth(row[i]) + 2, u' ');
        }
        out(line);
    }
}

} // namespace qav::cli
