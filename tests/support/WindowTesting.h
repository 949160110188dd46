#pragma once

#include "Form.h"
#include "Global.h"
#include "Sound.h"
#include "frm01.h"

#include <QCoreApplication>
#include <QEvent>

// Unloads and forgets every window, and deletes what they left for the event loop.
inline void unloadAllWindows()
{
    for (FormId id : {FormId::Summary, FormId::Station, FormId::Console, FormId::Auxiliary}) {
        formSlot(id).unload();
        formSlot(id).drop();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// As at program start: no window and all shared values empty.
inline void resetProgram()
{
    unloadAllWindows();
    for (QString *v :
         {&g_BizCode, &g_AdminId, &g_SessionKey, &g_GoodsName, &g_CheckMode, &g_ServerUrl})
        v->clear();
}

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
