#pragma once

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QObject>
#include <QSslConfiguration>
#include <QUrl>

namespace qav {

// What one call of a virtual station came to.
struct DrillAnswer
{
    int status = 0;    // HTTP status, 0 when no answer came (network failure, time out)
    QString code;      // the record set's ErrCode for a 200
    QString error;     // why there is no usable answer
    qint64 micros = 0; // from sending to the whole answer
    bool timedOut = false;
};

// One gate of a drill: speaks to the server exactly as a station does (the wire's command texts
// byte for byte, the same headers, session key and replay keys), one call at a time, on its own
// connection. Answers arrive as signals on the thread that made it; nothing blocks.
class DrillStation : public QObject
{
    Q_OBJECT
public:
    DrillStation(QUrl server, QSslConfiguration tls, QObject *parent = nullptr);
    ~DrillStation() override;

    // The operator's sign-in, then the place code's, as the station's start-up does; signedIn
    // with the performance the gate got, or failed with the answer that refused it (a status 0
    // or 503, or timedOut: try again later) and its text.
    void signIn(const QString &operatorId, const QString &password, const QString &placeCode);
    // A verification with a fresh replay key; with resend the previous one again, its key kept,
    // as a station retries a scan that got no answer.
    void scan(const QString &mode, const QString &bizcode, const QString &ticket);
    void resendLast();
    bool busy() const { return m_reply != nullptr; }
    bool hasLast() const { return !m_lastBody.isEmpty(); }
    QString lastTicket() const { return m_lastTicket; }
    // Gives up the call under way (its answer is not counted).
    void abort();

Q_SIGNALS:
    void signedIn(const QString &bizcode);
    void failed(const DrillAnswer &answer, const QString &why);
    void answered(const DrillAnswer &answer);

private:
    void post(const QByteArray &body, const QByteArray &replayKey,
              std::function<void(const DrillAnswer &, const QByteArray &)> then);

    QNetworkAccessManager m_network;
    QUrl m_url;
    QSslConfiguration m_tls;
    QByteArray m_sessionKey;
    QByteArray m_lastBody;
    QByteArray m_lastKey;
    QString m_lastTicket;
    QString m_operatorId;
    QNetworkReply *m_reply = nullptr;
};

} // namespace qav
