// The season's command line, run as the real qav-server binary against SQLite and PostgreSQL:
// listings, switches, removals, the audit reader, demo protection, encodings of imported files,
// schema versions and a backup taken while a gate keeps admitting. The booking import's checks
// and counts are also driven in-process, without the binary.

#include "server/cli/demoseed.h"
#include "server/import/bookingimport.h"
#include "server/protocol/memberobject.h"
#include "server/storage/schema.h"
#include "server/storage/storage.h"
#include "tests/server/testsupport.h"
#include "tests/support/ServerProcess.h"

#include <QDate>
#include <QFile>
#include <QMutex>
#include <QProcess>
#include <QRegularExpression>
#include <QStringEncoder>
#include <QThread>

#include <atomic>
#include <thread>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace qav;

namespace {

// "cmd|arg|arg" with --db appended.
CliResult runOn(const QString &url, const QString &command, const QByteArray &input = {})
{
    return runCli(command.split(u'|') + QStringList{u"--db"_qs, url}, QDir::tempPath(), input);
}

QString signInCode(Storage &s, const QString &id, const QString &password)
{
    return MemberObject(s)
        .run({QString::fromLatin1(kLoginProc), {id, password}})
        .value(u"ErrCode"_qs);
}

QString scanCode(Storage &s, const QString &mode, const QString &ticket)
{
    return s.scan({mode, QString::fromLatin1(demo::kTodayBizcode), ticket, u"gate01"_qs, 0}).code;
}

void writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
}

} // namespace

class ServerAdminTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void commands_data();
    void commands();
    void notFoundIsOneError_data();
    void notFoundIsOneError();
    void missingDatabaseIsRefused_data();
    void missingDatabaseIsRefused();
    void importDetectsEncoding_data();
    void importDetectsEncoding();
    void importPlanInProcess_data();
    void importPlanInProcess();
    void configFile_data();
    void configFile();
    void schemaVersions_data();
    void schemaVersions();
    void aVenueKeepsAnEnabledManager_data() { qavtest::backendRows(); }
    void aVenueKeepsAnEnabledManager();
    void backupUnderLoad();
    void restoreAfterCrash();
    void interruptedImportCompletes();
    void shippedSettingsAreAccepted();
    void otherUserIsToldPermissionDenied();

private:
    // A scratch database holding the demo: a copy of one seeded file for SQLite (seeding writes
    // and syncs many times), seeded anew for PostgreSQL.
    std::unique_ptr<qavtest::ScratchDatabase> demoDatabase(const QString &backend);

    QTemporaryDir m_template;
};

void ServerAdminTest::initTestCase()
{
    seedDemo(*openStorage(m_template.filePath(u"demo.db"_qs)));
}

std::unique_ptr<qavtest::ScratchDatabase> ServerAdminTest::demoDatabase(const QString &backend)
{
    auto scratch = std::make_unique<qavtest::ScratchDatabase>(backend);
    if (backend == QLatin1String("sqlite"))
        QFile::copy(m_template.filePath(u"demo.db"_qs), scratch->url());
    else
        seedDemo(*openStorage(scratch->url()));
    return scratch;
}

