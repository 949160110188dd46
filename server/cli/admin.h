#pragma once

#include <QStringList>

namespace qav {

// The qav-server command line: `qav-server <command> [options]`. Returns the process exit code;
// `serve` runs the event loop of the existing QCoreApplication until the process is stopped.
int runAdmin(const QStringList &arguments);

} // namespace qav
