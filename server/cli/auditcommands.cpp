// `audit`: the scans of a performance printed, or exported as CSV or .xlsx ending with the line
// that names the last seal (server/export/); `audit verify` and `audit seal`.

#include "server/cli/clicommands.h"

#include "server/base/progress.h"
#include "server/cli/cli.h"
#include "server/export/auditexport.h"
#include "server/export/xlsxtable.h"

#include <QDateTime>
#include <QFile>

namespace qav {

using namespace cli;

namespace {

// Problems printed at most; the count of the rest follows.
constexpr int kProblemLines = 20;

QString problemText(const AuditProblem &p)
{
    switch (p.kind) {
    case AuditProblem::Changed:
        return QStringLiteral("row %1 was changed after seal %2").arg(p.rowId).arg(p.sealNo);
    case AuditProblem::Inserted:
        return QStringLiteral("row %1 was inserted after sealing: no seal holds it").arg(p.rowId);
    case AuditProblem::Removed:
        return QStringLiteral("row %1 was removed after seal %2").arg(p.rowId).arg(p.sealNo);
    case AuditProblem::SealBroken:
        return QStringLiteral("seal %1 (from row %2) was altered, or one before it removed")
            .arg(p.sealNo)
            .arg(p.rowId);
    }
    return {};
}

QString sealText(const SealInfo &s)
{
    return QStringLiteral("seal %1 through row %2 at %3%4: %5")
        .arg(s.sealNo)
        .arg(s.throughRow)
        .arg(s.sealedAt, s.keyId.isEmpty() ? QString() : u", key "_qs + s.keyId, s.mac);
}

// Checks an export of `audit --csv` against its last line, and that line's seal against the
// database's chain.
int verifyExport(Storage &storage, const SealKey &key, const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw StorageError(
            QStringLiteral("cannot read %1: %2").arg(path, file.errorString()).toStdString());
    QByteArray text = file.readAll();
    if (text.endsWith('\n'))
        text.chop(1);
    const qsizetype lineAt = text.lastIndexOf('\n') + 1;
    const QString last = QString::fromUtf8(text.mid(lineAt));
    const QStringList fields = last.split(u',');
    if (!last.startsWith(u"#seal,"_qs) || fields.size() != 7) {
        out(QStringLiteral("%1 does not end with the seal line of `audit --csv`").arg(path));
        return 1;
    }
    const QString code = fields.constLast();
    const QString start = last.left(last.size() - code.size());
    if (key.code(text.left(lineAt) + start.toUtf8()) != code) {
        out(QStringLiteral("%1 was changed after it was exported (or exported with another "
                           "--audit-key)")
                .arg(path));
        return 1;
    }
    const qint64 sealNo = fields[1].toLongLong();
    if (sealNo == 0) {
        out(QStringLiteral("%1 is as exported; no seal existed then").arg(path));
        return 0;
    }
    const std::optional<SealInfo> seal = storage.sealInfo(sealNo);
    if (!seal || seal->mac != fields[5]) {
        out(QStringLiteral("%1 is as exported, but its seal %2 is not in the database as it was: "
                           "the audit was sealed anew since")
                .arg(path)
                .arg(sealNo));
        return 1;
    }
    out(QStringLiteral("%1 is as exported, and its %2 is in the database's chain")
            .arg(path, sealText(*seal)));
    return 0;
}

} // namespace

int auditVerifyCommand(const QStringList &args)
{
    QCommandLineParser p;
    const QCommandLineOption performance(
        u"performance"_qs, u"Check only the rows of this performance (and every seal)."_qs,
        u"bizcode"_qs);
    const QCommandLineOption csvFile(
        u"csv"_qs,
        u"Check an export of `audit --csv` instead: that it is as it was written and that the "
        "seal it ends with is still in the database's chain."_qs,
        u"file"_qs);
    if (!parseCommand(p, args,
                      u"Check the seals of the audit and every row under them; name each row "
                      "changed, inserted or removed after it was sealed, the first one first. Exit "
                      "code 1 when there is one."_qs,
                      {dbOption, performance, csvFile, auditKeyOption}, {}))
        return 0;
    const SealKey key = auditKey(p);
    auto storage = openAndInit(p);
    if (p.isSet(csvFile))
        return verifyExport(*storage, key, p.value(csvFile));
    const QString bizcode = p.value(performance);
    if (!bizcode.isEmpty() && !storage->findPerformance(bizcode))
        notFound(u"performance"_qs, bizcode);
    const AuditCheck check = storage->checkAudit(bizcode, key);
    for (qsizetype i = 0; i < check.problems.size() && i < kProblemLines; ++i)
        out(problemText(check.problems[i]));
    if (check.problems.size() > kProblemLines)
        out(QStringLiteral("... and %1 more").arg(check.problems.size() - kProblemLines));
    const QString scope = bizcode.isEmpty() ? QString() : u" of "_qs + bizcode;
    if (!check.problems.isEmpty())
        out(QStringLiteral("the audit%1 is NOT as sealed: %2 problem(s), the first at row %3")
                .arg(scope)
                .arg(check.problems.size())
                .arg(check.problems.constFirst().rowId));
    else
        out(QStringLiteral("the audit%1 is as sealed: %2 row(s) under %3 seal(s); %4 newer "
                           "row(s) not sealed yet")
                .arg(scope)
                .arg(check.sealedRows)
                .arg(check.seals)
                .arg(check.unsealedRows));
    if (check.unkeyedSeals > 0)
        out(QStringLiteral("%1 seal(s) made without a key: whoever can write the database could "
                           "have made them again (give serve --audit-key)")
                .arg(check.unkeyedSeals));
    if (check.last)
        out(u"last "_qs + sealText(*check.last));
    return check.problems.isEmpty() ? 0 : 1;
}

int auditSealCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args,
                      u"Seal the audit rows not sealed yet now, as a serving server does every few "
                      "seconds."_qs,
                      {dbOption, auditKeyOption}, {}))
        return 0;
    const SealKey key = auditKey(p);
    auto storage = openAndInit(p);
    qint64 rows = 0;
    for (SealRun run{0, true, false}; run.more;) {
        run = storage->sealAudit(key);
        rows += run.rows;
    }
    const std::optional<SealInfo> last = storage->sealInfo();
    out(QStringLiteral("%1 new row(s) looked at; %2")
            .arg(rows)
            .arg(last ? u"last "_qs + sealText(*last) : u"no seal yet"_qs));
    return 0;
}