void ServerAdminTest::commands_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<QStringList>("setup"); // commands that must succeed first
    QTest::addColumn<QString>("command");   // "cmd|arg|..." on the demo database
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says");
    QTest::addColumn<QString>("lacks");
    QTest::addColumn<QString>(
        "check"); // signin|id|password|code, scan|mode|ticket|code, cli|says|cmd|...

    const QString today = QDate::currentDate().toString(u"yyyy-MM-dd"_qs);
    struct Row
    {
        bool onPostgres; // rows whose SQL differs in kind also run on PostgreSQL (seeding is slow)
        const char *name;
        QStringList setup;
        QString command;
        QByteArray input;
        int exitCode;
        QString says;
        QString lacks;
        QString check;
    };
    const QList<Row> rows = {
        {false, "list venues", {}, u"list-venues"_qs, {}, 0, u"1234        큐브 아레나"_qs, {}, {}},
        {false,
         "list performances as CSV",
         {},
         u"list-performances|--csv"_qs,
         {},
         0,
         u"GRVM0002,1234,콘서트 겨울 바다,"_qs,
         {},
         {}},
        {true,
         "list operators of a venue",
         {u"add-venue|77|별빛 극장"_qs},
         u"list-operators|--venue|77"_qs,
         {},
         0,
         u"operator_id"_qs,
         u"gate01"_qs,
         {}},
        {true,
         "list bookings with state",
         {},
         u"list-bookings|GRVM0001|--csv"_qs,
         {},
         0,
         u"GRVM0001,10000298,"_qs,
         {},
         {}},
        {false, "show venue", {}, u"show-venue|1234"_qs, {}, 0, u"GRVM0001 GRVM0002"_qs, {}, {}},
        {true,
         "show performance with counters",
         {},
         u"show-performance|GRVM0001|--csv"_qs,
         {},
         0,
         u",299,3,2,1,296,0,1,1,5"_qs,
         {},
         {}},
        {false,
         "show operator",
         {},
         u"show-operator|gate02|--csv"_qs,
         {},
         0,
         u"gate02,1234,no"_qs,
         {},
         {}},
        {false,
         "show booking",
         {},
         u"show-booking|GRVM0001|10000298|--csv"_qs,
         {},
         0,
         u",no,yes,1,0,"_qs,
         {},
         {}},
        {false,
         "show unknown booking",
         {},
         u"show-booking|GRVM0001|55"_qs,
         {},
         1,
         u"unknown ticket '55'"_qs,
         {},
         {}},
        {true,
         "disabled operator cannot sign in",
         {},
         u"disable-operator|gate01"_qs,
         {},
         0,
         u"disabled"_qs,
         {},
         u"signin|gate01|gate01|-1"_qs},
        {false,
         "enabled operator signs in again",
         {u"disable-operator|gate01"_qs},
         u"enable-operator|gate01"_qs,
         {},
         0,
         u"enabled"_qs,
         {},
         u"signin|gate01|gate01|0"_qs},
        {false,
         "disable unknown operator",
         {},
         u"disable-operator|nobody"_qs,
         {},
         1,
         u"unknown operator 'nobody'"_qs,
         {},
         {}},
        {true,
         "new password works",
         {},
         u"set-password|gate01"_qs,
         "new password\n",
         0,
         u"changed"_qs,
         {},
         u"signin|gate01|new password|0"_qs},
        {false,
         "short password is refused",
         {},
         u"set-password|gate01"_qs,
         "short\n",
         2,
         u"at least 8 characters"_qs,
         {},
         u"signin|gate01|gate01|0"_qs},
        {false,
         "add operator",
         {},
         u"add-operator|usher|--venue|1234"_qs,
         "long enough\n",
         0,
         u"added"_qs,
         {},
         u"signin|usher|long enough|0"_qs},
        {true,
         "add operator refuses an existing id",
         {},
         u"add-operator|gate01|--venue|1234"_qs,
         "long enough\n",
         2,
         u"exists already"_qs,
         {},
         u"signin|gate01|gate01|0"_qs},
        {false,
         "bad place code",
         {},
         u"add-venue|12 34|극장"_qs,
         {},
         2,
         u"bad place code"_qs,
         {},
         {}},
        {false,
         "bad business code",
         {},
         u"add-performance|B/1|1234|공연|"_qs + today + u" 20:00|홀"_qs,
         {},
         2,
         u"bad business code"_qs,
         {},
         {}},
        {true,
         "cancelled booking is refused",
         {},
         u"cancel-booking|GRVM0001|10000001"_qs,
         {},
         0,
         u"cancelled"_qs,
         {},
         u"scan|I|10000001|-1"_qs},
        {false,
         "cancelling an admitted booking says so",
         {},
         u"cancel-booking|GRVM0001|10000298"_qs,
         {},
         0,
         u"admitted already"_qs,
         {},
         u"scan|I|10000298|-1"_qs},
        {false,
         "cancelling twice says so",
         {u"cancel-booking|GRVM0001|10000001"_qs},
         u"cancel-booking|GRVM0001|10000001"_qs,
         {},
         0,
         u"was cancelled already; nothing changed"_qs,
         {},
         {}},
        {false,
         "uncancelled booking is admitted",
         {},
         u"uncancel-booking|GRVM0001|10000300"_qs,
         {},
         0,
         u"valid again"_qs,
         {},
         u"scan|I|10000300|0"_qs},
        {false,
         "cancel unknown booking",
         {},
         u"cancel-booking|GRVM0001|55"_qs,
         {},
         1,
         u"unknown ticket '55'"_qs,
         {},
         {}},
        {true,
         "remove performance nobody scanned",
         {},
         u"remove-performance|GRVM0002"_qs,
         {},
         0,
         u"removed"_qs,
         {},
         u"cli|unknown performance|show-performance|GRVM0002"_qs},
        {true,
         "remove scanned performance is refused",
         {},
         u"remove-performance|GRVM0001"_qs,
         {},
         1,
         u"5 scan(s)"_qs,
         {},
         u"cli|GRVM0001|show-performance|GRVM0001"_qs},
        {false,
         "audit",
         {},
         u"audit|GRVM0001|--csv"_qs,
         {},
         0,
         u"gate02,10000298,I,0,입장 확인,"_qs,
         {},
         {}},
        {false,
         "audit of one operator",
         {},
         u"audit|GRVM0001|--operator|gate03"_qs,
         {},
         0,
         u"gate03"_qs,
         u"gate02"_qs,
         {}},
        {true,
         "audit of refusals",
         {},
         u"audit|GRVM0001|--result|refused|--csv"_qs,
         {},
         0,
         u"gate01,10000298,I,-2,"_qs,
         u",I,0,"_qs,
         {}},
        {true,
         "audit of another day",
         {},
         u"audit|GRVM0001|--from|2000-01-01|--to|2000-01-02 00:00"_qs,
         {},
         0,
         u"scanned_at"_qs,
         u"gate0"_qs,
         {}},
        {false,
         "audit from today on",
         {},
         u"audit|GRVM0001|--from|"_qs + today + u" 00:00"_qs,
         {},
         0,
         u"gate03"_qs,
         {},
         {}},
        {false,
         "audit refuses an unknown result",
         {},
         u"audit|GRVM0001|--result|rejected"_qs,
         {},
         2,
         u"use accepted, refused"_qs,
         {},
         {}},
        {false,
         "listing an unknown venue",
         {},
         u"list-operators|--venue|99"_qs,
         {},
         1,
         u"unknown venue '99'"_qs,
         {},
         {}},
        {false,
         "sessions of an unknown operator",
         {},
         u"revoke-session|--operator|nobody"_qs,
         {},
         1,
         u"unknown operator 'nobody'"_qs,
         {},
         {}},
        {false,
         "performance of an unknown venue",
         {},
         u"add-performance|B1|99|공연|"_qs + today + u" 20:00|홀"_qs,
         {},
         1,
         u"unknown venue '99'"_qs,
         {},
         {}},
        {true,
         "admin with a short password is refused",
         {},
         u"add-admin|boss"_qs,
         "short\n",
         2,
         u"at least 8 characters"_qs,
         {},
         u"cli|admin_id|list-admins"_qs},
        {true,
         "new password keeps the admin's venue",
         {u"add-admin|boss|--place-code|1234"_qs},
         u"add-admin|boss"_qs,
         "long enough\n",
         0,
         u"(manager, venue 1234)"_qs,
         {},
         u"cli|boss,1234,no|list-admins|--csv"_qs},
        {true,
         "new password keeps the admin's role",
         {u"add-admin|boss|--role|viewer|--venue|1234"_qs},
         u"add-admin|boss"_qs,
         "long enough\n",
         0,
         u"(viewer, venue 1234)"_qs,
         {},
         u"cli|boss,1234,no,viewer|list-admins|--csv"_qs},
        {false,
         "unknown role is refused",
         {},
         u"add-admin|boss|--role|owner"_qs,
         "long enough\n",
         2,
         u"bad role 'owner'"_qs,
         {},
         u"cli|unknown admin 'boss'|remove-admin|boss"_qs},
        {false,
         "admin widened only when asked",
         {u"add-admin|boss|--place-code|1234"_qs},
         u"add-admin|boss|--every-venue"_qs,
         "long enough\n",
         0,
         u"(manager, every venue)"_qs,
         {},
         u"cli|boss,*,no|list-admins|--csv"_qs},
        {true,
         "disabled admin is listed as such",
         {},
         u"disable-admin|admin"_qs,
         {},
         0,
         u"admin admin disabled"_qs,
         {},
         u"cli|admin,*,yes|list-admins|--csv"_qs},
        {true,
         "removed admin is gone",
         {},
         u"remove-admin|admin"_qs,
         {},
         0,
         u"removed"_qs,
         {},
         u"cli|unknown admin 'admin'|remove-admin|admin"_qs},
        {false,
         "seed-demo repeats on the demo",
         {},
         u"seed-demo"_qs,
         {},
         0,
         u"demo seeded"_qs,
         {},
         {}},
        {true,
         "seed-demo refuses other data",
         {u"add-venue|77|별빛 극장"_qs},
         u"seed-demo"_qs,
         {},
         1,
         u"venue 77"_qs,
         {},
         u"cli|별빛 극장|list-venues"_qs},
    };
    for (const QString &backend : qavtest::backends())
        for (const Row &r : rows)
            if (backend == QLatin1String("sqlite") || r.onPostgres)
                QTest::addRow("%s, %s", qPrintable(backend), r.name)
                    << backend << r.setup << r.command << r.input << r.exitCode << r.says << r.lacks
                    << r.check;
}

