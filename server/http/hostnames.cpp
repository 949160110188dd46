#include "server/http/hostnames.h"

#include <QHostInfo>
#include <QNetworkInterface>

namespace qav {

namespace {

// The host part of a Host header value, lower case, without port or trailing dot; empty when the
// value is not one host.
QString hostPart(const QByteArray &value)
{
    QString host = QString::fromLatin1(value).toLower();
    if (host.startsWith(u'[')) {
        const qsizetype close = host.indexOf(u']');
        if (close < 0)
            return {};
        const QString rest = host.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(u':'))
            return {};
        host = host.mid(1, close - 1);
    } else if (const qsizetype colon = host.indexOf(u':'); colon >= 0) {
        if (host.indexOf(u':', colon + 1) >= 0)
            return {};
        host.truncate(colon);
    }
    if (host.endsWith(u'.'))
        host.chop(1);
    return host;
}

} // namespace

HostNames HostNames::ofThisMachine(const QHostAddress &bound, const QStringList &extra)
{
    HostNames h;
    h.m_names.insert(QStringLiteral("localhost"));
    const QString name = QHostInfo::localHostName().toLower();
    if (!name.isEmpty()) {
        h.m_names.insert(name);
        const QString domain = QHostInfo::localDomainName().toLower();
        if (!domain.isEmpty())
            h.m_names.insert(name + u'.' + domain);
    }
    h.m_addresses = QNetworkInterface::allAddresses();
    if (!bound.isNull() && bound != QHostAddress::Any && bound != QHostAddress::AnyIPv4 &&
        bound != QHostAddress::AnyIPv6)
        h.m_addresses.append(bound);
    for (const QString &e : extra) {
        const QString host = hostPart(e.trimmed().toLatin1());
        QHostAddress address;
        if (address.setAddress(host))
            h.m_addresses.append(address);
        else if (!host.isEmpty())
            h.m_names.insert(host);
    }
    return h;
}

bool HostNames::allows(const HttpRequest &request) const
{
    const QString host = hostPart(request.header("host"));
    if (host.isEmpty())
        return false;
    QHostAddress address;
    if (!address.setAddress(host))
        return m_names.contains(host);
    const auto same = [&](const QHostAddress &a) {
        return a.isEqual(address, QHostAddress::TolerantConversion);
    };
    return same(request.local) || std::any_of(m_addresses.begin(), m_addresses.end(), same);
}

} // namespace qav
