#pragma once

#include "server/storage/sqlrows.h"
#include "server/storage/storage.h"

#include <QHash>
#include <QSqlDatabase>
#include <QVariantList>

#include <exception>
#include <functional>
#include <vector>

namespace qav {

// A name no other connection of the process has.
QString newConnectionName();

// The storage rules written once in SQL that SQLite and PostgreSQL both accept; the two backends
// differ only in how they connect, how a writing transaction begins and in column types.
// Owns its own named connection, removed on destruction.
class SqlStorage : public Storage
{
public:
    ~SqlStorage() override;

    // Connection, schema and lookups (sqlstorage.cpp)
    void initSchema() override;
    int schemaVersion() override;
    std::optional<Venue> findVenue(const QString &placeCode) override;
    QList<Venue> venues() override;
    std::optional<Performance> findPerformance(const QString &bizcode) override;
    QList<Performance> performancesFrom(const QString &placeCode,
                                        const QString &fromStartsAt) override;
    std::optional<OperatorRecord> findOperator(const QString &id) override;

    // Scans, replay and audit (sqlscan.cpp)
    ScanOutcome scan(const ScanRequest &request) override;
    // Scans in one transaction, each in its own savepoint so a failing one rolls back alone, all
    // answered only once the commit is durable. Each slot gets an outcome or the exception of
    // its scan; a failure of the transaction itself is thrown.
    using WriteWork = std::function<void(SqlStorage &)>;
    struct GroupSlot
    {
        const ScanRequest *request = nullptr;
        WriteWork work; // instead of a scan: other statements, on the connection given
        ScanOutcome outcome;
        std::exception_ptr failure;
    };
    void scanGroup(std::vector<GroupSlot> &group);
    ScanOutcome manualScan(const ScanRequest &request, const QString &reason) override;
    AnnulOutcome annul(const AnnulRequest &request) override;
    std::optional<Summary> summary(const QString &bizcode) override;
    QList<ScanLogEntry> scanLog(const QString &bizcode) override;
    void auditRefusedScan(const ScanRequest &request, const QString &kind, const QString &code,
                          const QString &message) override;

    // Sessions, sign-ins and refusal counts (sqlsessions.cpp)
    bool createSession(const SessionRecord &session, const QByteArray &passwordHash,
                       qint64 dropIdleBefore) override;
    std::optional<SessionRecord> useSession(const QString &keyHash, qint64 now,
                                            qint64 idleBefore) override;
    std::optional<SessionRecord> useSessionFor(const QString &keyHash, qint64 now,
                                               qint64 idleBefore, const QString &bizcode,
                                               std::optional<Performance> &performance) override;
    QList<SessionRecord> sessions(const QString &operatorId) override;
    bool revokeSession(const QString &keyHash) override;
    int revokeSessions(const QString &operatorId) override;
    void recordSignIn(const SignInAttempt &attempt) override;
    QList<SignInAttempt> signInLog(int newest) override;
    void addRefusalCounts(const QList<RefusalCount> &counts) override;
    QList<RefusalCount> refusalCounts(int newest) override;
    qint64 pruneUnauthenticated(const QString &stamp) override;

    // Dashboard and its supervisors (sqldashboard.cpp)
    void putAdmin(const AdminRecord &admin) override;
    std::optional<AdminRecord> findAdmin(const QString &id) override;
    QList<AdminRecord> admins() override;
    bool removeAdmin(const QString &id) override;
    AdminRetirement retireAdmin(const QString &id, bool remove) override;
    bool addAdmin(const AdminRecord &admin, const SeasonAudit &audit) override;
    AdminRetirement retireAdmin(const QString &id, bool remove, const SeasonAudit &audit) override;
    AdminRetirement setAdminRole(const QString &id, AdminRole role,
                                 const SeasonAudit &audit) override;
    bool enableAdmin(const QString &id, const QByteArray &passwordHash,
                     const SeasonAudit &audit) override;
    void addSeasonAudit(const SeasonAudit &audit) override;
    QList<SignInAttempt> lastSignIns(const QString &placeCode) override;
    bool putAdminSession(const QString &tokenHash, const AdminSession &session,
                         const QByteArray &passwordHash, qint64 nowSecs) override;
    std::optional<AdminSession> useAdminSession(const QString &tokenHash, qint64 nowSecs,
                                                qint64 idleSecs) override;
    void removeAdminSession(const QString &tokenHash) override;
    QList<MinuteCount> minuteSeries(const QString &bizcode, const QString &fromStamp) override;
    QList<GateActivity> gateActivity(const QString &bizcode,
                                     const QString &lastMinuteStamp) override;
    QList<GateRecent> recentGates(const QString &bizcode, const QString &watchFrom,
                                  const QString &windowFrom) override;
    QList<ScanLogEntry> lastRefusals(const QString &bizcode, int limit) override;
    QList<BookingState> searchBookings(const QString &bizcode, const QString &text,
                                       int limit) override;
    QList<ScanLogEntry> ticketHistory(const QString &bizcode, const QString &ticketNo) override;

