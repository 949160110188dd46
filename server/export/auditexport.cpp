#include "server/export/auditexport.h"

#include "server/export/csvlines.h"
#include "server/export/xlsxtable.h"
#include "server/storage/auditseal.h"

namespace qav {

namespace {

// The first fields of an export's last line; the export's own code follows them.
QString sealLineStart(const std::optional<SealInfo> &s)
{
    const SealInfo none;
    const SealInfo &i = s ? *s : none;
    return QStringLiteral("#seal,%1,%2,%3,%4,%5,")
        .arg(i.sealNo)
        .arg(i.throughRow)
        .arg(i.sealedAt, i.keyId, i.mac);
}

} // namespace

AuditTable auditTable(SeasonStore &store, const AuditFilter &filter)
{
    AuditTable table{{u"scanned_at"_qs, u"operator_id"_qs, u"ticket"_qs, u"mode"_qs,
                      u"result_code"_qs, u"result_msg"_qs, u"duration_us"_qs, u"client_address"_qs,
                      u"kind"_qs},
                     {}};
    for (const ScanLogEntry &e : store.audit(filter))
        table.rows << QStringList{e.scannedAt,
                                  e.operatorId,
                                  e.ticketRaw,
                                  e.mode,
                                  e.resultCode,
                                  e.resultMessage,
                                  QString::number(e.durationUs),
                                  e.clientAddress,
                                  e.kind};
    return table;
}

QString auditExportLine(SeasonStore &store, const SealKey &key, const QStringList &lines)
{
    const QString start = sealLineStart(store.sealInfo());
    return start + key.code((lines.join(u'\n') + u'\n' + start).toUtf8());
}

void writeAuditXlsx(SeasonStore &store, const SealKey &key, const AuditTable &table,
                    const QString &path)
{
    const QString seal = auditExportLine(store, key, csvLines(table.header, table.rows));
    writeXlsxTable(path, u"audit"_qs, table.header, table.rows, seal.split(u','));
}

} // namespace qav
