#include "server/web/seasonfiles.h"

#include "server/export/auditexport.h"
#include "server/export/csvlines.h"
#include "server/export/xlsxtable.h"
#include "server/import/textdecode.h"
#include "server/web/dashboard.h"

#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrl>

#include <algorithm>
#include <variant>

namespace qav::season {

namespace {

constexpr qsizetype kMaxFileName = 200;

HttpAnswer fail(int status, const QString &text)
{
    return HttpAnswer::error(status, text);
}

QString queryValue(const HttpRequest &request, const char *key)
{
    return request.query.queryItemValue(QLatin1String(key), QUrl::FullyDecoded).trimmed();
}

// A refused file in the manager's words, with the status it is answered with.
HttpAnswer refusal(const FileRefused &e)
{
    using Why = FileRefused::Why;
    const QString again = u"엑셀에서 열어 Excel 통합 문서(.xlsx)나 CSV로 저장한 뒤 올리세요"_qs;
    switch (e.why) {
    case Why::TooLarge:
        return fail(413, u"파일이 %1보다 큽니다"_qs.arg(sizeText(e.limit)));
    case Why::TooManyParts:
        return fail(
            413,
            u"엑셀 파일의 구성 요소가 %1개를 넘습니다. 예매 목록 파일이 아닙니다"_qs.arg(e.limit));
    case Why::Inflates:
        return fail(413, u"엑셀 파일의 압축을 풀면 %1를 넘습니다. 압축 폭탄이거나 예매 목록이 "
                         "아닌 파일입니다"_qs.arg(sizeText(e.limit)));
    case Why::TooManyRows:
        return fail(413, u"파일의 행이 %1개를 넘습니다"_qs.arg(e.limit));
    case Why::TooManyCells:
        return fail(413, u"엑셀 파일의 셀이 %1개를 넘습니다"_qs.arg(e.limit));
    case Why::WebPage:
        return fail(415, u"이 파일은 엑셀 파일이 아니라 웹 페이지(HTML)입니다. "_qs + again);
    case Why::OldWorkbook:
        return fail(415, u"Excel 97-2003 통합 문서(.xls)는 읽지 않습니다. "_qs + again);
    case Why::XmlSpreadsheet:
        return fail(415, u"Excel 2003 XML 스프레드시트는 읽지 않습니다. "_qs + again);
    case Why::Unreadable:
        break;
    }
    return fail(400, u"엑셀 파일을 읽을 수 없습니다 (%1)"_qs.arg(e.text));
}

// A bad line's reason as the import words it for the command line, in Korean for the page;
// a reason without a wording here is shown as it is.
QString koreanReason(const QString &reason)
{
    static const QHash<QString, QString> fields = {
        {u"bizcode"_qs, u"공연코드"_qs}, {u"ticket_no"_qs, u"예매번호"_qs},
        {u"cust_name"_qs, u"이름"_qs},   {u"seat_grade"_qs, u"좌석등급"_qs},
        {u"seat_info"_qs, u"좌석"_qs},
    };
    struct Wording
    {
        QRegularExpression english;
        QString korean; // %1… are the captures, field names in Korean
    };
    static const QList<Wording> wordings = {
        {QRegularExpression(u"^performance '(.*)' is not the one the file is for \\('(.*)'\\)$"_qs),
         u"고른 공연(%2)이 아닌 공연 '%1'의 예매입니다"_qs},
        {QRegularExpression(u"^performance '(.*)' belongs to a drill$"_qs),
         u"훈련용 공연 '%1'입니다"_qs},
        {QRegularExpression(u"^unknown performance '(.*)'$"_qs), u"없는 공연 '%1'입니다"_qs},
        {QRegularExpression(u"^the header names no (\\w+) .*column$"_qs),
         u"머리글에 %1 열이 없습니다"_qs},
        {QRegularExpression(u"^unclosed quote$"_qs), u"따옴표가 닫히지 않았습니다"_qs},
        {QRegularExpression(u"^a value in column (\\w+), right of the (\\d+) columns.*$"_qs),
         u"%1열에 값이 있습니다 (%2열까지만 읽습니다)"_qs},
        {QRegularExpression(u"^expected (\\d+) fields, found (\\d+)$"_qs),
         u"항목이 %1개여야 하는데 %2개입니다"_qs},
        {QRegularExpression(u"^expected (\\d+) or (\\d+) fields, found (\\d+)$"_qs),
         u"항목이 %1개나 %2개여야 하는데 %3개입니다"_qs},
        {QRegularExpression(u"^column (\\w+): (.*)$"_qs), u"%1열: %2"_qs},
        {QRegularExpression(u"^empty bizcode or ticket number$"_qs),
         u"공연코드나 예매번호가 비어 있습니다"_qs},
        {QRegularExpression(u"^cancelled must be 0 or 1 \\(or Y/N\\), not '(.*)'$"_qs),
         u"취소 여부는 0이나 1(또는 Y/N)이어야 합니다: '%1'"_qs},
        {QRegularExpression(u"^(\\w+): empty$"_qs), u"%1이(가) 비어 있습니다"_qs},
        {QRegularExpression(u"^(\\w+): blanks at either end$"_qs), u"%1 앞뒤에 빈칸이 있습니다"_qs},
        {QRegularExpression(u"^(\\w+): longer than (\\d+) characters$"_qs),
         u"%1이(가) %2자보다 깁니다"_qs},
        {QRegularExpression(u"^(\\w+): control character$"_qs), u"%1에 제어 문자가 있습니다"_qs},
        {QRegularExpression(u"^ticket (.*) appears twice$"_qs),
         u"예매번호 %1이(가) 두 번 나옵니다"_qs},
    };
    for (const Wording &w : wordings) {
        const QRegularExpressionMatch m = w.english.match(reason);
        if (!m.hasMatch())
            continue;
        // In one pass, so a capture holding "%2" stays as it is.
        QString text;
        for (qsizetype i = 0; i < w.korean.size(); ++i) {
            const int n = i + 1 < w.korean.size() ? w.korean[i + 1].digitValue() : -1;
            if (w.korean[i] != u'%' || n < 1 || n > m.lastCapturedIndex()) {
                text += w.korean[i];
                continue;
            }
            text += fields.value(m.captured(n), m.captured(n));
            ++i;
        }
        return text;
    }
    return reason;
}

// The plan as the page shows it: counts, and every bad line as its number and reason.
QJsonObject dryRunJson(const BookingUploads::Upload &u, const QString &id)
{
    static const QRegularExpression numbered(u"^line (\\d+): (.*)$"_qs);
    QJsonArray problems;
    for (const QString &p : u.plan.problems) {
        const QRegularExpressionMatch m = numbered.match(p);
        problems.append(m.hasMatch()
                            ? QJsonObject{{u"line"_qs, m.captured(1).toInt()},
                                          {u"reason"_qs, koreanReason(m.captured(2))}}
                            : QJsonObject{{u"line"_qs, 0}, {u"reason"_qs, koreanReason(p)}});
    }
    return {{u"id"_qs, id},
            {u"bizcode"_qs, u.bizcode},
            {u"fileName"_qs, u.fileName},
            {u"readAs"_qs, u.plan.encoding},
            {u"read"_qs, qint64(u.plan.read)},
            {u"added"_qs, qint64(u.plan.added)},
            {u"changed"_qs, qint64(u.plan.changed())},
            {u"unchanged"_qs, qint64(u.plan.unchanged())},
            {u"problems"_qs, problems},
            {u"skippedColumns"_qs, QJsonArray::fromStringList(u.plan.skippedColumns)},
            {u"admittedCancelled"_qs, QJsonArray::fromStringList(u.plan.admittedCancelled)}};
}

QString countsText(const BookingImport &plan)
{
    return u"새 예매 %1, 바뀐 예매 %2, 그대로 %3"_qs.arg(plan.added)
        .arg(plan.changed())
        .arg(plan.unchanged());
}

bool sameBookings(const QList<Booking> &a, const QList<Booking> &b)
{
    return std::equal(a.cbegin(), a.cend(), b.cbegin(), b.cend(),
                      [](const Booking &x, const Booking &y) {
                          return x.bizcode == y.bizcode && x.ticketNo == y.ticketNo &&
                                 x.custName == y.custName && x.seatGrade == y.seatGrade &&
                                 x.seatInfo == y.seatInfo && x.cancelled == y.cancelled;
                      });
}

// The file's plan for bizcode, or the refusal of the file.
std::variant<BookingImport, HttpAnswer> plan(Storage &storage, const QByteArray &data,
                                             const QString &bizcode)
{
    try {
        return planBookingImport(storage, data, {}, {}, bizcode);
    } catch (const FileRefused &e) {
        return refusal(e);
    } catch (const DecodeError &e) {
        return fail(400, u"파일을 글자로 읽을 수 없습니다 (%1행: %2)"_qs.arg(e.line).arg(e.text));
    }
}

const char *stateName(BookingUploads::State s)
{
    switch (s) {
    case BookingUploads::State::Planned:
        return "planned";
    case BookingUploads::State::Checking:
    case BookingUploads::State::Writing:
        return "writing";
    case BookingUploads::State::Done:
        return "done";
    case BookingUploads::State::Failed:
        break;
    }
    return "failed";
}

// A download's Content-Disposition: an ASCII name for old clients, the Korean one as
// RFC 5987's filename*.
QByteArray disposition(const QString &ascii, const QString &name)
{
    QString safe = name;
    safe.replace(QRegularExpression(u"[\\\\/:*?\"<>|\\x{0}-\\x{1f}]"_qs), u"_"_qs);
    return "attachment; filename=\"" + ascii.toLatin1() + "\"; filename*=UTF-8''" +
           QUrl::toPercentEncoding(safe);
}

} // namespace

HttpAnswer uploadBookings(const HttpRequest &request, Storage &storage, const SignedInAdmin &admin,
                          BookingUploads &uploads)
{
    const QString bizcode = queryValue(request, "bizcode");
    const std::optional<Performance> p = storage.findPerformance(bizcode);
    if (!p || !admin.maySee(p->placeCode))
        return fail(400, u"공연을 고르세요"_qs);
    if (request.body.isEmpty())
        return fail(400, u"빈 파일입니다"_qs);
    BookingUploads::Upload upload;
    upload.adminId = admin.admin.id;
    upload.bizcode = bizcode;
    upload.fileName = queryValue(request, "name").left(kMaxFileName);
    upload.data = request.body;
    auto planned = plan(storage, request.body, bizcode);
    if (auto *answer = std::get_if<HttpAnswer>(&planned))
        return *answer;
    upload.plan = std::get<BookingImport>(std::move(planned));
    // A file with a bad line is never written, so it is not kept either.
    QString id;
    if (upload.plan.problems.isEmpty()) {
        id = uploads.keep(upload);
        if (id.isEmpty())
            return fail(503,
                        u"올려 둔 파일이 많아 지금은 받을 수 없습니다. 잠시 후 다시 올리세요"_qs);
    }
    return dashboard::json(200, dryRunJson(upload, id));
}

HttpAnswer confirmBookings(const HttpRequest &request, const QString &id, Storage &storage,
                           const SignedInAdmin &admin, BookingUploads &uploads,
                           const BookingUploads::Opener &opener)
{
    BookingUploads::Upload upload;
    switch (uploads.claim(id, admin.admin.id, &upload)) {
    case BookingUploads::Claim::Missing:
        return fail(404, u"올린 파일이 없거나 %1분이 지났습니다. 파일을 다시 올리세요"_qs.arg(
                             BookingUploads::kKeepSecs / 60));
    case BookingUploads::Claim::Taken:
        return fail(409, u"이미 확정한 파일입니다"_qs);
    case BookingUploads::Claim::Claimed:
        break;
    }
    std::variant<BookingImport, HttpAnswer> planned;
    try {
        planned = plan(storage, upload.data, upload.bizcode);
    } catch (...) {
        uploads.replan(id, upload.plan); // confirmable again once the database answers
        throw;
    }
    if (auto *answer = std::get_if<HttpAnswer>(&planned)) {
        uploads.replan(id, upload.plan);
        return *answer;
    }
    BookingImport now = std::get<BookingImport>(std::move(planned));
    if (!now.problems.isEmpty() || now.added != upload.plan.added ||
        !sameBookings(now.toWrite, upload.plan.toWrite)) {
        // Something else wrote bookings since the dry run: what the manager saw is not what
        // would be written, so the new plan is shown to be confirmed instead.
        uploads.replan(id, now);
        upload.plan = now;
        QJsonObject answer{{u"error"_qs, u"올린 뒤에 예매가 바뀌어 다시 확인했습니다. 새 결과를 "
                                         "보고 다시 확정하세요"_qs},
                           {u"dryRun"_qs, dryRunJson(upload, now.problems.isEmpty() ? id : "")}};
        return dashboard::json(409, answer);
    }
    const QString peer = request.peer.toString();
    try {
        storage.addSeasonAudit(
            {admin.admin.id, peer, upload.bizcode,
             u"예매 가져오기 확정: 파일 %1, %2"_qs.arg(upload.fileName, countsText(now))});
    } catch (...) {
        uploads.replan(id, upload.plan);
        throw;
    }
    const QString adminId = admin.admin.id;
    uploads.start(id, opener, [adminId, peer](const BookingUploads::Upload &u) {
        return SeasonAudit{
            adminId, peer, u.bizcode,
            u.failure.isEmpty()
                ? u"예매 가져오기 끝: %1건 기록, %2"_qs.arg(u.written).arg(countsText(u.plan))
                : u"예매 가져오기 중단: %1건 기록 후 %2"_qs.arg(u.written).arg(u.failure)};
    });
    return dashboard::json(202, {{u"id"_qs, id}, {u"total"_qs, qint64(now.toWrite.size())}});
}

HttpAnswer bookingProgress(const HttpRequest &request, const SignedInAdmin &admin,
                           BookingUploads &uploads)
{
    const std::optional<BookingUploads::Upload> u =
        uploads.find(queryValue(request, "id"), admin.admin.id);
    if (!u)
        return fail(404, u"올린 파일이 없거나 시간이 지났습니다"_qs);
    return dashboard::json(200, {{u"state"_qs, QLatin1String(stateName(u->state))},
                                 {u"written"_qs, qint64(u->written)},
                                 {u"total"_qs, qint64(u->plan.toWrite.size())},
                                 {u"added"_qs, qint64(u->plan.added)},
                                 {u"changed"_qs, qint64(u->plan.changed())},
                                 {u"unchanged"_qs, qint64(u->plan.unchanged())},
                                 {u"failure"_qs, u->failure}});
}

HttpAnswer exportAudit(const HttpRequest &request, Storage &storage, const SignedInAdmin &admin,
                       const SealKey &key)
{
    const std::optional<Performance> p = storage.findPerformance(queryValue(request, "bizcode"));
    if (!p || !admin.maySee(p->placeCode))
        return fail(404, u"찾을 수 없습니다"_qs);
    const QString format = queryValue(request, "format");
    if (format != QLatin1String("csv") && format != QLatin1String("xlsx"))
        return fail(400, u"형식은 csv나 xlsx입니다"_qs);
    const AuditTable table = auditTable(storage, AuditFilter{p->bizcode, {}, {}, {}, {}});
    HttpAnswer answer;
    if (format == QLatin1String("csv")) {
        // Byte for byte what `audit --csv` prints, so `audit verify --csv` checks it.
        QStringList lines = csvLines(table.header, table.rows);
        lines << auditExportLine(storage, key, lines);
        answer.mime = "text/csv; charset=utf-8";
        answer.body = (lines.join(u'\n') + u'\n').toUtf8();
    } else {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"audit.xlsx"_qs);
        try {
            writeAuditXlsx(storage, key, table, path);
        } catch (const ExportError &e) {
            return fail(500,
                        u"엑셀 파일을 만들 수 없습니다 (%1)"_qs.arg(QString::fromUtf8(e.what())));
        }
        QFile file(path);
        if (!dir.isValid() || !file.open(QIODevice::ReadOnly))
            return fail(500, u"엑셀 파일을 만들 수 없습니다"_qs);
        answer.mime = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet";
        answer.body = file.readAll();
    }
    dashboard::addHeader(
        answer, "Content-Disposition",
        disposition(u"audit-%1.%2"_qs.arg(p->bizcode, format),
                    u"입장기록_%1_%2.%3"_qs.arg(p->goodsName, p->bizcode, format)));
    storage.addSeasonAudit({admin.admin.id, request.peer.toString(), p->bizcode,
                            u"입장 기록 내보내기: %1, %2행"_qs.arg(format).arg(table.rows.size())});
    return answer;
}

} // namespace qav::season
