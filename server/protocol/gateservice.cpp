#include "server/protocol/gateservice.h"

#include "server/accounts/sessionkeys.h"
#include "server/base/steadyclock.h"
#include "server/protocol/memberobject.h"
#include "server/protocol/refusaltally.h"
#include "wire/errcode.h"
#include "wire/ticket.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

namespace qav {

namespace {

GateAnswer refusal(int status, const QString &text)
{
    return {status, QJsonDocument(QJsonObject{{u"error"_qs, text}}).toJson(QJsonDocument::Compact),
            0, QString::number(status)};
}

GateAnswer recordAnswer(const RecordSet &rs)
{
    return {200, rs.toJson(), 0,
            rs.rows.isEmpty() ? u"no-row"_qs : rs.value(QString::fromLatin1(wire::kErrCodeColumn))};
}

// A replay key is the station's own name for one scan: visible ASCII, not too long.
bool validReplayKey(const QByteArray &key)
{
    if (key.size() > 128)
        return false;
    for (const char c : key) {
        if (c <= ' ' || c > '~')
            return false;
    }
    return true;
}

class Gate
{
public:
    Gate(GateStore &storage, GatePolicy &policy, const GateCaller &caller)
        : m_storage(storage), m_policy(policy), m_caller(caller)
    {}

    GateAnswer answer(const Command &command)
    {
        const QStringList &args = command.args;
        // Before anything reaches the database: a control character is nothing a station sends,
        // and PostgreSQL cannot take a NUL. A password is only hashed, never stored or shown.
        const bool operatorSignIn =
            command.procedure == QLatin1String(kLoginProc) && args.size() == 2;
        for (qsizetype i = 0; i < args.size(); ++i) {
            if (!(operatorSignIn && i == 1) && wire::hasControlCharacter(args[i].trimmed())) {
                // Counted, escaped, like the other refusals nobody is signed in for.
                refusalTally().add(m_caller.address, u"text"_qs, args[i]);
                return refusal(400, u"제어 문자가 들어 있습니다"_qs);
            }
        }
        if (command.procedure == QLatin1String(kLoginProc))
            return args.size() == 2 ? signInOperator(args[0], args[1]) : signInPlace(args[0]);
        if (args[0] == QLatin1String("S"))
            return summary(args[1]);
        return verify({args[0], args[1], wire::normalTicket(args[3]), args[4].trimmed(),
                       m_caller.startedNs, m_caller.address});
    }

private:
    // The caller's valid, unexpired session; none when it sent no key or a dead one. Given a
    // bizcode, the performance it names is read along with it.
    std::optional<SessionRecord> session(const QString *bizcode = nullptr,
                                         std::optional<Performance> *performance = nullptr)
    {
        const QString key = bearerKey(m_caller.authorization);
        if (key.isEmpty())
            return std::nullopt;
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        const qint64 idleBefore = now - m_policy.sessionIdleSecs;
        if (bizcode)
            return m_storage.useSessionFor(sessionKeyHash(key), now, idleBefore, *bizcode,
                                           *performance);
        return m_storage.useSession(sessionKeyHash(key), now, idleBefore);
    }

    void recordSignIn(const QString &id, const QString &result)
    {
        m_storage.recordSignIn({{}, id, m_caller.address, result});
    }

    GateAnswer signInOperator(const QString &typedId, const QString &password)
    {
        const QString id = typedId.trimmed();
        const SignInGuard::Verdict verdict = m_policy.signIns.admit(id, m_caller.address);
        if (verdict.refused) {
            // Refused before the password is looked at: guessing gains nothing, costs no hashing,
            // and is counted rather than written down one by one.
            refusalTally().add(m_caller.address, u"sign-in"_qs, id);
            GateAnswer a = recordAnswer(RecordSet{MemberObject::loginColumns(),
                                                  {{QString::fromLatin1(wire::errcode::kRefused),
                                                    QString::fromUtf8(kThrottledText),
                                                    {},
                                                    {},
                                                    {}}}});
            a.delayMs = verdict.delayMs;
            return a;
        }
        QByteArray checkedHash;
        RecordSet rs = MemberObject(m_storage).signInOperator(id, password, &checkedHash);
        if (checkedHash.isEmpty()) {
            m_policy.signIns.failed(id, m_caller.address);
            recordSignIn(id, u"wrong"_qs);
            return recordAnswer(rs);
        }
        m_policy.signIns.succeeded(m_caller.address);
        if (rs.value(QString::fromLatin1(wire::kErrCodeColumn)) !=
            QLatin1String(wire::errcode::kOk)) {
            recordSignIn(id, u"refused: "_qs + rs.value(QString::fromLatin1(wire::kErrMsgColumn)));
            return recordAnswer(rs);
        }
        const SessionKey key = newSessionKey();
        const qint64 secs = QDateTime::currentSecsSinceEpoch();
        // The password was checked against the operator as read before: disabled or given a new
        // password since, it gets no session.
        if (!m_storage.createSession({key.hash, id, {}, m_caller.address, secs, secs}, checkedHash,
                                     secs - m_policy.sessionIdleSecs)) {
            recordSignIn(id, u"refused: changed during sign-in"_qs);
            return recordAnswer(RecordSet{MemberObject::loginColumns(),
                                          {{QString::fromLatin1(wire::errcode::kRefused),
                                            QString::fromUtf8(kWrongSignInText),
                                            {},
                                            {},
                                            {}}}});
        }
        recordSignIn(id, u"ok"_qs);
        rs.columns << u"SessionKey"_qs;
        rs.rows[0] << key.key;
        return recordAnswer(rs);
    }

