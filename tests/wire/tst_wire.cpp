#include "wire/command.h"
#include "wire/recordsetjson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace wire;

Q_DECLARE_METATYPE(wire::Command)

class WireTest : public QObject
{
    Q_OBJECT
private slots:
    void stationTexts_data();
    void stationTexts();
    void accepts_data();
    void accepts();
    void refuses_data();
    void refuses();
    void recordSetJson_data();
    void recordSetJson();
    void recordSetReadsBack();
    void recordSetRefuses_data();
    void recordSetRefuses();
};

// The station's texts byte for byte, and what the server reads from them: the same command.
void WireTest::stationTexts_data()
{
    QTest::addColumn<Command>("command");
    QTest::addColumn<QString>("expected");
    QTest::newRow("operator sign-in") << operatorSignIn("gate01", "pw")
                                      << "Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo 'gate01','pw'";
    QTest::newRow("operator sign-in keeps blanks")
        << operatorSignIn(" gate01 ", " ")
        << "Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo ' gate01 ',' '";
    QTest::newRow("place-code sign-in")
        << placeSignIn("1234") << "Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo '1234'";
    QTest::newRow("verification, blank before the last argument")
        << verification("O", "B", "T", "P")
        << "Exec Proc_GRVM_Admin_GetAdminQAV_BookingInfo 'O','B','','T', 'P'";
    QTest::newRow("summary") << summary("B01")
                             << "Exec Proc_GRVM_Admin_GetAdminQAV_BookingInfo 'S','B01','','',''";
    QTest::newRow("apostrophe in an operator ID is doubled")
        << operatorSignIn("a'b", "x'") << "Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo 'a''b','x'''";
    QTest::newRow("apostrophes cannot end a ticket argument")
        << verification("I", "B", "1','2", "'")
        << "Exec Proc_GRVM_Admin_GetAdminQAV_BookingInfo 'I','B','','1'',''2', ''''";
    QTest::newRow("apostrophe in a place code")
        << placeSignIn("'; drop") << "Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo '''; drop'";
    QTest::newRow("apostrophe in a business code")
        << summary("B'") << "Exec Proc_GRVM_Admin_GetAdminQAV_BookingInfo 'S','B''','','',''";
    QTest::newRow("Korean text")
        << operatorSignIn(u"관리자"_qs, u"비밀"_qs)
        << u"Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo '관리자','비밀'"_qs;
}

void WireTest::stationTexts()
{
    QFETCH(Command, command);
    QFETCH(QString, expected);
    QCOMPARE(commandText(command), expected);
    const ParsedCommand parsed = parseCommand(expected.toUtf8());
    QVERIFY2(parsed.ok(), qPrintable(parsed.error));
    QCOMPARE(parsed.command.procedure, command.procedure);
    QCOMPARE(parsed.command.args, command.args);
}

void WireTest::accepts_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("procedure");
    QTest::addColumn<QStringList>("args");

    const QString login = QString::fromLatin1(kLoginProc);
    const QString booking = QString::fromLatin1(kBookingProc);
    QTest::newRow("operator sign-in")
        << QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo 'gate01','secret'") << login
        << QStringList{"gate01", "secret"};
    QTest::newRow("place-code sign-in")
        << QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo '1234'") << login
        << QStringList{"1234"};
    QTest::newRow("verification as the station sends it")
        << QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_BookingInfo 'I','GRVM0001','','10000001', "
                      "'gate01'")
        << booking << QStringList{"I", "GRVM0001", "", "10000001", "gate01"};
    QTest::newRow("summary with empty arguments")
        << QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_BookingInfo 'S','GRVM0001','','',''")
        << booking << QStringList{"S", "GRVM0001", "", "", ""};
    QTest::newRow("doubled apostrophe is one apostrophe")
        << QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo 'a''b','''x'''") << login
        << QStringList{"a'b", "'x'"};
    QTest::newRow("blanks inside values are kept")
        << QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_BookingInfo 'I','B','','   ', ' gate 01 '")
        << booking << QStringList{"I", "B", "", "   ", " gate 01 "};
    QTest::newRow("Korean text in UTF-8")
        << QStringLiteral("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo '관리자','비밀'").toUtf8()
        << login << QStringList{QStringLiteral("관리자"), QStringLiteral("비밀")};
    QTest::newRow("comma in a value")
        << QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo 'a,b','c'") << login
        << QStringList{"a,b", "c"};
}

void WireTest::accepts()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, procedure);
    QFETCH(QStringList, args);
    const ParsedCommand parsed = parseCommand(body);
    QVERIFY2(parsed.ok(), qPrintable(parsed.error));
    QCOMPARE(parsed.command.procedure, procedure);
    QCOMPARE(parsed.command.args, args);
}