namespace {

QString auditTime(const QString &text, const QString &what)
{
    if (text.isEmpty())
        return {};
    for (const QString &format : {u"yyyy-MM-dd HH:mm:ss"_qs, u"yyyy-MM-dd HH:mm"_qs,
                                  u"yyyy-MM-ddTHH:mm"_qs, u"yyyy-MM-dd"_qs}) {
        const QDateTime t = QDateTime::fromString(text, format);
        if (t.isValid())
            return t.toString(u"yyyy-MM-dd HH:mm:ss"_qs);
    }
    throw UsageError{QStringLiteral("bad %1 time '%2': use \"YYYY-MM-DD hh:mm\"").arg(what, text)};
}

} // namespace

int auditCommand(const QStringList &args)
{
    const QString sub = args.value(1);
    if (sub == QLatin1String("verify") || sub == QLatin1String("seal"))
        return (sub == QLatin1String("verify") ? auditVerifyCommand : auditSealCommand)(
            QStringList{args[0] + u' ' + sub} + args.mid(2));
    QCommandLineParser p;
    const QCommandLineOption from(u"from"_qs, u"From this local time on (\"YYYY-MM-DD hh:mm\")."_qs,
                                  u"time"_qs);
    const QCommandLineOption to(u"to"_qs, u"Before this local time."_qs, u"time"_qs);
    const QCommandLineOption op(u"operator"_qs, u"Only scans by this operator."_qs, u"id"_qs);
    const QCommandLineOption result(
        u"result"_qs, u"Only these results: accepted, refused, or codes like 0,1,2,-1,-2."_qs,
        u"which"_qs);
    const QCommandLineOption xlsx(
        u"xlsx"_qs,
        u"Write the export as an Excel workbook to this file instead: the rows of --csv as text "
        "cells, its last row the seal line that --csv would end with."_qs,
        u"file"_qs);
    if (!parseCommand(
            p, args,
            u"Print the audit of a performance: every scan, accepted or not, oldest first. With "
            "--csv the last line names the audit's last seal and seals the export itself, for "
            "`audit verify --csv FILE`; --xlsx writes the same as a workbook. `audit verify` "
            "checks "
            "the seals, `audit seal` seals now."_qs,
            {dbOption, csvOption, xlsx, from, to, op, result, auditKeyOption},
            {u"bizcode|Business code of the performance."_qs}))
        return 0;
    AuditFilter filter{p.positionalArguments()[0],
                       auditTime(p.value(from), u"--from"_qs),
                       auditTime(p.value(to), u"--to"_qs),
                       p.value(op),
                       {}};
    const QString which = p.value(result);
    if (which == QLatin1String("accepted"))
        filter.resultCodes = {u"0"_qs, u"1"_qs, u"2"_qs};
    else if (which == QLatin1String("refused"))
        filter.resultCodes = {u"-1"_qs, u"-2"_qs};
    else if (!which.isEmpty()) {
        static const QStringList codes = {u"0"_qs, u"1"_qs, u"2"_qs, u"-1"_qs, u"-2"_qs};
        filter.resultCodes = which.split(u',', Qt::SkipEmptyParts);
        for (const QString &code : std::as_const(filter.resultCodes))
            if (!codes.contains(code.trimmed()))
                badChoice(u"--result"_qs, which,
                          {u"accepted"_qs, u"refused"_qs, u"codes among 0,1,2,-1,-2"_qs});
        for (QString &code : filter.resultCodes)
            code = code.trimmed();
    }
    if (p.isSet(csvOption) && p.isSet(xlsx))
        throw UsageError{u"--csv and --xlsx are two exports: give one"_qs};
    auto storage = openAndInit(p);
    if (!storage->findPerformance(filter.bizcode))
        notFound(u"performance"_qs, filter.bizcode);
    const AuditTable table = auditTable(*storage, filter);
    const QStringList &header = table.header;
    const QList<QStringList> &rows = table.rows;
    if (p.isSet(xlsx)) {
        writeAuditXlsx(*storage, auditKey(p), table, p.value(xlsx));
        out(QStringLiteral("%1 row(s) written to %2, the seal line last")
                .arg(rows.size())
                .arg(p.value(xlsx)));
        return 0;
    }
    if (!p.isSet(csvOption)) {
        printRows(p, header, rows);
        return 0;
    }
    // The CSV goes to standard output, so its progress goes to standard error.
    Progress progress(u"audit"_qs, rows.size(), stderr);
    const QStringList lines = csvLines(header, rows);
    qint64 written = -1; // the header is no row
    for (const QString &line : lines) {
        out(line);
        if (++written % 1000 == 0)
            progress.set(written);
    }
    out(auditExportLine(*storage, auditKey(p), lines));
    return 0;
}

} // namespace qav
