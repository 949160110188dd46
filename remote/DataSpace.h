#pragma once

#include "remote/RecordSet.h"

#include <QString>
#include <QUrl>

#include <memory>

// What one call asks of the channel besides its command text.
struct QueryOptions
{
    // The longest wait for this call's answer; 0 keeps the channel's default. A shorter wait set
    // with BusinessObject::setTimeoutMs still wins.
    int timeoutMs = 0;
    // Sent as the Idempotency-Key header when not empty. The network layer's own re-send of the
    // request carries it too, so the server can answer a repeat without running it twice.
    QByteArray idempotencyKey;
};

// A proxy of one business object on the server. Query sends one command text and waits for
// the record set; it returns only with an answer or a QavError (unreachable server, time-out,
// refused command or session, an answer that is not a record set or is larger than
// maxAnswerBytes, which is never held whole). Owned by the handler that created it.
class BusinessObject
{
public:
    BusinessObject(QString name, QUrl server, QString sessionKey = QString());

    // Sent as a bearer credential with every Query; none when empty.
    void setSessionKey(const QString &key) { m_sessionKey = key; }
    const QString &sessionKey() const { return m_sessionKey; }

    // Synchronous for the caller: the window repaints meanwhile, but no click or key is handled
    // until the answer is in (keys are kept and delivered afterwards), and no second Query can
    // start inside this one.
    std::unique_ptr<RecordSet> Query(const QString &command,
                                     const QueryOptions &options = QueryOptions());

    const QString &name() const { return m_name; }
    const QUrl &server() const { return m_server; }

    // Ends the connections kept open between handlers; the next Query connects afresh. For a
    // change of whom the station trusts, which only tests make.
    static void closeConnections();

    static constexpr int defaultTimeoutMs = 10000;
    static constexpr qint64 maxAnswerBytes = 1024 * 1024;
    // Tests shorten the wait; everything else keeps the default.
    static void setTimeoutMs(int ms);
    static int timeoutMs();

private:
    QString m_name;
    QUrl m_server;
    QString m_sessionKey;
};

// Creates business-object proxies. Creating one does not contact the server yet.
class DataSpace
{
public:
    // The proxy carries the session of this run (g_SessionKey) as it stands now.
    // Throws QavError(BadServerAddress) when the address is not an http(s) URL.
    std::unique_ptr<BusinessObject> CreateObject(const QString &progId, const QString &serverUrl);
};
