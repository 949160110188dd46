// The sales systems' tokens: made (shown once), listed and revoked.

#include "server/cli/clicommands.h"

#include "server/cli/cli.h"
#include "server/sync/synctoken.h"

#include <QDateTime>

namespace qav {

using namespace cli;

int addTokenCommand(const QStringList &args)
{
    QCommandLineParser p;
    const QCommandLineOption venue(u"venue"_qs, u"Place code of the one venue it acts on."_qs,
                                   u"code"_qs);
    if (!parseCommand(p, args,
                      u"Make a token for a sales system's API calls to one venue; it is printed "
                      "once and only its hash is kept."_qs,
                      {dbOption, venue}, {u"name|Name of the token, shown in the audit."_qs}))
        return 0;
    const QString name = p.positionalArguments()[0];
    checkCode(u"token name"_qs, name);
    if (!p.isSet(venue))
        throw UsageError{u"--venue is needed"_qs};
    auto storage = openAndInit(p);
    if (!storage->findVenue(p.value(venue)))
        notFound(u"venue"_qs, p.value(venue));
    const NewSyncToken token = newSyncToken();
    if (!storage->addSyncToken({name, p.value(venue), QDateTime::currentSecsSinceEpoch()},
                               token.hash))
        throw UsageError{QStringLiteral("a token named %1 exists; revoke it first").arg(name)};
    out(token.token);
    err(QStringLiteral("token %1 for venue %2 made; it is not shown again")
            .arg(name, p.value(venue)));
    return 0;
}

int listTokensCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"List the sales systems' tokens."_qs, {dbOption, csvOption}, {}))
        return 0;
    QList<QStringList> rows;
    for (const SyncToken &t : openAndInit(p)->syncTokens())
        rows << QStringList{
            t.name, t.placeCode,
            QDateTime::fromSecsSinceEpoch(t.createdAt).toString(u"yyyy-MM-dd HH:mm:ss"_qs)};
    printRows(p, {u"name"_qs, u"place_code"_qs, u"created_at"_qs}, rows);
    return 0;
}

int revokeTokenCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args,
                      u"Revoke a sales system's token: refused from its next request on, by "
                      "every server on the database."_qs,
                      {dbOption}, {u"name|Name of the token."_qs}))
        return 0;
    const QString name = p.positionalArguments()[0];
    if (!openAndInit(p)->revokeSyncToken(name))
        notFound(u"token"_qs, name);
    out(QStringLiteral("token %1 revoked").arg(name));
    return 0;
}

} // namespace qav
