// `qav-server serve`: its options read and checked into ServeSettings, then the server run.

#include "server/cli/cli.h"
#include "server/cli/clicommands.h"
#include "server/http/tls.h"
#include "server/protocol/commandparser.h"
#include "server/protocol/gateservice.h"
#include "server/serve/serve.h"
#include "server/web/season.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#include <optional>
#include <stdexcept>

namespace qav {

using namespace cli;

namespace {

// "12h", "90m", "45s" as seconds; 0 when unreadable.
qint64 parseDuration(const QString &text)
{
    static const QRegularExpression re(QStringLiteral("^(\\d{1,7})([smh])$"));
    const auto m = re.match(text.trimmed());
    if (!m.hasMatch())
        return 0;
    const qint64 n = m.captured(1).toLongLong();
    const QChar unit = m.captured(2).at(0);
    return unit == u'h' ? n * 3600 : unit == u'm' ? n * 60 : n;
}

// The options of `serve`, in the order its --help lists them.
struct ServeOptions
{
    const HttpLimits defaults;
    const QCommandLineOption port{{u"p"_qs, u"port"_qs},
                                  u"TCP port (default 8470, 0 picks a free one)."_qs,
                                  u"port"_qs,
                                  u"8470"_qs};
    const QCommandLineOption bind{u"bind"_qs, u"Address to listen on (default 127.0.0.1)."_qs,
                                  u"address"_qs, u"127.0.0.1"_qs};
    const QCommandLineOption images{
        u"images"_qs, u"Folder with venue logos logo_<place code>.jpg."_qs, u"dir"_qs};
    const QCommandLineOption quiet{u"quiet"_qs, u"Do not log each request."_qs};
    const QCommandLineOption idle{
        u"session-idle"_qs,
        u"A signed-in session ends after this long unused, e.g. 12h, 90m (default 12h)."_qs,
        u"time"_qs, u"12h"_qs};
    const QCommandLineOption scanRate{
        u"session-scan-rate"_qs,
        QStringLiteral("Scans one signed-in gate may have written per second, with a burst of %1 "
                       "seconds' worth; beyond it a scan gets 503 busy (default %2, 0: no "
                       "ceiling).")
            .arg(kSessionScanBurstSecs)
            .arg(kDefaultSessionScanRate),
        u"n"_qs, QString::number(kDefaultSessionScanRate)};
    const QCommandLineOption connections{
        u"db-connections"_qs,
        u"Database connections (worker threads) for requests (default 16); sign-ins use two more."_qs,
        u"n"_qs, u"16"_qs};
    const QCommandLineOption maxConnections{
        u"max-connections"_qs,
        QStringLiteral("Open connections at most (default %1); beyond it a new one gets 503.")
            .arg(defaults.maxConnections),
        u"n"_qs, QString::number(defaults.maxConnections)};
    const QCommandLineOption perAddress{
        u"max-connections-per-address"_qs,
        QStringLiteral("Open connections from one client address at most (default %1).")
            .arg(defaults.maxPerAddress),
        u"n"_qs, QString::number(defaults.maxPerAddress)};
    const QCommandLineOption hostNames{
        u"host-name"_qs,
        u"A name the dashboard is reached by besides localhost and this machine's own names and "
        "addresses (repeat, or separate with commas)."_qs,
        u"name"_qs};
    const QCommandLineOption idleTimeout{
        u"idle-timeout"_qs,
        QStringLiteral("Seconds a connection may stay silent, or take to send one request "
                       "(default %1).")
            .arg(defaults.idleTimeoutMs / 1000),
        u"seconds"_qs, QString::number(defaults.idleTimeoutMs / 1000)};
    const QCommandLineOption tlsCert{
        u"tls-cert"_qs, u"Serve HTTPS with this PEM certificate (chain, own first)."_qs,
        u"file"_qs};
    const QCommandLineOption tlsKey{u"tls-key"_qs, u"The PEM private key of --tls-cert."_qs,
                                    u"file"_qs};
    const QCommandLineOption proxyFrom{
        u"proxy-from"_qs,
        u"A load balancer's address (repeat, or separate with commas): its connections begin "
        "with a PROXY protocol line naming the station, whose address then counts."_qs,
        u"address"_qs};
    const QCommandLineOption keepDays{
        u"keep-days"_qs,
        u"Days to keep sign-in attempts and refusals without a session (default 90)."_qs,
        u"days"_qs, u"90"_qs};
    const QCommandLineOption gateSilent{
        u"gate-silent-after"_qs,
        u"The dashboard flags a gate that scanned in the last 30 minutes but not for this long, "
        "e.g. 5m, 90s (default 5m)."_qs,
        u"time"_qs, u"5m"_qs};
    const QCommandLineOption gateSlow{
        u"gate-slow-ms"_qs,
        u"The dashboard flags a gate whose verifications' p95 over 5 minutes exceeds this "
        "(default 500)."_qs,
        u"ms"_qs, u"500"_qs};
    const QCommandLineOption gateRefusals{
        u"gate-refusal-percent"_qs,
        u"The dashboard flags a gate that refused more than this share of its scans in 5 minutes "
        "(default 30)."_qs,
        u"percent"_qs, u"30"_qs};
    const QCommandLineOption apiRate{
        u"api-rate"_qs,
        u"Requests per second one sales system's token may make to /api/v1/, with a burst of "
        "twice that; beyond it 429 (default 20)."_qs,
        u"n"_qs, u"20"_qs};
    const QCommandLineOption sealEvery{
        u"seal-every"_qs, u"Seconds between seals of the audit (default 2; 0: no sealing)."_qs,
        u"seconds"_qs, u"2"_qs};
    QCommandLineOption constant{u"constant-answer"_qs,
                                u"Answer a fixed record set (benchmark)."_qs};
    // Lets a test play minutes of sign-in attempts in seconds.
    QCommandLineOption clockScale{u"sign-in-clock-scale"_qs,
                                  u"Run the sign-in throttle's clock this many times as fast."_qs,
                                  u"factor"_qs, u"1"_qs};
    // Lets a test change an account while its sign-in checks the password.
    QCommandLineOption holdChecks{u"hold-password-checks"_qs,
                                  u"Hold each password check until a file 'go' is in folder."_qs,
                                  u"folder"_qs};

