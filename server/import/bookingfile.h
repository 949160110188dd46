#pragma once

#include "server/storage/storage.h"

#include <QHash>
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

// A row of a booking file as read: a text file's line split, or a worksheet's row.
struct BookingRow
{
    int line = 0; // from 1: a text file's line number, a sheet's row number
    QStringList fields;
    QString unreadable;            // why the row could not be split, e.g. an unclosed quote
    QHash<int, QString> badFields; // why a field's value cannot be taken, by column from 0
};

// The same rules over rows already split. A sheet's rows end at their last cell with a value, so
// with fromSheet fewer fields than columns are empty ones, and a value right of the header's
// columns is a bad line.
BookingFile readBookingRows(const QList<BookingRow> &rows, bool fromSheet);

// The longest name, grade or seat text a booking may carry, in characters.
inline constexpr qsizetype kMaxBookingText = 200;

// The rules a booking is held to however it comes (a file, the sales system's API): why it is
// refused, naming the field ("ticket_no: ..."), or an empty text when it is fine. A ticket must
// be in its normal form, as a gate would look it up.
QString bookingProblem(const Booking &booking);

// For each field its names, the first being the English one: "ticket_no: ticket_no, ticket, ..."
QStringList bookingColumnNames();

} // namespace qav
