#pragma once

#include <QStringList>

#include <stdexcept>

namespace qav {

// Thrown when an export cannot be written; what() names the file and why.
class ExportError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Writes a table to path as an .xlsx workbook of one sheet: the header in bold, the rows, then
// lastRow when it is not empty. Every cell is text, escaped as printable() does, in columns
// formatted as text, so that Excel keeps ticket numbers' leading zeros and digits and never
// takes a cell for a formula or a date. Throws ExportError, leaving no file, when it cannot
// write one or the table is beyond what Excel opens.
void writeXlsxTable(const QString &path, const QString &sheetName, const QStringList &header,
                    const QList<QStringList> &rows, const QStringList &lastRow = {});

} // namespace qav
