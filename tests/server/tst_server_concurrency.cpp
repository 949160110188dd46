// The concurrent qav-server as a process: answers in request order on one connection, busy (503)
// instead of a long wait while another process holds the database, scans beside a large import,
// nothing acknowledged lost (nor miscounted) when the server is killed in the middle of a rush,
// gates served again soon after PostgreSQL restarts, and from the other host of a failover pair
// while the first stays silent.

#include "server/cli/demoseed.h"
#include "server/storage/storage.h"
#include "tests/server/testsupport.h"
#include "tests/support/GateClient.h"
#include "tests/support/RawHttp.h"
#include "tests/support/ServerProcess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QUuid>

#include <atomic>
#include <future>
#include <memory>
#include <vector>

#include <unistd.h>

using namespace qav;

namespace {

const QByteArray kBusyText = "서버가 바쁩니다. 다시 스캔하세요";
// How long a station waits for a verification's answer (kVerificationTimeoutMs in the station):
// an answer after that reaches nobody.
constexpr qint64 kStationWaitMs = 5000;

using qavtest::rawQuery;

QByteArray verify(const QByteArray &mode, const QByteArray &ticket, const QByteArray &key)
{
    return rawQuery(qavtest::verifyText(mode, ticket), key);
}

using Reply = qavtest::RawReply;
using qavtest::exchange;
using qavtest::takeRawReply;

// Signs gate01 in and returns its session key.
QByteArray signIn(quint16 port)
{
    qavtest::GateClient gate(port);
    gate.signIn(u"gate01"_qs, u"gate01"_qs);
    return gate.sessionKey();
}

// Servers here log no line per request.
const ServerOptions kQuiet = [] {
    ServerOptions options;
    options.quiet = true;
    return options;
}();

// TCP forwarding on a thread of its own to the database, until frozen: then it carries nothing
// either way and holds new connections, as a network that stopped delivering packets would.
// Thawed, it delivers what it held.
class FreezingProxy : public QThread
{
public:
    explicit FreezingProxy(quint16 target) : m_target(target)
    {
        start();
        port = m_ready.get_future().get();
    }
    ~FreezingProxy() override
    {
        quit();
        wait();
    }
    void setFrozen(bool frozen) { m_frozen = frozen; }
    quint16 port = 0;

protected:
    void run() override
    {
        QTcpServer server;
        std::vector<std::pair<QTcpSocket *, QTcpSocket *>> pairs;
        auto pump = [&] {
            if (m_frozen)
                return;
            for (auto &[client, upstream] : pairs) {
                if (upstream->state() == QAbstractSocket::UnconnectedState && client->isOpen() &&
                    !upstream->isOpen())
                    upstream->connectToHost(QHostAddress::LocalHost, m_target);
                if (upstream->state() != QAbstractSocket::ConnectedState)
                    continue;
                if (client->bytesAvailable())
                    upstream->write(client->readAll());
                if (upstream->bytesAvailable())
                    client->write(upstream->readAll());
            }
        };
        QObject::connect(&server, &QTcpServer::newConnection, [&] {
            while (QTcpSocket *client = server.nextPendingConnection()) {
                auto *upstream = new QTcpSocket(&server);
                client->setParent(&server);
                pairs.emplace_back(client, upstream);
                for (QTcpSocket *s : {client, upstream}) {
                    QObject::connect(s, &QTcpSocket::readyRead, pump);
                    QObject::connect(s, &QTcpSocket::connected, pump);
                    QObject::connect(s, &QTcpSocket::disconnected, [client, upstream] {
                        client->disconnectFromHost();
                        upstream->disconnectFromHost();
                    });
                }
            }
            pump();
        });
        QTimer thaw;
        QObject::connect(&thaw, &QTimer::timeout, pump);
        thaw.start(20);
        server.listen(QHostAddress::LocalHost, 0);
        m_ready.set_value(server.serverPort());
        exec();
        // The sockets are deleted one by one with the server, and each one closing would run a
        // slot above on its partner, maybe deleted already.
        for (auto &[client, upstream] : pairs) {
            client->disconnect();
            upstream->disconnect();
        }
    }

private:
    quint16 m_target;
    std::atomic<bool> m_frozen{false};
    std::promise<quint16> m_ready;
};

// A PostgreSQL cluster of this test's own, so that stopping it disturbs no other test; removed
// when done. Made by the same script as the shared one.
class OwnCluster
{
public:
    OwnCluster()
    {
        QProcess start;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(u"QAV_TEST_PG_URL"_qs);
        env.remove(u"QAV_TEST_PG_DIR"_qs);
        start.setProcessEnvironment(env);
        start.start(u"bash"_qs,
                    {u"-c"_qs,
                     u". \"$1\" >&2 && trap - EXIT && echo \"$QAV_TEST_PG_URL "
                     "$QAV_TEST_PG_DIR\""_qs,
                     u"bash"_qs, QStringLiteral(QAV_SOURCE_DIR "/scripts/start-test-postgres.sh")});
        start.waitForFinished(120000);
        const QStringList said = QString::fromUtf8(start.readAllStandardOutput()).split(u' ');
        if (said.size() == 2) {
            url = said[0];
            m_dir = said[1].trimmed();
        } else {
            qWarning("%s", start.readAllStandardError().constData());
        }
    }
    ~OwnCluster()
    {
        if (m_dir.isEmpty())
            return;
        QProcess::execute(u"bash"_qs, control({u"-m"_qs, u"fast"_qs, u"-w"_qs, u"stop"_qs}));
        QDir(m_dir).removeRecursively();
    }
    // pg_ctl on this cluster, as its owner; restart without a running server starts it with the
    // options it last ran with.
    QStringList control(const QStringList &arguments) const
    {
        QString bin;
        const QDir versions(u"/usr/lib/postgresql"_qs);
        for (const QString &v : versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
            if (QFile::exists(versions.filePath(v + u"/bin/pg_ctl"_qs)))
                bin = versions.filePath(v + u"/bin/pg_ctl"_qs);
        QStringList command{bin, u"-D"_qs, m_dir + u"/data"_qs, u"-l"_qs,
                            m_dir + u"/server.log"_qs};
        command += arguments;
        if (::geteuid() == 0) // the cluster belongs to postgres, which refuses to run as root
            command = QStringList{u"runuser"_qs, u"-u"_qs, u"postgres"_qs, u"--"_qs} + command;
        return QStringList{u"-c"_qs, u"exec \"$@\" >/dev/null"_qs, u"bash"_qs} + command;
    }
    QString url;

private:
    QString m_dir;
};

} // namespace

class ServerConcurrencyTest : public QObject
{
    Q_OBJECT

private slots:
    void pipelinedAnswersKeepRequestOrder();
    void lockedDatabaseAnswersBusyInTime();
    void silentDatabaseAnswersBusyInTime();
    void silentHostIsLeftForTheOther();
    void scansGoOnDuringImport();
    void killedServerLosesNothingAcknowledged_data();
    void killedServerLosesNothingAcknowledged();
    void restartedDatabaseServesGatesAgainSoon();
};

void ServerConcurrencyTest::pipelinedAnswersKeepRequestOrder()
{
    qavtest::ScratchDatabase scratch(u"sqlite"_qs);
    seedDemo(*openStorage(scratch.url()));
    const auto server = serverOn(scratch.url(), kQuiet);
    QVERIFY(server->port());

    const QByteArray key = signIn(server->port());
    QVERIFY(!key.isEmpty());
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, server->port());
    QVERIFY(socket.waitForConnected(10000));
    // A summary, a place-code sign-in and a verification, sent at once: each finishes on its own
    // worker, the answers still come back in this order.
    const QList<Reply> replies = qavtest::exchangePipelined(
        socket,
        rawQuery(qavtest::summaryText(), key) +
            rawQuery(qavtest::placeSignInText(u"1234"_qs), key) + verify("I", "99999999", key),
        3);
    QCOMPARE(replies.size(), 3);
    QCOMPARE(replies[0].columns().value(2), u"Total"_qs);
    QCOMPARE(replies[1].columns().value(2), u"bizcode"_qs);
    QCOMPARE(replies[2].columns().value(2), u"CustName"_qs);
}