    ServeOptions()
    {
        constant.setFlags(QCommandLineOption::HiddenFromHelp);
        clockScale.setFlags(QCommandLineOption::HiddenFromHelp);
        holdChecks.setFlags(QCommandLineOption::HiddenFromHelp);
    }
    QList<QCommandLineOption> all() const
    {
        return {dbOption,  port,        bind,        images,         quiet,
                idle,      scanRate,    connections, maxConnections, perAddress,
                hostNames, idleTimeout, tlsCert,     tlsKey,         proxyFrom,
                keepDays,  gateSilent,  gateSlow,    gateRefusals,   auditKeyOption,
                sealEvery, constant,    clockScale,  holdChecks,     apiRate};
    }
};

// --port and --bind.
void readAddress(const QCommandLineParser &p, const ServeOptions &o, ServeSettings &s)
{
    bool portOk = false;
    const uint portNumber = p.value(o.port).toUInt(&portOk);
    if (!portOk || portNumber > 65535)
        throw UsageError{QStringLiteral("bad port '%1'").arg(p.value(o.port))};
    s.port = quint16(portNumber);
    s.bindText = p.value(o.bind);
    if (s.bindText == QLatin1String("localhost"))
        s.address = QHostAddress::LocalHost;
    else if (!s.address.setAddress(s.bindText))
        throw UsageError{QStringLiteral("bad address '%1'").arg(s.bindText)};
}

// What the HTTP front is given, but for its worker count: logos, sessions, TLS, connection limits.
void readFrontOptions(const QCommandLineParser &p, const ServeOptions &o,
                      HttpFront::Options &options, MemberRouteOptions &gate)
{
    gate.imagesDir = p.value(o.images);
    options.constantAnswer = gate.constantAnswer = p.isSet(o.constant);
    gate.sessionIdleSecs = parseDuration(p.value(o.idle));
    if (gate.sessionIdleSecs <= 0)
        throw UsageError{QStringLiteral("bad --session-idle '%1': use e.g. 12h, 90m or 600s")
                             .arg(p.value(o.idle))};
    gate.sessionScanRate =
        p.value(o.scanRate) == QLatin1String("0") ? 0 : positiveOption(p, o.scanRate);
    if (p.isSet(o.tlsCert)) {
        QString tlsError;
        options.tls = loadServerTls(p.value(o.tlsCert), secretFile(p.value(o.tlsKey)), &tlsError);
        if (!options.tls)
            throw std::runtime_error(tlsError.toStdString());
    }
    options.limits.maxConnections = positiveOption(p, o.maxConnections);
    options.limits.maxPerAddress = positiveOption(p, o.perAddress);
    options.limits.idleTimeoutMs = positiveOption(p, o.idleTimeout) * 1000;
    options.limits.maxBody = kMaxCommandBytes;
    options.limits.largerBodies.append({QString::fromLatin1(kSyncPrefix), kMaxSyncBody});
    options.limits.largerBodies.append(
        {QString::fromLatin1(season::kUploadPath), season::kMaxUpload});
    options.limits.busyText = QString::fromUtf8(kBusyText);
    for (const QString &text : p.values(o.proxyFrom).join(u',').split(u',', Qt::SkipEmptyParts)) {
        QHostAddress proxy;
        if (!proxy.setAddress(text.trimmed()))
            throw UsageError{QStringLiteral("bad --proxy-from address '%1'").arg(text)};
        options.limits.proxies << proxy;
    }
}

// Reads and checks the command line (UsageError when wrong) into p; nothing when --help was given.
std::optional<ServeSettings> readSettings(QCommandLineParser &p, const QStringList &args)
{
    const ServeOptions o;
    if (!parseCommand(
            p, args,
            u"Serve the business object over HTTP, or HTTPS with --tls-cert and --tls-key. "
            "Logs to standard error; SIGTERM or SIGINT finishes the requests under way "
            "and stops."_qs,
            o.all(), {}, true))
        return std::nullopt;
    if (p.isSet(o.tlsCert) != p.isSet(o.tlsKey))
        throw UsageError{QStringLiteral("--tls-cert and --tls-key go together")};

    ServeSettings s;
    readAddress(p, o, s);
    readFrontOptions(p, o, s.front, s.gate);
    s.keepForDays = positiveOption(p, o.keepDays);
    s.gateHealth.silentSecs = parseDuration(p.value(o.gateSilent));
    if (s.gateHealth.silentSecs <= 0)
        throw UsageError{QStringLiteral("bad --gate-silent-after '%1': use e.g. 5m or 90s")
                             .arg(p.value(o.gateSilent))};
    s.gateHealth.slowMs = positiveOption(p, o.gateSlow);
    s.gateHealth.refusalPercent = positiveOption(p, o.gateRefusals);
    if (s.gateHealth.refusalPercent > 100)
        throw UsageError{QStringLiteral("bad --gate-refusal-percent '%1': at most 100")
                             .arg(p.value(o.gateRefusals))};
    s.sealEverySecs =
        p.value(o.sealEvery) == QLatin1String("0") ? 0 : positiveOption(p, o.sealEvery);
    s.auditKey = auditKey(p);
    s.sync.ratePerSecond = positiveOption(p, o.apiRate);
    s.clockScale = positiveOption(p, o.clockScale);
    s.holdChecksIn = p.value(o.holdChecks);
    s.quiet = p.isSet(o.quiet);
    s.hostNames = p.values(o.hostNames).join(u',').split(u',', Qt::SkipEmptyParts);

    s.dbUrl = databaseUrl(p);
    s.dbPassword = databasePassword(p);
    bool connectionsOk = false;
    s.front.workers = p.value(o.connections).toInt(&connectionsOk);
    if (!connectionsOk || s.front.workers < 1 || s.front.workers > 256)
        throw UsageError{QStringLiteral("bad number of connections '%1' (1 to 256)")
                             .arg(p.value(o.connections))};
    return s;
}

} // namespace

int serveCommand(const QStringList &args)
{
    QCommandLineParser p;
    const std::optional<ServeSettings> settings = readSettings(p, args);
    if (!settings)
        return 0;
    return serve(*settings, [&p] { return openAndInit(p)->describe(); });
}

} // namespace qav
