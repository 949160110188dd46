#pragma once

#include "server/accounts/signinthrottle.h"
#include "server/base/lane.h"

namespace qav {

// Decides which sign-in attempts get their password checked. Failures are held against the
// address they came from, so that whoever keeps failing is slowed down while the real operator at
// another address signs in as usual:
// - an address with five failures within five minutes (whatever the ids) is refused until they
//   age out, each refusal held back longer (0.5 s doubling up to 4 s);
// - once an id has had five failures within five minutes from anywhere, an address that has
//   itself failed within five minutes is refused for it, so guessing one id from many addresses
//   gets about one guess per address per five minutes;
// - an address that has not failed is always checked, whatever others did to the id.
// A refusal costs no password check. Gate and dashboard each hold one, owned by their routes and
// shared by all their workers: admins and operators are different people. Times come from
// signInClockMs(). Thread-safe; memory is bounded as SignInThrottle's.
class SignInGuard
{
public:
    enum class Standing { Good, Failing, Refused };
    struct Verdict
    {
        bool refused = false;
        qint64 delayMs = 0; // real milliseconds to hold the refusal back
    };

    // Where an attempt would stand, without counting it; id may be empty.
    Standing standing(const QString &id, const QString &address);
    // The lane a sign-in attempt runs in, without counting it: a password check is slow on
    // purpose, a refusal is not; an address that failed lately waits apart, so a flood of wrong
    // passwords never delays a client in good standing.
    Lane lane(const QString &id, const QString &address);
    // Whether the attempt may check its password; a refusal is counted.
    Verdict admit(const QString &id, const QString &address);
    void failed(const QString &id, const QString &address);
    // Clears the address's failures. The id's stay: a success must not reopen it to guessing.
    void succeeded(const QString &address);

private:
    bool refusedForId(const QString &id, const QString &address, qint64 nowMs);

    SignInThrottle m_byAddress{{5, 5 * 60 * 1000, 5 * 60 * 1000, 500, 4000, 10000}};
    SignInThrottle m_byId{{5, 5 * 60 * 1000, 5 * 60 * 1000, 500, 4000, 10000}};
};

// Steady milliseconds for sign-in throttling. They run setSignInClockScale() times as fast as
// real time (1 unless set), so that a test can play ten minutes of attempts in ten seconds;
// realDelayMs turns a wait on that clock back into real milliseconds.
qint64 signInClockMs();
qint64 realDelayMs(qint64 clockMs);
void setSignInClockScale(int factor);

} // namespace qav
