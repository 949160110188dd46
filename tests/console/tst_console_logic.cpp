#include "console/ConsoleLogic.h"
#include "remote/RecordSet.h"
#include "shell/QavError.h"
#include "tests/support/CannedServer.h"

#include <QtTest>

using namespace console;

// What the console makes of a sign-in answer, without its window.
class TestConsoleLogic : public QObject
{
    Q_OBJECT

private slots:
    void signInOf_data()
    {
        QTest::addColumn<QStringList>("columns");
        QTest::addColumn<QVariantList>("row");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QStringList>("kept"); // bizcode, venue, goods, session key
        QTest::addColumn<int>("error");        // QavError thrown instead, 0 for none

        const QStringList plain{"ErrCode", "ErrMsg", "bizcode", "TheaterName", "GoodsName"};
        const QStringList withKey = plain + QStringList{"SessionKey"};
        const QVariantList row{"0", "ok", "B100", "큐브홀", "봄 공연"};
        const QStringList values{"B100", "큐브홀", "봄 공연"};
        const QStringList none(4, QString());
        const int in = int(SignInOutcome::SignedIn), failed = int(SignInOutcome::Failed);

        QTest::newRow("signed in with a session")
            << withKey << (row + QVariantList{" k1 "}) << in << values + QStringList{"k1"} << 0;
        QTest::newRow("server without sessions")
            << plain << row << in << values + QStringList{""} << 0;
        QTest::newRow("null session key reads as none")
            << withKey << (row + QVariantList{QVariant()}) << in << values + QStringList{""} << 0;
        QTest::newRow("-1 refuses and keeps nothing")
            << QStringList{"ErrCode", "ErrMsg"} << QVariantList{" -1 ", "no"}
            << int(SignInOutcome::Refused) << none << 0;
        QTest::newRow("-2 is no refusal")
            << plain << QVariantList{"-2", "", "B100", "큐브홀", "봄 공연"} << in
            << values + QStringList{""} << 0;
        QTest::newRow("row without a business code fails")
            << plain << QVariantList{"0", "", " ", "큐브홀", "봄 공연"} << failed
            << QStringList{"", "큐브홀", "봄 공연", ""} << 0;
        QTest::newRow("no row") << plain << QVariantList() << failed << none
                                << int(QavError::NoCurrentRow);
        QTest::newRow("venue missing") << QStringList{"ErrCode", "bizcode", "GoodsName"}
                                       << QVariantList{"0", "B100", "봄 공연"} << failed << none
                                       << int(QavError::MissingColumn);
    }
    void signInOf()
    {
        QFETCH(QStringList, columns);
        QFETCH(QVariantList, row);
        QFETCH(int, outcome);
        QFETCH(QStringList, kept);
        QFETCH(int, error);

        const RecordSet answer = RecordSet::fromJson(CannedServer::recordSetJson(
            columns, row.isEmpty() ? QList<QVariantList>{} : QList<QVariantList>{row}));
        try {
            const SignIn s = console::signInOf(answer);
            QCOMPARE(error, 0);
            QCOMPARE(int(s.outcome), outcome);
            QCOMPARE((QStringList{s.bizCode, s.venueName, s.goodsName, s.sessionKey}), kept);
        } catch (const QavError &e) {
            QCOMPARE(e.number(), error);
        }
    }
};

QTEST_MAIN(TestConsoleLogic)
#include "tst_console_logic.moc"
