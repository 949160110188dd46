#include "Commands.h"

namespace Commands {

namespace {
const QString signIn = QStringLiteral("Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo ");
const QString booking = QStringLiteral("Exec Proc_GRVM_Admin_GetAdminQAV_BookingInfo ");
} // namespace

QString ObjectName()
{
    return QStringLiteral("Velmor.member");
}

QString quoted(const QString &value)
{
    QString escaped = value;
    escaped.replace(u'\'', QStringLiteral("''"));
    return u'\'' + escaped + u'\'';
}

QString OperatorSignIn(const QString &operatorId, const QString &password)
{
    return signIn + quoted(operatorId) + u',' + quoted(password);
}

QString PlaceSignIn(const QString &placeCode)
{
    return signIn + quoted(placeCode);
}

QString Verification(const QString &mode, const QString &bizCode, const QString &ticketNo,
                     const QString &operatorId)
{
    // The last argument follows a comma and one blank.
    return booking + quoted(mode) + u',' + quoted(bizCode) + u',' + quoted(QString()) + u',' +
           quoted(ticketNo) + QStringLiteral(", ") + quoted(operatorId);
}

QString Summary(const QString &bizCode)
{
    return booking + quoted(QStringLiteral("S")) + u',' + quoted(bizCode) +
           QStringLiteral(",'','',''");
}

} // namespace Commands
