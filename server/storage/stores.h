#pragma once

// The storage as each of its users sees it: one interface per role, so that the gate, the
// dashboard and the season's command line each name only what they use. One object per backend
// implements them all (Storage, storage.h). Every method throws StorageError on database failure.

#include "server/storage/auditseal.h"
#include "server/storage/gateminutetally.h"
#include "server/storage/records.h"
#include "server/storage/syncrecords.h"

namespace qav {

// What the gate, the dashboard and the command line all read.
class Lookup
{
public:
    virtual ~Lookup() = default;

    virtual std::optional<Venue> findVenue(const QString &placeCode) = 0;
    virtual QList<Venue> venues() = 0; // by place code
    virtual std::optional<Performance> findPerformance(const QString &bizcode) = 0;
    virtual QList<Performance> performancesFrom(const QString &placeCode,
                                                const QString &fromStartsAt) = 0;
    virtual std::optional<OperatorRecord> findOperator(const QString &id) = 0;
    virtual std::optional<Summary> summary(const QString &bizcode) = 0;

    // Performance a gate of the venue checks now: the first that began at most three hours ago
    // (today or before midnight) or starts later today or within three hours, else today's last,
    // else the next upcoming one.
    std::optional<Performance> gatePerformance(const QString &placeCode, const QDateTime &now);
};

// Signed-in sessions of gate operators.
class SessionStore
{
public:
    virtual ~SessionStore() = default;

    // Inserts the session only while its operator is enabled and still has passwordHash (the one
    // the sign-in checked), in one transaction with the test: false, and nothing written, when the
    // operator was disabled or given a new password meanwhile. Also drops every session idle
    // since before dropIdleBefore.
    virtual bool createSession(const SessionRecord &session, const QByteArray &passwordHash,
                               qint64 dropIdleBefore) = 0;
    // The live session with this key hash, its last use moved to now; a session idle since before
    // idleBefore is deleted and not returned, as is one whose operator no longer exists or is
    // disabled.
    virtual std::optional<SessionRecord> useSession(const QString &keyHash, qint64 now,
                                                    qint64 idleBefore) = 0;
    // useSession, and the performance bizcode names (none when there is none) read along with it,
    // as a verification needs both.
    virtual std::optional<SessionRecord> useSessionFor(const QString &keyHash, qint64 now,
                                                       qint64 idleBefore, const QString &bizcode,
                                                       std::optional<Performance> &performance) = 0;
    virtual QList<SessionRecord> sessions(const QString &operatorId = {}) = 0; // all when empty
    virtual bool revokeSession(const QString &keyHash) = 0;
    // Ends every session of an operator (password changed, operator disabled); returns how many.
    virtual int revokeSessions(const QString &operatorId) = 0;
};

// What was tried without a session: sign-in attempts (of gates and of the dashboard) and the
// per-minute counts of refused requests.
class AttemptLog
{
public:
    virtual ~AttemptLog() = default;

