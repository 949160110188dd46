#pragma once

// Feeds an HttpParser and writes down what it made of the bytes, for the parser's test and its
// fuzzer alike.

#include "server/http/httpparser.h"

#include <QList>
#include <QStringList>

namespace qavtest {

using qav::HttpParser;
using qav::HttpRequest;

// Small, so that random streams reach them.
inline constexpr qint64 kMaxBody = 16;
inline constexpr qsizetype kMaxHead = 96;

// What a header may never look like once a request is accepted, whatever was sent.
inline QString strictnessBroken(const HttpRequest &r)
{
    if (r.body.size() > kMaxBody)
        return QStringLiteral("body over the limit");
    int codings = 0;
    bool length = false;
    for (const auto &[name, value] : r.headers) {
        for (const char c : name + value)
            if ((uchar(c) < ' ' && c != '\t') || c == 127)
                return QStringLiteral("control character in a header");
        if (name.isEmpty() || name.contains(' ') || name.contains(':'))
            return QStringLiteral("header name not a token");
        if (name.compare("content-length", Qt::CaseInsensitive) == 0) {
            length = true;
            for (const char c : value)
                if (c < '0' || c > '9')
                    return QStringLiteral("Content-Length not digits");
        }
        if (name.compare("transfer-encoding", Qt::CaseInsensitive) == 0) {
            ++codings;
            if (value.compare("chunked", Qt::CaseInsensitive) != 0)
                return QStringLiteral("a coding other than chunked");
        }
    }
    if (codings > 1 || (codings == 1 && length))
        return QStringLiteral("ambiguous framing");
    return {};
}

// Starts the line of an accepted request that breaks a strict rule (no method has a colon).
inline const QString kBroken = QStringLiteral("broken: ");

// What the parser made of the pieces, fed one after the other: one line per event, and "more"
// when it is left in the middle of a request.
inline QStringList run(const QList<QByteArray> &pieces)
{
    HttpParser parser(kMaxBody, kMaxHead);
    QStringList events;
    for (const QByteArray &piece : pieces) {
        parser.feed(piece);
        for (;;) {
            const HttpParser::Step step = parser.next();
            if (step == HttpParser::Step::NeedMore)
                break;
            if (step == HttpParser::Step::Refused) {
                events << QStringLiteral("refused %1").arg(parser.refusal().status);
                return events;
            }
            if (step == HttpParser::Step::Continue) {
                events << QStringLiteral("continue");
                continue;
            }
            const bool close = parser.closeAfter();
            const bool keepAlive10 = parser.keepAlive10();
            const HttpRequest r = parser.takeRequest();
            const QString broken = strictnessBroken(r);
            QString line = QString::fromLatin1(r.method) + u' ' + r.path;
            if (!r.query.isEmpty())
                line += u'?' + r.query.toString();
            if (!r.body.isEmpty())
                line += u' ' + QString::fromLatin1(r.body);
            if (close)
                line += QStringLiteral(" close");
            if (keepAlive10)
                line += QStringLiteral(" keep-alive");
            events << (broken.isEmpty() ? line : kBroken + broken);
        }
    }
    if (!parser.idle())
        events << QStringLiteral("more");
    return events;
}

inline QList<QByteArray> bytewise(const QByteArray &stream)
{
    QList<QByteArray> pieces;
    for (const char c : stream)
        pieces << QByteArray(1, c);
    return pieces;
}

} // namespace qavtest