void ServerAdminTest::commands()
{
    QFETCH(QString, backend);
    QFETCH(QStringList, setup);
    QFETCH(QString, command);
    QFETCH(QByteArray, input);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    QFETCH(QString, lacks);
    QFETCH(QString, check);
    QAV_REQUIRE_BACKEND(backend);
    const auto demo = demoDatabase(backend);
    const qavtest::ScratchDatabase &scratch = *demo;
    {
        auto storage = openStorage(scratch.url());
        QCOMPARE(scanCode(*storage, u"I"_qs, u"10000298"_qs), u"-2"_qs); // one refusal in the audit
    }
    for (const QString &step : setup) {
        const CliResult r = runOn(scratch.url(), step, input);
        QVERIFY2(r.exitCode == 0, qPrintable(step + u": "_qs + r.all()));
    }
    const CliResult r = runOn(scratch.url(), command, input);
    QVERIFY2(r.exitCode == exitCode, qPrintable(r.all()));
    QVERIFY2(r.all().contains(says), qPrintable(r.all()));
    if (!lacks.isEmpty())
        QVERIFY2(!r.out.contains(lacks), qPrintable(r.out));

    const QStringList c = check.split(u'|');
    auto storage = openStorage(scratch.url());
    if (c[0] == QLatin1String("signin"))
        QCOMPARE(signInCode(*storage, c[1], c[2]), c[3]);
    else if (c[0] == QLatin1String("scan"))
        QCOMPARE(scanCode(*storage, c[1], c[2]), c[3]);
    else if (c[0] == QLatin1String("cli"))
        QVERIFY2(runOn(scratch.url(), c.mid(2).join(u'|')).all().contains(c[1]), qPrintable(check));
}

void ServerAdminTest::notFoundIsOneError_data()
{
    QTest::addColumn<QString>("command"); // "cmd|arg|..." on the demo database
    QTest::addColumn<QString>("says");    // all of standard error
    const QString venue = u"unknown venue '99'"_qs, op = u"unknown operator 'nobody'"_qs,
                  perf = u"unknown performance 'NOPE'"_qs, admin = u"unknown admin 'nobody'"_qs;
    const struct
    {
        const char *command;
        QString says;
    } rows[] = {
        {"add-operator|gate09|--venue|99", venue},
        {"add-admin|boss|--place-code|99", venue},
        {"list-performances|--venue|99", venue},
        {"show-venue|99", venue},
        {"show-operator|nobody", op},
        {"enable-operator|nobody", op},
        {"set-password|nobody", op},
        {"revoke-session|--operator|nobody", op},
        {"disable-admin|nobody", admin},
        {"summary|NOPE", perf},
        {"list-bookings|NOPE", perf},
        {"remove-performance|NOPE", perf},
        {"audit|NOPE", perf},
        {"cancel-booking|GRVM0001|55", u"unknown ticket '55' for performance 'GRVM0001'"_qs},
        {"revoke-session|abcdef0123", u"unknown session 'abcdef0123'"_qs},
    };
    for (const auto &row : rows)
        QTest::newRow(row.command) << QString::fromLatin1(row.command) << row.says;
}

// Whatever the command, a name that is not there is one line in one shape and exit code 1.
void ServerAdminTest::notFoundIsOneError()
{
    QFETCH(QString, command);
    QFETCH(QString, says);
    const auto demo = demoDatabase(u"sqlite"_qs);
    const CliResult r = runOn(demo->url(), command, "password1\n");
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.err, u"qav-server: "_qs + says + u'\n');
}

