#include "server/base/progress.h"

#include <QFileInfo>
#include <QLocale>

#include <chrono>

#include <unistd.h>

namespace qav {

namespace {

constexpr qint64 kTerminalEveryMs = 200;
constexpr qint64 kPlainEveryMs = 5000;

QString number(qint64 n)
{
    static const QLocale english(QLocale::English);
    return english.toString(n);
}

QString duration(qint64 secs)
{
    if (secs < 60)
        return QStringLiteral("%1 s").arg(secs);
    if (secs < 3600)
        return QStringLiteral("%1 min %2 s").arg(secs / 60).arg(secs % 60);
    return QStringLiteral("%1 h %2 min").arg(secs / 3600).arg(secs % 3600 / 60);
}

} // namespace

Progress::Progress(QString what, qint64 total, std::FILE *stream, QString unit)
    : m_what(std::move(what)), m_unit(std::move(unit)), m_total(total), m_stream(stream),
      m_terminal(::isatty(::fileno(stream)) == 1)
{
    m_clock.start();
}

Progress::~Progress()
{
    finish();
}

QString Progress::describe(qint64 done, qint64 total, qint64 elapsedMs, const QString &unit)
{
    QString text = total > 0 ? QStringLiteral("%1 of %2 %3").arg(number(done), number(total), unit)
                             : QStringLiteral("%1 %2").arg(number(done), unit);
    if (elapsedMs <= 0 || done <= 0)
        return text;
    const double perSec = double(done) * 1000.0 / double(elapsedMs);
    text += QStringLiteral(", %1/s").arg(number(qRound64(perSec)));
    if (total > done)
        text += QStringLiteral(", %1 left").arg(duration(qRound64(double(total - done) / perSec)));
    return text;
}

void Progress::set(qint64 done)
{
    m_done = done;
    const qint64 now = m_clock.elapsed();
    const qint64 every = m_terminal ? kTerminalEveryMs : kPlainEveryMs;
    if (now - m_lastShownMs < every)
        return;
    m_lastShownMs = now;
    show();
}

void Progress::show()
{
    QString line =
        m_what + QStringLiteral(": ") + describe(m_done, m_total, m_clock.elapsed(), m_unit);
    if (!m_note.isEmpty())
        line += QStringLiteral("; ") + m_note;
    const QByteArray text = line.toUtf8();
    if (m_terminal)
        std::fprintf(m_stream, "\r%s\033[K", text.constData());
    else
        std::fprintf(m_stream, "%s\n", text.constData());
    std::fflush(m_stream);
    m_shown = true;
}

void Progress::watchFile(const QString &path)
{
    m_watcher = std::thread([this, path] {
        while (!m_stopWatching) {
            set(QFileInfo(path).size() / 1024);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
}

void Progress::finish()
{
    if (m_watcher.joinable()) {
        m_stopWatching = true;
        m_watcher.join();
    }
    if (m_terminal && m_shown) {
        std::fputs("\r\033[K", m_stream);
        std::fflush(m_stream);
    }
    m_shown = false;
}

} // namespace qav
