#include "server/base/seasonrules.h"

#include <QDateTime>
#include <QRegularExpression>

namespace qav::rules {

bool isValidCode(const QString &code)
{
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9_-]{1,32}$"));
    return re.match(code).hasMatch();
}

QString normalStart(const QString &text)
{
    for (const QString &format :
         {QStringLiteral("yyyyMMddHHmm"), QStringLiteral("yyyy-MM-dd HH:mm"),
          QStringLiteral("yyyy-MM-ddTHH:mm")}) {
        const QDateTime t = QDateTime::fromString(text, format);
        if (t.isValid())
            return t.toString(QStringLiteral("yyyyMMddHHmm"));
    }
    return {};
}

} // namespace qav::rules
