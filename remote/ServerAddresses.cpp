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

// The same address twice (a hosts file and DNS both) would be tried twice.
QList<QHostAddress> unique(const QList<QHostAddress> &found)
{
    QList<QHostAddress> once;
    for (const QHostAddress &a : found) {
        if (!once.contains(a))
            once << a;
    }
    return once;
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
    return unique(found);
}

bool stale(const Known &k)
{
    return !k.pinned && (k.addresses.isEmpty() || k.fresh.hasExpired());
}

void learn(Known &k, const QList<QHostAddress> &found)
{
    // A failed lookup keeps what was known: the resolver may be what is down.
    if (!found.isEmpty() || k.addresses.isEmpty())
        k.addresses = found;
    k.fresh.setRemainingTime(kLookupKeepMs);
}

QList<QHostAddress> ordered(const Known &k)
{
    QList<QHostAddress> list = k.addresses;
    const qsizetype at = list.indexOf(k.preferred);
    if (at > 0)
        list.move(at, 0);
    return list;
}

} // namespace

QList<QHostAddress> ServerAddresses::of(const QString &host, int waitMs)
{
    const QHostAddress literal(host);
    if (!literal.isNull())
        return {literal};
    // No reference into the table is held over the lookup's wait: the events handled meanwhile
    // may add names to it.
    if (stale(known()[host])) {
        const QList<QHostAddress> found = lookUp(host, waitMs);
        learn(known()[host], found);
    }
    return ordered(known()[host]);
}

void ServerAddresses::ofLater(const QString &host, QObject *context,
                              std::function<void(const QList<QHostAddress> &)> done)
{
    const QHostAddress literal(host);
    if (!literal.isNull() || !stale(known()[host])) {
        QTimer::singleShot(0, context, [list = of(host, 0), done] { done(list); });
        return;
    }
    QHostInfo::lookupHost(host, context, [host, done](const QHostInfo &info) {
        Known &k = known()[host];
        learn(k, unique(info.error() == QHostInfo::NoError ? info.addresses()
                                                           : QList<QHostAddress>()));
        done(ordered(k));
    });
}

QNetworkRequest ServerAddresses::to(const QNetworkRequest &request, const QHostAddress &address)
{
    QNetworkRequest r = request;
    QUrl url = request.url();
    r.setRawHeader(QByteArrayLiteral("Host"),
                   url.adjusted(QUrl::RemoveUserInfo).authority(QUrl::FullyEncoded).toUtf8());
    r.setPeerVerifyName(url.host());
    url.setHost(address.toString());
    r.setUrl(url);
    return r;
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
