#include "server/cli/clicommands.h"

#include "server/accounts/passwords.h"
#include "server/base/printable.h"
#include "server/cli/cli.h"
#include "server/storage/storage.h"

#include <QDateTime>

namespace qav {

using namespace cli;

namespace {

QString localTime(qint64 secs)
{
    return QDateTime::fromSecsSinceEpoch(secs).toString(u"yyyy-MM-dd HH:mm:ss"_qs);
}

} // namespace

int addAdminCommand(const QStringList &args)
{
    QCommandLineParser p;
    const QCommandLineOption venue(QStringList{u"venue"_qs, u"place-code"_qs},
                                   u"Limit the admin to this venue."_qs, u"code"_qs);
    const QCommandLineOption everyVenue(u"every-venue"_qs, u"Let the admin see every venue."_qs);
    const QCommandLineOption role(
        u"role"_qs,
        u"viewer (watches and searches), supervisor (also checks in and out by hand and "
        "annuls) or manager (also the season and the venue's dashboard accounts)."_qs,
        u"role"_qs);
    if (!parseCommand(
            p, args,
            u"Add a dashboard admin, or set a new password (which also enables a disabled "
            "admin and ends its open sessions). A new admin sees every venue unless "
            "--venue limits it, and is a manager unless --role says otherwise; an existing "
            "admin's venue changes only with --venue or --every-venue, its role only with "
            "--role. The password (at least 8 characters) is read from the terminal without "
            "echo, or as the first line of standard input."_qs,
            {dbOption, venue, everyVenue, role},
            {u"admin-id|Id typed on the dashboard's sign-in page."_qs}))
        return 0;
    const QString id = p.positionalArguments()[0];
    if (id.trimmed().isEmpty() || id != id.trimmed())
        throw UsageError{u"the admin id must not be empty or carry blanks at its ends"_qs};
    if (p.isSet(venue) && p.isSet(everyVenue))
        throw UsageError{u"--venue and --every-venue exclude each other"_qs};
    const std::optional<AdminRole> named = adminRoleNamed(p.value(role));
    if (p.isSet(role) && !named)
        throw UsageError{
            QStringLiteral("bad role '%1': use viewer, supervisor or manager").arg(p.value(role))};
    auto storage = openAndInit(p);
    if (p.isSet(venue) && !storage->findVenue(p.value(venue)))
        notFound(u"venue"_qs, p.value(venue));
    const std::optional<AdminRecord> existing = storage->findAdmin(id);
    const QString placeCode = p.isSet(venue)                     ? p.value(venue)
                              : existing && !p.isSet(everyVenue) ? existing->placeCode
                                                                 : QString();
    // Without --role a new admin can do everything, as every admin could before roles.
    const AdminRole given = named ? *named : existing ? existing->role : AdminRole::Manager;
    const QString password = readPassword();
    checkPassword(password);
    storage->putAdmin({id, hashPassword(password), placeCode, given});
    out(QStringLiteral("admin %1 %2 (%3, %4)")
            .arg(id, existing ? u"saved with a new password"_qs : u"added"_qs, adminRoleName(given),
                 placeCode.isEmpty() ? u"every venue"_qs : u"venue "_qs + placeCode));
    return 0;
}

int listAdminsCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"List the dashboard admins."_qs, {dbOption, csvOption}, {}))
        return 0;
    QList<QStringList> rows;
    for (const AdminRecord &a : openAndInit(p)->admins())
        rows << QStringList{a.id, a.placeCode.isEmpty() ? u"*"_qs : a.placeCode,
                            a.disabled() ? u"yes"_qs : u"no"_qs, adminRoleName(a.role)};
    printRows(p, {u"admin_id"_qs, u"place_code"_qs, u"disabled"_qs, u"role"_qs}, rows);
    return 0;
}

int disableAdminCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args,
                      u"Disable a dashboard admin and end its sessions; add-admin with a new "
                      "password enables it again."_qs,
                      {dbOption}, {u"admin-id|Id of the admin."_qs}))
        return 0;
    const QString id = p.positionalArguments()[0];
    auto storage = openAndInit(p);
    std::optional<AdminRecord> admin = storage->findAdmin(id);
    if (!admin)
        notFound(u"admin"_qs, id);
    if (admin->disabled()) {
        out(QStringLiteral("admin %1 was disabled already").arg(id));
        return 0;
    }
    admin->passwordHash.prepend('!');
    storage->putAdmin(*admin);
    out(QStringLiteral("admin %1 disabled").arg(id));
    return 0;
}

int removeAdminCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"Remove a dashboard admin and its sessions."_qs, {dbOption},
                      {u"admin-id|Id of the admin."_qs}))
        return 0;
    const QString id = p.positionalArguments()[0];
    if (!openAndInit(p)->removeAdmin(id))
        notFound(u"admin"_qs, id);
    out(QStringLiteral("admin %1 removed").arg(id));
    return 0;
}

