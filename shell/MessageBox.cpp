#include "MessageBox.h"

#include <QIcon>
#include <QMessageBox>
#include <QPushButton>

namespace {

class WidgetMessageSink : public MessageSink
{
public:
    void show(const QString &text, const QString &caption) override
    {
        QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok);
        // Some styles put a tick on the button; the box is plain text and OK.
        box.button(QMessageBox::Ok)->setIcon(QIcon());
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
