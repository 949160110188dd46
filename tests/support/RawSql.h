#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUuid>

namespace qavtest {

// A test's own connection to the database a URL names (a SQLite file, or postgresql://...), past
// the server's code: for what no command shows or does, or to hold a lock as another process
// would. Opened at once (isOpen, errorText); removed again when it goes, so queries on it must go
// first. Header only: the test links Qt Sql.
class RawSql
{
public:
    explicit RawSql(const QString &url)
        : m_name(QStringLiteral("raw-sql-") + QUuid::createUuid().toString(QUuid::Id128))
    {
        if (url.startsWith(QLatin1String("postgresql://"))) {
            const QUrl u(url);
            m_db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_name);
            m_db.setHostName(u.host());
            m_db.setPort(u.port(5432));
            m_db.setUserName(u.userName());
            m_db.setPassword(u.password());
            m_db.setDatabaseName(u.path().mid(1));
        } else {
            m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
            m_db.setDatabaseName(url);
        }
        m_db.open();
    }
    ~RawSql()
    {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
    }
    RawSql(const RawSql &) = delete;
    RawSql &operator=(const RawSql &) = delete;

    bool isOpen() const { return m_db.isOpen(); }
    QString errorText() const { return m_db.lastError().text(); }
    const QSqlDatabase &database() const { return m_db; }

    // The first value of the first row one statement gives; -1 when it gives none.
    qint64 number(const QString &sql) const
    {
        QSqlQuery q(m_db);
        return isOpen() && q.exec(sql) && q.next() ? q.value(0).toLongLong() : -1;
    }

private:
    QString m_name;
    QSqlDatabase m_db;
};

} // namespace qavtest
