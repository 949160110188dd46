// Changing what the gates are given: a booking cancelled or valid again, a performance removed.

#include "server/cli/clicommands.h"

#include "server/cli/cli.h"

namespace qav {

using namespace cli;

namespace {

int switchBooking(const QStringList &args, bool cancel)
{
    QCommandLineParser p;
    if (!parseCommand(
            p, args,
            cancel ? u"Cancel a booking: its ticket is refused at the gate."_qs
                   : u"Undo the cancellation of a booking."_qs,
            {dbOption},
            {u"bizcode|Business code of the performance."_qs, u"ticket-no|Ticket number."_qs}))
        return 0;
    const QStringList pos = p.positionalArguments();
    auto storage = openAndInit(p);
    const auto before = storage->findBooking(pos[0], pos[1]);
    if (!before)
        noBooking(pos[0], pos[1]);
    if (before->booking.cancelled == cancel) {
        out(QStringLiteral("booking %1 %2 %3; nothing changed")
                .arg(pos[0], pos[1],
                     cancel ? u"was cancelled already"_qs : u"is not cancelled"_qs));
        return 0;
    }
    if (!storage->setBookingCancelled(pos[0], pos[1], cancel))
        noBooking(pos[0], pos[1]);
    QString note;
    if (cancel && before->entries > 0)
        note = QStringLiteral("; its holder was admitted already (last entry %1 by %2, %3)")
                   .arg(before->lastEntryAt, before->lastEntryBy,
                        before->inside ? u"inside now"_qs : u"left since"_qs);
    out(QStringLiteral("booking %1 %2 %3%4")
            .arg(pos[0], pos[1], cancel ? u"cancelled"_qs : u"valid again"_qs, note));
    return 0;
}

} // namespace

int cancelBookingCommand(const QStringList &args)
{
    return switchBooking(args, true);
}

int uncancelBookingCommand(const QStringList &args)
{
    return switchBooking(args, false);
}

int removePerformanceCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(
            p, args,
            u"Remove a performance and its bookings; refused once any ticket of it was scanned."_qs,
            {dbOption}, {u"bizcode|Business code of the performance."_qs}))
        return 0;
    const QString bizcode = p.positionalArguments()[0];
    if (!openAndInit(p)->removePerformance(bizcode))
        notFound(u"performance"_qs, bizcode);
    out(QStringLiteral("performance %1 removed").arg(bizcode));
    return 0;
}

} // namespace qav