    virtual void recordSignIn(const SignInAttempt &attempt) = 0;
    virtual QList<SignInAttempt> signInLog(int newest) = 0; // newest first
    // Adds counts to those of the same minute, address and kind.
    virtual void addRefusalCounts(const QList<RefusalCount> &counts) = 0;
    virtual QList<RefusalCount> refusalCounts(int newest) = 0; // newest minute first
    // Removes what nobody signed in for, older than stamp (yyyy-MM-dd HH:mm:ss): sign-in attempts,
    // refusal counts and the audit of unauthenticated verifications of earlier versions. The audit
    // of admissions stays. Returns how many rows went.
    virtual qint64 pruneUnauthenticated(const QString &stamp) = 0;
};

// What the gates' protocol needs: sign-in, sessions and the scan itself.
class GateStore : public virtual Lookup, public virtual SessionStore, public virtual AttemptLog
{
public:
    // The one state change of a ticket, decided by a single conditional write; recorded together
    // with its audit row or not at all.
    virtual ScanOutcome scan(const ScanRequest &request) = 0;
    // Records a refused verification that was not run (no session, another operator or venue).
    virtual void auditRefusedScan(const ScanRequest &request, const QString &kind,
                                  const QString &code, const QString &message) = 0;
};

// The venue dashboard: supervisors' sign-in and sessions, read-only views of the audit and the
// supervisor's check-in by hand.
class DashboardStore : public virtual Lookup, public virtual AttemptLog
{
public:
    // The scan's change made by hand by a supervisor (operatorId names the admin), audited as
    // manual.
    virtual ScanOutcome manualScan(const ScanRequest &request, const QString &reason) = 0;
    // Undoes an accepted entry or exit: the booking goes back to its state before it, in one
    // transaction with an audit row of kind annul. A scan of the ticket racing it either comes
    // before (and the annulment is refused as LaterScan) or after (and sees the state undone).
    virtual AnnulOutcome annul(const AnnulRequest &request) = 0;
    virtual std::optional<AdminRecord> findAdmin(const QString &id) = 0;
    // Inserts only while the admin still has passwordHash, the one the sign-in checked (disabling
    // changes it): false, and nothing written, otherwise.
    virtual bool putAdminSession(const QString &tokenHash, const AdminSession &session,
                                 const QByteArray &passwordHash, qint64 nowSecs) = 0;
    // The session if it was used within idleSecs; marks it used now. Expired sessions are removed.
    virtual std::optional<AdminSession> useAdminSession(const QString &tokenHash, qint64 nowSecs,
                                                        qint64 idleSecs) = 0;
    virtual void removeAdminSession(const QString &tokenHash) = 0;
    // Minutes with at least one accepted entry or exit since fromStamp (yyyy-MM-dd HH:mm:ss), in
    // order.
    virtual QList<MinuteCount> minuteSeries(const QString &bizcode, const QString &fromStamp) = 0;
    // Per operator; lastMinuteStamp starts the "scans per minute now" window.
    virtual QList<GateActivity> gateActivity(const QString &bizcode,
                                             const QString &lastMinuteStamp) = 0;
    // Per operator that scanned since watchFrom, its last scan and what it did since windowFrom
    // (both yyyy-MM-dd HH:mm:ss).
    virtual QList<GateRecent> recentGates(const QString &bizcode, const QString &watchFrom,
                                          const QString &windowFrom) = 0;
    // Newest first.
    virtual QList<ScanLogEntry> lastRefusals(const QString &bizcode, int limit) = 0;
    // Ticket number or holder's name containing text, at most limit, by ticket number.
    virtual QList<BookingState> searchBookings(const QString &bizcode, const QString &text,
                                               int limit) = 0;
    // Accepted entries and exits of one ticket and their annulments, oldest first.
    virtual QList<ScanLogEntry> ticketHistory(const QString &bizcode, const QString &ticketNo) = 0;
};

// Season administration from the command line: what the venue loads before a season, the list,
// show and change commands, and the audit reader. The setters return false when the thing to
// change does not exist.
class SeasonStore : public virtual Lookup
{
public:
    virtual void putVenue(const Venue &venue) = 0;
    virtual void putPerformance(const Performance &performance) = 0;
    // Inserts or updates an operator and ends its sessions.
    virtual void putOperator(const OperatorRecord &op) = 0;
    // Inserts or updates bookings; admission state of existing ones is kept.
    // Commits in chunks, so a scan never waits long behind an import; a failure midway leaves the
    // chunks before it in (importing the same list again is safe).
    virtual void putBookings(const QList<Booking> &bookings) = 0;
    // Removes bookings and audit rows of a performance (used to lay demo data anew).
    virtual void clearPerformance(const QString &bizcode) = 0;