void ServerAdminTest::missingDatabaseIsRefused_data()
{
    QTest::addColumn<QString>("command");
    for (const char *command : {"serve",
                                "add-venue|1|x",
                                "add-performance|B|1|G|202601011900|H",
                                "add-operator|op|--venue|1",
                                "import-bookings|%CSV%",
                                "seed-demo",
                                "summary|B",
                                "list-venues",
                                "list-performances",
                                "list-operators",
                                "list-bookings|B",
                                "show-venue|1",
                                "show-performance|B",
                                "show-operator|op",
                                "show-booking|B|1",
                                "disable-operator|op",
                                "enable-operator|op",
                                "set-password|op",
                                "cancel-booking|B|1",
                                "uncancel-booking|B|1",
                                "remove-performance|B",
                                "audit|B",
                                "backup|--to|%DIR%/copy.db"})
        QTest::newRow(command) << QString::fromLatin1(command);
}

void ServerAdminTest::missingDatabaseIsRefused()
{
    QFETCH(QString, command);
    QTemporaryDir dir;
    const QString csv = dir.filePath(u"b.csv"_qs);
    writeFile(csv, "GRVM0001,1,a,b,c\n");
    const QString db = dir.filePath(u"mistyped.db"_qs);
    command.replace(u"%CSV%"_qs, csv).replace(u"%DIR%"_qs, dir.path());
    const CliResult r = runOn(db, command, "long enough\n");
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(u"no database at "_qs + db), qPrintable(r.err));
    QVERIFY(!QFile::exists(db));
}

void ServerAdminTest::importDetectsEncoding_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("options"); // "--encoding|CP949"
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says");
    QTest::addColumn<QString>("stored"); // name and seat of ticket T-1 after it, empty: none

    const QString text =
        u"bizcode,ticket_no,cust_name,seat_grade,seat_info\r\nGRVM0001,T-1,김철수,R석,1층 B열 3번\r\n"_qs;
    const QString rare = u"GRVM0001,T-1,김똠펲,R석,1층 B열 3번\r\n"_qs; // outside EUC-KR
    QStringEncoder le(QStringEncoder::Utf16LE), be(QStringEncoder::Utf16BE), cp949("windows-949");
    const QByteArray utf16le = le(text), utf16be = be(text), korean = cp949(text),
                     uhc = cp949(rare);
    const QString kim = u"김철수1층 B열 3번"_qs;
    QTest::newRow("UTF-8") << text.toUtf8() << QString() << 0 << u"(UTF-8)"_qs << kim;
    QTest::newRow("UTF-8 with BOM")
        << "\xef\xbb\xbf" + text.toUtf8() << QString() << 0 << u"(UTF-8)"_qs << kim;
    QTest::newRow("UTF-16LE with BOM")
        << "\xff\xfe" + utf16le << QString() << 0 << u"(UTF-16LE)"_qs << kim;
    QTest::newRow("UTF-16BE with BOM")
        << "\xfe\xff" + utf16be << QString() << 0 << u"(UTF-16BE)"_qs << kim;
    QTest::newRow("CP949 found out") << korean << QString() << 0 << u"(CP949)"_qs << kim;
    QTest::newRow("EUC-KR named") << korean << u"--encoding|EUC-KR"_qs << 0 << u"(EUC-KR)"_qs
                                  << kim;
    QTest::newRow("CP949 beyond EUC-KR found out")
        << uhc << QString() << 0 << u"(CP949)"_qs << u"김똠펲1층 B열 3번"_qs;
    for (const char *name : {"CP949", "cp949", "windows-949", "UHC"})
        QTest::addRow("CP949 beyond EUC-KR named %s", name)
            << uhc << u"--encoding|"_qs + QLatin1String(name) << 0 << u"imported"_qs
            << u"김똠펲1층 B열 3번"_qs;
    QTest::newRow("Korean header, columns in another order")
        << u"예매번호,공연코드,좌석,이름,좌석등급,취소여부\nT-1,GRVM0001,A-1,홍길동,S석,N\n"_qs
               .toUtf8()
        << QString() << 0 << u"1 new"_qs << u"홍길동A-1"_qs;
    QTest::newRow("Excel's Unicode text: UTF-16, tabs, other columns skipped")
        << "\xff\xfe" + le(u"Ticket No\tName\t전화번호\tSeat\tGrade\tBizcode\r\n"
                           "T-1\t\"이, 순신\"\t010-1234\tB-2\tR석\tGRVM0001\r\n"_qs)
        << QString() << 0 << u"skipped column(s): 전화번호"_qs << u"이, 순신B-2"_qs;
    QTest::newRow("empty seat field") << u"GRVM0001,T-1,김철수,스탠딩,\n"_qs.toUtf8() << QString()
                                      << 0 << u"1 new"_qs << u"김철수"_qs;
    QTest::newRow("header without ticket column")
        << u"공연코드,이름\nGRVM0001,홍길동\n"_qs.toUtf8() << QString() << 1
        << u"line 1: the header names no ticket_no (예매번호) column"_qs << QString();
    QTest::newRow("dry run changes nothing")
        << text.toUtf8() << u"--dry-run"_qs << 0
        << u"dry run, nothing changed: 1 booking(s) read (UTF-8): 1 new, 0 changed"_qs << QString();
    QTest::newRow("undecodable line named")
        << korean + "GRVM0001,T-2,\xff\xfe\xfd,R,A\r\n"
        << QString() << 1 << u"line 3: neither UTF-8 nor CP949"_qs << QString();
    QTest::newRow("named encoding that does not fit")
        << korean << u"--encoding|UTF-8"_qs << 1 << u"line 2: not valid UTF-8 text"_qs << QString();
    QTest::newRow("unknown encoding name") << text.toUtf8() << u"--encoding|KLINGON"_qs << 2
                                           << u"unknown encoding 'KLINGON'"_qs << QString();
}

