#pragma once

#include "server/http/exchange.h"

#include <QByteArray>
#include <QString>

namespace qav {

// Reads HTTP/1.1 requests out of a byte stream, with no socket: bytes go in through feed(), and
// next() says what they came to. It is strict where parsers disagree, so no request can mean one
// thing here and another to a proxy in front: the request line is three parts, header names are
// tokens, no header line is folded, no control character (a bare CR, a NUL) is in a header or
// chunk line, Content-Length is digits only and given once, Transfer-Encoding is exactly
// "chunked" and excludes Content-Length, chunk sizes are plain hex. A head or body over the
// limits is refused with 413 as soon as that is certain, so memory stays bounded; how the bytes
// were split never changes the result. After a refusal it reads nothing more.
class HttpParser
{
public:
    enum class Step {
        NeedMore, // feed more bytes
        Continue, // a head asking for "100 Continue" was read; its body comes next
        Request,  // a request is complete: takeRequest()
        Refused,  // the stream is broken: refusal(); nothing more is read
    };
    struct Refusal
    {
        int status = 0;
        QString reason;
    };

    HttpParser(qint64 maxBody, qsizetype maxHeaderBytes);

    // Requests whose path begins with pathPrefix may carry a body of up to maxBody.
    void allowLargerBody(const QString &pathPrefix, qint64 maxBody);

    void feed(QByteArrayView bytes);
    // Reads on from the bytes fed; call again after anything but NeedMore.
    Step next();

    // The request just completed: method, path, query, headers and body; the connection adds
    // where it came from.
    HttpRequest takeRequest();
    // The request just completed asks to close the connection after its answer.
    bool closeAfter() const { return m_close; }
    // An HTTP/1.0 request asking to be kept alive: the answer says it is.
    bool keepAlive10() const { return m_keepAlive10; }
    const Refusal &refusal() const { return m_refusal; }

    // Bytes fed and not yet read into a request.
    bool hasBuffered() const { return m_pos < m_in.size(); }
    // Between requests with nothing of the next one buffered.
    bool idle() const { return m_state == State::Head && !hasBuffered(); }

private:
    enum class State { Head, Body, ChunkSize, ChunkData, ChunkEnd, Trailer, Refused };

    bool step(Step &event);
    Step parseHead(const QByteArray &head);
    Step refuse(int status, const QString &reason);
    Step complete();

    qint64 m_maxBody;
    qint64 m_bodyLimit; // of the request being read
    QList<QPair<QString, qint64>> m_largerBodies;
    qsizetype m_maxHeaderBytes;
    State m_state = State::Head;
    QByteArray m_in;
    qsizetype m_pos = 0;
    qsizetype m_scan = 0; // where the search for the end of the head goes on
    qint64 m_remaining = 0;
    HttpRequest m_request; // being read
    bool m_close = false;
    bool m_keepAlive10 = false;
    Refusal m_refusal;
};

} // namespace qav
