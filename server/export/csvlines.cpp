#include "server/export/csvlines.h"

#include "server/base/printable.h"

#include <QRegularExpression>

namespace qav {

namespace {

QString csvField(const QString &field)
{
    static const QRegularExpression special(QStringLiteral("[\",\\r\\n]"));
    if (!field.contains(special))
        return field;
    return u'"' + QString(field).replace(u"\""_qs, u"\"\""_qs) + u'"';
}

} // namespace

QStringList csvLines(const QStringList &header, const QList<QStringList> &rows)
{
    QStringList lines;
    for (const QStringList &row : QList<QStringList>{header} + rows) {
        QStringList fields;
        for (const QString &f : row)
            fields << csvField(spreadsheetSafe(printable(f)));
        lines << fields.join(u',');
    }
    return lines;
}

} // namespace qav
