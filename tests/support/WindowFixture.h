#pragma once

#include "shell/Form.h"
#include "shell/Global.h"
#include "shell/Lifecycle.h"
#include "shell/MessageBox.h"

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

// What every window test sets up: message boxes and the program's end are recorded instead of
// shown and done. install() from initTestCase; reset() from init and cleanup.
class WindowFixture
{
public:
    RecordingMessageSink messages;
    int programEnds = 0;

    void install()
    {
        setMessageSink(&messages);
        setProgramEndAction([this] { ++programEnds; });
    }

    enum class SharedValues { Cleared, Kept };
    // No window and nothing recorded; the shared values as at program start unless kept.
    void reset(SharedValues values = SharedValues::Cleared)
    {
        if (values == SharedValues::Cleared)
            resetProgram();
        else
            unloadAllWindows();
        messages.texts.clear();
        programEnds = 0;
    }
};
