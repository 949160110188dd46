#pragma once

#include <QString>

namespace qav {

// A text that came from a client, safe to print on a terminal, in a log line or a spreadsheet
// cell's neighbourhood: control characters (C0, DEL, C1), line and paragraph separators and
// direction overrides become escapes such as \x1b or \u202e, and a backslash becomes \\, so the
// printed text cannot forge a line or move the cursor and still shows what was sent. Given
// maxChars >= 0, the result is cut to that many characters (an escape is never cut in half).
QString printable(const QString &text, qsizetype maxChars = -1);

// A cell for a CSV file that a spreadsheet program opens: one starting with =, +, -, @, a tab or
// a carriage return is read as a formula there, so it gets a leading ' (plain numbers such as
// -2 are left alone).
QString spreadsheetSafe(const QString &cell);

} // namespace qav
