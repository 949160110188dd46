#include "server/storage/storage.h"

#include "server/storage/backends.h"

#include <QDate>
#include <QUrl>
#include <QUrlQuery>

namespace qav {

namespace {

// A show that began up to this long ago is still the one at the gate (late comers, re-entry),
// also when it began before midnight.
constexpr qint64 kCurrentForSecs = 3 * 3600;

QDateTime startOf(const Performance &p)
{
    return QDateTime::fromString(p.startsAt, QStringLiteral("yyyyMMddHHmm"));
}

// The day the gates are working: the calendar day, or the day a show still current began on, so
// that a show begun at 23:00 keeps its evening after midnight.
QDate gateDay(const Performance &p, const QDateTime &now)
{
    const QDateTime start = startOf(p);
    if (start.isValid() && start <= now && start.secsTo(now) <= kCurrentForSecs)
        return std::min(start.date(), now.date());
    return now.date();
}

// "19:05" for the gate's day, "12/24" for an earlier day: the operator needs to tell them apart,
// and the station shows the verdict in very large type on one line, so it stays short.
QString shortTime(const QString &stamp, const Performance &p)
{
    const QDateTime t = QDateTime::fromString(stamp, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (!t.isValid())
        return stamp;
    if (t.date() >= gateDay(p, QDateTime::currentDateTime()))
        return t.toString(QStringLiteral("HH:mm"));
    return t.toString(QStringLiteral("MM/dd"));
}

QString playTime(const QString &startsAt)
{
    const QDateTime t = QDateTime::fromString(startsAt, QStringLiteral("yyyyMMddHHmm"));
    return t.isValid() ? t.toString(QStringLiteral("MM/dd HH:mm")) : startsAt;
}

QString byWhom(const QString &when, const QString &who, const Performance &p)
{
    QStringList parts;
    if (!when.isEmpty())
        parts << shortTime(when, p);
    if (!who.isEmpty())
        parts << who;
    return parts.isEmpty() ? QString() : u' ' + parts.join(u' ');
}

} // namespace

void describeOutcome(ScanOutcome &o)
{
    switch (o.result) {
    case ScanResult::Entered:
        o.code = QStringLiteral("0");
        o.message = QStringLiteral("입장 확인");
        return;
    case ScanResult::ReEntered:
        o.code = QStringLiteral("1");
        o.message = QStringLiteral("재입장 확인");
        return;
    case ScanResult::Exited:
        o.code = QStringLiteral("2");
        o.message = QStringLiteral("퇴장 확인");
        return;
    case ScanResult::UnknownMode:
        o.code = QStringLiteral("-1");
        o.message = QStringLiteral("처리 구분 오류");
        return;
    case ScanResult::UnknownPerformance:
        o.code = QStringLiteral("-1");
        o.message = QStringLiteral("공연 정보 없음");
        return;
    case ScanResult::UnknownTicket:
        o.code = QStringLiteral("-1");
        o.message = QStringLiteral("없는 티켓");
        return;
    case ScanResult::OtherPerformance:
        o.code = QStringLiteral("-1");
        o.message = QStringLiteral("다른 공연 %1").arg(playTime(o.performance.startsAt));
        return;
    case ScanResult::Cancelled:
        o.code = QStringLiteral("-1");
        o.message = QStringLiteral("취소된 예매");
        return;
    case ScanResult::AlreadyInside:
        o.code = QStringLiteral("-2");
        o.message = QStringLiteral("이미 입장") + byWhom(o.when, o.who, o.performance);
        return;
    case ScanResult::NeverEntered:
        o.code = QStringLiteral("-2");
        o.message = QStringLiteral("입장 기록 없음");
        return;
    case ScanResult::AlreadyLeft:
        o.code = QStringLiteral("-2");
        o.message = QStringLiteral("이미 퇴장") + byWhom(o.when, o.who, o.performance);
        return;
    }
}

std::optional<AdminRole> adminRoleNamed(const QString &name)
{
    for (const AdminRole role : {AdminRole::Viewer, AdminRole::Supervisor, AdminRole::Manager}) {
        if (name == adminRoleName(role))
            return role;
    }
    return std::nullopt;
}

QString adminRoleName(AdminRole role)
{
    switch (role) {
    case AdminRole::Viewer:
        return QStringLiteral("viewer");
    case AdminRole::Supervisor:
        return QStringLiteral("supervisor");
    case AdminRole::Manager:
        break;
    }
    return QStringLiteral("manager");
}

void describeAnnul(AnnulOutcome &o)
{
    const bool entry = o.annulled.mode == QLatin1String("I");
    switch (o.result) {
    case AnnulResult::Annulled:
        o.message = entry ? QStringLiteral("입장 취소 완료") : QStringLiteral("퇴장 취소 완료");
        return;
    case AnnulResult::NothingToAnnul:
        o.message = QStringLiteral("취소할 입장·퇴장 기록이 없습니다");
        return;
    case AnnulResult::AlreadyAnnulled:
        o.message = QStringLiteral("이미 취소된 기록입니다");
        return;
    case AnnulResult::LaterScan:
        o.message = QStringLiteral("그 뒤에 이 티켓이 다시 스캔되어 취소할 수 없습니다");
        return;
    case AnnulResult::TooLate:
        o.message = QStringLiteral("%1분이 지나 취소할 수 없습니다").arg(kAnnulWindowSecs / 60);
        return;
    case AnnulResult::StateChanged:
        o.message = QStringLiteral("예매 상태가 바뀌어 취소할 수 없습니다");
        return;
    }
}

std::optional<Performance> Lookup::gatePerformance(const QString &placeCode, const QDateTime &now)
{
    const QString fmt = QStringLiteral("yyyyMMddHHmm");
    const QString today = now.date().toString(QStringLiteral("yyyyMMdd"));
    const QString endOfToday = today + QStringLiteral("2359");
    const QString current = now.addSecs(-kCurrentForSecs).toString(fmt);
    // A show starting this soon is tonight's even when it starts after midnight.
    const QString soon = now.addSecs(kCurrentForSecs).toString(fmt);
    QList<Performance> list =
        performancesFrom(placeCode, std::min(current, today + QStringLiteral("0000")));
    // A rehearsal held in a real venue is shown on its dashboard but never sent to its gates.
    if (!isDrillCode(placeCode))
        list.removeIf([](const Performance &p) { return isDrillCode(p.bizcode); });
    // The first show still current (whichever day it began) or still to come tonight; else
    // today's last; else the next one.
    const Performance *lastToday = nullptr;
    for (const Performance &p : list) {
        if (p.startsAt > endOfToday && p.startsAt >= soon)
            break;
        if (p.startsAt >= current)
            return p;
        if (p.startsAt.startsWith(today))
            lastToday = &p;
    }
    if (lastToday)
        return *lastToday;
    for (const Performance &p : list) {
        if (p.startsAt > endOfToday)
            return p;
    }
    return std::nullopt;
}

QString redactedUrl(const QString &url)
{
    if (!url.contains(QLatin1String("://")))
        return url;
    const QUrl parsed(url);
    return parsed.isValid() ? parsed.toString(QUrl::RemovePassword)
                            : QStringLiteral("(unreadable URL)");
}

std::unique_ptr<Storage> openStorage(const QString &urlText, const QString &password,
                                     StorageUse use)
{
    const QString text = urlText.isEmpty() ? QStringLiteral("qav.db") : urlText;
    if (text.startsWith(QLatin1String("postgresql://")) ||
        text.startsWith(QLatin1String("postgres://"))) {
        const QUrl url(text, QUrl::StrictMode);
        const QString dbName = url.path().mid(1);
        if (!url.isValid() || dbName.isEmpty() || dbName.contains(u'/'))
            throw StorageError(QStringLiteral("bad database URL '%1': expected "
                                              "postgresql://user@host:port/dbname")
                                   .arg(redactedUrl(text))
                                   .toStdString());
        PgParams params;
        params.host = url.host();
        const QUrlQuery query(url);
        if (query.hasQueryItem(QStringLiteral("host")))
            params.host = query.queryItemValue(QStringLiteral("host"), QUrl::FullyDecoded);
        if (params.host.isEmpty())
            params.host = QStringLiteral("127.0.0.1");
        params.port = url.port(5432);
        params.user = url.userName(QUrl::FullyDecoded);
        params.password = password.isEmpty() ? url.password(QUrl::FullyDecoded) : password;
        params.database = dbName;
        return openPostgres(params, use);
    }
    return openSqlite(sqlitePathOf(text), use);
}

QString sqlitePathOf(const QString &urlText)
{
    const QString text = urlText.isEmpty() ? QStringLiteral("qav.db") : urlText;
    if (text.startsWith(QLatin1String("postgresql://")) ||
        text.startsWith(QLatin1String("postgres://")))
        return {};
    QString path = text;
    if (text.startsWith(QLatin1String("sqlite://")))
        path = text.mid(int(sizeof("sqlite://")) - 1);
    else if (text.contains(QLatin1String("://")))
        throw StorageError(QStringLiteral("bad database URL '%1': use a file path, sqlite:///path "
                                          "or postgresql://...")
                               .arg(redactedUrl(text))
                               .toStdString());
    if (path.isEmpty())
        throw StorageError("bad database URL: no file name");
    return path;
}

} // namespace qav