void ServerAdminTest::importDetectsEncoding()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, options);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    QFETCH(QString, stored);
    const auto demo = demoDatabase(u"sqlite"_qs);
    const qavtest::ScratchDatabase &scratch = *demo;
    const QString csv = scratch.dir() + u"/bookings.csv"_qs;
    writeFile(csv, file);
    const CliResult r =
        runOn(scratch.url(),
              u"import-bookings|"_qs + csv + (options.isEmpty() ? QString() : u"|"_qs + options));
    QVERIFY2(r.exitCode == exitCode && r.all().contains(says), qPrintable(r.all()));
    const auto booking = openStorage(scratch.url())->findBooking(u"GRVM0001"_qs, u"T-1"_qs);
    QCOMPARE(booking.has_value(), !stored.isEmpty());
    if (booking)
        QCOMPARE(booking->booking.custName + booking->booking.seatInfo, stored);
}

void ServerAdminTest::importPlanInProcess_data()
{
    qavtest::backendRows();
}

// Bad lines in line order and nothing to write; then new, changed, unchanged and an admitted
// holder cancelled counted, written (not at all once stopped) and found unchanged the second time.
void ServerAdminTest::importPlanInProcess()
{
    QFETCH(QString, backend);
    QAV_REQUIRE_BACKEND(backend);
    const auto demo = demoDatabase(backend);
    auto storage = openStorage(demo->url());

    const BookingImport bad =
        planBookingImport(*storage, "GRVM0001,T-1,A,R,1\nNOPE,T-2,B,R,2\nGRVM0001,T-3\n");
    QCOMPARE(bad.problems, (QStringList{u"line 2: unknown performance 'NOPE'"_qs,
                                        u"line 3: expected 5 or 6 fields, found 2"_qs}));
    QVERIFY(bad.toWrite.isEmpty());

    const BookingRecord same = *storage->findBooking(u"GRVM0001"_qs, u"10000002"_qs);
    const QString file = u"예매번호,공연코드,이름,좌석등급,좌석,취소\n"
                         "T-NEW,GRVM0001,홍길동,R석,A-1,0\n"
                         "10000001,GRVM0001,새이름,R석,A-2,0\n"
                         "%1,GRVM0001,%2,%3,%4,0\n"
                         "10000298,GRVM0001,입장객,R석,A-3,1\n"_qs.arg(
                             same.booking.ticketNo, same.booking.custName, same.booking.seatGrade,
                             same.booking.seatInfo);
    const BookingImport plan = planBookingImport(*storage, file.toUtf8());
    QVERIFY2(plan.problems.isEmpty(), qPrintable(plan.problems.join(u'\n')));
    QCOMPARE(plan.encoding, u"UTF-8"_qs);
    QCOMPARE(plan.counts(), u"1 new, 2 changed, 1 unchanged"_qs);
    QCOMPARE(plan.admittedCancelled, QStringList{u"10000298"_qs});

    const volatile std::sig_atomic_t stopped = 1;
    QCOMPARE(writeBookingImport(*storage, plan, &stopped), 0);
    QVERIFY(!storage->findBooking(u"GRVM0001"_qs, u"T-NEW"_qs));
    QCOMPARE(writeBookingImport(*storage, plan, nullptr, 2), 3);
    QCOMPARE(storage->findBooking(u"GRVM0001"_qs, u"T-NEW"_qs)->booking.custName, u"홍길동"_qs);
    QVERIFY(storage->findBooking(u"GRVM0001"_qs, u"10000298"_qs)->booking.cancelled);
    QCOMPARE(planBookingImport(*storage, file.toUtf8()).counts(),
             u"0 new, 0 changed, 4 unchanged"_qs);
}

void ServerAdminTest::configFile_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<bool>("service"); // the file is the service's, found without --config
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says");
    QTest::newRow("keys of serve are read by other commands")
        << u"list-venues"_qs << QByteArray("# venue\ndb = %DB%\nport=8470\nquiet=yes\n") << false
        << 0 << u"큐브 아레나"_qs;
    QTest::newRow("command line wins")
        << u"list-venues|--db|%DIR%/other.db"_qs << QByteArray("db=%DB%\n") << false << 1
        << u"no database at"_qs;
    QTest::newRow("serve refuses an unknown key")
        << u"serve"_qs << QByteArray("db=%DB%\nlisten=1.2.3.4\n") << false << 2
        << u"line 2: unknown key 'listen'"_qs;
    QTest::newRow("switch is yes or no") << u"serve"_qs << QByteArray("db=%DB%\nquiet=maybe\n")
                                         << false << 2 << u"quiet is yes or no"_qs;
    QTest::newRow("line without value")
        << u"serve"_qs << QByteArray("db\n") << false << 2 << u"line 1: expected key=value"_qs;
    QTest::newRow("service's file found and named")
        << u"list-venues"_qs << QByteArray("db=%DB%\n") << true << 0
        << u"using the settings in %DIR%/qav-server.conf"_qs;
    QTest::newRow("--db passes the service's file by")
        << u"list-venues|--db|%DIR%/other.db"_qs << QByteArray("db=%DB%\n") << true << 1
        << u"no database at %DIR%/other.db"_qs;
}

