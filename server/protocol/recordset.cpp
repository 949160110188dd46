#include "recordset.h"

namespace qav {

namespace {

void appendString(QByteArray &out, const QString &text)
{
    out += '"';
    const QByteArray utf8 = text.toUtf8();
    for (const char c : utf8) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                static const char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[(c >> 4) & 0xf];
                out += hex[c & 0xf];
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

} // namespace

// Written by hand: building a QJsonDocument for every answer showed up in profiles.
QByteArray RecordSet::toJson() const
{
    QByteArray out;
    out.reserve(64 + 24 * columns.size() * (1 + rows.size()));
    out += "{\"columns\":[";
    for (qsizetype i = 0; i < columns.size(); ++i) {
        if (i > 0)
            out += ',';
        appendString(out, columns[i]);
    }
    out += "],\"rows\":[";
    for (qsizetype r = 0; r < rows.size(); ++r) {
        if (r > 0)
            out += ',';
        out += '[';
        for (qsizetype i = 0; i < rows[r].size(); ++i) {
            if (i > 0)
                out += ',';
            if (rows[r][i].isNull())
                out += "null";
            else
                appendString(out, rows[r][i]);
        }
        out += ']';
    }
    out += "]}";
    return out;
}

QString RecordSet::value(const QString &column) const
{
    const qsizetype col = columns.indexOf(column);
    if (rows.isEmpty() || col < 0 || col >= rows.first().size())
        return {};
    return rows.first().at(col);
}

} // namespace qav