    // Season administration (sqlseason.cpp)
    void putVenue(const Venue &venue) override;
    void putPerformance(const Performance &performance) override;
    void putOperator(const OperatorRecord &op) override;
    void putBookings(const QList<Booking> &bookings) override;
    void clearPerformance(const QString &bizcode) override;
    QList<Performance> performances(const QString &placeCode) override;
    QList<OperatorRecord> operators(const QString &placeCode) override;
    QList<BookingRecord> bookings(const QString &bizcode) override;
    std::optional<BookingRecord> findBooking(const QString &bizcode,
                                             const QString &ticketNo) override;
    bool addOperator(const OperatorRecord &op) override;
    bool setOperatorDisabled(const QString &id, bool disabled) override;
    bool setOperatorPassword(const QString &id, const QByteArray &passwordHash) override;
    bool setBookingCancelled(const QString &bizcode, const QString &ticketNo,
                             bool cancelled) override;
    qint64 scanCount(const QString &bizcode) override;
    bool removePerformance(const QString &bizcode) override;
    QList<ScanLogEntry> audit(const AuditFilter &filter) override;
    void backupTo(const QString &path) override;

    // A manager's audited changes (sqlseason.cpp, the accounts' in sqldashboard.cpp)
    bool addPerformance(const Performance &performance, const SeasonAudit &audit) override;
    bool changePerformance(const Performance &performance, const QString &within,
                           const SeasonAudit &audit) override;
    bool removePerformance(const QString &bizcode, const QString &within,
                           const SeasonAudit &audit) override;
    bool addOperator(const OperatorRecord &op, const SeasonAudit &audit) override;
    bool setOperatorDisabled(const QString &id, bool disabled, const SeasonAudit &audit) override;
    bool setOperatorPassword(const QString &id, const QByteArray &passwordHash,
                             const SeasonAudit &audit) override;
    int endOperatorSessions(const QString &id, const SeasonAudit &audit) override;

    // The rehearsal's bookkeeping (sqldrill.cpp)
    void addDrillRun(const DrillRun &run) override;
    void touchDrillRun(const QString &bizcode, qint64 now) override;
    QList<DrillRun> drillRuns() override;
    void removeDrillRun(const DrillRun &run) override;
    // The sales system's API (sqlsync.cpp)
    bool addSyncToken(const SyncToken &token, const QString &tokenHash) override;
    std::optional<SyncToken> findSyncToken(const QString &tokenHash) override;
    QList<SyncToken> syncTokens() override;
    bool revokeSyncToken(const QString &name) override;
    SyncClaim claimSyncKey(const QString &tokenName, const QString &key, const QString &requestHash,
                           qint64 nowSecs, qint64 staleBefore) override;
    void finishSyncKey(const QString &tokenName, const QString &key, int status,
                       const QByteArray &answer) override;
    void dropSyncKey(const QString &tokenName, const QString &key) override;
    qint64 purgeSyncKeys(qint64 beforeSecs) override;
    bool putSyncPerformance(const Performance &performance, const SyncActor &actor,
                            bool &created) override;
    QList<BookingRecord> bookingsByTicket(const QString &bizcode,
                                          const QStringList &tickets) override;
    void putSyncBookings(const QString &bizcode, const QList<Booking> &bookings,
                         const SyncActor &actor, const QString &summary) override;
    std::optional<BookingRecord> cancelSyncBooking(const QString &bizcode, const QString &ticketNo,
                                                   const SyncActor &actor) override;
    QList<FeedBooking> bookingFeed(const QString &bizcode, qint64 after, int limit) override;
    QList<FeedScan> scanFeed(const QString &bizcode, qint64 after, int limit) override;
    // Seals of the audit (sqlseal.cpp)
    SealRun sealAudit(const SealKey &key) override;
    AuditCheck checkAudit(const QString &bizcode, const SealKey &key) override;
    std::optional<SealInfo> sealInfo(qint64 sealNo = 0) override;
    // Kept counters (sqlcounters.cpp)
    // What the counters know of one booking; none where the booking is not there.
    struct CountedBooking
    {
        bool cancelled = false;
        bool inside = false;
        qint64 entries = 0;
    };
    // The booking counters of one performance, or a change of them.
    struct BookingCounts
    {
        qint64 total = 0, admitted = 0, insideNow = 0, leftNow = 0, notYet = 0, reentered = 0,
               cancelled = 0;
        static BookingCounts of(const std::optional<CountedBooking> &booking);
        BookingCounts &operator+=(const BookingCounts &other);
        BookingCounts operator-(const BookingCounts &other) const;
        bool isZero() const;
    };
    // Moves the performance's kept counters by one booking going from before to after, in the
    // caller's write transaction. Every write of a booking's cancelled, inside or entries goes
    // through here (or adds up the same differences for many bookings, then addCounts), so the
    // counters always equal a count of the bookings.
    void moveCounters(const QString &bizcode, const std::optional<CountedBooking> &before,
                      const std::optional<CountedBooking> &after);
    void addCounts(const QString &bizcode, const BookingCounts &change);
    // With every booking and audit row of a performance gone, its counters go too.
    void dropCounters(const QString &bizcode);
    QStringList recountCounters() override;
    void foldCounters() override;
    void addGateMinutes(const QList<GateMinuteCount> &counts) override;

