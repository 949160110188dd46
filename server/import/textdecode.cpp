#include "server/import/textdecode.h"

#include <QStringDecoder>

#include <algorithm>

namespace qav {

namespace {

QString detect(const QByteArray &data)
{
    if (data.startsWith("\xef\xbb\xbf"))
        return QStringLiteral("UTF-8");
    if (data.startsWith("\xff\xfe"))
        return QStringLiteral("UTF-16LE");
    if (data.startsWith("\xfe\xff"))
        return QStringLiteral("UTF-16BE");
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8.decode(data); // the conversion runs when the result is taken
    return utf8.hasError() ? QStringLiteral("CP949") : QStringLiteral("UTF-8");
}

// Splits raw bytes after each line feed, in the code units of the encoding, so that every piece
// decodes on its own (a line feed byte never occurs inside a UTF-8 or CP949 character).
QList<QByteArray> rawLines(const QByteArray &data, int unit, bool bigEndian)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i + unit <= data.size(); i += unit) {
        const bool lineFeed = unit == 1 ? data[i] == '\n'
                                        : (bigEndian ? data[i] == 0 && data[i + 1] == '\n'
                                                     : data[i] == '\n' && data[i + 1] == 0);
        if (lineFeed) {
            lines << data.mid(start, i + unit - start);
            start = i + unit;
        }
    }
    if (start < data.size())
        lines << data.mid(start);
    return lines;
}

// The converter behind an encoding name. Korean Windows' code page 949 (Unified Hangul Code)
// goes by many names; it extends EUC-KR by the 8,822 syllables outside KS X 1001 (똠, 펲, ...),
// which files called EUC-KR carry too. ICU knows it as windows-949, while its "CP949" is IBM's
// code page of that number, which lacks them.
QByteArray converterName(const QString &encoding)
{
    QString k = encoding.toUpper();
    k.remove(u'-').remove(u'_').remove(u' ');
    static const QStringList korean = {u"CP949"_qs, u"WINDOWS949"_qs, u"UHC"_qs,        u"MS949"_qs,
                                       u"EUCKR"_qs, u"KSC5601"_qs,    u"KSC56011987"_qs};
    return korean.contains(k) ? QByteArrayLiteral("windows-949") : encoding.toLatin1();
}

// ICU decodes bytes that code page 949 leaves unassigned (0x80, 0xFF, its user-defined area) to
// control or private-use characters rather than failing; no booking holds those.
bool hasUnassigned(const QString &line)
{
    return std::any_of(line.begin(), line.end(), [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= 0x80 && u <= 0x9F) || (u >= 0xE000 && u <= 0xF8FF);
    });
}

} // namespace

DecodedText decodeLines(const QByteArray &data, const QString &encoding)
{
    const bool detected = encoding.isEmpty();
    DecodedText result{detected ? detect(data) : encoding, {}};
    const QByteArray name = converterName(result.encoding);
    if (!QStringDecoder(name.constData()).isValid())
        throw DecodeError{
            0,
            QStringLiteral("unknown encoding '%1': use UTF-8, UTF-16, UTF-16LE, UTF-16BE, CP949 or "
                           "another name ICU knows")
                .arg(encoding)};
    const bool utf16 = result.encoding.startsWith(QLatin1String("UTF-16"), Qt::CaseInsensitive);
    const bool bigEndian =
        utf16 && (result.encoding.endsWith(QLatin1String("BE"), Qt::CaseInsensitive) ||
                  (!data.startsWith("\xff\xfe") &&
                   !result.encoding.endsWith(QLatin1String("LE"), Qt::CaseInsensitive)));
    const QList<QByteArray> pieces = rawLines(data, utf16 ? 2 : 1, bigEndian);
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        // Stateless: a character cut short at the end of a line counts as an error there.
        QStringDecoder decoder(name.constData(), QStringConverter::Flag::Stateless);
        QString line = decoder.decode(pieces[i]);
        if (decoder.hasError() || (utf16 && pieces[i].size() % 2 != 0) ||
            (name == "windows-949" && hasUnassigned(line))) {
            const QString why =
                detected && result.encoding == QLatin1String("CP949")
                    ? QStringLiteral("neither UTF-8 nor CP949/EUC-KR text; name the "
                                     "file's encoding with --encoding")
                    : QStringLiteral("not valid %1 text").arg(result.encoding);
            throw DecodeError{int(i + 1), why};
        }
        if (i == 0 && line.startsWith(QChar(0xFEFF)))
            line.remove(0, 1);
        while (line.endsWith(u'\n') || line.endsWith(u'\r'))
            line.chop(1);
        result.lines << line;
    }
    return result;
}

} // namespace qav
