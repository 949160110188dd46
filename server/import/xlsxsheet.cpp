#include "server/import/xlsxsheet.h"

#include "server/import/zipparts.h"

#include <QDir>
#include <QRegularExpression>
#include <QUrl>
#include <QXmlStreamReader>

namespace qav {

namespace {

// A part read as XML off its inflating device. Every failure, the device's included, becomes one
// FileRefused naming the part.
class XmlPart
{
public:
    XmlPart(ZipParts &parts, const QString &name)
        : m_parts(parts), m_name(name), m_device(parts.open(name)), m_xml(m_device.get())
    {}
    QXmlStreamReader &xml() { return m_xml; }
    // The next start element, or false at the end; a document type declaration is refused, since
    // no Office part has one and its entities are a way to blow up the text.
    bool nextStart()
    {
        while (!m_xml.atEnd()) {
            const auto token = m_xml.readNext();
            if (token == QXmlStreamReader::StartElement)
                return true;
            if (token == QXmlStreamReader::DTD)
                fail(u"it holds a document type declaration"_qs);
        }
        check();
        return false;
    }
    void check()
    {
        if (!m_xml.hasError())
            return;
        if (!m_parts.refusal().isEmpty())
            throw FileRefused{m_parts.refusal()};
        fail(QStringLiteral("%1 (line %2)").arg(m_xml.errorString()).arg(m_xml.lineNumber()));
    }
    [[noreturn]] void fail(const QString &why)
    {
        throw FileRefused{
            QStringLiteral("the workbook's part %1 cannot be read: %2").arg(m_name, why)};
    }
    QString attribute(QLatin1String name) const
    {
        return m_xml.attributes().value(name).toString();
    }
    // The relationship id of a sheet: r:id in whichever namespace the file names it.
    QString relationshipId() const
    {
        for (const QXmlStreamAttribute &a : m_xml.attributes())
            if (a.name() == QLatin1String("id") && !a.namespaceUri().isEmpty())
                return a.value().toString();
        return {};
    }
    bool at(QLatin1String name) const { return m_xml.name() == name; }

private:
    ZipParts &m_parts;
    QString m_name;
    std::unique_ptr<QIODevice> m_device;
    QXmlStreamReader m_xml;
};

struct Relationship
{
    QString type; // its last path segment: "worksheet", "sharedStrings", "officeDocument"
    QString target;
};

// A relationship's target as a part name, resolved against the folder of the part it is from.
QString partName(const QString &folder, const QString &target)
{
    const QString t = QUrl::fromPercentEncoding(target.toUtf8());
    QString name = QDir::cleanPath(t.startsWith(u'/') || folder.isEmpty() ? t : folder + u'/' + t);
    while (name.startsWith(u'/'))
        name.remove(0, 1);
    return name;
}

// The relationships of a part, by id; none when it has no relationship part.
QHash<QString, Relationship> relationshipsOf(ZipParts &parts, const QString &part)
{
    const qsizetype slash = part.lastIndexOf(u'/');
    const QString folder = slash < 0 ? QString() : part.left(slash);
    const QString rels = (folder.isEmpty() ? QString() : folder + u'/') + u"_rels/"_qs +
                         part.mid(slash + 1) + u".rels"_qs;
    QHash<QString, Relationship> found;
    if (!parts.contains(rels))
        return found;
    XmlPart xml(parts, rels);
    while (xml.nextStart()) {
        if (!xml.at(QLatin1String("Relationship")) ||
            xml.attribute(QLatin1String("TargetMode")) == QLatin1String("External"))
            continue;
        found.insert(xml.attribute(QLatin1String("Id")),
                     {xml.attribute(QLatin1String("Type")).section(u'/', -1),
                      partName(folder, xml.attribute(QLatin1String("Target")))});
    }
    return found;
}

QString firstOfType(const QHash<QString, Relationship> &rels, const QString &type)
{
    QStringList ids = rels.keys();
    ids.sort();
    for (const QString &id : std::as_const(ids))
        if (rels[id].type == type)
            return rels[id].target;
    return {};
}

// Excel writes a character XML cannot hold as _xHHHH_, and a literal "_x" as _x005F_x.
QString unescaped(const QString &text)
{
    if (!text.contains(u"_x"_qs))
        return text;
    static const QRegularExpression escape(u"_x([0-9A-Fa-f]{4})_"_qs);
    QString out;
    qsizetype from = 0;
    for (auto it = escape.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        out += QStringView(text).mid(from, m.capturedStart() - from);
        out += QChar(char16_t(m.captured(1).toUShort(nullptr, 16)));
        from = m.capturedEnd();
    }
    out += QStringView(text).mid(from);
    return out;
}

// The text of a shared or inline string (<si>, <is>): its runs' <t> joined, without the phonetic
// runs (<rPh>) that Excel adds to Korean and Japanese text.
QString richText(XmlPart &part)
{
    QXmlStreamReader &xml = part.xml();
    QString text;
    const QString end = xml.name().toString();
    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            if (part.at(QLatin1String("t")))
                text += unescaped(xml.readElementText());
            else if (part.at(QLatin1String("rPh")) || part.at(QLatin1String("phoneticPr")))
                xml.skipCurrentElement();
        } else if (token == QXmlStreamReader::EndElement && xml.name() == end) {
            break;
        }
    }
    part.check();
    return text;
}

