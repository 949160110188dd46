// The gates' rehearsal against a real server on SQLite and PostgreSQL: its counts, and that
// nothing it made is left, whether it ends, is stopped with Ctrl-C or is killed (the next drill
// removes the rest). The progress line's wording is checked in-process.

#include "server/base/progress.h"
#include "server/cli/demoseed.h"
#include "server/storage/storage.h"
#include "tests/server/testsupport.h"
#include "tests/server/webclient.h"
#include "tests/support/ServerProcess.h"

#include <QDateTime>
#include <QProcess>
#include <QRegularExpression>

#include <algorithm>
#include <csignal>

using namespace qav;

namespace {

// The final table's "name   value" lines.
QHash<QString, QString> table(const QString &text)
{
    static const QRegularExpression line(QStringLiteral("^([a-z0-9 ]+?)\\s{2,}(\\S.*)$"),
                                         QRegularExpression::MultilineOption);
    QHash<QString, QString> values;
    for (auto it = line.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        values.insert(m.captured(1), m.captured(2).remove(u','));
    }
    return values;
}

// What a drill may leave behind: its runs, or anything carrying its prefix.
QStringList drillLeftovers(Storage &s)
{
    QStringList left;
    for (const DrillRun &r : s.drillRuns())
        left << u"run "_qs + r.bizcode;
    for (const Venue &v : s.venues())
        if (isDrillCode(v.placeCode))
            left << u"venue "_qs + v.placeCode;
    for (const Performance &p : s.performances({}))
        if (isDrillCode(p.bizcode))
            left << u"performance "_qs + p.bizcode;
    for (const OperatorRecord &o : s.operators({}))
        if (isDrillCode(o.id))
            left << u"operator "_qs + o.id;
    for (const SessionRecord &session : s.sessions())
        if (isDrillCode(session.operatorId))
            left << u"session of "_qs + session.operatorId;
    for (const SignInAttempt &a : s.signInLog(1000))
        if (isDrillCode(a.operatorId))
            left << u"sign-in of "_qs + a.operatorId;
    return left;
}

} // namespace

class ServerDrillTest : public QObject
{
    Q_OBJECT
private slots:
    void drillLeavesNothing_data();
    void drillLeavesNothing();
    void progressLine_data();
    void progressLine();
};

void ServerDrillTest::drillLeavesNothing_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<QString>("stop"); // "" to the end, or the signal sent mid-run
    for (const QString &backend : qavtest::backends()) {
        QTest::newRow(qPrintable(backend + u" to the end"_qs)) << backend << QString();
        QTest::newRow(qPrintable(backend + u" ctrl-c"_qs)) << backend << u"SIGINT"_qs;
    }
    QTest::newRow("sqlite killed, the next drill cleans") << u"sqlite"_qs << u"SIGKILL"_qs;
}

