#pragma once

// What the server's benches share: the simulated gates and their load loop, the server and
// pgbench starters, and the one line a run is reported in.

#include "tests/support/ServerProcess.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTcpSocket>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace bench {

struct Result
{
    double perSecond = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    qint64 done = 0;
    qint64 failed = 0;  // refused or not answered 200
    qint64 busy = 0;    // of those, answered 503
    qint64 signIns = 0; // operator sign-ins answered meanwhile
    double seconds = 0;
    std::vector<qint64> latenciesUs; // sorted

    void finish()
    {
        std::sort(latenciesUs.begin(), latenciesUs.end());
        if (!latenciesUs.empty()) {
            p50Ms = double(latenciesUs[latenciesUs.size() / 2]) / 1000.0;
            p99Ms =
                double(
                    latenciesUs[std::min(latenciesUs.size() - 1, latenciesUs.size() * 99 / 100)]) /
                1000.0;
        }
        perSecond = seconds > 0 ? double(done) / seconds : 0;
    }
    // Adds another run's counts and latencies.
    void add(const Result &other)
    {
        done += other.done;
        failed += other.failed;
        busy += other.busy;
        signIns += other.signIns;
        seconds += other.seconds;
        latenciesUs.insert(latenciesUs.end(), other.latenciesUs.begin(), other.latenciesUs.end());
        finish();
    }
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

// Where each ticket was left, so the next drive scans it the right way.
QHash<QByteArray, bool> &nextIsEntry();
// Every request as the station sends it: in the operator's session, with its own replay key.
QByteArray request(const Gate &g, const QByteArray &sessionKey, qint64 serial);
// Signs gate01 in once; its session serves every simulated gate. Empty when refused.
QByteArray signIn(quint16 port);
// Verifications from `clients` gates for `seconds`, gate i on ports[i % ports.size()] with ticket
// firstTicket + i % tickets; meanwhile `signers` operators sign in again and again (each sign-in
// checks a password hash), their answers not counted.
Result driveAcross(const QList<quint16> &ports, int clients, int seconds,
                   const QByteArray &sessionKey, int signers, int firstTicket, int tickets);
Result drive(quint16 port, int clients, int seconds, const QByteArray &sessionKey, int signers = 0,
             int firstTicket = 10000001);
// A quiet qav-server on a free port, serving the database as it is.

std::unique_ptr<ServerProcess> startServer(ServerOptions options);
// One run's line: verifications per second, p50 and p99, and the ratio to baseline when above 0.
void report(const char *name, const Result &r, double baseline);
// pgbench running the same kind of transaction (conditional UPDATE ... RETURNING plus the audit
// INSERT, entry then exit of one ticket per client); returns verifications per second.
double runPgbench(const QString &url, int clients, int seconds, const QString &protocol,
                  const QString &dir, const QByteArray &tickets = "10000201 + :client_id % 64");
// Latencies of one request sent `count` times on one connection, each answer awaited; false
// when one is not answered 200.
bool requestLatency(quint16 port, const QByteArray &request, int count, std::vector<qint64> *us);
QByteArray summaryRequest(const QByteArray &key, const QByteArray &bizcode = "GRVM0001");
// Median and p99 of summary requests through HTTP, one after another on one connection.

std::pair<double, double> summaryLatency(quint16 port, const QByteArray &key, int count);

// The benches, one file each.

// The constant server's run, the baseline the others are measured against; -1 when it does
// not start.
double constantBaseline(int clients, int seconds);
// Lays the demo anew on url and notes where its tickets were left; false after printing why.
bool layDemo(const char *name, const QString &url);
// Scan throughput of one database: the server alone (beside a plain loop or pgbench), with
// sign-ins, and on SQLite the summary beside a full audit log. False when the server does not
// start or gate01 cannot sign in.
bool scansBench(const char *name, const QString &url, const QStringList &serverArgs, int clients,
                int seconds, double baseline, const QString &dir);
// Sealing of the audit off and on in turns, a fresh server for each turn on the same database;
// then a season of verifications with sealing on, and `audit verify` over all of it.
void benchSealing(const char *name, const QString &url, const QStringList &serverArgs, int clients,
                  int turn, qint64 seasonScans, double baseline);
// Summary and dashboard latency at the demo's size, then beside two stadium performances and of
// them (10^6 audit rows over 12 hours; 10^5 of them in the last 30 minutes in the second), in
// turns so that a slow spell of the machine falls on all; 64 gates' p99 alone and beside 20
// dashboards polling every 2 seconds, in turns; the server's memory before and after.
int countersBench(const QList<std::pair<const char *, QString>> &databases, int repeats);
// This build's server and another (an older build's qav-server) on fresh demo databases, in
// turns, so that a slow spell of the machine falls on both.
int compareBench(const QString &other, const QString &pgUrl, int clients, int seconds);
// Gates spread over several servers on one PostgreSQL database, each gate with a ticket of its
// own, in turns with pgbench at the same client count on tickets of its own. One sign-in, made on
// the first server, serves the gates of all. Then each ticket's new audit rows are read back in
// order: an admission while the ticket was inside would be a double admission.
bool severalProcesses(const QString &url, int processes, int clients, int seconds,
                      const QStringList &serverArgs, const QString &dir);
// The gates' p99 alone and while 100,000 bookings go in through the sales system's API, then
// the API's bookings per second against import-bookings of the same bookings. False after
// printing why when something is refused.
bool syncBench(const char *name, const QString &url, const QStringList &serverArgs, int clients,
               int seconds, const QString &dir);
// The gates' longest wait and busy answers while PostgreSQL restarts, while a pg_auto_failover
// pair fails over, and while the server in use of two dies, side by side.
bool outagesBench(const QString &pgUrl, int clients, const QString &dir);

// One gate alone on SQLite in dir: a durable verification's p50 against the constant server's,
// in turns with an fdatasync on the same disk. Returns the exit code.
int oneGateBench(const QString &dir, int seconds);

} // namespace bench
