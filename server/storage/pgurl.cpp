#include "server/storage/pgurl.h"

#include "server/storage/records.h"

#include <QRegularExpression>
#include <QUrl>

#include <algorithm>

namespace qav {

namespace {

[[noreturn]] void refuse(const QString &url, const QString &why)
{
    throw StorageError(
        QStringLiteral("bad database URL '%1': %2").arg(redactedPgUrl(url), why).toStdString());
}

QString decoded(const QString &part)
{
    return QUrl::fromPercentEncoding(part.toUtf8());
}

bool isPort(const QString &text)
{
    bool ok = false;
    const int n = text.toInt(&ok);
    return ok && n > 0 && n < 65536 && !text.startsWith(u'+');
}

} // namespace

const QStringList &pgUrlParameters()
{
    // host: a socket directory instead of the URL's host. The rest are libpq's own: which host
    // of a list to settle on, TLS to the database and its files, how long to wait, keep-alives.
    static const QStringList names = {
        QStringLiteral("host"),
        QStringLiteral("target_session_attrs"),
        QStringLiteral("sslmode"),
        QStringLiteral("sslrootcert"),
        QStringLiteral("sslcert"),
        QStringLiteral("sslkey"),
        QStringLiteral("sslcrl"),
        QStringLiteral("connect_timeout"),
        QStringLiteral("application_name"),
        QStringLiteral("keepalives"),
        QStringLiteral("keepalives_idle"),
        QStringLiteral("keepalives_interval"),
        QStringLiteral("keepalives_count"),
        QStringLiteral("tcp_user_timeout"),
    };
    return names;
}

QString redactedPgUrl(const QString &url)
{
    const qsizetype scheme = url.indexOf(QLatin1String("://"));
    if (scheme < 0)
        return url;
    QString text = url;
    const qsizetype from = scheme + 3;
    qsizetype end = text.indexOf(u'/', from);
    if (end < 0)
        end = text.size();
    const qsizetype at = text.lastIndexOf(u'@', end);
    if (at >= from) {
        const qsizetype colon = text.indexOf(u':', from);
        if (colon >= 0 && colon < at)
            text.remove(colon, at - colon);
    }
    static const QRegularExpression secret(QStringLiteral("([?&](ssl)?password=)[^&]*"),
                                           QRegularExpression::CaseInsensitiveOption);
    text.replace(secret, QStringLiteral("\\1..."));
    return text;
}

PgParams parsePostgresUrl(const QString &url, const QString &password)
{
    const qsizetype scheme = url.indexOf(QLatin1String("://"));
    QString rest = url.mid(scheme + 3);
    QString query;
    if (const qsizetype q = rest.indexOf(u'?'); q >= 0) {
        query = rest.mid(q + 1);
        rest.truncate(q);
    }
    const qsizetype slash = rest.indexOf(u'/');
    if (slash < 0 || slash == rest.size() - 1 || rest.indexOf(u'/', slash + 1) >= 0)
        refuse(url,
               QStringLiteral("no database name; expected postgresql://user@host:port/dbname"));
    PgParams p;
    p.database = decoded(rest.mid(slash + 1));
    QString authority = rest.left(slash);
    if (const qsizetype at = authority.lastIndexOf(u'@'); at >= 0) {
        const QString userInfo = authority.left(at);
        authority = authority.mid(at + 1);
        const qsizetype colon = userInfo.indexOf(u':');
        p.user = decoded(userInfo.left(colon));
        if (colon >= 0)
            p.password = decoded(userInfo.mid(colon + 1));
    }
    if (!password.isEmpty())
        p.password = password;

    QStringList hosts, ports;
    for (const QString &hostPart : authority.split(u',')) {
        QString host = hostPart;
        QString port;
        if (hostPart.startsWith(u'[')) {
            const qsizetype close = hostPart.indexOf(u']');
            if (close < 0)
                refuse(url, QStringLiteral("unclosed '[' in the host '%1'").arg(hostPart));
            host = hostPart.mid(1, close - 1);
            const QString after = hostPart.mid(close + 1);
            if (!after.isEmpty() && !after.startsWith(u':'))
                refuse(url, QStringLiteral("bad host '%1'").arg(hostPart));
            port = after.mid(1);
        } else if (const qsizetype colon = hostPart.lastIndexOf(u':'); colon >= 0) {
            host = hostPart.left(colon);
            port = hostPart.mid(colon + 1);
        }
        if (host.isEmpty() && authority.contains(u','))
            refuse(url, QStringLiteral("an empty host in the host list '%1'").arg(authority));
        if (!port.isEmpty() && !isPort(port))
            refuse(url, QStringLiteral("bad port '%1' in '%2'").arg(port, hostPart));
        hosts << decoded(host);
        ports << (port.isEmpty() ? QStringLiteral("5432") : port);
    }

    for (const QString &pair : query.split(u'&', Qt::SkipEmptyParts)) {
        const qsizetype eq = pair.indexOf(u'=');
        const QString name = decoded(pair.left(eq));
        const QString value = eq < 0 ? QString() : decoded(pair.mid(eq + 1));
        if (!pgUrlParameters().contains(name))
            refuse(url, QStringLiteral("unknown parameter '%1' (known: %2)")
                            .arg(name, pgUrlParameters().join(QLatin1String(", "))));
        // The driver passes its options on as name=value words: a blank, a quote or a ';' in
        // a value would be read as the start of another option.
        static const QRegularExpression unsafe(QStringLiteral("[\\s;'\"\\\\]"));
        if (value.isEmpty() || value.contains(unsafe))
            refuse(url, QStringLiteral("parameter '%1' needs a value without blanks, quotes or ';'")
                            .arg(name));
        if (name == QLatin1String("host")) {
            if (hosts.size() > 1)
                refuse(url, QStringLiteral("parameter 'host' with a host list"));
            hosts = QStringList{value};
            continue;
        }
        p.options.removeIf([&](const auto &o) { return o.first == name; });
        p.options.append({name, value});
    }
    if (hosts.size() == 1 && hosts.first().isEmpty())
        hosts.first() = QStringLiteral("127.0.0.1");
    // Of two or more hosts only the one taking writes will do; libpq tries each in turn.
    const bool chooses = std::any_of(p.options.cbegin(), p.options.cend(), [](const auto &o) {
        return o.first == QLatin1String("target_session_attrs");
    });
    if (hosts.size() > 1 && !chooses)
        p.options.append({QStringLiteral("target_session_attrs"), QStringLiteral("read-write")});
    p.host = hosts.join(u',');
    // A port list only where the hosts' ports differ (libpq takes one port for all, or one each).
    const bool onePort = std::all_of(ports.cbegin(), ports.cend(),
                                     [&](const QString &port) { return port == ports.first(); });
    p.port = onePort ? ports.first() : ports.join(u',');
    QStringList shown;
    for (qsizetype i = 0; i < hosts.size(); ++i)
        shown << (hosts[i].contains(u':') ? u'[' + hosts[i] + u']' : hosts[i]) + u':' + ports[i];
    p.description =
        QStringLiteral("postgresql://%1@%2/%3").arg(p.user, shown.join(u','), p.database);
    return p;
}

} // namespace qav
