// The audit's sealing off and on in turns, then a season checked by audit verify.

#include "bench/server/bench.h"
#include "server/storage/storage.h"

#include <QDir>
#include <QElapsedTimer>

#include <cstdio>

namespace bench {

void benchSealing(const char *name, const QString &url, const QStringList &serverArgs, int clients,
                  int turn, qint64 seasonScans, double baseline)
{
    Result off;
    Result on;
    QByteArray key;
    const auto serve = [&](bool sealing) {
        // What the turn without sealing left is sealed first: a serving server has no backlog.
        if (sealing) {
            const std::unique_ptr<qav::Storage> storage = qav::openStorage(url);
            while (storage->sealAudit({}).more) {
            }
        }
        ServerOptions options;
        options.databaseUrl = url;
        options.serveArguments =
            serverArgs + QStringList{QStringLiteral("--seal-every"), sealing ? u"2"_qs : u"0"_qs};
        auto server = startServer(options);
        key = server->port() ? signIn(server->port()) : QByteArray();
        return server;
    };
    for (int round = 0; round < 6; ++round) {
        for (bool sealing : {round % 2 == 0, round % 2 != 0}) {
            const auto server = serve(sealing);
            if (key.isEmpty())
                return;
            (sealing ? on : off).add(drive(server->port(), clients, turn, key));
        }
    }
    report((QByteArray(name) + " sealing off").constData(), off, baseline);
    report((QByteArray(name) + " sealing on").constData(), on, baseline);
    if (off.perSecond > 0 && off.p99Ms > 0)
        std::printf("  sealing on / off, in turns: throughput %.2fx, p99 %.2fx (target within "
                    "10 %%)\n",
                    on.perSecond / off.perSecond, on.p99Ms / off.p99Ms);
    if (seasonScans <= 0)
        return;
    Result season;
    {
        const auto server = serve(true);
        while (!key.isEmpty() && season.done < seasonScans)
            season.add(drive(server->port(), clients, 5, key));
    } // stopped: its last seal covers every row
    QElapsedTimer took;
    took.start();
    const CliResult verified =
        runCommand(QStringLiteral(QAV_SERVER_BINARY),
                   {QStringLiteral("audit"), QStringLiteral("verify"), QStringLiteral("--db"), url},
                   QDir::tempPath());
    std::printf("%s: %lld verifications with sealing on, then audit verify in %.1f s, exit code "
                "%d:\n%s",
                name, static_cast<long long>(season.done), double(took.elapsed()) / 1000.0,
                verified.exitCode, qPrintable(verified.out));
    std::fflush(stdout);
}

} // namespace bench
