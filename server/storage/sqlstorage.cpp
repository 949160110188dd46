// The SQL both backends run: the statement cache, errors, the schema's steps, transactions and
// the lookups every role shares. The rest of SqlStorage lives by role: sqlscan.cpp (scans, replay
// and audit; sqlonescan.cpp, PostgreSQL's accepted scan in one statement), sqlsessions.cpp,
// sqldashboard.cpp, sqlseason.cpp, sqlcounters.cpp (the kept counters); the backends in
// sqlitestorage.cpp and postgresstorage.cpp.

#include "server/storage/sqlstorage.h"

#include "server/storage/schema.h"
#include "server/storage/sqlrecords.h"

#include <QAtomicInt>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

namespace qav {

QString newConnectionName()
{
    static QAtomicInt counter;
    return QStringLiteral("qav-storage-%1").arg(counter.fetchAndAddRelaxed(1));
}

SqlStorage::SqlStorage(QSqlDatabase db) : m_db(std::move(db)) {}

SqlStorage::~SqlStorage()
{
    const QString name = m_db.connectionName();
    m_statements.clear();
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(name);
}

void SqlStorage::fail(const QString &what, const QSqlError &error)
{
    const QString message = what + QStringLiteral(": ") + error.text();
    const QString code = error.nativeErrorCode();
    if (lostConnection(error))
        m_lost = true;
    // SQLite: SQLITE_BUSY, SQLITE_LOCKED. PostgreSQL: lock or statement timeout, lost connection,
    // a server shutting down or starting up.
    const bool busy = code == QLatin1String("5") || code == QLatin1String("6") ||
                      code == QLatin1String("55P03") || code == QLatin1String("57014") ||
                      code.startsWith(QLatin1String("08")) ||
                      code.startsWith(QLatin1String("57P0")) ||
                      error.type() == QSqlError::ConnectionError || !m_db.isOpen() || m_lost;
    if (busy)
        throw StorageBusy(message.toStdString());
    throw StorageError(message.toStdString());
}

void SqlStorage::reopenIfLost()
{
    // Statements still being read belong to the old connection; they end with their caller.
    if (m_openTransactions > 0 || m_liveRows > 0 || !(m_lost || wantsReopen()))
        return;
    // Each prepared statement belongs to the connection it was prepared on.
    m_statements.clear();
    m_lost = true;
    reopen();
    m_lost = false;
}

QSqlQuery *SqlStorage::tryRun(const QString &sql, const QVariantList &binds, QString &what,
                              QSqlError &error)
{
    auto it = m_statements.find(sql);
    if (it == m_statements.end()) {
        QSqlQuery q(m_db);
        q.setForwardOnly(true);
        DatabaseWait wait(m_waits);
        if (!q.prepare(sql)) {
            what = QStringLiteral("cannot prepare [%1]").arg(sql);
            error = q.lastError();
            return nullptr;
        }
        it = m_statements.insert(sql, q);
    }
    QSqlQuery &q = *it;
    ++m_statementsRun;
    for (int i = 0; i < binds.size(); ++i)
        q.bindValue(i, binds[i]);
    DatabaseWait wait(m_waits);
    if (!q.exec()) {
        what = QStringLiteral("query failed [%1]").arg(sql);
        error = q.lastError();
        q.finish();
        return nullptr;
    }
    return &q;
}

Rows SqlStorage::run(const QString &sql, const QVariantList &binds)
{
    reopenIfLost();
    QString what;
    QSqlError error;
    if (QSqlQuery *q = tryRun(sql, binds, what, error))
        return Rows(*q, &m_liveRows, m_waits);
    // The first statement after the database restarted finds the connection dead; a read did
    // nothing there, so it goes again on a new connection rather than failing a gate's request.
    if (m_openTransactions == 0 && sql.startsWith(QLatin1String("SELECT ")) &&
        lostConnection(error)) {
        m_lost = true;
        reopenIfLost();
        if (QSqlQuery *q = tryRun(sql, binds, what, error))
            return Rows(*q, &m_liveRows, m_waits);
    }
    fail(what, error);
}

void SqlStorage::exec(const QString &sql)
{
    reopenIfLost();
    ++m_statementsRun;
    QSqlQuery q(m_db);
    if (DatabaseWait wait(m_waits); q.exec(sql))
        return;
    // Beginning a transaction is as harmless to repeat as a read.
    if (m_openTransactions == 0 && sql == beginWriteSql() && lostConnection(q.lastError())) {
        m_lost = true;
        reopenIfLost();
        QSqlQuery again(m_db);
        if (DatabaseWait wait(m_waits); again.exec(sql))
            return;
        fail(QStringLiteral("statement failed [%1]").arg(sql), again.lastError());
    }
    fail(QStringLiteral("statement failed [%1]").arg(sql), q.lastError());
}

void SqlStorage::initSchema()
{
    WriteTransaction tx(*this);
    lockSchema();
    exec(QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)"));
    int version = 0;
    {
        Rows q = run(QStringLiteral("SELECT MAX(version) FROM schema_version"));
        if (q.next())
            version = q.value(0).toInt();
    }
    const int current = currentSchemaVersion();
    if (version > current)
        throw StorageError(
            QStringLiteral("the database %1 has schema version %2, newer than the %3 "
                           "this qav-server knows: use qav-server %4 or later")
                .arg(describe())
                .arg(version)
                .arg(current)
                .arg(QStringLiteral(QAV_VERSION))
                .toStdString());
    if (version == current)
        return; // the transaction rolls back: nothing was changed
    for (const SchemaStep &step : schemaSteps()) {
        if (step.version <= version)
            continue;
        for (const QString &statement : step.statements) {
            // Databases made before versions were kept may have some of a step's columns.
            static const QRegularExpression addColumn(
                QStringLiteral("^ALTER TABLE (\\w+) ADD COLUMN (\\w+) (.*)$"));
            const QRegularExpressionMatch added = addColumn.match(statement);
            if (added.hasMatch())
                addColumnIfMissing(added.captured(1), added.captured(2), added.captured(3));
            else
                exec(QString(statement).replace(QStringLiteral("%SERIAL%"), serialIdType()));
        }
    }
    exec(QStringLiteral("DELETE FROM schema_version"));
    run(QStringLiteral("INSERT INTO schema_version (version) VALUES (?)"), {current});
    tx.commit();
}

int SqlStorage::schemaVersion()
{
    Rows q = run(QStringLiteral("SELECT MAX(version) FROM schema_version"));
    return q.next() ? q.value(0).toInt() : 0;
}

void SqlStorage::addColumnIfMissing(const QString &table, const QString &column,
                                    const QString &declaration)
{
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("SELECT * FROM %1 WHERE 1 = 0").arg(table)))
        fail(QStringLiteral("cannot read the columns of %1").arg(table), q.lastError());
    if (q.record().indexOf(column) >= 0)
        return;
    q.finish();
    exec(QStringLiteral("ALTER TABLE %1 ADD COLUMN %2 %3").arg(table, column, declaration));
}