    virtual QList<Performance> performances(const QString &placeCode) = 0; // empty: every venue
    virtual QList<OperatorRecord> operators(const QString &placeCode) = 0; // empty: every venue
    virtual QList<BookingRecord> bookings(const QString &bizcode) = 0;
    virtual std::optional<BookingRecord> findBooking(const QString &bizcode,
                                                     const QString &ticketNo) = 0;
    virtual bool addOperator(const OperatorRecord &op) = 0; // false: the id is taken
    // These two end the operator's sessions in the same transaction.
    virtual bool setOperatorDisabled(const QString &id, bool disabled) = 0;
    virtual bool setOperatorPassword(const QString &id, const QByteArray &passwordHash) = 0;
    virtual bool setBookingCancelled(const QString &bizcode, const QString &ticketNo,
                                     bool cancelled) = 0;
    virtual qint64 scanCount(const QString &bizcode) = 0;
    // Removes a performance and its bookings; refuses (StorageError) one that has audit rows.
    virtual bool removePerformance(const QString &bizcode) = 0;
    virtual QList<ScanLogEntry> scanLog(const QString &bizcode) = 0;
    virtual QList<ScanLogEntry> audit(const AuditFilter &filter) = 0;
    // Seals the audit rows committed since the last seal (auditseal.h). Safe from several
    // processes at once: of two seals with the same number only one is kept.
    virtual SealRun sealAudit(const SealKey &key) = 0;
    // Checks every seal and the rows under them, only those of one performance when bizcode is
    // set. Throws StorageError when the seals need a key that was not given.
    virtual AuditCheck checkAudit(const QString &bizcode, const SealKey &key) = 0;
    // Seal sealNo, the last one when 0.
    virtual std::optional<SealInfo> sealInfo(qint64 sealNo = 0) = 0;
    // Counts the bookings and the audit afresh and puts the summary's and the dashboard's kept
    // counters right; returns the performances whose counters were wrong (normally none).
    virtual QStringList recountCounters() = 0;
    // Adds up the rows that the connections of a PostgreSQL server keep apart into one per
    // counter, so the dashboard reads few rows; nothing to do on SQLite. Run now and then by the
    // serving process's housekeeping.
    virtual void foldCounters() = 0;
    // Adds the gate minutes a serving process gathered (GateMinuteTally) to those kept. Run every
    // two seconds by its housekeeping.
    virtual void addGateMinutes(const QList<GateMinuteCount> &counts) = 0;

    // Dashboard accounts, set up from the command line or by a manager on the dashboard.
    virtual void putAdmin(const AdminRecord &admin) = 0;
    virtual QList<AdminRecord> admins() = 0; // by id
    // Removes an admin and its sessions; false when there is none.
    virtual bool removeAdmin(const QString &id) = 0;
    // Disables (ending its sessions) or removes an admin in one transaction, refused when it is an
    // enabled manager and no other enabled manager of its venue (or of every venue, for one of
    // every venue) would be left. Two managers retiring each other at once cannot both pass.
    virtual AdminRetirement retireAdmin(const QString &id, bool remove) = 0;

    // Each operator's newest successful sign-in at a gate (its id, time and address), of the
    // venue's operators, every venue's when placeCode is empty.
    virtual QList<SignInAttempt> lastSignIns(const QString &placeCode) = 0;

    // A manager's changes from the dashboard. Each writes its audit row in its own transaction
    // when it is made, and neither when it is refused or finds nothing: no change stands without
    // its row. An add is an insert the database refuses when the code or id is taken, so of two
    // managers adding the same at once one gets false. within is the venue the manager runs
    // (every venue when empty): what lies elsewhere, when the write comes, is not found.
    virtual bool addPerformance(const Performance &performance, const SeasonAudit &audit) = 0;
    virtual bool changePerformance(const Performance &performance, const QString &within,
                                   const SeasonAudit &audit) = 0;
    virtual bool removePerformance(const QString &bizcode, const QString &within,
                                   const SeasonAudit &audit) = 0;
    virtual bool addOperator(const OperatorRecord &op, const SeasonAudit &audit) = 0;
    virtual bool setOperatorDisabled(const QString &id, bool disabled,
                                     const SeasonAudit &audit) = 0;
    virtual bool setOperatorPassword(const QString &id, const QByteArray &passwordHash,
                                     const SeasonAudit &audit) = 0;
    // Ends every session of an operator; %1 in audit.what becomes how many.
    virtual int endOperatorSessions(const QString &id, const SeasonAudit &audit) = 0;
    virtual bool addAdmin(const AdminRecord &admin, const SeasonAudit &audit) = 0;
    virtual AdminRetirement retireAdmin(const QString &id, bool remove,
                                        const SeasonAudit &audit) = 0;
    // Gives an admin another role, refused as retireAdmin refuses when it takes the last enabled
    // manager of its venue away.
    virtual AdminRetirement setAdminRole(const QString &id, AdminRole role,
                                         const SeasonAudit &audit) = 0;
    // Enables a disabled admin with a new password; false when there is no disabled admin id.
    virtual bool enableAdmin(const QString &id, const QByteArray &passwordHash,
                             const SeasonAudit &audit) = 0;
    // The row of a change whose writes are made by other calls, such as an upload's bookings
    // written in slices: written on its own, before them and once they are done.
    virtual void addSeasonAudit(const SeasonAudit &audit) = 0;
};

// The sales system's API: its tokens, the answers kept for retries, its writes (each with one
// audit row of kind sync naming the token) and its two feeds, which never skip or repeat a row
// however transactions commit.
class SyncStore : public virtual Lookup
{
public:
    virtual bool addSyncToken(const SyncToken &token, const QString &tokenHash) = 0; // false: taken
    virtual std::optional<SyncToken> findSyncToken(const QString &tokenHash) = 0;
    virtual QList<SyncToken> syncTokens() = 0; // by name
    // Removes the token and the answers kept for it; false when there is none.
    virtual bool revokeSyncToken(const QString &name) = 0;

