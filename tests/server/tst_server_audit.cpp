// The sealed audit: two servers sealing one database while gates scan through both, one of them
// killed midway; `audit verify` finds it as sealed, then names each row changed, removed or
// inserted with the database's own command-line client, the first one first; an export is
// checked against its last line.

#include "server/cli/demoseed.h"
#include "server/storage/sqlstorage.h"
#include "server/storage/storage.h"
#include "tests/server/testsupport.h"
#include "tests/support/GateClient.h"
#include "tests/support/RawHttp.h"
#include "tests/support/ServerProcess.h"

#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

using namespace qav;

namespace {

// Runs sql with sqlite3 or psql, as someone with the database in hand would; its output.
QString sqlOn(const QString &url, const QString &sql)
{
    QProcess p;
    if (url.startsWith(u"postgresql://"_qs))
        p.start(u"psql"_qs, {u"-qtA"_qs, u"-v"_qs, u"ON_ERROR_STOP=1"_qs, url, u"-c"_qs, sql});
    else
        p.start(u"sqlite3"_qs, {url, sql});
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        qWarning("%s: %s", qPrintable(sql), p.readAllStandardError().constData());
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

QByteArray verify(const QByteArray &mode, int ticket, const QByteArray &key)
{
    return qavtest::rawQuery(qavtest::verifyText(mode, QString::number(ticket)), key);
}

// Gates scanning a ticket each in and out as fast as the servers answer, four per server, until
// enough(answers so far) says so. Returns how many were answered.
int rush(const QList<quint16> &ports, const QByteArray &key, const std::function<bool(int)> &enough)
{
    struct Gate
    {
        QTcpSocket socket;
        QByteArray buffer;
        int ticket = 0;
        bool in = false;
    };
    std::vector<std::unique_ptr<Gate>> gates;
    int answered = 0;
    QEventLoop loop;
    for (quint16 port : ports) {
        for (int i = 0; i < 4; ++i) {
            auto gate = std::make_unique<Gate>();
            Gate *g = gate.get();
            g->ticket = 10000101 + int(gates.size());
            QObject::connect(&g->socket, &QTcpSocket::readyRead, &loop, [&, g] {
                g->buffer += g->socket.readAll();
                qavtest::RawReply reply;
                while (qavtest::takeRawReply(g->buffer, reply)) {
                    g->in = !g->in; // a refusal also says the ticket is the other way
                    if (enough(++answered))
                        loop.quit();
                    else
                        g->socket.write(verify(g->in ? "O" : "I", g->ticket, key));
                }
            });
            g->socket.connectToHost(QHostAddress::LocalHost, port);
            if (!g->socket.waitForConnected(10000))
                return 0;
            g->socket.write(verify("I", g->ticket, key));
            gates.push_back(std::move(gate));
        }
    }
    QTimer::singleShot(180000, &loop, &QEventLoop::quit);
    loop.exec();
    return answered;
}

} // namespace

class ServerAuditTest : public QObject
{
    Q_OBJECT

private slots:
    void tamperingIsNamed_data() { qavtest::backendRows(); }
    void tamperingIsNamed();
    void gapsCostARoundOneStatement_data() { qavtest::backendRows(); }
    void gapsCostARoundOneStatement();
    void ticketsRecordedAsSentTakeTheirNormalFormUnderTheirSeals_data() { qavtest::backendRows(); }
    void ticketsRecordedAsSentTakeTheirNormalFormUnderTheirSeals();
};

void ServerAuditTest::tamperingIsNamed()
{
    QFETCH(QString, backend);
    QAV_REQUIRE_BACKEND(backend);
    qavtest::ScratchDatabase scratch(backend);
    const QString url = scratch.url();
    seedDemo(*openStorage(url));
    const QString keyFile = scratch.dir() + u"/audit.key"_qs;
    {
        QFile f(keyFile);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("6f1c0e5b9a7d43c28e15f0a9b7c3d2e1\n");
    }
    const QStringList keyed{u"--db"_qs, url, u"--audit-key"_qs, keyFile};
    ServerOptions options;
    options.initDatabase = false;
    options.quiet = true;
    options.databaseUrl = url;
    options.serveArguments = {u"--audit-key"_qs, keyFile, u"--seal-every"_qs, u"1"_qs};
    const auto first = startedServer(options);
    const auto second = startedServer(options);
    QVERIFY(first->port() && second->port());
    qavtest::GateClient gate(first->port());
    gate.signIn(u"gate01"_qs, u"gate01"_qs);
    const QByteArray key = gate.sessionKey();
    QVERIFY(!key.isEmpty());

    // Both seal while both take scans; one is killed in the middle of it.
    constexpr int kScans = 1500;
    const auto storage = openStorage(url);
    bool killed = false;
    const auto enough = [&](int answered) {
        if (answered % 50 != 0 || answered < kScans / 2)
            return false;
        const qint64 seals = storage->sealInfo().value_or(SealInfo()).sealNo;
        if (!killed && seals >= 2) {
            first->kill();
            killed = true;
        }
        return killed && answered >= kScans && seals >= 4;
    };
    QVERIFY(rush({first->port(), second->port()}, key, enough) >= kScans);
    QCOMPARE(second->terminate(), 0);

    const QString dir = scratch.dir();
    const CliResult clean = runCli(QStringList{u"audit"_qs, u"verify"_qs} + keyed, dir);
    QVERIFY2(clean.exitCode == 0 && clean.out.contains(u"is as sealed"_qs) &&
                 clean.out.contains(u"0 newer row(s) not sealed yet"_qs),
             qPrintable(clean.all()));
    QVERIFY2(runCli(QStringList{u"audit"_qs, u"verify"_qs, u"--db"_qs, url}, dir)
                 .err.contains(u"give its file with --audit-key"_qs),
             "the keyed seals were checked without the key");
    const CliResult exported =
        runCli(QStringList{u"audit"_qs, u"GRVM0001"_qs, u"--csv"_qs} + keyed, dir);
    QVERIFY(exported.out.contains(u"\n#seal,"_qs));
    const QString exportFile = dir + u"/export.csv"_qs;
    const auto writeExport = [&](const QString &text) {
        QFile f(exportFile);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(text.toUtf8());
    };
    const QStringList checkExport =
        QStringList{u"audit"_qs, u"verify"_qs, u"--csv"_qs, exportFile} + keyed;
    writeExport(exported.out);
    QCOMPARE(runCli(checkExport, dir).exitCode, 0);
    writeExport(QString(exported.out).replace(u"gate01"_qs, u"gate09"_qs));
    QVERIFY(runCli(checkExport, dir).out.contains(u"was changed after it was exported"_qs));

    // Each change made behind the server's back is named; the lowest row comes first.
    // Rows by their place in the audit: a loaded machine answers some scans busy, unwritten.
    const int rows = sqlOn(url, u"SELECT COUNT(*) FROM scan_log"_qs).toInt();
    QVERIFY2(rows > 100, qPrintable(QString::number(rows)));
    const QString changed =
        sqlOn(url, u"SELECT id FROM scan_log ORDER BY id LIMIT 1 OFFSET %1"_qs.arg(rows * 3 / 5));
    const QString removed =
        sqlOn(url, u"SELECT id FROM scan_log ORDER BY id LIMIT 1 OFFSET %1"_qs.arg(rows / 4));
    const struct
    {
        QString sql;
        QString firstLine;
    } tampering[] = {
        {u"UPDATE scan_log SET result_code = '0', result_msg = '입장 확인' WHERE id = "_qs +
             changed,
         u"row %1 was changed after seal"_qs.arg(changed)},
        {u"DELETE FROM scan_log WHERE id = "_qs + removed,
         u"row %1 was removed after seal"_qs.arg(removed)},
        {u"INSERT INTO scan_log (id, scanned_at, operator_id, bizcode, ticket_raw, mode,"
         " result_code, result_msg, duration_us) VALUES (0, '2026-01-01 09:00:00', 'gate01',"
         " 'GRVM0001', '10000001', 'I', '0', '입장 확인', 800)"_qs,
         u"row 0 was inserted after sealing"_qs},
    };
    for (const auto &t : tampering) {
        sqlOn(url, t.sql);
        const CliResult r = runCli(QStringList{u"audit"_qs, u"verify"_qs} + keyed, dir);
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.out.startsWith(t.firstLine), qPrintable(r.all()));
    }
    const CliResult one = runCli(
        QStringList{u"audit"_qs, u"verify"_qs, u"--performance"_qs, u"GRVM0001"_qs} + keyed, dir);
    QVERIFY2(one.exitCode == 1 && one.out.contains(u"3 problem(s), the first at row 0"_qs),
             qPrintable(one.all()));
}

