#pragma once

#include "console/ConsoleLogic.h"
#include "remote/Commands.h"
#include "remote/DataSpace.h"
#include "shell/Addresses.h"
#include "shell/Look.h"
#include "station/Sound.h"
#include "station/frm01.h"
#include "summary/frm03.h"
#include "tests/support/StationSite.h"
#include "tests/support/WindowFixture.h"

#include <QBuffer>
#include <QColor>
#include <QImage>
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

// The window fixture for the program's own windows: Korean fonts, sounds recorded, and the
// server's answer awaited as long as a verification waits.
class AppWindowFixture : public WindowFixture
{
public:
    RecordingSoundPlayer sounds;

    void install()
    {
        installKoreanFonts();
        WindowFixture::install();
        setSoundPlayer(&sounds);
        BusinessObject::setTimeoutMs(5000);
    }

    void reset(SharedValues values = SharedValues::Cleared)
    {
        WindowFixture::reset(values);
        sounds.files.clear();
        sounds.captionsWhenPlayed.clear();
    }
};

namespace fixture {

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

// Signs the operator in at the server the way the console does, so that the station's calls
// carry the session; false when the server refuses.
inline bool signIn(const QString &serverUrl, const QString &id, const QString &password)
{
    bool ok = false;
    runHandler([&] {
        auto object = DataSpace().CreateObject(Commands::ObjectName(), serverUrl);
        const console::SignIn answer =
            console::signInOf(*object->Query(Commands::OperatorSignIn(id, password)));
        if (answer.outcome != console::SignInOutcome::SignedIn)
            return;
        g_AdminId = id;
        g_SessionKey = answer.sessionKey;
        ok = !g_SessionKey.isEmpty();
    });
    return ok;
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
