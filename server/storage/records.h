#pragma once

// The records the server keeps and the errors of its database, shared by every role of the
// storage (stores.h) and by the code that shows or sends them.

#include "server/base/verdicts.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <memory>
#include <optional>
#include <stdexcept>

namespace qav {

// Any failure of the database (cannot open, lost connection, constraint broken). The message is
// meant for the administrator's log, never for the gate.
class StorageError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The database is there but locked by someone else, or cannot be reached, past the time a gate
// may wait: the request is answered "busy" and may be tried again.
class StorageBusy : public StorageError
{
public:
    using StorageError::StorageError;
};

struct Venue
{
    QString placeCode;
    QString theaterName;
};

struct Performance
{
    QString bizcode;
    QString placeCode;
    QString goodsName;
    QString startsAt; // yyyyMMddhhmm, local time of the venue
    QString placeName;
};

struct Booking
{
    QString bizcode;
    QString ticketNo;
    QString custName;
    QString seatGrade;
    QString seatInfo;
    bool cancelled = false;
};

struct OperatorRecord
{
    QString id;
    QByteArray passwordHash;
    QString placeCode;
    bool disabled = false; // a disabled operator cannot sign in
};

struct ScanRequest
{
    ScanRequest() = default;
    ScanRequest(QString mode_, QString bizcode_, QString ticketRaw_, QString operatorId_,
                qint64 startedNs_ = 0, QString clientAddress_ = {}, QString sessionOperator_ = {},
                QString replayKey_ = {})
        : mode(std::move(mode_)), bizcode(std::move(bizcode_)), ticketRaw(std::move(ticketRaw_)),
          operatorId(std::move(operatorId_)), startedNs(startedNs_),
          clientAddress(std::move(clientAddress_)), sessionOperator(std::move(sessionOperator_)),
          replayKey(std::move(replayKey_))
    {}

    QString mode; // "I" entry, "O" exit; anything else is refused
    QString bizcode;
    QString ticketRaw; // the ticket in its normal form (the wire's normalTicket), as looked up
                       // and recorded; the audit's column keeps its first name
    QString operatorId;
    qint64 startedNs = 0;    // steady-clock time the request arrived, for the audit's duration
    QString clientAddress;   // for the audit
    QString sessionOperator; // operator of the signed-in session the request came with
    // The gate's name for this scan: a request repeating it (same operator, within
    // kReplayKeepSecs) gets the first answer back instead of a second scan. Empty: no replay.
    QString replayKey;
    // The performance as the caller has just read it (none: not found), so the scan's
    // transaction need not read it again. Unset: the scan reads it.
    std::optional<std::optional<Performance>> performance;
};

// How long a scan's answer is kept for a repeated request with the same replay key.
inline constexpr qint64 kReplayKeepSecs = 10 * 60;

struct ScanOutcome
{
    ScanResult result = ScanResult::UnknownTicket;
    QString code;
    QString message;
    Booking booking;         // filled when the ticket exists for this performance
    Performance performance; // the gate's performance, or the other one for OtherPerformance
    QString when;          // yyyy-MM-dd HH:mm:ss of the earlier entry/exit that explains a refusal
    QString who;           // operator of that earlier entry/exit
    bool replayed = false; // the stored answer of an earlier request with the same replay key
};

struct Summary
{
    qint64 total = 0;    // bookings not cancelled
    qint64 admitted = 0; // admitted at least once
    qint64 insideNow = 0;
    qint64 leftNow = 0;   // admitted, currently outside
    qint64 notYet = 0;    // never admitted
    qint64 reentered = 0; // admitted more than once
    qint64 cancelled = 0;
    qint64 refused = 0; // refused entry attempts
};

// What a scan_log row records besides the answer: a scan that ran, a repeated request answered
// from the replay store, or a request refused before anything was looked at.
inline constexpr auto kAuditScan = "scan";
inline constexpr auto kAuditRepeat = "repeat";
inline constexpr auto kAuditUnauthorized = "unauthorized"; // no valid session
inline constexpr auto kAuditForbidden = "forbidden";       // another operator's id or venue
inline constexpr auto kAuditManual = "manual"; // a supervisor's check-in/out from the dashboard
inline constexpr auto kAuditAnnul = "annul";   // a supervisor undid an accepted entry or exit
// A manager changed the season from the dashboard: ticketRaw names what was changed, resultMessage
// what was done, bizcode is empty (so no performance's scans count it).
inline constexpr auto kAuditSeason = "season";

// The audit row of a manager's change from the dashboard (kind season): the account, its address,
// what was changed and what was done.
struct SeasonAudit
{
    QString adminId;
    QString clientAddress;
    QString target;
    QString what;
};

struct ScanLogEntry
{
    QString scannedAt;
    QString operatorId;
    QString bizcode;
    QString ticketRaw; // in normal form
    QString mode;
    QString resultCode;
    QString resultMessage;
    qint64 durationUs = 0;
    QString clientAddress;
    QString sessionOperator;
    QString kind;         // one of kAudit...
    QString manualReason; // for kAuditManual and kAuditAnnul: why the admin in operatorId did it
    qint64 id = 0;
    qint64 annuls = 0; // for kAuditAnnul: id of the row it undid
};

// A supervisor's undoing of an accepted entry or exit of one ticket.
struct AnnulRequest
{
    QString bizcode;
    QString ticketNo; // in normal form
    qint64 logId = 0; // the audit row chosen; 0: the ticket's last accepted entry or exit
    QString adminId;
    QString clientAddress;
    QString reason;
};

struct AnnulOutcome
{
    AnnulResult result = AnnulResult::NothingToAnnul;
    QString message;       // for the supervisor, Korean
    ScanLogEntry annulled; // the row undone (or chosen, when refused)
};

// A signed-in session of an operator. Times are seconds since the epoch.
struct SessionRecord
{
    QString keyHash; // the key itself is never stored
    QString operatorId;
    QString placeCode; // the operator's venue, filled when read
    QString clientAddress;
    qint64 createdAt = 0;
    qint64 lastUsedAt = 0;

