#include "refusaltally.h"

#include "printable.h"

#include <QDateTime>

namespace qav {

namespace {

QString minuteNow()
{
    thread_local qint64 second = -1;
    thread_local QString text;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (now != second) {
        second = now;
        text = QDateTime::fromSecsSinceEpoch(now).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    }
    return text;
}

} // namespace

void RefusalTally::add(const QString &address, const QString &what, const QString &text)
{
    const QString minute = minuteNow();
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