void ServerAdminTest::configFile()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, config);
    QFETCH(bool, service);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    const auto demo = demoDatabase(u"sqlite"_qs);
    const qavtest::ScratchDatabase &scratch = *demo;
    const QString path = scratch.dir() + u"/qav-server.conf"_qs;
    writeFile(path, config.replace("%DB%", scratch.url().toUtf8()));
    QStringList args = command.replace(u"%DIR%"_qs, scratch.dir()).split(u'|');
    if (!service)
        args << u"--config"_qs << path;
    says.replace(u"%DIR%"_qs, scratch.dir());
    const CliResult r = runCli(args, QDir::tempPath(), {}, service ? path : QString());
    QVERIFY2(r.exitCode == exitCode && r.all().contains(says), qPrintable(r.all()));
}

void ServerAdminTest::schemaVersions_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<int>(
        "stored"); // version found in the database; 0: the first release kept none
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says");
    for (const QString &backend : qavtest::backends()) {
        QTest::addRow("%s, first release upgraded", qPrintable(backend))
            << backend << 0 << 0 << u"gate01,1234,no"_qs;
        QTest::addRow("%s, current kept", qPrintable(backend))
            << backend << currentSchemaVersion() << 0 << u"gate01,1234,no"_qs;
        QTest::addRow("%s, newer refused", qPrintable(backend))
            << backend << currentSchemaVersion() + 1 << 1
            << u"schema version %1, newer"_qs.arg(currentSchemaVersion() + 1);
    }
}

// Dashboard accounts are retired or given a lesser role only while every venue keeps an enabled
// manager, also when two managers retire each other at the same moment.
void ServerAdminTest::aVenueKeepsAnEnabledManager()
{
    QFETCH(QString, backend);
    QAV_REQUIRE_BACKEND(backend);
    const qavtest::ScratchDatabase scratch(backend);
    auto storage = openStorage(scratch.url());
    storage->initSchema();
    storage->putVenue({u"1234"_qs, u"극장"_qs});
    const QByteArray hash = "not-checked-here";
    storage->putAdmin({u"chief"_qs, hash, {}, AdminRole::Manager});
    storage->putAdmin({u"boss"_qs, hash, u"1234"_qs, AdminRole::Manager});
    storage->putAdmin({u"desk"_qs, hash, u"1234"_qs, AdminRole::Supervisor});

    QCOMPARE(storage->retireAdmin(u"desk"_qs, true), AdminRetirement::Done);
    QCOMPARE(storage->retireAdmin(u"boss"_qs, false), AdminRetirement::Done); // chief manages 1234
    QCOMPARE(storage->retireAdmin(u"chief"_qs, true), AdminRetirement::LastManager);
    QCOMPARE(storage->retireAdmin(u"chief"_qs, false), AdminRetirement::LastManager);
    QCOMPARE(storage->retireAdmin(u"nobody"_qs, true), AdminRetirement::NotFound);
    QVERIFY(!storage->findAdmin(u"desk"_qs));
    QVERIFY(storage->findAdmin(u"boss"_qs)->disabled());
    QVERIFY(!storage->findAdmin(u"chief"_qs)->disabled());
    QCOMPARE(storage->findAdmin(u"chief"_qs)->role, AdminRole::Manager);
    // A new role is held to the same guard; a disabled account comes back with a new password.
    const SeasonAudit audit{u"chief"_qs, u"127.0.0.1"_qs, u"boss"_qs, u"-"_qs};
    QCOMPARE(storage->setAdminRole(u"chief"_qs, AdminRole::Viewer, audit),
             AdminRetirement::LastManager);
    QCOMPARE(storage->setAdminRole(u"nobody"_qs, AdminRole::Viewer, audit),
             AdminRetirement::NotFound);
    QVERIFY(!storage->enableAdmin(u"chief"_qs, "new-hash", audit)); // enabled already
    QVERIFY(storage->enableAdmin(u"boss"_qs, "new-hash", audit));
    QCOMPARE(storage->findAdmin(u"boss"_qs)->passwordHash, QByteArray("new-hash"));
    QCOMPARE(storage->findAdmin(u"chief"_qs)->role, AdminRole::Manager);

    storage->putAdmin({u"chief2"_qs, hash, {}, AdminRole::Manager});
    std::atomic<int> done{0};
    std::atomic<int> kept{0};
    auto retire = [&](const QString &id) {
        auto own = openStorage(scratch.url());
        const AdminRetirement r = own->retireAdmin(id, false);
        ++(r == AdminRetirement::Done ? done : kept);
    };
    std::thread one(retire, u"chief"_qs);
    std::thread two(retire, u"chief2"_qs);
    one.join();
    two.join();
    QCOMPARE(done.load(), 1);
    QCOMPARE(kept.load(), 1);
    QCOMPARE(storage->findAdmin(u"chief"_qs)->disabled() +
                 storage->findAdmin(u"chief2"_qs)->disabled(),
             1);
}

void ServerAdminTest::schemaVersions()
{
    QFETCH(QString, backend);
    QFETCH(int, stored);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    QAV_REQUIRE_BACKEND(backend);
    qavtest::ScratchDatabase scratch(backend);
    {
        // The first release's tables and an operator, written as that release wrote them.
        const qavtest::RawSql db(scratch.url());
        QVERIFY2(db.isOpen(), qPrintable(db.errorText()));
        QSqlQuery q(db.database());
        const QString serial = backend == QLatin1String("sqlite")
                                   ? u"INTEGER PRIMARY KEY AUTOINCREMENT"_qs
                                   : u"BIGSERIAL PRIMARY KEY"_qs;
        // The first release's tables, or every step for a versioned database.
        QStringList statements;
        for (const SchemaStep &step : schemaSteps())
            if (stored > 0 || step.version == 1)
                for (const QString &s : step.statements)
                    statements << QString(s).replace(u"%SERIAL%"_qs, serial);
        statements
            << u"INSERT INTO venues (place_code, theater_name) VALUES ('1234', 'x')"_qs
            << u"INSERT INTO operators (operator_id, password_hash, place_code) VALUES ('gate01', 'h', '1234')"_qs;
        if (stored > 0)
            statements << u"CREATE TABLE schema_version (version INTEGER NOT NULL)"_qs
                       << u"INSERT INTO schema_version VALUES (%1)"_qs.arg(stored);
        for (const QString &s : statements)
            QVERIFY2(q.exec(s), qPrintable(q.lastError().text()));
    }
    const CliResult r = runOn(scratch.url(), u"list-operators|--csv"_qs);
    QVERIFY2(r.exitCode == exitCode && r.all().contains(says), qPrintable(r.all()));
    if (exitCode == 0)
        QCOMPARE(openStorage(scratch.url())->schemaVersion(), currentSchemaVersion());
}