void ServerConcurrencyTest::lockedDatabaseAnswersBusyInTime()
{
    qavtest::ScratchDatabase scratch(u"sqlite"_qs);
    seedDemo(*openStorage(scratch.url()));
    const auto server = serverOn(scratch.url(), kQuiet);
    QVERIFY(server->port());

    const QByteArray key = signIn(server->port());
    QVERIFY(!key.isEmpty());
    // Another process's write transaction: this test holds the lock the server needs.
    {
        const qavtest::RawSql other(scratch.url());
        QVERIFY2(other.isOpen(), qPrintable(other.errorText()));
        QSqlQuery q(other.database());
        QVERIFY(q.exec(u"BEGIN IMMEDIATE"_qs));
        QVERIFY(
            q.exec(u"UPDATE bookings SET seat_info = seat_info WHERE ticket_no = '10000001'"_qs));

        QElapsedTimer clock;
        clock.start();
        const Reply busy = exchange(server->port(), verify("I", "10000002", key));
        const qint64 tookMs = clock.elapsed();
        QCOMPARE(busy.status, 503);
        QCOMPARE(busy.json().value(u"error"_qs).toString(), QString::fromUtf8(kBusyText));
        // Generous: the server gives up after 1.5 s; anything near the old 15 s wait fails.
        QVERIFY2(tookMs < 6000, qPrintable(QString::number(tookMs)));

        QVERIFY(q.exec(u"ROLLBACK"_qs));
    }
    // The lock gone, the same scan goes through: the busy answer had changed nothing.
    const Reply after = exchange(server->port(), verify("I", "10000002", key));
    QCOMPARE(after.status, 200);
    QCOMPARE(after.column(u"ErrCode"_qs), u"0"_qs);
}

