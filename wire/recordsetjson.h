#pragma once

#include <QByteArray>
#include <QList>
#include <QStringList>

#include <optional>

namespace wire {

// One answer of the business object: named columns and rows of text, as JSON
// `{"columns":[...],"rows":[[...],...]}`. A null QString in a row is JSON null; every other value
// is a JSON string. The station reads only the first row.
struct RecordSet
{
    QStringList columns;
    QList<QStringList> rows;

    QByteArray toJson() const;
    // The answer read back; none, with *why (a short Korean text) set, when json is not a record
    // set: not JSON, no columns or rows, a row of another width, a value neither text nor null.
    static std::optional<RecordSet> fromJson(const QByteArray &json, QString *why = nullptr);

    // First-row value of a column named exactly so, or a null string when there is no such row
    // or column.
    QString value(const QString &column) const;
};

} // namespace wire