// An older version recorded a ticket as the scanner sent it; the upgrade puts it in normal form, so
// it is found by the ticket, and its seal still holds, while a change to it still shows.
void ServerAuditTest::ticketsRecordedAsSentTakeTheirNormalFormUnderTheirSeals()
{
    QFETCH(QString, backend);
    QAV_REQUIRE_BACKEND(backend);
    qavtest::ScratchDatabase scratch(backend);
    const QString url = scratch.url();
    seedDemo(*openStorage(url));
    const QString dir = scratch.dir();
    const QString keyFile = dir + u"/audit.key"_qs;
    {
        QFile f(keyFile);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("0d5e7a1c9b3f4e2a8c6d0b1f7e3a5c9d\n");
    }
    const QStringList keyed{u"--db"_qs, url, u"--audit-key"_qs, keyFile};
    const QString id = sqlOn(url, u"SELECT MAX(id) FROM scan_log WHERE kind = 'scan'"_qs);
    const QString ticket = sqlOn(url, u"SELECT ticket_raw FROM scan_log WHERE id = "_qs + id);
    sqlOn(url, u"UPDATE scan_log SET ticket_raw = '\t%1\u3000' WHERE id = %2"_qs.arg(ticket, id));
    QCOMPARE(runCli(QStringList{u"audit"_qs, u"seal"_qs} + keyed, dir).exitCode, 0);
    sqlOn(url, u"UPDATE schema_version SET version = 10"_qs); // as an older version left it

    const CliResult upgraded = runCli(QStringList{u"audit"_qs, u"verify"_qs} + keyed, dir);
    QVERIFY2(upgraded.exitCode == 0 && upgraded.out.contains(u"is as sealed"_qs),
             qPrintable(upgraded.all()));
    QCOMPARE(sqlOn(url, u"SELECT COUNT(*) FROM scan_log WHERE id = %1 AND ticket_raw = '%2'"_qs.arg(
                            id, ticket)),
             u"1"_qs);
    QCOMPARE(sqlOn(url, u"SELECT COUNT(*) FROM scan_log WHERE ticket_raw <> TRIM(ticket_raw)"_qs),
             u"0"_qs);
    sqlOn(url, u"UPDATE scan_log SET ticket_raw = '99999999' WHERE id = "_qs + id);
    const CliResult changed = runCli(QStringList{u"audit"_qs, u"verify"_qs} + keyed, dir);
    QVERIFY2(changed.exitCode == 1 &&
                 changed.out.startsWith(u"row %1 was changed after seal"_qs.arg(id)),
             qPrintable(changed.all()));
}

