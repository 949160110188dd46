#pragma once

#include "remote/DataSpace.h"

#include <memory>

// A window handler's channel to the business object: opened on the server address of this run,
// which it keeps in g_ServerUrl, and torn down when it goes out of scope. Opening sends nothing
// and throws QavError(BadServerAddress) for an address that is not an http(s) URL; query() is
// BusinessObject::Query.
class ServerChannel
{
public:
    enum class Session {
        Current, // the session of this run (g_SessionKey) as it stands now
        None,    // a sign-in, which stands on its password alone
    };
    explicit ServerChannel(Session session = Session::Current);

    std::unique_ptr<RecordSet> query(const QString &command,
                                     const QueryOptions &options = QueryOptions());

private:
    std::unique_ptr<BusinessObject> m_object;
};
