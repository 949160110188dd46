#include "remote/ServerAddresses.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QHash>
#include <QHostInfo>
#include <QTimer>

namespace {

// A changed address of the venue's name reaches a station that runs all day within this time.
constexpr qint64 kLookupKeepMs = 60 * 1000;

struct Known
{
    QList<QHostAddress> addresses;
    QDeadlineTimer fresh;
    QHostAddress preferred;
    bool pinned = false;
};

// Per thread, as the channel's connections are.
QHash<QString, Known> &known()
{
    static thread_local QHash<QString, Known> table;
    return table;
}

QList<QHostAddress> lookUp(const QString &host, int waitMs)
{
    QEventLoop loop;
    QList<QHostAddress> found;
    bool done = false;
    const int id = QHostInfo::lookupHost(host, &loop, [&](const QHostInfo &info) {
        done = true;
        if (info.error() == QHostInfo::NoError)
            found = info.addresses();
        loop.quit();
    });
    if (!done) {
        QTimer::singleShot(waitMs, &loop, &QEventLoop::quit);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    if (!done)
        QHostInfo::abortHostLookup(id);
    // The same address twice (a hosts file and DNS both) would be tried twice.
    QList<QHostAddress> unique;
    for (const QHostAddress &a : found) {
        if (!unique.contains(a))
            unique << a;
    }
    return unique;
}

} // namespace

QList<QHostAddress> ServerAddresses::of(const QString &host, int waitMs)
{
    const QHostAddress literal(host);
    if (!literal.isNull())
        return {literal};
    Known &k = known()[host];
    if (!k.pinned && (k.addresses.isEmpty() || k.fresh.hasExpired())) {
        const QList<QHostAddress> found = lookUp(host, waitMs);
        // A failed lookup keeps what was known: the resolver may be what is down.
        if (!found.isEmpty() || k.addresses.isEmpty())
            k.addresses = found;
        k.fresh.setRemainingTime(kLookupKeepMs);
    }
    QList<QHostAddress> ordered = k.addresses;
    const qsizetype at = ordered.indexOf(k.preferred);
    if (at > 0)
        ordered.move(at, 0);
    return ordered;
}

void ServerAddresses::answered(const QString &host, const QHostAddress &address)
{
    auto it = known().find(host);
    if (it != known().end())
        it->preferred = address;
}

void ServerAddresses::setForTests(const QString &host, const QList<QHostAddress> &addresses)
{
    if (addresses.isEmpty()) {
        known().remove(host);
        return;
    }
    Known &k = known()[host];
    k.addresses = addresses;
    k.pinned = true;
}
