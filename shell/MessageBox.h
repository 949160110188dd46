#pragma once

#include <QString>
#include <QStringList>

// Every message box of the program goes through here, so tests can confirm them and read them.
// A box has an OK button only, no icon and the caption "QAV"; MsgBox returns once confirmed.
class MessageSink
{
public:
    virtual ~MessageSink() = default;
    virtual void show(const QString &text, const QString &caption) = 0;
};

// Records the texts instead of showing them; confirms every box at once.
class RecordingMessageSink : public MessageSink
{
public:
    void show(const QString &text, const QString &) override { texts.append(text); }
    QStringList texts;
};

void MsgBox(const QString &text);

// Installs a sink for the rest of the process (nullptr restores real message boxes).
void setMessageSink(MessageSink *sink);
