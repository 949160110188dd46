#include "server/storage/sqlitefiles.h"

#include "server/storage/schema.h"
#include "server/storage/storage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qav {

namespace {

[[noreturn]] void fail(const QString &text)
{
    throw StorageError(text.toStdString());
}

QString lastOsError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

// Checks a copy about to become the database and leaves it without a log of its own: it must be
// a QAV database that SQLite finds whole, of a schema version this program can use.
void checkCopy(const QString &copy, const QString &shownAs)
{
    sqlite3 *db = nullptr;
    const int opened =
        sqlite3_open_v2(native(copy).constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
    auto close = qScopeGuard([&] { sqlite3_close(db); });
    auto query = [&](const char *sql, QStringList *rows) {
        sqlite3_stmt *st = nullptr;
        int rc = sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
        if (rc == SQLITE_OK) {
            while ((rc = sqlite3_step(st)) == SQLITE_ROW)
                if (rows)
                    *rows << QString::fromUtf8(
                        reinterpret_cast<const char *>(sqlite3_column_text(st, 0)));
        }
        sqlite3_finalize(st);
        return rc == SQLITE_DONE ? SQLITE_OK : rc;
    };
    if (opened != SQLITE_OK)
        fail(QStringLiteral("cannot open the copy of %1: %2")
                 .arg(shownAs, QString::fromUtf8(sqlite3_errstr(opened))));
    // Only the main file was copied; it is put back in rollback mode so it carries no log of its
    // own (the server turns WAL on again).
    const int rc = query("PRAGMA journal_mode = DELETE", nullptr);
    if (rc == SQLITE_NOTADB)
        fail(QStringLiteral("%1 is not a SQLite database, so it is no backup of qav-server")
                 .arg(shownAs));
    if (rc != SQLITE_OK)
        fail(QStringLiteral("%1 cannot be read as a database (%2)")
                 .arg(shownAs, QString::fromUtf8(sqlite3_errstr(rc))));
    QStringList integrity;
    if (query("PRAGMA integrity_check(5)", &integrity) != SQLITE_OK ||
        integrity != QStringList{u"ok"_qs})
        fail(QStringLiteral("%1 is damaged: SQLite's integrity check found %2")
                 .arg(shownAs,
                      integrity.isEmpty() ? u"it unreadable"_qs : integrity.join(u"; "_qs)));
    QStringList tables;
    query("SELECT name FROM sqlite_master WHERE type = 'table' AND name IN ('bookings', "
          "'schema_version')",
          &tables);
    if (!tables.contains(u"bookings"_qs))
        fail(QStringLiteral("%1 holds no bookings table, so it is no backup of qav-server")
                 .arg(shownAs));
    QStringList version{u"0"_qs};
    if (tables.contains(u"schema_version"_qs))
        query("SELECT COALESCE(MAX(version), 0) FROM schema_version", &version);
    const int stored = version.value(0).toInt();
    if (stored > currentSchemaVersion())
        fail(QStringLiteral("%1 has schema version %2, newer than the %3 this qav-server knows: "
                            "restore it with the qav-server that wrote it")
                 .arg(shownAs)
                 .arg(stored)
                 .arg(currentSchemaVersion()));
}

void syncFolder(const QString &folder)
{
    const int fd = ::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

void holdServeLock(const QString &databasePath)
{
    const int fd = ::open(native(databasePath).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return; // opening the database reports why
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0)
        fail(QStringLiteral("a restore is replacing %1; try again when it is done")
                 .arg(databasePath));
    // fd stays open on purpose (see the header).
}

void matchOwner(const QString &path, const QString &reference)
{
    struct stat ref
    {
    };
    if (::geteuid() != 0 || ::stat(native(reference).constData(), &ref) != 0)
        return;
    for (const QString &file : {path, path + u"-wal"_qs, path + u"-shm"_qs}) {
        struct stat st
        {
        };
        const QByteArray name = native(file);
        if (::stat(name.constData(), &st) == 0 &&
            (st.st_uid != ref.st_uid || st.st_gid != ref.st_gid) &&
            ::chown(name.constData(), ref.st_uid, ref.st_gid) != 0)
            fail(QStringLiteral("cannot give %1 to the owner of %2: %3")
                     .arg(file, reference, lastOsError()));
    }
}

void restoreSqlite(const QString &backup, const QString &target)
{
    const QFileInfo targetInfo(target);
    const QString folder = QFileInfo(targetInfo.absolutePath()).canonicalFilePath();
    if (folder.isEmpty())
        fail(QStringLiteral("the folder of %1 does not exist").arg(target));
    const QString path = folder + u'/' + targetInfo.fileName();

    struct stat old
    {
    };
    const bool hadOld = ::stat(native(path).constData(), &old) == 0;
    if (!hadOld && errno == EACCES)
        fail(QStringLiteral("permission denied on %1: run as root or as the service's user")
                 .arg(path));
    if (!hadOld && errno != ENOENT)
        fail(QStringLiteral("cannot reach %1: %2").arg(path, lastOsError()));
    if (hadOld) {
        const int fd = ::open(native(path).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            fail(QStringLiteral("cannot open %1: %2").arg(path, lastOsError()));
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
            fail(QStringLiteral("a server is serving %1 (or another qav-server command is using "
                                "it): stop it first (systemctl stop qav-server), then restore")
                     .arg(path));
        // Held until the process ends: whatever starts meanwhile is refused until the new file is
        // in.
    }

    const QFileInfo backupInfo(backup);
    if (!backupInfo.isFile())
        fail(QStringLiteral("there is no backup file %1").arg(backup));
    if (QFileInfo(backup + u"-wal"_qs).size() > 0)
        fail(QStringLiteral("%1 has a -wal file beside it: it is a database in use, not a backup "
                            "(take one with qav-server backup)")
                 .arg(backup));
    if (backupInfo.canonicalFilePath() == path)
        fail(QStringLiteral("%1 is the database itself").arg(backup));

    const QString work = path + u".restoring"_qs;
    QFile::remove(work);
    QFile source(backup);
    if (!source.copy(work))
        fail(QStringLiteral("cannot copy %1 to %2: %3").arg(backup, work, source.errorString()));
    auto removeWork = qScopeGuard([&] { QFile::remove(work); });
    checkCopy(work, backup);

    struct stat owner = old;
    mode_t mode = old.st_mode & 0777;
    if (!hadOld) {
        if (::stat(native(folder).constData(), &owner) != 0)
            fail(QStringLiteral("cannot reach %1: %2").arg(folder, lastOsError()));
        mode = 0600;
    }
    const QByteArray workName = native(work);
    if ((::geteuid() == 0 && ::chown(workName.constData(), owner.st_uid, owner.st_gid) != 0) ||
        ::chmod(workName.constData(), mode) != 0)
        fail(QStringLiteral("cannot set the owner and mode of %1: %2").arg(work, lastOsError()));
    const int fd = ::open(workName.constData(), O_RDWR | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!synced)
        fail(QStringLiteral("cannot write %1: %2").arg(work, lastOsError()));

    for (const char *suffix : {"-wal", "-shm", "-journal"}) {
        const QString side = path + QLatin1String(suffix);
        if (::unlink(native(side).constData()) != 0 && errno != ENOENT)
            fail(QStringLiteral("cannot remove %1: %2").arg(side, lastOsError()));
    }
    if (::rename(workName.constData(), native(path).constData()) != 0)
        fail(QStringLiteral("cannot put the copy in place of %1: %2").arg(path, lastOsError()));
    removeWork.dismiss();
    syncFolder(folder);
}

} // namespace qav
