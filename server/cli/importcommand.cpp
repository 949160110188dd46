// `qav-server import-bookings`: the file read and checked, what it would change printed, and,
// unless it is a dry run, written in slices that an interruption leaves whole.

#include "server/base/progress.h"
#include "server/cli/cli.h"
#include "server/cli/clicommands.h"
#include "server/import/bookingfile.h"
#include "server/import/bookingimport.h"
#include "server/import/textdecode.h"
#include "server/import/xlsxsheet.h"

#include <QCommandLineParser>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>

#include <csignal>

namespace qav {

using namespace cli;

namespace {

// Set by SIGINT and SIGTERM while an import writes, which then stops between two slices.
volatile std::sig_atomic_t g_importStop = 0;

extern "C" void stopImport(int)
{
    g_importStop = 1;
}

} // namespace

int importBookingsCommand(const QStringList &args)
{
    QCommandLineParser p;
    const QCommandLineOption encodingOpt(
        u"encoding"_qs,
        u"Encoding of the file (UTF-8, UTF-16, CP949, EUC-KR, ...). "
        "Default: found out from a byte order mark, else UTF-8 when "
        "valid, else CP949."_qs,
        u"name"_qs);
    const QCommandLineOption dryRun(
        u"dry-run"_qs, u"Read and check the file and say what would change; change nothing."_qs);
    if (!parseCommand(
            p, args,
            u"Import bookings from an Excel workbook (.xlsx: its first sheet), or a CSV or "
            "tab-separated file (as spreadsheets save them). A first line naming the columns, in "
            "English or Korean, may put them "
            "in any order:\n  "_qs +
                bookingColumnNames().join(u"\n  "_qs) +
                u"\nWithout one the fields are bizcode,ticket_no,cust_name,seat_grade,"
                "seat_info[,cancelled] (cancelled: 0/1). Existing tickets are updated, "
                "their admission state kept. Nothing is imported when any line is bad."_qs,
            {dbOption, encodingOpt, dryRun}, {u"file|File to import (.xlsx, .csv, .txt)."_qs}))
        return 0;
    const QString path = p.positionalArguments()[0];
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        err(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        return 1;
    }
    auto storage = openAndInit(p);

    // One byte past the limit is enough to refuse a file (it may be a pipe, whose size is unknown).
    const ImportLimits limits;
    const QByteArray data = file.read(limits.fileBytes + 1);
    BookingImport import;
    try {
        import = planBookingImport(*storage, data, p.value(encodingOpt), limits);
    } catch (const FileRefused &e) {
        err(QStringLiteral("%1: %2; nothing imported").arg(path, e.text));
        return 1;
    } catch (const DecodeError &e) {
        if (e.line == 0)
            throw UsageError{e.text};
        err(QStringLiteral("%1: line %2: %3; nothing imported").arg(path).arg(e.line).arg(e.text));
        return 1;
    }
    if (!import.problems.isEmpty()) {
        for (const QString &problem : std::as_const(import.problems))
            err(QStringLiteral("%1: %2").arg(path, problem));
        err(QStringLiteral("%1 bad line(s); nothing imported").arg(import.problems.size()));
        return 1;
    }
    // Sales systems name tab-separated text .xls; it is read as the text it is.
    if (!isZip(data) &&
        QRegularExpression(u"\\.xlsx?$"_qs, QRegularExpression::CaseInsensitiveOption)
            .match(path)
            .hasMatch())
        err(QStringLiteral("%1 is %2 text, not an Excel workbook: read as text")
                .arg(path, import.encoding));
    if (!import.skippedColumns.isEmpty())
        err(QStringLiteral("skipped column(s): %1").arg(import.skippedColumns.join(u", "_qs)));

    const QStringList &admittedCancelled = import.admittedCancelled;
    if (!admittedCancelled.isEmpty())
        err(QStringLiteral("%1 booking(s) %2 cancelled although admitted already: %3%4")
                .arg(admittedCancelled.size())
                .arg(p.isSet(dryRun) ? u"would be"_qs : u"are"_qs)
                .arg(admittedCancelled.mid(0, 10).join(u", "_qs),
                     admittedCancelled.size() > 10 ? u", ..."_qs : QString()));
    if (p.isSet(dryRun)) {
        out(QStringLiteral("dry run, nothing changed: %1 booking(s) read (%2): %3")
                .arg(import.read)
                .arg(import.encoding, import.counts()));
        return 0;
    }

    struct sigaction stop
    {
    }, oldInt{}, oldTerm{};
    stop.sa_handler = stopImport;
    stop.sa_flags = SA_RESTART;
    sigemptyset(&stop.sa_mask);
    g_importStop = 0;
    ::sigaction(SIGINT, &stop, &oldInt);
    ::sigaction(SIGTERM, &stop, &oldTerm);
    auto restore = qScopeGuard([&] {
        ::sigaction(SIGINT, &oldInt, nullptr);
        ::sigaction(SIGTERM, &oldTerm, nullptr);
    });
    Progress progress(u"importing"_qs, import.toWrite.size(), stdout, u"bookings"_qs);
    const qsizetype written = writeBookingImport(*storage, import, &g_importStop, 1000, &progress);
    progress.finish();
    if (written < import.toWrite.size()) {
        err(QStringLiteral("interrupted: %1 of %2 booking(s) to write are in, the rest is not. "
                           "Import the same file again to complete it: what is in already is "
                           "kept, never doubled")
                .arg(written)
                .arg(import.toWrite.size()));
        return 1;
    }
    out(QStringLiteral("%1 booking(s) imported (%2): %3")
            .arg(import.read)
            .arg(import.encoding, import.counts()));
    return 0;
}

} // namespace qav
