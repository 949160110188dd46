#pragma once

#include <QObject>

// The summary panel's one word to the station above it: the panel emits, the station connects
// while it is loaded. The panel's library cannot link the station's, and neither reaches the
// other's controls. One for the whole program; it cannot fail.
class SummaryLink : public QObject
{
    Q_OBJECT
public:
    static SummaryLink &instance();

signals:
    // The operator left the panel by its exit button (a title-bar close says nothing): the
    // station takes the keyboard back and shows its score button as ready again.
    void leftByExit();
};
