#pragma once

#include "server/accounts/signinguard.h"
#include "server/protocol/commandparser.h"
#include "server/protocol/sessionrate.h"
#include "server/storage/stores.h"

#include <QByteArray>
#include <QString>

namespace qav {

// Who sent a command, as far as the HTTP side knows it.
struct GateCaller
{
    QString address;          // peer address, for throttling and the audit
    QByteArray authorization; // the Authorization header, empty when absent
    QByteArray replayKey;     // the Idempotency-Key header, empty when absent
    qint64 startedNs = 0;     // steady-clock time the request arrived
};

// What to send back. A delayed answer is held by the HTTP side with a timer, never by sleeping.
struct GateAnswer
{
    int status = 200;
    QByteArray body; // JSON: a record set, or {"error": "..."} for any other status
    qint64 delayMs = 0;
    QString logResult; // ErrCode of the record set, or the status, for the request log
};

// Settings and the sign-in guard of one server process, shared by all its requests.
struct GatePolicy
{
    qint64 sessionIdleSecs = 12 * 3600;
    SignInGuard signIns;
    SessionRate scanRate; // scans written per session and second
};

inline constexpr auto kSignInAgainText = "다시 로그인하세요";
inline constexpr auto kForbiddenText = "권한이 없습니다";
inline constexpr auto kBusyText = "서버가 바쁩니다. 다시 스캔하세요";
inline constexpr auto kThrottledText = "시도가 너무 많습니다. 잠시 후 다시 시도하세요";

// Answers one well-formed command for a caller: sessions, throttling and the operator's venue are
// checked here, the business rules are MemberObject's. Refusals before a session is known are
// counted in refusalTally(), not written one by one. Throws StorageError when the database
// fails (the caller answers 500). Safe to call from several threads with one storage connection
// each.
GateAnswer answerCommand(GateStore &storage, GatePolicy &policy, const Command &command,
                         const GateCaller &caller);

} // namespace qav
