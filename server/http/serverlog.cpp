#include "server/http/serverlog.h"

#include "server/base/printable.h"

#include <QDateTime>

#include <cstdio>

namespace qav {

Q_LOGGING_CATEGORY(lcServer, "qav.server")
Q_LOGGING_CATEGORY(lcRequest, "qav.request")
Q_LOGGING_CATEGORY(lcConnection, "qav.connection")

namespace {

bool g_journal = false;

int syslogPriority(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return 7;
    case QtInfoMsg:
        return 6;
    case QtWarningMsg:
        return 4;
    case QtCriticalMsg:
        return 3;
    case QtFatalMsg:
        return 2;
    }
    return 6;
}

const char *levelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "error";
    case QtFatalMsg:
        return "fatal";
    }
    return "info";
}

void writeLine(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    QByteArray line;
    if (g_journal) {
        line = '<' + QByteArray::number(syslogPriority(type)) + '>';
    } else {
        line = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toLatin1() + ' ' +
               levelName(type) + ' ';
    }
    // One message, one line, and nothing a client sent can forge another line or reach the
    // terminal as an escape sequence.
    line += printable(message).toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

} // namespace

void installServerLog(bool quiet)
{
    g_journal = !qEnvironmentVariableIsEmpty("JOURNAL_STREAM");
    QString rules = QStringLiteral("qav.*.debug=false\n");
    if (quiet)
        rules += QStringLiteral("qav.request.info=false\n");
    QLoggingCategory::setFilterRules(rules);
    qInstallMessageHandler(writeLine);
}

QString peerText(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : address.toString();
}

} // namespace qav
