#pragma once

#include <QKeyEvent>
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

// The station's key preview: sees every key for the station's controls before they do, holds
// keys back while a verification waits for the server, and answers Enter and Ctrl+Alt+F7.
class StationKeyPreview : public QObject
{
public:
    // What the preview asks of the station: whether it holds keys now, to keep one, its key
    // handler for every other key press, and which of its controls takes the keys of a widget
    // outside its window (null leaves them to that widget).
    struct Hooks
    {
        std::function<bool()> holdingKeys;
        std::function<void(QWidget *target, std::unique_ptr<QKeyEvent> key)> holdKey;
        std::function<void(int &keyCode, int shift)> keyDown;
        std::function<QWidget *(QWidget *outside)> keyTargetFor;
    };
    // Serves the station's window while the station exists.
    StationKeyPreview(QObject *station, QWidget *window, Hooks hooks);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool isPropagation(const QKeyEvent *key, QWidget *widget) const;
    void remember(const QKeyEvent *key, QWidget *widget);

    QPointer<QObject> m_station;
    QWidget *m_window;
    Hooks m_hooks;
    const QEvent *m_lastPress = nullptr;
    int m_lastKey = 0;
    Qt::KeyboardModifiers m_lastModifiers;
    QPointer<QWidget> m_lastTarget;
};