void ServerDrillTest::drillLeavesNothing()
{
    QFETCH(QString, backend);
    QFETCH(QString, stop);
    QAV_REQUIRE_BACKEND(backend);
    qavtest::ScratchDatabase db(backend);
    ServerOptions options;
    options.quiet = true;
    options.databaseUrl = db.url();
    const auto server = startedServer(options);
    QVERIFY(server->port());
    auto storage = openStorage(db.url());
    const QString demoBizcode = QString::fromLatin1(demo::kTodayBizcode);
    const auto before = storage->bookings(demoBizcode);
    const qint64 demoAudit = storage->scanCount(demoBizcode);

    // Stopped drills run long and in the demo venue, whose dashboard then shows them.
    const QStringList drill{u"drill"_qs,
                            u"--db"_qs,
                            db.url(),
                            u"--server"_qs,
                            server->url(),
                            u"--stations"_qs,
                            u"3"_qs,
                            u"--bookings"_qs,
                            u"300"_qs,
                            u"--rate"_qs,
                            u"30"_qs,
                            u"--seconds"_qs,
                            stop.isEmpty() ? u"3"_qs : u"300"_qs};
    QProcess run;
    run.start(qavServerBinary(),
              drill + (stop.isEmpty() ? QStringList() : QStringList{u"--venue"_qs, u"1234"_qs}));
    QVERIFY(run.waitForStarted());
    QString said;
    if (!stop.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(
            (said += QString::fromUtf8(run.readAllStandardOutput())).contains(u"scanning"_qs) ||
                run.state() == QProcess::NotRunning,
            60000);
        const QString bizcode =
            QRegularExpression(u"drill (DRILL-\\S+):"_qs).match(said).captured(1);
        QVERIFY2(!bizcode.isEmpty(), qPrintable(said + run.readAllStandardError()));
        QTRY_VERIFY_WITH_TIMEOUT(storage->scanCount(bizcode) >= 10, 60000);

        WebClient admin(server->port());
        QCOMPARE(admin.signIn(u"admin"_qs, u"admin"_qs).status, 200);
        const QJsonObject listed = admin.api("GET", u"/api/performances"_qs).json();
        const auto shown = listed.value(u"performances").toArray();
        QVERIFY2(
            std::any_of(shown.begin(), shown.end(),
                        [&](const QJsonValue &p) { return p[u"bizcode"].toString() == bizcode; }),
            "the dashboard does not list the drill");
        QCOMPARE(storage->gatePerformance(u"1234"_qs, QDateTime::currentDateTime())->bizcode,
                 demoBizcode);

        ::kill(pid_t(run.processId()), stop == u"SIGINT" ? SIGINT : SIGKILL);
    }
    QVERIFY(run.waitForFinished(120000));
    said += QString::fromUtf8(run.readAllStandardOutput());
    const QString errors = QString::fromUtf8(run.readAllStandardError());

    if (stop == u"SIGKILL") {
        QCOMPARE(storage->drillRuns().size(), 1);
        const CliResult next = runCli(drill.mid(0, drill.size() - 1) << u"1"_qs, db.dir());
        QVERIFY2(next.exitCode == 0 && next.out.contains(u"removed what an earlier drill left"_qs),
                 qPrintable(next.all()));
    } else {
        const QHash<QString, QString> counts = table(said);
        QVERIFY2(run.exitCode() == (stop.isEmpty() ? 0 : 1) &&
                     said.contains(u"removed the drill's"_qs),
                 qPrintable(said + errors));
        QVERIFY2(counts.value(u"scans"_qs).toInt() > 0 && counts.value(u"errors"_qs) == u"0" &&
                     counts.value(u"unexpected"_qs) == u"0" &&
                     counts.value(u"audit rows"_qs) == counts.value(u"scans"_qs) &&
                     counts.value(u"accepted"_qs).toInt() + counts.value(u"refused"_qs).toInt() ==
                         counts.value(u"scans"_qs).toInt(),
                 qPrintable(said + errors));
    }
    QCOMPARE(drillLeftovers(*storage), QStringList());
    QCOMPARE(storage->scanCount(demoBizcode), demoAudit);
    const auto after = storage->bookings(demoBizcode);
    QCOMPARE(after.size(), before.size());
    for (qsizetype i = 0; i < after.size(); ++i)
        QVERIFY(after[i].inside == before[i].inside && after[i].entries == before[i].entries);
    // The server sealed the audit while the drill ran: the rows it removed were never sealed.
    const CliResult verified = runCli({u"audit"_qs, u"verify"_qs, u"--db"_qs, db.url()}, db.dir());
    QVERIFY2(verified.exitCode == 0, qPrintable(verified.all()));
}

void ServerDrillTest::progressLine_data()
{
    QTest::addColumn<qint64>("done");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<qint64>("elapsedMs");
    QTest::addColumn<QString>("line");
    QTest::newRow("not started") << 0LL << 10000LL << 0LL << u"0 of 10,000 rows"_qs;
    QTest::newRow("rate and time left")
        << 3000LL << 10000LL << 2000LL << u"3,000 of 10,000 rows, 1,500/s, 5 s left"_qs;
    QTest::newRow("minutes left") << 1000LL << 200000LL << 1000LL
                                  << u"1,000 of 200,000 rows, 1,000/s, 3 min 19 s left"_qs;
    QTest::newRow("no total") << 500LL << 0LL << 1000LL << u"500 rows, 500/s"_qs;
    QTest::newRow("done") << 10000LL << 10000LL << 4000LL << u"10,000 of 10,000 rows, 2,500/s"_qs;
}

void ServerDrillTest::progressLine()
{
    QFETCH(qint64, done);
    QFETCH(qint64, total);
    QFETCH(qint64, elapsedMs);
    QFETCH(QString, line);
    QCOMPARE(Progress::describe(done, total, elapsedMs, u"rows"_qs), line);
}

QTEST_GUILESS_MAIN(ServerDrillTest)
#include "tst_server_drill.moc"