std::optional<Venue> SqlStorage::findVenue(const QString &placeCode)
{
    Rows q = run(QStringLiteral("SELECT %1 FROM venues WHERE place_code = ?").arg(kVenueColumns),
                 {placeCode});
    if (!q.next())
        return std::nullopt;
    return venueFrom(q);
}

QList<Venue> SqlStorage::venues()
{
    Rows q = run(QStringLiteral("SELECT %1 FROM venues ORDER BY place_code").arg(kVenueColumns));
    QList<Venue> list;
    while (q.next())
        list << venueFrom(q);
    return list;
}

std::optional<Performance> SqlStorage::findPerformance(const QString &bizcode)
{
    Rows q = run(
        QStringLiteral("SELECT %1 FROM performances WHERE bizcode = ?").arg(kPerformanceColumns),
        {bizcode});
    if (!q.next())
        return std::nullopt;
    return performanceFrom(q);
}

QList<Performance> SqlStorage::performancesFrom(const QString &placeCode,
                                                const QString &fromStartsAt)
{
    Rows q =
        run(QStringLiteral("SELECT %1 FROM performances WHERE place_code = ? AND starts_at >= ?"
                           " ORDER BY starts_at, bizcode LIMIT 200")
                .arg(kPerformanceColumns),
            {placeCode, fromStartsAt});
    QList<Performance> list;
    while (q.next())
        list << performanceFrom(q);
    return list;
}

std::optional<OperatorRecord> SqlStorage::findOperator(const QString &id)
{
    Rows q =
        run(QStringLiteral("SELECT %1 FROM operators WHERE operator_id = ?").arg(kOperatorColumns),
            {id});
    if (!q.next())
        return std::nullopt;
    return operatorFrom(q);
}

void SqlStorage::inWriteTransaction(const WriteWork &work)
{
    WriteTransaction tx(*this);
    work(*this);
    tx.commit();
}

} // namespace qav