// A number cell's value as a person would type it: whole numbers without exponent or point.
// Excel keeps 15 significant digits, so a whole number of more digits lost its last ones already.
QString numberText(const QString &value, QString *bad)
{
    static const QRegularExpression number(
        u"^([+-]?)(\\d*)(?:\\.(\\d*))?(?:[eE]([+-]?\\d{1,4}))?$"_qs);
    const auto m = number.match(value);
    if (!m.hasMatch() || m.capturedLength(2) + m.capturedLength(3) == 0)
        return value;
    QString digits = m.captured(2) + m.captured(3);
    int exponent = m.captured(4).toInt() - int(m.capturedLength(3)); // value = digits * 10^exponent
    while (digits.size() > 1 && digits.startsWith(u'0'))
        digits.remove(0, 1);
    while (digits.size() > 1 && digits.endsWith(u'0')) {
        digits.chop(1);
        ++exponent;
    }
    if (digits == QLatin1String("0"))
        return u"0"_qs;
    const QString sign = m.captured(1) == QLatin1String("-") ? u"-"_qs : QString();
    const int whole = int(digits.size()) + exponent; // digits before the point
    if (whole > 15) {
        *bad = QStringLiteral("the number %1 has more than 15 digits, which Excel cuts (its last "
                              "ones are lost already); make the column text before entering "
                              "numbers this long")
                   .arg(value);
        return {};
    }
    if (exponent >= 0)
        return sign + digits + QString(exponent, u'0');
    if (whole > 0)
        return sign + digits.left(whole) + u'.' + digits.mid(whole);
    return whole < -30 ? value : sign + u"0."_qs + QString(-whole, u'0') + digits;
}

// The column of a cell reference ("C5" is 2), -1 for none.
int columnOf(const QString &ref)
{
    int column = 0;
    qsizetype i = 0;
    for (; i < ref.size() && i < 3 && ref[i] >= u'A' && ref[i] <= u'Z'; ++i)
        column = column * 26 + (ref[i].unicode() - u'A' + 1);
    return i == 0 || column > 16384 ? -1 : column - 1;
}

QStringList sharedStrings(ZipParts &parts, const QString &name, const ImportLimits &limits)
{
    QStringList strings;
    if (name.isEmpty() || !parts.contains(name))
        return strings;
    XmlPart xml(parts, name);
    while (xml.nextStart()) {
        if (!xml.at(QLatin1String("si")))
            continue;
        if (strings.size() >= limits.cells)
            throw FileRefused{
                QStringLiteral("the workbook holds more than %1 strings").arg(limits.cells),
                FileRefused::Why::TooManyCells, limits.cells};
        strings << richText(xml);
    }
    return strings;
}

struct Cell
{
    int column;
    QString text;
    QString bad;
};

// The cell the reader is at (<c>), read to its end.
Cell readCell(XmlPart &part, int column, const QStringList &strings)
{
    QXmlStreamReader &xml = part.xml();
    const QString type = part.attribute(QLatin1String("t"));
    Cell cell{column, {}, {}};
    QString value;
    bool inlineText = false;
    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            if (part.at(QLatin1String("v"))) {
                value = xml.readElementText();
            } else if (part.at(QLatin1String("is"))) {
                value = richText(part);
                inlineText = true;
            } else {
                xml.skipCurrentElement(); // a formula: its value is in <v>
            }
        } else if (token == QXmlStreamReader::EndElement && part.at(QLatin1String("c"))) {
            break;
        }
    }
    part.check();
    if (!inlineText && value.isEmpty())
        return cell; // a cell with a style but no value
    if (inlineText || type == QLatin1String("inlineStr")) {
        cell.text = value;
    } else if (type == QLatin1String("s")) {
        bool ok = false;
        const int index = value.toInt(&ok);
        if (!ok || index < 0 || index >= strings.size())
            part.fail(QStringLiteral("a cell names shared string '%1', which the workbook lacks")
                          .arg(value));
        cell.text = strings[index];
    } else if (type == QLatin1String("str")) {
        cell.text = unescaped(value);
    } else if (type.isEmpty() || type == QLatin1String("n")) {
        cell.text = numberText(value.trimmed(), &cell.bad);
    } else {
        cell.text = value; // b (1 or 0), e (#N/A), d (an ISO date)
    }
    return cell;
}

} // namespace

