#include "FileHelpers.h"

#include "platform/SystemInfo.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringDecoder>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <iterator>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <system_error>
#include <unistd.h>

namespace tavex {

namespace {

// An open descriptor that closes itself.
class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

QString notRegularRefusal(const QString &path)
{
    return path + QStringLiteral(": 不是普通文件，已拒绝写入");
}

struct ParentDir
{
    int fd = -1;
    QByteArray name; // the last component
    QString error;
};

// Opens the folder that holds the path without following a link at the folder itself.
ParentDir openParent(const QString &path)
{
    ParentDir parent;
    const QFileInfo info(path);
    parent.name = QFile::encodeName(info.fileName());
    if (parent.name.isEmpty() || parent.name == "." || parent.name == "..") {
        parent.error = errnoDescription(EISDIR);
        return parent;
    }
    const OpenedDir dir = openDirNoFollow(info.path());
    parent.fd = dir.fd;
    parent.error = dir.error;
    return parent;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// Removes one entry of an open folder, and for a folder everything in it first.
int removeAt(int dirFd, const char *name)
{
    struct stat st
    {
    };
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? 0 : errno;
    if (!S_ISDIR(st.st_mode))
        return ::unlinkat(dirFd, name, 0) == 0 || errno == ENOENT ? 0 : errno;

    int fd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    // A folder the package or the user made read-only: it is ours to remove.
    if (fd < 0 && errno == EACCES &&
        ::fchmodat(dirFd, name, (st.st_mode & 07777) | S_IRWXU, 0) == 0)
        fd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno;
    if ((st.st_mode & S_IRWXU) != S_IRWXU)
        ::fchmod(fd, (st.st_mode & 07777) | S_IRWXU);
    DIR *dir = ::fdopendir(fd);
    if (!dir) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    int firstError = 0;
    while (const dirent *entry = ::readdir(dir)) {
        if (::strcmp(entry->d_name, ".") == 0 || ::strcmp(entry->d_name, "..") == 0)
            continue;
        if (const int error = removeAt(::dirfd(dir), entry->d_name); error && !firstError)
            firstError = error;
    }
    ::closedir(dir);
    if (firstError)
        return firstError;
    return ::unlinkat(dirFd, name, AT_REMOVEDIR) == 0 || errno == ENOENT ? 0 : errno;
}

// Why a write failed; a full disk says so with the space left, a read-only folder says so, in
// place of the bare errno text.
QString writeErrorText(int error, const QString &path)
{
    if (error == EROFS)
        return QStringLiteral("文件系统为只读，无法写入 ") + path;
    if (error != ENOSPC && error != EDQUOT)
        return errnoDescription(error);
    const QString full = diskFullText(QFileInfo(path).path());
    return (full.isEmpty() ? QStringLiteral("磁盘空间不足") : full) +
           QStringLiteral("，无法写入 ") + path;
}

} // namespace

std::optional<QString> decodeUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

std::optional<QString> readTextFile(const QString &path)
{
    QFile file(path);
    if (!QFileInfo::exists(path) || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return decodeUtf8(bytes);
}

QString makeDir(const QString &path)
{
    std::error_code error;
    const std::filesystem::path target(path.toStdString());
    std::filesystem::create_directories(target, error);
    if (error)
        return errnoDescription(error.value());
    // create_directories accepts an existing non-directory at the last component silently on
    // some paths; a plain file there is an error for the caller.
    if (!std::filesystem::is_directory(target, error))
        return errnoDescription(error ? error.value() : EEXIST);
    return {};
}

bool canCreateDirectory(const QString &path)
{
    QString at = path;
    for (;;) {
        struct stat info
        {
        };
        if (::stat(QFile::encodeName(at).constData(), &info) == 0)
            return S_ISDIR(info.st_mode) && ::faccessat(AT_FDCWD, QFile::encodeName(at).constData(),
                                                        W_OK | X_OK, AT_EACCESS) == 0;
        const QString parent = QFileInfo(at).absolutePath();
        if (parent == at)
            return false;
        at = parent;
    }
}

mode_t lstatType(const QString &path)
{
    struct stat st
    {
    };
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return st.st_mode & S_IFMT;
}

OpenedDir openDirNoFollow(const QString &path)
{
    OpenedDir dir;
    dir.fd = ::open(QFile::encodeName(path).constData(),
                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir.fd < 0) {
        const int error = errno;
        dir.error = lstatType(path) == S_IFLNK ? symlinkRefusal(path) : errnoDescription(error);
    }
    return dir;
}

QByteArray randomNameSuffix()
{
    return QByteArray::number(QRandomGenerator::system()->generate64(), 36);
}

QString symlinkRefusal(const QString &path)
{
    return path + QStringLiteral(": 目标是符号链接，已拒绝写入");
}

bool hasControlCharacter(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) {
        return c.unicode() < 0x20 || c.unicode() == 0x7f || c.category() == QChar::Other_Control;
    });
}

QString visibleControlCharacters(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        const bool control = (code < 0x20 && code != u'\n' && code != u'\t') || code == 0x7f ||
                             (code >= 0x80 && code <= 0x9f);
        if (control)
            shown += QStringLiteral("\\x%1").arg(static_cast<int>(code), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

QString tryWrite(const QString &path, const QString &content)
{
    // Hand-written rather than QSaveFile: QSaveFile resolves a link at the path and replaces the
    // file it points to. Here the new text goes to a fresh file of an unpredictable name made
    // exclusively in the same folder, which is then renamed over the path: a rename replaces a
    // link planted meanwhile, never its target.
    ParentDir parent = openParent(path);
    if (parent.fd < 0)
        return parent.error;
    const Fd dir(parent.fd);

    mode_t mode = 0666;
    struct stat st
    {
    };
    if (::fstatat(dir.get(), parent.name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode))
            return symlinkRefusal(path);
        if (S_ISDIR(st.st_mode))
            return errnoDescription(EISDIR);
        if (!S_ISREG(st.st_mode))
            return notRegularRefusal(path);
        mode = st.st_mode & 0777;
    } else if (errno != ENOENT) {
        return errnoDescription(errno);
    }

    const QByteArray temporary = "." + parent.name + ".tmp-" + randomNameSuffix();
    const Fd file(::openat(dir.get(), temporary.constData(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (file.get() < 0)
        return writeErrorText(errno, path);
    const auto fail = [&](int error) {
        ::unlinkat(dir.get(), temporary.constData(), 0);
        return writeErrorText(error, path);
    };
    if (st.st_mode != 0 && ::fchmod(file.get(), mode) != 0)
        return fail(errno);
    if (!writeAll(file.get(), content.toUtf8()) || ::fsync(file.get()) != 0)
        return fail(errno);
    if (::renameat(dir.get(), temporary.constData(), dir.get(), parent.name.constData()) != 0)
        return fail(errno);
    return {};
}

bool holdsExactly(const QString &path, const QString &content)
{
    const Fd fd(::open(QFile::encodeName(path).constData(),
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st
    {
    };
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    const QByteArray expected = content.toUtf8();
    if (st.st_size != expected.size())
        return false;
    QByteArray actual(expected.size(), Qt::Uninitialized);
    qsizetype done = 0;
    while (done < actual.size()) {
        const ssize_t n = ::read(fd.get(), actual.data() + done, size_t(actual.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return actual == expected;
}

AppendFile openForAppend(const QString &path)
{
    AppendFile result;
    ParentDir parent = openParent(path);
    if (parent.fd < 0) {
        result.error = parent.error;
        return result;
    }
    const Fd dir(parent.fd);
    // O_NONBLOCK: opening a FIFO must fail or return at once, never wait for a reader.
    Fd fd(::openat(dir.get(), parent.name.constData(),
                   O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    if (fd.get() < 0) {
        const int error = errno;
        struct stat st
        {
        };
        if (::fstatat(dir.get(), parent.name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode))
            result.error = symlinkRefusal(path);
        else if (error == ENXIO)
            result.error = notRegularRefusal(path);
        else
            result.error = writeErrorText(error, path);
        return result;
    }
    struct stat st
    {
    };
    if (::fstat(fd.get(), &st) != 0) {
        result.error = errnoDescription(errno);
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        result.error = notRegularRefusal(path);
        return result;
    }
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    result.fd = fd.release();
    return result;
}

QString removeTree(const QString &path)
{
    ParentDir parent = openParent(path);
    if (parent.fd < 0) {
        // A path whose folder is already gone has nothing left to remove.
        struct stat st
        {
        };
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0 && errno == ENOENT)
            return {};
        return parent.error;
    }
    const Fd dir(parent.fd);
    if (const int error = removeAt(dir.get(), parent.name.constData()))
        return errnoDescription(error);
    return {};
}

std::optional<quint64> freeDiskBytes(const QString &path)
{
    struct statvfs fs
    {
    };
    if (::statvfs(QFile::encodeName(path).constData(), &fs) != 0)
        return std::nullopt;
    return quint64(fs.f_bavail) * quint64(fs.f_frsize);
}

QString formatByteSize(quint64 bytes)
{
    if (bytes < 1024)
        return QString::number(bytes) + QStringLiteral(" B");
    static const char *const units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    double value = double(bytes) / 1024.0;
    int unit = 0;
    // Rounded as shown, so that 1023.99 KB reads "1.0 MB", never "1024 KB".
    while (unit + 1 < int(std::size(units)) && value >= 1023.95) {
        value /= 1024.0;
        ++unit;
    }
    const QString number =
        value < 9.95 ? QString::number(value, 'f', 1) : QString::number(qRound64(value));
    return number + QLatin1Char(' ') + QLatin1String(units[unit]);
}

QString diskFullText(const QString &path)
{
    // Below this a write of the update's size cannot have succeeded; a failure is the disk's.
    constexpr quint64 kNearlyFull = 1 << 20;
    const auto free = freeDiskBytes(path);
    if (!free || *free >= kNearlyFull)
        return {};
    return QStringLiteral("磁盘空间不足，可用 ") + formatByteSize(*free);
}

} // namespace tavex
