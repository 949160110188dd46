#include "tests/support/ServerProcess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#include <sys/resource.h>
#endif

namespace {

constexpr int kCommandTimeoutMs = 60000;
constexpr int kStartTimeoutMs = 30000;

// Never the settings of a qav-server installed on this machine.
QProcessEnvironment commandEnvironment(const QString &folder, const QString &serviceConfig = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QAV_SERVER_CONF"),
               serviceConfig.isEmpty() ? folder + QStringLiteral("/no-such.conf") : serviceConfig);
    return env;
}

} // namespace

CliResult runCommand(const QString &binary, const QStringList &arguments, const QString &folder,
                     const QByteArray &input, const QString &serviceConfig)
{
    QProcess p;
    p.setWorkingDirectory(folder);
    p.setProcessEnvironment(commandEnvironment(folder, serviceConfig));
    p.start(binary, arguments);
    p.write(input);
    p.closeWriteChannel();
    CliResult result;
    if (!p.waitForFinished(kCommandTimeoutMs)) {
        result.err = QStringLiteral("%1 did not end: %2").arg(binary, p.errorString());
        return result;
    }
    result.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    result.out = QString::fromUtf8(p.readAllStandardOutput());
    result.err = QString::fromUtf8(p.readAllStandardError());
    return result;
}

ServerProcess::~ServerProcess()
{
    stop();
}

QString ServerProcess::folder() const
{
    return m_options.folder.isEmpty() ? m_dir.path() : m_options.folder;
}

QString ServerProcess::databasePath() const
{
    return m_options.databaseUrl.isEmpty() ? QDir(folder()).filePath(QStringLiteral("qav.db"))
                                           : m_options.databaseUrl;
}

QString ServerProcess::url() const
{
    const bool tls = !m_options.tlsCert.isEmpty();
    return QStringLiteral("%1://127.0.0.1:%2")
        .arg(tls ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(m_port);
}

QString ServerProcess::log() const
{
    QFile file(m_dir.filePath(QStringLiteral("server.log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool ServerProcess::run(const QStringList &arguments, QString *output, const QByteArray &input)
{
    const CliResult r = runCommand(
        m_binary, arguments + QStringList{QStringLiteral("--db"), databasePath()}, folder(), input);
    if (output)
        *output = r.out;
    if (r.exitCode != 0) {
        m_error = QStringLiteral("qav-server %1 failed (%2): %3\n%4")
                      .arg(arguments.join(u' '), QString::number(r.exitCode), r.out, r.err);
        return false;
    }
    return true;
}

bool ServerProcess::start()
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder: %1").arg(m_dir.errorString());
        return false;
    }
    if (!m_options.constantAnswer && m_options.initDatabase) {
        if (!run({QStringLiteral("init-db")}))
            return false;
        if (m_options.seedDemo && !run({QStringLiteral("seed-demo")}))
            return false;
    }

    return serve(0);
}

bool ServerProcess::resume()
{
    return m_port != 0 && serve(m_port);
}

bool ServerProcess::serve(quint16 port)
{
    QStringList args{QStringLiteral("serve"), QStringLiteral("--port"), QString::number(port)};
    if (m_options.constantAnswer)
        args << QStringLiteral("--constant-answer");
    else
        args << QStringLiteral("--db") << databasePath();
    if (m_options.quiet)
        args << QStringLiteral("--quiet");
    if (!m_options.imagesDir.isEmpty())
        args << QStringLiteral("--images") << m_options.imagesDir;
    if (!m_options.tlsCert.isEmpty())
        args << QStringLiteral("--tls-cert") << m_options.tlsCert << QStringLiteral("--tls-key")
             << m_options.tlsKey;
    args << m_options.serveArguments;
    QProcessEnvironment env = commandEnvironment(folder());
    for (const QString &pair : std::as_const(m_options.environment))
        env.insert(pair.section(u'=', 0, 0), pair.section(u'=', 1));
    m_process.setProcessEnvironment(env);

    // A file, not a pipe: a full pipe would stall a server nobody reads while a test waits.
    m_process.setStandardErrorFile(m_dir.filePath(QStringLiteral("server.log")));
    m_process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    m_process.setWorkingDirectory(folder());
#ifdef Q_OS_LINUX
    // A test that crashes or aborts must not leave its server running.
    m_process.setChildProcessModifier([maxFiles = m_options.maxFiles] {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (maxFiles > 0) {
            const rlimit limit{rlim_t(maxFiles), rlim_t(maxFiles)};
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
    });
#endif
    m_process.start(m_binary, args);
    if (!m_process.waitForStarted(kStartTimeoutMs)) {
        m_error = QStringLiteral("cannot start %1: %2").arg(m_binary, m_process.errorString());
        return false;
    }

    static const QRegularExpression listening(QStringLiteral("listening on https?://[^:]+:(\\d+)"));
    QDeadlineTimer deadline(kStartTimeoutMs);
    while (!deadline.hasExpired()) {
        const QRegularExpressionMatch m = listening.match(log());
        if (m.hasMatch()) {
            m_port = quint16(m.captured(1).toUInt());
            return true;
        }
        // Returns at once when the server dies, else after a short poll interval.
        if (m_process.waitForFinished(20))
            break;
    }
    m_error = QStringLiteral("qav-server did not start listening: %1").arg(log());
    stop();
    return false;
}

qint64 ServerProcess::rssKb() const
{
    QFile file(QStringLiteral("/proc/%1/status").arg(m_process.processId()));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

qint64 ServerProcess::cpuTicks() const
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(m_process.processId()));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    // After the command name in parentheses: state is field 3, utime 14 and stime 15.
    const QByteArray stat = file.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? fields[11].toLongLong() + fields[12].toLongLong() : -1;
}

int ServerProcess::terminate()
{
    if (m_process.state() == QProcess::NotRunning)
        return -1;
    m_process.terminate();
    return waitForExit();
}

int ServerProcess::waitForExit()
{
    if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(30000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
        return -1;
    }
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

void ServerProcess::kill()
{
    m_process.kill();
    m_process.waitForFinished(10000);
}

void ServerProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}