bool isZip(const QByteArray &data)
{
    return data.startsWith("PK\x03\x04");
}

Sheet readXlsxSheet(const QByteArray &data, const ImportLimits &limits)
{
    if (data.size() > limits.fileBytes)
        throw FileRefused{
            QStringLiteral("the file is larger than %1").arg(sizeText(limits.fileBytes)),
            FileRefused::Why::TooLarge, limits.fileBytes};
    ZipParts parts(data, limits);

    QString workbook = firstOfType(relationshipsOf(parts, QString()), u"officeDocument"_qs);
    if (workbook.isEmpty())
        workbook = u"xl/workbook.xml"_qs;
    if (!parts.contains(workbook))
        throw FileRefused{u"the file is a zip archive but no Excel workbook (.xlsx)"_qs};
    const QHash<QString, Relationship> rels = relationshipsOf(parts, workbook);

    Sheet sheet;
    QString sheetId;
    {
        XmlPart xml(parts, workbook);
        while (sheetId.isEmpty() && xml.nextStart()) {
            if (xml.at(QLatin1String("sheet"))) {
                sheet.name = xml.attribute(QLatin1String("name"));
                sheetId = xml.relationshipId();
            }
        }
    }
    if (sheetId.isEmpty())
        throw FileRefused{u"the workbook lists no sheet"_qs};
    const Relationship first = rels.value(sheetId);
    if (!rels.contains(sheetId))
        throw FileRefused{QStringLiteral("the workbook's first sheet '%1' has no part (no "
                                         "relationship '%2')")
                              .arg(sheet.name, sheetId)};
    if (first.type != QLatin1String("worksheet") || !parts.contains(first.target))
        throw FileRefused{
            QStringLiteral("the workbook's first sheet '%1' is no worksheet (a chart?)")
                .arg(sheet.name)};
    const QStringList strings =
        sharedStrings(parts, firstOfType(rels, u"sharedStrings"_qs), limits);

    XmlPart xml(parts, first.target);
    qint64 cells = 0;
    int rowNumber = 0;
    QList<Cell> row;
    auto endRow = [&] {
        int last = -1;
        for (const Cell &c : std::as_const(row))
            if (!c.text.isEmpty() || !c.bad.isEmpty())
                last = std::max(last, c.column);
        if (last < 0)
            return;
        if (sheet.rows.size() >= limits.rows)
            throw FileRefused{QStringLiteral("the sheet has more than %1 rows").arg(limits.rows),
                              FileRefused::Why::TooManyRows, limits.rows};
        cells += last + 1;
        if (cells > limits.cells)
            throw FileRefused{QStringLiteral("the sheet has more than %1 cells").arg(limits.cells),
                              FileRefused::Why::TooManyCells, limits.cells};
        SheetRow r{rowNumber, QStringList(last + 1, QString()), {}};
        for (const Cell &c : std::as_const(row)) {
            if (c.column > last)
                continue;
            r.cells[c.column] = c.text;
            if (!c.bad.isEmpty())
                r.badCells.insert(c.column, c.bad);
        }
        sheet.rows << r;
    };
    while (xml.nextStart()) {
        if (xml.at(QLatin1String("row"))) {
            const QString r = xml.attribute(QLatin1String("r"));
            rowNumber = r.isEmpty() ? rowNumber + 1 : r.toInt();
            if (rowNumber <= 0)
                xml.fail(QStringLiteral("a row is numbered '%1'").arg(r));
            row.clear();
            // A row's cells are read by the loop below, up to its end.
            QXmlStreamReader &x = xml.xml();
            while (!x.atEnd()) {
                const auto token = x.readNext();
                if (token == QXmlStreamReader::StartElement && xml.at(QLatin1String("c"))) {
                    const QString ref = xml.attribute(QLatin1String("r"));
                    const int column =
                        ref.isEmpty() ? (row.isEmpty() ? 0 : row.last().column + 1) : columnOf(ref);
                    if (column < 0)
                        xml.fail(QStringLiteral("a cell is called '%1'").arg(ref));
                    row << readCell(xml, column, strings);
                } else if (token == QXmlStreamReader::EndElement && xml.at(QLatin1String("row"))) {
                    break;
                }
            }
            xml.check();
            endRow();
        }
    }
    return sheet;
}

} // namespace qav
