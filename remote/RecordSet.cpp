#include "remote/RecordSet.h"

#include "shell/QavError.h"

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
    QString why;
    std::optional<wire::RecordSet> data = wire::RecordSet::fromJson(json, &why);
    if (!data)
        badAnswer(why);
    RecordSet rs;
    rs.m_data = std::move(*data);
    return rs;
}

const QString &RecordSet::value(const QString &column) const
{
    if (!m_open)
        throw QavError(QavError::RecordSetClosed, QStringLiteral("닫힌 응답을 읽으려 했습니다"));
    qsizetype index = -1;
    for (qsizetype i = 0; i < m_data.columns.size() && index < 0; ++i) {
        if (m_data.columns[i].compare(column, Qt::CaseInsensitive) == 0)
            index = i;
    }
    if (index < 0)
        throw QavError(QavError::MissingColumn,
                       QStringLiteral("서버의 응답에 '%1' 항목이 없습니다").arg(column));
    if (m_data.rows.isEmpty())
        throw QavError(QavError::NoCurrentRow,
                       QStringLiteral("서버의 응답에 데이터가 없습니다 ('%1')").arg(column));
    return m_data.rows.front().at(index);
}

QString RecordSet::Fields(const QString &column) const
{
    const QString &v = value(column);
    if (v.isNull())
        throw QavError(
            QavError::NullValue,
            QStringLiteral("서버의 응답에서 '%1' 값이 비어 있습니다 (null)").arg(column));
    return trimBlanks(v);
}

QString RecordSet::FieldsOrEmpty(const QString &column) const
{
    return trimBlanks(value(column));
}

bool RecordSet::IsNull(const QString &column) const
{
    return value(column).isNull();
}

bool RecordSet::Eof() const
{
    if (!m_open)
        throw QavError(QavError::RecordSetClosed, QStringLiteral("닫힌 응답을 읽으려 했습니다"));
    return m_data.rows.isEmpty();
}

void RecordSet::Close()
{
    m_open = false;
}
