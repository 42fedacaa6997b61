#include "PermissionCheck.h"

#include "platform/SystemInfo.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavex {

namespace {

// Writes "ok" to the test file through a temporary name and a rename, then removes it.
// Returns 0 or the errno of the step that failed.
int writeAndRemoveTestFile(const QString &dir)
{
    const QByteArray target = QFile::encodeName(dir + QStringLiteral("/.tavex-write-test"));
    const QByteArray temporary = target + ".tmp-" + QByteArray::number(::getpid());
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    const bool written = ::write(fd, "ok", 2) == 2;
    const int writeError = errno;
    ::close(fd);
    if (!written) {
        ::unlink(temporary.constData());
        return writeError;
    }
    if (::rename(temporary.constData(), target.constData()) != 0) {
        const int renameError = errno;
        ::unlink(temporary.constData());
        return renameError;
    }
    if (::unlink(target.constData()) != 0)
        return errno;
    return 0;
}

} // namespace

PermissionCheck checkRuntimePermissions(const QString &root)
{
    static const char *const relativeDirs[] = {"/runtime", "/runtime/config", "/runtime/mysql",
                                               "/runtime/mysql/data"};
    for (const char *relative : relativeDirs) {
        const QString dir = root + QLatin1String(relative);
        struct stat info {};
        if (::stat(QFile::encodeName(dir).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
            return {QStringLiteral("权限提示: 目录不存在或不可访问 - ") + dir, dir};
        if (const int error = writeAndRemoveTestFile(dir)) {
            return {QStringLiteral("权限提示: 无法写入 ") + dir +
                        QStringLiteral("\n请到 系统设置 -> 隐私与安全性 -> 完全磁盘访问，给 "
                                       "Xcode / App 开权限。\n错误: ") +
                        errnoDescription(error),
                    dir};
        }
    }
    return {};
}

QString permissionCheckHint(const QString &root)
{
    return checkRuntimePermissions(root).hint;
}

} // namespace tavex
