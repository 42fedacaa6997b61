#include "UpdateArchive.h"

#include "platform/Processes.h"
#include "platform/SystemInfo.h"
#include "process/Cancellation.h"
#include "process/FileHelpers.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace tavex {

namespace {

const QString kBsdtar = QStringLiteral("/usr/bin/bsdtar");
// How often the wait for the tool looks for a cancellation request, and how long a tool asked to
// end may take before it is killed.
constexpr int kCancelPollMs = 100;
constexpr int kTerminateGraceMs = 2000;
// Room left over beyond twice the package's declared size.
constexpr quint64 kSpaceMargin = quint64(16) << 20;

quint16 le16(const char *p)
{
    return quint16(quint8(p[0]) | quint8(p[1]) << 8);
}

quint32 le32(const char *p)
{
    return quint32(le16(p)) | quint32(le16(p + 2)) << 16;
}

quint64 le64(const char *p)
{
    return quint64(le32(p)) | quint64(le32(p + 4)) << 32;
}

QString unsafeNameReason(const QByteArray &name)
{
    if (name.startsWith('/') || name.startsWith('\\'))
        return QStringLiteral("有绝对路径");
    QByteArray normalised = name;
    normalised.replace('\\', '/');
    const QList<QByteArray> parts = normalised.split('/');
    if (std::any_of(parts.cbegin(), parts.cend(), [](const QByteArray &p) { return p == ".."; }))
        return QStringLiteral("有含 \"..\" 的路径");
    return {};
}

QString unsafeTypeReason(quint16 versionMadeBy, quint32 externalAttributes)
{
    constexpr quint16 kUnix = 3;
    if (versionMadeBy >> 8 != kUnix)
        return {};
    const quint32 type = (externalAttributes >> 16) & S_IFMT;
    if (type == 0 || type == S_IFREG || type == S_IFDIR || type == S_IFLNK)
        return {};
    return QStringLiteral("有不受支持的文件类型（设备、FIFO 等）");
}

struct ToolRun
{
    bool started = false;
    bool cancelled = false;
    int exitCode = 0;
    QString output; // trimmed
};

ToolRun runBsdtar(const QStringList &args)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Chinese names survive whatever the user's locale.
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    process.setProcessEnvironment(environment);
    process.setProgram(kBsdtar);
    process.setArguments(args);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    prepareStepChild(process);
    process.start();
    ToolRun run;
    if (!process.waitForStarted(-1)) {
        run.output = process.errorString();
        return run;
    }
    run.started = true;
    // Waiting reads the pipe as the tool writes, so a long complaint never stalls it.
    while (process.state() != QProcess::NotRunning && !cancellationRequested())
        process.waitForFinished(kCancelPollMs);
    if (process.state() != QProcess::NotRunning) {
        run.cancelled = true;
        process.terminate();
        if (!process.waitForFinished(kTerminateGraceMs)) {
            process.kill();
            process.waitForFinished(-1);
        }
    }
    run.exitCode = process.exitStatus() == QProcess::CrashExit ? -1 : process.exitCode();
    run.output = decodeUtf8(process.readAll()).value_or(QString()).trimmed();
    return run;
}

// Empty when the tool succeeded.
QString toolFailure(const ToolRun &run)
{
    if (!run.started)
        return QStringLiteral("解压失败: ") + run.output;
    if (run.cancelled)
        return cancelledPrefix() + QStringLiteral("解压已按要求中止");
    if (run.exitCode == 0)
        return {};
    QString message = QStringLiteral("解压失败: ditto 退出码 ") + QString::number(run.exitCode);
    if (!run.output.isEmpty())
        message += QStringLiteral("，") + run.output;
    return message;
}

// Removes everything in the folder, never following a link; the folder itself stays.
QString clearFolder(const QString &folder)
{
    const QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden |
                                                     QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        if (const QString error = removeTree(folder + QLatin1Char('/') + name); !error.isEmpty())
            return error;
    }
    return {};
}

quint64 saturatingAdd(quint64 a, quint64 b)
{
    return a > std::numeric_limits<quint64>::max() - b ? std::numeric_limits<quint64>::max()
                                                       : a + b;
}

// The uncompressed size of a central directory entry: the 32-bit field, or the Zip64 extra
// field's first value when the 32-bit one is saturated.
quint64 declaredEntrySize(const char *header, const QByteArray &extra)
{
    const quint32 size = le32(header + 24);
    if (size != 0xffffffffu)
        return size;
    for (qsizetype at = 0; at + 4 <= extra.size();) {
        const quint16 id = le16(extra.constData() + at);
        const quint16 length = le16(extra.constData() + at + 2);
        if (id == 0x0001 && length >= 8 && at + 4 + 8 <= extra.size())
            return le64(extra.constData() + at + 4);
        at += 4 + length;
    }
    return size;
}

