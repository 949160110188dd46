// Seals of the audit: a sealing round over the rows committed since the last seal, and the check
// of every seal and row against each other. Nothing here runs in a gate's request.

#include "server/storage/sqlstorage.h"

#include "server/storage/sqlrecords.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <algorithm>
#include <limits>

namespace qav {

namespace {

// Rows a round seals at most; a backlog (the first round over an older audit) takes several.
constexpr int kMaxSealRows = 10000;

// On PostgreSQL ids come from a sequence and may commit out of order: a row is given up as
// rolled back only once its id has been missing from the seals this long.
constexpr qint64 kLateCommitSecs = 60;

// Given ranges less the ids found (both ascending), and nothing at or below lowWater; in one
// pass over both.
IdRanges remainingGaps(const IdRanges &gaps, const QList<qint64> &found, qint64 lowWater)
{
    IdRanges left;
    qsizetype at = 0;
    for (auto [first, last] : gaps) {
        first = std::max(first, lowWater + 1);
        for (; at < found.size() && found[at] < first; ++at) {
        }
        for (; at < found.size() && found[at] <= last; ++at) {
            if (found[at] > first)
                left.append({first, found[at] - 1});
            first = found[at] + 1;
        }
        if (first <= last)
            left.append({first, last});
    }
    return left;
}

// The drill prefix as a LIKE pattern.
QString drillPattern()
{
    return QLatin1String(kDrillPrefix) + u'%';
}

} // namespace

QList<SqlStorage::AuditRow> SqlStorage::auditRows(qint64 after, qint64 last, int limit,
                                                  const QString &bizcode)
{
    // Every column, whatever the schema step that added it: a seal covers the whole row. A
    // rehearsal's rows are not sealed: the drill removes them when it ends, on purpose.
    const QString sql =
        QStringLiteral("SELECT * FROM scan_log WHERE id > ? AND id <= ?%1"
                       " AND bizcode NOT LIKE ? ORDER BY id LIMIT ?")
            .arg(bizcode.isEmpty() ? QString() : QStringLiteral(" AND bizcode = ?"));
    QVariantList binds{after, last};
    if (!bizcode.isEmpty())
        binds << bizcode;
    return selectAuditRows(sql, binds << drillPattern() << limit);
}

// One statement however many the ranges: a round's cost must not grow with the gaps it carries.
QList<SqlStorage::AuditRow> SqlStorage::auditRowsIn(const IdRanges &ranges, int limit)
{
    if (ranges.isEmpty())
        return {};
    QStringList pairs;
    for (const auto &[first, last] : ranges)
        pairs << QStringLiteral("[%1,%2]").arg(first).arg(last);
    const QString json = u'[' + pairs.join(u',') + u']';
    const QString sql =
        isSqlite()
            ? QStringLiteral("SELECT s.* FROM json_each(?) g JOIN scan_log s ON s.id"
                             " BETWEEN json_extract(g.value, '$[0]') AND json_extract(g.value, "
                             "'$[1]') WHERE s.bizcode NOT LIKE ? ORDER BY s.id LIMIT ?")
            : QStringLiteral("SELECT s.* FROM jsonb_array_elements(CAST(? AS jsonb)) g"
                             " JOIN scan_log s ON s.id BETWEEN (g->>0)::bigint AND (g->>1)::bigint"
                             " WHERE s.bizcode NOT LIKE ? ORDER BY s.id LIMIT ?");
    return selectAuditRows(sql, {json, drillPattern(), limit});
}

QList<SqlStorage::AuditRow> SqlStorage::selectAuditRows(const QString &sql,
                                                        const QVariantList &binds)
{
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    ++m_statementsRun;
    if (!q.prepare(sql))
        fail(QStringLiteral("cannot prepare [%1]").arg(sql), q.lastError());
    for (qsizetype i = 0; i < binds.size(); ++i)
        q.bindValue(int(i), binds[i]);
    if (!q.exec())
        fail(QStringLiteral("query failed [%1]").arg(sql), q.lastError());
    const QSqlRecord record = q.record();
    QStringList names;
    for (int i = 0; i < record.count(); ++i)
        names << record.fieldName(i).toLower();
    const int idAt = int(names.indexOf(u"id"_qs));
    const int bizcodeAt = int(names.indexOf(u"bizcode"_qs));
    const int kindAt = int(names.indexOf(u"kind"_qs));
    const RowDigester digester(names);
    QList<AuditRow> rows;
    QVariantList values;
    while (q.next()) {
        values.clear();
        for (int i = 0; i < names.size(); ++i)
            values << q.value(i);
        AuditRow row;
        row.id = values.value(idAt).toLongLong();
        row.bizcode = values.value(bizcodeAt).toString();
        row.kind = values.value(kindAt).toString();
        row.digest = digester.digest(row.id, values);
        rows.append(std::move(row));
    }
    return rows;
}

SealRun SqlStorage::sealAudit(const SealKey &key)
{
    SealRecord previous;
    {
        Rows q =
            run(QStringLiteral("SELECT seal_no, seen_max, low_water, gaps, mac FROM audit_seals"
                               " ORDER BY seal_no DESC LIMIT 1"));
        if (q.next()) {
            previous.sealNo = q.value(0).toLongLong();
            previous.seenMax = q.value(1).toLongLong();
            previous.lowWater = q.value(2).toLongLong();
            previous.gaps = q.value(3).toString();
            previous.mac = q.value(4).toString();
        }
    }
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    // What was seen by a seal made long enough ago can no longer be filled in.
    qint64 settled = previous.lowWater;
    if (!isSqlite()) {
        Rows q = run(QStringLiteral("SELECT seen_max FROM audit_seals WHERE seal_no > ?"
                                    " AND sealed_secs <= ? ORDER BY seal_no DESC LIMIT 1"),
                     {previous.sealNo - 100000, now - kLateCommitSecs});
        if (q.next())
            settled = std::max(settled, q.value(0).toLongLong());
    }

    constexpr qint64 kNoEnd = std::numeric_limits<qint64>::max();
    SealRun result;
    QList<SealEntry> entries;
    QList<qint64> found; // ids read, sealed or not
    const auto take = [&](const QList<AuditRow> &rows) {
        for (const AuditRow &row : rows) {
            found << row.id;
            // The audit of unauthenticated requests of earlier versions goes by age.
            if (row.kind != QLatin1String(kAuditUnauthorized))
                entries.append({row.id, row.bizcode, row.digest});
        }
    };
    const IdRanges oldGaps = decodeRanges(previous.gaps);
    take(auditRowsIn(oldGaps, kMaxSealRows));
    const QList<AuditRow> fresh = auditRows(previous.seenMax, kNoEnd, kMaxSealRows);
    take(fresh);
    result.rows = fresh.size();
    result.more = fresh.size() == kMaxSealRows;

    SealRecord seal;
    seal.seenMax = fresh.isEmpty() ? previous.seenMax : fresh.constLast().id;
    // A rehearsal's rows among the fresh ones are not gaps: they are there, only not sealed.
    QList<qint64> drillIds;
    {
        Rows q = run(QStringLiteral("SELECT id FROM scan_log WHERE id > ? AND id <= ?"
                                    " AND bizcode LIKE ? ORDER BY id"),
                     {previous.seenMax, seal.seenMax, drillPattern()});
        while (q.next())
            drillIds << q.value(0).toLongLong();
    }
    found << drillIds;
    // Ids skipped by the new rows: rolled back, or still in a transaction.
    IdRanges gaps = oldGaps;
    qint64 expected = previous.seenMax + 1;
    qsizetype drill = 0;
    for (const AuditRow &row : fresh) {
        for (; drill < drillIds.size() && drillIds[drill] < row.id; ++drill) {
            if (drillIds[drill] > expected)
                gaps.append({expected, drillIds[drill] - 1});
            expected = drillIds[drill] + 1;
        }
        if (row.id > expected)
            gaps.append({expected, row.id - 1});
        expected = row.id + 1;
    }
    // SQLite hands out ids under its one write lock, so none can appear below those seen.
    seal.lowWater = isSqlite() ? seal.seenMax : std::min(settled, seal.seenMax);
    seal.lowWater = std::max(seal.lowWater, previous.lowWater);
    std::sort(found.begin(), found.end());
    seal.gaps = encodeRanges(remainingGaps(gaps, found, seal.lowWater));
    if (entries.isEmpty() && seal.gaps == previous.gaps && seal.lowWater == previous.lowWater &&
        seal.seenMax == previous.seenMax)
        return result;

    seal.sealNo = previous.sealNo + 1;
    seal.sealedAt = nowStamp();
    seal.sealedSecs = now;
    seal.rowCount = entries.size();
    seal.keyId = key.id();
    seal.entries = encodeEntries(entries);
    seal.mac = seal.expectedMac(key, previous.mac);
    bool inserted = false;
    inWriteTransaction([&](SqlStorage &db) {
        Rows q = db.run(
            QStringLiteral("INSERT INTO audit_seals (seal_no, sealed_at, sealed_secs, low_water,"
                           " seen_max, gaps, row_count, key_id, mac, entries)"
                           " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
                           " ON CONFLICT (seal_no) DO NOTHING RETURNING seal_no"),
            {seal.sealNo, seal.sealedAt, seal.sealedSecs, seal.lowWater, seal.seenMax,
             notNull(seal.gaps), seal.rowCount, notNull(seal.keyId), seal.mac,
             notNull(seal.entries)});
        inserted = q.next();
    });
    result.lost = !inserted;
    result.more = result.more && inserted;
    return result;
}

AuditCheck SqlStorage::checkAudit(const QString &bizcode, const SealKey &key)
{
    AuditCheck check;
    struct Sealed
    {
        SealEntry entry;
        qint64 sealNo;
    };
    QList<Sealed> sealed;
    SealRecord last;
    {
        Rows q = run(QStringLiteral(
            "SELECT seal_no, sealed_at, sealed_secs, low_water, seen_max, gaps, row_count, key_id,"
            " mac, entries FROM audit_seals ORDER BY seal_no"));
        QString previousMac;
        bool keyedBefore = false;
        while (q.next()) {
            SealRecord s{q.value(0).toLongLong(), q.value(1).toString(),   q.value(2).toLongLong(),
                         q.value(3).toLongLong(), q.value(4).toLongLong(), q.value(5).toString(),
                         q.value(6).toLongLong(), q.value(7).toString(),   q.value(8).toString(),
                         q.value(9).toString()};
            ++check.seals;
            QList<SealEntry> entries;
            bool intact = decodeEntries(s.entries, entries) && entries.size() == s.rowCount &&
                          s.sealNo == last.sealNo + 1;
            if (!s.keyId.isEmpty()) {
                if (!key.isSet())
                    throw StorageError(
                        QStringLiteral("the audit is sealed with the key %1: give its file with "
                                       "--audit-key")
                            .arg(s.keyId)
                            .toStdString());
                if (s.keyId != key.id())
                    throw StorageError(
                        QStringLiteral("seal %1 was made with the key %2, not with the one given "
                                       "(%3)")
                            .arg(s.sealNo)
                            .arg(s.keyId, key.id())
                            .toStdString());
                keyedBefore = true;
            } else {
                ++check.unkeyedSeals;
                // After keyed seals, a seal without the key was made by someone who has none.
                intact = intact && !keyedBefore;
            }
            intact =
                intact && s.mac == s.expectedMac(s.keyId.isEmpty() ? SealKey() : key, previousMac);
            if (!intact) {
                qint64 firstRow = s.seenMax;
                for (const SealEntry &e : entries)
                    firstRow = std::min(firstRow, e.id);
                check.problems.append({AuditProblem::SealBroken, firstRow, s.sealNo});
            }
            for (SealEntry &e : entries)
                if (bizcode.isEmpty() || e.bizcode == bizcode)
                    sealed.append({std::move(e), s.sealNo});
            previousMac = s.mac;
            last = s;
        }
    }
    if (check.seals > 0)
        check.last = SealInfo{last.sealNo, last.seenMax, last.sealedAt, last.keyId, last.mac};
    std::sort(sealed.begin(), sealed.end(),
              [](const Sealed &a, const Sealed &b) { return a.entry.id < b.entry.id; });

    const IdRanges gaps = decodeRanges(last.gaps);
    qsizetype at = 0;
    const auto removedBefore = [&](qint64 id) {
        for (; at < sealed.size() && sealed[at].entry.id < id; ++at)
            check.problems.append({AuditProblem::Removed, sealed[at].entry.id, sealed[at].sealNo});
    };
    for (qint64 after = std::numeric_limits<qint64>::min();;) {
        const QList<AuditRow> rows =
            auditRows(after, std::numeric_limits<qint64>::max(), kMaxSealRows, bizcode);
        for (const AuditRow &row : rows) {
            removedBefore(row.id);
            if (at < sealed.size() && sealed[at].entry.id == row.id) {
                if (sealed[at].entry.digest != row.digest)
                    check.problems.append({AuditProblem::Changed, row.id, sealed[at].sealNo});
                else
                    ++check.sealedRows;
                // The same row in two seals: the second was put there.
                for (++at; at < sealed.size() && sealed[at].entry.id == row.id; ++at)
                    check.problems.append({AuditProblem::SealBroken, row.id, sealed[at].sealNo});
            } else if (row.kind == QLatin1String(kAuditUnauthorized)) {
                continue;
            } else if (row.id <= last.seenMax && !inRanges(gaps, row.id)) {
                check.problems.append({AuditProblem::Inserted, row.id, 0});
            } else {
                ++check.unsealedRows;
            }
        }
        if (rows.size() < kMaxSealRows)
            break;
        after = rows.constLast().id;
    }
    removedBefore(std::numeric_limits<qint64>::max());
    std::stable_sort(
        check.problems.begin(), check.problems.end(),
        [](const AuditProblem &a, const AuditProblem &b) { return a.rowId < b.rowId; });
    return check;
}

std::optional<SealInfo> SqlStorage::sealInfo(qint64 sealNo)
{
    Rows q = run(QStringLiteral("SELECT seal_no, seen_max, sealed_at, key_id, mac FROM audit_seals"
                                " WHERE seal_no = ? OR ? = 0 ORDER BY seal_no DESC LIMIT 1"),
                 {sealNo, sealNo});
    if (!q.next())
        return std::nullopt;
    return SealInfo{q.value(0).toLongLong(), q.value(1).toLongLong(), q.value(2).toString(),
                    q.value(3).toString(), q.value(4).toString()};
}

} // namespace qav
