#include "RecordSet.h"

#include "QavError.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

[[noreturn]] void badAnswer(const QString &why)
{
    throw QavError(QavError::BadAnswer,
                   QStringLiteral("서버의 응답을 읽을 수 없습니다: %1").arg(why));
}

} // namespace

QString trimBlanks(const QString &text)
{
    qsizetype b = 0, e = text.size();
    while (b < e && text.at(b) == u' ')
        ++b;
    while (e > b && text.at(e - 1) == u' ')
        --e;
    return text.mid(b, e - b);
}

RecordSet RecordSet::fromJson(const QByteArray &json)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        badAnswer(error.errorString());
    if (!doc.isObject())
        badAnswer(QStringLiteral("객체가 아닙니다"));
    const QJsonObject root = doc.object();
    if (!root.value(u"columns").isArray() || !root.value(u"rows").isArray())
        badAnswer(QStringLiteral("columns 또는 rows가 없습니다"));

    RecordSet rs;
    for (const QJsonValue &c : root.value(u"columns").toArray()) {
        if (!c.isString())
            badAnswer(QStringLiteral("열 이름이 문자열이 아닙니다"));
        rs.m_columns << c.toString();
    }
    for (const QJsonValue &r : root.value(u"rows").toArray()) {
        if (!r.isArray() || r.toArray().size() != rs.m_columns.size())
            badAnswer(QStringLiteral("행의 열 수가 맞지 않습니다"));
        QVariantList row;
        for (const QJsonValue &v : r.toArray()) {
            if (v.isString())
                row << v.toString();
            else if (v.isNull())
                row << QVariant();
            else
                badAnswer(QStringLiteral("값이 문자열이 아닙니다"));
        }
        rs.m_rows << row;
    }
    return rs;
}

const QVariant &RecordSet::value(const QString &column) const
{
    if (!m_open)
        throw QavError(QavError::RecordSetClosed, QStringLiteral("닫힌 응답을 읽으려 했습니다"));
    qsizetype index = -1;
    for (qsizetype i = 0; i < m_columns.size() && index < 0; ++i) {
        if (m_columns[i].compare(column, Qt::CaseInsensitive) == 0)
            index = i;
    }
    if (index < 0)
        throw QavError(QavError::MissingColumn,
                       QStringLiteral("서버의 응답에 '%1' 항목이 없습니다").arg(column));
    if (m_rows.isEmpty())
        throw QavError(QavError::NoCurrentRow,
                       QStringLiteral("서버의 응답에 데이터가 없습니다 ('%1')").arg(column));
    return m_rows.front().at(index);
}

QString RecordSet::Fields(const QString &column) const
{
    const QVariant &v = value(column);
    if (v.isNull())
        throw QavError(
            QavError::NullValue,
            QStringLiteral("서버의 응답에서 '%1' 값이 비어 있습니다 (null)").arg(column));
    return trimBlanks(v.toString());
}

QString RecordSet::FieldsOrEmpty(const QString &column) const
{
    return trimBlanks(value(column).toString());
}

bool RecordSet::IsNull(const QString &column) const
{
    return value(column).isNull();
}

bool RecordSet::Eof() const
{
    if (!m_open)
        throw QavError(QavError::RecordSetClosed, QStringLiteral("닫힌 응답을 읽으려 했습니다"));
    return m_rows.isEmpty();
}

void RecordSet::Close()
{
    m_open = false;
}