bool isInside(const QString &path, const QString &root)
{
    return path == root || path.startsWith(root + QLatin1Char('/'));
}

void collectArtifacts(const QString &dir, QStringList &found)
{
    const QFileInfoList entries = QDir(dir).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        const bool macosx = name == QLatin1String("__MACOSX");
        if (macosx || name.startsWith(QLatin1String("._")))
            found << entry.filePath();
        // A __MACOSX folder goes whole; links are never entered.
        if (!macosx && lstatType(entry.filePath()) == S_IFDIR)
            collectArtifacts(entry.filePath(), found);
    }
}

} // namespace

ZipDirectory readZipDirectory(const QString &packagePath)
{
    ZipDirectory result;
    // Never waits on a FIFO or a device put where the package should be.
    const int fd = ::open(QFile::encodeName(packagePath).constData(),
                          O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return result;
    struct stat st
    {
    };
    QFile file;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return result;
    }
    const qint64 size = file.size();
    constexpr qint64 kEocdSize = 22;
    if (size < kEocdSize)
        return result;

    // The end record sits in the last 22 bytes plus at most a 64 KiB comment.
    const qint64 tailStart = std::max<qint64>(0, size - kEocdSize - 0xffff);
    file.seek(tailStart);
    const QByteArray tail = file.readAll();
    qsizetype eocd = -1;
    for (qsizetype i = tail.size() - kEocdSize; i >= 0; --i) {
        if (le32(tail.constData() + i) == 0x06054b50u &&
            i + kEocdSize + le16(tail.constData() + i + 20) == tail.size()) {
            eocd = i;
            break;
        }
    }
    if (eocd < 0)
        return result;
    quint64 entries = le16(tail.constData() + eocd + 10);
    quint64 directorySize = le32(tail.constData() + eocd + 12);
    qint64 recordStart = tailStart + eocd;
    // A Zip64 archive keeps its real counts in a record that a locator right before points to.
    if (eocd >= 20 && le32(tail.constData() + eocd - 20) == 0x07064b50u) {
        const quint64 zip64At = le64(tail.constData() + eocd - 20 + 8);
        file.seek(qint64(zip64At));
        const QByteArray record = file.read(56);
        if (record.size() == 56 && le32(record.constData()) == 0x06064b50u) {
            entries = le64(record.constData() + 32);
            directorySize = le64(record.constData() + 40);
            recordStart = qint64(zip64At);
        }
    }
    // Read from where the directory must end, which also holds for archives with data in front.
    if (directorySize > quint64(recordStart))
        return result;
    file.seek(recordStart - qint64(directorySize));
    const QByteArray directory = file.read(qint64(directorySize));
    if (quint64(directory.size()) != directorySize)
        return result;

    qsizetype at = 0;
    for (quint64 n = 0; n < entries; ++n) {
        if (at + 46 > directory.size() || le32(directory.constData() + at) != 0x02014b50u)
            return result;
        const char *header = directory.constData() + at;
        const quint16 madeBy = le16(header + 4);
        const quint16 flags = le16(header + 8);
        const quint16 nameLength = le16(header + 28);
        const qsizetype next = at + 46 + nameLength + le16(header + 30) + le16(header + 32);
        if (next > directory.size())
            return result;
        const QByteArray name = directory.mid(at + 46, nameLength);
        result.declaredSize = saturatingAdd(
            result.declaredSize,
            declaredEntrySize(header, directory.mid(at + 46 + nameLength, le16(header + 30))));
        constexpr quint16 kUtf8Flag = 0x0800;
        if (!(flags & kUtf8Flag) && !decodeUtf8(name))
            result.hasNonUtf8UnflaggedName = true;
        if (result.unsafeEntry.isEmpty()) {
            QString reason = unsafeNameReason(name);
            if (reason.isEmpty())
                reason = unsafeTypeReason(madeBy, le32(header + 38));
            if (!reason.isEmpty()) {
                result.unsafeEntry = QString::fromUtf8(name);
                result.unsafeReason = reason;
            }
        }
        at = next;
    }
    result.isZip = true;
    return result;
}