void ServerConcurrencyTest::silentDatabaseAnswersBusyInTime()
{
    QAV_REQUIRE_BACKEND(u"postgresql"_qs);
    qavtest::ScratchDatabase scratch(u"postgresql"_qs);
    seedDemo(*openStorage(scratch.url()));
    QUrl proxied(scratch.url());
    FreezingProxy proxy(quint16(proxied.port(5432)));
    proxied.setPort(proxy.port);
    const auto server = serverOn(proxied.toString(), kQuiet);
    QVERIFY(server->port());
    const QByteArray key = signIn(server->port());
    QVERIFY(!key.isEmpty());
    QCOMPARE(exchange(server->port(), verify("I", "10000001", key)).column(u"ErrCode"_qs), u"0"_qs);

    // The database host stops answering: every worker's connection hangs, and the gate hears
    // "busy" before its own wait runs out rather than nothing.
    proxy.setFrozen(true);
    const QByteArray scan = "Idempotency-Key: silent-1\r\n";
    QByteArray request = verify("I", "10000002", key);
    request.insert(request.indexOf("\r\n") + 2, scan);
    QElapsedTimer clock;
    clock.start();
    const Reply busy = exchange(server->port(), request);
    const qint64 tookMs = clock.elapsed();
    QCOMPARE(busy.status, 503);
    QCOMPARE(busy.json().value(u"error"_qs).toString(), QString::fromUtf8(kBusyText));
    // Designed to answer at 1.8 s; what matters is that the station still hears it.
    qInfo("busy answered after %lld ms; the station waits %lld ms", tookMs, kStationWaitMs);
    QVERIFY2(tookMs < kStationWaitMs, qPrintable(QString::number(tookMs)));
    // A health check meanwhile says the database is gone, as soon.
    clock.restart();
    QCOMPARE(exchange(server->port(), "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n").status,
             503);
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));

    // Back again: the held scan goes through once; the gate's repeat gets its answer (busy while
    // the connections given up on the silent host open again, for a moment at most).
    proxy.setFrozen(false);
    clock.restart();
    Reply repeat = exchange(server->port(), request);
    while (repeat.status == 503 && clock.elapsed() < 2000)
        repeat = exchange(server->port(), request);
    QCOMPARE(repeat.status, 200);
    QCOMPARE(repeat.column(u"ErrCode"_qs), u"0"_qs);
    const std::unique_ptr<Storage> storage = openStorage(scratch.url());
    const std::optional<BookingRecord> booking =
        storage->findBooking(u"GRVM0001"_qs, u"10000002"_qs);
    QVERIFY(booking);
    QCOMPARE(booking->entries, 1);
}

