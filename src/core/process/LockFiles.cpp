#include "LockFiles.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QLockFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavex {

namespace {

std::chrono::milliseconds ageOf(const struct stat &info)
{
    using namespace std::chrono;
    const auto modified = seconds(info.st_mtim.tv_sec) + nanoseconds(info.st_mtim.tv_nsec);
    const auto now = system_clock::now().time_since_epoch();
    // A time in the future (a clock set back) counts by its distance too.
    return duration_cast<milliseconds>(now > modified ? now - modified : modified - now);
}

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Unlinks the file unless a live process holds its lock. QLockFile's own removal opens the file
// for writing, which a file of mode 000 refuses.
bool unlinkUnlessHeld(const QByteArray &path, const struct stat &judged)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno != EACCES)
        return false;
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    struct stat now
    {
    };
    const bool unchanged = ::lstat(path.constData(), &now) == 0 && sameFile(now, judged);
    const bool removed = unchanged && ::unlink(path.constData()) == 0;
    if (fd >= 0)
        ::close(fd);
    return removed;
}

} // namespace

bool clearStaleLockFile(QLockFile &lock, std::chrono::milliseconds minAge)
{
    const QByteArray path = QFile::encodeName(lock.fileName());
    struct stat info
    {
    };
    if (::lstat(path.constData(), &info) != 0 || S_ISDIR(info.st_mode))
        return false;
    // Reading a FIFO would wait for a writer for ever; no lock file is anything but a file.
    if (!S_ISREG(info.st_mode))
        return ::unlink(path.constData()) == 0;
    qint64 pid = 0;
    QString host;
    QString application;
    if (lock.getLockInfo(&pid, &host, &application) || ageOf(info) < minAge)
        return false;
    return lock.removeStaleLockFile() || unlinkUnlessHeld(path, info);
}

bool tryLockWithin(QLockFile &lock, int timeoutMs)
{
    lock.setStaleLockTime(0);
    const QDeadlineTimer deadline(std::max(timeoutMs, 0));
    for (;;) {
        clearStaleLockFile(lock);
        // Short attempts, so that a file that turns stale while waiting is cleared in time.
        const int attempt = static_cast<int>(std::min<qint64>(deadline.remainingTime(), 500));
        if (lock.tryLock(attempt))
            return true;
        if (lock.error() != QLockFile::LockFailedError || deadline.hasExpired())
            return false;
    }
}

} // namespace tavex
