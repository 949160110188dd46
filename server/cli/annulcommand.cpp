#include "server/cli/clicommands.h"

#include "server/cli/cli.h"
#include "wire/ticket.h"

#include <pwd.h>
#include <unistd.h>

namespace qav {

using namespace cli;

namespace {

// Who runs the command, for the audit: the login name, else "cli".
QString localUser()
{
    if (const passwd *pw = ::getpwuid(::geteuid()); pw && pw->pw_name && *pw->pw_name)
        return QString::fromLocal8Bit(pw->pw_name);
    return u"cli"_qs;
}

// The performance whose booking of ticket moved last: an annulment undoes the latest move.
QString performanceOfTicket(Storage &storage, const QString &ticket)
{
    QString found, latest;
    for (const Performance &p : storage.performances({})) {
        const std::optional<BookingRecord> b = storage.findBooking(p.bizcode, ticket);
        if (!b)
            continue;
        const QString moved = std::max(b->lastEntryAt, b->lastExitAt);
        if (found.isEmpty() || moved > latest) {
            found = p.bizcode;
            latest = moved;
        }
    }
    if (found.isEmpty())
        notFound(u"ticket"_qs, ticket);
    return found;
}

} // namespace

int annulCommand(const QStringList &args)
{
    QCommandLineParser p;
    const QCommandLineOption reason(u"reason"_qs, u"Why it is undone (required)."_qs, u"text"_qs);
    const QCommandLineOption performance(
        u"performance"_qs,
        u"Business code of the performance (default: where the ticket moved last)."_qs,
        u"bizcode"_qs);
    if (!parseCommand(p, args,
                      u"Undo the last accepted entry or exit of a ticket, within %1 minutes of it: "
                      "the booking goes back to its state before, audited as an annulment."_qs.arg(
                          kAnnulWindowSecs / 60),
                      {dbOption, reason, performance}, {u"ticket-no|Ticket number."_qs}))
        return 0;
    AnnulRequest r;
    r.ticketNo = wire::normalTicket(p.positionalArguments()[0]);
    r.reason = p.value(reason).simplified();
    if (r.reason.isEmpty())
        throw UsageError{u"--reason is required"_qs};
    auto storage = openAndInit(p);
    if (p.isSet(performance)) {
        r.bizcode = p.value(performance);
        if (!storage->findBooking(r.bizcode, r.ticketNo))
            noBooking(r.bizcode, r.ticketNo);
    } else {
        r.bizcode = performanceOfTicket(*storage, r.ticketNo);
    }
    r.adminId = localUser();
    r.clientAddress = u"cli"_qs;
    const AnnulOutcome o = storage->annul(r);
    if (o.result != AnnulResult::Annulled) {
        err(QStringLiteral("%1 %2: %3").arg(r.bizcode, r.ticketNo, o.message));
        return 1;
    }
    out(QStringLiteral("%1 %2: %3 (%4 %5 by %6)")
            .arg(r.bizcode, r.ticketNo, o.message, o.annulled.mode, o.annulled.scannedAt,
                 o.annulled.operatorId));
    return 0;
}

} // namespace qav