int sessionsCommand(const QStringList &args)
{
    QCommandLineParser p;
    const QCommandLineOption op(u"operator"_qs, u"Only this operator's sessions."_qs, u"id"_qs);
    if (!parseCommand(
            p, args,
            u"List the signed-in sessions: id, operator, venue, address, signed in, last used."_qs,
            {dbOption, op}, {}))
        return 0;
    auto storage = openAndInit(p);
    if (p.isSet(op) && !storage->findOperator(p.value(op)))
        notFound(u"operator"_qs, p.value(op));
    const QList<SessionRecord> list = storage->sessions(p.value(op));
    for (const SessionRecord &s : list)
        out(QStringLiteral("%1  %2  %3  %4  signed in %5  last used %6")
                .arg(s.shortId(), s.operatorId, s.placeCode, s.clientAddress,
                     localTime(s.createdAt), localTime(s.lastUsedAt)));
    out(QStringLiteral("%1 session(s)").arg(list.size()));
    return 0;
}

int revokeSessionCommand(const QStringList &args)
{
    QCommandLineParser p;
    const QCommandLineOption op(u"operator"_qs,
                                u"Revoke every session of this operator instead."_qs, u"id"_qs);
    p.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    const bool all = args.contains(u"--operator"_qs) || args.filter(u"--operator="_qs).size() > 0;
    if (!parseCommand(
            p, args,
            u"End a signed-in session (its id as listed by 'sessions'), or with --operator every "
            "session of an operator. The station then has to sign in again."_qs,
            {dbOption, op},
            all ? QStringList{} : QStringList{u"session-id|Id shown by 'sessions'."_qs}))
        return 0;
    auto storage = openAndInit(p);
    if (p.isSet(op)) {
        if (!storage->findOperator(p.value(op)))
            notFound(u"operator"_qs, p.value(op));
        const int n = storage->revokeSessions(p.value(op));
        out(QStringLiteral("%1 session(s) of %2 revoked").arg(n).arg(p.value(op)));
        return 0;
    }
    const QString id = p.positionalArguments()[0].trimmed().toLower();
    if (id.size() < 6)
        throw UsageError{u"give at least 6 characters of the session id"_qs};
    QList<SessionRecord> matches;
    for (const SessionRecord &s : storage->sessions())
        if (s.keyHash.startsWith(id))
            matches << s;
    if (matches.isEmpty())
        notFound(u"session"_qs, id);
    if (matches.size() > 1) {
        err(QStringLiteral("'%1' names %2 sessions; give more of the id")
                .arg(id)
                .arg(matches.size()));
        return 1;
    }
    storage->revokeSession(matches[0].keyHash);
    out(QStringLiteral("session %1 of %2 revoked")
            .arg(matches[0].shortId(), matches[0].operatorId));
    return 0;
}

int signInsCommand(const QStringList &args)
{
    QCommandLineParser p;
    const QCommandLineOption last(u"last"_qs, u"How many of the newest attempts (default 50)."_qs,
                                  u"n"_qs, u"50"_qs);
    if (!parseCommand(p, args, u"List the newest sign-in attempts: time, id, address, result."_qs,
                      {dbOption, last}, {}))
        return 0;
    bool ok = false;
    const int n = p.value(last).toInt(&ok);
    if (!ok || n <= 0)
        throw UsageError{QStringLiteral("bad --last '%1'").arg(p.value(last))};
    auto storage = openAndInit(p);
    for (const SignInAttempt &a : storage->signInLog(n))
        out(QStringLiteral("%1  %2  %3  %4")
                .arg(a.attemptedAt, printable(a.operatorId), a.clientAddress, printable(a.result)));
    // Refusals before any sign-in are kept as counts per address and minute, their last text
    // stored already escaped.
    for (const RefusalCount &c : storage->refusalCounts(n))
        out(QStringLiteral("%1     %2  %3  refused %4 x%5, last: %6")
                .arg(c.minute, u"-"_qs, c.clientAddress, c.what)
                .arg(c.count)
                .arg(c.lastText));
    return 0;
}

namespace {

int switchOperator(const QStringList &args, bool disable)
{
    QCommandLineParser p;
    if (!parseCommand(
            p, args,
            disable ? u"Disable an operator: the id can no longer sign in. Its audit rows stay."_qs
                    : u"Enable a disabled operator again."_qs,
            {dbOption}, {u"operator-id|Id of the operator."_qs}))
        return 0;
    const QString id = p.positionalArguments()[0];
    if (!openAndInit(p)->setOperatorDisabled(id, disable))
        notFound(u"operator"_qs, id);
    out(QStringLiteral("operator %1 %2").arg(id, disable ? u"disabled"_qs : u"enabled"_qs));
    return 0;
}

} // namespace

int disableOperatorCommand(const QStringList &args)
{
    return switchOperator(args, true);
}

int enableOperatorCommand(const QStringList &args)
{
    return switchOperator(args, false);
}

int setPasswordCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args,
                      u"Set an operator's password, read from the terminal without echo or as the "
                      "first line of standard input."_qs,
                      {dbOption}, {u"operator-id|Id of the operator."_qs}))
        return 0;
    const QString id = p.positionalArguments()[0];
    auto storage = openAndInit(p);
    if (!storage->findOperator(id))
        notFound(u"operator"_qs, id);
    const QString password = readPassword();
    checkPassword(password);
    if (!storage->setOperatorPassword(id, hashPassword(password)))
        notFound(u"operator"_qs, id);
    out(QStringLiteral("password of %1 changed").arg(id));
    return 0;
}

} // namespace qav
