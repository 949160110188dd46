#pragma once

#include <QByteArray>
#include <QList>
#include <QStringList>

namespace qav {

// One answer of the business object: named columns and rows of text. A null QString in a row is
// sent as JSON null; the station reads only the first row.
struct RecordSet
{
    QStringList columns;
    QList<QStringList> rows;

    QByteArray toJson() const;
    // First-row value of a column, or a null string when there is no such row or column.
    QString value(const QString &column) const;
};

} // namespace qav
