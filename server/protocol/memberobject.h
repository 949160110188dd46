#pragma once

#include "commandparser.h"
#include "recordset.h"
#include "storage.h"

namespace qav {

// The business object `Velmor.member`: turns a parsed command into the record set the station
// reads. Always answers one row for sign-in and verification; throws StorageError when the
// database fails (the caller answers 500). Does not own the storage.
class MemberObject
{
public:
    explicit MemberObject(Storage &storage);

    RecordSet run(const Command &command, qint64 startedNs = 0);

    // A fixed accepting answer that never touches the database, to measure what the database costs.
    static RecordSet constantAnswer(const Command &command);

    static const QStringList &loginColumns();
    static const QStringList &verifyColumns();
    static const QStringList &summaryColumns();

private:
    RecordSet login(const QStringList &args);
    RecordSet booking(const QStringList &args, qint64 startedNs);
    RecordSet summary(const QString &bizcode);

    Storage &m_storage;
};

} // namespace qav
