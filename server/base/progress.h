#pragma once

#include <QElapsedTimer>
#include <QString>

#include <atomic>
#include <cstdio>
#include <thread>

namespace qav {

// Progress of long admin work: on a terminal one line rewritten in place (at most five times a
// second), elsewhere (a log, a pipe) a plain line every few seconds, so that a short run adds
// nothing to what scripts read. Writes only to the stream it is given, never to the other one,
// so a command's machine-readable output stays as it was. Used from one thread; while it watches a
// file, only its watching thread touches it, until finish.
class Progress
{
public:
    Progress(QString what, qint64 total, std::FILE *stream = stdout, QString unit = u"rows"_qs);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    void set(qint64 done);
    void add(qint64 count) { set(m_done + count); }
    // Said after the counts, e.g. a drill's latencies; shown with the next line.
    void setNote(const QString &note) { m_note = note; }
    // Counts the size of a file written by a call that reports nothing (a database copy), in kB,
    // from a thread of its own until finish.
    void watchFile(const QString &path);
    // Stops watching and clears the terminal's line, so that what follows starts on a clean one.
    void finish();

    bool onTerminal() const { return m_terminal; }
    // "3,000 of 10,000 rows, 1,500/s, 5 s left"; without a total (0) only the count and rate.
    static QString describe(qint64 done, qint64 total, qint64 elapsedMs, const QString &unit);

private:
    void show();

    QString m_what;
    QString m_unit;
    QString m_note;
    qint64 m_total = 0;
    qint64 m_done = 0;
    std::FILE *m_stream;
    bool m_terminal = false;
    bool m_shown = false;
    qint64 m_lastShownMs = 0;
    QElapsedTimer m_clock;
    std::thread m_watcher;
    std::atomic<bool> m_stopWatching{false};
};

} // namespace qav
