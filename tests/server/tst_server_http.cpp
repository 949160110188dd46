// The real qav-server binary over HTTP: status codes, the body-size guard, logos, the health and
// metrics endpoints, concurrent gates on one and several server processes, and the admin command
// line.

#include "server/cli/demoseed.h"
#include "server/storage/storage.h"
#include "tests/server/testsupport.h"
#include "tests/support/GateClient.h"
#include "tests/support/RawHttp.h"
#include "tests/support/ServerProcess.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QHostInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

using namespace qav;

namespace {

const QByteArray kQueryPath = "/rds/Velmor.member/Query";

QByteArray post(const QByteArray &body, const QByteArray &path = kQueryPath,
                const QByteArray &extra = {})
{
    return "POST " + path +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain; charset=utf-8\r\n"
           "X-QAV-Client: station\r\n" +
           extra + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QByteArray chunked(const QList<QByteArray> &chunks)
{
    QByteArray out = "POST " + kQueryPath +
                     " HTTP/1.1\r\nHost: 127.0.0.1\r\nX-QAV-Client: station\r\nTransfer-Encoding: "
                     "chunked\r\n\r\n";
    for (const QByteArray &c : chunks)
        out += QByteArray::number(c.size(), 16) + "\r\n" + c + "\r\n";
    return out + "0\r\n\r\n";
}

// The sign-in as one chunk whose size line is sizeLine instead of plain hex.
QByteArray chunkSized(const QByteArray &sizeLine)
{
    return "POST " + kQueryPath +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nX-QAV-Client: station\r\n"
           "Transfer-Encoding: chunked\r\n\r\n" +
           sizeLine + "\r\n" +
           "Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo 'gate01','gate01'\r\n0\r\n\r\n";
}

QByteArray get(const QByteArray &path)
{
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

QByteArray verify(const QByteArray &mode, const QByteArray &ticket, const QByteArray &op)
{
    return qavtest::verifyText(QString::fromUtf8(mode), QString::fromUtf8(ticket),
                               QString::fromUtf8(op));
}

const QByteArray kSignIn = qavtest::signInText(QStringLiteral("gate01"), QStringLiteral("gate01"));

// The header that carries a session; %KEY% stands for the key of the test's sign-in.
const QByteArray kWithSession = "Authorization: Bearer %KEY%\r\n";

using qavtest::exchange;
using Reply = qavtest::RawReply;

QByteArray sessionKeyOf(const Reply &signIn)
{
    return signIn.column(u"SessionKey"_qs).toLatin1();
}

} // namespace

class ServerHttpTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();

    void queryStatus_data();
    void queryStatus();
    void oversizedBodyIsRefusedUnread_data();
    void oversizedBodyIsRefusedUnread();
    void limitHoldsOnKeptAliveConnection();
    void dashboardMethodsAndHosts_data();
    void dashboardMethodsAndHosts();
    void logos_data();
    void logos();
    void requestsAreLogged();
    void serviceRoutes_data();
    void serviceRoutes();
    void healthzFollowsTheDatabase_data();
    void healthzFollowsTheDatabase();
    void metricsCountAScan();
    void concurrentGatesAdmitOnce_data();
    void concurrentGatesAdmitOnce();
    void adminErrors_data();
    void adminErrors();
    void importReportsBadLines();
    void adminCommandsSetUpASignIn();

private:
    QTemporaryDir m_dir;
    std::unique_ptr<ServerProcess> m_server; // SQLite demo, shared by the simple cases
    QByteArray m_key;                        // session of gate01 on it
};

void ServerHttpTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QDir(m_dir.path()).mkpath(u"images"_qs);
    QFile logo(m_dir.filePath(u"images/logo_1234.jpg"_qs));
    QVERIFY(logo.open(QIODevice::WriteOnly));
    logo.write("\xff\xd8\xff\xe0 not really a picture \xff\xd9");
    logo.close();
    QFile secret(m_dir.filePath(u"secret.jpg"_qs));
    QVERIFY(secret.open(QIODevice::WriteOnly));
    secret.write("secret");
    secret.close();

