#pragma once

#include "server/http/exchange.h"

#include <QHostAddress>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

namespace qav {

// The names a browser may use for this server in its Host header. A page from another site that
// points its own name at this server's address (DNS rebinding) sends that name, which is not
// among them. Names compare without case, a trailing dot and a port; an address also passes when
// it is the one the request came in on.
class HostNames
{
public:
    // localhost, this machine's host name (also with its domain), the addresses of its
    // interfaces, the address listened on, and the names (or addresses) given.
    static HostNames ofThisMachine(const QHostAddress &bound, const QStringList &extra);

    bool allows(const HttpRequest &request) const;

private:
    QSet<QString> m_names;
    QList<QHostAddress> m_addresses;
};

} // namespace qav
