#include "recordset.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace qav {

QByteArray RecordSet::toJson() const
{
    QJsonArray rowArray;
    for (const QStringList &row : rows) {
        QJsonArray cells;
        for (const QString &cell : row)
            cells.append(cell.isNull() ? QJsonValue() : QJsonValue(cell));
        rowArray.append(cells);
    }
    QJsonObject obj;
    obj.insert(QStringLiteral("columns"), QJsonArray::fromStringList(columns));
    obj.insert(QStringLiteral("rows"), rowArray);
    return QJsonDocument(obj).toJson(QJsonDocument::Compact);
}

QString RecordSet::value(const QString &column) const
{
    const qsizetype col = columns.indexOf(column);
    if (rows.isEmpty() || col < 0 || col >= rows.first().size())
        return {};
    return rows.first().at(col);
}

} // namespace qav
