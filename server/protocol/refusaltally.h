#pragma once

#include "server/storage/storage.h"

#include <QHash>
#include <QMutex>

namespace qav {

// Counts, in memory, the requests refused before a session was known, per client address, minute
// and kind, with the last text each sent (cut to 64 printable characters); take() hands the counts
// over to be written (see Housekeeping) and starts afresh. Thread-safe; at most kMaxKeys keys are
// kept, further addresses are counted under "*".
class RefusalTally
{
public:
    static constexpr int kMaxKeys = 10000;
    static constexpr int kMaxTextChars = 64;

    void add(const QString &address, const QString &what, const QString &text);
    QList<RefusalCount> take();

private:
    QMutex m_mutex;
    QHash<QString, RefusalCount> m_counts;
};

// The one tally of this process.
RefusalTally &refusalTally();

} // namespace qav
