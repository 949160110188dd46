// bench_station [--scans N]
//
// Drives the station's verification path offscreen the way a scanner does (the number typed
// into the box, then Enter) and measures scan to verdict on screen:
//   1. against qav-server with the demo SQLite database (every scan is an admission or exit),
//   2. against qav-server answering a constant record set (no database),
// and next to them the bare HTTP round trip of the same command to the constant server. The
// ratio of 2 to 3 is what the station itself adds.
#include "remote/Commands.h"
#include "remote/DataSpace.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/WindowTesting.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <algorithm>
#include <cstdio>

namespace {

class SilentPlayer : public SoundPlayer
{
public:
    void play(const QString &) override {}
};

struct Stats
{
    double p50 = 0, p99 = 0, mean = 0;
};

Stats statsOf(QList<qint64> ns)
{
    Stats s;
    if (ns.isEmpty())
        return s;
    std::sort(ns.begin(), ns.end());
    auto at = [&](double q) {
        return ns[qMin(ns.size() - 1, qsizetype(q * double(ns.size())))] / 1000.0;
    };
    s.p50 = at(0.50);
    s.p99 = at(0.99);
    qint64 sum = 0;
    for (qint64 v : ns)
        sum += v;
    s.mean = double(sum) / double(ns.size()) / 1000.0;
    return s;
}

void print(const char *what, const Stats &s)
{
    std::printf("%-44s p50 %8.1f us   p99 %8.1f us   mean %8.1f us\n", what, s.p50, s.p99, s.mean);
}

[[noreturn]] void fail(const QString &why)
{
    std::fprintf(stderr, "bench_station: %s\n", qPrintable(why));
    std::exit(1);
}

frm01 *openStation(const QString &url, bool constantServer)
{
    resetProgram();
    overrideAddresses(url, url);
    // The constant server keeps no sessions; the real one needs the operator's first.
    if (!constantServer &&
        !fixture::signIn(url, QStringLiteral("gate01"), QStringLiteral("gate01")))
        fail(QStringLiteral("the operator could not sign in at %1").arg(url));
    frm01 *s = fixture::openStation();
    if (!s || g_BizCode.isEmpty())
        fail(QStringLiteral("the station did not sign in at %1").arg(url));
    g_AdminId = QStringLiteral("gate01");
    return s;
}

// Scans `count` tickets and returns the time from the first key to the verdict, per scan.
// Against the demo database the tickets cycle through the day's bookings, entering on one pass
// and leaving on the next, so that every scan is accepted and writes to the database.
QList<qint64> scan(frm01 *s, int count, bool cycleModes, int &position)
{
    constexpr int kTickets = 296;
    QList<qint64> times;
    times.reserve(count);
    QElapsedTimer clock;
    for (int n = 0; n < count; ++n) {
        const int i = position++;
        if (cycleModes && i % kTickets == 0 && i > 0)
            s->btnMode_Click();
        const QString ticket = QString::number(10000001 + i % kTickets);
        clock.start();
        QTest::keyClicks(s->txtTicketNo, ticket);
        QTest::keyClick(s->txtTicketNo, Qt::Key_Return);
        times << clock.nsecsElapsed();
        if (!s->txtTicketNo->text().isEmpty() || s->lbl_TicketNo->caption() != ticket)
            fail(QStringLiteral("scan %1 (%2) was not accepted: %3")
                     .arg(i)
                     .arg(ticket, s->lbl_BookingInfo->caption()));
    }
    return times;
}

// The typing alone: the eight digits as key events into the box, without Enter.
QList<qint64> typing(frm01 *s, int count)
{
    QList<qint64> times;
    QElapsedTimer clock;
    for (int i = 0; i < count; ++i) {
        clock.start();
        QTest::keyClicks(s->txtTicketNo, QString::number(10000001 + i % 296));
        times << clock.nsecsElapsed();
        s->txtTicketNo->clear();
    }
    return times;
}

QList<qint64> bareRoundTrips(const QString &url, int count)
{
    QNetworkAccessManager network;
    QNetworkRequest request(QUrl(url + QStringLiteral("/rds/Velmor.member/Query")));
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("text/plain; charset=utf-8"));
    request.setRawHeader("X-QAV-Client", "station");
    const QByteArray body =
        Commands::Verification(QStringLiteral("I"), QStringLiteral("CONST"),
                               QStringLiteral("10000001"), QStringLiteral("gate01"))
            .toUtf8();
    QList<qint64> times;
    QElapsedTimer clock;
    for (int i = 0; i < count; ++i) {
        clock.start();
        QNetworkReply *reply = network.post(request, body);
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        if (!reply->isFinished())
            loop.exec(QEventLoop::ExcludeUserInputEvents);
        const QByteArray answer = reply->readAll();
        times << clock.nsecsElapsed();
        if (reply->error() != QNetworkReply::NoError || answer.isEmpty())
            fail(QStringLiteral("bare request failed: %1").arg(reply->errorString()));
        reply->deleteLater();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return times;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int scans = 1000;
    const QStringList args = app.arguments();
    if (const qsizetype i = args.indexOf(QStringLiteral("--scans")); i >= 0)
        scans = qMax(10, args.value(i + 1).toInt());
    const int warmUp = qMin(50, scans / 10);

    RecordingMessageSink messages;
    setMessageSink(&messages);
    SilentPlayer silence;
    setSoundPlayer(&silence);
    setProgramEndAction([] {});

    ServerOptions database;
    database.quiet = true;
    ServerProcess real(qavServerBinary(), database);
    if (!real.start())
        fail(real.errorText());
    ServerOptions constantOptions;
    constantOptions.quiet = true;
    constantOptions.constantAnswer = true;
    ServerProcess constant(qavServerBinary(), constantOptions);
    if (!constant.start())
        fail(constant.errorText());

    StationSite site("1234");

    int position = 0;
    frm01 *s = openStation(real.url(), false);
    scan(s, warmUp, true, position);
    const Stats dbScan = statsOf(scan(s, scans, true, position));

    position = 0;
    s = openStation(constant.url(), true);
    scan(s, warmUp, false, position);
    const Stats constantScan = statsOf(scan(s, scans, false, position));
    const Stats typed = statsOf(typing(s, scans));

    bareRoundTrips(constant.url(), warmUp);
    const Stats bare = statsOf(bareRoundTrips(constant.url(), scans));
    resetProgram();

    if (!messages.texts.isEmpty())
        fail(QStringLiteral("messages shown: %1").arg(messages.texts.join(u" | ")));

    std::printf("%d scans each, after %d warm-up scans; qav-server on loopback\n", scans, warmUp);
    print("station scan-to-verdict, SQLite demo", dbScan);
    print("station scan-to-verdict, constant answer", constantScan);
    print("bare HTTP round trip, constant answer", bare);
    print("  of a scan: typing the 8 digits alone", typed);
    std::printf("station overhead (constant answer): p50 x%.2f   p99 x%.2f\n",
                bare.p50 > 0 ? constantScan.p50 / bare.p50 : 0.0,
                bare.p99 > 0 ? constantScan.p99 / bare.p99 : 0.0);
    return 0;
}
