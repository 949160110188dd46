#pragma once

#include "server/storage/storage.h"

#include <QStringList>

namespace qav {

// The bookings of a spreadsheet saved as CSV or as tab-separated text (Excel's "Unicode text"),
// one booking a line. A first line naming columns, in English or Korean (bookingColumnNames),
// says where each field is; other columns are skipped. Without one, the fields are bizcode,
// ticket_no, cust_name, seat_grade, seat_info and optionally cancelled, in that order. Bad lines
// are collected as problems ("line 7: ..."), never thrown.
struct BookingFile
{
    QList<Booking> bookings;
    QList<int> lineOf; // line number of each booking, for later complaints
    QStringList problems;
    QStringList skippedColumns; // header names that are no booking field
    bool tabs = false;
};

BookingFile readBookingLines(const QStringList &lines);

// The longest name, grade or seat text a booking may carry, in characters.
inline constexpr qsizetype kMaxBookingText = 200;

// The rules a booking is held to however it comes (a file, the sales system's API): why it is
// refused, naming the field ("ticket_no: ..."), or an empty text when it is fine. A ticket must
// be in its normal form, as a gate would look it up.
QString bookingProblem(const Booking &booking);

// For each field its names, the first being the English one: "ticket_no: ticket_no, ticket, ..."
QStringList bookingColumnNames();

} // namespace qav
