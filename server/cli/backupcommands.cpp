// Copies of a live SQLite database, and putting one back in place of a stopped server's.

#include "server/cli/clicommands.h"

#include "server/base/progress.h"
#include "server/cli/cli.h"
#include "server/storage/sqlitefiles.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace qav {

using namespace cli;

namespace {

// Copies named by backup in a folder; their names sort by time.
const QRegularExpression kBackupName(QStringLiteral("^qav-\\d{4}-\\d\\d-\\d\\d-\\d{6}\\.db$"));

} // namespace

int backupCommand(const QStringList &args)
{
    QCommandLineParser p;
    const QCommandLineOption to(
        u"to"_qs,
        u"A folder to write qav-YYYY-MM-DD-HHMMSS.db into (default /var/backups/qav), or the "
        "file to write (replaced when the copy is complete)."_qs,
        u"path"_qs, u"/var/backups/qav"_qs);
    const QCommandLineOption keep(
        u"keep"_qs, u"Keep only the n newest qav-*.db copies in the folder."_qs, u"n"_qs);
    if (!parseCommand(p, args,
                      u"Copy a SQLite database consistently while servers keep using it, and print "
                      "the path of the copy. For PostgreSQL use pg_dump."_qs,
                      {dbOption, to, keep}, {}))
        return 0;
    const QString target = p.value(to);
    // A folder when it is one, or is meant as one (made when missing); else the copy's file name.
    const bool intoFolder =
        QFileInfo(target).isDir() || target.endsWith(u'/') || !p.isSet(to) || p.isSet(keep);
    if (QFileInfo(target).isFile() && p.isSet(keep))
        throw UsageError{u"--keep prunes a folder of copies, but --to names a file"_qs};
    const int keepCount = p.isSet(keep) ? positiveOption(p, keep) : 0;
    const QDir folder(target);
    if (intoFolder && !folder.exists() && !QDir().mkpath(target))
        throw StorageError(
            QStringLiteral("cannot make the backup folder %1").arg(target).toStdString());
    const QString file =
        QFileInfo(intoFolder ? folder.filePath(
                                   u"qav-"_qs +
                                   QDateTime::currentDateTime().toString(u"yyyy-MM-dd-HHmmss"_qs) +
                                   u".db"_qs)
                             : target)
            .absoluteFilePath();
    auto storage = openAndInit(p);
    {
        // On standard error: standard output is the copy's path, which scripts read.
        const QString source = sqlitePathOf(databaseUrl(p));
        Progress progress(u"copying"_qs, QFileInfo(source).size() / 1024, stderr, u"kB"_qs);
        if (!source.isEmpty())
            progress.watchFile(file + u".partial"_qs);
        storage->backupTo(file);
    }
    if (keepCount > 0) {
        QStringList copies =
            folder.entryList({u"qav-*.db"_qs}, QDir::Files, QDir::Name | QDir::Reversed)
                .filter(kBackupName);
        for (const QString &old : copies.mid(keepCount))
            if (!QFile::remove(folder.filePath(old)))
                err(QStringLiteral("cannot remove the old copy %1").arg(folder.filePath(old)));
    }
    out(file);
    return 0;
}

int restoreCommand(const QStringList &args)
{
    QCommandLineParser p;
    const QCommandLineOption from(u"from"_qs, u"The backup to put back."_qs, u"file"_qs);
    if (!parseCommand(
            p, args,
            u"Replace a SQLite database with a backup (stop the server first: it is refused while "
            "one serves the file). The backup is checked first; the database's -wal and -shm "
            "files go with it, and the new file keeps the old one's owner and mode."_qs,
            {dbOption, from}, {}))
        return 0;
    if (!p.isSet(from))
        throw UsageError{u"--from <file> is required"_qs};
    const QString path = sqlitePathOf(databaseUrl(p));
    if (path.isEmpty())
        throw StorageError(
            "restore puts back a SQLite file; restore PostgreSQL with pg_restore or psql");
    {
        const QFileInfo target(path);
        Progress progress(u"copying"_qs, QFileInfo(p.value(from)).size() / 1024, stdout, u"kB"_qs);
        progress.watchFile(QFileInfo(target.absolutePath()).canonicalFilePath() + u'/' +
                           target.fileName() + u".restoring"_qs);
        restoreSqlite(p.value(from), path);
    }
    // Opening brings an older copy's tables up to date.
    auto storage = openAndInit(p);
    out(QStringLiteral("restored %1 from %2: %3 venue(s), %4 performance(s)")
            .arg(storage->describe(), p.value(from))
            .arg(storage->venues().size())
            .arg(storage->performances({}).size()));
    return 0;
}

} // namespace qav