// The first host of the URL's pair goes silent for good, as a host that lost its power: no
// worker may stay stuck on it. Each gate hears busy within its wait, and the scans, sent again
// with their keys, are admitted once each through the other host while the first stays silent.
void ServerConcurrencyTest::silentHostIsLeftForTheOther()
{
    QAV_REQUIRE_BACKEND(u"postgresql"_qs);
    qavtest::ScratchDatabase scratch(u"postgresql"_qs);
    seedDemo(*openStorage(scratch.url()));
    const QUrl direct(scratch.url());
    FreezingProxy proxy(quint16(direct.port(5432)));
    // Both hosts are the one database: what matters is which of them answers.
    const QString pair = u"postgresql://%1@127.0.0.1:%2,127.0.0.1:%3%4"_qs.arg(direct.userName())
                             .arg(proxy.port)
                             .arg(direct.port(5432))
                             .arg(direct.path());
    const auto server = serverOn(pair, kQuiet);
    QVERIFY(server->port());
    const QByteArray key = signIn(server->port());
    QVERIFY(!key.isEmpty());
    QCOMPARE(exchange(server->port(), verify("I", "10000001", key)).column(u"ErrCode"_qs), u"0"_qs);

    proxy.setFrozen(true);
    QElapsedTimer clock;
    clock.start();
    qint64 servedAfterMs = -1;
    for (int t = 10000002; t <= 10000011; ++t) {
        const QByteArray ticket = QByteArray::number(t);
        const QByteArray request =
            rawQuery(qavtest::verifyText("I", ticket), key, "pair-" + ticket);
        for (;;) {
            QElapsedTimer took;
            took.start();
            const Reply reply = exchange(server->port(), request);
            QVERIFY2(took.elapsed() < kStationWaitMs, qPrintable(QString::number(took.elapsed())));
            if (reply.status == 200) {
                QCOMPARE(reply.column(u"ErrCode"_qs), u"0"_qs);
                break;
            }
            QCOMPARE(reply.status, 503);
            QVERIFY2(clock.elapsed() < 20000,
                     qPrintable(u"not served through the other host: "_qs + server->log()));
        }
        if (servedAfterMs < 0)
            servedAfterMs = clock.elapsed();
    }
    qInfo("served through the other host %lld ms after the first went silent", servedAfterMs);
    const std::unique_ptr<Storage> storage = openStorage(scratch.url());
    for (int t = 10000002; t <= 10000011; ++t)
        QCOMPARE(storage->findBooking(u"GRVM0001"_qs, QString::number(t))->entries, 1);
}

