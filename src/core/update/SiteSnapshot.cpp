#include "SiteSnapshot.h"

#include "SiteSync.h"
#include "UpdateArchive.h"
#include "platform/SystemInfo.h"
#include "process/BackgroundRemoval.h"
#include "process/FileHelpers.h"
#include "process/ProcessRunner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace tavex {

namespace {

constexpr double kCopyTimeoutSeconds = 1800.0;

bool processFailed(const QString &text)
{
    return text.startsWith(QStringLiteral("执行失败: ")) ||
           text.startsWith(QLatin1String("exit(")) || text.startsWith(QLatin1String("timeout: "));
}

// Copies the entries into the empty folder with cp, as hard links when asked. Empty on success.
QString copyEntries(const QString &site, const QStringList &names, const QString &into, bool link)
{
    if (names.isEmpty())
        return {};
    QStringList args = {QStringLiteral("-a")};
    if (link)
        args << QStringLiteral("-l");
    args << QStringLiteral("-t") << into << QStringLiteral("--");
    for (const QString &name : names)
        args << site + QLatin1Char('/') + name;
    const QString output =
        runProcessWithTimeout(QStringLiteral("/bin/cp"), args, kCopyTimeoutSeconds);
    return processFailed(output) ? output.trimmed() : QString();
}

QString freshFolder(const QString &path)
{
    if (const QString error = removeTree(path); !error.isEmpty())
        return error;
    if (::mkdir(QFile::encodeName(path).constData(), 0700) != 0)
        return errnoDescription(errno);
    return {};
}

SnapshotResult noSnapshot(const QString &why)
{
    return {false, QStringLiteral("未能保存更新前的站点快照（") + why +
                       QStringLiteral("），本次更新之后无法回滚到更新前")};
}

} // namespace

SnapshotResult takeSiteSnapshot(const QString &site, const QString &snapshotDir,
                                BackgroundRemoval *removals)
{
    const QString backupDir = QFileInfo(snapshotDir).path();
    if (lstatType(backupDir) == S_IFLNK)
        return noSnapshot(symlinkRefusal(backupDir));
    if (const QString error = makeDir(backupDir); !error.isEmpty())
        return noSnapshot(error);
    const mode_t siteType = lstatType(site);
    if (siteType != 0 && siteType != S_IFDIR)
        return noSnapshot(site + QStringLiteral(": 不是目录"));

    QStringList names;
    if (siteType == S_IFDIR) {
        names = QDir(site).entryList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        names.removeAll(QStringLiteral("Data"));
    }

    // Built beside the old snapshot and renamed into place only when whole.
    const QString staging = backupDir + QLatin1Char('/') + QStringLiteral(".") +
                            QFileInfo(snapshotDir).fileName() + QStringLiteral(".new");
    if (const QString error = freshFolder(staging); !error.isEmpty())
        return noSnapshot(error);
    if (!copyEntries(site, names, staging, true).isEmpty()) {
        // No hard links here (another file system, or links to files of another owner are not
        // allowed): a full copy, when there is room for it.
        QString error = freshFolder(staging);
        if (error.isEmpty())
            error = copyEntries(site, names, staging, false);
        if (!error.isEmpty()) {
            removeTree(staging);
            return noSnapshot(error);
        }
    }
    // The snapshot's own folder carries the site folder's mode, which a restore puts back.
    struct stat siteStat
    {
    };
    const mode_t mode =
        ::stat(QFile::encodeName(site).constData(), &siteStat) == 0 && siteType == S_IFDIR
            ? siteStat.st_mode & 07777
            : 0755;
    ::chmod(QFile::encodeName(staging).constData(), mode);
    if (const QString error = removals ? removals->discard(snapshotDir) : removeTree(snapshotDir);
        !error.isEmpty()) {
        removeTree(staging);
        return noSnapshot(error);
    }
    if (std::rename(QFile::encodeName(staging).constData(),
                    QFile::encodeName(snapshotDir).constData()) != 0) {
        const QString error = errnoDescription(errno);
        removeTree(staging);
        return noSnapshot(error);
    }
    return {true, {}};
}

QString restoreSiteSnapshot(const QString &snapshotDir, const QString &site)
{
    if (lstatType(snapshotDir) != S_IFDIR)
        return QStringLiteral("没有可用的更新前快照: ") + snapshotDir;
    const mode_t siteType = lstatType(site);
    if (siteType == S_IFLNK)
        return symlinkRefusal(site);
    if (siteType != 0 && siteType != S_IFDIR)
        return site + QStringLiteral(": 不是目录，已拒绝恢复");
    if (const QString error = makeDir(site); !error.isEmpty())
        return error;
    QStringList args = siteFilesRsyncArguments(snapshotDir, site);
    // An ordinary user cannot give files back another owner or a group of another user: the
    // contents and modes are what it restores.
    // (After "-a", which would turn them back on.)
    if (::geteuid() != 0)
        args = args.mid(0, 1) +
               QStringList{QStringLiteral("--no-owner"), QStringLiteral("--no-group")} +
               args.mid(1);
    const QString output = runRsync(args);
    if (rsyncOutputIndicatesHardFailure(output))
        return output.trimmed();
    return {};
}

} // namespace tavex