void ServerAdminTest::backupUnderLoad()
{
    const auto demo = demoDatabase(u"sqlite"_qs);
    const qavtest::ScratchDatabase &scratch = *demo;
    // One gate admits ticket after ticket while the copy is taken.
    QMutex mutex;
    QStringList acknowledged;
    std::atomic<bool> stop = false;
    std::unique_ptr<QThread> gate(QThread::create([&] {
        auto storage = openStorage(scratch.url());
        for (int i = 0; i < 296 && !stop; ++i) {
            const QString ticket = QString::number(10000001 + i);
            if (scanCode(*storage, u"I"_qs, ticket) == QLatin1String("0")) {
                QMutexLocker lock(&mutex);
                acknowledged << ticket;
            }
        }
    }));
    gate->start();
    QTRY_VERIFY_WITH_TIMEOUT((QMutexLocker(&mutex), acknowledged.size() >= 20), 30000);
    QStringList before;
    {
        QMutexLocker lock(&mutex);
        before = acknowledged;
    }
    const QString copy = scratch.dir() + u"/copy.db"_qs;
    const CliResult r = runOn(scratch.url(), u"backup|--to|"_qs + copy);
    stop = true;
    gate->wait();
    QVERIFY2(r.exitCode == 0, qPrintable(r.all()));

    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_qs, u"copy"_qs);
        db.setDatabaseName(copy);
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec(u"PRAGMA integrity_check"_qs) && q.next());
        QCOMPARE(q.value(0).toString(), u"ok"_qs);
        QVERIFY(
            q.exec(u"SELECT ticket_no FROM bookings WHERE bizcode = 'GRVM0001' AND inside = 1"_qs));
        QStringList inside;
        while (q.next())
            inside << q.value(0).toString();
        for (const QString &ticket : before)
            QVERIFY2(inside.contains(ticket),
                     qPrintable(ticket + u" admitted before the copy is missing"_qs));
        db.close();
    }
    QSqlDatabase::removeDatabase(u"copy"_qs);
}

// A server killed with its -wal left behind, then the backup taken before the later admissions
// put back: exactly the backup's admissions remain, and the file keeps its owner.
void ServerAdminTest::restoreAfterCrash()
{
    const auto demo = demoDatabase(u"sqlite"_qs);
    const QString db = demo->url();
    const QString folder = demo->dir() + u"/backups"_qs;
    ServerOptions options;
    options.initDatabase = false;
    options.quiet = true;
    options.databaseUrl = db;
    const auto server = startedServer(options);
    QVERIFY(server->port());
    {
        auto storage = openStorage(db);
        QCOMPARE(scanCode(*storage, u"I"_qs, u"10000001"_qs), u"0"_qs);
    }
    const CliResult backup = runOn(db, u"backup|--to|"_qs + folder + u"|--keep|1"_qs);
    QVERIFY2(backup.exitCode == 0, qPrintable(backup.all()));
    const QString copy = backup.out.trimmed();
    QVERIFY2(QDir(folder).entryList({u"qav-*.db"_qs}) == QStringList{QFileInfo(copy).fileName()},
             qPrintable(copy));
    {
        auto storage = openStorage(db);
        QCOMPARE(scanCode(*storage, u"I"_qs, u"10000002"_qs), u"0"_qs);
    }
    const CliResult refused = runOn(db, u"restore|--from|"_qs + copy);
    QVERIFY2(refused.exitCode == 1 && refused.err.contains(u"a server is serving"_qs),
             qPrintable(refused.all()));
    server->kill();
    QVERIFY2(QFileInfo(db + u"-wal"_qs).size() > 0, "the killed server left no -wal to test with");
    const bool root = ::geteuid() == 0;
    if (root)
        QVERIFY(::chown(QFile::encodeName(db).constData(), 65534, 65534) == 0);

    const CliResult restored = runOn(db, u"restore|--from|"_qs + copy);
    QVERIFY2(restored.exitCode == 0, qPrintable(restored.all()));
    auto storage = openStorage(db);
    QCOMPARE(storage->findBooking(u"GRVM0001"_qs, u"10000001"_qs)->inside, true);
    QCOMPARE(storage->findBooking(u"GRVM0001"_qs, u"10000002"_qs)->inside, false);
    struct stat st
    {
    };
    QVERIFY(::stat(QFile::encodeName(db).constData(), &st) == 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0600));
    if (root)
        QCOMPARE(st.st_uid, uid_t(65534));

    const CliResult garbage =
        runOn(db, u"restore|--from|"_qs + QStringLiteral(QAV_SOURCE_DIR "/README.md"));
    QVERIFY2(garbage.exitCode == 1 && garbage.err.contains(u"is not a SQLite database"_qs),
             qPrintable(garbage.all()));
}