    // Claims key for a request (requestHash tells requests apart); a claim still under way since
    // before staleBefore (its server died) is taken over. Keys older than kSyncReplayKeepSecs
    // count as unused.
    virtual SyncClaim claimSyncKey(const QString &tokenName, const QString &key,
                                   const QString &requestHash, qint64 nowSecs,
                                   qint64 staleBefore) = 0;
    virtual void finishSyncKey(const QString &tokenName, const QString &key, int status,
                               const QByteArray &answer) = 0;
    virtual void dropSyncKey(const QString &tokenName, const QString &key) = 0;
    // Removes answers kept since before beforeSecs; returns how many.
    virtual qint64 purgeSyncKeys(qint64 beforeSecs) = 0;

    // Creates or changes a performance of performance.placeCode; none, and nothing written, when
    // the bizcode belongs to another venue. True in created when it was new.
    virtual bool putSyncPerformance(const Performance &performance, const SyncActor &actor,
                                    bool &created) = 0;
    // The stored bookings among tickets of one performance.
    virtual QList<BookingRecord> bookingsByTicket(const QString &bizcode,
                                                  const QStringList &tickets) = 0;
    // Writes bookings of one performance as putBookings does, in slices that each commit; the
    // last one also writes the audit row with summary. A failure midway leaves whole slices in.
    virtual void putSyncBookings(const QString &bizcode, const QList<Booking> &bookings,
                                 const SyncActor &actor, const QString &summary) = 0;
    // Cancels one booking with its audit row; the booking as it was before, none when there is
    // none (nothing written then).
    virtual std::optional<BookingRecord>
    cancelSyncBooking(const QString &bizcode, const QString &ticketNo, const SyncActor &actor) = 0;

    // Bookings written after change number after, in that order, at most limit.
    virtual QList<FeedBooking> bookingFeed(const QString &bizcode, qint64 after, int limit) = 0;
    // Accepted entries and exits (at the gate or by hand) and annulments after feed number
    // after, at most limit. Rows committed since the last read are numbered first, in id order.
    virtual QList<FeedScan> scanFeed(const QString &bizcode, qint64 after, int limit) = 0;
};

// The rehearsal's own bookkeeping. Every method touches only rows whose codes carry the drill
// prefix, so a mistake here can never reach a real venue, performance or operator.
class DrillStore
{
public:
    virtual ~DrillStore() = default;

    virtual void addDrillRun(const DrillRun &run) = 0;
    virtual void touchDrillRun(const QString &bizcode, qint64 now) = 0;
    virtual QList<DrillRun> drillRuns() = 0;
    // Removes, in one transaction, what the run made besides its performance (which goes first,
    // with its bookings and audit): the operator with its sessions, replay keys and sign-in
    // attempts, the venue when the drill made it, and the run's row.
    virtual void removeDrillRun(const DrillRun &run) = 0;
};

} // namespace qav
