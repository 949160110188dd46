#pragma once

// Databases for the server tests: a fresh SQLite file, or a fresh database on the PostgreSQL
// server named by QAV_TEST_PG_URL (dropped again when the test is done).

#include "tests/support/RawSql.h"

#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QUuid>

#include <memory>

namespace qavtest {

inline QStringList backends()
{
    return {QStringLiteral("sqlite"), QStringLiteral("postgresql")};
}

// A data function's rows: one per backend, in a column named "backend".
inline void backendRows()
{
    QTest::addColumn<QString>("backend");
    for (const QString &backend : backends())
        QTest::newRow(qPrintable(backend)) << backend;
}

inline QString pgBaseUrl()
{
    return qEnvironmentVariable("QAV_TEST_PG_URL");
}

class ScratchDatabase
{
public:
    explicit ScratchDatabase(const QString &backend)
    {
        if (backend == QLatin1String("sqlite")) {
            m_url = m_dir.filePath(QStringLiteral("test.db"));
            return;
        }
        const QUrl base(pgBaseUrl());
        m_name = QStringLiteral("qav_t_") + QUuid::createUuid().toString(QUuid::Id128).left(16);
        admin([&](QSqlQuery &q) { return q.exec(QStringLiteral("CREATE DATABASE ") + m_name); });
        QUrl url = base;
        url.setPath(u'/' + m_name);
        m_url = url.toString();
    }
    ~ScratchDatabase()
    {
        if (!m_name.isEmpty())
            admin([&](QSqlQuery &q) {
                return q.exec(
                    QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(m_name));
            });
    }
    QString url() const { return m_url; }
    QString dir() const { return m_dir.path(); }

private:
    template <typename F> void admin(F f)
    {
        const RawSql db(pgBaseUrl());
        if (!db.isOpen())
            qFatal("cannot reach QAV_TEST_PG_URL: %s", qPrintable(db.errorText()));
        QSqlQuery q(db.database());
        if (!f(q))
            qWarning("scratch database: %s", qPrintable(q.lastError().text()));
    }

    QTemporaryDir m_dir;
    QString m_name;
    QString m_url;
};

// Skips the current data row when it needs PostgreSQL and none is configured.
#define QAV_REQUIRE_BACKEND(backend)                                                               \
    do {                                                                                           \
        if ((backend) == QLatin1String("postgresql") && qavtest::pgBaseUrl().isEmpty())            \
            QSKIP("QAV_TEST_PG_URL is not set (source scripts/start-test-postgres.sh)");           \
    } while (false)

} // namespace qavtest
