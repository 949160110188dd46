#pragma once

#include "storage.h"

#include <QSqlDatabase>
#include <QVariantList>

class QSqlQuery;

namespace qav {

struct PgParams
{
    QString host; // name, address or socket directory
    int port = 5432;
    QString user;
    QString password;
    QString database;
};

std::unique_ptr<Storage> openSqlite(const QString &path);
std::unique_ptr<Storage> openPostgres(const PgParams &params);

// The storage rules written once in SQL that SQLite and PostgreSQL both accept; the two backends
// differ only in how they connect, how a writing transaction begins and in column types.
// Owns its own named connection, removed on destruction.
class SqlStorage : public Storage
{
public:
    ~SqlStorage() override;

    void initSchema() override;
    std::optional<Venue> findVenue(const QString &placeCode) override;
    std::optional<Performance> findPerformance(const QString &bizcode) override;
    QList<Performance> performancesFrom(const QString &placeCode, const QString &fromStartsAt) override;
    std::optional<OperatorRecord> findOperator(const QString &id) override;
    ScanOutcome scan(const ScanRequest &request) override;
    std::optional<Summary> summary(const QString &bizcode) override;
    QList<ScanLogEntry> scanLog(const QString &bizcode) override;
    void putVenue(const Venue &venue) override;
    void putPerformance(const Performance &performance) override;
    void putOperator(const OperatorRecord &op) override;
    void putBookings(const QList<Booking> &bookings) override;
    void clearPerformance(const QString &bizcode) override;
    void auditRefusedScan(const ScanRequest &request, const QString &kind, const QString &code,
                          const QString &message) override;
    void createSession(const SessionRecord &session, qint64 dropIdleBefore) override;
    std::optional<SessionRecord> useSession(const QString &keyHash, qint64 now,
                                            qint64 idleBefore) override;
    QList<SessionRecord> sessions(const QString &operatorId) override;
    bool revokeSession(const QString &keyHash) override;
    int revokeSessions(const QString &operatorId) override;
    void recordSignIn(const SignInAttempt &attempt) override;
    QList<SignInAttempt> signInLog(int newest) override;

protected:
    explicit SqlStorage(QSqlDatabase db);

    virtual QString beginWriteSql() const = 0;
    virtual QString serialIdType() const = 0;
    virtual void lockSchema() {}

    QSqlQuery run(const QString &sql, const QVariantList &binds = {});
    void exec(const QString &sql);

    QSqlDatabase m_db;

private:
    class WriteTransaction;
    void scanInTransaction(const ScanRequest &request, ScanOutcome &outcome);
    bool claimReplayKey(const ScanRequest &request, ScanOutcome &outcome);
    void addColumnIfMissing(const QString &table, const QString &column,
                            const QString &declaration);
    void writeAudit(const ScanRequest &request, const QString &kind, const QString &code,
                    const QString &message);

    int m_scansSincePrune = 0;
};

} // namespace qav
