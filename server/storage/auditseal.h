#pragma once

// The audit's seals: how a row is reduced to a digest, how a seal lists the digests of the rows
// it covers and how its code chains it to the seal before. No I/O: SqlStorage reads and writes
// the rows and seals (sqlseal.cpp).

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariantList>

#include <optional>
#include <utility>

namespace qav {

// The server's secret the seals are made with, so that someone who can write the database but
// cannot read the server's private files cannot seal again what they changed. Without one, seals
// are plain hashes: they show accidents and edits by anyone who does not also recompute them.
class SealKey
{
public:
    SealKey() = default;
    // From a file of at least 16 bytes (e.g. 32 random bytes in hex); throws StorageError when it
    // cannot be read or is too short.
    static SealKey fromFile(const QString &path);
    static SealKey fromSecret(const QByteArray &secret);

    bool isSet() const { return !m_key.isEmpty(); }
    // A public name of the key, kept with each seal; empty without a key.
    QString id() const { return m_id; }
    // The code of data under this key (a plain hash without one), in hex.
    QString code(const QByteArray &data) const;

private:
    QByteArray m_key;
    QString m_id;
};

// One sealed row: its id, the performance it belonged to and the digest of all its columns.
struct SealEntry
{
    qint64 id = 0;
    QString bizcode;
    QByteArray digest;
};

// The digests of audit rows whose columns are named names, in that order: from the id and the
// columns by name; a column without a value (NULL or empty) counts as absent, so a column added
// later with an empty default leaves the digests of older rows as they were. A row whose ticket
// was put in normal form after it was recorded is digested as recorded: its ticket_sent in place
// of ticket_raw, as long as ticket_raw is ticket_sent's normal form.
class RowDigester
{
public:
    explicit RowDigester(const QStringList &names);
    QByteArray digest(qint64 id, const QVariantList &values) const;

private:
    QList<std::pair<qsizetype, QByteArray>> m_columns; // where, and the name as hashed; by name
    qsizetype m_ticketAt = -1;
    qsizetype m_sentAt = -1;
};

// A seal's list of entries, grouped by performance, as stored (base64 text) and read back; false
// when the text is not such a list.
QString encodeEntries(QList<SealEntry> entries);
bool decodeEntries(const QString &text, QList<SealEntry> &entries);

// Row ids that may still appear: given out by the database but not committed when a seal was made.
using IdRanges = QList<std::pair<qint64, qint64>>; // inclusive, ascending
QString encodeRanges(const IdRanges &ranges);
IdRanges decodeRanges(const QString &text);
bool inRanges(const IdRanges &ranges, qint64 id);

// A seal as stored: it covers the rows in entries; every row up to seenMax not in gaps is under
// it or an earlier seal; gaps at or below lowWater are given up (rolled back).
struct SealRecord
{
    qint64 sealNo = 0;
    QString sealedAt; // local time, for people
    qint64 sealedSecs = 0;
    qint64 lowWater = 0;
    qint64 seenMax = 0;
    QString gaps;
    qint64 rowCount = 0;
    QString keyId;
    QString mac;
    QString entries;

    // The code this seal must carry, following the seal whose mac is previousMac.
    QString expectedMac(const SealKey &key, const QString &previousMac) const;
};

// The last seal as an export names it.
struct SealInfo
{
    qint64 sealNo = 0;
    qint64 throughRow = 0;
    QString sealedAt;
    QString keyId;
    QString mac;
};

// What `audit verify` found. Problems are by row id, the first bad row first.
struct AuditProblem
{
    enum Kind { Changed, Inserted, Removed, SealBroken };
    Kind kind = Changed;
    qint64 rowId = 0;
    qint64 sealNo = 0;
};

// What one sealing round did: rows read (more: it stopped at its limit, another round follows
// at once), or lost: another process sealed first.
struct SealRun
{
    qint64 rows = 0;
    bool more = false;
    bool lost = false;
};

struct AuditCheck
{
    qint64 seals = 0;
    qint64 unkeyedSeals = 0; // made without a key (before one was set, or none is set)
    qint64 sealedRows = 0;   // found as they were sealed
    qint64 unsealedRows = 0; // newer than the last seal
    QList<AuditProblem> problems;
    std::optional<SealInfo> last;
};

} // namespace qav
