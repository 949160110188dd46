#include "remote/DataSpace.h"
#include "remote/ServerAddresses.h"
#include "shell/QavError.h"
#include "tests/support/CannedServer.h"
#include "tests/support/ScriptedServer.h"

#include <QElapsedTimer>
#include <QtTest>

// Runs `body` and returns the number of the QavError it threw, or 0.
template <class F> int failureOf(F &&body, QString *description = nullptr)
{
    try {
        body();
    } catch (const QavError &e) {
        if (description)
            *description = e.description();
        return e.number();
    }
    return 0;
}

class TestRemote : public QObject
{
    Q_OBJECT

    std::unique_ptr<RecordSet> query(const QString &url,
                                     const QString &command = QStringLiteral("x"))
    {
        DataSpace ds;
        auto object = ds.CreateObject(QStringLiteral("Velmor.member"), url);
        return object->Query(command);
    }

private slots:
    void answersWithRowsAreReadByName()
    {
        CannedServer server;
        server.answer({"ErrCode", "ErrMsg", "bizcode"},
                      {{" -1 ", QStringLiteral("  입장 확인 "), QVariant()}, {"0", "second", "x"}});
        auto rs = query(server.url(), QStringLiteral("Exec 한글 '1'"));
        QCOMPARE(server.commands, QStringList{QStringLiteral("Exec 한글 '1'")});
        QCOMPARE(server.paths, QStringList{"Velmor.member"});
        QVERIFY(!rs->Eof());
        QCOMPARE(rs->Fields("ErrCode"), QStringLiteral("-1"));
        QCOMPARE(rs->Fields("errmsg"), QStringLiteral("입장 확인"));
        QVERIFY(rs->IsNull("bizcode"));
        QCOMPARE(rs->FieldsOrEmpty("bizcode"), QString());
        QCOMPARE(failureOf([&] { rs->Fields("bizcode"); }), int(QavError::NullValue));
        QCOMPARE(failureOf([&] { rs->Fields("TheaterName"); }), int(QavError::MissingColumn));
        rs->Close();
        QCOMPARE(failureOf([&] { rs->Fields("ErrCode"); }), int(QavError::RecordSetClosed));
    }

    void onlyBlanksAreTrimmed()
    {
        QCOMPARE(trimBlanks(QStringLiteral("  a b  ")), QStringLiteral("a b"));
        QCOMPARE(trimBlanks(QStringLiteral("\ta\t")), QStringLiteral("\ta\t"));
        QCOMPARE(trimBlanks(QStringLiteral("   ")), QString());
    }

    void answerWithoutRows()
    {
        CannedServer server;
        server.answer({"Total", "A"}, {});
        auto rs = query(server.url());
        QVERIFY(rs->Eof());
        QCOMPARE(failureOf([&] { rs->Fields("Total"); }), int(QavError::NoCurrentRow));
    }