void ServerConcurrencyTest::scansGoOnDuringImport()
{
    qavtest::ScratchDatabase scratch(u"sqlite"_qs);
    seedDemo(*openStorage(scratch.url()));
    const auto server = serverOn(scratch.url(), kQuiet);
    QVERIFY(server->port());

    const QByteArray key = signIn(server->port());
    QVERIFY(!key.isEmpty());
    // Big enough that committing it in one transaction would hold every scan past its budget.
    const QString csvPath = QDir(scratch.dir()).filePath(u"bookings.csv"_qs);
    {
        QFile csv(csvPath);
        QVERIFY(csv.open(QIODevice::WriteOnly));
        csv.write("bizcode,ticket_no,cust_name,seat_grade,seat_info,cancelled\n");
        for (int i = 0; i < 100000; ++i)
            csv.write("GRVM0001," + QByteArray::number(50000000 + i) + ",관객,R석,1층,0\n");
    }
    QProcess import;
    import.setProgram(QStringLiteral(QAV_SERVER_BINARY));
    import.setArguments({u"import-bookings"_qs, u"--db"_qs, scratch.url(), csvPath});
    import.start();
    QVERIFY(import.waitForStarted());

    int during = 0;
    int ticket = 10000001;
    while (import.state() == QProcess::Running && ticket < 10000200) {
        const Reply reply =
            exchange(server->port(), verify("I", QByteArray::number(ticket++), key));
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.column(u"ErrCode"_qs), u"0"_qs);
        if (import.state() == QProcess::Running)
            ++during;
    }
    QVERIFY(import.waitForFinished(120000));
    QCOMPARE(import.exitCode(), 0);
    QVERIFY2(during > 0, "the import ended before any scan could run beside it");
}

void ServerConcurrencyTest::killedServerLosesNothingAcknowledged_data()
{
    qavtest::backendRows();
}

void ServerConcurrencyTest::killedServerLosesNothingAcknowledged()
{
    QFETCH(QString, backend);
    QAV_REQUIRE_BACKEND(backend);
    qavtest::ScratchDatabase scratch(backend);
    seedDemo(*openStorage(scratch.url()));
    const auto server = serverOn(scratch.url(), kQuiet);
    QVERIFY(server->port());

    const QByteArray key = signIn(server->port());
    QVERIFY(!key.isEmpty());
    // Sixteen gates admit distinct tickets as fast as the server answers; it is killed midway.
    constexpr int kGates = 16;
    constexpr int kTicketsPerGate = 18;
    QSet<QString> acknowledged;
    std::vector<std::unique_ptr<QTcpSocket>> gates;
    std::vector<int> next(kGates, 0);
    std::vector<QByteArray> buffers(kGates);
    QEventLoop loop;
    auto send = [&](int g) {
        const int ticket = 10000001 + g * kTicketsPerGate + next[size_t(g)];
        gates[size_t(g)]->write(verify("I", QByteArray::number(ticket), key));
    };
    for (int g = 0; g < kGates; ++g) {
        gates.push_back(std::make_unique<QTcpSocket>());
        QTcpSocket *socket = gates.back().get();
        connect(socket, &QTcpSocket::readyRead, &loop, [&, g, socket] {
            buffers[size_t(g)] += socket->readAll();
            Reply reply;
            while (takeRawReply(buffers[size_t(g)], reply)) {
                if (reply.status == 200 && reply.column(u"ErrCode"_qs) == u"0"_qs)
                    acknowledged << QString::number(10000001 + g * kTicketsPerGate +
                                                    next[size_t(g)]);
                if (++next[size_t(g)] < kTicketsPerGate)
                    send(g);
            }
            if (acknowledged.size() >= kGates * kTicketsPerGate / 3)
                loop.quit();
        });
        socket->connectToHost(QHostAddress::LocalHost, server->port());
        QVERIFY(socket->waitForConnected(10000));
    }
    for (int g = 0; g < kGates; ++g)
        send(g);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    loop.exec();
    server->kill();
    QVERIFY(acknowledged.size() >= kGates * kTicketsPerGate / 3);

    auto storage = openStorage(scratch.url());
    // The counters the summary and the dashboard read were committed with the scans or not at all.
    QCOMPARE(storage->recountCounters(), QStringList());
    QSet<QString> recorded;
    int admissions = 0;
    for (const ScanLogEntry &e : storage->scanLog(QString::fromLatin1(demo::kTodayBizcode))) {
        const int ticket = e.ticketRaw.toInt();
        const bool ours = ticket >= 10000001 && ticket < 10000001 + kGates * kTicketsPerGate;
        if (e.resultCode == u"0"_qs && ours) {
            recorded << e.ticketRaw;
            ++admissions;
        }
    }
    QCOMPARE(admissions, recorded.size()); // no ticket admitted twice
    for (const QString &ticket : acknowledged)
        QVERIFY2(recorded.contains(ticket),
                 qPrintable(ticket + u" was acknowledged but not kept"_qs));
    // The bookings agree with the audit: every recorded admission left its ticket inside.
    for (const QString &ticket : recorded) {
        ScanRequest again;
        again.mode = u"I"_qs;
        again.bizcode = QString::fromLatin1(demo::kTodayBizcode);
        again.ticketRaw = ticket;
        again.operatorId = u"check"_qs;
        QCOMPARE(storage->scan(again).result, ScanResult::AlreadyInside);
    }
}

