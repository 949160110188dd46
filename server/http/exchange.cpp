#include "server/http/exchange.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace qav {

QByteArray HttpRequest::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

HttpAnswer HttpAnswer::error(int status, const QString &text)
{
    HttpAnswer a;
    a.status = status;
    a.body =
        QJsonDocument(QJsonObject{{QStringLiteral("error"), text}}).toJson(QJsonDocument::Compact);
    a.logResult = QString::number(status);
    return a;
}

WorkerContext::WorkerContext(Opener opener) : m_opener(std::move(opener)) {}

WorkerContext::~WorkerContext() = default;

Storage &WorkerContext::storage()
{
    if (!m_storage) {
        if (!m_opener)
            throw StorageError("no database");
        m_storage = m_opener();
    }
    return *m_storage;
}

void WorkerContext::dropStorage()
{
    m_storage.reset();
}

void Routes::add(const QString &path, Route route)
{
    m_exact.insert(path, std::move(route));
}

void Routes::addPrefix(const QString &prefix, Route route)
{
    auto at = m_prefixes.begin();
    while (at != m_prefixes.end() && at->first.size() >= prefix.size())
        ++at;
    m_prefixes.insert(at, {prefix, std::move(route)});
}

void Routes::setFallback(Route route)
{
    m_fallback = std::move(route);
}

const Route &Routes::find(const QString &path) const
{
    if (const auto it = m_exact.constFind(path); it != m_exact.constEnd())
        return *it;
    for (const auto &[prefix, route] : m_prefixes) {
        if (path.startsWith(prefix))
            return route;
    }
    return m_fallback;
}

} // namespace qav
