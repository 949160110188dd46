#pragma once

#include "Addresses.h"
#include "Global.h"
#include "Lifecycle.h"
#include "MessageBox.h"
#include "Sound.h"
#include "frm01.h"
#include "frm03.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

// Records the sounds instead of playing them (CI has no sound card), with the status caption
// shown at that moment, so tests can tell that the sound came before the labels changed.
class RecordingSoundPlayer : public SoundPlayer
{
public:
    void play(const QString &fileName) override
    {
        files << fileName;
        const bool loaded = Global::frm01.isLoaded();
        captionsWhenPlayed << (loaded ? Global::frm01->lbl_BookingInfo->caption() : QString());
    }
    QStringList files;
    QStringList captionsWhenPlayed;
};

// A gate workstation's working directory: qav.ini with a place code (none when null) and the
// run-time pictures and sounds next to it. The current directory points there while it exists.
class StationSite
{
public:
    explicit StationSite(const QByteArray &placeCode = "1234") : m_previous(QDir::currentPath())
    {
        const QDir runtime(QStringLiteral(QAV_SOURCE_DIR "/assets/runtime"));
        for (const char *name : {"btn3on.jpg", "btn3off.jpg", "btn4on.jpg", "btn4off.jpg",
                                 "btn5on.jpg", "btn5off.jpg", "ok.wav", "no.wav"}) {
            if (!QFile::copy(runtime.filePath(QLatin1String(name)),
                             m_dir.filePath(QLatin1String(name))))
                writeStandIn(QLatin1String(name));
        }
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
    QString path() const { return m_dir.path(); }

private:
    void writeStandIn(const QString &name)
    {
        if (name.endsWith(u".jpg")) {
            QImage picture(116, 58, QImage::Format_RGB32);
            picture.fill(Qt::darkCyan);
            picture.save(m_dir.filePath(name), "JPG");
            return;
        }
        // 0.1 s of silence as 8-bit mono PCM.
        QByteArray wav("RIFF\0\0\0\0WAVEfmt ", 16);
        const quint32 rate = 8000, samples = 800;
        auto le32 = [&](quint32 v) { wav.append(reinterpret_cast<const char *>(&v), 4); };
        auto le16 = [&](quint16 v) { wav.append(reinterpret_cast<const char *>(&v), 2); };
        le32(16);
        le16(1);
        le16(1);
        le32(rate);
        le32(rate);
        le16(1);
        le16(8);
        wav.append("data", 4);
        le32(samples);
        wav.append(QByteArray(samples, char(0x80)));
        const quint32 riffSize = quint32(wav.size() - 8);
        wav.replace(4, 4, QByteArray(reinterpret_cast<const char *>(&riffSize), 4));
        QFile f(m_dir.filePath(name));
        if (f.open(QIODevice::WriteOnly))
            f.write(wav);
    }

    QTemporaryDir m_dir;
    QString m_previous;
};

namespace fixture {

// Unloads and forgets every window and the shared values a run leaves behind.
inline void resetProgram()
{
    for (FormId id : {FormId::Summary, FormId::Station, FormId::Console, FormId::Auxiliary}) {
        formSlot(id).unload();
        formSlot(id).drop();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (QString *v : {&g_BizCode, &g_AdminId, &g_GoodsName, &g_CheckMode, &g_ServerUrl})
        v->clear();
}

// Opens the station the way the console does, through its reference and the shell's handler;
// null when the start-up closed it again.
inline frm01 *openStation()
{
    frm01 *station = nullptr;
    runHandler([&] {
        Global::frm01->Show();
        station = Global::frm01.instance();
    });
    return station;
}

inline QByteArray jpeg(int width, int height, QColor colour)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG");
    return bytes;
}

} // namespace fixture
