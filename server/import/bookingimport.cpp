#include "server/import/bookingimport.h"

#include "server/base/progress.h"
#include "server/import/bookingfile.h"
#include "server/import/textdecode.h"
#include "server/import/xlsxsheet.h"

#include <QHash>
#include <QRegularExpression>
#include <QStringDecoder>

#include <algorithm>

namespace qav {

QString BookingImport::counts() const
{
    return QStringLiteral("%1 new, %2 changed, %3 unchanged")
        .arg(added)
        .arg(changed())
        .arg(unchanged());
}

namespace {

// Refuses what sales systems hand out as "Excel" files but is none that can be read as bookings:
// an old binary workbook, a web page or an XML spreadsheet named .xls. Their bytes would only make
// every line a bad one.
void refuseOtherFormats(const QByteArray &data)
{
    if (data.startsWith("\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"))
        throw FileRefused{u"the file is an Excel 97-2003 workbook (.xls), which is not read: save "
                          "it from Excel as an Excel workbook (.xlsx) or as CSV"_qs,
                          FileRefused::Why::OldWorkbook};
    const QByteArray head = data.left(4096);
    const QString text =
        head.startsWith("\xff\xfe")   ? QString(QStringDecoder(QStringDecoder::Utf16LE)(head))
        : head.startsWith("\xfe\xff") ? QString(QStringDecoder(QStringDecoder::Utf16BE)(head))
                                      : QString::fromLatin1(head);
    static const QRegularExpression markup(
        u"^[\\x{feff}\\x{ef}\\x{bb}\\x{bf}\\s]*<(!doctype|html|head|body|table|meta|\\?xml)\\b"_qs,
        QRegularExpression::CaseInsensitiveOption);
    if (!markup.match(text).hasMatch())
        return;
    if (text.contains(u"urn:schemas-microsoft-com:office:spreadsheet"_qs))
        throw FileRefused{u"the file is an Excel 2003 XML spreadsheet, which is not read: save "
                          "it from Excel as an Excel workbook (.xlsx) or as CSV"_qs,
                          FileRefused::Why::XmlSpreadsheet};
    throw FileRefused{u"the file is a web page (HTML), as some sales systems save their "
                      "\"Excel\" exports, not a workbook: open it in Excel and save it as an "
                      "Excel workbook (.xlsx) or as CSV"_qs,
                      FileRefused::Why::WebPage};
}

// A sheet's cells as a booking file's fields: trimmed, a line break in a cell (Alt+Enter) a
// space, as on a line of text; any other control character is refused where a field is taken.
QList<BookingRow> sheetRows(const Sheet &sheet)
{
    static const QRegularExpression breaks(u"[\\r\\n\\t]+"_qs);
    static const QRegularExpression control(u"[\\x{0}-\\x{1f}\\x{7f}]"_qs);
    QList<BookingRow> rows;
    rows.reserve(sheet.rows.size());
    for (const SheetRow &r : sheet.rows) {
        BookingRow row{r.number, {}, {}, r.badCells};
        for (qsizetype i = 0; i < r.cells.size(); ++i) {
            QString field = r.cells[i];
            field.replace(breaks, u" "_qs);
            if (field.contains(control))
                row.badFields.insert(int(i), u"it holds a control character"_qs);
            row.fields << field.trimmed();
        }
        rows << row;
    }
    return rows;
}

} // namespace

BookingImport planBookingImport(Storage &storage, const QByteArray &data, const QString &encoding,
                                const ImportLimits &limits, const QString &onlyBizcode)
{
    if (data.size() > limits.fileBytes)
        throw FileRefused{
            QStringLiteral("the file is larger than %1").arg(sizeText(limits.fileBytes)),
            FileRefused::Why::TooLarge, limits.fileBytes};
    QString readAs;
    BookingFile file;
    if (isZip(data)) {
        const Sheet sheet = readXlsxSheet(data, limits);
        file = readBookingRows(sheetRows(sheet), true);
        readAs = QStringLiteral("xlsx, sheet '%1'").arg(sheet.name);
    } else {
        refuseOtherFormats(data);
        const DecodedText text = decodeLines(data, encoding);
        if (text.lines.size() > limits.rows)
            throw FileRefused{QStringLiteral("the file has more than %1 lines").arg(limits.rows),
                              FileRefused::Why::TooManyRows, limits.rows};
        file = readBookingLines(text.lines);
        readAs = text.encoding;
    }
    BookingImport import = planBookings(storage, std::move(file), onlyBizcode);
    import.encoding = readAs;
    return import;
}

BookingImport planBookings(Storage &storage, BookingFile file, const QString &onlyBizcode)
{
    // Up to this many bookings of a performance are compared by reading their tickets; more, by
    // reading the whole performance at once.
    constexpr qsizetype kByTicket = 2000;
    BookingImport import;
    import.read = file.bookings.size();
    import.skippedColumns = file.skippedColumns;

    // What is there already, per performance named: unknown ones are bad lines.
    QHash<QString, QHash<QString, BookingRecord>> existing;
    for (qsizetype i = 0; i < file.bookings.size(); ++i) {
        const QString &bizcode = file.bookings[i].bizcode;
        if (!onlyBizcode.isEmpty() && bizcode != onlyBizcode) {
            file.problems << u"line %1: performance '%2' is not the one the file is for ('%3')"_qs
                                 .arg(file.lineOf[i])
                                 .arg(bizcode, onlyBizcode);
            continue;
        }
        if (existing.contains(bizcode))
            continue;
        if (isDrillCode(bizcode) || !storage.findPerformance(bizcode)) {
            file.problems << (isDrillCode(bizcode)
                                  ? u"line %1: performance '%2' belongs to a drill"_qs
                                  : u"line %1: unknown performance '%2'"_qs)
                                 .arg(file.lineOf[i])
                                 .arg(bizcode);
            existing.insert(bizcode, {});
            continue;
        }
        QStringList tickets;
        for (const Booking &b : std::as_const(file.bookings)) {
            if (b.bizcode == bizcode)
                tickets << b.ticketNo;
        }
        QHash<QString, BookingRecord> &byTicket = existing[bizcode];
        const QList<BookingRecord> stored = tickets.size() <= kByTicket
                                                ? storage.bookingsByTicket(bizcode, tickets)
                                                : storage.bookings(bizcode);
        for (const BookingRecord &r : stored)
            byTicket.insert(r.booking.ticketNo, r);
    }
    if (!file.problems.isEmpty()) {
        std::stable_sort(file.problems.begin(), file.problems.end(),
                         [](const QString &a, const QString &b) {
                             return a.section(u' ', 1, 1).remove(u':').toInt() <
                                    b.section(u' ', 1, 1).remove(u':').toInt();
                         });
        import.problems = file.problems;
        return import;
    }

    for (const Booking &b : std::as_const(file.bookings)) {
        const auto old = existing[b.bizcode].constFind(b.ticketNo);
        if (old == existing[b.bizcode].constEnd()) {
            ++import.added;
        } else {
            const Booking &o = old->booking;
            if (o.custName == b.custName && o.seatGrade == b.seatGrade &&
                o.seatInfo == b.seatInfo && o.cancelled == b.cancelled)
                continue;
            if (b.cancelled && !o.cancelled && old->entries > 0)
                import.admittedCancelled << b.ticketNo;
        }
        import.toWrite << b;
    }
    return import;
}

qsizetype writeBookingImport(Storage &storage, const BookingImport &import,
                             const volatile std::sig_atomic_t *stop, qsizetype sliceSize,
                             Progress *progress)
{
    for (qsizetype from = 0; from < import.toWrite.size(); from += sliceSize) {
        if (stop && *stop)
            return from;
        storage.putBookings(import.toWrite.mid(from, sliceSize));
        if (progress)
            progress->set(std::min(from + sliceSize, import.toWrite.size()));
    }
    return import.toWrite.size();
}

} // namespace qav