    // Short name of the session for the admin command line.
    QString shortId() const { return keyHash.left(12); }
};

struct SignInAttempt
{
    QString attemptedAt; // yyyy-MM-dd HH:mm:ss, filled when read
    QString operatorId;  // as typed; for a place-code sign-in the session's operator
    QString clientAddress;
    QString result; // ok, wrong, throttled, no-performance, place-ok, place-forbidden, ...
};

// Requests refused before any session was known, counted per client address and minute rather
// than kept one row each, so that nobody can fill the disk without signing in.
struct RefusalCount
{
    QString minute; // yyyy-MM-dd HH:mm, local time
    QString clientAddress;
    QString what; // verify, summary, place, sign-in (throttled)
    qint64 count = 0;
    QString lastText; // the last ticket, place code or id sent, short and printable
};

// What a dashboard account may do, each role also what the ones before it may: watch and search,
// then check in and out by hand and annul, then run the season and the venue's accounts.
enum class AdminRole { Viewer, Supervisor, Manager };

// "viewer", "supervisor", "manager"; nullopt for any other text.
std::optional<AdminRole> adminRoleNamed(const QString &name);
QString adminRoleName(AdminRole role);

// A venue's dashboard account; kept apart from gate operators.
struct AdminRecord
{
    QString id;
    QByteArray passwordHash;
    QString placeCode; // empty: every venue
    AdminRole role = AdminRole::Manager;

    // A disabled admin's hash is kept behind a '!', which no password matches (the shadow file's
    // way), so enabling again needs only a new password.
    bool disabled() const { return passwordHash.startsWith('!'); }
};

// What disabling or removing a dashboard account came to.
enum class AdminRetirement {
    Done,
    NotFound,
    LastManager, // refused: no other enabled manager would be left for its venue
};

// A signed-in dashboard session: the cookie's token is stored only as its hash.
struct AdminSession
{
    QString adminId;
    QString csrfToken;
};

// Accepted entries and exits of one minute ("yyyy-MM-dd HH:mm").
struct MinuteCount
{
    QString minute;
    qint64 entries = 0;
    qint64 exits = 0;
};

// What one gate operator (or admin, by hand) did for a performance.
struct GateActivity
{
    QString operatorId;
    qint64 scans = 0;
    qint64 accepted = 0;
    qint64 refused = 0;
    QString lastScanAt;
    qint64 lastMinute = 0; // scans in the last 60 seconds
    bool manual = false;   // the scans were made by hand from the dashboard
};

// A gate operator's recent scans (gate scans only, not manual ones), for its health.
struct GateRecent
{
    QString operatorId;
    QString lastScanAt;
    qint64 scans = 0;   // within the recent window
    qint64 refused = 0; // of those
    // Of those, how many took how long from the request's arrival to its audit row, per bucket
    // of server/base/timebuckets.h.
    QList<qint64> timeCounts;
};

// A booking with its admission state, as the dashboard's search shows it.
struct BookingState
{
    Booking booking;
    bool inside = false;
    qint64 entries = 0;
    qint64 exits = 0;
};

// A booking with its admission state and who last moved it, as the command line shows it.
struct BookingRecord
{
    Booking booking;
    bool inside = false;
    int entries = 0;
    int exits = 0;
    QString lastEntryAt;
    QString lastEntryBy;
    QString lastExitAt;
    QString lastExitBy;
};

// Which audit rows to read; empty fields do not filter. Times are "yyyy-MM-dd HH:mm:ss" text,
// from inclusive, to exclusive.
struct AuditFilter
{
    QString bizcode;
    QString from;
    QString to;
    QString operatorId;
    QStringList resultCodes;
};

struct ImportReport
{
    int imported = 0;
    QStringList problems; // "line N: reason"
};

// A rehearsal of the gates (`qav-server drill`) and what it made, recorded before it makes
// anything, so that it, or the next drill after it was killed, removes exactly that. Its codes
// begin with kDrillPrefix, which nothing else may use.
struct DrillRun
{
    QString bizcode;
    QString operatorId;
    QString placeCode;
    bool ownVenue = false; // the venue was made for the drill and goes with it
    QString host;          // where the drill runs, with its process id
    qint64 pid = 0;
    qint64 startedAt = 0; // seconds since the epoch
    qint64 aliveAt = 0;   // last sign of life of the drill
};

inline constexpr auto kDrillPrefix = "DRILL-";
bool isDrillCode(const QString &code);

// Fills code and message of an outcome from its result (server/base/verdicts.h).
void describeOutcome(ScanOutcome &outcome);

// Fills the message of an annulment from its result.
void describeAnnul(AnnulOutcome &outcome);

// Local time as yyyy-MM-dd HH:mm:ss, as the logs' time columns hold it.
QString nowStamp();

} // namespace qav
