#pragma once

#include <QByteArray>
#include <QStringList>

namespace qav {

// The lines of a text file whose encoding is named, or else found out: a UTF-8 or UTF-16 byte
// order mark, else UTF-8 when every byte sequence is valid, else CP949 (what spreadsheets on
// Korean Windows save; EUC-KR is a subset). Line ends and the byte order mark are removed.
struct DecodedText
{
    QString encoding;
    QStringList lines;
};

// Thrown for a file that is not text in the encoding; `line` counts from 1, 0 for a bad name.
struct DecodeError
{
    int line;
    QString text;
};

DecodedText decodeLines(const QByteArray &data, const QString &encoding = QString());

} // namespace qav
