// Excel workbooks: bookings imported from .xlsx files made by libxlsxwriter and by hand (what
// Excel itself writes and libxlsxwriter never does), workbooks refused whole with nothing
// written, and the audit written as a workbook and read back.

#include "server/cli/demoseed.h"
#include "server/export/auditexport.h"
#include "server/export/csvlines.h"
#include "server/import/bookingimport.h"
#include "server/import/xlsxsheet.h"
#include "server/storage/auditseal.h"
#include "server/storage/storage.h"
#include "tests/server/workbooks.h"
#include "tests/support/ServerProcess.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>
#include <cstring>
#include <functional>

#include <xlsxwriter.h>
#include <zip.h>

using namespace qav;

// Declared before the workbooks' XML, whose raw strings moc does not read.
class ServerXlsxTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void workbookImports_data();
    void workbookImports();
    void importCommandByContent_data();
    void importCommandByContent();
    void limitsRefuseTheWholeFile_data();
    void limitsRefuseTheWholeFile();
    void auditWorkbookReadsBack();

private:
    QString demoCopy(const QTemporaryDir &dir) const;

    QTemporaryDir m_template;
};

namespace {

const QString kBizcode = QString::fromLatin1(demo::kTodayBizcode);

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A zip archive in memory holding parts, deflated, made by libzip.
QByteArray zipOf(const QList<std::pair<QString, QByteArray>> &parts)
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t *buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
    zip_t *archive = zip_open_from_source(buffer, ZIP_CREATE | ZIP_TRUNCATE, &error);
    zip_source_keep(buffer);
    for (const auto &[name, data] : parts) {
        // libzip frees the copy with free() once the archive is written.
        void *copy = std::malloc(size_t(data.size()));
        std::memcpy(copy, data.constData(), size_t(data.size()));
        zip_source_t *source = zip_source_buffer(archive, copy, zip_uint64_t(data.size()), 1);
        zip_file_add(archive, name.toUtf8().constData(), source, ZIP_FL_ENC_UTF_8);
    }
    zip_close(archive);
    QByteArray out;
    zip_stat_t st;
    if (zip_source_stat(buffer, &st) == 0 && zip_source_open(buffer) == 0) {
        out.resize(qsizetype(st.size));
        zip_source_read(buffer, out.data(), st.size);
        zip_source_close(buffer);
    }
    zip_source_free(buffer);
    return out;
}

// The archive with the uncompressed size of part name, in its local and central headers, set
// to bytes: what a zip bomb declares.
QByteArray withDeclaredSize(QByteArray zip, const QByteArray &name, quint32 bytes)
{
    auto u16 = [&](qsizetype at) { return quint16(uchar(zip[at]) | uchar(zip[at + 1]) << 8); };
    auto patch = [&](const char *signature, int nameLength, int nameAt, int sizeAt) {
        for (qsizetype at = 0; (at = zip.indexOf(signature, at)) >= 0; ++at)
            if (zip.mid(at + nameAt, u16(at + nameLength)) == name)
                for (int i = 0; i < 4; ++i)
                    zip[at + sizeAt + i] = char(bytes >> (8 * i));
    };
    patch("PK\x03\x04", 26, 30, 22);
    patch("PK\x01\x02", 28, 46, 24);
    return zip;
}

// The parts of a workbook whose sheets are named by workbookXml with relationships rels.
QList<std::pair<QString, QByteArray>> workbookParts(const QByteArray &workbookXml,
                                                    const QByteArray &rels)
{
    const QByteArray relsStart =
        R"(<?xml version="1.0"?><Relationships xmlns=")"
        R"(http://schemas.openxmlformats.org/package/2006/relationships">)";
    const QByteArray ns =
        R"(xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" )"
        R"(xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships")";
    return {{u"_rels/.rels"_qs,
             relsStart + R"(<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/)"
                         R"(officeDocument/2006/relationships/officeDocument" )"
                         R"(Target="xl/workbook.xml"/></Relationships>)"},
            {u"xl/workbook.xml"_qs,
             "<workbook " + ns + "><sheets>" + workbookXml + "</sheets></workbook>"},
            {u"xl/_rels/workbook.xml.rels"_qs, relsStart + rels + "</Relationships>"}};
}

QByteArray relationship(const char *id, const char *type, const char *target)
{
    return QByteArray(R"(<Relationship Id=")") + id +
           R"(" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/)" +
           type + R"(" Target=")" + target + R"("/>)";
}

