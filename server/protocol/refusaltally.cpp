#include "server/protocol/refusaltally.h"

#include "server/base/printable.h"

namespace qav {

void RefusalTally::add(const QString &address, const QString &what, const QString &text)
{
    const QString minute = nowStamp().left(16); // yyyy-MM-dd HH:mm
    QString key = minute + u' ' + what + u' ' + address;
    QMutexLocker lock(&m_mutex);
    auto it = m_counts.find(key);
    if (it == m_counts.end()) {
        const bool full = m_counts.size() >= kMaxKeys;
        if (full)
            key = minute + u' ' + what + u" *"_qs;
        it = m_counts.find(key);
        if (it == m_counts.end())
            it = m_counts.insert(key, {minute, full ? u"*"_qs : address, what, 0, {}});
    }
    ++it->count;
    it->lastText = printable(text, kMaxTextChars);
}

QList<RefusalCount> RefusalTally::take()
{
    QMutexLocker lock(&m_mutex);
    QList<RefusalCount> counts = m_counts.values();
    m_counts.clear();
    return counts;
}

RefusalTally &refusalTally()
{
    static RefusalTally tally;
    return tally;
}

} // namespace qav
