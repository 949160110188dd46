// Drives many concurrent gates through HTTP against qav-server and prints verifications per
// second with p50/p99 latency: first a server answering a constant record set, then SQLite, then
// PostgreSQL (--pg URL or QAV_TEST_PG_URL; its demo data is laid anew). The ratio to the constant
// server is what the database costs.

#include "demoseed.h"
#include "storage.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

struct Result
{
    double perSecond = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    qint64 done = 0;
    qint64 failed = 0;
};

// One gate: alternates entry and exit of its own ticket so every answer is an acceptance.
struct Gate
{
    QTcpSocket socket;
    QByteArray buffer;
    QElapsedTimer sentAt;
    QByteArray ticket;
    bool entry = true;
};

// Every request as the station sends it: in the operator's session, with its own replay key.
QByteArray request(const Gate &g, const QByteArray &sessionKey, qint64 serial)
{
    const QByteArray body = "Exec Proc_GRVM_Admin_GetAdminQAV_BookingInfo '" +
                            QByteArray(g.entry ? "I" : "O") + "','GRVM0001','','" + g.ticket +
                            "', 'gate01'";
    return "POST /rds/Velmor.member/Query HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
           sessionKey + "\r\nIdempotency-Key: bench-" + QByteArray::number(serial) +
           "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

// Signs gate01 in once; its session serves every simulated gate. Empty when refused.
QByteArray signIn(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(10000))
        return {};
    const QByteArray body = "Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo 'gate01','gate01'";
    socket.write("POST /rds/Velmor.member/Query HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                 QByteArray::number(body.size()) + "\r\n\r\n" + body);
    QByteArray answer;
    while (!answer.contains("]]") && socket.waitForReadyRead(30000))
        answer += socket.readAll();
    static const QRegularExpression key(QStringLiteral("\"([A-Za-z0-9_-]{40,})\"\\]\\]"));
    const auto m = key.match(QString::fromUtf8(answer));
    return m.hasMatch() ? m.captured(1).toLatin1() : QByteArray();
}

// Removes one complete response from the buffer; returns its ErrCode, or "" while incomplete.
QByteArray takeReply(QByteArray &buffer)
{
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return {};
    static const QRegularExpression lengthRe(QStringLiteral("(?i)\r\ncontent-length:\\s*(\\d+)"));
    const auto m = lengthRe.match(QString::fromLatin1(buffer.left(headEnd)));
    const qsizetype length = m.hasMatch() ? m.captured(1).toLongLong() : 0;
    if (buffer.size() < headEnd + 4 + length)
        return {};
    const QByteArray body = buffer.mid(headEnd + 4, length);
    const bool ok = buffer.startsWith("HTTP/1.1 200");
    buffer.remove(0, headEnd + 4 + length);
    const qsizetype rows = body.indexOf("\"rows\":[[\"");
    if (!ok || rows < 0)
        return "error";
    return body.mid(rows + 10, body.indexOf('"', rows + 10) - rows - 10);
}

Result drive(quint16 port, int clients, int seconds, const QByteArray &sessionKey)
{
    qint64 serial = 0;
    std::vector<std::unique_ptr<Gate>> gates;
    std::vector<qint64> latenciesUs;
    latenciesUs.reserve(200000);
    Result result;
    bool stopping = false;
    int outstanding = 0;
    QEventLoop loop;

    for (int i = 0; i < clients; ++i) {
        auto gate = std::make_unique<Gate>();
        gate->ticket = QByteArray::number(10000001 + i % 290);
        Gate *g = gate.get();
        QObject::connect(&g->socket, &QTcpSocket::readyRead, &loop, [&, g] {
            g->buffer += g->socket.readAll();
            for (QByteArray code = takeReply(g->buffer); !code.isEmpty(); code = takeReply(g->buffer)) {
                --outstanding;
                latenciesUs.push_back(g->sentAt.nsecsElapsed() / 1000);
                if (code == "0" || code == "1" || code == "2")
                    ++result.done;
                else
                    ++result.failed;
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
        g->socket.connectToHost(QHostAddress::LocalHost, port);
        if (!g->socket.waitForConnected(10000)) {
            std::fprintf(stderr, "bench: cannot connect to port %u\n", port);
            return result;
        }
        gates.push_back(std::move(gate));
    }
    QElapsedTimer wall;
    wall.start();
    for (int i = 0; i < clients; ++i) {
        gates[size_t(i)]->sentAt.start();
        gates[size_t(i)]->socket.write(request(*gates[size_t(i)], sessionKey, ++serial));
        ++outstanding;
    }
    QTimer::singleShot(seconds * 1000, &loop, [&] { stopping = true; });
    QTimer::singleShot((seconds + 30) * 1000, &loop, [&] { loop.quit(); }); // never hang
    loop.exec();
    const double elapsed = double(wall.nsecsElapsed()) / 1e9;

    std::sort(latenciesUs.begin(), latenciesUs.end());
    if (!latenciesUs.empty()) {
        result.p50Ms = double(latenciesUs[latenciesUs.size() / 2]) / 1000.0;
        result.p99Ms = double(latenciesUs[std::min(latenciesUs.size() - 1, latenciesUs.size() * 99 / 100)]) / 1000.0;
    }
    result.perSecond = double(result.done) / elapsed;
    return result;
}

// Stops the server when the run is over.
struct ServerGuard
{
    QProcess &process;
    ~ServerGuard()
    {
        process.kill();
        process.waitForFinished(10000);
    }
};

// Starts qav-server serve on a free port; returns 0 when it does not come up.
quint16 startServer(QProcess &process, const QStringList &args, const QString &logPath)
{
    process.setProgram(QStringLiteral(QAV_SERVER_BINARY));
    process.setArguments(QStringList{QStringLiteral("serve"), QStringLiteral("--port"), QStringLiteral("0"),
                                     QStringLiteral("--quiet")}
                         + args);
    process.setStandardErrorFile(logPath);
    process.start();
    static const QRegularExpression re(QStringLiteral("listening on http://127\\.0\\.0\\.1:(\\d+)"));
    QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired() && process.state() != QProcess::NotRunning) {
        QFile f(logPath);
        if (f.open(QIODevice::ReadOnly)) {
            const auto m = re.match(QString::fromUtf8(f.readAll()));
            if (m.hasMatch())
                return quint16(m.captured(1).toUInt());
        }
        process.waitForFinished(50);
    }
    QFile f(logPath);
    if (f.open(QIODevice::ReadOnly))
        std::fprintf(stderr, "bench: server did not start: %s\n", f.readAll().constData());
    return 0;
}

void report(const char *name, const Result &r, double baseline)
{
    std::printf("%-10s %9.0f verifications/s   p50 %7.2f ms   p99 %7.2f ms   (%lld ok, %lld failed)",
                name, r.perSecond, r.p50Ms, r.p99Ms, static_cast<long long>(r.done),
                static_cast<long long>(r.failed));
    if (baseline > 0 && r.perSecond > 0)
        std::printf("   %.1fx slower than constant", baseline / r.perSecond);
    std::printf("\n");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Verification throughput of qav-server through HTTP."));
    p.addHelpOption();
    const QCommandLineOption clients(QStringLiteral("clients"), QStringLiteral("Concurrent gates (default 32)."),
                                     QStringLiteral("n"), QStringLiteral("32"));
    const QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("Length of each run (default 4)."),
                                     QStringLiteral("s"), QStringLiteral("4"));
    const QCommandLineOption pg(QStringLiteral("pg"),
                                QStringLiteral("PostgreSQL URL to measure too (default: QAV_TEST_PG_URL). "
                                               "Its demo data is laid anew."),
                                QStringLiteral("url"));
    p.addOptions({clients, seconds, pg});
    p.process(app);
    const int nClients = std::clamp(p.value(clients).toInt(), 1, 512);
    const int nSeconds = std::clamp(p.value(seconds).toInt(), 1, 120);
    const QString pgUrl = p.isSet(pg) ? p.value(pg) : qEnvironmentVariable("QAV_TEST_PG_URL");

    QTemporaryDir dir;
    std::printf("%d concurrent gates, %d s per run\n", nClients, nSeconds);

    double baseline = 0;
    {
        QProcess server;
        ServerGuard guard{server};
        const quint16 port = startServer(server, {QStringLiteral("--constant-answer")}, dir.filePath(QStringLiteral("constant.log")));
        if (port == 0)
            return 1;
        const Result r = drive(port, nClients, nSeconds, "none");
        baseline = r.perSecond;
        report("constant", r, 0);
    }

    QList<std::pair<const char *, QString>> databases = {{"sqlite", dir.filePath(QStringLiteral("bench.db"))}};
    if (!pgUrl.isEmpty())
        databases.append({"postgresql", pgUrl});
    else
        std::printf("postgresql skipped: give --pg URL or set QAV_TEST_PG_URL\n");
    for (const auto &[name, url] : databases) {
        try {
            qav::seedDemo(*qav::openStorage(url));
        } catch (const std::exception &e) {
            std::fprintf(stderr, "bench: %s: %s\n", name, e.what());
            return 1;
        }
        QProcess server;
        ServerGuard guard{server};
        const quint16 port = startServer(server, {QStringLiteral("--db"), url},
                                         dir.filePath(QString::fromLatin1(name) + QStringLiteral(".log")));
        if (port == 0)
            return 1;
        const QByteArray key = signIn(port);
        if (key.isEmpty()) {
            std::fprintf(stderr, "bench: %s: gate01 could not sign in\n", name);
            return 1;
        }
        report(name, drive(port, nClients, nSeconds, key), baseline);
    }
    return 0;
}
