#include "station/StationLogic.h"

#include <QtTest>

using namespace station;

class TestStationLogic : public QObject
{
    Q_OBJECT

private slots:
    void playDateCaption_data()
    {
        QTest::addColumn<QString>("playDate");
        QTest::addColumn<QString>("expected");
        QTest::newRow("evening show") << "201012251930"
                                      << "2010년 12월25일 19시 30분 ";
        QTest::newRow("leading zeros dropped") << "201101050905"
                                               << "2011년 1월5일 9시 5분 ";
        QTest::newRow("zero minutes keep one digit") << "201101050900"
                                                     << "2011년 1월5일 9시 0분 ";
        QTest::newRow("midnight") << "201101050000"
                                  << "2011년 1월5일 0시 0분 ";
        QTest::newRow("date only leaves the time pieces empty") << "20110105"
                                                                << "2011년 1월5일 시 분 ";
        QTest::newRow("empty keeps every literal") << ""
                                                   << "년 월일 시 분 ";
        QTest::newRow("cut in the middle of the hour") << "201101051"
                                                       << "2011년 1월5일 1시 분 ";
        QTest::newRow("year only, short") << "20"
                                          << "20년 월일 시 분 ";
        QTest::newRow("longer than twelve uses the first twelve") << "20101225193045"
                                                                  << "2010년 12월25일 19시 30분 ";
        QTest::newRow("piece that is no number stands as it is") << "2010AB25x930"
                                                                 << "2010년 AB월25일 x9시 30분 ";
        QTest::newRow("Hangul year passes through") << "이천십1225"
                                                    << "이천십1년 22월5일 시 분 ";
    }
    void playDateCaption()
    {
        QFETCH(QString, playDate);
        QFETCH(QString, expected);
        QCOMPARE(station::playDateCaption(playDate), expected);
    }

    void ticketNumber_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("expected");
        QTest::newRow("short number whole") << "10000001"
                                            << "10000001";
        QTest::newRow("exactly fifteen") << "123456789012345"
                                         << "123456789012345";
        QTest::newRow("long text keeps the last fifteen") << "ABCDE123456789012345"
                                                          << "123456789012345";
        QTest::newRow("trailing blank counts") << "ABCDE12345678901234 "
                                               << "12345678901234 ";
        QTest::newRow("blanks only are not trimmed") << "   "
                                                     << "   ";
        QTest::newRow("empty box") << ""
                                   << "";
    }
    void ticketNumber()
    {
        QFETCH(QString, box);
        QFETCH(QString, expected);
        QCOMPARE(ticketNumberOf(box), expected);
    }

    void verdict_data()
    {
        QTest::addColumn<QString>("errCode");
        QTest::addColumn<bool>("refused");
        QTest::newRow("-1 refuses") << "-1" << true;
        QTest::newRow("-2 refuses") << "-2" << true;
        QTest::newRow("-3 admits") << "-3" << false;
        QTest::newRow("-4 admits") << "-4" << false;
        QTest::newRow("0 admits") << "0" << false;
        QTest::newRow("empty admits") << "" << false;
        QTest::newRow("01 admits") << "01" << false;
        QTest::newRow("-01 admits, no numeric reading") << "-01" << false;
        QTest::newRow("blank inside admits") << "- 1" << false;
    }
    void verdict()
    {
        QFETCH(QString, errCode);
        QFETCH(bool, refused);
        QCOMPARE(verdictOf(errCode) == Verdict::Refuse, refused);
    }

    void placeSignIn_data()
    {
        QTest::addColumn<QString>("errCode");
        QTest::addColumn<bool>("eof");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("0 with a row accepted") << "0" << false << true;
        QTest::newRow("-1 rejected") << "-1" << false << false;
        QTest::newRow("-2 accepted: only -1 rejects a place") << "-2" << false << true;
        QTest::newRow("no row rejected") << "0" << true << false;
    }
    void placeSignIn()
    {
        QFETCH(QString, errCode);
        QFETCH(bool, eof);
        QFETCH(bool, accepted);
        QCOMPARE(placeSignInAccepted(errCode, eof), accepted);
    }

    void logoAddress_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("expected");
        QTest::newRow("code as read") << "1234"
                                      << "http://img:1/TicketImage/GRVM/logo_1234.jpg";
        QTest::newRow("empty code") << ""
                                    << "http://img:1/TicketImage/GRVM/logo_.jpg";
        QTest::newRow("blanks kept, nothing escaped")
            << " 1 2"
            << "http://img:1/TicketImage/GRVM/logo_ 1 2.jpg";
    }
    void logoAddress()
    {
        QFETCH(QString, code);
        QFETCH(QString, expected);
        QCOMPARE(station::logoAddress(QStringLiteral("http://img:1"), code), expected);
    }

    void modeSwitch_data()
    {
        QTest::addColumn<QString>("current");
        QTest::addColumn<QStringList>("expected");
        const QStringList exit{"O", "./btn4on.jpg", "./btn4off.jpg"};
        const QStringList entry{"I", "./btn3on.jpg", "./btn3off.jpg"};
        QTest::newRow("unset switches to exit") << "" << exit;
        QTest::newRow("entry switches to exit") << "I" << exit;
        QTest::newRow("exit switches to entry") << "O" << entry;
        QTest::newRow("lower-case o is not exit") << "o" << exit;
    }
    void modeSwitch()
    {
        QFETCH(QString, current);
        QFETCH(QStringList, expected);
        const ModeSwitch next = nextMode(current);
        QCOMPARE((QStringList{next.mode, next.normalPicture, next.downPicture}), expected);
    }

    void keyCodes_data()
    {
        QTest::addColumn<int>("qtKey");
        QTest::addColumn<int>("code");
        QTest::newRow("Return is 13") << int(Qt::Key_Return) << 13;
        QTest::newRow("keypad Enter is 13") << int(Qt::Key_Enter) << 13;
        QTest::newRow("digit") << int(Qt::Key_7) << 55;
        QTest::newRow("F7") << int(Qt::Key_F7) << 118;
        QTest::newRow("arrow ignored") << int(Qt::Key_Left) << 0;
    }
    void keyCodes()
    {
        QFETCH(int, qtKey);
        QFETCH(int, code);
        QCOMPARE(keyCodeOf(qtKey), code);
    }
};

QTEST_APPLESS_MAIN(TestStationLogic)
#include "tst_station_logic.moc"
