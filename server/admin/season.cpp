#include "commands.h"

#include "cli.h"
#include "passwords.h"
#include "progress.h"
#include "sqlitefiles.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <optional>

namespace qav {

using namespace cli;

namespace {

const QCommandLineOption venueFilter(u"venue"_qs, u"Only those of this venue (place code)."_qs,
                                     u"code"_qs);

// The storage of the command, refusing a --venue filter that names no venue.
std::unique_ptr<Storage> openFiltered(const QCommandLineParser &p)
{
    auto storage = openAndInit(p);
    if (p.isSet(venueFilter) && !storage->findVenue(p.value(venueFilter)))
        notFound(u"venue"_qs, p.value(venueFilter));
    return storage;
}

QString yesNo(bool b)
{
    return b ? u"yes"_qs : u"no"_qs;
}

QStringList performanceRow(const Performance &p)
{
    return {p.bizcode, p.placeCode, p.goodsName, p.startsAt, p.placeName};
}
const QStringList kPerformanceHeader = {u"bizcode"_qs, u"place_code"_qs, u"goods_name"_qs,
                                        u"starts_at"_qs, u"place_name"_qs};

QStringList operatorRow(const OperatorRecord &o)
{
    return {o.id, o.placeCode, yesNo(o.disabled)};
}
const QStringList kOperatorHeader = {u"operator_id"_qs, u"place_code"_qs, u"disabled"_qs};

QStringList bookingRow(const BookingRecord &b)
{
    return {b.booking.bizcode,
            b.booking.ticketNo,
            b.booking.custName,
            b.booking.seatGrade,
            b.booking.seatInfo,
            yesNo(b.booking.cancelled),
            yesNo(b.inside),
            QString::number(b.entries),
            QString::number(b.exits),
            b.lastEntryAt,
            b.lastEntryBy,
            b.lastExitAt,
            b.lastExitBy};
}
const QStringList kBookingHeader = {u"bizcode"_qs,       u"ticket_no"_qs,     u"cust_name"_qs,
                                    u"seat_grade"_qs,    u"seat_info"_qs,     u"cancelled"_qs,
                                    u"inside"_qs,        u"entries"_qs,       u"exits"_qs,
                                    u"last_entry_at"_qs, u"last_entry_by"_qs, u"last_exit_at"_qs,
                                    u"last_exit_by"_qs};

// One record as "name  value" lines (or a one-row CSV).
void printRecord(const QCommandLineParser &p, const QStringList &header, const QStringList &row)
{
    if (p.isSet(csvOption)) {
        printRows(p, header, {row});
        return;
    }
    QList<QStringList> lines;
    for (qsizetype i = 0; i < header.size(); ++i)
        lines << QStringList{header[i], row.value(i)};
    printRows(p, {u"field"_qs, u"value"_qs}, lines);
}

[[noreturn]] void noBooking(const QString &bizcode, const QString &ticketNo)
{
    notFound(u"ticket"_qs, ticketNo, QStringLiteral("performance '%1'").arg(bizcode));
}

} // namespace

int listVenuesCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"List the venues."_qs, {dbOption, csvOption}, {}))
        return 0;
    QList<QStringList> rows;
    for (const Venue &v : openAndInit(p)->venues())
        rows << QStringList{v.placeCode, v.theaterName};
    printRows(p, {u"place_code"_qs, u"theater_name"_qs}, rows);
    return 0;
}

int listPerformancesCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"List the performances, earliest first."_qs,
                      {dbOption, csvOption, venueFilter}, {}))
        return 0;
    QList<QStringList> rows;
    for (const Performance &perf : openFiltered(p)->performances(p.value(venueFilter)))
        rows << performanceRow(perf);
    printRows(p, kPerformanceHeader, rows);
    return 0;
}

int listOperatorsCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"List the operators."_qs, {dbOption, csvOption, venueFilter}, {}))
        return 0;
    QList<QStringList> rows;
    for (const OperatorRecord &o : openFiltered(p)->operators(p.value(venueFilter)))
        rows << operatorRow(o);
    printRows(p, kOperatorHeader, rows);
    return 0;
}

int listBookingsCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"List the bookings of a performance with their admission state."_qs,
                      {dbOption, csvOption}, {u"bizcode|Business code of the performance."_qs}))
        return 0;
    const QString bizcode = p.positionalArguments()[0];
    auto storage = openAndInit(p);
    if (!storage->findPerformance(bizcode))
        notFound(u"performance"_qs, bizcode);
    QList<QStringList> rows;
    for (const BookingRecord &b : storage->bookings(bizcode))
        rows << bookingRow(b);
    printRows(p, kBookingHeader, rows);
    return 0;
}

int showVenueCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"Show a venue with its performances and operators."_qs,
                      {dbOption, csvOption}, {u"place-code|Place code of the venue."_qs}))
        return 0;
    const QString code = p.positionalArguments()[0];
    auto storage = openAndInit(p);
    const auto venue = storage->findVenue(code);
    if (!venue)
        notFound(u"venue"_qs, code);
    QStringList bizcodes, operators;
    for (const Performance &perf : storage->performances(code))
        bizcodes << perf.bizcode;
    for (const OperatorRecord &o : storage->operators(code))
        operators << o.id;
    printRecord(p, {u"place_code"_qs, u"theater_name"_qs, u"performances"_qs, u"operators"_qs},
                {venue->placeCode, venue->theaterName, bizcodes.join(u' '), operators.join(u' ')});
    return 0;
}

int showPerformanceCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"Show a performance with its counters."_qs, {dbOption, csvOption},
                      {u"bizcode|Business code of the performance."_qs}))
        return 0;
    const QString bizcode = p.positionalArguments()[0];
    auto storage = openAndInit(p);
    const auto perf = storage->findPerformance(bizcode);
    const auto s = storage->summary(bizcode);
    if (!perf || !s)
        notFound(u"performance"_qs, bizcode);
    const QStringList counters = {u"bookings"_qs,  u"admitted"_qs,        u"inside_now"_qs,
                                  u"left_now"_qs,  u"not_yet"_qs,         u"reentered"_qs,
                                  u"cancelled"_qs, u"refused_entries"_qs, u"scans"_qs};
    QStringList row = performanceRow(*perf);
    for (qint64 n : {s->total, s->admitted, s->insideNow, s->leftNow, s->notYet, s->reentered,
                     s->cancelled, s->refused, storage->scanCount(bizcode)})
        row << QString::number(n);
    printRecord(p, kPerformanceHeader + counters, row);
    return 0;
}

int showOperatorCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"Show an operator."_qs, {dbOption, csvOption},
                      {u"operator-id|Id of the operator."_qs}))
        return 0;
    const QString id = p.positionalArguments()[0];
    const auto op = openAndInit(p)->findOperator(id);
    if (!op)
        notFound(u"operator"_qs, id);
    printRecord(p, kOperatorHeader, operatorRow(*op));
    return 0;
}

int showBookingCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(
            p, args, u"Show a booking with its admission state."_qs, {dbOption, csvOption},
            {u"bizcode|Business code of the performance."_qs, u"ticket-no|Ticket number."_qs}))
        return 0;
    const QStringList pos = p.positionalArguments();
    const auto b = openAndInit(p)->findBooking(pos[0], pos[1]);
    if (!b)
        noBooking(pos[0], pos[1]);
    printRecord(p, kBookingHeader, bookingRow(*b));
    return 0;
}

namespace {

int switchOperator(const QStringList &args, bool disable)
{
    QCommandLineParser p;
    if (!parseCommand(
            p, args,
            disable ? u"Disable an operator: the id can no longer sign in. Its audit rows stay."_qs
                    : u"Enable a disabled operator again."_qs,
            {dbOption}, {u"operator-id|Id of the operator."_qs}))
        return 0;
    const QString id = p.positionalArguments()[0];
    if (!openAndInit(p)->setOperatorDisabled(id, disable))
        notFound(u"operator"_qs, id);
    out(QStringLiteral("operator %1 %2").arg(id, disable ? u"disabled"_qs : u"enabled"_qs));
    return 0;
}

} // namespace

int disableOperatorCommand(const QStringList &args)
{
    return switchOperator(args, true);
}

int enableOperatorCommand(const QStringList &args)
{
    return switchOperator(args, false);
}

int setPasswordCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args,
                      u"Set an operator's password, read from the terminal without echo or as the "
                      "first line of standard input."_qs,
                      {dbOption}, {u"operator-id|Id of the operator."_qs}))
        return 0;
    const QString id = p.positionalArguments()[0];
    auto storage = openAndInit(p);
    if (!storage->findOperator(id))
        notFound(u"operator"_qs, id);
    const QString password = readPassword();
    checkPassword(password);
    if (!storage->setOperatorPassword(id, hashPassword(password)))
        notFound(u"operator"_qs, id);
    out(QStringLiteral("password of %1 changed").arg(id));
    return 0;
}

namespace {

int switchBooking(const QStringList &args, bool cancel)
{
    QCommandLineParser p;
    if (!parseCommand(
            p, args,
            cancel ? u"Cancel a booking: its ticket is refused at the gate."_qs
                   : u"Undo the cancellation of a booking."_qs,
            {dbOption},
            {u"bizcode|Business code of the performance."_qs, u"ticket-no|Ticket number."_qs}))
        return 0;
    const QStringList pos = p.positionalArguments();
    auto storage = openAndInit(p);
    const auto before = storage->findBooking(pos[0], pos[1]);
    if (!before)
        noBooking(pos[0], pos[1]);
    if (before->booking.cancelled == cancel) {
        out(QStringLiteral("booking %1 %2 %3; nothing changed")
                .arg(pos[0], pos[1],
                     cancel ? u"was cancelled already"_qs : u"is not cancelled"_qs));
        return 0;
    }
    if (!storage->setBookingCancelled(pos[0], pos[1], cancel))
        noBooking(pos[0], pos[1]);
    QString note;
    if (cancel && before->entries > 0)
        note = QStringLiteral("; its holder was admitted already (last entry %1 by %2, %3)")
                   .arg(before->lastEntryAt, before->lastEntryBy,
                        before->inside ? u"inside now"_qs : u"left since"_qs);
    out(QStringLiteral("booking %1 %2 %3%4")
            .arg(pos[0], pos[1], cancel ? u"cancelled"_qs : u"valid again"_qs, note));
    return 0;
}

} // namespace

int cancelBookingCommand(const QStringList &args)
{
    return switchBooking(args, true);
}

int uncancelBookingCommand(const QStringList &args)
{
    return switchBooking(args, false);
}

int removePerformanceCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(
            p, args,
            u"Remove a performance and its bookings; refused once any ticket of it was scanned."_qs,
            {dbOption}, {u"bizcode|Business code of the performance."_qs}))
        return 0;
    const QString bizcode = p.positionalArguments()[0];
    if (!openAndInit(p)->removePerformance(bizcode))
        notFound(u"performance"_qs, bizcode);
    out(QStringLiteral("performance %1 removed").arg(bizcode));
    return 0;
}

int recountCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args,
                      u"Count every performance's bookings and audit afresh and put the counters "
                      "the summary and the dashboard show right; names the performances whose "
                      "counters were wrong (normally none). Scans wait meanwhile."_qs,
                      {dbOption}, {}))
        return 0;
    const QStringList wrong = openAndInit(p)->recountCounters();
    out(wrong.isEmpty() ? u"counters were right"_qs
                        : QStringLiteral("counters put right for %1").arg(wrong.join(u", "_qs)));
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
    if (!parseCommand(
            p, args,
            u"Print the audit of a performance: every scan, accepted or not, oldest first. With "
            "--csv the last line names the audit's last seal and seals the export itself, for "
            "`audit verify --csv FILE`. `audit verify` checks the seals, `audit seal` seals now."_qs,
            {dbOption, csvOption, from, to, op, result, auditKeyOption},
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
    auto storage = openAndInit(p);
    if (!storage->findPerformance(filter.bizcode))
        notFound(u"performance"_qs, filter.bizcode);
    QList<QStringList> rows;
    for (const ScanLogEntry &e : storage->audit(filter))
        rows << QStringList{e.scannedAt,
                            e.operatorId,
                            e.ticketRaw,
                            e.mode,
                            e.resultCode,
                            e.resultMessage,
                            QString::number(e.durationUs),
                            e.clientAddress,
                            e.kind};
    const QStringList header = {u"scanned_at"_qs,  u"operator_id"_qs,    u"ticket"_qs,
                                u"mode"_qs,        u"result_code"_qs,    u"result_msg"_qs,
                                u"duration_us"_qs, u"client_address"_qs, u"kind"_qs};
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

namespace {

// Copies named by backup in a folder; their names sort by time.
const QRegularExpression kBackupName(QStringLiteral("^qav-\\d{4}-\\d\\d-\\d\\d-\\d{6}\\.db$"));

} // namespace

int backupCommand(const QStringList &args)
{
    QCommandLineParser p;
    const QCommandLineOption to(
        u"to"_qs,
        u"A folder to write qav-YYYY-MM-DD-HHMMSS.db into (default /var/backups/qav), or the "
        "file to write (replaced when the copy is complete)."_qs,
        u"path"_qs, u"/var/backups/qav"_qs);
    const QCommandLineOption keep(
        u"keep"_qs, u"Keep only the n newest qav-*.db copies in the folder."_qs, u"n"_qs);
    if (!parseCommand(p, args,
                      u"Copy a SQLite database consistently while servers keep using it, and print "
                      "the path of the copy. For PostgreSQL use pg_dump."_qs,
                      {dbOption, to, keep}, {}))
        return 0;
    const QString target = p.value(to);
    // A folder when it is one, or is meant as one (made when missing); else the copy's file name.
    const bool intoFolder =
        QFileInfo(target).isDir() || target.endsWith(u'/') || !p.isSet(to) || p.isSet(keep);
    if (QFileInfo(target).isFile() && p.isSet(keep))
        throw UsageError{u"--keep prunes a folder of copies, but --to names a file"_qs};
    const int keepCount = p.isSet(keep) ? positiveOption(p, keep) : 0;
    const QDir folder(target);
    if (intoFolder && !folder.exists() && !QDir().mkpath(target))
        throw StorageError(
            QStringLiteral("cannot make the backup folder %1").arg(target).toStdString());
    const QString file =
        QFileInfo(intoFolder ? folder.filePath(
                                   u"qav-"_qs +
                                   QDateTime::currentDateTime().toString(u"yyyy-MM-dd-HHmmss"_qs) +
                                   u".db"_qs)
                             : target)
            .absoluteFilePath();
    auto storage = openAndInit(p);
    {
        // On standard error: standard output is the copy's path, which scripts read.
        const QString source = sqlitePathOf(databaseUrl(p));
        Progress progress(u"copying"_qs, QFileInfo(source).size() / 1024, stderr, u"kB"_qs);
        if (!source.isEmpty())
            progress.watchFile(file + u".partial"_qs);
        storage->backupTo(file);
    }
    if (keepCount > 0) {
        QStringList copies =
            folder.entryList({u"qav-*.db"_qs}, QDir::Files, QDir::Name | QDir::Reversed)
                .filter(kBackupName);
        for (const QString &old : copies.mid(keepCount))
            if (!QFile::remove(folder.filePath(old)))
                err(QStringLiteral("cannot remove the old copy %1").arg(folder.filePath(old)));
    }
    out(file);
    return 0;
}

int restoreCommand(const QStringList &args)
{
    QCommandLineParser p;
    const QCommandLineOption from(u"from"_qs, u"The backup to put back."_qs, u"file"_qs);
    if (!parseCommand(
            p, args,
            u"Replace a SQLite database with a backup (stop the server first: it is refused while "
            "one serves the file). The backup is checked first; the database's -wal and -shm "
            "files go with it, and the new file keeps the old one's owner and mode."_qs,
            {dbOption, from}, {}))
        return 0;
    if (!p.isSet(from))
        throw UsageError{u"--from <file> is required"_qs};
    const QString path = sqlitePathOf(databaseUrl(p));
    if (path.isEmpty())
        throw StorageError(
            "restore puts back a SQLite file; restore PostgreSQL with pg_restore or psql");
    {
        const QFileInfo target(path);
        Progress progress(u"copying"_qs, QFileInfo(p.value(from)).size() / 1024, stdout, u"kB"_qs);
        progress.watchFile(QFileInfo(target.absolutePath()).canonicalFilePath() + u'/' +
                           target.fileName() + u".restoring"_qs);
        restoreSqlite(p.value(from), path);
    }
    // Opening brings an older copy's tables up to date.
    auto storage = openAndInit(p);
    out(QStringLiteral("restored %1 from %2: %3 venue(s), %4 performance(s)")
            .arg(storage->describe(), p.value(from))
            .arg(storage->venues().size())
            .arg(storage->performances({}).size()));
    return 0;
}

} // namespace qav
