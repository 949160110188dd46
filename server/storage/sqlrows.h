#pragma once

#include <QSqlQuery>
#include <QVariant>

#include <utility>

namespace qav {

// The rows of one statement run by SqlStorage. The statement stays prepared on its connection;
// it is reset when this goes, so no read stays open on the connection.
class Rows
{
public:
    // live, when given, counts the Rows open on the connection.
    explicit Rows(QSqlQuery &query, int *live = nullptr) : m_query(&query), m_live(live)
    {
        if (m_live)
            ++*m_live;
    }
    Rows(Rows &&other) noexcept
        : m_query(std::exchange(other.m_query, nullptr)),
          m_live(std::exchange(other.m_live, nullptr))
    {}
    Rows(const Rows &) = delete;
    Rows &operator=(const Rows &) = delete;
    Rows &operator=(Rows &&) = delete;
    ~Rows()
    {
        if (m_query)
            m_query->finish();
        if (m_live)
            --*m_live;
    }
    bool next() { return m_query->next(); }
    QVariant value(int i) const { return m_query->value(i); }
    void finish() { m_query->finish(); }
    int numRowsAffected() const { return m_query->numRowsAffected(); }

private:
    QSqlQuery *m_query;
    int *m_live = nullptr;
};

} // namespace qav
