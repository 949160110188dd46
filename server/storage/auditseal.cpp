#include "server/storage/auditseal.h"

#include "server/storage/records.h"

#include <QFile>
#include <QtEndian>

#include <sodium.h>

#include <algorithm>

namespace qav {

namespace {

void appendNumber(QByteArray &out, qint64 n)
{
    char bytes[8];
    qToBigEndian<qint64>(n, bytes);
    out.append(bytes, 8);
}

// Length first, so no two different lists of fields run together into the same bytes.
void appendField(QByteArray &out, const QByteArray &field)
{
    appendNumber(out, field.size());
    out.append(field);
}

QByteArray hash(const QByteArray &data, const QByteArray &key, size_t length)
{
    QByteArray digest(qsizetype(length), Qt::Uninitialized);
    if (sodium_init() < 0)
        throw StorageError("libsodium cannot start");
    crypto_generichash(
        reinterpret_cast<unsigned char *>(digest.data()), length,
        reinterpret_cast<const unsigned char *>(data.constData()), size_t(data.size()),
        key.isEmpty() ? nullptr : reinterpret_cast<const unsigned char *>(key.constData()),
        size_t(key.size()));
    return digest;
}

// Reads what appendNumber wrote; false past the end.
bool takeNumber(const QByteArray &in, qsizetype &at, qint64 &n)
{
    if (at + 8 > in.size())
        return false;
    n = qFromBigEndian<qint64>(in.constData() + at);
    at += 8;
    return true;
}

} // namespace

SealKey SealKey::fromFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw StorageError(QStringLiteral("cannot read the audit key %1: %2")
                               .arg(path, file.errorString())
                               .toStdString());
    const QByteArray secret = file.read(4096).trimmed();
    if (secret.size() < 16)
        throw StorageError(
            QStringLiteral("the audit key %1 is too short: give it at least 16 random bytes")
                .arg(path)
                .toStdString());
    return fromSecret(secret);
}

SealKey SealKey::fromSecret(const QByteArray &secret)
{
    SealKey k;
    k.m_key = hash(secret, QByteArrayLiteral("qav audit seal key"), crypto_generichash_KEYBYTES);
    k.m_id = QString::fromLatin1(hash("qav audit seal key id", k.m_key, 16).toHex().left(16));
    return k;
}

QString SealKey::code(const QByteArray &data) const
{
    return QString::fromLatin1(hash(data, m_key, crypto_generichash_BYTES).toHex());
}

RowDigester::RowDigester(const QStringList &names)
{
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QString name = names[i].toLower();
        if (name == QLatin1String("id"))
            continue;
        if (name == QLatin1String("ticket_raw"))
            m_ticketAt = i;
        else if (name == QLatin1String("ticket_sent"))
            m_sentAt = i;
        QByteArray field;
        appendField(field, name.toUtf8());
        m_columns.append({i, field});
    }
    // By name: the order of SELECT * is the history of the table.
    std::sort(m_columns.begin(), m_columns.end(),
              [](const auto &a, const auto &b) { return a.second < b.second; });
}

QByteArray RowDigester::digest(qint64 id, const QVariantList &values) const
{
    QByteArray canonical;
    canonical.reserve(512);
    appendNumber(canonical, id);
    // The normal form is QString::trimmed, as the wire's normalTicket and the schema's TRIM.
    const QString sent = m_sentAt >= 0 ? values[m_sentAt].toString() : QString();
    const bool asSent =
        !sent.isEmpty() && m_ticketAt >= 0 && sent.trimmed() == values[m_ticketAt].toString();
    static const QVariant none;
    for (const auto &[at, name] : m_columns) {
        const QVariant &v = !asSent            ? values[at]
                            : at == m_ticketAt ? values[m_sentAt]
                            : at == m_sentAt   ? none
                                               : values[at];
        if (v.isNull())
            continue;
        const QByteArray value = v.toString().toUtf8();
        if (value.isEmpty())
            continue;
        canonical.append(name);
        appendField(canonical, value);
    }
    return hash(canonical, {}, crypto_generichash_BYTES_MIN);
}