    // Statements this connection has sent, to tell how a cost grows without timing it.
    qint64 statementsRun() const { return m_statementsRun; }

protected:
    explicit SqlStorage(QSqlDatabase db);

    virtual QString beginWriteSql() const = 0;
    // Runs work as one write transaction, on the connection it is given: this one, or on a
    // serving SQLite connection its process's writer's, sharing the scans' commit.
    virtual void inWriteTransaction(const WriteWork &work);
    virtual QString serialIdType() const = 0;
    virtual void lockSchema() {}
    virtual bool isSqlite() const = 0;
    // Appended to a read in a write transaction whose rows must not change before it commits:
    // PostgreSQL locks them; SQLite has one writer at a time already.
    QString forShare() const { return isSqlite() ? QString() : QStringLiteral(" FOR SHARE"); }

    // Runs a statement prepared once per connection. Throws StorageError (StorageBusy for a lock
    // or a lost connection). Outside a transaction, a lost connection is opened again first, and
    // a read that finds it lost is run once more on the new one: it changed nothing.
    Rows run(const QString &sql, const QVariantList &binds = {});
    void exec(const QString &sql);
    [[noreturn]] void fail(const QString &what, const QSqlError &error);

    // A backend that can open its connection again says so here: whether the failure lost the
    // connection (it then reopens before the next statement outside a transaction), whether it
    // should be reopened although no statement of its own failed, and how it is reopened
    // (StorageBusy while the database cannot be reached).
    virtual bool lostConnection(const QSqlError &) { return false; }
    virtual bool wantsReopen() const { return false; }
    virtual void reopen() {}

    QSqlDatabase m_db;
    // Told of each statement's wait for the database; none by default.
    DatabaseWaits *m_waits = nullptr;

    // Rolls back unless committed, so an exception anywhere leaves no half-written change.
    class WriteTransaction
    {
    public:
        // then: statements sent with the beginning, in its round trip (settings of the
        // transaction).
        explicit WriteTransaction(SqlStorage &s, const QString &then = {}) : m_s(s)
        {
            m_s.exec(then.isEmpty() ? m_s.beginWriteSql()
                                    : m_s.beginWriteSql() + QStringLiteral("; ") + then);
            ++m_s.m_openTransactions;
        }
        ~WriteTransaction()
        {
            if (m_done)
                return;
            --m_s.m_openTransactions;
            DatabaseWait wait(m_s.m_waits);
            m_s.m_db.exec(QStringLiteral("ROLLBACK"));
        }
        WriteTransaction(const WriteTransaction &) = delete;
        WriteTransaction &operator=(const WriteTransaction &) = delete;
        void commit()
        {
            m_s.exec(QStringLiteral("COMMIT"));
            m_done = true;
            --m_s.m_openTransactions;
        }

