#include "server/http/httpparser.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace qav {

namespace {

constexpr qsizetype kMaxChunkLine = 1024;

bool isToken(const QByteArray &s)
{
    if (s.isEmpty())
        return false;
    for (const char c : s) {
        if (c <= ' ' || c >= 127 || QByteArrayView("()<>@,;:\\\"/[]?={}").contains(c))
            return false;
    }
    return true;
}

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Control characters other than tab (a bare CR or a NUL among them) split a header or a chunk
// line differently for different parsers: refused wherever they appear.
bool hasControl(QByteArrayView line)
{
    return std::any_of(line.begin(), line.end(),
                       [](char c) { return (uchar(c) < ' ' && c != '\t') || c == 127; });
}

bool hasToken(const QByteArray &list, const char *token)
{
    for (const QByteArray &part : list.split(','))
        if (part.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

} // namespace

HttpParser::HttpParser(qint64 maxBody, qsizetype maxHeaderBytes)
    : m_maxBody(maxBody), m_bodyLimit(maxBody), m_maxHeaderBytes(maxHeaderBytes)
{}

void HttpParser::feed(QByteArrayView bytes)
{
    if (m_state == State::Refused)
        return;
    if (m_pos > 0) {
        m_in.remove(0, m_pos);
        m_scan -= m_pos;
        m_pos = 0;
    }
    m_in += bytes;
}

HttpParser::Step HttpParser::next()
{
    Step event = Step::NeedMore;
    while (step(event)) {
        if (event != Step::NeedMore)
            return event;
    }
    return event;
}

HttpRequest HttpParser::takeRequest()
{
    return std::exchange(m_request, HttpRequest());
}

// One step over m_in from m_pos; false when it needs more bytes. An event for the caller goes to
// event.
bool HttpParser::step(Step &event)
{
    switch (m_state) {
    case State::Head: {
        // Blank lines between requests are allowed.
        while (m_pos < m_in.size() && (m_in[m_pos] == '\r' || m_in[m_pos] == '\n'))
            ++m_pos;
        if (m_pos >= m_in.size()) {
            m_in.clear();
            m_pos = m_scan = 0;
            return false;
        }
        m_scan = qMax(m_scan, m_pos);
        qsizetype end = -1;
        qsizetype bodyStart = -1;
        for (qsizetype i = m_scan; i < m_in.size(); ++i) {
            if (m_in[i] != '\n')
                continue;
            if (i + 1 < m_in.size() && m_in[i + 1] == '\n') {
                end = i;
                bodyStart = i + 2;
                break;
            }
            if (i + 2 < m_in.size() && m_in[i + 1] == '\r' && m_in[i + 2] == '\n') {
                end = i;
                bodyStart = i + 3;
                break;
            }
        }
        if (end < 0) {
            m_scan = qMax(m_pos, m_in.size() - 2);
            // The head's end may begin in the last two bytes ("\n\r"): refused only once no
            // ending could keep it within the limit, so where the bytes were split does not matter.
            if (m_in.size() - m_pos > m_maxHeaderBytes + 2) {
                event = refuse(413, QStringLiteral("요청 헤더가 너무 깁니다"));
                return true;
            }
            return false;
        }
        if (end - m_pos > m_maxHeaderBytes) {
            event = refuse(413, QStringLiteral("요청 헤더가 너무 깁니다"));
            return true;
        }
        const QByteArray head = m_in.mid(m_pos, end - m_pos);
        m_pos = bodyStart;
        m_scan = bodyStart;
        event = parseHead(head);
        return true;
    }
    case State::Body:
    case State::ChunkData: {
        // A whole body and one chunk of a chunked body are copied the same way; only what comes
        // after them differs.
        const qint64 take = qMin<qint64>(m_remaining, m_in.size() - m_pos);
        if (take <= 0)
            return false;
        m_request.body.append(m_in.constData() + m_pos, take);
        m_pos += take;
        m_remaining -= take;
        if (m_remaining == 0) {
            if (m_state == State::Body)
                event = complete();
            else
                m_state = State::ChunkEnd;
        }
        return true;
    }
    case State::ChunkSize:
    case State::ChunkEnd:
    case State::Trailer: {
        const qsizetype nl = m_in.indexOf('\n', m_pos);
        if (nl < 0) {
            if (m_in.size() - m_pos > kMaxChunkLine) {
                event = refuse(413, QStringLiteral("요청 본문이 너무 깁니다"));
                return true;
            }
            return false;
        }
        QByteArray line = m_in.mid(m_pos, nl - m_pos);
        if (nl - m_pos > kMaxChunkLine) {
            event = refuse(413, QStringLiteral("요청 본문이 너무 깁니다"));
            return true;
        }
        m_pos = nl + 1;
        if (line.endsWith('\r'))
            line.chop(1);
        if (hasControl(line)) {
            event = refuse(400, QStringLiteral("청크 크기가 올바르지 않습니다"));
            return true;
        }
        if (m_state == State::ChunkEnd) {
            if (!line.isEmpty())
                event = refuse(400, QStringLiteral("청크 크기가 올바르지 않습니다"));
            else
                m_state = State::ChunkSize;
        } else if (m_state == State::Trailer) {
            // Trailers count against the header limit; their content is not used.
            m_remaining += line.size() + 2;
            if (line.isEmpty())
                event = complete();
            else if (m_remaining > m_maxHeaderBytes)
                event = refuse(413, QStringLiteral("요청 헤더가 너무 깁니다"));
        } else {
            // Hex digits only: no sign, no 0x, no blanks, each of which some parser reads
            // differently. Leading zeros are plain hex.
            const qsizetype semicolon = line.indexOf(';');
            const QByteArray digits = semicolon < 0 ? line : line.left(semicolon);
            const bool ok = !digits.isEmpty() && std::all_of(digits.begin(), digits.end(), isHex);
            const qint64 size = ok && digits.size() <= 15 ? digits.toLongLong(nullptr, 16) : -1;
            if (ok && digits.size() > 15) {
                event =
                    refuse(413, QStringLiteral("요청 본문이 %1바이트를 넘습니다").arg(m_bodyLimit));
            } else if (!ok) {
                event = refuse(400, QStringLiteral("청크 크기가 올바르지 않습니다"));
            } else if (size == 0) {
                m_remaining = 0;
                m_state = State::Trailer;
            } else if (m_request.body.size() + size > m_bodyLimit) {
                event =
                    refuse(413, QStringLiteral("요청 본문이 %1바이트를 넘습니다").arg(m_bodyLimit));
            } else {
                m_remaining = size;
                m_state = State::ChunkData;
            }
        }
        return true;
    }
    case State::Refused:
        event = Step::Refused;
        return true;
    }
    return false;
}

void HttpParser::allowLargerBody(const QString &pathPrefix, qint64 maxBody)
{
    m_largerBodies.append({pathPrefix, maxBody});
}

HttpParser::Step HttpParser::parseHead(const QByteArray &head)
{
    QList<QByteArray> lines = head.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (hasControl(line))
            return refuse(400, QStringLiteral("요청 형식이 올바르지 않습니다"));
    }
    const QList<QByteArray> requestLine = lines.first().split(' ');
    if (requestLine.size() != 3 || !isToken(requestLine[0]) || requestLine[1].isEmpty())
        return refuse(400, QStringLiteral("요청 형식이 올바르지 않습니다"));
    const QByteArray &version = requestLine[2];
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        if (version.startsWith("HTTP/"))
            return refuse(505, QStringLiteral("HTTP 버전을 지원하지 않습니다"));
        return refuse(400, QStringLiteral("요청 형식이 올바르지 않습니다"));
    }