    const QString db = m_dir.filePath(u"demo.db"_qs);
    seedDemo(*openStorage(db));
    ServerOptions options;
    options.imagesDir = m_dir.filePath(u"images"_qs);
    options.serveArguments = {u"--host-name"_qs, u"Tickets.Venue.test,box.venue.test"_qs,
                              u"--host-name"_qs, u"10.9.8.7"_qs};
    m_server = serverOn(db, options);
    QVERIFY(m_server->port());
    m_key = sessionKeyOf(exchange(m_server->port(), post(kSignIn)));
    QVERIFY(!m_key.isEmpty());
}

void ServerHttpTest::queryStatus_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");

    const QByteArray signIn = kSignIn;
    QTest::newRow("sign-in answers a record set") << post(signIn) << 200;
    QTest::newRow("verification answers a record set")
        << post(verify("I", "10000002", "gate01"), kQueryPath, kWithSession) << 200;
    QTest::newRow("verification without a session")
        << post(verify("I", "10000003", "gate01")) << 401;
    QTest::newRow("unknown procedure") << post("Exec Proc_Other 'x'") << 400;
    QTest::newRow("wrong argument count")
        << post("Exec Proc_GRVM_Admin_GetAdminQAV_BookingInfo 'S','GRVM0001'") << 400;
    QTest::newRow("trailing text") << post(signIn + " --") << 400;
    QTest::newRow("stray apostrophe")
        << post("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo '12'34'") << 400;
    QTest::newRow("invalid UTF-8")
        << post("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo '\xc3\x28'") << 400;
    QTest::newRow("NUL byte") << post(QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo '1") +
                                      QByteArray(1, '\0') + "'")
                              << 400;
    QTest::newRow("4096 bytes are read")
        << post(signIn + QByteArray(4096 - signIn.size(), ' ')) << 400;
    QTest::newRow("4097 bytes are refused")
        << post(signIn + QByteArray(4097 - signIn.size(), ' ')) << 413;
    QTest::newRow("small chunked body") << chunked({signIn.left(20), signIn.mid(20)}) << 200;
    QTest::newRow("chunked body over the limit")
        << chunked({QByteArray(3000, 'a'), QByteArray(3000, 'b')}) << 413;
    QTest::newRow("endless header")
        << post(signIn, kQueryPath, "X-Fill: " + QByteArray(20000, 'x') + "\r\n") << 413;
    QTest::newRow("unknown business object") << post(signIn, "/rds/Other.member/Query") << 404;
    QTest::newRow("unknown path") << post(signIn, "/rds/Velmor.member/Run") << 404;
    QTest::newRow("GET on the query path") << get(kQueryPath) << 405;
    // Framing that different parsers read differently is refused, not guessed at.
    const QByteArray hex = QByteArray::number(signIn.size(), 16);
    QTest::newRow("chunk size in upper-case hex") << chunkSized(hex.toUpper()) << 200;
    QTest::newRow("chunk size with leading zeros") << chunkSized("00" + hex) << 200;
    QTest::newRow("chunk size with an extension") << chunkSized(hex + ";x=1") << 200;
    QTest::newRow("chunk size with 0x") << chunkSized("0x" + hex) << 400;
    QTest::newRow("chunk size with +") << chunkSized("+" + hex) << 400;
    QTest::newRow("chunk size after a blank") << chunkSized(" " + hex) << 400;
    QTest::newRow("chunk size before a blank") << chunkSized(hex + " ") << 400;
    QTest::newRow("chunk size with a bare CR") << chunkSized(hex + "\r;x") << 400;
    QTest::newRow("bare CR in a header value") << post(signIn, kQueryPath, "X-A: b\rc\r\n") << 400;
    QTest::newRow("NUL in a header value")
        << post(signIn, kQueryPath, QByteArray("X-A: b\0c\r\n", 10)) << 400;
    QTest::newRow("empty Content-Length") // not a GET without a body (405)
        << "GET " + kQueryPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length:\r\n\r\n"
        << 400;
    QTest::newRow("Content-Length with a sign")
        << "POST " + kQueryPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: +" +
               QByteArray::number(signIn.size()) + "\r\n\r\n" + signIn
        << 400;
    QTest::newRow("Content-Length as a list")
        << "POST " + kQueryPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
               QByteArray::number(signIn.size()) + ", " + QByteArray::number(signIn.size()) +
               "\r\n\r\n" + signIn
        << 400;
    QTest::newRow("Transfer-Encoding in capitals")
        << chunked({signIn}).replace("chunked", "CHUNKED") << 200;
    QTest::newRow("Transfer-Encoding gzip, chunked")
        << chunked({signIn}).replace("chunked", "gzip, chunked") << 400;
    QTest::newRow("Transfer-Encoding twice")
        << chunked({signIn}).replace("chunked\r\n", "chunked\r\nTransfer-Encoding: chunked\r\n")
        << 400;
}

