#pragma once

#include "server/protocol/commandparser.h"
#include "server/storage/stores.h"
#include "wire/recordsetjson.h"

namespace qav {

using wire::RecordSet;

// The one refusal of a sign-in, whatever was wrong with the id, the password or the account.
inline constexpr auto kWrongSignInText = "아이디 또는 비밀번호가 맞지 않습니다";

// The business object `Velmor.member`: turns a parsed command into the record set the station
// reads. Always answers one row for sign-in and verification; throws StorageError when the
// database fails (the caller answers 500). Does not own the storage.
class MemberObject
{
public:
    explicit MemberObject(GateStore &storage);

    // Runs a command without asking who sends it (the command line's summary, tests).
    RecordSet run(const Command &command, qint64 startedNs = 0);

    // Operator sign-in; *checkedHash is the password hash the password matched, empty when the
    // id and password did not (the answer may still refuse, e.g. when the venue has no
    // performance).
    RecordSet signInOperator(const QString &id, const QString &password, QByteArray *checkedHash);
    RecordSet signInPlace(const QString &placeCode);
    RecordSet verify(const ScanRequest &request);
    RecordSet summary(const QString &bizcode);

    // A fixed accepting answer that never touches the database, to measure what the database costs.
    static RecordSet constantAnswer(const Command &command);
    // A verification refused before anything was looked up, as the station shows a refusal.
    static RecordSet refusedScan(const QString &message);

    static const QStringList &loginColumns();
    static const QStringList &verifyColumns();
    static const QStringList &summaryColumns();

private:
    RecordSet gateAnswer(const Venue &venue);

    GateStore &m_storage;
};

} // namespace qav
