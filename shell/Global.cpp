#include "shell/Global.h"

QString g_BizCode;
QString g_AdminId;
QString g_SessionKey;
QString g_GoodsName;
QString g_CheckMode;
QString g_ServerUrl;

void CloseStation()
{
    // The summary panel belongs to the station: left alone on screen it would keep the program
    // running with nothing to return to.
    formSlot(FormId::Summary).unload();
    formSlot(FormId::Station).unload();
    formSlot(FormId::Console).unload();
    formSlot(FormId::Summary).drop();
    formSlot(FormId::Station).drop();
    formSlot(FormId::Console).drop();
}

void CloseSummary()
{
    formSlot(FormId::Summary).unload();
    formSlot(FormId::Summary).drop();
}

QString TrimAtNul(const QString &text)
{
    // Positions are 16-bit in the original reader's contract; longer texts keep their first
    // 32,766 characters in view.
    const qsizetype limit = qMin<qsizetype>(text.size(), 32766);
    for (qsizetype p = 0; p < limit; ++p) {
        if (text.at(p) == QChar(u'\0'))
            return text.left(p);
    }
    return QString();
}
