// --outages: what the gates go through while one machine of the installation goes away, side by
// side in one run: (a) the PostgreSQL server restarted, (b) the pg_auto_failover pair failed over
// (scripts/lib/failover.sh makes it as scripts/test-failover.sh does), (c) the server in use of
// two killed with kill -9, a station's gate finding the other through the name's two addresses.
// For each: the longest a gate went without a served scan, and the busy answers meanwhile.

#include "bench/server/bench.h"
#include "remote/DataSpace.h"
#include "remote/ServerAddresses.h"
#include "server/storage/storage.h"
#include "shell/QavError.h"
#include "tests/support/GateClient.h"
#include "tests/support/RawHttp.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>

#include <unistd.h>

#include <cstdio>
#include <functional>

namespace bench {

namespace {

struct Outage
{
    qint64 longestMs = -1; // -1: not measured
    qint64 busy = 0;
    qint64 unanswered = 0; // not even busy within the station's 5 s wait
    qint64 served = 0;
    QString note;
};

// Starts a command and returns at once, so that the gates are answered while it runs; owned by
// the caller, which waits for it after the run.
std::unique_ptr<QProcess> startAsOwner(const QStringList &command)
{
    auto p = std::make_unique<QProcess>();
    p->setProcessChannelMode(QProcess::MergedChannels);
    if (::getuid() == 0)
        p->start(
            QStringLiteral("runuser"),
            QStringList{QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--")} +
                command);
    else
        p->start(command.first(), command.mid(1));
    return p;
}

// Waits for a command startAsOwner started; false, saying why, when it failed.
bool finished(QProcess &p, const char *what)
{
    if (p.state() != QProcess::NotRunning)
        p.waitForFinished(60000);
    if (p.state() == QProcess::NotRunning && p.exitStatus() == QProcess::NormalExit &&
        p.exitCode() == 0)
        return true;
    std::fprintf(stderr, "bench: %s failed: %s\n", what, p.readAll().constData());
    return false;
}

QString failoverScript()
{
    return QStringLiteral(QAV_SOURCE_DIR "/scripts/lib/failover.sh");
}

// The script's own commands run as we are: it runs the nodes as their owner itself.
QString runScript(const QStringList &arguments, int waitMs, bool *ok)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QStringLiteral("bash"), QStringList{failoverScript()} + arguments);
    *ok = p.waitForFinished(waitMs) && p.exitCode() == 0;
    return QString::fromUtf8(p.readAllStandardOutput());
}

// `clients` gates on port scan their own tickets for `seconds`; `event` runs after 2 s. A gate's
// longest stretch without a served scan, of all gates, and the busy answers.
Outage gatesThrough(quint16 port, const QByteArray &key, int clients, int seconds,
                    const std::function<void()> &event)
{
    Outage o;
    std::vector<std::unique_ptr<Gate>> gates;
    std::vector<qint64> lastServed;
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    bool stopping = false;
    int outstanding = 0;
    static qint64 serial = 0;
    for (int i = 0; i < clients; ++i) {
        auto gate = std::make_unique<Gate>();
        gate->ticket = QByteArray::number(10000001 + i);
        gate->entry = nextIsEntry().value(gate->ticket, true);
        Gate *g = gate.get();
        const size_t at = size_t(i);
        lastServed.push_back(0);
        QObject::connect(&g->socket, &QTcpSocket::readyRead, &loop, [&, g, at] {
            g->buffer += g->socket.readAll();
            qavtest::RawReply reply;
            while (qavtest::takeRawReply(g->buffer, reply)) {
                --outstanding;
                const qint64 now = clock.elapsed();
                if (reply.status == 200) {
                    ++o.served;
                    o.longestMs = std::max(o.longestMs, now - lastServed[at]);
                    lastServed[at] = now;
                    g->entry = !g->entry;
                } else if (reply.status == 503) {
                    ++o.busy;
                }
                if (stopping) {
                    if (outstanding == 0)
                        loop.quit();
                    continue;
                }
                // A busy gate scans again a moment later, as an operator would.
                QTimer::singleShot(reply.status == 200 ? 0 : 50, &loop, [&, g] {
                    if (stopping)
                        return;
                    g->socket.write(request(*g, key, ++serial));
                    ++outstanding;
                });
            }
        });
        g->socket.connectToHost(QHostAddress::LocalHost, port);
        if (!g->socket.waitForConnected(10000))
            return o;
        gates.push_back(std::move(gate));
    }
    for (auto &g : gates) {
        g->socket.write(request(*g, key, ++serial));
        ++outstanding;
    }
    QTimer::singleShot(2000, &loop, event);
    QTimer::singleShot(seconds * 1000, &loop, [&] {
        stopping = true;
        if (outstanding == 0)
            loop.quit();
    });
    QTimer::singleShot((seconds + 10) * 1000, &loop, [&] { loop.quit(); });
    loop.exec();
    for (const auto &g : gates)
        nextIsEntry()[g->ticket] = g->entry;
    return o;
}

// (c): one station's gate, through the station's own channel and address list.
Outage stationThroughTwoHosts(const QString &url, int seconds)
{
    Outage o;
    ServerOptions options;
    options.databaseUrl = url;
    options.serveArguments = {QStringLiteral("--bind"), QStringLiteral("127.0.0.2")};
    auto first = startServer(options);
    if (!first || first->port() == 0)
        return o;
    options.serveArguments = {QStringLiteral("--bind"), QStringLiteral("127.0.0.3"),
                              QStringLiteral("--port"), QString::number(first->port())};
    auto second = startServer(options);
    if (!second || second->port() == 0)
        return o;
    const QString name = QStringLiteral("qav-server.bench.test");
    ServerAddresses::setForTests(name, {QHostAddress(QStringLiteral("127.0.0.2")),
                                        QHostAddress(QStringLiteral("127.0.0.3"))});
    const QUrl server(QStringLiteral("http://%1:%2").arg(name).arg(first->port()));
    BusinessObject object(QStringLiteral("Velmor.member"), server);
    QueryOptions wait;
    // The sign-in checks a password at idle priority: on a busy machine it may take a while.
    wait.timeoutMs = 10000;
    for (int attempt = 0; attempt < 3 && object.sessionKey().isEmpty(); ++attempt) {
        try {
            object.setSessionKey(
                object
                    .Query(QString::fromUtf8(qavtest::signInText(u"gate01"_qs, u"gate01"_qs)), wait)
                    ->Fields(QStringLiteral("SessionKey")));
            o.note.clear();
        } catch (const QavError &e) {
            o.note = QString::fromUtf8(e.what());
        }
    }
    if (object.sessionKey().isEmpty())
        return o;
    wait.timeoutMs = 5000; // the station's wait for a scan
    const QByteArray ticket = "10000101";
    bool entry = nextIsEntry().value(ticket, true);
    bool killed = false;
    QElapsedTimer clock;
    clock.start();
    qint64 lastServed = 0;
    qint64 serial = 0;
    const QByteArray run = QByteArray::number(QDateTime::currentMSecsSinceEpoch(), 36);
    while (clock.elapsed() < seconds * 1000) {
        if (!killed && clock.elapsed() >= 2000) {
            // The station tries the address that answered last first: that server is in use.
            const QList<QHostAddress> order = ServerAddresses::of(name, 1000);
            (order.value(0) == QHostAddress(QStringLiteral("127.0.0.3")) ? second : first)->kill();
            killed = true;
        }
        wait.idempotencyKey = "outage-" + run + '-' + QByteArray::number(++serial);
        const QString text = QString::fromUtf8(
            qavtest::verifyText(entry ? u"I"_qs : u"O"_qs, QString::fromLatin1(ticket)));
        try {
            object.Query(text, wait);
            ++o.served;
            o.longestMs = std::max(o.longestMs, clock.elapsed() - lastServed);
            lastServed = clock.elapsed();
            entry = !entry;
        } catch (const QavError &e) {
            if (e.number() == QavError::ServerRefused)
                ++o.busy;
            else
                ++o.unanswered;
        }
    }
    nextIsEntry()[ticket] = entry;
    ServerAddresses::setForTests(name, {});
    return o;
}

void print(const char *name, const Outage &o)
{
    if (o.longestMs < 0 || !o.note.isEmpty()) {
        std::printf("%-48s not measured%s%s\n", name, o.note.isEmpty() ? "" : ": ",
                    qPrintable(o.note));
        return;
    }
    std::printf("%-48s longest wait %6lld ms   busy answers %5lld   unanswered %3lld   served "
                "%6lld\n",
                name, static_cast<long long>(o.longestMs), static_cast<long long>(o.busy),
                static_cast<long long>(o.unanswered), static_cast<long long>(o.served));
    std::fflush(stdout);
}

} // namespace

