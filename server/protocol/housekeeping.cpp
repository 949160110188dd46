#include "server/protocol/housekeeping.h"

#include "server/protocol/refusaltally.h"

#include <QDateTime>
#include <QDebug>

#include <chrono>

namespace qav {

namespace {

constexpr auto kFlushEvery = std::chrono::seconds(2);
constexpr auto kPruneEvery = std::chrono::hours(1);
constexpr auto kFoldEvery = std::chrono::seconds(10);

} // namespace

Housekeeping::Housekeeping(Opener opener, int keepDays)
    : m_opener(std::move(opener)), m_keepDays(keepDays),
      m_nextPrune(std::chrono::steady_clock::now()), m_nextFold(m_nextPrune),
      m_thread(kFlushEvery, PeriodicThread::First::AtStart, [this](bool last) { round(last); })
{}

void Housekeeping::flush()
{
    m_gateMinutes += gateMinuteTally().take();
    if (!m_gateMinutes.isEmpty()) {
        try {
            if (!m_storage)
                m_storage = m_opener();
            m_storage->addGateMinutes(m_gateMinutes);
            m_gateMinutes.clear();
        } catch (const std::exception &e) {
            m_storage.reset();
            qWarning().noquote() << "could not write the gates' minutes:" << e.what();
            // Kept for the next round, within the tally's own bound.
            if (m_gateMinutes.size() > GateMinuteTally::kMaxKeys)
                m_gateMinutes.remove(0, m_gateMinutes.size() - GateMinuteTally::kMaxKeys);
        }
    }
    m_unwritten += refusalTally().take();
    if (m_unwritten.isEmpty())
        return;
    try {
        if (!m_storage)
            m_storage = m_opener();
        m_storage->addRefusalCounts(m_unwritten);
        m_unwritten.clear();
    } catch (const std::exception &e) {
        m_storage.reset();
        qWarning().noquote() << "could not write the refusal counts:" << e.what();
        if (m_unwritten.size() > RefusalTally::kMaxKeys) // the database is gone for long
            m_unwritten.remove(0, m_unwritten.size() - RefusalTally::kMaxKeys);
    }
}

void Housekeeping::round(bool last)
{
    flush();
    if (last) // the last counts only: the stop is not held up by a fold or a prune
        return;
    if (std::chrono::steady_clock::now() >= m_nextFold) {
        m_nextFold = std::chrono::steady_clock::now() + kFoldEvery;
        try {
            if (!m_storage)
                m_storage = m_opener();
            m_storage->foldCounters();
        } catch (const std::exception &e) {
            m_storage.reset();
            qWarning().noquote() << "could not fold the counters:" << e.what();
        }
    }
    if (std::chrono::steady_clock::now() >= m_nextPrune) {
        m_nextPrune = std::chrono::steady_clock::now() + kPruneEvery;
        try {
            if (!m_storage)
                m_storage = m_opener();
            const QString before = QDateTime::currentDateTime()
                                       .addDays(-m_keepDays)
                                       .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
            m_storage->pruneUnauthenticated(before);
            m_storage->purgeSyncKeys(QDateTime::currentSecsSinceEpoch() - kSyncReplayKeepSecs);
        } catch (const std::exception &e) {
            m_storage.reset();
            qWarning().noquote() << "could not prune the sign-in audit:" << e.what();
        }
    }
}

} // namespace qav
