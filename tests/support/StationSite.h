#pragma once

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

// A working directory laid out like a gate workstation's: qav.ini with a place code (none when
// null) and the run-time pictures and sounds next to it. The current directory points there while
// the site exists.
class StationSite
{
public:
    explicit StationSite(const QByteArray &placeCode = "1234") : m_previous(QDir::currentPath())
    {
        const QDir runtime(QStringLiteral(QAV_SOURCE_DIR "/assets/runtime"));
        for (const QString &name : runtime.entryList(QDir::Files))
            QFile::copy(runtime.filePath(name), m_dir.filePath(name));
        if (!placeCode.isNull())
            writeIni("[Quorvanta]\nPlaceCode=" + placeCode + "\n");
        QDir::setCurrent(m_dir.path());
    }
    ~StationSite() { QDir::setCurrent(m_previous); }

    void writeIni(const QByteArray &content)
    {
        QFile ini(m_dir.filePath(QStringLiteral("qav.ini")));
        if (ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
            ini.write(content);
    }
    bool remove(const QString &name) { return QFile::remove(m_dir.filePath(name)); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QString m_previous;
};
