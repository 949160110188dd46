#include "shell/Addresses.h"

namespace {

QString &server()
{
    static QString s = QStringLiteral(QAV_SERVER_URL);
    return s;
}

QString &images()
{
    static QString s = QStringLiteral(QAV_IMAGE_SERVER_URL);
    return s;
}

} // namespace

QString ServerAddress()
{
    return server();
}

QString ImageServerAddress()
{
    return images();
}

void overrideAddresses(const QString &serverUrl, const QString &imageServerUrl)
{
    server() = serverUrl;
    images() = imageServerUrl;
}
