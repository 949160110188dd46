#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

class QEvent;
class QKeyEvent;
class frm01;

// The station's key preview: sees every key for the station's controls before they do, holds
// keys back while a verification waits for the server, and answers Enter and Ctrl+Alt+F7.
class StationKeyPreview : public QObject
{
public:
    StationKeyPreview(frm01 *station, QWidget *window);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool isPropagation(const QKeyEvent *key, QWidget *widget) const;
    void remember(const QKeyEvent *key, QWidget *widget);

    QPointer<frm01> m_station;
    QWidget *m_window;
    const QEvent *m_lastPress = nullptr;
    int m_lastKey = 0;
    Qt::KeyboardModifiers m_lastModifiers;
    QPointer<QWidget> m_lastTarget;
};
