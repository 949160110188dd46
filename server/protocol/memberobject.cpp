#include "server/protocol/memberobject.h"

#include "server/accounts/passwords.h"
#include "wire/errcode.h"
#include "wire/ticket.h"

#include <QLocale>

namespace qav {

namespace {

RecordSet oneRow(const QStringList &columns, QStringList row)
{
    while (row.size() < columns.size())
        row << QString(u""_qs);
    return {columns, {row}};
}

QString counted(const QString &label, qint64 n)
{
    static const QLocale korean(QLocale::Korean, QLocale::SouthKorea);
    return label + u' ' + korean.toString(n);
}

} // namespace

MemberObject::MemberObject(GateStore &storage) : m_storage(storage) {}

const QStringList &MemberObject::loginColumns()
{
    static const QStringList c = {QString::fromLatin1(wire::kErrCodeColumn),
                                  QString::fromLatin1(wire::kErrMsgColumn), u"bizcode"_qs,
                                  u"TheaterName"_qs, u"GoodsName"_qs};
    return c;
}

const QStringList &MemberObject::verifyColumns()
{
    static const QStringList c = {QString::fromLatin1(wire::kErrCodeColumn),
                                  QString::fromLatin1(wire::kErrMsgColumn),
                                  u"CustName"_qs,
                                  u"TicketNo"_qs,
                                  u"GoodsName"_qs,
                                  u"PlayDate"_qs,
                                  u"PlaceName"_qs,
                                  u"SeatGradeName"_qs,
                                  u"SeatInfo"_qs};
    return c;
}

const QStringList &MemberObject::summaryColumns()
{
    static const QStringList c = {QString::fromLatin1(wire::kErrCodeColumn),
                                  QString::fromLatin1(wire::kErrMsgColumn),
                                  u"Total"_qs,
                                  u"A"_qs,
                                  u"B"_qs,
                                  u"C"_qs,
                                  u"D"_qs,
                                  u"E"_qs,
                                  u"F"_qs,
                                  u"G"_qs,
                                  u"H"_qs};
    return c;
}

RecordSet MemberObject::run(const Command &command, qint64 startedNs)
{
    const QStringList &args = command.args;
    if (command.procedure == QLatin1String(kLoginProc)) {
        QByteArray checkedHash;
        return args.size() == 2 ? signInOperator(args[0], args[1], &checkedHash)
                                : signInPlace(args[0]);
    }
    if (args[0] == QLatin1String("S"))
        return summary(args[1]);
    return verify({args[0], args[1], wire::normalTicket(args[3]), args[4].trimmed(), startedNs});
}

RecordSet MemberObject::signInOperator(const QString &id, const QString &password,
                                       QByteArray *checkedHash)
{
    const std::optional<OperatorRecord> op = m_storage.findOperator(id.trimmed());
    // Unknown ids are checked against a dummy hash so both refusals take the same time.
    const bool passwordOk = verifyPassword(op ? op->passwordHash : dummyPasswordHash(), password);
    // A disabled operator hears the same as a wrong password: the gate learns nothing more.
    const bool credentialsOk = op && passwordOk && !op->disabled;
    *checkedHash = credentialsOk ? op->passwordHash : QByteArray();
    if (!credentialsOk)
        return oneRow(loginColumns(), {QString::fromLatin1(wire::errcode::kRefused),
                                       QString::fromUtf8(kWrongSignInText)});
    const std::optional<Venue> venue = m_storage.findVenue(op->placeCode);
    if (!venue)
        return oneRow(loginColumns(), {QString::fromLatin1(wire::errcode::kRefused),
                                       u"등록되지 않은 공연장 코드입니다"_qs});
    return gateAnswer(*venue);
}

RecordSet MemberObject::signInPlace(const QString &placeCode)
{
    const std::optional<Venue> venue = m_storage.findVenue(placeCode.trimmed());
    if (!venue)
        return oneRow(loginColumns(), {QString::fromLatin1(wire::errcode::kRefused),
                                       u"등록되지 않은 공연장 코드입니다"_qs});
    return gateAnswer(*venue);
}

RecordSet MemberObject::gateAnswer(const Venue &venue)
{
    const std::optional<Performance> perf =
        m_storage.gatePerformance(venue.placeCode, QDateTime::currentDateTime());
    if (!perf)
        return oneRow(loginColumns(),
                      {QString::fromLatin1(wire::errcode::kRefused), u"예정된 공연이 없습니다"_qs});
    return oneRow(loginColumns(), {QString::fromLatin1(wire::errcode::kOk), u"로그인 성공"_qs,
                                   perf->bizcode, venue.theaterName, perf->goodsName});
}

RecordSet MemberObject::verify(const ScanRequest &request)
{
    const ScanOutcome o = m_storage.scan(request);
    const bool accepted = o.code != QLatin1String(wire::errcode::kRefused) &&
                          o.code != QLatin1String(wire::errcode::kRepeated);
    if (!accepted)
        return oneRow(verifyColumns(), {o.code, o.message});
    return oneRow(verifyColumns(),
                  {o.code, o.message, o.booking.custName, o.booking.ticketNo,
                   o.performance.goodsName, o.performance.startsAt, o.performance.placeName,
                   o.booking.seatGrade, o.booking.seatInfo});
}

RecordSet MemberObject::refusedScan(const QString &message)
{
    return oneRow(verifyColumns(), {QString::fromLatin1(wire::errcode::kRefused), message});
}

RecordSet MemberObject::summary(const QString &bizcode)
{
    const std::optional<Summary> s = m_storage.summary(bizcode);
    if (!s)
        return {summaryColumns(), {}};
    const qint64 rate = s->total > 0 ? (s->admitted * 100) / s->total : 0;
    return oneRow(summaryColumns(),
                  {QString::fromLatin1(wire::errcode::kOk), u"집계"_qs,
                   counted(u"총 예매"_qs, s->total), counted(u"입장"_qs, s->admitted),
                   counted(u"현재 입장 중"_qs, s->insideNow), counted(u"퇴장"_qs, s->leftNow),
                   counted(u"미입장"_qs, s->notYet), counted(u"재입장"_qs, s->reentered),
                   counted(u"취소"_qs, s->cancelled), counted(u"입장 거부"_qs, s->refused),
                   QStringLiteral("입장률 %1%").arg(rate)});
}

RecordSet MemberObject::constantAnswer(const Command &command)
{
    if (command.procedure == QLatin1String(kLoginProc))
        return oneRow(loginColumns(), {QString::fromLatin1(wire::errcode::kOk), u"로그인 성공"_qs,
                                       u"CONST"_qs, u"상수 공연장"_qs, u"상수 공연"_qs});
    return oneRow(verifyColumns(),
                  {QString::fromLatin1(wire::errcode::kOk), u"입장 확인"_qs, u"홍길동"_qs,
                   command.args.value(3), u"상수 공연"_qs, u"202501011930"_qs, u"메인 홀"_qs,
                   u"R석"_qs, u"1층 A열 1번"_qs});
}

} // namespace qav
