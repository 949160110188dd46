#include "shell/MessageBox.h"

#include <QApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSet>
#include <QWindow>

#include <memory>
#include <vector>

namespace {

// What is typed at an open box is meant for the window behind it (a scanner does not wait for
// the operator to read): characters, and the Enter that ends them, are kept and handed to the
// control that had the keyboard once the box is closed. An Enter with nothing typed before it,
// Escape and Space answer the box as usual.
class KeysForTheWindowBehind : public QObject
{
public:
    explicit KeysForTheWindowBehind(QWidget *box)
        : m_box(box), m_target(QApplication::focusWidget())
    {
        qApp->installEventFilter(this);
    }
    ~KeysForTheWindowBehind() override
    {
        qApp->removeEventFilter(this);
        if (!m_target)
            return;
        // Without a window manager nobody else hands the keyboard back to the window behind.
        if (m_target->isVisible())
            m_target->window()->activateWindow();
        for (auto &key : m_kept)
            QCoreApplication::postEvent(m_target, key.release());
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease)
            return false;
        auto *widget = qobject_cast<QWidget *>(watched);
        if (!widget || !m_box || (widget != m_box && !m_box->isAncestorOf(widget)))
            return false;
        auto *key = static_cast<QKeyEvent *>(event);
        if (event->type() == QEvent::KeyRelease)
            return m_keptKeys.remove(key->key());
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        const QString text = key->text();
        const bool typed = !enter && !text.isEmpty() && text.at(0).isPrint() && text != u" ";
        if (!typed && !(enter && m_typedSinceEnter))
            return false;
        m_typedSinceEnter = typed;
        m_kept.emplace_back(key->clone());
        m_keptKeys.insert(key->key());
        return true;
    }

private:
    QPointer<QWidget> m_box;
    QPointer<QWidget> m_target;
    std::vector<std::unique_ptr<QKeyEvent>> m_kept;
    QSet<int> m_keptKeys;
    bool m_typedSinceEnter = false;
};

QWindow *windowKeptOnTop()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->windowFlags().testFlag(Qt::WindowStaysOnTopHint))
            return w->windowHandle();
    }
    return nullptr;
}

class WidgetMessageSink : public MessageSink
{
public:
    void show(const QString &text, const QString &caption) override
    {
        QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok);
        // Above every window of the program: kept on top, and owned by the window kept on top
        // (the summary panel) when one is open, so that a window manager stacks it above that.
        box.setWindowFlag(Qt::WindowStaysOnTopHint);
        box.winId();
        if (QWindow *owner = windowKeptOnTop())
            box.windowHandle()->setTransientParent(owner);
        // Some styles put a tick on the button; the box is plain text and OK.
        box.button(QMessageBox::Ok)->setIcon(QIcon());
        KeysForTheWindowBehind keep(&box);
        box.exec();
    }
};

MessageSink *s_sink = nullptr;

} // namespace

void MsgBox(const QString &text)
{
    static WidgetMessageSink widgets;
    (s_sink ? s_sink : &widgets)->show(text, QStringLiteral("QAV"));
}

void setMessageSink(MessageSink *sink)
{
    s_sink = sink;
}
