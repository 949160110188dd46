#pragma once

// A SQLite database seen as files: who may replace them, who owns them, and putting a backup
// back in place. Every failure throws StorageError with a sentence for the operator.

#include <QString>

namespace qav {

// Taken by every process that opens the database (servers and commands) for as long as it lives:
// a shared flock(2) on the file itself (SQLite's own locks are POSIX locks, which flock does not
// touch). restoreSqlite takes it exclusively, so it never replaces a file in use, and nothing
// opens a file being replaced. The descriptor stays open until the process ends:
// closing it would drop SQLite's POSIX locks on the same file.
void holdServeLock(const QString &databasePath);

// Gives path (and its -wal and -shm when present) the owner and group of reference when this
// process runs as root, so that a service running as another user can open what root made.
void matchOwner(const QString &path, const QString &reference);

// Replaces the SQLite database at target with a copy of backup: refused while a server serves
// target; the copy must pass integrity_check and carry a schema version this program knows.
// The old -wal and -shm go with the old file (a log left by a crash must not be replayed into
// the restored one). The new file gets the old one's owner, group and mode, or the folder's
// owner and 0600 when there was none.
void restoreSqlite(const QString &backup, const QString &target);

} // namespace qav
