#include "server/cli/clicommands.h"

#include "server/accounts/passwords.h"
#include "server/cli/cli.h"
#include "server/cli/demoseed.h"
#include "server/protocol/memberobject.h"
#include "server/storage/storage.h"

#include <QDateTime>

namespace qav {

using namespace cli;

namespace {

QString parseStart(const QString &text)
{
    const QString start = rules::normalStart(text);
    if (!start.isEmpty())
        return start;
    throw UsageError{
        QStringLiteral("bad date-time '%1': use YYYYMMDDhhmm or \"YYYY-MM-DD hh:mm\"").arg(text)};
}

} // namespace

int initDbCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args,
                      u"Create the database and its tables, or bring an older database's tables up "
                      "to date (safe to repeat). The only command that creates a SQLite file."_qs,
                      {dbOption}, {}))
        return 0;
    auto storage = openAndInit(p, true);
    out(QStringLiteral("database ready: %1").arg(storage->describe()));
    return 0;
}

int addVenueCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"Add or rename a venue."_qs, {dbOption},
                      {u"place-code|Code the station signs in with, e.g. 1234."_qs,
                       u"theater-name|Name shown on the station."_qs}))
        return 0;
    const QStringList pos = p.positionalArguments();
    checkCode(u"place code"_qs, pos[0]);
    if (pos[1].trimmed().isEmpty())
        throw UsageError{u"the theater name must not be empty"_qs};
    auto storage = openAndInit(p);
    storage->putVenue({pos[0], pos[1]});
    out(QStringLiteral("venue %1 %2 saved").arg(pos[0], pos[1]));
    return 0;
}

int addPerformanceCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"Add or change a performance."_qs, {dbOption},
                      {u"bizcode|Business code of the performance."_qs,
                       u"place-code|Venue it takes place in."_qs,
                       u"goods-name|Title of the show."_qs,
                       u"starts-at|Start as YYYYMMDDhhmm or \"YYYY-MM-DD hh:mm\"."_qs,
                       u"place-name|Hall inside the venue."_qs}))
        return 0;
    const QStringList pos = p.positionalArguments();
    checkCode(u"business code"_qs, pos[0]);
    const QString start = parseStart(pos[3]);
    auto storage = openAndInit(p);
    if (!storage->findVenue(pos[1]))
        notFound(u"venue"_qs, pos[1]);
    storage->putPerformance({pos[0], pos[1], pos[2], start, pos[4]});
    out(QStringLiteral("performance %1 saved").arg(pos[0]));
    return 0;
}

int addOperatorCommand(const QStringList &args)
{
    QCommandLineParser p;
    const QCommandLineOption venue(u"venue"_qs, u"Place code of the operator's venue."_qs,
                                   u"code"_qs);
    if (!parseCommand(
            p, args,
            u"Add an operator; an existing id is refused (see set-password). The password "
            "(at least 8 characters) is read from the terminal without echo, or as the "
            "first line of standard input."_qs,
            {dbOption, venue}, {u"operator-id|Id typed at the station."_qs}))
        return 0;
    const QString id = p.positionalArguments()[0];
    if (id.trimmed().isEmpty() || id != id.trimmed())
        throw UsageError{u"the operator id must not be empty or carry blanks at its ends"_qs};
    checkNotDrillCode(u"operator id"_qs, id);
    if (!p.isSet(venue))
        throw UsageError{u"--venue <place code> is required"_qs};
    auto storage = openAndInit(p);
    if (!storage->findVenue(p.value(venue)))
        notFound(u"venue"_qs, p.value(venue));
    if (storage->findOperator(id))
        throw UsageError{
            QStringLiteral("operator %1 exists already (set-password changes its password)")
                .arg(id)};
    const QString password = readPassword();
    checkPassword(password);
    if (!storage->addOperator({id, hashPassword(password), p.value(venue)}))
        throw UsageError{QStringLiteral("operator %1 exists already").arg(id)};
    out(QStringLiteral("operator %1 added").arg(id));
    return 0;
}

int seedDemoCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args,
                      u"Lay out the demo venue 1234 with today's performance, operators "
                      "gate01..gate03 and dashboard admin admin (password = id) and 300 bookings. "
                      "Safe to repeat; refused on a database that holds anything else."_qs,
                      {dbOption}, {}))
        return 0;
    auto storage = openAndInit(p);
    const QString foreign = nonDemoData(*storage);
    if (!foreign.isEmpty()) {
        err(QStringLiteral(
                "%1 holds more than the demo (%2): seed-demo only lays out a demo database")
                .arg(storage->describe(), foreign));
        return 1;
    }
    seedDemo(*storage);
    out(QStringLiteral("demo seeded in %1: place code %2, bizcode %3, operators gate01..gate03,"
                       " dashboard admin %4")
            .arg(storage->describe(), QString::fromUtf8(demo::kPlaceCode),
                 QString::fromUtf8(demo::kTodayBizcode), QString::fromUtf8(demo::kAdmin)));
    return 0;
}

int summaryCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"Print the counters of a performance."_qs, {dbOption},
                      {u"bizcode|Business code of the performance."_qs}))
        return 0;
    const QString bizcode = p.positionalArguments()[0];
    auto storage = openAndInit(p);
    const RecordSet rs = MemberObject(*storage).run(
        {QString::fromLatin1(kBookingProc), {u"S"_qs, bizcode, {}, {}, {}}});
    if (rs.rows.isEmpty())
        notFound(u"performance"_qs, bizcode);
    const auto perf = storage->findPerformance(bizcode);
    out(QStringLiteral("%1 %2 %3").arg(bizcode, perf->goodsName, perf->startsAt));
    for (const QString &column : MemberObject::summaryColumns().mid(2))
        out(rs.value(column));
    return 0;
}

} // namespace qav
