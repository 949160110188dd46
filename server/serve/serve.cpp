#include "server/serve/serve.h"

#include "server/accounts/passwords.h"
#include "server/accounts/signinguard.h"
#include "server/base/commandline.h"
#include "server/base/stopsignals.h"
#include "server/http/hostnames.h"
#include "server/http/serverlog.h"
#include "server/protocol/auditsealer.h"
#include "server/protocol/housekeeping.h"
#include "server/web/dashboard.h"

#include <QCoreApplication>
#include <QTimer>

#include <optional>
#include <sys/resource.h>

namespace qav {

using namespace cli;

namespace {

// After the first SIGTERM or SIGINT, how long the requests under way may take to be answered.
constexpr int kStopBoundMs = 10000;

// Descriptors are what a busy server runs out of first; the soft limit is often far below what
// the system allows the process.
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// The gate's routes, and the dashboard and the sales system's API unless answers are constant.
void addRoutes(HttpFront &front, const ServeSettings &s)
{
    addMemberRoutes(front.routes(), s.gate);
    if (s.front.constantAnswer)
        return;
    dashboard::addRoutes(front.routes(), HostNames::ofThisMachine(s.address, s.hostNames),
                         s.gateHealth, s.auditKey);
    addSyncRoutes(front.routes(), s.sync);
}

// Runs the event loop until SIGTERM or SIGINT has stopped the front: the requests under way are
// answered first, for kStopBoundMs at most, or not at all on a second signal.
int runUntilStopped(HttpFront &front)
{
    StopSignals stopSignals;
    int stopSignal = 0;
    bool gaveUp = false;
    QTimer bound;
    bound.setSingleShot(true);
    QObject::connect(&stopSignals, &StopSignals::received, &front, [&](int signal) {
        if (stopSignal != 0) {
            gaveUp = true; // asked twice: stop without waiting
            QCoreApplication::exit(0);
            return;
        }
        stopSignal = signal;
        bound.start(kStopBoundMs);
        front.stop();
    });
    QObject::connect(&bound, &QTimer::timeout, &front, [&] {
        gaveUp = true;
        QCoreApplication::exit(0);
    });
    QObject::connect(&front, &HttpFront::stopped, &front, [] { QCoreApplication::exit(0); });

    const int code = QCoreApplication::exec();
    front.shutDown();
    if (gaveUp)
        qCWarning(lcServer).noquote()
            << "stopped on" << StopSignals::name(stopSignal)
            << "without waiting for the requests still under way; database closed";
    else
        qCInfo(lcServer).noquote() << "stopped on" << StopSignals::name(stopSignal)
                                   << "after the requests under way were answered; database closed";
    return code;
}

void logListening(const ServeSettings &s, quint16 port, const QString &database)
{
    if (!s.front.tls && !s.address.isLoopback())
        qCWarning(lcServer).noquote()
            << QStringLiteral(
                   "serving plain HTTP on %1, which is not a loopback address: passwords "
                   "and session keys cross the network readable (give --tls-cert and "
                   "--tls-key)")
                   .arg(s.address.toString());
    qCInfo(lcServer).noquote() << QStringLiteral("listening on %1://%2:%3 database %4")
                                      .arg(s.front.tls ? u"https"_qs : u"http"_qs,
                                           s.address.toString())
                                      .arg(port)
                                      .arg(database);
}

} // namespace

int serve(const ServeSettings &s, const std::function<QString()> &openDatabase)
{
    setSignInClockScale(s.clockScale);
    if (!s.holdChecksIn.isEmpty())
        holdPasswordChecksIn(s.holdChecksIn);
    installServerLog(s.quiet);
    raiseDescriptorLimit();
    QString database = QStringLiteral("none (constant answers)");
    if (!s.front.constantAnswer)
        database = openDatabase(); // fail now, not on the first scan
    // Made now, so that the first sign-in with an unknown id takes no longer than any other.
    dummyPasswordHash();

    const QString dbUrl = s.dbUrl, dbPassword = s.dbPassword;
    const auto opener = [dbUrl, dbPassword] {
        return openStorage(dbUrl, dbPassword, StorageUse::Serving);
    };
    HttpFront front(opener, s.front);
    addRoutes(front, s);
    std::optional<Housekeeping> housekeeping;
    if (!s.front.constantAnswer)
        housekeeping.emplace(opener, s.keepForDays);
    std::optional<AuditSealer> sealer;
    if (!s.front.constantAnswer && s.sealEverySecs > 0)
        sealer.emplace(opener, s.auditKey, s.sealEverySecs);

    QString listenError;
    const quint16 actual = front.listenOn(s.address, s.port, &listenError);
    if (actual == 0) {
        err(QStringLiteral("cannot listen on %1:%2: %3")
                .arg(s.bindText)
                .arg(s.port)
                .arg(listenError));
        return 1;
    }
    logListening(s, actual, database);
    return runUntilStopped(front);
}

} // namespace qav