void ServerHttpTest::queryStatus()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    const Reply reply = exchange(m_server->port(), request.replace("%KEY%", m_key));
    QCOMPARE(reply.status, status);
    QVERIFY(reply.head.toLower().contains("content-type: application/json"));
    if (status == 200)
        QCOMPARE(reply.json().value(u"rows"_qs).toArray().size(), 1);
    else
        QVERIFY2(!reply.json().value(u"error"_qs).toString().isEmpty(), reply.body.constData());
}

void ServerHttpTest::oversizedBodyIsRefusedUnread_data()
{
    QTest::addColumn<bool>("isChunked");
    QTest::newRow("declared 200 MB") << false;
    QTest::newRow("chunked without end") << true;
}

void ServerHttpTest::oversizedBodyIsRefusedUnread()
{
    QFETCH(bool, isChunked);
    const qint64 rssBefore = m_server->rssKb();
    QVERIFY(rssBefore > 0);

    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_server->port());
    QVERIFY(socket.waitForConnected(10000));
    socket.write("POST " + kQueryPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                 (isChunked ? QByteArray("Transfer-Encoding: chunked\r\n")
                            : QByteArray("Content-Length: 200000000\r\n")) +
                 "\r\n");
    const QByteArray piece(1 << 20, 'x');
    QByteArray received;
    qint64 sent = 0;
    // Keep sending 64 MB regardless; the server must answer early and drop the rest.
    while (sent < 64LL << 20 && socket.state() == QAbstractSocket::ConnectedState) {
        socket.write(isChunked ? QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n"
                               : piece);
        socket.waitForBytesWritten(10000);
        sent += piece.size();
        received += socket.readAll();
    }
    Reply reply;
    while (!qavtest::takeRawReply(received, reply) && socket.waitForReadyRead(10000))
        received += socket.readAll();
    QCOMPARE(reply.status, 413);
    QVERIFY(!reply.json().value(u"error"_qs).toString().isEmpty());

    const qint64 rssAfter = m_server->rssKb();
    QVERIFY2(
        rssAfter - rssBefore < 16 * 1024,
        qPrintable(QStringLiteral("RSS grew from %1 kB to %2 kB").arg(rssBefore).arg(rssAfter)));
    // And it keeps serving.
    QCOMPARE(exchange(m_server->port(), post(kSignIn)).status, 200);
}

void ServerHttpTest::limitHoldsOnKeptAliveConnection()
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_server->port());
    QVERIFY(socket.waitForConnected(10000));
    QCOMPARE(exchange(socket, post(kSignIn)).status, 200);
    QCOMPARE(exchange(socket, post(kSignIn)).status, 200);
    QCOMPARE(exchange(socket, post(QByteArray(5000, 'a'))).status, 413);
}

