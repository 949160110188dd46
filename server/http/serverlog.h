#pragma once

#include <QHostAddress>
#include <QLoggingCategory>
#include <QString>

namespace qav {

// The server's log: one category per concern, all written as lines on stderr.
Q_DECLARE_LOGGING_CATEGORY(lcServer)     // starting, stopping, limits reached
Q_DECLARE_LOGGING_CATEGORY(lcRequest)    // one line per request
Q_DECLARE_LOGGING_CATEGORY(lcConnection) // connections refused, dropped or timed out

// Sends every Qt log message to stderr as one line: under systemd's journal (JOURNAL_STREAM set)
// with a syslog priority prefix such as "<6>" and no time stamp, which the journal adds; elsewhere
// after a UTC time stamp and the level. The request lines are left out when quiet.
void installServerLog(bool quiet);

// The address as people read it: an IPv4 client of a dual-stack socket without its ::ffff:, so
// the log, throttling and the audit name one client one way.
QString peerText(const QHostAddress &address);

} // namespace qav
