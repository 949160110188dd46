#pragma once

#include <QStringList>

namespace qav {

// A table as the lines of a CSV file that a spreadsheet program opens: the header first, every
// cell escaped (see printable), quoted where it holds a comma, quote or line break, and given a
// leading ' where the program would take it for a formula (see spreadsheetSafe).
QStringList csvLines(const QStringList &header, const QList<QStringList> &rows);

} // namespace qav
