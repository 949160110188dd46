#include "shell/Lifecycle.h"

#include "shell/Form.h"
#include "shell/MessageBox.h"
#include "shell/QavError.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace {

std::function<void()> s_endAction;

QString describe(int number, const QString &description)
{
    return QStringLiteral("실행 오류 '%1':\n\n%2").arg(number).arg(description);
}

} // namespace

void runHandler(const std::function<void()> &handler)
{
    try {
        handler();
    } catch (const HandlerAbandoned &) {
    } catch (const QavError &e) {
        MsgBox(describe(e.number(), e.description()));
        if (e.isFatal())
            EndProgram();
    } catch (const std::exception &e) {
        MsgBox(describe(999, QString::fromLocal8Bit(e.what())));
    } catch (...) {
        MsgBox(describe(999, QStringLiteral("알 수 없는 오류")));
    }
}

void programMayEnd()
{
    if (s_endAction) {
        s_endAction();
        return;
    }
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
}

void setProgramEndAction(std::function<void()> action)
{
    s_endAction = std::move(action);
}

void EndProgram()
{
    // Unloading the last window announces the end itself.
    const bool nothingLoaded = Form::loadedCount() == 0;
    for (FormId id : {FormId::Station, FormId::Summary, FormId::Auxiliary, FormId::Console}) {
        FormSlot &slot = formSlot(id);
        if (!slot.isNull())
            slot.unload();
    }
    if (nothingLoaded)
        programMayEnd();
}
