#pragma once

#include "server/gate/memberroutes.h"
#include "server/http/httpfront.h"
#include "server/storage/storage.h"
#include "server/sync/syncroutes.h"
#include "server/web/gatehealth.h"

#include <QHostAddress>
#include <QStringList>

#include <functional>

namespace qav {

// What `serve` is told, checked by the command line; nothing is started yet.
struct ServeSettings
{
    HttpFront::Options front;
    MemberRouteOptions gate;
    QHostAddress address;
    QString bindText; // as given, for messages
    quint16 port = 0;
    int keepForDays = 0;
    int clockScale = 1;
    QString holdChecksIn;
    bool quiet = false;
    QStringList hostNames;
    QString dbUrl;
    QString dbPassword;
    GateHealthLimits gateHealth;
    SealKey auditKey;
    int sealEverySecs = 2;
    SyncRouteOptions sync;
};

// The server's composition: storage, front, routes, housekeeping and the audit's sealer wired and
// run until SIGTERM or SIGINT, which finish the requests under way. openDatabase opens and
// brings up to date the database (throwing when it cannot) and names it for the log; it is not
// called for constant answers. Returns the exit code; 1 when the address cannot be listened on.
int serve(const ServeSettings &settings, const std::function<QString()> &openDatabase);

} // namespace qav
