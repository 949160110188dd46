#pragma once

// The request bodies of the sales system's API read strictly, with no I/O: JSON in, the values
// or the problems out, each problem naming its field (and, in a batch, its item's index).

#include "server/storage/records.h"

#include <QByteArray>
#include <QList>

namespace qav {

inline constexpr qsizetype kMaxBatch = 1000;
inline constexpr qsizetype kMaxBizcodeChars = 32;
inline constexpr qsizetype kMaxPerformanceText = 200;

struct JsonProblem
{
    QString field; // as the API names it: "goodsName", "bookings[3].ticketNo", "body"
    QString reason;
    qsizetype index = -1; // the batch item, or -1
};

// A performance's fields from a PUT body: goodsName and startsAt (yyyyMMddHHmm) required,
// placeName optional. False with problem when the body is not such an object.
bool readPerformanceBody(const QByteArray &body, Performance &performance, JsonProblem &problem);

// A batch from a POST body {"bookings": [...]}: each item's ticketNo required; custName,
// seatGrade, seatInfo texts and cancelled (true/false) optional. Every item is held to the
// import's rules (bookingProblem) and a ticket may come once. tooMany is set past kMaxBatch
// items (nothing else is read then).
struct BookingBatch
{
    QList<Booking> bookings;
    QList<JsonProblem> problems; // a body problem (no index) or one per bad item, by index
    bool tooMany = false;
};
BookingBatch readBookingBatch(const QByteArray &body, const QString &bizcode);

// A bizcode a performance may be created with: false with the reason otherwise.
bool bizcodeAllowed(const QString &bizcode, QString &reason);

} // namespace qav
