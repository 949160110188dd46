// One gate alone on SQLite: what a durable verification costs above the same server answering a
// constant, beside one fdatasync on the same disk.

#include "bench/server/bench.h"

#include <QDir>
#include <QFile>

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace bench {

namespace {

// fdatasync of one 4 KB page written over a file of the folder, as a log reused in place is;
// the latencies added to into.
bool syncLatency(const QString &dir, int count, Result &into)
{
    const QByteArray path = QDir(dir).filePath(QStringLiteral("sync.probe")).toLocal8Bit();
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT, 0600);
    if (fd < 0)
        return false;
    constexpr int kPages = 256;
    const QByteArray page(4096, 'q');
    bool ok = ::ftruncate(fd, off_t(page.size()) * kPages) == 0 && ::fsync(fd) == 0;
    Result r;
    for (int i = 0; ok && i < count; ++i) {
        QElapsedTimer t;
        t.start();
        ok = ::pwrite(fd, page.constData(), size_t(page.size()), off_t(i % kPages) * page.size()) ==
                 page.size() &&
             ::fdatasync(fd) == 0;
        r.latenciesUs.push_back(t.nsecsElapsed() / 1000);
    }
    ::close(fd);
    QFile::remove(QString::fromLocal8Bit(path));
    into.add(r);
    return ok;
}

} // namespace

int oneGateBench(const QString &dir, int seconds)
{
    ServerOptions constantOptions;
    constantOptions.constantAnswer = true;
    const auto constant = startServer(constantOptions);
    const QString url = QDir(dir).filePath(QStringLiteral("onegate.db"));
    if (constant->port() == 0 || !layDemo("sqlite", url))
        return 1;
    ServerOptions options;
    options.databaseUrl = url;
    const auto server = startServer(options);
    const QByteArray key = server->port() == 0 ? QByteArray() : signIn(server->port());
    if (key.isEmpty()) {
        std::fprintf(stderr,
                     "bench: the sqlite server did not start or gate01 could not sign in\n");
        return 1;
    }
    Result fixed, durable, sync;
    const int turn = std::max(1, seconds / 2);
    for (int round = 0; round < 4; ++round) {
        fixed.add(drive(constant->port(), 1, turn, "none"));
        // A ticket of its own: the constant server's answers move the others' expected state.
        durable.add(drive(server->port(), 1, turn, key, 0, 10000201));
        if (!syncLatency(dir, 300, sync)) {
            std::fprintf(stderr, "bench: cannot write and sync a file in %s\n", qPrintable(dir));
            return 1;
        }
    }
    report("one gate, constant", fixed, 0);
    report("one gate, sqlite", durable, 0);
    const double cost = durable.p50Ms - fixed.p50Ms;
    std::printf("fdatasync of 4 KB       p50 %.3f ms p99 %.3f ms\n", sync.p50Ms, sync.p99Ms);
    std::printf("durable - constant, p50: %.3f ms; minus one fdatasync: %.3f ms (target <= 0.3),"
                " in turns\n",
                cost, cost - sync.p50Ms);
    std::fflush(stdout);
    return 0;
}

} // namespace bench
