#include "server/base/verdicts.h"

#include "wire/errcode.h"

#include <QDate>

namespace qav {

namespace {

QDateTime startOf(const QString &startsAt)
{
    return QDateTime::fromString(startsAt, QStringLiteral("yyyyMMddHHmm"));
}

// The day the gates are working: the calendar day, or the day a show still current began on, so
// that a show begun at 23:00 keeps its evening after midnight.
QDate gateDay(const QString &startsAt, const QDateTime &now)
{
    const QDateTime start = startOf(startsAt);
    if (start.isValid() && start <= now && start.secsTo(now) <= kShowCurrentForSecs)
        return std::min(start.date(), now.date());
    return now.date();
}

// "19:05" for the gate's day, "12/24" for an earlier day: the operator needs to tell them apart,
// and the station shows the verdict in very large type on one line, so it stays short.
QString shortTime(const QString &stamp, const QString &startsAt, const QDateTime &now)
{
    const QDateTime t = QDateTime::fromString(stamp, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (!t.isValid())
        return stamp;
    if (t.date() >= gateDay(startsAt, now))
        return t.toString(QStringLiteral("HH:mm"));
    return t.toString(QStringLiteral("MM/dd"));
}

QString playTime(const QString &startsAt)
{
    const QDateTime t = startOf(startsAt);
    return t.isValid() ? t.toString(QStringLiteral("MM/dd HH:mm")) : startsAt;
}

QString byWhom(const ScanContext &c, const QDateTime &now)
{
    QStringList parts;
    if (!c.earlierAt.isEmpty())
        parts << shortTime(c.earlierAt, c.startsAt, now);
    if (!c.earlierBy.isEmpty())
        parts << c.earlierBy;
    return parts.isEmpty() ? QString() : u' ' + parts.join(u' ');
}

ScanVerdict verdict(const char *code, QString message)
{
    return {QString::fromLatin1(code), std::move(message)};
}

} // namespace

ScanVerdict scanVerdict(ScanResult result, const ScanContext &c, const QDateTime &now)
{
    using namespace wire::errcode;
    switch (result) {
    case ScanResult::Entered:
        return verdict(kOk, QStringLiteral("입장 확인"));
    case ScanResult::ReEntered:
        return verdict(kReEntered, QStringLiteral("재입장 확인"));
    case ScanResult::Exited:
        return verdict(kExited, QStringLiteral("퇴장 확인"));
    case ScanResult::UnknownMode:
        return verdict(kRefused, QStringLiteral("처리 구분 오류"));
    case ScanResult::UnknownPerformance:
        return verdict(kRefused, QStringLiteral("공연 정보 없음"));
    case ScanResult::UnknownTicket:
        return verdict(kRefused, QStringLiteral("없는 티켓"));
    case ScanResult::OtherPerformance:
        return verdict(kRefused, QStringLiteral("다른 공연 %1").arg(playTime(c.startsAt)));
    case ScanResult::Cancelled:
        return verdict(kRefused, QStringLiteral("취소된 예매"));
    case ScanResult::AlreadyInside:
        return verdict(kRepeated, QStringLiteral("이미 입장") + byWhom(c, now));
    case ScanResult::NeverEntered:
        return verdict(kRepeated, QStringLiteral("입장 기록 없음"));
    case ScanResult::AlreadyLeft:
        return verdict(kRepeated, QStringLiteral("이미 퇴장") + byWhom(c, now));
    }
    return verdict(kRefused, QString());
}

QString annulVerdict(AnnulResult result, bool entry)
{
    switch (result) {
    case AnnulResult::Annulled:
        return entry ? QStringLiteral("입장 취소 완료") : QStringLiteral("퇴장 취소 완료");
    case AnnulResult::NothingToAnnul:
        return QStringLiteral("취소할 입장·퇴장 기록이 없습니다");
    case AnnulResult::AlreadyAnnulled:
        return QStringLiteral("이미 취소된 기록입니다");
    case AnnulResult::LaterScan:
        return QStringLiteral("그 뒤에 이 티켓이 다시 스캔되어 취소할 수 없습니다");
    case AnnulResult::TooLate:
        return QStringLiteral("%1분이 지나 취소할 수 없습니다").arg(kAnnulWindowSecs / 60);
    case AnnulResult::StateChanged:
        return QStringLiteral("예매 상태가 바뀌어 취소할 수 없습니다");
    }
    return {};
}

} // namespace qav
