#include "SiteSync.h"

#include "UpdateArchive.h"
#include "process/Cancellation.h"
#include "process/FileHelpers.h"
#include "process/ProcessRunner.h"
#include "stack/LogBlock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryFile>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

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

const QStringList &protectedDataNames()
{
    static const QStringList names = {QStringLiteral("Data"), QStringLiteral("data")};
    return names;
}

QList<DataMerge> dataMerges(const QString &source, const QString &destination)
{
    const auto at = [](const QString &dir, const char *name) {
        return dir + QLatin1Char('/') + QLatin1String(name);
    };
    const bool upper = lstatType(at(source, "Data")) == S_IFDIR;
    const bool lower = lstatType(at(source, "data")) == S_IFDIR;
    QList<DataMerge> merges;
    if (upper)
        merges.append({at(source, "Data"), at(destination, "Data")});
    if (lower) {
        merges.append({at(source, "data"), at(destination, "data")});
        if (!upper)
            merges.append({at(source, "data"), at(destination, "Data")});
    }
    return merges;
}

namespace {

void collectSkips(const QString &packageDir, const QString &liveDir, const QString &prefix,
                  QStringList &skips)
{
    const QStringList names =
        QDir(packageDir)
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                       QDir::Name);
    const bool liveWritable = ::access(QFile::encodeName(liveDir).constData(), W_OK | X_OK) == 0;
    for (const QString &name : names) {
        const QString rel = prefix + name;
        const QString packagePath = packageDir + QLatin1Char('/') + name;
        const QString livePath = liveDir + QLatin1Char('/') + name;
        const mode_t packageType = lstatType(packagePath);
        struct stat st
        {
        };
        if (::lstat(QFile::encodeName(livePath).constData(), &st) != 0) {
            // Missing: it is added, if the live folder lets this user add it.
            if (errno != ENOENT || !liveWritable)
                skips << rel;
            continue;
        }
        const mode_t liveType = st.st_mode & S_IFMT;
        if (liveType != packageType)
            skips << rel;
        else if (liveType == S_IFDIR)
            collectSkips(packagePath, livePath, rel + QLatin1Char('/'), skips);
    }
}

// One rsync rule for a path relative to the transfer root, anchored there. Wildcard characters
// are escaped; rsync reads a backslash as an escape only in a pattern that holds a wildcard.
QByteArray exactRule(const QString &rel)
{
    QByteArray path = QFile::encodeName(rel);
    if (path.contains('*') || path.contains('?') || path.contains('[')) {
        QByteArray escaped;
        for (const char c : std::as_const(path)) {
            if (c == '*' || c == '?' || c == '[' || c == '\\')
                escaped += '\\';
            escaped += c;
        }
        path = escaped;
    }
    return '/' + path;
}

} // namespace

QStringList dataMergeSkips(const QString &packageDir, const QString &liveDir)
{
    QStringList skips;
    collectSkips(packageDir, liveDir, QString(), skips);
    return skips;
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
    // "-I" rewrites every file: contents that changed arrive even when size and time agree, and
    // each file gets an inode of its own, so a snapshot made of hard links never changes with
    // the site. Folder times are left alone: a shared site folder of another user cannot take
    // them, and they mean nothing to the site. "/Data" without a trailing slash protects the live
    // data folder whatever it is (a folder, a link, a file) and keeps a package's of any type out
    // of this run.
    QStringList args = {QStringLiteral("-a"), QStringLiteral("-I"), QStringLiteral("--delete"),
                        QStringLiteral("--omit-dir-times")};
    // An ordinary user cannot give files another owner, nor a group of another user.
    if (::geteuid() != 0)
        args << QStringLiteral("--no-owner") << QStringLiteral("--no-group");
    for (const QString &name : protectedDataNames())
        args << QStringLiteral("--exclude=/") + name;
    return args << source + QLatin1Char('/') << destination + QLatin1Char('/');
}

