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
    explicit Rows(QSqlQuery &query) : m_query(&query) {}
    Rows(Rows &&other) noexcept : m_query(std::exchange(other.m_query, nullptr)) {}
    Rows(const Rows &) = delete;
    Rows &operator=(const Rows &) = delete;
    Rows &operator=(Rows &&) = delete;
    ~Rows()
    {
        if (m_query)
            m_query->finish();
    }
    bool next() { return m_query->next(); }
    QVariant value(int i) const { return m_query->value(i); }
    void finish() { m_query->finish(); }
    int numRowsAffected() const { return m_query->numRowsAffected(); }

private:
    QSqlQuery *m_query;
};

} // namespace qav