void ServerHttpTest::dashboardMethodsAndHosts_data()
{
    QTest::addColumn<QByteArray>("request"); // %HOST% stands for the Host header line
    QTest::addColumn<QByteArray>("host");    // empty: none sent
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("allow");

    const QByteArray session = "GET /api/admin/session HTTP/1.1\r\n%HOST%\r\n\r\n";
    const QByteArray own = "127.0.0.1";
    const QByteArray page = "GET /dashboard/ HTTP/1.1\r\n%HOST%\r\n\r\n";
    QTest::newRow("listening address") << session << own << 401 << QByteArray();
    QTest::newRow("localhost with a port")
        << session << QByteArray("localhost:8470") << 401 << QByteArray();
    QTest::newRow("this machine's name")
        << session << QHostInfo::localHostName().toUpper().toLatin1() << 401 << QByteArray();
    QTest::newRow("name given with --host-name, with a dot")
        << session << QByteArray("tickets.venue.TEST.") << 401 << QByteArray();
    QTest::newRow("second name given")
        << session << QByteArray("box.venue.test") << 401 << QByteArray();
    QTest::newRow("address given") << session << QByteArray("10.9.8.7:80") << 401 << QByteArray();
    QTest::newRow("page for a rebound name")
        << page << QByteArray("rebound.example") << 421 << QByteArray();
    QTest::newRow("API for a rebound name")
        << session << QByteArray("rebound.example:8470") << 421 << QByteArray();
    QTest::newRow("own address inside a name")
        << session << QByteArray("127.0.0.1.rebound.example") << 421 << QByteArray();
    QTest::newRow("another address") << session << QByteArray("10.9.8.6") << 421 << QByteArray();
    QTest::newRow("no Host") << session << QByteArray() << 421 << QByteArray();
    QTest::newRow("sign-in for a rebound name")
        << QByteArray("POST /api/admin/sign-in HTTP/1.1\r\n%HOST%\r\nContent-Length: 2\r\n\r\n{}")
        << QByteArray("rebound.example") << 421 << QByteArray();
    // The gates call a fixed address, which may be a name this machine does not know as its own.
    QTest::newRow("gate under any name") << post(kSignIn).replace("Host: 127.0.0.1", "%HOST%")
                                         << QByteArray("qav-server") << 200 << QByteArray();

    QTest::newRow("PUT on a reading call")
        << QByteArray(session).replace("GET", "PUT") << own << 405 << QByteArray("GET, HEAD");
    QTest::newRow("DELETE on a reading call")
        << QByteArray("DELETE /api/performances HTTP/1.1\r\n%HOST%\r\n\r\n") << own << 405
        << QByteArray("GET, HEAD");
    QTest::newRow("OPTIONS on a reading call")
        << QByteArray("OPTIONS /api/dashboard HTTP/1.1\r\n%HOST%\r\n\r\n") << own << 405
        << QByteArray("GET, HEAD");
    QTest::newRow("GET on sign-in")
        << QByteArray("GET /api/admin/sign-in HTTP/1.1\r\n%HOST%\r\n\r\n") << own << 405
        << QByteArray("POST");
    QTest::newRow("PUT on a writing call")
        << QByteArray("PUT /api/manual-scan HTTP/1.1\r\n%HOST%\r\nContent-Length: 2\r\n\r\n{}")
        << own << 405 << QByteArray("POST");
    QTest::newRow("POST on the page")
        << QByteArray(page).replace("GET", "POST") << own << 405 << QByteArray("GET, HEAD");
}

// The dashboard answers only under this server's names, and only the methods each path takes.
void ServerHttpTest::dashboardMethodsAndHosts()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, host);
    QFETCH(int, status);
    QFETCH(QByteArray, allow);
    if (host.isEmpty())
        request.replace("%HOST%\r\n", "");
    else
        request.replace("%HOST%", "Host: " + host);
    const Reply reply = exchange(m_server->port(), request);
    QCOMPARE(reply.status, status);
    const QByteArray head = (reply.head + "\r\n").toLower();
    if (!allow.isEmpty())
        QVERIFY2(head.contains("\r\nallow: " + allow.toLower() + "\r\n"), reply.head.constData());
    // Plain HTTP: nothing to keep a browser on.
    QVERIFY(!head.contains("strict-transport-security"));
}

