#include "remote/ReportFailure.h"

#include <QDebug>

void reportFailure(const QUrl &url, const QString &reason)
{
    qWarning().noquote()
        << QStringLiteral("qav: %1: %2").arg(url.toString(QUrl::RemoveUserInfo), reason);
}