QByteArray worksheet(const QByteArray &rows)
{
    return R"(<?xml version="1.0"?><worksheet xmlns="http://schemas.openxmlformats.org/)"
           R"(spreadsheetml/2006/main"><sheetData>)" +
           rows + "</sheetData></worksheet>";
}

// What Excel writes and libxlsxwriter does not: a first sheet that is not sheet1.xml (which
// holds a decoy), shared strings in rich text runs with a phonetic run, inline strings with
// _xHHHH_ escapes, a number in exponent form, a formula's text, rows and cells left out.
QByteArray handMadeWorkbook()
{
    QList<std::pair<QString, QByteArray>> parts = workbookParts(
        R"(<sheet name="예매" sheetId="3" r:id="rId7"/><sheet name="Sheet1" sheetId="1" r:id="rId1"/>)",
        relationship("rId1", "worksheet", "worksheets/sheet1.xml") +
            relationship("rId7", "worksheet", "/xl/worksheets/data.xml") +
            relationship("rId9", "sharedStrings", "sharedStrings.xml"));
    parts << std::pair{u"xl/sharedStrings.xml"_qs,
                       QByteArray(R"(<?xml version="1.0"?><sst xmlns="http://schemas.)"
                                  R"(openxmlformats.org/spreadsheetml/2006/main">)"
                                  "<si><t>예매번호</t></si><si><t>이름</t></si><si><t>좌석</t></si>"
                                  "<si><r><t>김</t></r><r><rPr><b/></rPr><t>철수</t></r>"
                                  R"(<rPh sb="0" eb="1"><t>キム</t></rPh><phoneticPr fontId="1"/>)"
                                  "</si></sst>")};
    parts << std::pair{
        u"xl/worksheets/data.xml"_qs,
        worksheet(R"(<row r="1"><c r="A1" t="s"><v>0</v></c>)"
                  R"(<c r="B1" t="inlineStr"><is><t>공연코드</t></is></c>)"
                  R"(<c r="C1" t="s"><v>1</v></c><c r="D1" t="s"><v>2</v></c></row>)"
                  R"(<row r="5"><c r="A5"><v>7.7000011E7</v></c>)"
                  R"(<c r="B5" t="inlineStr"><is><t>GRVM0001</t></is></c>)"
                  R"(<c r="C5" t="s"><v>3</v></c></row>)"
                  R"(<row r="6"><c r="A6" t="inlineStr"><is><t>T-9_x000D_</t></is></c>)"
                  R"(<c r="B6" t="str"><f>"GRVM"&amp;"0001"</f><v>GRVM0001</v></c>)"
                  R"(<c r="C6" t="inlineStr"><is><t>A_x005F_x0041_B</t></is></c>)"
                  R"(<c r="D6" t="inlineStr"><is><t xml:space="preserve">)"
                  R"(1층_x000D__x000A_B열 </t></is></c></row>)")};
    parts << std::pair{
        u"xl/worksheets/sheet1.xml"_qs,
        worksheet(R"(<row r="1"><c r="A1" t="inlineStr"><is><t>bizcode</t></is></c>)"
                  R"(<c r="B1" t="inlineStr"><is><t>ticket_no</t></is></c></row>)"
                  R"(<row r="2"><c r="A2" t="inlineStr"><is><t>GRVM0001</t></is></c>)"
                  R"(<c r="B2" t="inlineStr"><is><t>DECOY</t></is></c></row>)")};
    return zipOf(parts);
}

// A workbook as libxlsxwriter makes it: Korean header and names, ticket numbers as numbers and
// as text, a seat left empty; extra rows after those.
QByteArray writerWorkbook(const QString &folder,
                          const std::function<void(lxw_worksheet *, lxw_row_t)> &more = {})
{
    return qavtest::writtenWorkbook(
        folder + u"/made.xlsx"_qs,
        {{u"예매번호"_qs, u"공연코드"_qs, u"예매자명"_qs, u"좌석등급"_qs, u"좌석정보"_qs},
         {77000001.0, u"GRVM0001"_qs, u"박영희"_qs, u"R석"_qs},
         {u"0077002"_qs, u"GRVM0001"_qs, u"최민수"_qs, u"S석"_qs, u"2층 C열 5번"_qs}},
        "예매 목록", more);
}

} // namespace

