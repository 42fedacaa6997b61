#include "UpdateRun.h"

#include "SiteRoot.h"
#include "SiteSnapshot.h"
#include "SiteSync.h"
#include "UpdateArchive.h"
#include "UpdateLock.h"
#include "model/LogBlock.h"
#include "model/RuntimeLayout.h"
#include "process/BackgroundRemoval.h"
#include "process/FileHelpers.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <algorithm>
#include <sys/stat.h>

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

} // namespace

bool isUsableUpdateBaseURL(const QUrl &url)
{
    return url.isValid() && !url.isRelative() && !url.host().isEmpty() &&
           (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http"));
}

QUrl configuredUpdateZipBaseURL(const QUrl &fallback)
{
    const QUrl fromSettings(QSettings(QStringLiteral("Tavex"), QStringLiteral("tavex-panel"))
                                .value(QStringLiteral("updateZipBaseURL"))
                                .toString(),
                            QUrl::StrictMode);
    if (isUsableUpdateBaseURL(fromSettings))
        return fromSettings;
    const QUrl fromBuild(QStringLiteral(TAVEX_UPDATE_ZIP_BASE_URL), QUrl::StrictMode);
    if (isUsableUpdateBaseURL(fromBuild))
        return fromBuild;
    return fallback;
}

QString updateSnapshotDir(const QString &installedRoot)
{
    return installedRoot + QStringLiteral("/runtime/backup/www-before-update");
}

UpdateOutcome downloadUpdateOnly(const PanelRootResolver &resolver, const QUrl &downloadURL,
                                 const DownloadOptions &options, const UpdateProgress &progress)
{
    const RuntimeLayout layout(resolver.tavexPanelRoot());
    const QString runtimeDir = layout.runtimeDir();
    const QString packagePath = runtimeDir + QStringLiteral("/tavex-update.zip");
    const QString extractDir = runtimeDir + QStringLiteral("/update-extract");
    if (const QString error = makeOwnDir(runtimeDir); !error.isEmpty())
        return failure(kFailed + error);
    const UpdateLock lock(runtimeDir);
    if (!lock.acquired())
        return failure(updateBusyMessage());
    // Old extractions and snapshots are freed beside the run's own work; all is freed before the
    // lock goes.
    BackgroundRemoval removals;
    removals.discardLeftovers(extractDir);

    progress(0.1, QStringLiteral("正在下载更新包"));
    if (const QString error = downloadPackage(downloadURL, packagePath, options); !error.isEmpty())
        return failure(QStringLiteral("更新下载失败: ") + error);

    progress(0.35, QStringLiteral("正在解压更新包"));
    // A failed step here never leads on: the site is only touched once a whole, checked package
    // lies unpacked.
    if (const QString error = removals.discard(extractDir); !error.isEmpty())
        return failure(kFailed + error);
    if (const QString error = makeOwnDir(extractDir); !error.isEmpty())
        return failure(kFailed + error);
    if (const auto error = unzipUpdateArchive(packagePath, extractDir))
        return failure(*error);
    if (const QString error = removeMacOSXArtifacts(extractDir); !error.isEmpty())
        return failure(kFailed + error);
    if (const QString problem = extractedTreeProblem(extractDir); !problem.isEmpty())
        return failure(kFailed + problem);

    progress(0.6, QStringLiteral("正在定位站点根目录"));
    const std::optional<QString> siteRoot = resolveUpdateWebSource(extractDir);
    if (!siteRoot)
        return failure(
            QStringLiteral("更新包中未识别到站点根（需存在 index.php，且为 www 子目录或 zip "
                           "根目录含 include/LibTavex/Data 之一）"));

    const std::optional<QString> installedRoot = resolver.appBundleRoot();
    if (!installedRoot)
        return failure(QStringLiteral("无法定位应用程序目录"));
    const QString target = *installedRoot + QStringLiteral("/runtime/www");

    progress(0.75, QStringLiteral("正在同步到 runtime/www"));
    if (const QString error = makeOwnDir(*installedRoot + QStringLiteral("/runtime"));
        !error.isEmpty())
        return failure(kFailed + error);

    const QString snapshotDir = updateSnapshotDir(*installedRoot);
    removals.discardLeftovers(snapshotDir);
    const SnapshotResult snapshot = takeSiteSnapshot(target, snapshotDir, &removals);
    QStringList notes;
    if (!snapshot.taken)
        notes << snapshot.note;

    const SyncResult sync = syncDirectoryContents(
        *siteRoot, target, [&progress](int done, int total, const QString &name) {
            const double fraction =
                total != 0 ? std::min(0.75 + double(done) / double(total) * 0.15, 0.9) : 0.9;
            progress(fraction, QStringLiteral("正在同步到 www: ") + name);
        });
    notes << sync.notes;
    if (sync.stage != SyncResult::Done) {
        if (sync.stage == SyncResult::SiteFiles && snapshot.taken) {
            const QString error = restoreSiteSnapshot(snapshotDir, target);
            notes << (error.isEmpty()
                          ? QStringLiteral("已从更新前的快照恢复站点（Data 未改动）: ") +
                                snapshotDir
                          : QStringLiteral("从更新前的快照恢复站点失败: ") + error);
        }
        return failure(kFailed + sync.error, notes);
    }

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

UpdateOutcome rollbackLastUpdate(const PanelRootResolver &resolver)
{
    const auto claim = UpdateLock::claim();
    if (!claim)
        return failure(updateBusyMessage());
    const QString runtimeDir = RuntimeLayout(resolver.tavexPanelRoot()).runtimeDir();
    const UpdateLock lock(runtimeDir);
    if (!lock.acquired())
        return failure(updateBusyMessage());
    const std::optional<QString> installedRoot = resolver.appBundleRoot();
    if (!installedRoot)
        return failure(QStringLiteral("无法定位应用程序目录"));
    const QString target = *installedRoot + QStringLiteral("/runtime/www");
    const QString snapshotDir = updateSnapshotDir(*installedRoot);
    if (const QString error = restoreSiteSnapshot(snapshotDir, target); !error.isEmpty())
        return failure(QStringLiteral("回滚失败: ") + error);
    return {QStringLiteral("已回滚到上次更新前的站点（Data 未改动）: ") + target +
                QStringLiteral("\n快照: ") + snapshotDir,
            {},
            true};
}

QString updateStartText(const QUrl &downloadURL, const QString &root)
{
    return kUpdateTitle + QStringLiteral("\n正在下载更新包...\n地址: ") + addressText(downloadURL) +
           QStringLiteral("\n目录: ") + root;
}

QString updateProgressBlock(double fraction, const QString &text, const QUrl &downloadURL,
                            const QString &root)
{
    const auto percent = static_cast<qint64>(fraction * 100.0);
    return buildLogBlock(
        kUpdateTitle,
        {text, QStringLiteral("进度: ") + QString::number(percent) + QLatin1Char('%')},
        {QStringLiteral("地址: ") + addressText(downloadURL), QStringLiteral("目录: ") + root});
}

QString updateFinishBlock(const UpdateOutcome &outcome, const QString &root,
                          const QString &runtimeDir)
{
    return buildLogBlock(
        QStringLiteral("=== 更新/修复完成 ==="), QStringList{outcome.message} + outcome.notes,
        {QStringLiteral("目录: ") + root,
         QStringLiteral("下载包: ") + runtimeDir + QStringLiteral("/tavex-update.zip"),
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
