#pragma once

#include <QString>
#include <QtGlobal>

namespace qav {

// How much an imported booking file may hold, checked while it is read and so before anything is
// written. The defaults leave room for twice the 100,000 bookings of a large season: such a CSV
// is about 10 MB, its workbook about 5 MB holding some 50 MB of XML. Tests pass smaller ones.
struct ImportLimits
{
    qint64 fileBytes = 64 * 1024 * 1024;
    qint64 zipEntries = 1000;                 // a workbook holds a dozen parts or so
    qint64 unzippedBytes = 256 * 1024 * 1024; // all parts together, declared and as inflated
    qint64 rows = 200'000;                    // rows holding a value, a text file's lines
    qint64 cells = 4'000'000;                 // of the rows read (empty ones between included),
                                              // and of the shared strings
};

// A limit in bytes as a refusal names it: "64 MiB", or "1000 bytes" when it is no whole MiB.
inline QString sizeText(qint64 bytes)
{
    return bytes % (1024 * 1024) == 0 ? QStringLiteral("%1 MiB").arg(bytes / (1024 * 1024))
                                      : QStringLiteral("%1 bytes").arg(bytes);
}

// Thrown for a file refused as a whole, before any line of it is looked at: over a limit, a
// workbook that cannot be read, a web page or an old binary workbook. text says which and why;
// why and limit say it again for a caller that words it in its own language.
struct FileRefused
{
    enum class Why {
        Unreadable,
        TooLarge,
        TooManyParts,
        Inflates,
        TooManyRows,
        TooManyCells,
        WebPage,
        OldWorkbook,   // Excel 97-2003
        XmlSpreadsheet // Excel 2003 XML
    };
    QString text;
    Why why = Why::Unreadable;
    qint64 limit = 0; // the limit passed, for the limits' reasons
};

} // namespace qav
