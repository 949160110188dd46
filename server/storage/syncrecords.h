#pragma once

// The records of the sales system's API (server/sync/): its tokens, the answers kept for its
// retries and the two feeds it reads.

#include "server/storage/records.h"

namespace qav {

// What the audit's kind column says of a change made through the API; operator_id names the
// token.
inline constexpr auto kAuditSync = "sync";

// How long an answer is kept for a retry with the same Idempotency-Key.
inline constexpr qint64 kSyncReplayKeepSecs = 24 * 60 * 60;

// A sales system's token: only its hash is stored, found by that hash.
struct SyncToken
{
    QString name;
    QString placeCode; // the one venue it may change and read
    qint64 createdAt = 0;
};

// Who made a change through the API, for its audit row.
struct SyncActor
{
    QString tokenName;
    QString clientAddress;
};

// What a request's Idempotency-Key found.
struct SyncClaim
{
    enum Kind {
        New,      // claimed: run the request, then finishSyncKey (or dropSyncKey)
        Answered, // the first request's answer, in status and answer
        Other,    // the key was used for another request
        UnderWay, // the first request with the key is still running
    };
    Kind kind = New;
    int status = 0;
    QByteArray answer;
};

// A booking in the change feed: its state now and the change number it was last written at.
struct FeedBooking
{
    BookingRecord record;
    qint64 seq = 0;
};

// An admission, exit or annulment in the scans feed, under its feed number.
struct FeedScan
{
    qint64 feedNo = 0;
    ScanLogEntry entry;
};

} // namespace qav
