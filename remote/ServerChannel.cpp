#include "ServerChannel.h"

#include "Addresses.h"
#include "Commands.h"
#include "Global.h"

ServerChannel::ServerChannel(Session session)
{
    g_ServerUrl = ServerAddress();
    m_object = DataSpace().CreateObject(Commands::ObjectName(), g_ServerUrl);
    if (session == Session::None)
        m_object->setSessionKey(QString());
}

std::unique_ptr<RecordSet> ServerChannel::query(const QString &command, const QueryOptions &options)
{
    return m_object->Query(command, options);
}