    private:
        SqlStorage &m_s;
        bool m_done = false;
    };

private:
    void scanInTransaction(const ScanRequest &request, ScanOutcome &outcome);
    void annulInTransaction(const AnnulRequest &request, AnnulOutcome &outcome);
    bool claimReplayKey(const ScanRequest &request, ScanOutcome &outcome);
    bool decodeAnswer(const ScanRequest &request, const QString &text, ScanOutcome &outcome);
    void addColumnIfMissing(const QString &table, const QString &column,
                            const QString &declaration);
    // The counters' rows this connection writes: connections of a PostgreSQL server update
    // different rows, so scans of one performance do not queue behind one row's lock.
    int counterShard();
    virtual int counterShards() const { return 1; }
    // Set within a transaction, makes its prepared statements use the plan made once for any
    // values; empty where there is no such setting.
    virtual QString planOnceSql() const { return {}; }
    struct AuditCount
    {
        QString bizcode, operatorId, stamp, mode, code, kind;
        qint64 durationUs = 0;
    };
    struct Statement
    {
        QString sql;
        QVariantList binds;
    };
    // The kept figures a scan that ran moves (kinds scan and manual), each inserting only when
    // from (a FROM clause, or none) yields a row.
    QList<Statement> scanCounterMoves(const AuditCount &a, const QString &from);
    // The gate's minute of a scan that ran, gathered in memory (GateMinuteTally); called within
    // the scan's transaction, after its counters moved, so that recount's lock waits for it.
    void tallyGateMinute(const AuditCount &a);
    Statement acceptedScanCountsMove(const QString &bizcode, bool entry, const QString &from);
    // PostgreSQL: an accepted fresh scan as one statement, committed on its own (sqlonescan.cpp).
    // Usual: nothing was written, and the scan is for the usual transaction (a refusal, an
    // unknown performance). KeyTaken: nothing was written, and the replay key is there.
    enum class OneScan { Done, Usual, KeyTaken };
    OneScan scanInOneStatement(const ScanRequest &request, ScanOutcome &outcome);
    void pruneReplaysNowAndThen();
    void insertAudit(const QString &auditSql, const QVariantList &auditBinds, const AuditCount &a);
    void writeAudit(const ScanRequest &request, const QString &kind, const QString &code,
                    const QString &message, const QString &manualReason = {}, qint64 annuls = 0);

    int m_scansSincePrune = 0;
    bool recordFreshScan(const ScanRequest &request, ScanOutcome &outcome);
    void recordScan(const ScanRequest &request, ScanOutcome &outcome);
    void finishScan(const ScanRequest &request, const ScanOutcome &outcome, bool fresh);
    void putBookingChunk(const QList<Booking> &bookings);
    // The statements of putBookingChunk, in the caller's write transaction.
    void writeBookingChunk(const QList<Booking> &bookings);
    // Takes count change numbers of a performance, in the caller's write transaction, and
    // returns the first. The performance's row stays locked until commit, so its numbers commit
    // in order and a reader of the feed never passes one that commits later.
    qint64 takeChangeSeqs(const QString &bizcode, qint64 count);
    void writeSyncAudit(const SyncActor &actor, const QString &bizcode, const QString &ticket,
                        const QString &what, const QString &message);
    void numberScanFeed(const QString &bizcode);
    // Runs sql (an insert or update of operator id, without RETURNING) and, when it touched the
    // operator, ends the operator's sessions and writes audit (when given), in one transaction;
    // false when it touched none.
    bool changeOperator(const QString &id, const QString &sql, const QVariantList &binds,
                        const SeasonAudit *audit = nullptr);
    // The season's changes with their audit row in the same write transaction, when audit is given.
    bool addOperatorAudited(const OperatorRecord &op, const SeasonAudit *audit);
    bool removePerformanceIn(const QString &bizcode, const QString &within,
                             const SeasonAudit *audit);
    AdminRetirement retireAdminAudited(const QString &id, bool remove, const SeasonAudit *audit);
    // In a write transaction: admin id with the managers' rows locked, and whether it is the last
    // enabled manager of its venue (or of every venue).
    std::optional<AdminRecord> lockAdmin(const QString &id, bool *lastManager);
    // Writes the row in the caller's write transaction.
    void writeSeasonAudit(const SeasonAudit &audit);
    std::optional<SessionRecord> keepSession(SessionRecord session, qint64 now, qint64 idleBefore);

    // Statements that were prepared on a connection lost since go with it.
    void reopenIfLost();
    QSqlQuery *tryRun(const QString &sql, const QVariantList &binds, QString &what,
                      QSqlError &error);

    QHash<QString, QSqlQuery> m_statements;
    qint64 m_statementsRun = 0;
    int m_openTransactions = 0;
    int m_liveRows = 0;
    bool m_lost = false;

    struct AuditRow
    {
        qint64 id = 0;
        QString bizcode;
        QString kind;
        QByteArray digest;
    };
    // Audit rows with id above after, by id, at most limit, of one performance when bizcode is set.
    QList<AuditRow> auditRows(qint64 after, qint64 last, int limit, const QString &bizcode = {});
    // Audit rows with ids in any of ranges, by id, at most limit.
    QList<AuditRow> auditRowsIn(const IdRanges &ranges, int limit);
    QList<AuditRow> selectAuditRows(const QString &sql, const QVariantList &binds);
    int m_counterShard = -1;
};

} // namespace qav
