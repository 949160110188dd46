#include "shell/ProfileReader.h"

#include "shell/Global.h"

#include <QFile>

#include <optional>

namespace {

QByteArray stripBlanks(const QByteArray &s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r'))
        --e;
    return s.mid(b, e - b);
}

bool sameName(const QByteArray &a, const QString &b)
{
    return QString::fromUtf8(a).compare(b, Qt::CaseInsensitive) == 0;
}

std::optional<QByteArray> findValue(const QByteArray &content, const QString &section,
                                    const QString &key)
{
    bool inSection = false;
    for (const QByteArray &raw : content.split('\n')) {
        const QByteArray line = stripBlanks(raw);
        if (line.isEmpty() || line.startsWith(';'))
            continue;
        if (line.startsWith('[')) {
            const qsizetype close = line.indexOf(']');
            if (close < 0)
                continue;
            inSection = sameName(stripBlanks(line.mid(1, close - 1)), section);
            continue;
        }
        if (!inSection)
            continue;
        const qsizetype eq = line.indexOf('=');
        if (eq < 0 || !sameName(stripBlanks(line.left(eq)), key))
            continue;
        QByteArray value = stripBlanks(line.mid(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.mid(1, value.size() - 2);
        return value;
    }
    return std::nullopt;
}

// Cuts a UTF-8 text to at most `max` bytes without splitting a character.
QByteArray cutUtf8(const QByteArray &s, qsizetype max)
{
    if (s.size() <= max)
        return s;
    qsizetype n = max;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80)
        --n;
    return s.left(n);
}

} // namespace

qsizetype GetPrivateProfileString(const QString &section, const QString &key,
                                  const QByteArray &defaultValue, QByteArray &buffer,
                                  qsizetype bufferSize, const QString &fileName)
{
    if (bufferSize <= 0)
        return 0;
    QByteArray value = defaultValue;
    QFile file(fileName);
    if (file.open(QIODevice::ReadOnly)) {
        QByteArray content = file.readAll();
        if (content.startsWith("\xEF\xBB\xBF"))
            content.remove(0, 3);
        if (auto found = findValue(content, section, key))
            value = *found;
    }
    // A NUL inside the file ends the value, as it would in a C string.
    if (const qsizetype nul = value.indexOf('\0'); nul >= 0)
        value.truncate(nul);
    value = cutUtf8(value, bufferSize - 1);
    if (buffer.size() < bufferSize)
        buffer.resize(bufferSize, ' ');
    buffer.replace(0, value.size(), value);
    buffer[value.size()] = '\0';
    return value.size();
}

QString ReadPlaceCode()
{
    QByteArray ansi(255, ' ');
    GetPrivateProfileString(QStringLiteral("Quorvanta"), QStringLiteral("PlaceCode"), QByteArray(),
                            ansi, 255, QStringLiteral("./qav.ini"));
    QString buffer = QString::fromUtf8(ansi);
    // Left-aligned in a 255-character buffer: padded with blanks or cut.
    buffer = buffer.leftJustified(255, u' ', true);
    return TrimAtNul(buffer);
}

bool ReadFitToScreen()
{
    QByteArray value(16, ' ');
    const qsizetype length =
        GetPrivateProfileString(QStringLiteral("Quorvanta"), QStringLiteral("FitToScreen"),
                                QByteArray(), value, 16, QStringLiteral("./qav.ini"));
    return value.left(length) == "1";
}