void WireTest::refuses_data()
{
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("empty body") << QByteArray();
    QTest::newRow("unknown procedure") << QByteArray("Exec Proc_Drop_Everything 'x'");
    QTest::newRow("lower-case exec")
        << QByteArray("exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo '1234'");
    QTest::newRow("leading blank")
        << QByteArray(" Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo '1234'");
    QTest::newRow("two blanks before arguments")
        << QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo  '1234'");
    QTest::newRow("no arguments") << QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo");
    QTest::newRow("sign-in with three arguments")
        << QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo 'a','b','c'");
    QTest::newRow("verification with four arguments")
        << QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_BookingInfo 'I','B','','T'");
    QTest::newRow("trailing text")
        << QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo '1234'; DROP TABLE x");
    QTest::newRow("trailing blank")
        << QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo '1234' ");
    QTest::newRow("trailing line break")
        << QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo '1234'\n");
    QTest::newRow("stray apostrophe")
        << QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo 'a'b'");
    QTest::newRow("unclosed value")
        << QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo '1234");
    QTest::newRow("unquoted argument")
        << QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo 1234");
    QTest::newRow("two blanks after comma")
        << QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo 'a',  'b'");
    QTest::newRow("blank before comma")
        << QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo 'a' ,'b'");
    QTest::newRow("dangling comma")
        << QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo 'a',");
    QTest::newRow("invalid UTF-8")
        << QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo '\xff\xfe'");
    QTest::newRow("NUL byte") << QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo '12") +
                                     QByteArray(1, '\0') + "34'";
    QTest::newRow("over 4096 bytes")
        << QByteArray("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo '" + QByteArray(4100, 'a') + "'");
}

void WireTest::refuses()
{
    QFETCH(QByteArray, body);
    const ParsedCommand parsed = parseCommand(body);
    QVERIFY(!parsed.ok());
    QVERIFY(parsed.command.procedure.isEmpty());
}

void WireTest::recordSetJson_data()
{
    QTest::addColumn<QString>("cell");
    QTest::newRow("Korean text") << u"입장 확인 1층 A열"_qs;
    QTest::newRow("quotes and backslashes") << u"say \"hi\" \\ bye"_qs;
    QTest::newRow("control characters") << u"a\nb\tc\rd\u0001e\u001f"_qs;
    QTest::newRow("empty") << u""_qs;
    QTest::newRow("null becomes JSON null") << QString();
}

// The hand-written answer reads back exactly as the JSON library would have written it.
void WireTest::recordSetJson()
{
    QFETCH(QString, cell);
    const RecordSet rs{{u"ErrCode"_qs, u"Col \"x\""_qs}, {{u"0"_qs, cell}, {u"1"_qs, u"z"_qs}}};
    QJsonParseError error{};
    const QJsonObject o = QJsonDocument::fromJson(rs.toJson(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(o.value(u"columns"_qs).toVariant().toStringList(), rs.columns);
    const QJsonValue read = o.value(u"rows"_qs)[0][1];
    QCOMPARE(read.isNull(), cell.isNull());
    QCOMPARE(read.toString(), cell);
    QCOMPARE(o.value(u"rows"_qs).toArray().size(), 2);
}

// What the server writes, the station reads back: columns, text, empty text and null apart.
void WireTest::recordSetReadsBack()
{
    const RecordSet sent{{u"ErrCode"_qs, u"ErrMsg"_qs, u"bizcode"_qs},
                         {{u"0"_qs, u"입장 \"확인\"\n"_qs, u""_qs}, {u"1"_qs, QString(), u"x"_qs}}};
    const std::optional<RecordSet> read = RecordSet::fromJson(sent.toJson());
    QVERIFY(read);
    QCOMPARE(read->columns, sent.columns);
    QCOMPARE(read->rows, sent.rows);
    QVERIFY(!read->rows[0][2].isNull());
    QVERIFY(read->rows[1][1].isNull());
    QCOMPARE(read->value(u"ErrMsg"_qs), sent.rows[0][1]);
    QVERIFY(read->value(u"errcode"_qs).isNull());
}

void WireTest::recordSetRefuses_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::newRow("not JSON") << QByteArray("{");
    QTest::newRow("an array") << QByteArray("[]");
    QTest::newRow("no rows") << QByteArray(R"({"columns":["ErrCode"]})");
    QTest::newRow("row too short") << QByteArray(R"({"columns":["a","b"],"rows":[["1"]]})");
    QTest::newRow("number value") << QByteArray(R"({"columns":["a"],"rows":[[1]]})");
    QTest::newRow("column not text") << QByteArray(R"({"columns":[1],"rows":[]})");
}

void WireTest::recordSetRefuses()
{
    QFETCH(QByteArray, json);
    QString why;
    QVERIFY(!RecordSet::fromJson(json, &why));
    QVERIFY(!why.isEmpty());
}

QTEST_GUILESS_MAIN(WireTest)
#include "tst_wire.moc"
