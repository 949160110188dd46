#pragma once

// What a scan or an annulment came to, and the answer the gate and the supervisor get for it: the
// ErrCode the station tells apart and the Korean text it shows. The audit row and the replay store
// keep both, so they are made where the scan is written, from these.

#include <QDateTime>
#include <QString>

namespace qav {

enum class ScanResult {
    Entered,
    ReEntered,
    Exited,
    UnknownMode,
    UnknownPerformance,
    UnknownTicket,
    OtherPerformance,
    Cancelled,
    AlreadyInside,
    NeverEntered,
    AlreadyLeft,
};

// A supervisor may undo an accepted entry or exit for this long.
inline constexpr qint64 kAnnulWindowSecs = 15 * 60;

enum class AnnulResult {
    Annulled,
    NothingToAnnul,  // no accepted entry or exit (left) to undo, or no such ticket
    AlreadyAnnulled, // the chosen row was undone before
    LaterScan,       // the ticket was let in or out again after the chosen row
    TooLate,         // the chosen row is older than kAnnulWindowSecs
    StateChanged,    // the booking no longer shows what the row did (changed by other means)
};

// A show that began up to this long ago is still the one at the gate (late comers, re-entry),
// also when it began before midnight.
inline constexpr qint64 kShowCurrentForSecs = 3 * 3600;

struct ScanVerdict
{
    QString code;    // the record set's ErrCode
    QString message; // the record set's ErrMsg, shown large at the gate
};

// The context a refusal names. startsAt (yyyyMMddHHmm) is the start of the ticket's performance:
// of the other one for OtherPerformance, else of the scanned one. earlierAt ("yyyy-MM-dd
// HH:mm:ss") and earlierBy are the scan that a repeated entry or exit ran into.
struct ScanContext
{
    QString startsAt;
    QString earlierAt;
    QString earlierBy;
};

ScanVerdict scanVerdict(ScanResult result, const ScanContext &context,
                        const QDateTime &now = QDateTime::currentDateTime());

// The supervisor's text for an annulment; entry: the row undone (or chosen) was an entry.
QString annulVerdict(AnnulResult result, bool entry);

} // namespace qav