    void failuresOfTheCall_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("expected");
        QTest::addColumn<QString>("shown");
        QTest::newRow("not JSON") << QByteArray("<html>") << 200 << int(QavError::BadAnswer) << "";
        QTest::newRow("JSON but no record set")
            << QByteArray("{\"rows\":[]}") << 200 << int(QavError::BadAnswer) << "";
        QTest::newRow("row shorter than the columns")
            << QByteArray("{\"columns\":[\"a\",\"b\"],\"rows\":[[\"1\"]]}") << 200
            << int(QavError::BadAnswer) << "";
        QTest::newRow("number where text belongs")
            << QByteArray("{\"columns\":[\"a\"],\"rows\":[[1]]}") << 200 << int(QavError::BadAnswer)
            << "";
        QTest::newRow("error status carries the server's text")
            << QByteArray("{\"error\":\"unknown procedure\"}") << 400
            << int(QavError::ServerRefused) << "unknown procedure";
        QTest::newRow("server failure") << QByteArray("{\"error\":\"db down\"}") << 500
                                        << int(QavError::ServerRefused) << "500";
        QTest::newRow("no session: the server's words")
            << QByteArray(R"({"error":"다시 로그인하세요"})") << 401
            << int(QavError::SessionRefused) << QStringLiteral("다시 로그인하세요 (HTTP 401)");
        QTest::newRow("no session and no words")
            << QByteArray() << 401 << int(QavError::SessionRefused)
            << QStringLiteral("다시 로그인하세요 (HTTP 401)");
        QTest::newRow("answer larger than 1 MB is refused, not read whole")
            << QByteArray(2 << 20, ' ') + QByteArray("{\"columns\":[],\"rows\":[]}") << 200
            << int(QavError::AnswerTooLarge) << "1 MB";
    }
    void failuresOfTheCall()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(int, expected);
        QFETCH(QString, shown);
        CannedServer server;
        server.answerRaw(body, status);
        // Standard error names the address and the reason.
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(u"^qav: "_qs +
                                                QRegularExpression::escape(server.url()) +
                                                u"/rds/Velmor\\.member/Query: .*"_qs +
                                                QRegularExpression::escape(shown)));
        QString description;
        QCOMPARE(failureOf([&] { query(server.url()); }, &description), expected);
        QVERIFY2(description.contains(shown), qPrintable(description));
    }

    void unreachableServer()
    {
        QString description;
        const QString url = unreachableUrl();
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(u"^qav: "_qs + QRegularExpression::escape(url) +
                                                u"/rds/Velmor\\.member/Query: .+"_qs));
        QCOMPARE(failureOf([&] { query(url); }, &description), int(QavError::ServerUnreachable));
        QVERIFY(!description.isEmpty());
    }

    void badServerAddress()
    {
        DataSpace ds;
        QCOMPARE(failureOf([&] { ds.CreateObject("Velmor.member", "not a url"); }),
                 int(QavError::BadServerAddress));
        QCOMPARE(failureOf([&] { ds.CreateObject("Velmor.member", "ftp://127.0.0.1"); }),
                 int(QavError::BadServerAddress));
    }

    void hangingServerTimesOut()
    {
        QCOMPARE(BusinessObject::timeoutMs(), 10000);
        SilentServer server;
        BusinessObject::setTimeoutMs(300);
        QElapsedTimer t;
        t.start();
        const int failure = failureOf([&] { query(server.url()); });
        BusinessObject::setTimeoutMs(BusinessObject::defaultTimeoutMs);
        QCOMPARE(failure, int(QavError::ServerTimeout));
        QVERIFY2(t.elapsed() < 5000, qPrintable(QString::number(t.elapsed())));
    }

    void noSecondQueryInsideOne()
    {
        CannedServer server;
        int nested = -1;
        // A timer that fires while the first call waits tries to start another call.
        QTimer::singleShot(0, [&] { nested = failureOf([&] { query(server.url()); }); });
        query(server.url());
        QCOMPARE(nested, int(QavError::ChannelBusy));
        QCOMPARE(server.commands.size(), 1);
        query(server.url()); // and the channel is free again afterwards
    }

    // A server name with several addresses: a host that holds the connection without answering
    // and one that refuses are passed over within the wait, with the same request and key, and the
    // station stays on the one that answered.
    void aNameWithSeveralAddressesFindsTheOneThatAnswers()
    {
        CannedServer live(QHostAddress(QStringLiteral("127.0.0.4")));
        SilentServer silent(QHostAddress(QStringLiteral("127.0.0.2")), live.port());
        const QString name = QStringLiteral("gates.qav.test");
        // 127.0.0.3: nothing listens there, the kernel refuses.
        ServerAddresses::setForTests(name, {QHostAddress(QStringLiteral("127.0.0.2")),
                                            QHostAddress(QStringLiteral("127.0.0.3")),
                                            QHostAddress(QStringLiteral("127.0.0.4"))});
        const QString url = QStringLiteral("http://%1:%2").arg(name).arg(live.port());
        DataSpace ds;
        auto object = ds.CreateObject(QStringLiteral("Velmor.member"), url);
        QueryOptions scan;
        scan.timeoutMs = 5000;
        scan.idempotencyKey = "gate01-0001";
        QElapsedTimer t;
        t.start();
        object->Query(QStringLiteral("scan"), scan);
        QVERIFY2(t.elapsed() < 4000, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(live.commands, QStringList{QStringLiteral("scan")});
        QCOMPARE(live.replayKeys, QList<QByteArray>{"gate01-0001"});
        QCOMPARE(live.hosts.value(0), url.mid(7).toUtf8());

        t.restart();
        object->Query(QStringLiteral("next"), scan);
        QVERIFY2(t.elapsed() < 1500, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(live.commands.size(), 2);

        // Nobody answers: "not checked" within the wait, never past it.
        ServerAddresses::setForTests(name, {QHostAddress(QStringLiteral("127.0.0.2")),
                                            QHostAddress(QStringLiteral("127.0.0.3"))});
        t.restart();
        QCOMPARE(failureOf([&] { object->Query(QStringLiteral("lost"), scan); }),
                 int(QavError::ServerTimeout));
        QVERIFY2(t.elapsed() < 6000, qPrintable(QString::number(t.elapsed())));
        ServerAddresses::setForTests(name, {});
    }

    // A server that takes longer than its share to answer, a sign-in on a loaded machine, is not
    // given up while the next address is tried: its answer is taken, and it is asked only once.
    void aSlowAnswerCountsWhileTheNextAddressIsTried()
    {
        ScriptedServer slow(QHostAddress(QStringLiteral("127.0.0.2")));
        slow.hold(CannedServer::recordSetJson({QStringLiteral("ErrCode")}, {{"0"}}));
        const QString name = QStringLiteral("slow.qav.test");
        // 127.0.0.3: nothing listens there, the kernel refuses.
        ServerAddresses::setForTests(name, {QHostAddress(QStringLiteral("127.0.0.2")),
                                            QHostAddress(QStringLiteral("127.0.0.3"))});
        QTimer::singleShot(ServerAddresses::answerMs + 1000, [&] { slow.release(); });
        QueryOptions options;
        options.timeoutMs = 5000;
        auto rs = DataSpace()
                      .CreateObject(QStringLiteral("Velmor.member"),
                                    QStringLiteral("http://%1:%2").arg(name).arg(slow.port()))
                      ->Query(QStringLiteral("sign in"), options);
        QVERIFY(!rs->Eof());
        QCOMPARE(slow.commands, QStringList{QStringLiteral("sign in")});
        ServerAddresses::setForTests(name, {});
    }

    void serverAddressWithAPath()
    {
        CannedServer server;
        DataSpace ds;
        auto object = ds.CreateObject("Velmor.member", server.url() + "/");
        object->Query("x");
        QCOMPARE(server.commands.size(), 1);
    }
};

QTEST_MAIN(TestRemote)
#include "tst_remote.moc"