void ServerHttpTest::logos_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<int>("status");
    QTest::newRow("logo of a venue") << QByteArray("/TicketImage/GRVM/logo_1234.jpg") << 200;
    QTest::newRow("venue without logo") << QByteArray("/TicketImage/GRVM/logo_9999.jpg") << 404;
    QTest::newRow("encoded slash cannot leave the folder")
        << QByteArray("/TicketImage/GRVM/logo_..%2Fsecret.jpg") << 404;
    QTest::newRow("dots cannot leave the folder")
        << QByteArray("/TicketImage/GRVM/logo_../../secret.jpg") << 404;
    QTest::newRow("other folder") << QByteArray("/TicketImage/OTHER/logo_1234.jpg") << 404;
    QTest::newRow("other extension") << QByteArray("/TicketImage/GRVM/logo_1234.png") << 404;
}

void ServerHttpTest::logos()
{
    QFETCH(QByteArray, path);
    QFETCH(int, status);
    const Reply reply = exchange(m_server->port(), get(path));
    QCOMPARE(reply.status, status);
    if (status == 200) {
        QVERIFY(reply.head.toLower().contains("content-type: image/jpeg"));
        QVERIFY(reply.body.startsWith("\xff\xd8"));
    } else {
        QVERIFY(!reply.body.contains("secret"));
    }
}

void ServerHttpTest::requestsAreLogged()
{
    QCOMPARE(exchange(m_server->port(), post(verify("I", "99999999", "gate01"), kQueryPath,
                                             "Authorization: Bearer " + m_key + "\r\n"))
                 .status,
             200);
    // UTC time, level, client address, procedure, result, duration.
    static const QRegularExpression line(
        u"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d+Z info 127\\.0\\.0\\.1 BookingInfo/I -1 \\d+\\.\\d\\dms"_qs);
    QTRY_VERIFY(line.match(m_server->log()).hasMatch());
}

void ServerHttpTest::serviceRoutes_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("header");
    QTest::newRow("root sends a browser to the dashboard")
        << get("/") << 303 << QByteArray("location: /dashboard/");
    QTest::newRow("health check takes only reads")
        << post("x", "/healthz") << 405 << QByteArray("allow: get, head");
    QTest::newRow("metrics are text for a scraper")
        << get("/metrics") << 200 << QByteArray("content-type: text/plain; version=0.0.4");
}

void ServerHttpTest::serviceRoutes()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(QByteArray, header);
    const Reply reply = exchange(m_server->port(), request);
    QCOMPARE(reply.status, status);
    QVERIFY2(reply.head.toLower().contains(header), reply.head.constData());
}

void ServerHttpTest::healthzFollowsTheDatabase_data()
{
    QTest::addColumn<bool>("damaged");
    QTest::addColumn<int>("status");
    QTest::newRow("database answers") << false << 200;
    QTest::newRow("database file damaged on disk") << true << 503;
}

void ServerHttpTest::healthzFollowsTheDatabase()
{
    QFETCH(bool, damaged);
    QFETCH(int, status);
    QTemporaryDir dir;
    const QString db = dir.filePath(u"health.db"_qs);
    openStorage(db)->initSchema();
    const auto server = serverOn(db);
    QVERIFY(server->port());
    if (damaged) {
        // What a failing disk leaves: the server's connections open on their first request and
        // find no database in the file. Works for root too, unlike taking the file's permissions.
        QFile file(db);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QByteArray(8192, '\x5a'));
        file.close();
        QFile::remove(db + u"-wal"_qs);
        QFile::remove(db + u"-shm"_qs);
    }
    const Reply reply = exchange(server->port(), get("/healthz"));
    QCOMPARE(reply.status, status);
    if (damaged) {
        QVERIFY2(!reply.body.contains("health.db"),
                 reply.body.constData()); // no detail to the public
        QTRY_VERIFY(server->log().contains(u"health check failed"_qs));
    } else {
        QCOMPARE(reply.body, QByteArray("ok\n"));
    }
}

