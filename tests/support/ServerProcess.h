#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <utility>

// How a ServerProcess serves.
struct ServerOptions
{
    bool initDatabase = true;    // init-db before serving; false serves the database as it is
    bool seedDemo = true;        // with init-db, the demo venue 1234, its performances and bookings
    bool constantAnswer = false; // a fixed answer without the database, for benchmarks
    bool quiet = false;          // no log line per request
    QString imagesDir;           // folder with logo_<place code>.jpg, none when empty
    QString databaseUrl; // another database (e.g. PostgreSQL) instead of its own SQLite file
    QString folder;      // where it runs and keeps its own SQLite file; a temporary one when empty
    QString tlsCert, tlsKey;    // serve HTTPS with these PEM files when set
    QStringList serveArguments; // more options for `serve`
    QStringList environment;    // NAME=value added to the serving process's environment
    int maxFiles = 0;           // descriptor limit of the serving process; 0 leaves it alone
};

// What one run of a `qav-server <command>` said.
struct CliResult
{
    int exitCode = -1; // -1 when it crashed or did not end within a minute
    QString out;
    QString err;
    QString all() const { return out + err; }
};

// Runs `binary arguments` in folder with input on its standard input. It reads the settings file
// serviceConfig names, never those of a qav-server installed on this machine.
CliResult runCommand(const QString &binary, const QStringList &arguments, const QString &folder,
                     const QByteArray &input = {}, const QString &serviceConfig = {});

#ifdef QAV_SERVER_BINARY
// The qav-server built with the tests, where the target defines QAV_SERVER_BINARY.
inline QString qavServerBinary()
{
    return QStringLiteral(QAV_SERVER_BINARY);
}

// One administration command of that qav-server, as runCommand.
inline CliResult runCli(const QStringList &arguments, const QString &folder,
                        const QByteArray &input = {}, const QString &serviceConfig = {})
{
    return runCommand(qavServerBinary(), arguments, folder, input, serviceConfig);
}
#endif

// A real qav-server on a free loopback port with its own SQLite database in a temporary folder.
// start() prepares the database (init-db, and seed-demo unless told otherwise), serves it and
// returns once the server says where it listens; the destructor stops it. Its log is a file of
// its own, so several may serve one database from one folder. Every failure text carries the
// server's own error output.
class ServerProcess
{
public:
    explicit ServerProcess(QString binary, ServerOptions options = ServerOptions())
        : m_options(std::move(options)), m_binary(std::move(binary))
    {}
    ~ServerProcess();

    bool start();
    void stop();
    // Serves the same database again after stop(), on the same port: a server back after an
    // outage. As start() otherwise.
    bool resume();

    QString url() const;
    quint16 port() const { return m_port; }
    QString databasePath() const;
    // Why start() or run() failed, followed by the server's error output.
    QString errorText() const { return m_error; }
    // What the serving process wrote to its error output so far.
    QString log() const;

    qint64 processId() const { return m_process.processId(); }
    // Resident memory of the serving process in kB, -1 when it cannot be read.
    qint64 rssKb() const;
    // Processor time the serving process used so far, in clock ticks.
    qint64 cpuTicks() const;
    // Sends SIGTERM and waits for the process to end; its exit code, -1 when it crashed or hung.
    int terminate();
    // SIGKILL: the server gets no chance to finish anything.
    void kill();
    // Waits for the process to end by itself; its exit code, -1 when it crashed or hung.
    int waitForExit();

    // Runs one administration command against this server's database; false with errorText()
    // set when it fails. Standard output goes to *output.
    bool run(const QStringList &arguments, QString *output = nullptr,
             const QByteArray &input = QByteArray());

private:
    bool serve(quint16 port);
    QString folder() const;

    ServerOptions m_options;
    QString m_binary;
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};

#ifdef QAV_SERVER_BINARY
// The qav-server built with the tests, started; when it could not start, its port() is 0 and
// the reason is printed.
inline std::unique_ptr<ServerProcess> startedServer(ServerOptions options = ServerOptions())
{
    auto server = std::make_unique<ServerProcess>(qavServerBinary(), std::move(options));
    if (!server->start())
        qWarning("%s", qPrintable(server->errorText()));
    return server;
}

// A started qav-server serving the database db (a SQLite file or a postgresql:// URL) as it is.
inline std::unique_ptr<ServerProcess> serverOn(const QString &db, ServerOptions options = {})
{
    options.initDatabase = false;
    options.databaseUrl = db;
    return startedServer(std::move(options));
}

// As serverOn, with more options for `serve`.
inline std::unique_ptr<ServerProcess> serverOn(const QString &db, const QStringList &serveArguments)
{
    ServerOptions options;
    options.serveArguments = serveArguments;
    return serverOn(db, std::move(options));
}
#endif
