// Listing and showing what is in the database: venues, performances, operators, bookings.

#include "server/cli/clicommands.h"

#include "server/cli/cli.h"

namespace qav {

using namespace cli;

namespace {

const QCommandLineOption venueFilter(u"venue"_qs, u"Only those of this venue (place code)."_qs,
                                     u"code"_qs);

// The storage of the command, refusing a --venue filter that names no venue.
std::unique_ptr<Storage> openFiltered(const QCommandLineParser &p)
{
    auto storage = openAndInit(p);
    if (p.isSet(venueFilter) && !storage->findVenue(p.value(venueFilter)))
        notFound(u"venue"_qs, p.value(venueFilter));
    return storage;
}

QString yesNo(bool b)
{
    return b ? u"yes"_qs : u"no"_qs;
}

QStringList performanceRow(const Performance &p)
{
    return {p.bizcode, p.placeCode, p.goodsName, p.startsAt, p.placeName};
}
const QStringList kPerformanceHeader = {u"bizcode"_qs, u"place_code"_qs, u"goods_name"_qs,
                                        u"starts_at"_qs, u"place_name"_qs};

QStringList operatorRow(const OperatorRecord &o)
{
    return {o.id, o.placeCode, yesNo(o.disabled)};
}
const QStringList kOperatorHeader = {u"operator_id"_qs, u"place_code"_qs, u"disabled"_qs};

QStringList bookingRow(const BookingRecord &b)
{
    return {b.booking.bizcode,
            b.booking.ticketNo,
            b.booking.custName,
            b.booking.seatGrade,
            b.booking.seatInfo,
            yesNo(b.booking.cancelled),
            yesNo(b.inside),
            QString::number(b.entries),
            QString::number(b.exits),
            b.lastEntryAt,
            b.lastEntryBy,
            b.lastExitAt,
            b.lastExitBy};
}
const QStringList kBookingHeader = {u"bizcode"_qs,       u"ticket_no"_qs,     u"cust_name"_qs,
                                    u"seat_grade"_qs,    u"seat_info"_qs,     u"cancelled"_qs,
                                    u"inside"_qs,        u"entries"_qs,       u"exits"_qs,
                                    u"last_entry_at"_qs, u"last_entry_by"_qs, u"last_exit_at"_qs,
                                    u"last_exit_by"_qs};

// One record as "name  value" lines (or a one-row CSV).
void printRecord(const QCommandLineParser &p, const QStringList &header, const QStringList &row)
{
    if (p.isSet(csvOption)) {
        printRows(p, header, {row});
        return;
    }
    QList<QStringList> lines;
    for (qsizetype i = 0; i < header.size(); ++i)
        lines << QStringList{header[i], row.value(i)};
    printRows(p, {u"field"_qs, u"value"_qs}, lines);
}

} // namespace

int listVenuesCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"List the venues."_qs, {dbOption, csvOption}, {}))
        return 0;
    QList<QStringList> rows;
    for (const Venue &v : openAndInit(p)->venues())
        rows << QStringList{v.placeCode, v.theaterName};
    printRows(p, {u"place_code"_qs, u"theater_name"_qs}, rows);
    return 0;
}

int listPerformancesCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"List the performances, earliest first."_qs,
                      {dbOption, csvOption, venueFilter}, {}))
        return 0;
    QList<QStringList> rows;
    for (const Performance &perf : openFiltered(p)->performances(p.value(venueFilter)))
        rows << performanceRow(perf);
    printRows(p, kPerformanceHeader, rows);
    return 0;
}

int listOperatorsCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"List the operators."_qs, {dbOption, csvOption, venueFilter}, {}))
        return 0;
    QList<QStringList> rows;
    for (const OperatorRecord &o : openFiltered(p)->operators(p.value(venueFilter)))
        rows << operatorRow(o);
    printRows(p, kOperatorHeader, rows);
    return 0;
}

int listBookingsCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"List the bookings of a performance with their admission state."_qs,
                      {dbOption, csvOption}, {u"bizcode|Business code of the performance."_qs}))
        return 0;
    const QString bizcode = p.positionalArguments()[0];
    auto storage = openAndInit(p);
    if (!storage->findPerformance(bizcode))
        notFound(u"performance"_qs, bizcode);
    QList<QStringList> rows;
    for (const BookingRecord &b : storage->bookings(bizcode))
        rows << bookingRow(b);
    printRows(p, kBookingHeader, rows);
    return 0;
}

int showVenueCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"Show a venue with its performances and operators."_qs,
                      {dbOption, csvOption}, {u"place-code|Place code of the venue."_qs}))
        return 0;
    const QString code = p.positionalArguments()[0];
    auto storage = openAndInit(p);
    const auto venue = storage->findVenue(code);
    if (!venue)
        notFound(u"venue"_qs, code);
    QStringList bizcodes, operators;
    for (const Performance &perf : storage->performances(code))
        bizcodes << perf.bizcode;
    for (const OperatorRecord &o : storage->operators(code))
        operators << o.id;
    printRecord(p, {u"place_code"_qs, u"theater_name"_qs, u"performances"_qs, u"operators"_qs},
                {venue->placeCode, venue->theaterName, bizcodes.join(u' '), operators.join(u' ')});
    return 0;
}

int showPerformanceCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"Show a performance with its counters."_qs, {dbOption, csvOption},
                      {u"bizcode|Business code of the performance."_qs}))
        return 0;
    const QString bizcode = p.positionalArguments()[0];
    auto storage = openAndInit(p);
    const auto perf = storage->findPerformance(bizcode);
    const auto s = storage->summary(bizcode);
    if (!perf || !s)
        notFound(u"performance"_qs, bizcode);
    const QStringList counters = {u"bookings"_qs,  u"admitted"_qs,        u"inside_now"_qs,
                                  u"left_now"_qs,  u"not_yet"_qs,         u"reentered"_qs,
                                  u"cancelled"_qs, u"refused_entries"_qs, u"scans"_qs};
    QStringList row = performanceRow(*perf);
    for (qint64 n : {s->total, s->admitted, s->insideNow, s->leftNow, s->notYet, s->reentered,
                     s->cancelled, s->refused, storage->scanCount(bizcode)})
        row << QString::number(n);
    printRecord(p, kPerformanceHeader + counters, row);
    return 0;
}

int showOperatorCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"Show an operator."_qs, {dbOption, csvOption},
                      {u"operator-id|Id of the operator."_qs}))
        return 0;
    const QString id = p.positionalArguments()[0];
    const auto op = openAndInit(p)->findOperator(id);
    if (!op)
        notFound(u"operator"_qs, id);
    printRecord(p, kOperatorHeader, operatorRow(*op));
    return 0;
}

int showBookingCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(
            p, args, u"Show a booking with its admission state."_qs, {dbOption, csvOption},
            {u"bizcode|Business code of the performance."_qs, u"ticket-no|Ticket number."_qs}))
        return 0;
    const QStringList pos = p.positionalArguments();
    const auto b = openAndInit(p)->findBooking(pos[0], pos[1]);
    if (!b)
        noBooking(pos[0], pos[1]);
    printRecord(p, kBookingHeader, bookingRow(*b));
    return 0;
}

} // namespace qav
