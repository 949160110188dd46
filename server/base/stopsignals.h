#pragma once

#include <QObject>

class QSocketNotifier;

namespace qav {

// Turns SIGTERM and SIGINT into a Qt signal on the thread that created it. The handler only
// writes the signal's number into a pipe that a socket notifier watches, so nothing unsafe runs
// inside the handler. One instance at a time; the handling before it returns when it is destroyed.
class StopSignals : public QObject
{
    Q_OBJECT
public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

    static const char *name(int signal);

Q_SIGNALS:
    void received(int signal);

private:
    void readPipe();

    QSocketNotifier *m_notifier = nullptr;
};

} // namespace qav