QString encodeEntries(QList<SealEntry> entries)
{
    std::stable_sort(entries.begin(), entries.end(), [](const SealEntry &a, const SealEntry &b) {
        return a.bizcode != b.bizcode ? a.bizcode < b.bizcode : a.id < b.id;
    });
    QByteArray out;
    for (qsizetype i = 0; i < entries.size();) {
        qsizetype end = i;
        while (end < entries.size() && entries[end].bizcode == entries[i].bizcode)
            ++end;
        appendField(out, entries[i].bizcode.toUtf8());
        appendNumber(out, end - i);
        // Ids as the difference to the one before, seven bits a byte: mostly one byte.
        for (qint64 previous = 0; i < end; ++i) {
            quint64 delta = quint64(entries[i].id - previous);
            previous = entries[i].id;
            for (; delta >= 0x80; delta >>= 7)
                out.append(char(0x80 | (delta & 0x7f)));
            out.append(char(delta));
            out.append(entries[i].digest.leftJustified(crypto_generichash_BYTES_MIN, '\0', true));
        }
    }
    return QString::fromLatin1(out.toBase64());
}

bool decodeEntries(const QString &text, QList<SealEntry> &entries)
{
    const auto decoded =
        QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return false;
    const QByteArray &in = *decoded;
    constexpr qsizetype digestSize = crypto_generichash_BYTES_MIN;
    for (qsizetype at = 0; at < in.size();) {
        qint64 nameSize = 0;
        qint64 count = 0;
        if (!takeNumber(in, at, nameSize) || nameSize < 0 || at + nameSize > in.size())
            return false;
        const QString bizcode = QString::fromUtf8(in.mid(at, qsizetype(nameSize)));
        at += qsizetype(nameSize);
        if (!takeNumber(in, at, count) || count < 0 || count > in.size())
            return false;
        for (qint64 n = 0, previous = 0; n < count; ++n) {
            SealEntry e;
            e.bizcode = bizcode;
            quint64 delta = 0;
            for (int shift = 0;; shift += 7) {
                if (at >= in.size() || shift > 63)
                    return false;
                const auto byte = quint8(in[at++]);
                delta |= quint64(byte & 0x7f) << shift;
                if (!(byte & 0x80))
                    break;
            }
            e.id = previous + qint64(delta);
            previous = e.id;
            if (at + digestSize > in.size())
                return false;
            e.digest = in.mid(at, digestSize);
            at += digestSize;
            entries.append(std::move(e));
        }
    }
    return true;
}

QString encodeRanges(const IdRanges &ranges)
{
    QStringList parts;
    for (const auto &[first, last] : ranges)
        parts << (first == last ? QString::number(first)
                                : QStringLiteral("%1-%2").arg(first).arg(last));
    return parts.join(u',');
}

IdRanges decodeRanges(const QString &text)
{
    IdRanges ranges;
    for (const QString &part : text.split(u',', Qt::SkipEmptyParts)) {
        const qsizetype dash = part.indexOf(u'-', 1);
        const qint64 first = part.left(dash).toLongLong();
        ranges.append({first, dash < 0 ? first : part.mid(dash + 1).toLongLong()});
    }
    return ranges;
}

bool inRanges(const IdRanges &ranges, qint64 id)
{
    return std::any_of(ranges.cbegin(), ranges.cend(),
                       [id](const auto &r) { return id >= r.first && id <= r.second; });
}

QString SealRecord::expectedMac(const SealKey &key, const QString &previousMac) const
{
    QByteArray data("qav audit seal 1");
    appendNumber(data, sealNo);
    appendField(data, sealedAt.toUtf8());
    appendNumber(data, sealedSecs);
    appendNumber(data, lowWater);
    appendNumber(data, seenMax);
    appendField(data, gaps.toLatin1());
    appendNumber(data, rowCount);
    appendField(data, keyId.toLatin1());
    appendField(data, entries.toLatin1());
    appendField(data, previousMac.toLatin1());
    return key.code(data);
}

} // namespace qav
