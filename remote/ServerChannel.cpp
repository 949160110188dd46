#include "remote/ServerChannel.h"

#include "remote/Commands.h"
#include "shell/Addresses.h"
#include "shell/Global.h"

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
