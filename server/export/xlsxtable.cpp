#include "server/export/xlsxtable.h"

#include "server/base/printable.h"

#include <QFile>

#include <xlsxwriter.h>

#include <algorithm>

namespace qav {

namespace {

// Column widths in characters, as wide as the widest cell, within reason.
QList<double> widths(const QStringList &header, const QList<QStringList> &rows)
{
    QList<double> w(header.size(), 8);
    for (const QStringList &row : QList<QStringList>{header} + rows)
        for (qsizetype c = 0; c < row.size() && c < w.size(); ++c)
            w[c] = std::min(60.0, std::max(w[c], row[c].size() * 1.2 + 2));
    return w;
}

} // namespace

void writeXlsxTable(const QString &path, const QString &sheetName, const QStringList &header,
                    const QList<QStringList> &rows, const QStringList &lastRow)
{
    auto fail = [&](const QString &why) {
        return ExportError(QStringLiteral("cannot write %1: %2").arg(path, why).toStdString());
    };
    const qsizetype total = 1 + rows.size() + (lastRow.isEmpty() ? 0 : 1);
    if (total > LXW_ROW_MAX)
        throw fail(QStringLiteral("%1 rows are more than the %2 of an Excel sheet")
                       .arg(total)
                       .arg(LXW_ROW_MAX));
    // Rows go out as they are written, so a long audit does not sit in memory twice.
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    lxw_workbook *book = workbook_new_opt(QFile::encodeName(path).constData(), &options);
    if (!book)
        throw fail(u"the workbook cannot be made"_qs);
    lxw_error error = LXW_NO_ERROR;
    lxw_worksheet *sheet = workbook_add_worksheet(book, sheetName.toUtf8().constData());
    lxw_format *text = workbook_add_format(book);
    format_set_num_format(text, "@");
    lxw_format *bold = workbook_add_format(book);
    format_set_num_format(bold, "@");
    format_set_bold(bold);
    if (!sheet) {
        error = LXW_ERROR_PARAMETER_VALIDATION;
    } else {
        const QList<double> w = widths(header, rows);
        for (qsizetype c = 0; c < w.size() && !error; ++c)
            error = worksheet_set_column(sheet, lxw_col_t(c), lxw_col_t(c), w[c], text);
    }
    lxw_row_t r = 0;
    auto put = [&](const QStringList &row, lxw_format *format) {
        for (qsizetype c = 0; c < row.size() && !error; ++c)
            error = worksheet_write_string(sheet, r, lxw_col_t(c),
                                           printable(row[c]).toUtf8().constData(), format);
        ++r;
    };
    put(header, bold);
    for (const QStringList &row : rows)
        put(row, text);
    if (!lastRow.isEmpty())
        put(lastRow, text);
    const lxw_error closed = workbook_close(book);
    if (error || closed) {
        QFile::remove(path);
        throw fail(QString::fromUtf8(lxw_strerror(error ? error : closed)));
    }
}

} // namespace qav
