#include "station/StationKeyPreview.h"

#include "shell/Global.h"
#include "shell/Lifecycle.h"
#include "station/StationLogic.h"

#include <QCoreApplication>

StationKeyPreview::StationKeyPreview(QObject *station, QWidget *window, Hooks hooks)
    : QObject(window), m_station(station), m_window(window), m_hooks(std::move(hooks))
{}

bool StationKeyPreview::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease)
        return false;
    auto *widget = qobject_cast<QWidget *>(watched);
    if (!widget || !m_station)
        return false;
    auto *key = static_cast<QKeyEvent *>(event);
    if (widget != m_window && !m_window->isAncestorOf(widget)) {
        QWidget *target = m_hooks.keyTargetFor ? m_hooks.keyTargetFor(widget) : nullptr;
        if (!target)
            return false;
        // A copy goes the way of the station's own keys; the original ends here.
        std::unique_ptr<QEvent> copy(key->clone());
        QCoreApplication::sendEvent(target, copy.get());
        return true;
    }
    if (m_hooks.holdingKeys()) {
        m_hooks.holdKey(widget, std::unique_ptr<QKeyEvent>(key->clone()));
        return true;
    }
    if (event->type() == QEvent::KeyRelease) {
        m_lastPress = nullptr;
        return false;
    }
    // A key the focused control left alone travels on to its parents: seen once is enough.
    if (isPropagation(key, widget))
        return false;
    remember(key, widget);

    const Qt::KeyboardModifiers mods = key->modifiers();
    if (key->key() == Qt::Key_F7 && (mods & Qt::ControlModifier) && (mods & Qt::AltModifier)) {
        runHandler([] { CloseStation(); });
        return true;
    }
    int keyCode = station::keyCodeOf(key->key());
    const int shift = (mods & Qt::ShiftModifier ? 1 : 0) | (mods & Qt::ControlModifier ? 2 : 0) |
                      (mods & Qt::AltModifier ? 4 : 0);
    QPointer<StationKeyPreview> self(this);
    m_hooks.keyDown(keyCode, shift);
    // Keys handled meanwhile must not make this one look new on its way to the parents.
    if (self)
        remember(key, widget);
    return false;
}

bool StationKeyPreview::isPropagation(const QKeyEvent *key, QWidget *widget) const
{
    return key == m_lastPress && key->key() == m_lastKey && key->modifiers() == m_lastModifiers &&
           m_lastTarget && widget != m_lastTarget && widget->isAncestorOf(m_lastTarget);
}

void StationKeyPreview::remember(const QKeyEvent *key, QWidget *widget)
{
    m_lastPress = key;
    m_lastKey = key->key();
    m_lastModifiers = key->modifiers();
    m_lastTarget = widget;
}