QStringList dataMergeRsyncArguments(const QString &packageData, const QString &destinationData,
                                    const QString &excludeFile)
{
    // Only missing files are added. Folders that exist keep their mode, owner, group and time; new
    // folders are made writable for their owner, so a read-only package folder cannot make the
    // site's data read-only.
    QStringList args = {QStringLiteral("-a"),
                        QStringLiteral("--ignore-existing"),
                        QStringLiteral("--no-perms"),
                        QStringLiteral("--no-owner"),
                        QStringLiteral("--no-group"),
                        QStringLiteral("--omit-dir-times"),
                        QStringLiteral("--chmod=Du+rwx")};
    if (!excludeFile.isEmpty())
        args << QStringLiteral("--from0") << QStringLiteral("--exclude-from=") + excludeFile;
    return args << packageData + QLatin1Char('/') << destinationData + QLatin1Char('/');
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
    if (const QString link = firstLinkLeaving(source); !link.isEmpty())
        return failed(SyncResult::Refused,
                      QStringLiteral("更新包中的符号链接指向站点根之外，已拒绝同步: ") + link);

    if (const QString error = makeDir(destination); !error.isEmpty())
        return failed(SyncResult::Refused, error);
    const QString destinationData = destination + QStringLiteral("/Data");
    if (lstatType(destinationData) == 0) {
        if (const QString error = makeDir(destinationData); !error.isEmpty())
            return failed(SyncResult::Refused, error);
    }

    // Each merge goes into a real live folder, made when missing; a live data folder that is a
    // link or a file stays as it is.
    QStringList notes;
    QList<DataMerge> merges;
    for (const DataMerge &merge : dataMerges(source, destination)) {
        const mode_t liveType = lstatType(merge.liveDir);
        if (liveType == 0) {
            if (const QString error = makeDir(merge.liveDir); !error.isEmpty())
                return failed(SyncResult::Refused, error);
        } else if (liveType != S_IFDIR) {
            notes << merge.liveDir +
                         QStringLiteral(
                             " 不是普通目录（符号链接或文件），已原样保留，未合并更新包中的 ") +
                         QFileInfo(merge.packageDir).fileName();
            continue;
        }
        merges << merge;
    }
    const int total = merges.isEmpty() ? 1 : 2;
    // The site folder itself keeps its mode: in a folder shared with another user this user
    // could not change it, and the package's folder mode means nothing to the site.
    struct stat live
    {
    };
    if (::stat(QFile::encodeName(destination).constData(), &live) == 0)
        ::chmod(QFile::encodeName(source).constData(), live.st_mode & 07777);

    progress(0, total, syncStepSiteFiles());
    const QString siteFiles = runRsync(siteFilesRsyncArguments(source, destination));
    if (rsyncOutputIndicatesHardFailure(siteFiles))
        return failed(SyncResult::SiteFiles,
                      QStringLiteral("同步失败(主文件): ") + siteFiles.trimmed(), notes);
    if (!merges.isEmpty()) {
        progress(1, total, syncStepData());
        QStringList skipped;
        for (const DataMerge &merge : std::as_const(merges)) {
            const QStringList skips = dataMergeSkips(merge.packageDir, merge.liveDir);
            QTemporaryFile rules(QDir::tempPath() + QStringLiteral("/tavex-data-skips-XXXXXX"));
            if (!skips.isEmpty()) {
                QByteArray text;
                for (const QString &rel : skips)
                    text += exactRule(rel) + '\0';
                if (!rules.open() || rules.write(text) != text.size() || !rules.flush())
                    return failed(SyncResult::Data,
                                  QStringLiteral("同步失败(Data): ") + rules.errorString(), notes);
                const QString liveName = QFileInfo(merge.liveDir).fileName();
                for (const QString &rel : skips)
                    skipped << liveName + QLatin1Char('/') + rel;
            }
            const QString data = runRsync(dataMergeRsyncArguments(
                merge.packageDir, merge.liveDir, skips.isEmpty() ? QString() : rules.fileName()));
            if (rsyncOutputIndicatesHardFailure(data))
                return failed(SyncResult::Data, QStringLiteral("同步失败(Data): ") + data.trimmed(),
                              notes);
        }
        if (!skipped.isEmpty())
            notes << listedLine(
                QStringLiteral("数据目录中已有同名内容（类型不同）或无权写入，已跳过更新包中的: "),
                skipped);
    }
    progress(total, total, syncStepDone());
    return {SyncResult::Done, {}, notes};
}

} // namespace tavex
