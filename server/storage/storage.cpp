#include "server/storage/storage.h"

#include "server/storage/backends.h"

#include <QDate>

namespace qav {

void describeOutcome(ScanOutcome &o)
{
    ScanVerdict v = scanVerdict(o.result, {o.performance.startsAt, o.when, o.who});
    o.code = std::move(v.code);
    o.message = std::move(v.message);
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
    o.message = annulVerdict(o.result, o.annulled.mode == QLatin1String("I"));
}

std::optional<Performance> Lookup::gatePerformance(const QString &placeCode, const QDateTime &now)
{
    const QString fmt = QStringLiteral("yyyyMMddHHmm");
    const QString today = now.date().toString(QStringLiteral("yyyyMMdd"));
    const QString endOfToday = today + QStringLiteral("2359");
    const QString current = now.addSecs(-kShowCurrentForSecs).toString(fmt);
    // A show starting this soon is tonight's even when it starts after midnight.
    const QString soon = now.addSecs(kShowCurrentForSecs).toString(fmt);
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
    return redactedPgUrl(url);
}

std::unique_ptr<Storage> openStorage(const QString &urlText, const QString &password,
                                     StorageUse use)
{
    const QString text = urlText.isEmpty() ? QStringLiteral("qav.db") : urlText;
    if (text.startsWith(QLatin1String("postgresql://")) ||
        text.startsWith(QLatin1String("postgres://")))
        return openPostgres(parsePostgresUrl(text, password), use);
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
