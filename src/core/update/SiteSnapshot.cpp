#include "SiteSnapshot.h"

#include "SiteSync.h"
#include "platform/SystemInfo.h"
#include "process/BackgroundRemoval.h"
#include "process/Cancellation.h"
#include "process/FileHelpers.h"
#include "process/ProcessRunner.h"
#include "stack/LogBlock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavex {

namespace {

constexpr double kCopyTimeoutSeconds = 1800.0;
// Room left beside a full copy for the rest of the run.
constexpr qint64 kSpareBytes = 16 * 1024 * 1024;

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

// Every entry of the folder, hidden ones too, in name order.
QStringList entriesIn(const QString &dir)
{
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

bool processFailed(const QString &text)
{
    return text.startsWith(QStringLiteral("执行失败: ")) ||
           text.startsWith(QLatin1String("exit(")) || text.startsWith(QLatin1String("timeout: ")) ||
           text.startsWith(cancelledPrefix());
}

// The site's entries that belong in a snapshot: all but its data folders.
QStringList snapshotNames(const QString &site)
{
    QStringList names = entriesIn(site);
    for (const QString &name : protectedDataNames())
        names.removeAll(name);
    return names;
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
    if (::mkdir(encoded(path).constData(), 0700) != 0)
        return errnoDescription(errno);
    return {};
}

qint64 bytesUnder(const QString &path)
{
    struct stat st
    {
    };
    if (::lstat(encoded(path).constData(), &st) != 0)
        return 0;
    if (!S_ISDIR(st.st_mode))
        return S_ISREG(st.st_mode) ? qint64(st.st_size) : 0;
    qint64 total = 0;
    const QStringList names = entriesIn(path);
    for (const QString &name : names)
        total += bytesUnder(path + QLatin1Char('/') + name);
    return total;
}

// Entries under site (relative to it) that have no counterpart under copy; an unreadable folder
// is named itself.
void collectMissing(const QString &site, const QString &copy, const QString &prefix,
                    QStringList &missing)
{
    QDir dir(site);
    if (!dir.isReadable()) {
        missing << prefix.chopped(1) + QLatin1Char('/');
        return;
    }
    const QStringList names =
        dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const QString from = site + QLatin1Char('/') + name;
        const QString to = copy + QLatin1Char('/') + name;
        if (lstatType(to) == 0)
            missing << prefix + name;
        else if (lstatType(from) == S_IFDIR)
            collectMissing(from, to, prefix + name + QLatin1Char('/'), missing);
    }
}

// Files and folders of the snapshot that the running user owns but may not read: opened up for
// the restore and closed again afterwards, on both sides.
struct Widened
{
    QString rel;
    mode_t mode;
};

void widenUnreadable(const QString &root, const QString &prefix, QList<Widened> &widened)
{
    const QStringList names = entriesIn(root + QLatin1Char('/') + prefix);
    for (const QString &name : names) {
        const QString rel = prefix + name;
        const QString path = root + QLatin1Char('/') + rel;
        struct stat st
        {
        };
        if (::lstat(encoded(path).constData(), &st) != 0 || st.st_uid != ::geteuid())
            continue;
        const bool dir = S_ISDIR(st.st_mode);
        if (!dir && !S_ISREG(st.st_mode))
            continue;
        const int needed = dir ? R_OK | X_OK : R_OK;
        if (::access(encoded(path).constData(), needed) != 0 &&
            ::chmod(encoded(path).constData(),
                    (st.st_mode & 07777) | S_IRUSR | (dir ? S_IXUSR : 0)) == 0)
            widened.append({rel, mode_t(st.st_mode & 07777)});
        if (dir)
            widenUnreadable(root, rel + QLatin1Char('/'), widened);
    }
}

bool isDataPath(const QString &rel)
{
    for (const QString &name : protectedDataNames()) {
        if (rel == name || rel.startsWith(name + QLatin1Char('/')))
            return true;
    }
    return false;
}

// Compares the site with the snapshot entry by entry (type; files by size, mode and time; links
// by target).
bool sameBytes(const QString &a, const QString &b)
{
    QFile first(a), second(b);
    if (!first.open(QIODevice::ReadOnly) || !second.open(QIODevice::ReadOnly))
        return false;
    while (!first.atEnd()) {
        if (first.read(1 << 16) != second.read(1 << 16))
            return false;
    }
    return second.atEnd();
}

// bytes: also compare the contents of files that are not the snapshot's own inode (after rsync
// reported trouble, a file it could not rewrite may differ in content alone).
void compareWithSnapshot(const QString &snapshot, const QString &site, const QString &prefix,
                         bool bytes, RestoreResult &result)
{
    QStringList names = entriesIn(snapshot + QLatin1Char('/') + prefix);
    // Entries of the site that the snapshot lacks were to be removed.
    const QStringList live = entriesIn(site + QLatin1Char('/') + prefix);
    for (const QString &name : live) {
        if (!names.contains(name) && !isDataPath(prefix + name))
            result.notRestored << prefix + name;
    }
    for (const QString &name : std::as_const(names)) {
        const QString rel = prefix + name;
        if (isDataPath(rel))
            continue;
        struct stat want
        {
        }, got{};
        if (::lstat(encoded(snapshot + QLatin1Char('/') + rel).constData(), &want) != 0)
            continue;
        const QString livePath = site + QLatin1Char('/') + rel;
        if (::lstat(encoded(livePath).constData(), &got) != 0 ||
            (want.st_mode & S_IFMT) != (got.st_mode & S_IFMT)) {
            result.notRestored << rel;
            continue;
        }
        if (S_ISDIR(want.st_mode)) {
            compareWithSnapshot(snapshot, site, rel + QLatin1Char('/'), bytes, result);
            continue;
        }
        const bool same = S_ISLNK(want.st_mode)
                              ? QFile::symLinkTarget(snapshot + QLatin1Char('/') + rel) ==
                                    QFile::symLinkTarget(livePath)
                              : want.st_size == got.st_size && want.st_mtime == got.st_mtime &&
                                    (want.st_mode & 07777) == (got.st_mode & 07777);
        const bool sameInode = want.st_dev == got.st_dev && want.st_ino == got.st_ino;
        if (!same || (bytes && S_ISREG(want.st_mode) && !sameInode &&
                      !sameBytes(snapshot + QLatin1Char('/') + rel, livePath))) {
            result.notRestored << rel;
            continue;
        }
        ++result.restored;
        if (got.st_uid == ::geteuid() && want.st_uid != got.st_uid)
            result.ownersLost << rel;
    }
}

// rsync makes a file that is not writable for its owner writable before it deletes it, which
// would change the mode of a snapshot that shares the file: such files get a copy of their own
// in the snapshot. A file of this user that it may not read is opened for the copy and closed
// again. Empty on success.
QString privatizeReadOnlyFiles(const QString &copy, const QString &prefix)
{
    const QStringList names = entriesIn(copy + QLatin1Char('/') + prefix);
    for (const QString &name : names) {
        const QString rel = prefix + name;
        const QString path = copy + QLatin1Char('/') + rel;
        struct stat st
        {
        };
        if (::lstat(encoded(path).constData(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (const QString error = privatizeReadOnlyFiles(copy, rel + QLatin1Char('/'));
                !error.isEmpty())
                return error;
            continue;
        }
        if (!S_ISREG(st.st_mode) || (st.st_mode & S_IWUSR))
            continue;
        const mode_t mode = st.st_mode & 07777;
        const bool widen = !(mode & S_IRUSR) && st.st_uid == ::geteuid();
        if (widen)
            ::chmod(encoded(path).constData(), mode | S_IRUSR);
        const QString fresh = path + QStringLiteral(".tavex-copy");
        QString error;
        if (!QFile::copy(path, fresh))
            error = rel + QStringLiteral(": 无法复制到快照");
        if (widen)
            ::chmod(encoded(path).constData(), mode);
        if (!error.isEmpty())
            return error;
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        ::chmod(encoded(fresh).constData(), mode);
        ::utimensat(AT_FDCWD, encoded(fresh).constData(), times, 0);
        if (std::rename(encoded(fresh).constData(), encoded(path).constData()) != 0)
            return errnoDescription(errno);
    }
    return {};
}

} // namespace

QString stagingPathFor(const QString &dir)
{
    const QFileInfo info(dir);
    return info.path() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".new");
}

QString stageSiteCopy(const QString &site, const QString &staging)
{
    const mode_t siteType = lstatType(site);
    if (siteType != 0 && siteType != S_IFDIR)
        return site + QStringLiteral(": 不是目录");
    const QStringList names = siteType == S_IFDIR ? snapshotNames(site) : QStringList();
    if (const QString error = freshFolder(staging); !error.isEmpty())
        return error;
    if (copyEntries(site, names, staging, true).isEmpty()) {
        if (const QString error = privatizeReadOnlyFiles(staging, QString()); !error.isEmpty()) {
            removeTree(staging);
            return error;
        }
    } else {
        // No hard links here (another file system, or files of another owner): a full copy,
        // when there is room for it.
        qint64 needed = kSpareBytes;
        for (const QString &name : names)
            needed += bytesUnder(site + QLatin1Char('/') + name);
        const auto free = freeDiskBytes(QFileInfo(staging).path());
        if (free && quint64(needed) > *free) {
            removeTree(staging);
            return QStringLiteral("磁盘空间不足，站点快照需要 %1，可用 %2")
                .arg(formatByteSize(quint64(needed)), formatByteSize(*free));
        }
        QString error = freshFolder(staging);
        if (error.isEmpty())
            error = copyEntries(site, names, staging, false);
        if (!error.isEmpty()) {
            QStringList missing;
            for (const QString &name : names) {
                const QString from = site + QLatin1Char('/') + name;
                const QString to = staging + QLatin1Char('/') + name;
                if (lstatType(to) == 0)
                    missing << name;
                else if (lstatType(from) == S_IFDIR)
                    collectMissing(from, to, name + QLatin1Char('/'), missing);
            }
            removeTree(staging);
            if (missing.isEmpty())
                return error;
            return listedLine(QStringLiteral("以下文件无法读取或复制，站点快照不完整: "), missing);
        }
    }
    // The snapshot's own folder carries the site folder's mode, which a restore puts back.
    struct stat siteStat
    {
    };
    const mode_t mode = siteType == S_IFDIR && ::stat(encoded(site).constData(), &siteStat) == 0
                            ? siteStat.st_mode & 07777
                            : 0755;
    ::chmod(encoded(staging).constData(), mode);
    return {};
}

QString installSnapshot(const QString &staging, const QString &snapshotDir,
                        BackgroundRemoval *removals)
{
    const mode_t existing = lstatType(snapshotDir);
    if (existing == S_IFDIR) {
        // One step: there is always a whole snapshot at its place.
        if (::renameat2(AT_FDCWD, encoded(staging).constData(), AT_FDCWD,
                        encoded(snapshotDir).constData(), RENAME_EXCHANGE) == 0)
            return removals ? removals->discard(staging) : removeTree(staging);
        if (errno != EINVAL && errno != ENOSYS)
            return errnoDescription(errno);
    }
    if (existing != 0) {
        if (const QString error =
                removals ? removals->discard(snapshotDir) : removeTree(snapshotDir);
            !error.isEmpty())
            return error;
    }
    if (std::rename(encoded(staging).constData(), encoded(snapshotDir).constData()) != 0)
        return errnoDescription(errno);
    return {};
}

QString takeSiteSnapshot(const QString &site, const QString &snapshotDir,
                         BackgroundRemoval *removals)
{
    const QString backupDir = QFileInfo(snapshotDir).path();
    if (lstatType(backupDir) == S_IFLNK)
        return symlinkRefusal(backupDir);
    if (const QString error = makeDir(backupDir); !error.isEmpty())
        return error;
    if (lstatType(snapshotDir) == S_IFLNK)
        return symlinkRefusal(snapshotDir);
    const QString staging = stagingPathFor(snapshotDir);
    if (const QString error = stageSiteCopy(site, staging); !error.isEmpty())
        return error;
    if (const QString error = installSnapshot(staging, snapshotDir, removals); !error.isEmpty()) {
        removeTree(staging);
        return error;
    }
    return {};
}

QStringList RestoreResult::lines() const
{
    QStringList lines;
    if (!error.isEmpty())
        lines << error;
    if (!notRestored.isEmpty()) {
        lines << QStringLiteral("已恢复 %1 个文件，以下 %2 项未能恢复:")
                     .arg(restored)
                     .arg(notRestored.size());
        lines << listedLine(QStringLiteral("  "), notRestored);
    }
    if (!ownersLost.isEmpty())
        lines << listedLine(
            QStringLiteral("以下文件已恢复，但无法保留原属主，现归运行面板的用户所有: "),
            ownersLost);
    return lines;
}

RestoreResult restoreSiteSnapshot(const QString &snapshotDir, const QString &site)
{
    RestoreResult result;
    if (lstatType(snapshotDir) != S_IFDIR) {
        result.error = QStringLiteral("没有可用的更新前快照: ") + snapshotDir;
        return result;
    }
    const mode_t siteType = lstatType(site);
    if (siteType == S_IFLNK)
        result.error = symlinkRefusal(site);
    else if (siteType != 0 && siteType != S_IFDIR)
        result.error = site + QStringLiteral(": 不是目录，已拒绝恢复");
    else
        result.error = makeDir(site);
    if (!result.error.isEmpty())
        return result;

    QList<Widened> widened;
    widenUnreadable(snapshotDir, QString(), widened);
    const QString output = runRsync(siteFilesRsyncArguments(snapshotDir, site));
    // Deepest first, so that a folder closes only after what is in it.
    for (auto it = widened.crbegin(); it != widened.crend(); ++it) {
        ::chmod(encoded(snapshotDir + QLatin1Char('/') + it->rel).constData(), it->mode);
        const QString live = site + QLatin1Char('/') + it->rel;
        if (lstatType(live) == lstatType(snapshotDir + QLatin1Char('/') + it->rel))
            ::chmod(encoded(live).constData(), it->mode);
    }
    // What counts is whether the site is as the snapshot afterwards: rsync also complains about a
    // file it could not rewrite in a folder it may not write, although that file is as it was.
    const bool troubled = rsyncOutputIndicatesHardFailure(output);
    compareWithSnapshot(snapshotDir, site, QString(), troubled, result);
    if (troubled && !result.notRestored.isEmpty())
        result.error = output.trimmed();
    return result;
}

} // namespace tavex
