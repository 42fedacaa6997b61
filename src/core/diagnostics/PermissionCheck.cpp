#include "PermissionCheck.h"

#include "platform/SystemInfo.h"
#include "process/FileHelpers.h"
#include "stack/RuntimeLayout.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavex {

namespace {

// Writes "ok" to a test file of an unpredictable name, made exclusively (never through a link
// planted at the name), then removes it. Returns the reason it failed, or empty.
QString writeAndRemoveTestFile(const QString &dir)
{
    const OpenedDir opened = openDirNoFollow(dir);
    if (opened.fd < 0)
        return opened.error;
    const int dirFd = opened.fd;
    const QByteArray name = ".tavex-write-test-" + randomNameSuffix();
    QString failure;
    const int fd = ::openat(dirFd, name.constData(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        failure = errnoDescription(errno);
    } else {
        const bool written = ::write(fd, "ok", 2) == 2;
        const int writeError = errno;
        ::close(fd);
        if (!written)
            failure = errnoDescription(writeError);
        if (::unlinkat(dirFd, name.constData(), 0) != 0 && failure.isEmpty())
            failure = errnoDescription(errno);
    }
    ::close(dirFd);
    return failure;
}

} // namespace

PermissionCheck checkRuntimePermissions(const QString &root, bool lookPastMissing)
{
    PermissionCheck check;
    const RuntimeLayout at(root);
    // The order is the one the start creates them in: a parent's fault is named before its child's.
    for (const QString &dir : {at.runtimeDir(), at.cfgDir(), at.mysqlDir(), at.mysqlDataDir()}) {
        struct stat info
        {
        };
        const bool missing = ::stat(QFile::encodeName(dir).constData(), &info) != 0;
        if (missing && errno == ENOENT && lookPastMissing && lstatType(dir) == 0 &&
            canCreateDirectory(dir)) {
            check.toBeCreated << dir;
            continue;
        }
        if (missing || !S_ISDIR(info.st_mode)) {
            check.hint = QStringLiteral("权限提示: 目录不存在或不可访问 - ") + dir;
            check.failingDir = dir;
            return check;
        }
        if (const QString error = writeAndRemoveTestFile(dir); !error.isEmpty()) {
            check.hint = QStringLiteral("权限提示: 无法写入 ") + dir +
                         QStringLiteral("\n请到 系统设置 -> 隐私与安全性 -> 完全磁盘访问，给 "
                                        "Xcode / App 开权限。\n错误: ") +
                         error;
            check.failingDir = dir;
            return check;
        }
    }
    return check;
}

QString permissionCheckHint(const QString &root)
{
    return checkRuntimePermissions(root).hint;
}

} // namespace tavex