void ServerXlsxTest::initTestCase()
{
    seedDemo(*openStorage(m_template.filePath(u"demo.db"_qs)));
}

QString ServerXlsxTest::demoCopy(const QTemporaryDir &dir) const
{
    const QString db = dir.filePath(u"demo.db"_qs);
    QFile::copy(m_template.filePath(u"demo.db"_qs), db);
    return db;
}

void ServerXlsxTest::workbookImports_data()
{
    QTest::addColumn<QByteArray>("workbook");
    QTest::addColumn<QStringList>("problems");
    QTest::addColumn<QStringList>("stored"); // "ticket|name|seat" after writing it

    QTemporaryDir dir;
    QTest::newRow("made by libxlsxwriter: numbers whole, text kept, empty cell empty")
        << writerWorkbook(dir.path()) << QStringList()
        << QStringList{u"77000001|박영희|"_qs, u"0077002|최민수|2층 C열 5번"_qs};
    QTest::newRow("made by hand: first sheet by the workbook, rich and inline text, escapes")
        << handMadeWorkbook() << QStringList()
        << QStringList{u"77000011|김철수|"_qs, u"T-9|A_x0041_B|1층 B열"_qs};
    QTest::newRow("16-digit number refused, nothing written")
        << writerWorkbook(dir.path(),
                          [](lxw_worksheet *sheet, lxw_row_t row) {
                              worksheet_write_number(sheet, row, 0, 1234567890123456.0, nullptr);
                              worksheet_write_string(sheet, row, 1, "GRVM0001", nullptr);
                          })
        << QStringList{u"line 4: column A: the number 1234567890123456 has more than 15 digits, "
                       "which Excel cuts (its last ones are lost already); make the column text "
                       "before entering numbers this long"_qs}
        << QStringList();
}

void ServerXlsxTest::workbookImports()
{
    QFETCH(QByteArray, workbook);
    QFETCH(QStringList, problems);
    QFETCH(QStringList, stored);
    QTemporaryDir dir;
    auto storage = openStorage(demoCopy(dir));
    const qsizetype before = storage->bookings(kBizcode).size();

    const BookingImport plan = planBookingImport(*storage, workbook);
    QCOMPARE(plan.problems, problems);
    writeBookingImport(*storage, plan);
    QCOMPARE(storage->bookings(kBizcode).size(), before + stored.size());
    for (const QString &s : std::as_const(stored)) {
        const QStringList want = s.split(u'|');
        const auto b = storage->findBooking(kBizcode, want[0]);
        QVERIFY2(b, qPrintable(want[0]));
        QCOMPARE(QStringList({b->booking.ticketNo, b->booking.custName, b->booking.seatInfo}),
                 want);
    }
    QVERIFY(!storage->findBooking(kBizcode, u"DECOY"_qs));
}

void ServerXlsxTest::importCommandByContent_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says");
    QTest::addColumn<int>("added");

    QTemporaryDir dir;
    const QByteArray workbook = writerWorkbook(dir.path());
    QTest::newRow("workbook named .dat, found by its content")
        << u"bookings.dat"_qs << workbook << 0 << u"(xlsx, sheet '예매 목록'): 2 new"_qs << 2;
    // A part declaring 100 bytes that inflates to a megabyte.
    const QByteArray bomb = withDeclaredSize(
        zipOf(workbookParts(R"(<sheet name="a" sheetId="1" r:id="rId1"/>)",
                            relationship("rId1", "worksheet", "worksheets/sheet1.xml")) +
              QList<std::pair<QString, QByteArray>>{
                  {u"xl/worksheets/sheet1.xml"_qs, worksheet(QByteArray(1 << 20, ' '))}}),
        "xl/worksheets/sheet1.xml", 100);
    QTest::newRow("zip bomb refused")
        << u"bookings.xlsx"_qs << bomb << 1
        << u"the workbook's part xl/worksheets/sheet1.xml inflates past the 100 bytes its header "
           "declares: a damaged file or a zip bomb; nothing imported"_qs
        << 0;
    QTest::newRow("web page named .xlsx refused")
        << u"bookings.xlsx"_qs
        << QByteArray("<html xmlns:x=\"urn:schemas-microsoft-com:office:excel\">\r\n<table><tr>"
                      "<td>GRVM0001</td><td>1</td></tr></table></html>")
        << 1 << u"the file is a web page (HTML)"_qs << 0;
    QTest::newRow("tab text named .xls read as text")
        << u"bookings.xls"_qs << u"공연코드\t예매번호\nGRVM0001\tT-1\n"_qs.toUtf8() << 0
        << u"bookings.xls is UTF-8 text, not an Excel workbook: read as text"_qs << 1;
}

