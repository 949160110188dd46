#pragma once

#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>

namespace qav {

// Slows down password guessing for one kind of key (an operator id, a client address, ...): after
// maxFailures failed sign-ins within the window the key is locked, and every attempt while it is
// locked must be refused without checking the password, answered after delayMs. A success clears
// the key. The lock lasts until the failures age out of the window, but never longer than lockCap
// after the last failure, so that whoever can fail on purpose cannot shut a key out for long.
// Times are milliseconds on any steady clock the caller chooses. Thread-safe; memory is bounded
// (the oldest keys are forgotten first).
class SignInThrottle
{
public:
    struct Limits
    {
        int maxFailures = 5;
        qint64 windowMs = 5 * 60 * 1000;
        qint64 lockCapMs = 5 * 60 * 1000;
        qint64 firstDelayMs = 500; // doubles with every refused attempt while locked...
        qint64 maxDelayMs = 4000;  // ...up to this, below the station's wait for an answer
        int maxKeys = 10000;
    };

    struct Verdict
    {
        bool locked = false;
        qint64 delayMs = 0; // how long to hold back the refusal when locked
    };

    SignInThrottle();
    explicit SignInThrottle(Limits limits);

    // Whether an attempt for key may check a password now; counts a refused attempt.
    Verdict check(const QString &key, qint64 nowMs);
    // Whether check() would refuse now, without counting an attempt.
    bool isLocked(const QString &key, qint64 nowMs);
    // Failures of key within the window.
    int failures(const QString &key, qint64 nowMs);
    void failed(const QString &key, qint64 nowMs);
    void succeeded(const QString &key);

    const Limits &limits() const { return m_limits; }

private:
    struct Entry
    {
        QList<qint64> failures; // within the window, oldest first, at most maxFailures
        int refusedWhileLocked = 0;
        qint64 lastSeenMs = 0;
    };

    bool isLocked(const Entry &entry, qint64 nowMs) const;
    void forget(Entry &entry, qint64 nowMs) const;
    void makeRoom(qint64 nowMs);

    Limits m_limits;
    QMutex m_mutex;
    QHash<QString, Entry> m_entries;
};

} // namespace qav
