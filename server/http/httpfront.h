#pragma once

#include "storage.h"

#include <QAbstractHttpServer>
#include <QHostAddress>

#include <functional>
#include <memory>

namespace qav {

class BodyLimitServer;

// The HTTP side of the server: the query endpoint of `Velmor.member` and the venue logos. Every
// request is answered (a failure inside becomes a 500) and logged as one line on stderr. Owns the
// storage, which it reopens through the opener after a database failure.
class HttpFront : public QAbstractHttpServer
{
    Q_OBJECT
public:
    struct Options
    {
        QString imagesDir;          // empty: no logos
        bool constantAnswer = false; // answer without the database (benchmark baseline)
        bool quiet = false;         // no request log
    };
    using Opener = std::function<std::unique_ptr<Storage>()>;

    HttpFront(Opener opener, Options options, QObject *parent = nullptr);
    ~HttpFront() override;

    // Returns the port listened on, or 0 with a reason in error.
    quint16 listenOn(const QHostAddress &address, quint16 port, QString *error);

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    Storage &storage();

    Opener m_opener;
    Options m_options;
    std::unique_ptr<Storage> m_storage;
};

} // namespace qav
