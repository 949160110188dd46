// The sales system's API beside the gates: the gates' p99 alone and while 100,000 bookings go in
// through the API in batches of 1,000, then the API's bookings per second against import-bookings
// of the same bookings, each into a performance of its own.

#include "bench.h"

#include "server/storage/storage.h"
#include "tests/support/RawHttp.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <cstdio>
#include <thread>

namespace bench {

namespace {

constexpr int kBookings = 100000;
constexpr int kBatch = 1000;

QByteArray apiCall(const QByteArray &method, const QString &path, const QString &token,
                   const QByteArray &body)
{
    return method + ' ' + path.toUtf8() + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
           token.toLatin1() + "\r\nContent-Type: application/json\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QByteArray batchBody(int from)
{
    QJsonArray items;
    for (int i = from; i < from + kBatch; ++i)
        items.append(QJsonObject{{QStringLiteral("ticketNo"), QStringLiteral("S%1").arg(i)},
                                 {QStringLiteral("custName"), QStringLiteral("고객 %1").arg(i)},
                                 {QStringLiteral("seatGrade"), QStringLiteral("R")},
                                 {QStringLiteral("seatInfo"), QStringLiteral("1층 %1").arg(i)}});
    return QJsonDocument(QJsonObject{{QStringLiteral("bookings"), items}})
        .toJson(QJsonDocument::Compact);
}

// Makes the performance and pushes every booking into it; seconds taken, -1 on a refusal.
double push(quint16 port, const QString &token, const QString &bizcode)
{
    const QString perf = QStringLiteral("/api/v1/performances/") + bizcode;
    const QByteArray p = R"({"goodsName":"bench","startsAt":"203001011900"})";
    if (qavtest::exchange(port, apiCall("PUT", perf, token, p)).status / 100 != 2)
        return -1;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(10000))
        return -1;
    QElapsedTimer t;
    t.start();
    for (int from = 0; from < kBookings; from += kBatch) {
        const auto r = qavtest::exchange(
            socket, apiCall("POST", perf + QStringLiteral("/bookings"), token, batchBody(from)),
            120000);
        if (r.status != 200) {
            std::fprintf(stderr, "bench: batch at %d: %d %s\n", from, r.status,
                         r.body.left(200).constData());
            return -1;
        }
    }
    return double(t.nsecsElapsed()) / 1e9;
}

} // namespace

bool syncBench(const char *name, const QString &url, const QStringList &serverArgs, int clients,
               int seconds, const QString &dir)
{
    ServerOptions options;
    options.databaseUrl = url;
    options.serveArguments =
        serverArgs + QStringList{QStringLiteral("--api-rate"), QStringLiteral("1000")};
    const auto server = startServer(options);
    const QByteArray key = server->port() ? signIn(server->port()) : QByteArray();
    QString token;
    server->run({QStringLiteral("revoke-token"), QStringLiteral("bench")}); // of a run before
    if (key.isEmpty() || !server->run({QStringLiteral("add-token"), QStringLiteral("bench"),
                                       QStringLiteral("--venue"), QStringLiteral("1234")},
                                      &token)) {
        std::fprintf(stderr, "bench: %s: %s\n", name, qPrintable(server->errorText()));
        return false;
    }
    token = token.trimmed();
    const QString stamp = QString::number(QDateTime::currentSecsSinceEpoch());
    const quint16 port = server->port();

    const Result alone = drive(port, clients, seconds, key);
    report((QByteArray(name) + " gates").constData(), alone, 0);

    // The same gates, one-second runs back to back until the push is in.
    std::atomic<double> during{0};
    std::atomic<bool> pushed{false};
    std::thread pusher([&] {
        during = push(port, token, QStringLiteral("SYNCA") + stamp);
        pushed = true;
    });
    Result beside;
    while (!pushed)
        beside.add(drive(port, clients, 1, key));
    pusher.join();
    if (during < 0)
        return false;
    report((QByteArray(name) + " gates + API").constData(), beside, 0);
    std::printf("%-22s gates' p99 %.2f ms alone, %.2f ms beside the API: %.2fx\n", name,
                alone.p99Ms, beside.p99Ms, alone.p99Ms > 0 ? beside.p99Ms / alone.p99Ms : 0);

    // The same bookings by the API and by import-bookings, the gates idle.
    const double api = push(port, token, QStringLiteral("SYNCB") + stamp);
    const QString importBiz = QStringLiteral("SYNCC") + stamp;
    QFile csv(dir + QStringLiteral("/sync.csv"));
    if (api < 0 || !csv.open(QIODevice::WriteOnly) ||
        !server->run({QStringLiteral("add-performance"), importBiz, QStringLiteral("1234"),
                      QStringLiteral("bench"), QStringLiteral("203001011900"), QString()})) {
        std::fprintf(stderr, "bench: %s: %s\n", name, qPrintable(server->errorText()));
        return false;
    }
    for (int i = 0; i < kBookings; ++i)
        csv.write(QStringLiteral("%1,S%2,고객 %2,R,1층 %2\n").arg(importBiz).arg(i).toUtf8());
    csv.close();
    QElapsedTimer t;
    t.start();
    if (!server->run({QStringLiteral("import-bookings"), csv.fileName()})) {
        std::fprintf(stderr, "bench: %s: %s\n", name, qPrintable(server->errorText()));
        return false;
    }
    const double import = double(t.nsecsElapsed()) / 1e9;
    std::printf("%-22s %d bookings: API %.0f/s (%.0f/s beside the gates), import-bookings "
                "%.0f/s: API %.2fx the import's time\n",
                name, kBookings, kBookings / api, kBookings / during, kBookings / import,
                api / import);
    return true;
}

} // namespace bench