void ServerHttpTest::metricsCountAScan()
{
    // One sample per line: name, optional labels, value; comments name the families.
    static const QRegularExpression sample(
        uR"(^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="[^"\\\n]*",?)*\})? (-?[0-9.e+-]+|\+Inf)$)"_qs);
    static const QRegularExpression comment(u"^# (HELP|TYPE) ([a-zA-Z_:][a-zA-Z0-9_:]*) .+$"_qs);
    auto scrape = [&](QHash<QString, double> &values) {
        const Reply reply = exchange(m_server->port(), get("/metrics"));
        QCOMPARE(reply.status, 200);
        QSet<QString> typed;
        for (const QByteArray &raw : reply.body.split('\n')) {
            const QString line = QString::fromUtf8(raw);
            if (line.isEmpty())
                continue;
            if (const auto c = comment.match(line); c.hasMatch()) {
                if (c.captured(1) == u"TYPE"_qs)
                    typed << c.captured(2);
                continue;
            }
            const auto m = sample.match(line);
            QVERIFY2(m.hasMatch(), qPrintable(line));
            QString family = m.captured(1);
            family.remove(QRegularExpression(u"_(bucket|sum|count)$"_qs));
            QVERIFY2(typed.contains(m.captured(1)) || typed.contains(family), qPrintable(line));
            values.insert(m.captured(1) + m.captured(2), m.captured(4).toDouble());
        }
    };
    QHash<QString, double> before, after;
    scrape(before);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(exchange(m_server->port(), post(verify("I", "10000011", "gate01"), kQueryPath,
                                             "Authorization: Bearer " + m_key + "\r\n"))
                 .code(),
             u"0"_qs);
    scrape(after);
    if (QTest::currentTestFailed())
        return;
    const QString entered = u"qav_scans_total{result=\"entered\"}"_qs;
    QCOMPARE(after.value(entered), before.value(entered) + 1);
    QCOMPARE(after.value(u"qav_scan_duration_seconds_count"_qs),
             before.value(u"qav_scan_duration_seconds_count"_qs) + 1);
    QCOMPARE(after.value(u"qav_scan_duration_seconds_bucket{le=\"+Inf\"}"_qs),
             after.value(u"qav_scan_duration_seconds_count"_qs));
    QVERIFY(after.value(u"qav_http_open_connections"_qs) >= 1);
}

void ServerHttpTest::concurrentGatesAdmitOnce_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<int>("processes");
    for (const QString &backend : qavtest::backends()) {
        QTest::addRow("%s, one server", qPrintable(backend)) << backend << 1;
        QTest::addRow("%s, three servers on one database", qPrintable(backend)) << backend << 3;
    }
}