// Ctrl-C in the middle of a long import: it stops between committed slices and says so, and the
// same file imported again completes it without doubling a ticket. The file comes through a pipe,
// so the test knows when the import has its database open, and then holds the write lock: the
// first slice waits until the import is told to stop, whatever the machine's speed.
void ServerAdminTest::interruptedImportCompletes()
{
    const auto demo = demoDatabase(u"sqlite"_qs);
    const QString csv = demo->dir() + u"/big.csv"_qs;
    QVERIFY(::mkfifo(QFile::encodeName(csv).constData(), 0600) == 0);
    constexpr int kRows = 60000;
    QByteArray file = "bizcode,ticket_no,cust_name,seat_grade,seat_info\n";
    for (int i = 0; i < kRows; ++i)
        file +=
            "GRVM0001,X" + QByteArray::number(i) + ",홍길동,R석,A-" + QByteArray::number(i) + '\n';
    auto total = [&] { return openStorage(demo->url())->summary(u"GRVM0001"_qs)->total; };
    const qint64 before = total();

    QProcess import;
    import.start(QStringLiteral(QAV_SERVER_BINARY),
                 {u"import-bookings"_qs, csv, u"--db"_qs, demo->url()});
    QVERIFY(import.waitForStarted());
    {
        // The import reads the file only once its database is open, so a file several times the
        // pipe's size is taken whole only then.
        QFile pipe(csv);
        QVERIFY(pipe.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        QCOMPARE(pipe.write(file), qint64(file.size()));
        const qavtest::RawSql db(demo->url());
        QVERIFY2(db.isOpen(), qPrintable(db.errorText()));
        QSqlQuery lock(db.database());
        QVERIFY2(lock.exec(u"BEGIN IMMEDIATE"_qs), qPrintable(lock.lastError().text()));
        pipe.close();

        // Catching SIGINT means it writes now, held back by the lock.
        auto catchesSigint = [&] {
            QFile status(u"/proc/%1/status"_qs.arg(import.processId()));
            if (!status.open(QIODevice::ReadOnly))
                return false;
            for (const QByteArray &line : status.readAll().split('\n'))
                if (line.startsWith("SigCgt:"))
                    return ((line.mid(7).trimmed().toULongLong(nullptr, 16) >> (SIGINT - 1)) & 1) !=
                           0;
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(catchesSigint() || import.state() == QProcess::NotRunning, 10000);
        QVERIFY2(import.state() == QProcess::Running, import.readAllStandardError().constData());
        ::kill(pid_t(import.processId()), SIGINT);
        QVERIFY2(lock.exec(u"ROLLBACK"_qs), qPrintable(lock.lastError().text()));
    }
    QVERIFY(import.waitForFinished(30000));
    const QString said = QString::fromUtf8(import.readAllStandardError());
    QVERIFY2(import.exitCode() == 1 && said.contains(u"interrupted: "_qs) &&
                 said.contains(u"Import the same file again"_qs),
             qPrintable(said));
    QVERIFY(QFile::remove(csv));
    writeFile(csv, file);
    const qint64 written = total() - before;
    QVERIFY2(written > 0 && written < kRows, qPrintable(QString::number(written)));

    const CliResult again = runOn(demo->url(), u"import-bookings|"_qs + csv);
    QVERIFY2(again.exitCode == 0 &&
                 again.out.contains(
                     u"%1 new, 0 changed, %2 unchanged"_qs.arg(kRows - written).arg(written)),
             qPrintable(again.all()));
    QCOMPARE(total(), before + kRows);
}

// Every key of the shipped settings file, uncommented, is one serve takes (the TLS files named on
// the command line do not exist, so it stops there).
void ServerAdminTest::shippedSettingsAreAccepted()
{
    QFile shipped(QStringLiteral(QAV_SOURCE_DIR "/packaging/qav-server.conf"));
    QVERIFY(shipped.open(QIODevice::ReadOnly));
    QTemporaryDir dir;
    QByteArray settings;
    static const QRegularExpression commented(QStringLiteral("^#\\s*([a-z-]+)\\s*="));
    int keys = 0;
    for (QByteArray line : shipped.readAll().split('\n')) {
        if (commented.match(QString::fromUtf8(line)).hasMatch())
            line = line.mid(1);
        if (!line.startsWith('#') && line.contains('='))
            ++keys;
        settings += line + '\n';
    }
    QVERIFY(keys >= 8);
    const QString path = dir.filePath(u"qav-server.conf"_qs);
    writeFile(path, settings);
    const CliResult r =
        runCli({u"serve"_qs, u"--config"_qs, path, u"--tls-cert"_qs, dir.filePath(u"none.crt"_qs),
                u"--tls-key"_qs, dir.filePath(u"none.key"_qs)},
               QDir::tempPath());
    QVERIFY2(r.exitCode == 1 && r.err.contains(u"none."_qs), qPrintable(r.all()));
}

// A user who may not reach the service's database hears that, not that there is none.
void ServerAdminTest::otherUserIsToldPermissionDenied()
{
    if (::geteuid() != 0)
        QSKIP("needs root to run a command as another user");
    const auto demo = demoDatabase(u"sqlite"_qs); // in a folder only root may enter
    QProcess p;
    p.setChildProcessModifier([] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(99);
    });
    p.start(QStringLiteral(QAV_SERVER_BINARY), {u"list-venues"_qs, u"--db"_qs, demo->url()});
    QVERIFY(p.waitForFinished());
    const QString said = QString::fromUtf8(p.readAllStandardError());
    QVERIFY2(p.exitCode() == 1 && said.contains(u"permission denied on "_qs + demo->url()) &&
                 said.contains(u"run as root"_qs),
             qPrintable(said));
}

QTEST_GUILESS_MAIN(ServerAdminTest)
#include "tst_server_admin.moc"
