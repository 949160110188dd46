#include "shell/Look.h"

#include <QFontDatabase>
#include <QStringList>

QFont gulim(double pointSize, bool bold)
{
    QFont font(QStringLiteral("굴림"));
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    return font;
}

void installKoreanFonts()
{
    const QStringList candidates = {QStringLiteral("NanumGothic"),
                                    QStringLiteral("NanumBarunGothic"),
                                    QStringLiteral("Noto Sans CJK KR")};
    const QStringList families = QFontDatabase::families();
    QStringList installed;
    for (const QString &c : candidates) {
        if (families.contains(c, Qt::CaseInsensitive))
            installed << c;
    }
    if (!installed.isEmpty()) {
        QFont::insertSubstitutions(QStringLiteral("굴림"), installed);
        QFont::insertSubstitutions(QStringLiteral("Gulim"), installed);
    }
}