// Ids missing between audit rows (rolled back, or on PostgreSQL not committed yet) are looked for
// again each round in one statement however many they are; a rehearsal's rows are not missing,
// only not sealed; rows committed late into a gap are sealed and the audit verifies.
void ServerAuditTest::gapsCostARoundOneStatement()
{
    QFETCH(QString, backend);
    QAV_REQUIRE_BACKEND(backend);
    qavtest::ScratchDatabase scratch(backend);
    const QString url = scratch.url();
    const auto storage = openStorage(url);
    seedDemo(*storage);
    const qint64 demoRows = storage->sealAudit({}).rows;
    auto *sql = dynamic_cast<SqlStorage *>(storage.get());
    QVERIFY(sql);
    constexpr int kGaps = 300;
    constexpr qint64 kFrom = 1000; // above the demo's rows
    const auto rows = [](const QList<std::pair<qint64, QString>> &list) {
        QStringList values;
        for (const auto &[id, bizcode] : list)
            values << QStringLiteral("(%1, '2026-01-01 09:00:00', 'gate01', '%2', '1', 'I', '-1',"
                                     " '없는 티켓', 800)")
                          .arg(id)
                          .arg(bizcode);
        return u"INSERT INTO scan_log (id, scanned_at, operator_id, bizcode, ticket_raw, mode,"
               " result_code, result_msg, duration_us) VALUES "_qs +
               values.join(u',');
    };
    QList<std::pair<qint64, QString>> first;
    for (int i = 1; i <= kGaps; ++i)
        first << std::pair{kFrom + 3 * i, u"GRVM0001"_qs}
              << std::pair{kFrom + 3 * i + 1, u"DRILL-X"_qs};
    sqlOn(url, rows(first));
    QCOMPARE(storage->sealAudit({}).rows, kGaps);
    const IdRanges gaps =
        decodeRanges(sqlOn(url, u"SELECT gaps FROM audit_seals ORDER BY seal_no DESC LIMIT 1"_qs));
    const bool sqlite = backend == u"sqlite"_qs; // ids come in order there: no gap stays open
    QCOMPARE(gaps.size(), sqlite ? 0 : kGaps);
    for (int i = 1; i <= kGaps; ++i)
        QVERIFY2(!inRanges(gaps, kFrom + 3 * i + 1), "a rehearsal's row was taken for a gap");

    if (!sqlite)
        sqlOn(url, rows({{kFrom + 5, u"GRVM0001"_qs}, {kFrom + 3 * kGaps - 1, u"GRVM0001"_qs}}));
    const qint64 before = sql->statementsRun();
    storage->sealAudit({});
    const qint64 statements = sql->statementsRun() - before;
    QVERIFY2(statements <= 10, qPrintable(QString::number(statements)));
    const AuditCheck check = storage->checkAudit({}, {});
    QVERIFY(check.problems.isEmpty());
    QCOMPARE(check.sealedRows, qint64(kGaps + (sqlite ? 0 : 2)) + demoRows);
}

QTEST_GUILESS_MAIN(ServerAuditTest)
#include "tst_server_audit.moc"
