#pragma once

#include <QString>
#include <QUrl>

// Writes "qav: <address>: <reason>" to standard error, for a call to a server that failed: the
// windows keep their fixed texts, a technician at the terminal learns where and why.
void reportFailure(const QUrl &url, const QString &reason);
