#include "server/import/bookingimport.h"

#include "server/base/progress.h"
#include "server/import/bookingfile.h"
#include "server/import/textdecode.h"

#include <QHash>

#include <algorithm>

namespace qav {

QString BookingImport::counts() const
{
    return QStringLiteral("%1 new, %2 changed, %3 unchanged")
        .arg(added)
        .arg(changed())
        .arg(unchanged());
}

BookingImport planBookingImport(Storage &storage, const QByteArray &data, const QString &encoding)
{
    const DecodedText text = decodeLines(data, encoding);
    BookingImport import = planBookings(storage, readBookingLines(text.lines));
    import.encoding = text.encoding;
    return import;
}

BookingImport planBookings(Storage &storage, BookingFile file)
{
    // Up to this many bookings of a performance are compared by reading their tickets; more, by
    // reading the whole performance at once.
    constexpr qsizetype kByTicket = 2000;
    BookingImport import;
    import.read = file.bookings.size();
    import.skippedColumns = file.skippedColumns;

    // What is there already, per performance named: unknown ones are bad lines.
    QHash<QString, QHash<QString, BookingRecord>> existing;
    for (qsizetype i = 0; i < file.bookings.size(); ++i) {
        const QString &bizcode = file.bookings[i].bizcode;
        if (existing.contains(bizcode))
            continue;
        if (isDrillCode(bizcode) || !storage.findPerformance(bizcode)) {
            file.problems << (isDrillCode(bizcode)
                                  ? u"line %1: performance '%2' belongs to a drill"_qs
                                  : u"line %1: unknown performance '%2'"_qs)
                                 .arg(file.lineOf[i])
                                 .arg(bizcode);
            existing.insert(bizcode, {});
            continue;
        }
        QStringList tickets;
        for (const Booking &b : std::as_const(file.bookings)) {
            if (b.bizcode == bizcode)
                tickets << b.ticketNo;
        }
        QHash<QString, BookingRecord> &byTicket = existing[bizcode];
        const QList<BookingRecord> stored = tickets.size() <= kByTicket
                                                ? storage.bookingsByTicket(bizcode, tickets)
                                                : storage.bookings(bizcode);
        for (const BookingRecord &r : stored)
            byTicket.insert(r.booking.ticketNo, r);
    }
    if (!file.problems.isEmpty()) {
        std::stable_sort(file.problems.begin(), file.problems.end(),
                         [](const QString &a, const QString &b) {
                             return a.section(u' ', 1, 1).remove(u':').toInt() <
                                    b.section(u' ', 1, 1).remove(u':').toInt();
                         });
        import.problems = file.problems;
        return import;
    }

    for (const Booking &b : std::as_const(file.bookings)) {
        const auto old = existing[b.bizcode].constFind(b.ticketNo);
        if (old == existing[b.bizcode].constEnd()) {
            ++import.added;
        } else {
            const Booking &o = old->booking;
            if (o.custName == b.custName && o.seatGrade == b.seatGrade &&
                o.seatInfo == b.seatInfo && o.cancelled == b.cancelled)
                continue;
            if (b.cancelled && !o.cancelled && old->entries > 0)
                import.admittedCancelled << b.ticketNo;
        }
        import.toWrite << b;
    }
    return import;
}

qsizetype writeBookingImport(Storage &storage, const BookingImport &import,
                             const volatile std::sig_atomic_t *stop, qsizetype sliceSize,
                             Progress *progress)
{
    for (qsizetype from = 0; from < import.toWrite.size(); from += sliceSize) {
        if (stop && *stop)
            return from;
        storage.putBookings(import.toWrite.mid(from, sliceSize));
        if (progress)
            progress->set(std::min(from + sliceSize, import.toWrite.size()));
    }
    return import.toWrite.size();
}

} // namespace qav
