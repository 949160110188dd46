#pragma once

#include "server/storage/stores.h"

#include <QStringList>

namespace qav {

class SealKey;

// The audit of a performance as `audit` prints and exports it: every scan the filter lets
// through, oldest first, one row each.
struct AuditTable
{
    QStringList header;
    QList<QStringList> rows;
};

AuditTable auditTable(SeasonStore &store, const AuditFilter &filter);

// The last line of an audit export: the audit's last seal, and a code over the export's CSV
// lines (csvLines) and that line's start, which `audit verify --csv` checks.
QString auditExportLine(SeasonStore &store, const SealKey &key, const QStringList &lines);

// The table written to path as an .xlsx workbook (writeXlsxTable), its last row the seal line of
// the same table exported as CSV, a field a cell. Throws ExportError.
void writeAuditXlsx(SeasonStore &store, const SealKey &key, const AuditTable &table,
                    const QString &path);

} // namespace qav
