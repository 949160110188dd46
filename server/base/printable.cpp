#include "server/base/printable.h"

#include <QRegularExpression>

namespace qav {

namespace {

bool needsEscape(char16_t u)
{
    return u < 0x20 || (u >= 0x7f && u <= 0x9f) || u == 0x2028 || u == 0x2029 ||
           (u >= 0x202a && u <= 0x202e) || (u >= 0x2066 && u <= 0x2069) || u == 0x200e ||
           u == 0x200f || u == 0x061c;
}

} // namespace

QString printable(const QString &text, qsizetype maxChars)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        QString piece;
        if (u == u'\\')
            piece = QStringLiteral("\\\\");
        else if (!needsEscape(u))
            piece = c;
        else if (u < 0x100)
            piece = QStringLiteral("\\x%1").arg(uint(u), 2, 16, QLatin1Char('0'));
        else
            piece = QStringLiteral("\\u%1").arg(uint(u), 4, 16, QLatin1Char('0'));
        if (maxChars >= 0 && out.size() + piece.size() > maxChars)
            break;
        out += piece;
    }
    return out;
}

QString spreadsheetSafe(const QString &cell)
{
    static const QRegularExpression number(QStringLiteral("^[-+]?[0-9]+(\\.[0-9]+)?$"));
    if (cell.isEmpty())
        return cell;
    const QChar first = cell.front();
    const bool formula = first == u'=' || first == u'+' || first == u'-' || first == u'@' ||
                         first == u'\t' || first == u'\r';
    return formula && !number.match(cell).hasMatch() ? u'\'' + cell : cell;
}

} // namespace qav
