#include "SiteSync.h"

#include "UpdateArchive.h"
#include "process/Cancellation.h"
#include "process/FileHelpers.h"
#include "process/ProcessRunner.h"

#include <QFile>
#include <QRegularExpression>

#include <sys/stat.h>

namespace tavex {

namespace {

constexpr double kRsyncTimeoutSeconds = 300.0;

SyncResult failed(SyncResult::Stage stage, QString error, QStringList notes = {})
{
    return {stage, std::move(error), std::move(notes)};
}

} // namespace

QString syncStepSiteFiles()
{
    return QStringLiteral("第一步：同步站点文件（Data 在第二轮逐文件补缺失）");
}

QString syncStepData()
{
    return QStringLiteral("第二步：比对 Data/ 内文件，缺的同步、已有不覆盖");
}

QString syncStepDone()
{
    return QStringLiteral("www 同步完成");
}

std::optional<QString> packageDataDirectory(const QString &source)
{
    for (const char *name : {"Data", "data"}) {
        const QString path = source + QLatin1Char('/') + QLatin1String(name);
        if (lstatType(path) == S_IFDIR)
            return path;
    }
    return std::nullopt;
}

bool rsyncOutputIndicatesHardFailure(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return false;
    if (trimmed.startsWith(QStringLiteral("执行失败: ")) || trimmed.startsWith(cancelledPrefix()))
        return true;
    const QString lower = trimmed.toLower();
    if (lower.startsWith(QLatin1String("timeout:")))
        return true;
    if (lower.contains(QLatin1String("timeout:")) && lower.contains(QStringLiteral("超过")))
        return true;
    if (lower.startsWith(QLatin1String("exit("))) {
        static const QRegularExpression code(QStringLiteral("^exit\\(([+-]?[0-9]+)\\)"));
        const QRegularExpressionMatch match = code.match(lower);
        if (match.hasMatch()) {
            const int status = match.captured(1).toInt();
            return status != 0 && status != 24;
        }
    }
    for (const char *phrase : {"rsync error", "error:", "failed", "cannot "}) {
        if (lower.contains(QLatin1String(phrase)))
            return true;
    }
    return false;
}

QStringList siteFilesRsyncArguments(const QString &source, const QString &destination)
{
    // "/Data" without a trailing slash protects the live Data whatever it is (a folder, a link, a
    // file) and keeps a package's top-level Data of any type out of this run.
    return {QStringLiteral("-a"), QStringLiteral("--delete"), QStringLiteral("--exclude=/Data"),
            source + QLatin1Char('/'), destination + QLatin1Char('/')};
}

QStringList dataMergeRsyncArguments(const QString &packageData, const QString &destinationData)
{
    // Only missing files are added. Folders that exist keep their mode, owner, group and time; new
    // folders are made writable for their owner, so a read-only package folder cannot make the
    // site's data read-only.
    return {QStringLiteral("-a"),
            QStringLiteral("--ignore-existing"),
            QStringLiteral("--no-perms"),
            QStringLiteral("--no-owner"),
            QStringLiteral("--no-group"),
            QStringLiteral("--omit-dir-times"),
            QStringLiteral("--chmod=Du+rwx"),
            packageData + QLatin1Char('/'),
            destinationData + QLatin1Char('/')};
}

QString runRsync(const QStringList &arguments)
{
    return runProcessWithTimeout(QStringLiteral("/usr/bin/rsync"), arguments, kRsyncTimeoutSeconds);
}

SyncResult syncDirectoryContents(const QString &source, const QString &destination,
                                 const SyncProgress &progress)
{
    const mode_t destinationType = lstatType(destination);
    if (destinationType == S_IFLNK)
        return failed(SyncResult::Refused, symlinkRefusal(destination));
    if (destinationType != 0 && destinationType != S_IFDIR)
        return failed(SyncResult::Refused, destination + QStringLiteral(": 不是目录，已拒绝同步"));
    if (const auto link = firstLinkLeaving(source))
        return failed(SyncResult::Refused,
                      QStringLiteral("更新包中的符号链接指向站点根之外，已拒绝同步: ") + *link);

    if (const QString error = makeDir(destination); !error.isEmpty())
        return failed(SyncResult::Refused, error);
    const QString destinationData = destination + QStringLiteral("/Data");
    QStringList notes;
    bool dataIsFolder = true;
    switch (lstatType(destinationData)) {
    case 0:
        if (const QString error = makeDir(destinationData); !error.isEmpty())
            return failed(SyncResult::Refused, error);
        break;
    case S_IFDIR:
        break;
    default:
        dataIsFolder = false;
        break;
    }

    const std::optional<QString> packageData = packageDataDirectory(source);
    if (packageData && !dataIsFolder)
        notes << destinationData +
                     QStringLiteral(
                         " 不是普通目录（符号链接或文件），已原样保留，未合并更新包中的 Data");
    const bool merges = packageData && dataIsFolder;
    const int total = merges ? 2 : 1;

    progress(0, total, syncStepSiteFiles());
    const QString siteFiles = runRsync(siteFilesRsyncArguments(source, destination));
    if (rsyncOutputIndicatesHardFailure(siteFiles))
        return failed(SyncResult::SiteFiles,
                      QStringLiteral("同步失败(主文件): ") + siteFiles.trimmed(), notes);
    if (merges) {
        progress(1, total, syncStepData());
        const QString data = runRsync(dataMergeRsyncArguments(*packageData, destinationData));
        if (rsyncOutputIndicatesHardFailure(data))
            return failed(SyncResult::Data, QStringLiteral("同步失败(Data): ") + data.trimmed(),
                          notes);
    }
    progress(total, total, syncStepDone());
    return {SyncResult::Done, {}, notes};
}

} // namespace tavex
