#include "UpdateRun.h"

#include "SiteRoot.h"
#include "SiteSnapshot.h"
#include "SiteSync.h"
#include "UpdateArchive.h"
#include "UpdateLock.h"
#include "platform/Settings.h"
#include "platform/SystemInfo.h"
#include "process/BackgroundRemoval.h"
#include "process/Cancellation.h"
#include "process/FileHelpers.h"
#include "stack/LogBlock.h"
#include "stack/RuntimeLayout.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef TAVEX_UPDATE_ZIP_BASE_URL
#define TAVEX_UPDATE_ZIP_BASE_URL ""
#endif

namespace tavex {

namespace {

const QString kUpdateTitle = QStringLiteral("=== 更新/修复TAVEX文件 ===");
const QString kFailed = QStringLiteral("更新/修复失败: ");

// Makes a folder of the run's own, refusing a link standing in its place.
QString makeOwnDir(const QString &path)
{
    if (lstatType(path) == S_IFLNK)
        return symlinkRefusal(path);
    return makeDir(path);
}

UpdateOutcome failure(const QString &message, QStringList notes = {})
{
    return {message, std::move(notes), false};
}

QString addressText(const QUrl &url)
{
    return url.toString(QUrl::FullyEncoded);
}

// The line that names where the package comes from.
QString sourceLine(const UpdateSource &source)
{
    return source.isFile() ? QStringLiteral("文件: ") + source.packageFile
                           : QStringLiteral("地址: ") + addressText(source.downloadURL);
}

} // namespace

bool isUsableUpdateBaseURL(const QUrl &url)
{
    return url.isValid() && !url.isRelative() && !url.host().isEmpty() &&
           (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http"));
}

QUrl configuredUpdateZipBaseURL(const QUrl &fallback)
{
    const QUrl fromSettings(readSetting(kUpdateZipBaseURLKey).toString(), QUrl::StrictMode);
    if (isUsableUpdateBaseURL(fromSettings))
        return fromSettings;
    const QUrl fromBuild(QStringLiteral(TAVEX_UPDATE_ZIP_BASE_URL), QUrl::StrictMode);
    if (isUsableUpdateBaseURL(fromBuild))
        return fromBuild;
    return fallback;
}

namespace {

const QString kChanging = QStringLiteral("changing");
const QString kPrepared = QStringLiteral("prepared");

enum class Marker { None, Prepared, Changing };

// What the marker of an update or rollback that did not end says. Anything but "prepared" counts
// as a run that may have changed the site.
Marker readMarker(const RuntimeLayout &layout)
{
    if (lstatType(layout.updateMarkerPath()) == 0)
        return Marker::None;
    return readTextFile(layout.updateMarkerPath()).value_or(QString()).trimmed() == kPrepared
               ? Marker::Prepared
               : Marker::Changing;
}

QString writeMarker(const RuntimeLayout &layout, const QString &state)
{
    return tryWrite(layout.updateMarkerPath(), state + QLatin1Char('\n'));
}

void clearMarker(const RuntimeLayout &layout)
{
    removeTree(layout.updateMarkerPath());
}

// The files that the last rollback could not put back, as it listed them; absent when none.
std::optional<QStringList> unrestoredFiles(const RuntimeLayout &layout)
{
    if (lstatType(layout.unrestoredListPath()) == 0)
        return std::nullopt;
    return readTextFile(layout.unrestoredListPath())
        .value_or(QString())
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString unwritableRefusal(const QString &path)
{
    return path + QStringLiteral(": 目录不可写，无法更新站点");
}

// Why the run cannot work under the runtime folder: a folder of it that this user may not write.
QString writableProblem(const RuntimeLayout &layout)
{
    for (const QString &dir : {layout.runtimeDir(), layout.wwwDir()}) {
        if (lstatType(dir) == S_IFDIR &&
            ::access(QFile::encodeName(dir).constData(), W_OK | X_OK) != 0)
            return unwritableRefusal(dir);
    }
    return {};
}

QString unrestoredRefusal(const RuntimeLayout &layout, const QStringList &files)
{
    return listedLine(
        QStringLiteral("上次回滚有文件未能恢复，快照 ") + layout.siteSnapshotDir() +
            QStringLiteral(" 仍保存着它们，不能被新的更新替换。请让这些文件可读写后再运行回滚: "),
        files);
}

// Asked to stop before the site was touched.
UpdateOutcome stoppedBeforeChange()
{
    return failure(kFailed + cancelledPrefix() + QStringLiteral("已按要求停止，站点未改动"));
}

QString keptNote(const RuntimeLayout &layout)
{
    return QStringLiteral("更新前的站点（Data/data 除外）保存在快照 ") + layout.siteSnapshotDir() +
           QStringLiteral("，运行回滚（rollback）可恢复");
}

} // namespace

QString localPackageProblem(const QString &packageFile)
{
    const QByteArray path = QFile::encodeName(packageFile);
    const auto typeRefusal = [&](mode_t type) -> QString {
        if (type == S_IFDIR)
            return QStringLiteral("更新包路径是一个目录，不是 zip 文件: ") + packageFile;
        if (type != S_IFREG)
            return QStringLiteral("更新包不是普通文件（管道、设备或套接字），已拒绝读取: ") +
                   packageFile;
        return {};
    };
    struct stat st
    {
    };
    if (::stat(path.constData(), &st) != 0) {
        if (errno == ENOENT)
            return (lstatType(packageFile) == S_IFLNK
                        ? QStringLiteral("更新包文件不存在（符号链接指向的文件不存在）: ")
                        : QStringLiteral("更新包文件不存在: ")) +
                   packageFile;
        return QStringLiteral("无法读取更新包文件（") + errnoDescription(errno) +
               QStringLiteral("）: ") + packageFile;
    }
    if (const QString refusal = typeRefusal(st.st_mode & S_IFMT); !refusal.isEmpty())
        return refusal;
    // Opened as the run will read it; without blocking, should a FIFO have taken its place.
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return QStringLiteral("无法读取更新包文件（") + errnoDescription(errno) +
               QStringLiteral("）: ") + packageFile;
    const int statResult = ::fstat(fd, &st);
    ::close(fd);
    return statResult == 0 ? typeRefusal(st.st_mode & S_IFMT) : QString();
}

namespace {

// A package inside the site, the extraction folder or the snapshots would be deleted or
// replaced by the run that reads it.
QString packageInRunFolders(const RuntimeLayout &layout, const QString &packageFile)
{
    const QString package = QFileInfo(packageFile).canonicalFilePath();
    for (const QString &dir : {layout.wwwDir(), layout.updateExtractDir(), layout.backupDir()}) {
        const QString canonical = QFileInfo(dir).canonicalFilePath();
        if (!canonical.isEmpty() && package.startsWith(canonical + QLatin1Char('/')))
            return QStringLiteral("更新包位于更新会改动的目录 ") + dir +
                   QStringLiteral(" 中，请先把它移到别处: ") + packageFile;
    }
    return {};
}

UpdateOutcome runUpdate(const RootSource &resolver, const UpdateSource &source,
                        const DownloadOptions &options, const UpdateProgress &progress)
{
    // Everything happens under the resolved root: the site that status names and the servers
    // serve.
    const RuntimeLayout layout(resolver.tavexPanelRoot());
    const QString runtimeDir = layout.runtimeDir();
    const QString packagePath = source.isFile() ? source.packageFile : layout.updatePackagePath();
    const QString extractDir = layout.updateExtractDir();
    const QString target = layout.wwwDir();
    // The user's own file is judged before anything changes; it is only ever read.
    if (source.isFile()) {
        QString problem = localPackageProblem(packagePath);
        if (problem.isEmpty())
            problem = packageInRunFolders(layout, packagePath);
        if (!problem.isEmpty())
            return failure(kFailed + problem);
    }
    if (const QString error = makeOwnDir(runtimeDir); !error.isEmpty())
        return failure(kFailed + error);
    if (const QString problem = writableProblem(layout); !problem.isEmpty())
        return failure(kFailed + problem);
    const UpdateLock lock(runtimeDir);
    if (!lock.acquired())
        return failure(updateBusyMessage());
    if (const auto unrestored = unrestoredFiles(layout))
        return failure(kFailed + unrestoredRefusal(layout, *unrestored));
    if (const QString error = makeOwnDir(layout.backupDir()); !error.isEmpty())
        return failure(kFailed + error);
    // A run that changed the site and did not end left the site half-updated: the snapshot then
    // still holds the last whole site, and this run keeps it.
    const bool interrupted = readMarker(layout) == Marker::Changing;
    if (!interrupted) {
        if (const QString error = writeMarker(layout, kPrepared); !error.isEmpty())
            return failure(kFailed + error);
    }
    // From here on the marker goes when the site is whole at the end.
    bool siteWhole = !interrupted;
    struct MarkerGuard
    {
        const RuntimeLayout &layout;
        const bool &whole;
        ~MarkerGuard()
        {
            if (whole)
                clearMarker(layout);
        }
    } markerGuard{layout, siteWhole};
    // Old extractions and snapshots are freed beside the run's own work; all is freed before the
    // lock goes.
    BackgroundRemoval removals;
    removals.discardLeftovers(extractDir);

    progress(0.1, updateFirstStepText(source));
    if (!source.isFile()) {
        if (const QString error = downloadPackage(source.downloadURL, packagePath, options);
            !error.isEmpty())
            return failure(
                (error.startsWith(cancelledPrefix()) ? kFailed : QStringLiteral("更新下载失败: ")) +
                error);
    }

    if (cancellationRequested())
        return stoppedBeforeChange();
    progress(0.35, QStringLiteral("正在解压更新包"));
    // A failed step here never leads on: the site is only touched once a whole, checked package
    // lies unpacked.
    if (const QString error = removals.discard(extractDir); !error.isEmpty())
        return failure(kFailed + error);
    if (const QString error = makeOwnDir(extractDir); !error.isEmpty())
        return failure(kFailed + error);
    if (const QString error = unzipUpdateArchive(packagePath, extractDir); !error.isEmpty())
        return failure(error);
    if (const QString error = removeMacOSXArtifacts(extractDir); !error.isEmpty())
        return failure(kFailed + error);
    if (const QString problem = extractedTreeProblem(extractDir); !problem.isEmpty())
        return failure(kFailed + problem);

    if (cancellationRequested())
        return stoppedBeforeChange();
    progress(0.6, QStringLiteral("正在定位站点根目录"));
    const std::optional<QString> siteRoot = resolveUpdateWebSource(extractDir);
    if (!siteRoot)
        return failure(
            QStringLiteral("更新包中未识别到站点根（需存在 index.php，且为 www 子目录或 zip "
                           "根目录含 include/LibTavex/Data 之一）"));

    progress(0.75, QStringLiteral("正在同步到 runtime/www"));
    const QString snapshotDir = layout.siteSnapshotDir();
    QStringList notes;
    if (interrupted && lstatType(snapshotDir) == S_IFDIR) {
        notes << QStringLiteral("发现上次未完成的更新，保留其更新前的完整站点快照: ") + snapshotDir;
    } else {
        // The site is replaced only with a whole snapshot of it in place; otherwise the run stops
        // here and the last snapshot stays as it was.
        removals.discardLeftovers(snapshotDir);
        const QString problem = takeSiteSnapshot(target, snapshotDir, &removals);
        if (cancellationRequested())
            return stoppedBeforeChange();
        if (!problem.isEmpty())
            return failure(kFailed + QStringLiteral("无法保存更新前的站点快照，站点未改动: ") +
                           problem);
    }
    if (const QString error = writeMarker(layout, kChanging); !error.isEmpty())
        return failure(kFailed + error, notes);
    siteWhole = false;

    const SyncResult sync = syncDirectoryContents(
        *siteRoot, target, [&progress](int done, int total, const QString &name) {
            const double fraction =
                total != 0 ? std::min(0.75 + double(done) / double(total) * 0.15, 0.9) : 0.9;
            progress(fraction, QStringLiteral("正在同步到 www: ") + name);
        });
    notes << sync.notes;
    if (sync.stage != SyncResult::Done) {
        if (sync.stage == SyncResult::Refused) {
            siteWhole = !interrupted;
        } else {
            // Whatever stopped the run, and even when asked to stop, the site goes back whole.
            const CancellationShield shield;
            const RestoreResult restore = restoreSiteSnapshot(snapshotDir, target);
            if (restore.complete()) {
                notes << QStringLiteral("已从更新前的快照恢复站点（Data 未改动）: ") + snapshotDir;
                notes << restore.lines();
                siteWhole = true;
            } else {
                notes << QStringLiteral("从更新前的快照恢复站点失败: ") + snapshotDir;
                notes << restore.lines();
                notes << QStringLiteral("运行回滚（rollback）可再次尝试恢复");
            }
        }
        return failure(kFailed + sync.error, notes);
    }
    // The site is the package now, whole, whatever the checks below find.
    siteWhole = true;
    notes << keptNote(layout);

    progress(0.9, QStringLiteral("正在校验 runtime/www"));
    if (!QFileInfo::exists(target))
        return failure(QStringLiteral("更新完成，但未找到 ") + target, notes);
    if (!QFileInfo::exists(target + QStringLiteral("/index.php")))
        return failure(
            QStringLiteral("同步后 runtime/www 缺少 index.php，请确认更新包完整。\n识别来源: ") +
                *siteRoot,
            notes);

    progress(1.0, QStringLiteral("完成"));
    return {QStringLiteral("已自动解压并同步到 runtime/www: ") + target +
                QStringLiteral("\n站点根: ") + *siteRoot,
            notes, true};
}

} // namespace

UpdateOutcome downloadUpdateOnly(const RootSource &resolver, const QUrl &downloadURL,
                                 const DownloadOptions &options, const UpdateProgress &progress)
{
    return runUpdate(resolver, {downloadURL, QString()}, options, progress);
}

UpdateOutcome updateFromPackageFile(const RootSource &resolver, const QString &packageFile,
                                    const UpdateProgress &progress)
{
    return runUpdate(resolver, {QUrl(), packageFile}, DownloadOptions(), progress);
}

UpdateOutcome rollbackLastUpdate(const RootSource &resolver)
{
    const auto claim = UpdateLock::claim();
    if (!claim)
        return failure(updateBusyMessage());
    const RuntimeLayout layout(resolver.tavexPanelRoot());
    const QString runtimeDir = layout.runtimeDir();
    const UpdateLock lock(runtimeDir);
    if (!lock.acquired())
        return failure(updateBusyMessage());
    const QString target = layout.wwwDir();
    const QString snapshotDir = layout.siteSnapshotDir();
    const QString failedTitle = QStringLiteral("回滚失败: ");
    const Marker marker = readMarker(layout);
    const bool unrestored = unrestoredFiles(layout).has_value();
    if (marker == Marker::Prepared && !unrestored) {
        // An update that stopped before it changed anything: the site is the last whole one.
        clearMarker(layout);
        return {QStringLiteral("上次更新在改动站点之前就已中断，站点仍是更新前的样子，未做改动: ") +
                    target,
                {QStringLiteral("再次运行回滚（rollback）可恢复到上次更新前的站点")},
                true};
    }
    if (lstatType(snapshotDir) != S_IFDIR)
        return failure(failedTitle + QStringLiteral("没有可用的更新前快照: ") + snapshotDir);
    if (const QString problem = writableProblem(layout); !problem.isEmpty())
        return failure(failedTitle + problem);
    // After an interrupted run the site is no whole state worth keeping; otherwise the state that
    // the rollback replaces becomes the snapshot, so that a second rollback returns to it.
    const bool keepReplaced = marker == Marker::None && !unrestored;
    const QString replaced = stagingPathFor(layout.siteBeforeRollbackDir());
    if (keepReplaced) {
        if (const QString problem = stageSiteCopy(target, replaced); !problem.isEmpty())
            return failure(failedTitle + QStringLiteral("无法保存回滚前的站点，站点未改动: ") +
                           problem);
    }
    if (const QString error = writeMarker(layout, kChanging); !error.isEmpty()) {
        removeTree(replaced);
        return failure(failedTitle + error);
    }
    const CancellationShield shield;
    const RestoreResult restore = restoreSiteSnapshot(snapshotDir, target);
    QStringList notes;
    if (!restore.complete()) {
        // The snapshot keeps what could not be put back; no later update may replace it.
        tryWrite(layout.unrestoredListPath(),
                 (restore.notRestored.isEmpty() ? QStringList{restore.error} : restore.notRestored)
                         .join(QLatin1Char('\n')) +
                     QLatin1Char('\n'));
        notes << restore.lines();
        if (keepReplaced) {
            const QString kept = layout.siteBeforeRollbackDir();
            if (installSnapshot(replaced, kept).isEmpty())
                notes << QStringLiteral("回滚前的站点保存在: ") + kept;
            else
                removeTree(replaced);
        }
        notes << QStringLiteral("快照保持不变: ") + snapshotDir +
                     QStringLiteral("；让上面的文件可读写后再运行回滚");
        return failure(failedTitle + QStringLiteral("未能恢复全部文件"), notes);
    }
    removeTree(layout.unrestoredListPath());
    clearMarker(layout);
    notes << restore.lines();
    if (keepReplaced) {
        if (const QString error = installSnapshot(replaced, snapshotDir); error.isEmpty()) {
            notes << QStringLiteral("回滚前的站点已保存为快照 ") + snapshotDir +
                         QStringLiteral("，再次运行回滚可回到它");
        } else {
            removeTree(replaced);
            notes << QStringLiteral("未能保存回滚前的站点: ") + error;
        }
    }
    return {QStringLiteral("已回滚到上次更新前的站点（Data 未改动）: ") + target +
                QStringLiteral("\n快照: ") + snapshotDir,
            notes, true};
}

QString interruptedUpdateNote(const RuntimeLayout &layout)
{
    if (UpdateLock::claimedHere())
        return {};
    QStringList lines;
    if (readMarker(layout) == Marker::Changing && !UpdateLock::busy(layout.runtimeDir()))
        lines << QStringLiteral("发现未完成的更新或回滚，站点可能只改了一部分。运行回滚（rollback）"
                                "可恢复上次完整的站点: ") +
                     layout.siteSnapshotDir();
    if (const auto files = unrestoredFiles(layout))
        lines << listedLine(QStringLiteral("上次回滚有文件未能恢复，快照中仍保存着它们: "), *files);
    return lines.join(QLatin1Char('\n'));
}

QString updateFirstStepText(const UpdateSource &source)
{
    return source.isFile() ? QStringLiteral("正在读取更新包") : QStringLiteral("正在下载更新包");
}

QString updateStartText(const UpdateSource &source, const QString &root)
{
    return kUpdateTitle + QLatin1Char('\n') + updateFirstStepText(source) +
           QStringLiteral("...\n") + sourceLine(source) + QStringLiteral("\n目录: ") + root;
}

QString updateProgressBlock(double fraction, const QString &text, const UpdateSource &source,
                            const QString &root)
{
    const auto percent = static_cast<qint64>(fraction * 100.0);
    return buildLogBlock(
        kUpdateTitle,
        {text, QStringLiteral("进度: ") + QString::number(percent) + QLatin1Char('%')},
        {sourceLine(source), QStringLiteral("目录: ") + root});
}

QString updateFinishBlock(const UpdateOutcome &outcome, const QString &root,
                          const QString &packagePath)
{
    return buildLogBlock(
        QStringLiteral("=== 更新/修复完成 ==="), QStringList{outcome.message} + outcome.notes,
        {QStringLiteral("目录: ") + root, QStringLiteral("下载包: ") + packagePath,
         QStringLiteral(
             "说明: 识别站点根后 rsync 至 runtime/www：① 先同步站点文件（Data "
             "第二轮单独合并，避免误删）；② 比对 Data/ 缺啥补啥，已有文件不覆盖。会先创建 "
             "runtime/www/Data。")});
}

QString rollbackFinishBlock(const UpdateOutcome &outcome, const QString &root)
{
    return buildLogBlock(QStringLiteral("=== 回滚完成 ==="),
                         QStringList{outcome.message} + outcome.notes,
                         {QStringLiteral("目录: ") + root});
}

} // namespace tavex