QString unzipUpdateArchive(const QString &packagePath, const QString &destination)
{
    const ZipDirectory zip = readZipDirectory(packagePath);
    // The archive tool would wait for ever on a FIFO.
    struct stat st
    {
    };
    if (!zip.isZip && ::stat(QFile::encodeName(packagePath).constData(), &st) == 0 &&
        !S_ISREG(st.st_mode))
        return QStringLiteral("解压失败: 更新包不是普通文件: ") + packagePath;
    if (!zip.isZip) {
        // Let the tool say what the file is (an error page, a cut-off download). A package in
        // another archive format it could read is still refused: only zip packages are unpacked.
        const ToolRun list = runBsdtar({QStringLiteral("-t"), QStringLiteral("-f"), packagePath});
        if (const QString failure = toolFailure(list); !failure.isEmpty())
            return failure;
        return QStringLiteral("解压失败: 更新包不是 zip 格式: ") + packagePath;
    }
    if (!zip.unsafeEntry.isEmpty())
        return QStringLiteral("解压失败: 更新包中") + zip.unsafeReason + QStringLiteral(": ") +
               zip.unsafeEntry;

    // The unpacked tree and then the site's copy of it: a package that cannot fit twice would
    // fill the disk, and every later update would fail at its download.
    const quint64 needed =
        saturatingAdd(saturatingAdd(zip.declaredSize, zip.declaredSize), kSpaceMargin);
    if (const auto free = freeDiskBytes(destination); free && *free < needed)
        return QStringLiteral("解压失败: 磁盘空间不足，解压需要 ") + formatByteSize(needed) +
               QStringLiteral("，可用 ") + formatByteSize(*free);

    QStringList args = {QStringLiteral("-x"),
                        QStringLiteral("-f"),
                        packagePath,
                        QStringLiteral("-C"),
                        destination,
                        QStringLiteral("--no-same-owner"),
                        QStringLiteral("--no-same-permissions"),
                        QStringLiteral("--no-xattrs"),
                        QStringLiteral("--no-acls"),
                        QStringLiteral("--no-fflags")};
    if (zip.hasNonUtf8UnflaggedName)
        args << QStringLiteral("--options") << QStringLiteral("hdrcharset=GBK");
    const ToolRun run = runBsdtar(args);
    QString failure = toolFailure(run);
    if (failure.isEmpty())
        return {};
    // Judged before the partial tree goes, which frees the space again.
    if (const QString full = diskFullText(destination); !full.isEmpty() && !run.cancelled)
        failure = QStringLiteral("解压失败: ") + full + QStringLiteral("；") +
                  failure.mid(QStringLiteral("解压失败: ").size());
    if (const QString error = clearFolder(destination); !error.isEmpty())
        failure += QStringLiteral("；解压出的部分未能清除: ") + error;
    return failure;
}

QString removeMacOSXArtifacts(const QString &directory)
{
    QStringList found;
    collectArtifacts(directory, found);
    std::stable_sort(found.begin(), found.end(),
                     [](const QString &a, const QString &b) { return a.size() > b.size(); });
    for (const QString &path : std::as_const(found)) {
        if (const QString error = removeTree(path); !error.isEmpty())
            return error;
    }
    return {};
}

QString firstLinkLeaving(const QString &root)
{
    const QString cleanRoot = QDir::cleanPath(QFileInfo(root).absoluteFilePath());
    const QString canonicalRoot = QFileInfo(cleanRoot).canonicalFilePath();
    QDirIterator it(cleanRoot,
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (lstatType(path) != S_IFLNK)
            continue;
        QByteArray raw(4096, Qt::Uninitialized);
        const ssize_t length =
            ::readlink(QFile::encodeName(path).constData(), raw.data(), size_t(raw.size()));
        raw.resize(std::max<ssize_t>(0, length));
        const QString target = QFile::decodeName(raw);
        const QString lexical = QDir::cleanPath(QFileInfo(path).path() + QLatin1Char('/') + target);
        const QString resolved = QFileInfo(path).canonicalFilePath();
        const bool leaves = length <= 0 || target.startsWith(QLatin1Char('/')) ||
                            !isInside(lexical, cleanRoot) ||
                            (!resolved.isEmpty() && !isInside(resolved, canonicalRoot));
        if (leaves)
            return QDir(cleanRoot).relativeFilePath(path) + QStringLiteral(" -> ") + target;
    }
    return {};
}

QString extractedTreeProblem(const QString &root)
{
    if (const QString link = firstLinkLeaving(root); !link.isEmpty())
        return QStringLiteral("更新包中的符号链接指向解压目录之外，已拒绝使用此更新包: ") + link;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st
        {
        };
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0) {
            if (errno == ENAMETOOLONG)
                return QStringLiteral("路径过长（超过系统上限）: ") + path;
            return errnoDescription(errno) + QStringLiteral(": ") + path;
        }
        const mode_t type = st.st_mode & S_IFMT;
        if (type != S_IFREG && type != S_IFDIR && type != S_IFLNK)
            return QStringLiteral("更新包中有不受支持的文件类型，已拒绝使用此更新包: ") +
                   QDir(root).relativeFilePath(path);
    }
    return {};
}

} // namespace tavex
