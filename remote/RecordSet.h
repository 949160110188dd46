#pragma once

#include "wire/recordsetjson.h"

#include <QString>
#include <QStringList>

// The answer to one command: named columns and rows of text-or-null values, positioned on the
// first row. Every read returns the value trimmed of blanks at both ends; a missing column, a
// null where text is needed, a read with no current row or after Close throws QavError.
// Owned by the handler that ran the command.
class RecordSet
{
public:
    // Reads the server's JSON answer (the wire's record set); throws QavError(BadAnswer) when it is
    // not a record set.
    static RecordSet fromJson(const QByteArray &json);

    QString Fields(const QString &column) const;
    // As Fields, but a null value reads as the empty text.
    QString FieldsOrEmpty(const QString &column) const;
    bool IsNull(const QString &column) const;
    // True only when there is no row. (Named so because EOF is a C library macro.)
    bool Eof() const;
    void Close();
    bool isOpen() const { return m_open; }

    const QStringList &columns() const { return m_data.columns; }
    qsizetype rowCount() const { return m_data.rows.size(); }

private:
    const QString &value(const QString &column) const;

    wire::RecordSet m_data;
    bool m_open = true;
};

// Removes blanks (U+0020) at both ends, as every read from an answer does.
QString trimBlanks(const QString &text);