bool outagesBench(const QString &pgUrl, int clients, const QString &dir)
{
    const int seconds = 20;
    std::printf("%d gates; each outage 2 s into a %d s run\n", clients, seconds);
    Outage restart, failover, hostDeath;

    // (a) The test cluster restarted (pg_ctl restart -m fast), one server on it.
    const QString pgDir = qEnvironmentVariable("QAV_TEST_PG_DIR");
    if (pgUrl.isEmpty() || pgDir.isEmpty()) {
        restart.note = QStringLiteral("needs the cluster of scripts/start-test-postgres.sh");
    } else if (layDemo("postgresql", pgUrl)) {
        ServerOptions options;
        options.databaseUrl = pgUrl;
        auto server = startServer(options);
        const QByteArray key = server->port() ? signIn(server->port()) : QByteArray();
        QString pgCtl;
        for (const QString &v : QDir(QStringLiteral("/usr/lib/postgresql"))
                                    .entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
            pgCtl = QStringLiteral("/usr/lib/postgresql/%1/bin/pg_ctl").arg(v);
        std::unique_ptr<QProcess> restarting;
        if (!key.isEmpty())
            restart = gatesThrough(server->port(), key, clients, seconds, [&] {
                restarting = startAsOwner({pgCtl, QStringLiteral("restart"), u"-D"_qs,
                                           pgDir + u"/data"_qs, u"-m"_qs, u"fast"_qs, u"-w"_qs});
            });
        if (restarting && !finished(*restarting, "the restart"))
            restart.note = QStringLiteral("the restart failed");
    }
    print("(a) PostgreSQL restarted", restart);

    // (b) A pg_auto_failover pair failed over on the monitor's command, one server on the URL
    // that names both nodes.
    // The nodes run as the postgres user, who must reach their folder.
    QFile::setPermissions(dir, QFile::permissions(dir) | QFile::ReadGroup | QFile::ExeGroup |
                                   QFile::ReadOther | QFile::ExeOther);
    const QString formation = QDir(dir).filePath(QStringLiteral("failover"));
    bool up = false;
    const QString said = runScript({QStringLiteral("up"), formation}, 180000, &up);
    static const QRegularExpression urlLine(QStringLiteral("^url=(.*)$"),
                                            QRegularExpression::MultilineOption);
    const QString pairUrl = urlLine.match(said).captured(1);
    if (!up || pairUrl.isEmpty()) {
        failover.note = QStringLiteral("the pair did not start (scripts/lib/failover.sh)");
    } else {
        try {
            qav::openStorage(pairUrl)->initSchema();
        } catch (const std::exception &e) {
            failover.note = QString::fromUtf8(e.what());
        }
        if (failover.note.isEmpty() && layDemo("failover pair", pairUrl)) {
            ServerOptions options;
            options.databaseUrl = pairUrl;
            auto server = startServer(options);
            const QByteArray key = server->port() ? signIn(server->port()) : QByteArray();
            std::unique_ptr<QProcess> failing;
            if (!key.isEmpty())
                failover = gatesThrough(server->port(), key, clients, seconds, [&] {
                    failing = std::make_unique<QProcess>();
                    failing->setProcessChannelMode(QProcess::MergedChannels);
                    failing->start(QStringLiteral("bash"),
                                   {failoverScript(), QStringLiteral("failover"), formation});
                });
            if (failing && !finished(*failing, "the failover"))
                failover.note = QStringLiteral("the failover was refused");
        }
    }
    bool down = false;
    runScript({QStringLiteral("down"), formation}, 60000, &down);
    print("(b) pg_auto_failover pair failed over", failover);

    // (c) Two servers on the test database under one name; the one in use killed.
    if (pgUrl.isEmpty())
        hostDeath.note = QStringLiteral("needs a PostgreSQL URL");
    else if (layDemo("postgresql", pgUrl))
        hostDeath = stationThroughTwoHosts(pgUrl, seconds);
    print("(c) server in use killed (1 station gate)", hostDeath);
    return true;
}

} // namespace bench
