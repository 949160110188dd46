#include "server/storage/sqlrecords.h"

namespace qav {

Venue venueFrom(const Rows &q, int first)
{
    return {q.value(first).toString(), q.value(first + 1).toString()};
}

Performance performanceFrom(const Rows &q, int first)
{
    return {q.value(first).toString(), q.value(first + 1).toString(), q.value(first + 2).toString(),
            q.value(first + 3).toString(), q.value(first + 4).toString()};
}

OperatorRecord operatorFrom(const Rows &q, int first)
{
    return {q.value(first).toString(), q.value(first + 1).toString().toUtf8(),
            q.value(first + 2).toString(), q.value(first + 3).toInt() != 0};
}

SessionRecord sessionFrom(const Rows &q, const QString &keyHash, int first)
{
    return {keyHash,
            q.value(first).toString(),
            q.value(first + 1).toString(),
            q.value(first + 2).toString(),
            q.value(first + 3).toLongLong(),
            q.value(first + 4).toLongLong()};
}

ScanLogEntry scanLogEntryFrom(const Rows &q, int first)
{
    const auto s = [&](int i) { return q.value(first + i).toString(); };
    return {s(0),
            s(1),
            s(2),
            s(3),
            s(4),
            s(5),
            s(6),
            q.value(first + 7).toLongLong(),
            s(8),
            s(9),
            s(10),
            s(11),
            q.value(first + 12).toLongLong(),
            q.value(first + 13).toLongLong()};
}

BookingRecord bookingRecordFrom(const Rows &q, int first)
{
    BookingRecord r;
    const BookingState state = bookingStateFrom(q, first);
    r.booking = state.booking;
    r.inside = state.inside;
    r.entries = int(state.entries);
    r.exits = int(state.exits);
    r.lastEntryAt = q.value(first + 9).toString();
    r.lastEntryBy = q.value(first + 10).toString();
    r.lastExitAt = q.value(first + 11).toString();
    r.lastExitBy = q.value(first + 12).toString();
    return r;
}

BookingState bookingStateFrom(const Rows &q, int first)
{
    BookingState b;
    b.booking = {q.value(first).toString(),     q.value(first + 1).toString(),
                 q.value(first + 2).toString(), q.value(first + 3).toString(),
                 q.value(first + 4).toString(), q.value(first + 5).toInt() != 0};
    b.inside = q.value(first + 6).toInt() != 0;
    b.entries = q.value(first + 7).toLongLong();
    b.exits = q.value(first + 8).toLongLong();
    return b;
}

AdminRecord adminFrom(const Rows &q, int first)
{
    // A role this build does not know grants the least.
    return {q.value(first).toString(), q.value(first + 1).toString().toUtf8(),
            q.value(first + 2).toString(),
            adminRoleNamed(q.value(first + 3).toString()).value_or(AdminRole::Viewer)};
}

SignInAttempt signInFrom(const Rows &q, int first)
{
    return {q.value(first).toString(), q.value(first + 1).toString(), q.value(first + 2).toString(),
            q.value(first + 3).toString()};
}

RefusalCount refusalCountFrom(const Rows &q, int first)
{
    return {q.value(first).toString(), q.value(first + 1).toString(), q.value(first + 2).toString(),
            q.value(first + 3).toLongLong(), q.value(first + 4).toString()};
}

// Worked out once a second per thread: a local-time look-up and formatting on every scan showed
// up in profiles.
QString nowStamp()
{
    thread_local qint64 second = -1;
    thread_local QString text;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (now != second) {
        second = now;
        text = QDateTime::fromSecsSinceEpoch(now).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    }
    return text;
}

} // namespace qav