void ServerHttpTest::concurrentGatesAdmitOnce()
{
    QFETCH(QString, backend);
    QFETCH(int, processes);
    QAV_REQUIRE_BACKEND(backend);
    qavtest::ScratchDatabase scratch(backend);
    seedDemo(*openStorage(scratch.url()));

    std::vector<std::unique_ptr<ServerProcess>> servers;
    for (int i = 0; i < processes; ++i) {
        servers.push_back(serverOn(scratch.url()));
        QVERIFY(servers.back()->port());
    }
    // One operator's session serves every gate and, kept in the database, every server process.
    const QByteArray key = sessionKeyOf(exchange(servers[0]->port(), post(kSignIn)));
    QVERIFY(!key.isEmpty());

    constexpr int kGates = 24;
    const QByteArray ticket = "10000050";
    for (const QByteArray &mode : {QByteArray("I"), QByteArray("O")}) {
        std::vector<std::unique_ptr<QTcpSocket>> sockets;
        for (int i = 0; i < kGates; ++i) {
            sockets.push_back(std::make_unique<QTcpSocket>());
            sockets.back()->connectToHost(QHostAddress::LocalHost,
                                          servers[size_t(i % processes)]->port());
        }
        for (auto &s : sockets)
            QVERIFY(s->waitForConnected(10000));
        // All requests leave together; answers are collected as they come.
        QStringList codes;
        std::vector<QByteArray> buffers(kGates);
        for (int i = 0; i < kGates; ++i) {
            QTcpSocket *s = sockets[size_t(i)].get();
            QObject::connect(s, &QTcpSocket::readyRead, s, [&, s, i] {
                buffers[size_t(i)] += s->readAll();
                Reply r;
                if (qavtest::takeRawReply(buffers[size_t(i)], r))
                    codes << (r.status == 200 ? r.code() : QString::number(r.status));
            });
        }
        for (int i = 0; i < kGates; ++i)
            sockets[size_t(i)]->write(post(verify(mode, ticket, "gate01"), kQueryPath,
                                           "Authorization: Bearer " + key + "\r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(codes.size(), kGates, 60000);
        const QString accepted = mode == "I" ? u"0"_qs : u"2"_qs;
        QCOMPARE(codes.count(accepted), 1);
        QCOMPARE(codes.count(u"-2"_qs), kGates - 1);
    }

    int audited = 0;
    for (const ScanLogEntry &e :
         openStorage(scratch.url())->scanLog(QString::fromLatin1(demo::kTodayBizcode)))
        audited += e.ticketRaw == QLatin1String(ticket) ? 1 : 0;
    QCOMPARE(audited, 2 * kGates);
}

void ServerHttpTest::adminErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says");

    QTest::newRow("bad database URL")
        << QStringList{u"init-db"_qs, u"--db"_qs, u"mysql://x/y"_qs} << 1 << u"bad database URL"_qs;
    QTest::newRow("PostgreSQL URL without database")
        << QStringList{u"init-db"_qs, u"--db"_qs, u"postgresql://u@127.0.0.1:5432"_qs} << 1
        << u"bad database URL"_qs;
    QTest::newRow("unreachable PostgreSQL")
        << QStringList{u"init-db"_qs, u"--db"_qs, u"postgresql://u@127.0.0.1:1/db"_qs} << 1
        << u"cannot connect"_qs;
    QTest::newRow("unreadable CSV")
        << QStringList{u"import-bookings"_qs, u"/nonexistent/bookings.csv"_qs} << 1
        << u"cannot read /nonexistent/bookings.csv"_qs;
    QTest::newRow("port in use") << QStringList{u"serve"_qs, u"--port"_qs, u"%BUSY%"_qs} << 1
                                 << u"cannot listen on 127.0.0.1:"_qs;
    QTest::newRow("bad port") << QStringList{u"serve"_qs, u"--port"_qs, u"http"_qs} << 2
                              << u"bad port"_qs;
    QTest::newRow("unknown command") << QStringList{u"frobnicate"_qs} << 2 << u"unknown command"_qs;
    QTest::newRow("missing argument")
        << QStringList{u"add-venue"_qs, u"1234"_qs} << 2 << u"expected 2 argument(s)"_qs;
    QTest::newRow("bad session idle time")
        << QStringList{u"serve"_qs, u"--session-idle"_qs, u"forever"_qs} << 2
        << u"bad --session-idle"_qs;
    QTest::newRow("revoking a session that does not exist")
        << QStringList{u"revoke-session"_qs, u"abcdef0123"_qs} << 1
        << u"unknown session 'abcdef0123'"_qs;
    QTest::newRow("bad start time")
        << QStringList{u"add-performance"_qs, u"B"_qs, u"1234"_qs, u"G"_qs, u"tonight"_qs, u"H"_qs}
        << 2 << u"bad date-time"_qs;
    for (const char *cmd :
         {"serve", "init-db", "add-venue", "add-performance", "add-operator", "import-bookings",
          "seed-demo", "summary", "sessions", "revoke-session", "sign-ins"})
        QTest::addRow("%s --help", cmd) << QStringList{QString::fromLatin1(cmd), u"--help"_qs} << 0
                                        << u"Usage: qav-server "_qs + QString::fromLatin1(cmd);
}

void ServerHttpTest::adminErrors()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    QTcpServer busy;
    QVERIFY(busy.listen(QHostAddress::LocalHost));
    args.replaceInStrings(u"%BUSY%"_qs, QString::number(busy.serverPort()));
    QTemporaryDir dir;
    QCOMPARE(runCli({u"init-db"_qs}, dir.path()).exitCode, 0);
    const CliResult r = runCli(args, dir.path());
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2((r.out + r.err).contains(says), qPrintable(r.out + r.err));
}