// PostgreSQL stopped at once and started again under a few gates that scan again with the same
// replay key on each busy answer, as a station's operator does: busy at once while it is down,
// served again soon after it is back, every ticket admitted exactly once.
void ServerConcurrencyTest::restartedDatabaseServesGatesAgainSoon()
{
    QAV_REQUIRE_BACKEND(u"postgresql"_qs);
    OwnCluster cluster;
    QVERIFY2(!cluster.url.isEmpty(), "could not start a PostgreSQL cluster");
    const QString bizcode = QString::fromLatin1(demo::kTodayBizcode);
    constexpr int kGates = 4;
    constexpr int kTickets = 1000;
    {
        const std::unique_ptr<Storage> storage = openStorage(cluster.url);
        seedDemo(*storage);
        QList<Booking> bookings;
        for (int i = 0; i < kTickets; ++i)
            bookings.append(
                {bizcode, QString::number(70000001 + i), u"관객"_qs, u"R석"_qs, u"1층"_qs, false});
        storage->putBookings(bookings);
    }
    // Many connections, most of them idle while the database is away.
    ServerOptions options;
    options.initDatabase = false;
    options.quiet = true;
    options.databaseUrl = cluster.url;
    options.serveArguments = QStringList{u"--db-connections"_qs, u"48"_qs};
    const auto server = startedServer(options);
    QVERIFY(server->port());
    const QByteArray key = signIn(server->port());
    QVERIFY(!key.isEmpty());

    enum Phase { Up, Stopping, Down, Starting, Back } phase = Up;
    struct Gate
    {
        QTcpSocket socket;
        QByteArray buffer;
        QByteArray request;
        int ticket = 0;
        QElapsedTimer sent;
    };
    std::vector<std::unique_ptr<Gate>> gates;
    QMap<int, QString> answers; // ticket: the ErrCode it was finally answered
    int next = 70000001;
    int busyWhileDown = 0;
    qint64 slowestBusyMs = 0;
    QElapsedTimer clock;
    clock.start();
    qint64 upAtMs = -1;
    qint64 lastBusyMs = -1;
    int servedBack = 0;
    int busyAfterServed = 0;
    QEventLoop loop;
    QProcess pgCtl;
    auto scanNext = [&](Gate &g) {
        g.ticket = next++;
        g.request = verify("I", QByteArray::number(g.ticket), key);
        g.request.insert(g.request.indexOf("\r\n") + 2,
                         "Idempotency-Key: " + QUuid::createUuid().toByteArray(QUuid::Id128) +
                             "\r\n");
        g.sent.start();
        g.socket.write(g.request);
    };
    for (int i = 0; i < kGates; ++i) {
        gates.push_back(std::make_unique<Gate>());
        Gate &g = *gates.back();
        connect(&g.socket, &QTcpSocket::readyRead, &loop, [&] {
            g.buffer += g.socket.readAll();
            Reply reply;
            while (takeRawReply(g.buffer, reply)) {
                if (reply.status == 503) {
                    if (phase == Down) {
                        ++busyWhileDown;
                        slowestBusyMs = std::max(slowestBusyMs, g.sent.elapsed());
                    } else if (phase == Back) {
                        lastBusyMs = clock.elapsed() - upAtMs;
                        busyAfterServed += servedBack > 0 ? 1 : 0;
                    }
                    // The same scan again, with the same replay key, as an operator would.
                    QTimer::singleShot(300, &loop, [&] {
                        g.sent.start();
                        g.socket.write(g.request);
                    });
                    continue;
                }
                QCOMPARE(reply.status, 200);
                answers[g.ticket] = reply.code();
                if (phase == Back)
                    ++servedBack;
                if (phase == Up && answers.size() >= 3 * kGates) {
                    phase = Stopping;
                    pgCtl.start(u"bash"_qs,
                                cluster.control({u"-m"_qs, u"immediate"_qs, u"stop"_qs}));
                }
                // Long enough after the restart for every idle connection to have been used.
                if (phase == Back && servedBack >= 100 && clock.elapsed() - upAtMs > 3000)
                    loop.quit();
                else if (next < 70000001 + kTickets)
                    QTimer::singleShot(50, &loop, [&] { scanNext(g); });
            }
        });
        g.socket.connectToHost(QHostAddress::LocalHost, server->port());
        QVERIFY(g.socket.waitForConnected(10000));
    }
    connect(&pgCtl, &QProcess::finished, &loop, [&] {
        if (phase == Stopping) {
            phase = Down;
            // Down long enough for every gate to hear "busy" a few times.
            QTimer::singleShot(1500, &loop, [&] {
                phase = Starting;
                pgCtl.start(u"bash"_qs, cluster.control({u"-w"_qs, u"restart"_qs}));
            });
        } else if (phase == Starting) {
            upAtMs = clock.elapsed(); // pg_ctl -w: it accepts connections
            phase = Back;
        }
    });
    for (auto &g : gates)
        scanNext(*g);
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    loop.exec();

    QCOMPARE(phase, Back);
    const qint64 recoveredMs = std::max<qint64>(0, lastBusyMs);
    qInfo("while down: %d busy answers, the slowest after %lld ms; every scan served from %lld ms "
          "after PostgreSQL accepted connections; %d busy after the first was served",
          busyWhileDown, slowestBusyMs, recoveredMs, busyAfterServed);
    QVERIFY(busyWhileDown >= kGates);
    // Busy at once, or at the latest by the server's own deadline for a scan (1.8 s), not after
    // a dead connection's time-out (3 s); a loaded machine may add a moment to the deadline.
    QVERIFY2(slowestBusyMs < kScanBudgetMs + 1300, qPrintable(QString::number(slowestBusyMs)));
    // Wanted within 2 s; generous, as the machine may be busy with other work.
    QVERIFY2(recoveredMs < 6000, qPrintable(QString::number(recoveredMs)));
    // Connections left idle while it was down do not each cost a gate a busy answer to find out.
    QVERIFY2(busyAfterServed <= kGates, qPrintable(QString::number(busyAfterServed)));

    // Each ticket answered as admitted, once, a repeat after a busy answer included.
    const std::unique_ptr<Storage> storage = openStorage(cluster.url);
    QMap<QString, int> admitted;
    for (const ScanLogEntry &e : storage->scanLog(bizcode))
        if (e.ticketRaw.startsWith(u"7000"_qs) && e.kind == u"scan"_qs && e.resultCode == u"0"_qs)
            ++admitted[e.ticketRaw];
    for (auto it = answers.cbegin(); it != answers.cend(); ++it) {
        QCOMPARE(it.value(), u"0"_qs);
        QCOMPARE(admitted.value(QString::number(it.key())), 1);
    }
    for (auto it = admitted.cbegin(); it != admitted.cend(); ++it)
        QVERIFY2(it.value() == 1, qPrintable(it.key() + u" admitted twice"_qs));
}

QTEST_GUILESS_MAIN(ServerConcurrencyTest)
#include "tst_server_concurrency.moc"