    GateAnswer signInPlace(const QString &placeCode)
    {
        const QString code = placeCode.trimmed();
        const std::optional<SessionRecord> s = session();
        if (!s) {
            refusalTally().add(m_caller.address, u"place"_qs, code);
            return refusal(401, QString::fromUtf8(kSignInAgainText));
        }
        // An unknown code is answered as before, so the station tells the gate to check its setup.
        if (s->placeCode != code && m_storage.findVenue(code)) {
            recordSignIn(s->operatorId, QStringLiteral("place %1 forbidden").arg(code));
            return refusal(403, QString::fromUtf8(kForbiddenText));
        }
        const RecordSet rs = MemberObject(m_storage).signInPlace(code);
        recordSignIn(s->operatorId,
                     QStringLiteral("place %1 %2")
                         .arg(code, rs.value(QString::fromLatin1(wire::kErrCodeColumn))));
        return recordAnswer(rs);
    }

    bool otherVenue(const SessionRecord &s, const QString &bizcode)
    {
        const std::optional<Performance> perf = m_storage.findPerformance(bizcode);
        return perf && perf->placeCode != s.placeCode;
    }

    GateAnswer summary(const QString &bizcode)
    {
        const std::optional<SessionRecord> s = session();
        if (!s) {
            refusalTally().add(m_caller.address, u"summary"_qs, bizcode);
            return refusal(401, QString::fromUtf8(kSignInAgainText));
        }
        if (otherVenue(*s, bizcode))
            return refusal(403, QString::fromUtf8(kForbiddenText));
        return recordAnswer(MemberObject(m_storage).summary(bizcode));
    }

    // Refused verifications are audited too: whoever tries them, from where, with which ticket;
    // those without a session only counted, as anyone can send them as fast as they like.
    GateAnswer verify(ScanRequest request)
    {
        if (!validReplayKey(m_caller.replayKey))
            return refusal(400, u"Idempotency-Key가 올바르지 않습니다"_qs);
        request.replayKey = QString::fromLatin1(m_caller.replayKey);
        std::optional<Performance> performance;
        const std::optional<SessionRecord> s = session(&request.bizcode, &performance);
        if (!s) {
            refusalTally().add(m_caller.address, u"verify"_qs, request.ticketRaw);
            return refusal(401, QString::fromUtf8(kSignInAgainText));
        }
        if (!m_policy.scanRate.admit(s->keyHash, steadyMs()))
            return refusal(503, QString::fromUtf8(kBusyText));
        // Nothing is written for it, not even its audit row: a ticket is bounded storage. Asked
        // after the session, so that a caller without one learns nothing from the answer.
        if (request.ticketRaw.size() > wire::kMaxTicketChars)
            return recordAnswer(MemberObject::refusedScan(
                QStringLiteral("티켓 번호가 너무 깁니다 (%1자까지)").arg(wire::kMaxTicketChars)));
        // A performance that does not exist, or a rehearsal's that is not this operator's own (a
        // drill's operator has its performance's code), is only counted: made-up codes must not
        // grow the audit, nor the work of sealing it.
        if (!performance || (isDrillCode(request.bizcode) && s->operatorId != request.bizcode)) {
            refusalTally().add(m_caller.address, u"performance"_qs, request.bizcode);
            ScanOutcome unknown;
            unknown.result = ScanResult::UnknownPerformance;
            describeOutcome(unknown);
            return recordAnswer(
                RecordSet{MemberObject::verifyColumns(),
                          {{unknown.code, unknown.message, {}, {}, {}, {}, {}, {}, {}}}});
        }
        request.sessionOperator = s->operatorId;
        request.performance = performance;
        const bool otherVenue =
            *request.performance && (*request.performance)->placeCode != s->placeCode;
        if (request.operatorId != s->operatorId || otherVenue) {
            m_storage.auditRefusedScan(request, QString::fromLatin1(kAuditForbidden), u"403"_qs,
                                       QString::fromUtf8(kForbiddenText));
            return refusal(403, QString::fromUtf8(kForbiddenText));
        }
        return recordAnswer(MemberObject(m_storage).verify(request));
    }

    GateStore &m_storage;
    GatePolicy &m_policy;
    const GateCaller &m_caller;
};

} // namespace

GateAnswer answerCommand(GateStore &storage, GatePolicy &policy, const Command &command,
                         const GateCaller &caller)
{
    return Gate(storage, policy, caller).answer(command);
}

} // namespace qav
