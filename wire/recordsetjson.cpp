#include "wire/recordsetjson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace wire {

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

std::optional<RecordSet> refuse(QString *why, const QString &text)
{
    if (why)
        *why = text;
    return std::nullopt;
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

std::optional<RecordSet> RecordSet::fromJson(const QByteArray &json, QString *why)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        return refuse(why, error.errorString());
    if (!doc.isObject())
        return refuse(why, QStringLiteral("객체가 아닙니다"));
    const QJsonObject root = doc.object();
    if (!root.value(u"columns").isArray() || !root.value(u"rows").isArray())
        return refuse(why, QStringLiteral("columns 또는 rows가 없습니다"));

    RecordSet rs;
    for (const QJsonValue &c : root.value(u"columns").toArray()) {
        if (!c.isString())
            return refuse(why, QStringLiteral("열 이름이 문자열이 아닙니다"));
        rs.columns << c.toString();
    }
    for (const QJsonValue &r : root.value(u"rows").toArray()) {
        if (!r.isArray() || r.toArray().size() != rs.columns.size())
            return refuse(why, QStringLiteral("행의 열 수가 맞지 않습니다"));
        QStringList row;
        for (const QJsonValue &v : r.toArray()) {
            if (v.isString()) {
                QString text = v.toString();
                // An empty text must stay apart from null.
                if (text.isNull())
                    text = QString::fromLatin1("", 0);
                row << text;
            } else if (v.isNull()) {
                row << QString();
            } else {
                return refuse(why, QStringLiteral("값이 문자열이 아닙니다"));
            }
        }
        rs.rows << row;
    }
    return rs;
}

QString RecordSet::value(const QString &column) const
{
    const qsizetype col = columns.indexOf(column);
    if (rows.isEmpty() || col < 0 || col >= rows.first().size())
        return {};
    return rows.first().at(col);
}

} // namespace wire
