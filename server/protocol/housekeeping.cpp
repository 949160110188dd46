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

bool Housekeeping::attempt(const char *what, const std::function<void(Storage &)> &chore)
{
    try {
        if (!m_storage)
            m_storage = m_opener();
        chore(*m_storage);
        return true;
    } catch (const std::exception &e) {
        m_storage.reset();
        qWarning().noquote() << "could not" << what << e.what();
        return false;
    }
}

template <typename T, typename Write>
void Housekeeping::writeOrKeep(QList<T> &counts, qsizetype max, const char *what, Write write)
{
    if (counts.isEmpty())
        return;
    if (attempt(what, [&](Storage &s) { write(s, counts); }))
        counts.clear();
    else if (counts.size() > max)
        counts.remove(0, counts.size() - max);
}

void Housekeeping::flush()
{
    m_gateMinutes += gateMinuteTally().take();
    writeOrKeep(m_gateMinutes, GateMinuteTally::kMaxKeys, "write the gates' minutes:",
                [](Storage &s, const auto &counts) { s.addGateMinutes(counts); });
    m_unwritten += refusalTally().take();
    writeOrKeep(m_unwritten, RefusalTally::kMaxKeys, "write the refusal counts:",
                [](Storage &s, const auto &counts) { s.addRefusalCounts(counts); });
}

void Housekeeping::round(bool last)
{
    flush();
    if (last) // the last counts only: the stop is not held up by a fold or a prune
        return;
    if (std::chrono::steady_clock::now() >= m_nextFold) {
        m_nextFold = std::chrono::steady_clock::now() + kFoldEvery;
        attempt("fold the counters:", [](Storage &s) { s.foldCounters(); });
    }
    if (std::chrono::steady_clock::now() >= m_nextPrune) {
        m_nextPrune = std::chrono::steady_clock::now() + kPruneEvery;
        attempt("prune the sign-in audit:", [this](Storage &s) {
            s.pruneUnauthenticated(QDateTime::currentDateTime()
                                       .addDays(-m_keepDays)
                                       .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
            s.purgeSyncKeys(QDateTime::currentSecsSinceEpoch() - kSyncReplayKeepSecs);
        });
    }
}

} // namespace qav