void ServerHttpTest::importReportsBadLines()
{
    QTemporaryDir dir;
    QVERIFY(runCli({u"init-db"_qs}, dir.path()).exitCode == 0);
    QVERIFY(runCli({u"seed-demo"_qs}, dir.path()).exitCode == 0);
    const QString csv = dir.filePath(u"bookings.csv"_qs);
    auto writeCsv = [&](const QByteArray &text) {
        QFile f(csv);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(text);
    };
    writeCsv("bizcode,ticket_no,cust_name,seat_grade,seat_info,cancelled\n"
             "GRVM0001,T-1,\"김, 철수\",R석,1층 B열 3번,0\n"
             "NOPE,T-2,이영희,R석,1층 B열 4번\n"
             "GRVM0001,T-3,박민수\n"
             "GRVM0001,T-1,김철수,R석,1층 B열 3번\n"
             "GRVM0001,T-4,최지우,S석,2층 A열 1번,maybe\n");
    CliResult r = runCli({u"import-bookings"_qs, csv}, dir.path());
    QCOMPARE(r.exitCode, 1);
    for (const char *expected :
         {"line 3: unknown performance 'NOPE'", "line 4: expected 5 or 6 fields, found 3",
          "line 5: ticket T-1 appears twice", "line 6: cancelled must be 0 or 1",
          "4 bad line(s); nothing imported"})
        QVERIFY2(r.err.contains(QString::fromUtf8(expected)), qPrintable(r.err));
    QVERIFY(!r.err.contains(u"line 2:"_qs));

    writeCsv("\xef\xbb\xbf"
             "bizcode,ticket_no,cust_name,seat_grade,seat_info,cancelled\r\n"
             "GRVM0001,T-1,\"김, 철수\",R석,1층 B열 3번,0\r\n"
             "GRVM0001,T-2,이영희,R석,1층 B열 4번,1\r\n");
    r = runCli({u"import-bookings"_qs, csv}, dir.path());
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.contains(u"2 booking(s) imported"_qs));

    auto storage = openStorage(dir.filePath(u"qav.db"_qs));
    ScanOutcome ok = storage->scan({u"I"_qs, u"GRVM0001"_qs, u"T-1"_qs, u"gate01"_qs, 0});
    QCOMPARE(ok.code, u"0"_qs);
    QCOMPARE(ok.booking.custName, u"김, 철수"_qs);
    QCOMPARE(storage->scan({u"I"_qs, u"GRVM0001"_qs, u"T-2"_qs, u"gate01"_qs, 0}).result,
             ScanResult::Cancelled);
}

void ServerHttpTest::adminCommandsSetUpASignIn()
{
    QTemporaryDir dir;
    const QString today = QDate::currentDate().toString(u"yyyy-MM-dd"_qs);
    QCOMPARE(runCli({u"init-db"_qs}, dir.path()).exitCode, 0);
    QCOMPARE(runCli({u"add-venue"_qs, u"777"_qs, u"별빛 극장"_qs}, dir.path()).exitCode, 0);
    QCOMPARE(runCli({u"add-performance"_qs, u"B777"_qs, u"777"_qs, u"오페라 달빛"_qs,
                     today + u" 20:00"_qs, u"소극장"_qs},
                    dir.path())
                 .exitCode,
             0);
    CliResult r = runCli({u"add-operator"_qs, u"usher"_qs, u"--venue"_qs, u"777"_qs}, dir.path(),
                         "s3cret pw\n");
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));

    ServerOptions options;
    options.initDatabase = false;
    options.folder = dir.path();
    const auto server = startedServer(options);
    QVERIFY(server->port());
    const Reply reply =
        exchange(server->port(), post(qavtest::signInText(u"usher"_qs, u"s3cret pw"_qs)));
    QCOMPARE(reply.code(), u"0"_qs);
    const QJsonArray row = reply.json().value(u"rows"_qs)[0].toArray();
    QCOMPARE(row.at(2).toString(), u"B777"_qs);
    QCOMPARE(row.at(3).toString(), u"별빛 극장"_qs);
    QCOMPARE(row.at(4).toString(), u"오페라 달빛"_qs);

    r = runCli({u"summary"_qs, u"B777"_qs}, dir.path());
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.contains(u"총 예매 0"_qs));
}

QTEST_GUILESS_MAIN(ServerHttpTest)
#include "tst_server_http.moc"
