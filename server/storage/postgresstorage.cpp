// PostgreSQL: its connection settings and time-outs; the SQL is SqlStorage's.

#include "backends.h"
#include "sqlstorage.h"

#include <QSqlError>

namespace qav {

namespace {

class PostgresStorage final : public SqlStorage
{
public:
    PostgresStorage(QSqlDatabase db, QString description, StorageUse use)
        : SqlStorage(std::move(db)), m_description(std::move(description))
    {
        exec(QStringLiteral("SET synchronous_commit TO on"));
        exec(QStringLiteral("SET client_min_messages TO warning"));
        if (use == StorageUse::Serving) {
            // A gate hears "busy" rather than waiting behind a lock held elsewhere.
            exec(QStringLiteral("SET lock_timeout TO %1").arg(kScanBudgetMs));
            exec(QStringLiteral("SET statement_timeout TO %1").arg(kScanBudgetMs + 300));
        }
    }
    QString describe() const override { return m_description; }

protected:
    QString beginWriteSql() const override { return QStringLiteral("BEGIN"); }
    QString serialIdType() const override { return QStringLiteral("BIGSERIAL PRIMARY KEY"); }
    bool isSqlite() const override { return false; }
    // As many as a server's usual connections, so its scans rarely share a counter row.
    int counterShards() const override { return 16; }
    // Several servers may start at once; CREATE ... IF NOT EXISTS alone races in PostgreSQL.
    void lockSchema() override { exec(QStringLiteral("SELECT pg_advisory_xact_lock(8470)")); }

private:
    QString m_description;
};

} // namespace

std::unique_ptr<Storage> openPostgres(const PgParams &p, StorageUse use)
{
    const QString description = QStringLiteral("postgresql://%1@%2:%3/%4")
                                    .arg(p.user, p.host, QString::number(p.port), p.database);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), newConnectionName());
    db.setHostName(p.host);
    db.setPort(p.port);
    db.setUserName(p.user);
    db.setPassword(p.password);
    db.setDatabaseName(p.database);
    // libpq waits at least 2 s; a gate's request is answered busy when it cannot connect. A
    // serving connection also notices within seconds that the database host went silent (data
    // not acknowledged, or an idle connection not answering probes), so its worker is free again.
    db.setConnectOptions(
        use == StorageUse::Serving
            ? QStringLiteral("connect_timeout=2;tcp_user_timeout=3000;keepalives_idle=10;"
                             "keepalives_interval=2;keepalives_count=3")
            : QStringLiteral("connect_timeout=5"));
    if (!db.open()) {
        const QString err = db.lastError().text();
        const QString name = db.connectionName();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
        throw StorageBusy(
            QStringLiteral("cannot connect to %1: %2").arg(description, err).toStdString());
    }
    return std::make_unique<PostgresStorage>(db, description, use);
}

} // namespace qav
