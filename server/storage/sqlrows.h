#pragma once

#include <QSqlQuery>
#include <QVariant>

#include <utility>

namespace qav {

// Told of every call that waits for the database, before and after it: a backend whose host may
// go silent bounds the wait.
class DatabaseWaits
{
public:
    virtual void waitBegins() = 0;
    virtual void waitEnds() = 0;

protected:
    ~DatabaseWaits() = default;
};

// Tells waits of the call in its scope, when there are any.
class DatabaseWait
{
public:
    explicit DatabaseWait(DatabaseWaits *waits) : m_waits(waits)
    {
        if (m_waits)
            m_waits->waitBegins();
    }
    ~DatabaseWait()
    {
        if (m_waits)
            m_waits->waitEnds();
    }
    DatabaseWait(const DatabaseWait &) = delete;
    DatabaseWait &operator=(const DatabaseWait &) = delete;

private:
    DatabaseWaits *m_waits;
};

// The rows of one statement run by SqlStorage. The statement stays prepared on its connection;
// it is reset when this goes, so no read stays open on the connection.
class Rows
{
public:
    // live, when given, counts the Rows open on the connection; waits, when given, is told of
    // each read (the client library reads rows from the database as they are asked for).
    explicit Rows(QSqlQuery &query, int *live = nullptr, DatabaseWaits *waits = nullptr)
        : m_query(&query), m_live(live), m_waits(waits)
    {
        if (m_live)
            ++*m_live;
    }
    Rows(Rows &&other) noexcept
        : m_query(std::exchange(other.m_query, nullptr)),
          m_live(std::exchange(other.m_live, nullptr)), m_waits(other.m_waits)
    {}
    Rows(const Rows &) = delete;
    Rows &operator=(const Rows &) = delete;
    Rows &operator=(Rows &&) = delete;
    ~Rows()
    {
        if (m_query) {
            DatabaseWait wait(m_waits);
            m_query->finish();
        }
        if (m_live)
            --*m_live;
    }
    bool next()
    {
        DatabaseWait wait(m_waits);
        return m_query->next();
    }
    QVariant value(int i) const { return m_query->value(i); }
    void finish()
    {
        DatabaseWait wait(m_waits);
        m_query->finish();
    }
    int numRowsAffected() const { return m_query->numRowsAffected(); }

private:
    QSqlQuery *m_query;
    int *m_live = nullptr;
    DatabaseWaits *m_waits = nullptr;
};

} // namespace qav
