#include "server/import/bookingfile.h"

#include "wire/ticket.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <optional>

namespace qav {

namespace {

enum Field { Bizcode, TicketNo, CustName, SeatGrade, SeatInfo, Cancelled, FieldCount };

// Names a column may carry, written as normalised by key(); the first is the one documented first.
const QList<QStringList> &fieldNames()
{
    static const QList<QStringList> names = {
        {u"bizcode"_qs, u"공연코드"_qs, u"상품코드"_qs},
        {u"ticket_no"_qs, u"ticket"_qs, u"ticketno"_qs, u"예매번호"_qs, u"티켓번호"_qs},
        {u"cust_name"_qs, u"name"_qs, u"custname"_qs, u"이름"_qs, u"성명"_qs, u"예매자"_qs,
         u"예매자명"_qs, u"고객명"_qs},
        {u"seat_grade"_qs, u"grade"_qs, u"seatgrade"_qs, u"좌석등급"_qs, u"등급"_qs},
        {u"seat_info"_qs, u"seat"_qs, u"seatinfo"_qs, u"좌석"_qs, u"좌석정보"_qs, u"좌석번호"_qs},
        {u"cancelled"_qs, u"canceled"_qs, u"취소"_qs, u"취소여부"_qs},
    };
    return names;
}

// "Ticket No" and "ticket_no" name the same column.
QString key(const QString &name)
{
    QString k = name.trimmed().toLower();
    k.remove(u' ');
    return k == QLatin1String("ticketno") ? u"ticket_no"_qs : k;
}

int fieldOf(const QString &name)
{
    const QString k = key(name);
    for (int f = 0; f < FieldCount; ++f)
        for (const QString &n : fieldNames()[f])
            if (key(n) == k || QString(n).remove(u'_') == QString(k).remove(u'_'))
                return f;
    return -1;
}

// One line: fields separated by sep, optionally in double quotes with "" inside.
std::optional<QStringList> split(const QString &line, QChar sep)
{
    QStringList fields;
    QString field;
    bool quoted = false;
    bool wasQuoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (quoted) {
            if (c == u'"' && i + 1 < line.size() && line[i + 1] == u'"') {
                field += u'"';
                ++i;
            } else if (c == u'"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == u'"' && field.trimmed().isEmpty() && !wasQuoted) {
            quoted = wasQuoted = true;
            field.clear();
        } else if (c == sep) {
            fields << (wasQuoted ? field : field.trimmed());
            field.clear();
            wasQuoted = false;
        } else {
            field += c;
        }
    }
    if (quoted)
        return std::nullopt;
    fields << (wasQuoted ? field : field.trimmed());
    return fields;
}

std::optional<bool> cancelledValue(const QString &text)
{
    static const QSet<QString> yes = {u"1"_qs, u"y"_qs, u"yes"_qs, u"예"_qs, u"취소"_qs};
    static const QSet<QString> no = {u""_qs, u"0"_qs, u"n"_qs, u"no"_qs, u"아니오"_qs};
    const QString k = text.trimmed().toLower();
    if (yes.contains(k))
        return true;
    if (no.contains(k))
        return false;
    return std::nullopt;
}

// A sheet's column as Excel names it: 0 is A, 26 is AA.
QString columnName(int index)
{
    QString name;
    for (int n = index + 1; n > 0; n = (n - 1) / 26)
        name.prepend(QChar(u'A' + (n - 1) % 26));
    return name;
}

} // namespace

QString bookingProblem(const Booking &b)
{
    if (b.bizcode.isEmpty() || b.ticketNo.isEmpty())
        return b.bizcode.isEmpty() ? u"bizcode: empty"_qs : u"ticket_no: empty"_qs;
    if (wire::normalTicket(b.ticketNo) != b.ticketNo)
        return u"ticket_no: blanks at either end"_qs;
    if (b.ticketNo.size() > wire::kMaxTicketChars)
        return QStringLiteral("ticket_no: longer than %1 characters").arg(wire::kMaxTicketChars);
    const QList<std::pair<const char *, const QString *>> texts = {
        {"bizcode", &b.bizcode},      {"ticket_no", &b.ticketNo}, {"cust_name", &b.custName},
        {"seat_grade", &b.seatGrade}, {"seat_info", &b.seatInfo},
    };
    for (const auto &[name, text] : texts) {
        if (wire::hasControlCharacter(*text))
            return QStringLiteral("%1: control character").arg(QLatin1String(name));
        if (text->size() > kMaxBookingText)
            return QStringLiteral("%1: longer than %2 characters")
                .arg(QLatin1String(name))
                .arg(kMaxBookingText);
    }
    return {};
}

QStringList bookingColumnNames()
{
    QStringList lines;
    for (const QStringList &names : fieldNames())
        lines << names.first() + u": "_qs + names.join(u", "_qs);
    return lines;
}

BookingFile readBookingLines(const QStringList &lines)
{
    qsizetype first = 0;
    while (first < lines.size() && lines[first].trimmed().isEmpty())
        ++first;
    const bool tabs = first < lines.size() && lines[first].contains(u'\t');
    const QChar sep = tabs ? u'\t' : u',';
    QList<BookingRow> rows;
    for (qsizetype n = first; n < lines.size(); ++n) {
        if (lines[n].trimmed().isEmpty())
            continue;
        BookingRow row{int(n + 1), {}, {}, {}};
        if (const auto fields = split(lines[n], sep))
            row.fields = *fields;
        else
            row.unreadable = u"unclosed quote"_qs;
        rows << row;
    }
    BookingFile file = readBookingRows(rows, false);
    file.tabs = tabs;
    return file;
}

BookingFile readBookingRows(const QList<BookingRow> &rows, bool fromSheet)
{
    BookingFile file;
    if (rows.isEmpty())
        return file;

    // Where each field is: by the header's names, else in the fixed order.
    QList<int> column(FieldCount, -1);
    int named = 0;
    qsizetype columns = 0;
    if (rows.first().unreadable.isEmpty()) {
        const QStringList &names = rows.first().fields;
        columns = names.size();
        for (qsizetype i = 0; i < names.size(); ++i) {
            const int f = fieldOf(names.at(i));
            if (f >= 0 && column[f] < 0) {
                column[f] = int(i);
                ++named;
            } else if (!names.at(i).isEmpty()) {
                file.skippedColumns << names.at(i);
            }
        }
    }
    // Two known names make a header; one could be a customer who is called "Name".
    const bool header = named >= 2;
    qsizetype first = 0;
    if (header) {
        if (column[Bizcode] < 0 || column[TicketNo] < 0) {
            file.problems << QStringLiteral("line %1: the header names no %2 column")
                                 .arg(rows.first().line)
                                 .arg(column[Bizcode] < 0 ? u"bizcode (공연코드)"_qs
                                                          : u"ticket_no (예매번호)"_qs);
            return file;
        }
        first = 1;
    } else {
        file.skippedColumns.clear();
        for (int f = 0; f < FieldCount; ++f)
            column[f] = f;
    }

    QSet<QString> seen;
    for (qsizetype n = first; n < rows.size(); ++n) {
        const BookingRow &row = rows[n];
        auto bad = [&](const QString &why) {
            file.problems << QStringLiteral("line %1: %2").arg(row.line).arg(why);
        };
        if (!row.unreadable.isEmpty()) {
            bad(row.unreadable);
            continue;
        }
        const QStringList &fields = row.fields;
        // As many fields as columns; a missing last one may be the cancelled flag.
        const qsizetype most = header ? columns : 6;
        const qsizetype least = fromSheet ? 0 : most - (column[Cancelled] == most - 1 ? 1 : 0);
        if (fromSheet && fields.size() > most) {
            bad(QStringLiteral("a value in column %1, right of the %2 columns%3")
                    .arg(columnName(int(fields.size()) - 1))
                    .arg(most)
                    .arg(header ? u" the header names"_qs : QString()));
            continue;
        }
        if (fields.size() < least || fields.size() > most) {
            bad(least == most
                    ? QStringLiteral("expected %1 fields, found %2").arg(most).arg(fields.size())
                    : QStringLiteral("expected %1 or %2 fields, found %3")
                          .arg(least)
                          .arg(most)
                          .arg(fields.size()));
            continue;
        }
        const auto badField = std::find_if(column.begin(), column.end(), [&](int c) {
            return c >= 0 && row.badFields.contains(c);
        });
        if (badField != column.end()) {
            bad(QStringLiteral("column %1: %2")
                    .arg(columnName(*badField), row.badFields[*badField]));
            continue;
        }
        auto at = [&](int f) { return column[f] < 0 ? QString() : fields.value(column[f]); };
        Booking b{at(Bizcode), at(TicketNo), at(CustName), at(SeatGrade), at(SeatInfo)};
        if (b.bizcode.isEmpty() || b.ticketNo.isEmpty()) {
            bad(u"empty bizcode or ticket number"_qs);
            continue;
        }
        const auto cancelled = cancelledValue(at(Cancelled));
        if (!cancelled) {
            bad(QStringLiteral("cancelled must be 0 or 1 (or Y/N), not '%1'").arg(at(Cancelled)));
            continue;
        }
        b.cancelled = *cancelled;
        if (const QString problem = bookingProblem(b); !problem.isEmpty()) {
            bad(problem);
            continue;
        }
        const QString id = b.bizcode + u'\x1f' + b.ticketNo;
        if (seen.contains(id)) {
            bad(QStringLiteral("ticket %1 appears twice").arg(b.ticketNo));
            continue;
        }
        seen.insert(id);
        file.bookings << b;
        file.lineOf << row.line;
    }
    return file;
}

} // namespace qav
