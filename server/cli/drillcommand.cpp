// `qav-server drill`: its options read and checked, then the drill run against the server.

#include "server/cli/cli.h"
#include "server/cli/clicommands.h"
#include "server/drill/drill.h"

#include <QCommandLineParser>
#include <QHostAddress>
#include <QSslCertificate>

namespace qav {

using namespace cli;

namespace {

// Where `serve` listens by the settings the drill was given (its configuration file).
QUrl configuredServer(const QCommandLineParser &p, const QCommandLineOption &port,
                      const QCommandLineOption &bind, const QCommandLineOption &tlsCert,
                      const QCommandLineOption &hostName)
{
    const bool tls = !p.value(tlsCert).isEmpty();
    QString host = p.value(bind);
    const QHostAddress address(host);
    if (host.isEmpty() || address == QHostAddress::AnyIPv4 || address == QHostAddress::Any)
        host = QStringLiteral("localhost");
    else if (address == QHostAddress::AnyIPv6)
        host = QStringLiteral("::1");
    // A certificate names the server's names, rarely its loopback address.
    const QStringList names = p.values(hostName).join(u',').split(u',', Qt::SkipEmptyParts);
    if (tls && !names.isEmpty())
        host = names.first().trimmed();
    QUrl url;
    url.setScheme(tls ? QStringLiteral("https") : QStringLiteral("http"));
    url.setHost(host);
    url.setPort(p.value(port).toInt());
    return url;
}

} // namespace

int drillCommand(const QStringList &args)
{
    QCommandLineParser p;
    const QCommandLineOption server(
        u"server"_qs,
        u"The running server, e.g. https://gate.example:8470 (default: the one the "
        "settings describe)."_qs,
        u"url"_qs);
    const QCommandLineOption ca(
        u"ca"_qs, u"A PEM file of CA certificates to trust besides the system's (HTTPS)."_qs,
        u"file"_qs);
    const QCommandLineOption stations(u"stations"_qs, u"Virtual stations (default 50)."_qs, u"m"_qs,
                                      u"50"_qs);
    const QCommandLineOption bookings(u"bookings"_qs, u"Bookings to lay out (default 10000)."_qs,
                                      u"n"_qs, u"10000"_qs);
    const QCommandLineOption seconds(u"seconds"_qs, u"How long to scan (default 60)."_qs, u"s"_qs,
                                     u"60"_qs);
    const QCommandLineOption rate(u"rate"_qs, u"Scans per second, all stations (default 22)."_qs,
                                  u"r"_qs, u"22"_qs);
    const QCommandLineOption venue(
        u"venue"_qs,
        u"Hold the drill in this venue, so its dashboard shows it (its gates never get it); "
        "default: a venue of the drill's own."_qs,
        u"place-code"_qs);
    // Read from serve's settings to find the server.
    QCommandLineOption port(u"port"_qs, u"serve's port."_qs, u"port"_qs, u"8470"_qs);
    QCommandLineOption bind(u"bind"_qs, u"serve's address."_qs, u"address"_qs, u"127.0.0.1"_qs);
    QCommandLineOption tlsCert(u"tls-cert"_qs, u"serve's certificate."_qs, u"file"_qs);
    QCommandLineOption hostName(u"host-name"_qs, u"serve's names."_qs, u"name"_qs);
    for (QCommandLineOption *o : {&port, &bind, &tlsCert, &hostName})
        o->setFlags(QCommandLineOption::HiddenFromHelp);
    if (!parseCommand(
            p, args,
            u"Rehearse the gates against a running server: lay out a performance, bookings and an "
            "operator of the drill's own, sign in virtual stations over the network as stations "
            "do, scan at a venue's pace with some repeats and unknown tickets, print what came "
            "of it, and remove everything the drill made, also on Ctrl-C (and what an earlier "
            "drill that was killed left). Real bookings are never touched."_qs,
            {dbOption, server, ca, stations, bookings, seconds, rate, venue, port, bind, tlsCert,
             hostName},
            {}))
        return 0;

    DrillSettings s;
    s.stations = positiveOption(p, stations);
    s.bookings = positiveOption(p, bookings);
    s.seconds = positiveOption(p, seconds);
    bool ok = false;
    s.rate = p.value(rate).toDouble(&ok);
    if (!ok || s.rate <= 0)
        throw UsageError{
            QStringLiteral("bad --rate '%1': expected scans per second").arg(p.value(rate))};
    s.server = p.isSet(server) ? QUrl(p.value(server), QUrl::StrictMode)
                               : configuredServer(p, port, bind, tlsCert, hostName);
    if (!s.server.isValid() || s.server.host().isEmpty() ||
        (s.server.scheme() != u"http" && s.server.scheme() != u"https"))
        throw UsageError{QStringLiteral("bad --server '%1': expected http://host:port or "
                                        "https://host:port")
                             .arg(p.value(server))};
    s.tls = QSslConfiguration::defaultConfiguration();
    if (p.isSet(ca)) {
        const QList<QSslCertificate> extra = QSslCertificate::fromPath(p.value(ca));
        if (extra.isEmpty())
            throw UsageError{QStringLiteral("no PEM certificate in %1").arg(p.value(ca))};
        s.tls.addCaCertificates(extra);
    }
    s.venue = p.value(venue);
    if (!s.venue.isEmpty())
        checkNotDrillCode(u"venue"_qs, s.venue);

    auto storage = openAndInit(p);
    return runDrill(*storage, s);
}

} // namespace qav
