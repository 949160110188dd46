#pragma once

// Workbooks made by libxlsxwriter, as a sales system exports them, for the tests that import
// them: the command line's, the dashboard's upload and the browser's.

#include <QFile>
#include <QVariant>

#include <functional>

#include <xlsxwriter.h>

namespace qavtest {

// Writes rows to a new workbook at path, its one sheet named sheetName: a cell holding a double
// is a number cell, any other a text cell; more writes the rows from its second argument on.
// Returns the file's bytes, empty when it could not be written.
inline QByteArray writtenWorkbook(const QString &path, const QList<QVariantList> &rows,
                                  const char *sheetName = "예매 목록",
                                  const std::function<void(lxw_worksheet *, lxw_row_t)> &more = {})
{
    const QByteArray file = QFile::encodeName(path);
    lxw_workbook *book = workbook_new(file.constData());
    lxw_worksheet *sheet = workbook_add_worksheet(book, sheetName);
    for (qsizetype r = 0; r < rows.size(); ++r) {
        for (qsizetype c = 0; c < rows[r].size(); ++c) {
            const QVariant &v = rows[r][c];
            if (v.typeId() == QMetaType::Double)
                worksheet_write_number(sheet, lxw_row_t(r), lxw_col_t(c), v.toDouble(), nullptr);
            else if (!v.toString().isEmpty())
                worksheet_write_string(sheet, lxw_row_t(r), lxw_col_t(c),
                                       v.toString().toUtf8().constData(), nullptr);
        }
    }
    if (more)
        more(sheet, lxw_row_t(rows.size()));
    if (workbook_close(book) != LXW_NO_ERROR)
        return {};
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace qavtest
