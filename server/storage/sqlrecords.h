#pragma once

// How the SQL storage reads each record: its column list and the one reader that maps a row of
// it, side by side, so the two cannot drift apart. A query selects the list (a join may prefix
// the columns, in the same order) and reads the row from the column it starts at.

#include "server/storage/records.h"
#include "server/storage/sqlrows.h"

namespace qav {

inline const QString kVenueColumns = QStringLiteral("place_code, theater_name");
Venue venueFrom(const Rows &q, int first = 0);

inline const QString kPerformanceColumns =
    QStringLiteral("bizcode, place_code, goods_name, starts_at, place_name");
Performance performanceFrom(const Rows &q, int first = 0);

inline const QString kOperatorColumns =
    QStringLiteral("operator_id, password_hash, place_code, disabled");
OperatorRecord operatorFrom(const Rows &q, int first = 0);

// From sessions s joined to operators o; the key hash is selected before these when wanted.
inline const QString kSessionColumns = QStringLiteral(
    "s.operator_id, COALESCE(o.place_code, ''), s.client_address, s.created_at, s.last_used_at");
SessionRecord sessionFrom(const Rows &q, const QString &keyHash, int first = 0);

inline const QString kScanLogColumns = QStringLiteral(
    "scanned_at, operator_id, bizcode, ticket_raw, mode, result_code, result_msg, duration_us,"
    " client_address, session_operator, kind, manual_reason, id, annuls");
ScanLogEntry scanLogEntryFrom(const Rows &q, int first = 0);

// A booking with its admission state; BookingState reads the first nine of these.
inline const QString kBookingColumns = QStringLiteral(
    "bizcode, ticket_no, cust_name, seat_grade, seat_info, cancelled, inside, entries, exits,"
    " last_entry_at, last_entry_by, last_exit_at, last_exit_by");
BookingRecord bookingRecordFrom(const Rows &q, int first = 0);
BookingState bookingStateFrom(const Rows &q, int first = 0);

inline const QString kAdminColumns = QStringLiteral("admin_id, password_hash, place_code, role");
AdminRecord adminFrom(const Rows &q, int first = 0);

inline const QString kSignInColumns =
    QStringLiteral("attempted_at, operator_id, client_address, result");
SignInAttempt signInFrom(const Rows &q, int first = 0);

inline const QString kRefusalCountColumns =
    QStringLiteral("minute, client_address, what, count, last_text");
RefusalCount refusalCountFrom(const Rows &q, int first = 0);

// Bound as an empty text, not as NULL, for the NOT NULL columns.
inline QString notNull(const QString &s)
{
    return s.isNull() ? QStringLiteral("") : s;
}

} // namespace qav
