#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <utility>

// How a ServerProcess serves.
struct ServerOptions
{
    bool seedDemo = true;        // the demo venue 1234, its performances and bookings
    bool constantAnswer = false; // a fixed answer without the database, for benchmarks
    bool quiet = false;          // no log line per request
    QString imagesDir;           // folder with logo_<place code>.jpg, none when empty
    QString databaseUrl;         // another database (e.g. PostgreSQL) instead of its own SQLite file
    QString tlsCert, tlsKey;     // serve HTTPS with these PEM files when set
    QStringList serveArguments;  // more options for `serve`
    QStringList environment;     // NAME=value added to the serving process's environment
    int maxFiles = 0;            // descriptor limit of the serving process; 0 leaves it alone
};

#ifdef QAV_SERVER_BINARY
// The qav-server built with the tests, where the target defines QAV_SERVER_BINARY.
inline QString qavServerBinary()
{
    return QStringLiteral(QAV_SERVER_BINARY);
}
#endif

// A real qav-server on a free loopback port with its own SQLite database in a temporary folder.
// start() prepares the database (init-db, and seed-demo unless told otherwise), serves it and
// returns once the server says where it listens; the destructor stops it. Every failure text
// carries the server's own error output.
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
    // Waits for the process to end by itself; its exit code, -1 when it crashed or hung.
    int waitForExit();

    // Runs one administration command against this server's database; false with errorText()
    // set when it fails. Standard output goes to *output.
    bool run(const QStringList &arguments, QString *output = nullptr,
             const QByteArray &input = QByteArray());

private:
    bool serve(quint16 port);

    ServerOptions m_options;
    QString m_binary;
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};