// The command finds a workbook by its content, not its name, and refuses what is none.
void ServerXlsxTest::importCommandByContent()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    QFETCH(int, added);
    QTemporaryDir dir;
    const QString db = demoCopy(dir);
    const qsizetype before = openStorage(db)->bookings(kBizcode).size();
    QFile file(dir.filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();

    const CliResult r =
        runCli({u"import-bookings"_qs, file.fileName(), u"--db"_qs, db}, dir.path());
    QVERIFY2(r.exitCode == exitCode && r.all().contains(says), qPrintable(r.all()));
    QCOMPARE(openStorage(db)->bookings(kBizcode).size(), before + added);
}

void ServerXlsxTest::limitsRefuseTheWholeFile_data()
{
    QTest::addColumn<int>("limit"); // which ImportLimits member is set to value
    QTest::addColumn<qint64>("value");
    QTest::addColumn<QString>("says");

    QTest::newRow("file size") << 0 << qint64(1000) << u"the file is larger than 1000 bytes"_qs;
    QTest::newRow("zip entries") << 1 << qint64(3) << u"the workbook holds 10 parts"_qs;
    QTest::newRow("declared size")
        << 2 << qint64(4000) << u"the workbook would inflate to more than 4000 bytes"_qs;
    QTest::newRow("rows") << 3 << qint64(2) << u"the sheet has more than 2 rows"_qs;
    // 12 strings, 14 cells
    QTest::newRow("cells") << 4 << qint64(12) << u"the sheet has more than 12 cells"_qs;
}

void ServerXlsxTest::limitsRefuseTheWholeFile()
{
    QFETCH(int, limit);
    QFETCH(qint64, value);
    QFETCH(QString, says);
    QTemporaryDir dir;
    ImportLimits limits;
    qint64 *members[] = {&limits.fileBytes, &limits.zipEntries, &limits.unzippedBytes, &limits.rows,
                         &limits.cells};
    *members[limit] = value;
    try {
        readXlsxSheet(writerWorkbook(dir.path()), limits);
        QFAIL("the workbook was read");
    } catch (const FileRefused &e) {
        QVERIFY2(e.text.startsWith(says), qPrintable(e.text));
    }
}

// The audit's workbook holds the CSV export's rows as text, Korean and a ticket's leading zeros
// intact, and ends with the seal line the CSV export ends with.
void ServerXlsxTest::auditWorkbookReadsBack()
{
    QTemporaryDir dir;
    auto storage = openStorage(demoCopy(dir));
    storage->putBookings({Booking{kBizcode, u"000123"_qs, u"김영수"_qs, u"R석"_qs, u"A-1"_qs}});
    QCOMPARE(storage->scan({u"I"_qs, kBizcode, u"000123"_qs, u"gate01"_qs, 0}).code, u"0"_qs);
    storage->sealAudit({});

    const AuditTable table = auditTable(*storage, {kBizcode, {}, {}, {}, {}});
    const QString path = dir.filePath(u"audit.xlsx"_qs);
    writeAuditXlsx(*storage, {}, table, path);
    const Sheet sheet = readXlsxSheet(readAll(path));

    QCOMPARE(sheet.rows.size(), table.rows.size() + 2);
    QCOMPARE(sheet.rows.first().cells, table.header);
    for (qsizetype i = 0; i < table.rows.size(); ++i) {
        QStringList cells = sheet.rows[i + 1].cells;
        while (cells.size() < table.header.size())
            cells << QString(); // a row ends at its last cell with a value
        QCOMPARE(cells, table.rows[i]);
    }
    const QStringList &scanned = sheet.rows[table.rows.size()].cells;
    QCOMPARE(scanned[2], u"000123"_qs);
    QCOMPARE(scanned[5], u"입장 확인"_qs);
    QCOMPARE(sheet.rows.last().cells.join(u','),
             auditExportLine(*storage, {}, csvLines(table.header, table.rows)));
}

QTEST_GUILESS_MAIN(ServerXlsxTest)
#include "tst_server_xlsx.moc"
