#pragma once

#include "server/import/filelimits.h"

#include <QByteArray>
#include <QHash>
#include <QStringList>

namespace qav {

// One row of a worksheet that holds a value: its number (from 1, as Excel shows it) and its
// cells' texts from column A to the last one with a value, empty where a cell is. A number is
// written out whole ("10000001", never "1.0000001E7"); one of more than 15 digits, which Excel
// has cut already, is no text but a reason in badCells, by column (from 0).
struct SheetRow
{
    int number = 0;
    QStringList cells;
    QHash<int, QString> badCells;
};

struct Sheet
{
    QString name;
    QList<SheetRow> rows;
};

// True for the start of a zip archive, which an .xlsx workbook is.
bool isZip(const QByteArray &data);

// The first worksheet of an .xlsx workbook, found as the workbook lists its sheets: its shared or
// inline strings (rich text runs joined, phonetic runs left out, _xHHHH_ escapes decoded), its
// numbers, booleans as 1 and 0. Throws FileRefused for a workbook that cannot be read or is over
// one of limits.
Sheet readXlsxSheet(const QByteArray &data, const ImportLimits &limits = {});

} // namespace qav
