#include "server/base/commandline.h"

#include <cstdio>

namespace qav::cli {

void out(const QString &text)
{
    std::fputs(text.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
}

void err(const QString &text)
{
    std::fputs(("qav-server: " + text + '\n').toUtf8().constData(), stderr);
}

QString NotFound::text() const
{
    const QString thing = QStringLiteral("unknown %1 '%2'").arg(what, name);
    return within.isEmpty() ? thing : thing + u" for "_qs + within;
}

void notFound(const QString &what, const QString &name, const QString &within)
{
    throw NotFound{what, name, within};
}

int positiveOption(const QCommandLineParser &p, const QCommandLineOption &option)
{
    bool ok = false;
    const int value = p.value(option).toInt(&ok);
    if (!ok || value <= 0)
        throw UsageError{QStringLiteral("bad --%1 '%2': expected a positive whole number")
                             .arg(option.names().constLast(), p.value(option))};
    return value;
}

} // namespace qav::cli
