// The simulated gates: each on a connection of its own, scanning as fast as it is answered.

#include "bench/server/bench.h"
#include "tests/support/GateClient.h"
#include "tests/support/RawHttp.h"

#include <QDateTime>
#include <QEventLoop>
#include <QHostAddress>
#include <QTimer>

#include <cstdio>

namespace bench {

namespace {

QByteArray signInRequest()
{
    return qavtest::rawQuery(
        qavtest::signInText(QStringLiteral("gate01"), QStringLiteral("gate01")));
}

// Removes one complete response from the buffer; returns its ErrCode, or "" while incomplete.
// The code is cut out of the body rather than parsed, to keep the simulated gates cheap.
QByteArray takeReply(QByteArray &buffer)
{
    qavtest::RawReply reply;
    if (!qavtest::takeRawReply(buffer, reply))
        return {};
    if (reply.status == 503)
        return "busy";
    const qsizetype rows = reply.body.indexOf("\"rows\":[[\"");
    if (reply.status != 200 || rows < 0)
        return "error";
    return reply.body.mid(rows + 10, reply.body.indexOf('"', rows + 10) - rows - 10);
}

} // namespace

QHash<QByteArray, bool> &nextIsEntry()
{
    static QHash<QByteArray, bool> state;
    return state;
}

// Every request as the station sends it: in the operator's session, with its own replay key.
// The keys of one run differ from those of earlier runs, which the server keeps for ten minutes
// and would answer from its replay store.
QByteArray request(const Gate &g, const QByteArray &sessionKey, qint64 serial)
{
    static const QByteArray run = QByteArray::number(QDateTime::currentMSecsSinceEpoch(), 36);
    return qavtest::rawQuery(
        qavtest::verifyText(g.entry ? QStringLiteral("I") : QStringLiteral("O"),
                            QString::fromLatin1(g.ticket)),
        sessionKey, "bench-" + run + '-' + QByteArray::number(serial));
}

// Signs gate01 in once; its session serves every simulated gate. Empty when refused.
QByteArray signIn(quint16 port)
{
    return qavtest::exchange(port, signInRequest()).column(QStringLiteral("SessionKey")).toLatin1();
}

Result driveAcross(const QList<quint16> &ports, int clients, int seconds,
                   const QByteArray &sessionKey, int signers, int firstTicket, int tickets)
{
    const quint16 port = ports.value(0);
    static qint64 serial = 0; // never reused within a run either
    std::vector<std::unique_ptr<Gate>> gates;
    Result result;
    std::vector<qint64> &latenciesUs = result.latenciesUs;
    latenciesUs.reserve(200000);
    bool stopping = false;
    int outstanding = 0;
    QEventLoop loop;

    for (int i = 0; i < clients; ++i) {
        auto gate = std::make_unique<Gate>();
        gate->ticket = QByteArray::number(firstTicket + i % tickets);
        gate->entry = nextIsEntry().value(gate->ticket, true);
        Gate *g = gate.get();
        QObject::connect(&g->socket, &QTcpSocket::readyRead, &loop, [&, g] {
            g->buffer += g->socket.readAll();
            for (QByteArray code = takeReply(g->buffer); !code.isEmpty();
                 code = takeReply(g->buffer)) {
                --outstanding;
                latenciesUs.push_back(g->sentAt.nsecsElapsed() / 1000);
                if (code == "0" || code == "1" || code == "2")
                    ++result.done;
                else if (++result.failed <= 3)
                    std::fprintf(stderr, "bench: a verification failed: %s\n", code.constData());
                if (code == "busy")
                    ++result.busy;
                g->entry = !g->entry;
                if (stopping) {
                    if (outstanding == 0)
                        loop.quit();
                    continue;
                }
                g->sentAt.start();
                g->socket.write(request(*g, sessionKey, ++serial));
                ++outstanding;
            }
        });
        const quint16 gatePort = ports[i % ports.size()];
        g->socket.connectToHost(QHostAddress::LocalHost, gatePort);
        if (!g->socket.waitForConnected(10000)) {
            std::fprintf(stderr, "bench: cannot connect to port %u\n", gatePort);
            return result;
        }
        gates.push_back(std::move(gate));
    }
    std::vector<std::unique_ptr<Gate>> operators;
    for (int i = 0; i < signers; ++i) {
        auto op = std::make_unique<Gate>();
        Gate *g = op.get();
        QObject::connect(&g->socket, &QTcpSocket::readyRead, &loop, [&, g] {
            g->buffer += g->socket.readAll();
            while (!takeReply(g->buffer).isEmpty()) {
                ++result.signIns;
                if (!stopping)
                    g->socket.write(signInRequest());
            }
        });
        g->socket.connectToHost(QHostAddress::LocalHost, port);
        if (!g->socket.waitForConnected(10000))
            return result;
        operators.push_back(std::move(op));
    }
    QElapsedTimer wall;
    wall.start();
    for (auto &op : operators)
        op->socket.write(signInRequest());
    for (int i = 0; i < clients; ++i) {
        gates[size_t(i)]->sentAt.start();
        gates[size_t(i)]->socket.write(request(*gates[size_t(i)], sessionKey, ++serial));
        ++outstanding;
    }
    QTimer::singleShot(seconds * 1000, &loop, [&] { stopping = true; });
    QTimer::singleShot((seconds + 30) * 1000, &loop, [&] { loop.quit(); }); // never hang
    loop.exec();
    result.seconds = double(wall.nsecsElapsed()) / 1e9;
    for (const auto &g : gates)
        nextIsEntry()[g->ticket] = g->entry;
    result.finish();
    return result;
}

Result drive(quint16 port, int clients, int seconds, const QByteArray &sessionKey, int signers,
             int firstTicket)
{
    return driveAcross({port}, clients, seconds, sessionKey, signers, firstTicket, 64);
}

void report(const char *name, const Result &r, double baseline)
{
    std::printf("%-22s %9.0f verifications/s   p50 %7.2f ms   p99 %7.2f ms   (%lld ok, %lld "
                "failed, %lld busy)",
                name, r.perSecond, r.p50Ms, r.p99Ms, static_cast<long long>(r.done),
                static_cast<long long>(r.failed), static_cast<long long>(r.busy));
    if (baseline > 0 && r.perSecond > 0)
        std::printf("   %.2fx of constant", r.perSecond / baseline);
    std::printf("\n");
    std::fflush(stdout);
}

bool requestLatency(quint16 port, const QByteArray &request, int count, std::vector<qint64> *us)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(10000))
        return false;
    QByteArray buffer;
    for (int i = 0; i < count; ++i) {
        QElapsedTimer t;
        t.start();
        socket.write(request);
        qavtest::RawReply reply;
        while (!qavtest::takeRawReply(buffer, reply)) {
            if (!socket.waitForReadyRead(10000))
                return false;
            buffer += socket.readAll();
        }
        if (reply.status != 200) {
            std::fprintf(stderr, "bench: answered %d: %s\n", reply.status, reply.body.constData());
            return false;
        }
        us->push_back(t.nsecsElapsed() / 1000);
    }
    return true;
}

QByteArray summaryRequest(const QByteArray &key, const QByteArray &bizcode)
{
    return qavtest::rawQuery(qavtest::summaryText(QString::fromLatin1(bizcode)), key);
}

std::pair<double, double> summaryLatency(quint16 port, const QByteArray &key, int count)
{
    Result r;
    if (!requestLatency(port, summaryRequest(key), count, &r.latenciesUs))
        return {-1, -1};
    r.finish();
    return {r.p50Ms, r.p99Ms};
}

} // namespace bench
