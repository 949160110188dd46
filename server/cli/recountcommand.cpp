#include "server/cli/clicommands.h"

#include "server/cli/cli.h"

namespace qav {

using namespace cli;

int recountCommand(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args,
                      u"Count every performance's bookings and audit afresh and put the counters "
                      "the summary and the dashboard show right; names the performances whose "
                      "counters were wrong (normally none). Scans wait meanwhile."_qs,
                      {dbOption}, {}))
        return 0;
    const QStringList wrong = openAndInit(p)->recountCounters();
    out(wrong.isEmpty() ? u"counters were right"_qs
                        : QStringLiteral("counters put right for %1").arg(wrong.join(u", "_qs)));
    return 0;
}

} // namespace qav
