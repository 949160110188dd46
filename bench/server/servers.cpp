// What the benches start: a quiet qav-server, and pgbench beside it.

#include "bench/server/bench.h"
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include <cstdio>

namespace bench {

std::unique_ptr<ServerProcess> startServer(ServerOptions options)
{
    options.initDatabase = false;
    options.quiet = true;
    // Every simulated gate connects from 127.0.0.1, which the per-address cap would stop at 64;
    // they share one session, whose ceiling is set far above what they reach (still checked).
    options.serveArguments =
        QStringList{QStringLiteral("--max-connections-per-address"), QStringLiteral("1000"),
                    QStringLiteral("--session-scan-rate"), QStringLiteral("1000000")} +
        options.serveArguments;
    return startedServer(std::move(options));
}

double runPgbench(const QString &url, int clients, int seconds, const QString &protocol,
                  const QString &dir, const QByteArray &tickets)
{
    QString program = QStandardPaths::findExecutable(QStringLiteral("pgbench"));
    if (program.isEmpty()) {
        const QStringList found =
            QDir(QStringLiteral("/usr/lib/postgresql"))
                .entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::Reversed);
        for (const QString &version : found) {
            const QString candidate =
                QStringLiteral("/usr/lib/postgresql/%1/bin/pgbench").arg(version);
            if (QFileInfo::exists(candidate)) {
                program = candidate;
                break;
            }
        }
    }
    if (program.isEmpty())
        return -1;
    const QString script = QDir(dir).filePath(QStringLiteral("scan.sql"));
    QFile f(script);
    if (!f.open(QIODevice::WriteOnly))
        return -1;
    auto scan = [](const char *set, const char *where, const char *mode) {
        return QByteArray("BEGIN;\nUPDATE bookings SET ") + set +
               " WHERE bizcode = 'GRVM0001' AND ticket_no = :t::text AND cancelled = 0 AND " +
               where +
               " RETURNING cust_name, seat_grade, seat_info, exits;\n"
               "INSERT INTO scan_log (scanned_at, operator_id, bizcode, ticket_raw, mode, "
               "result_code, result_msg,"
               " duration_us) VALUES ('2026-01-01 00:00:00', 'pgbench', 'GRVM0001', :t::text, '" +
               mode + "', '0', '', 0);\nEND;\n";
    };
    f.write("\\set t " + tickets + "\n");
    f.write(
        scan("inside = 1, entries = entries + 1, last_entry_at = 'x', last_entry_by = 'pgbench'",
             "inside = 0", "I"));
    f.write(scan("inside = 0, exits = exits + 1, last_exit_at = 'x', last_exit_by = 'pgbench'",
                 "inside = 1", "O"));
    f.close();
    QProcess pgbench;
    pgbench.start(program, {QStringLiteral("-n"), QStringLiteral("-c"), QString::number(clients),
                            QStringLiteral("-j"), QStringLiteral("2"), QStringLiteral("-T"),
                            QString::number(seconds), QStringLiteral("-M"), protocol,
                            QStringLiteral("-f"), script, url});
    if (!pgbench.waitForFinished((seconds + 60) * 1000))
        return -1;
    const QString out = QString::fromUtf8(pgbench.readAllStandardOutput());
    static const QRegularExpression tps(
        QStringLiteral("tps = ([0-9.]+) \\(without initial connection time\\)"));
    const auto m = tps.match(out);
    if (!m.hasMatch()) {
        std::fprintf(stderr, "bench: pgbench: %s\n", pgbench.readAllStandardError().constData());
        return -1;
    }
    return m.captured(1).toDouble() * 2; // two verifications per script run
}

} // namespace bench