    m_request = HttpRequest();
    m_request.method = requestLine[0];
    QByteArray target = requestLine[1];
    if (target.startsWith("http://") || target.startsWith("https://")) {
        // Absolute form: only the path and query matter here.
        const qsizetype slash = target.indexOf('/', target.indexOf("//") + 2);
        target = slash < 0 ? QByteArray("/") : target.mid(slash);
    }
    const qsizetype question = target.indexOf('?');
    m_request.path = QString::fromLatin1(question < 0 ? target : target.left(question));
    m_bodyLimit = m_maxBody;
    for (const auto &[prefix, limit] : std::as_const(m_largerBodies)) {
        if (m_request.path.startsWith(prefix))
            m_bodyLimit = std::max(m_bodyLimit, limit);
    }
    if (question >= 0)
        m_request.query = QUrlQuery(QString::fromLatin1(target.mid(question + 1)));

    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        const qsizetype colon = line.indexOf(':');
        // Folded lines and blanks before the colon are how requests get smuggled: refused.
        if (line.startsWith(' ') || line.startsWith('\t') || colon <= 0 ||
            !isToken(line.left(colon)))
            return refuse(400, QStringLiteral("요청 형식이 올바르지 않습니다"));
        m_request.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
    }

    std::optional<QByteArray> length;
    std::optional<QByteArray> codings;
    QByteArray connection;
    for (const auto &[name, value] : std::as_const(m_request.headers)) {
        if (name.compare("content-length", Qt::CaseInsensitive) == 0) {
            // Digits only, and once (or repeated the same): a list, a sign or an empty value is
            // read differently by different parsers.
            const bool digits =
                !value.isEmpty() && std::all_of(value.begin(), value.end(),
                                                [](char c) { return c >= '0' && c <= '9'; });
            if (!digits || (length && *length != value))
                return refuse(400, QStringLiteral("Content-Length가 올바르지 않습니다"));
            length = value;
        } else if (name.compare("transfer-encoding", Qt::CaseInsensitive) == 0) {
            if (codings) // a second header adds a coding, and no other coding is taken
                return refuse(400, QStringLiteral("Transfer-Encoding이 올바르지 않습니다"));
            codings = value;
        } else if (name.compare("connection", Qt::CaseInsensitive) == 0) {
            connection += (connection.isEmpty() ? "" : ",") + value;
        }
    }
    const bool http10 = version == "HTTP/1.0";
    m_keepAlive10 = http10 && hasToken(connection, "keep-alive");
    m_close = http10 ? !m_keepAlive10 : hasToken(connection, "close");

    bool chunked = false;
    qint64 size = 0;
    if (codings) {
        // Only chunked is decoded; anything else (gzip, a list) would be passed on undecoded.
        if (length || codings->compare("chunked", Qt::CaseInsensitive) != 0)
            return refuse(400, QStringLiteral("Transfer-Encoding이 올바르지 않습니다"));
        chunked = true;
    } else if (length) {
        bool ok = false;
        size = length->toLongLong(&ok);
        if (!ok || size > m_bodyLimit) // too many digits for a number are too large too
            return refuse(413, QStringLiteral("요청 본문이 %1바이트를 넘습니다").arg(m_bodyLimit));
    }

    if (chunked) {
        m_state = State::ChunkSize;
    } else if (size > 0) {
        m_remaining = size;
        m_state = State::Body;
    } else {
        return complete();
    }
    const bool continueAsked =
        !http10 && m_request.header("expect").compare("100-continue", Qt::CaseInsensitive) == 0;
    return continueAsked ? Step::Continue : Step::NeedMore;
}

HttpParser::Step HttpParser::complete()
{
    m_state = State::Head;
    m_remaining = 0;
    return Step::Request;
}

HttpParser::Step HttpParser::refuse(int status, const QString &reason)
{
    m_refusal = {status, reason};
    m_state = State::Refused;
    m_in.clear();
    m_pos = m_scan = 0;
    m_request = HttpRequest();
    return Step::Refused;
}

} // namespace qav
