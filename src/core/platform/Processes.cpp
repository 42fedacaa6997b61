#include "Processes.h"

#include <QFile>
#include <QList>
#include <QProcess>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <linux/close_range.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tavex {

bool processExists(qint64 pid)
{
    if (pid < 1 || pid > std::numeric_limits<pid_t>::max())
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0;
}

QStringList processArguments(qint64 pid)
{
    if (pid < 1)
        return {};
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray raw = file.readAll();
    if (raw.endsWith('\0'))
        raw.chop(1);
    if (raw.isEmpty())
        return {};
    QStringList arguments;
    for (const QByteArray &part : raw.split('\0'))
        arguments << QString::fromUtf8(part);
    return arguments;
}

int terminateProcess(qint64 pid)
{
    if (pid < 1 || pid > std::numeric_limits<pid_t>::max())
        return ESRCH;
    return ::kill(static_cast<pid_t>(pid), SIGTERM) == 0 ? 0 : errno;
}

void markInheritedDescriptorsCloseOnExec() noexcept
{
    if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    // Kernels before 5.11: walk the descriptor table.
    struct rlimit limit
    {
    };
    int highest = 1024;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        highest = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 20));
    for (int fd = 3; fd < highest; ++fd) {
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags >= 0 && !(flags & FD_CLOEXEC))
            ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
}

void prepareStepChild(QProcess &process)
{
    const pid_t parent = ::getpid();
    process.setChildProcessModifier([parent] {
        markInheritedDescriptorsCloseOnExec();
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        // The panel may have died between the fork and the line above.
        if (::getppid() != parent)
            ::raise(SIGTERM);
    });
}

namespace {

// Messages from the launched children to the panel over a close-on-exec pipe.
struct LaunchMessage
{
    int kind; // 0: the program's process number, 1: errno of a failed step
    int value;
};

void sendMessage(int fd, int kind, int value) noexcept
{
    const LaunchMessage message{kind, value};
    ssize_t written;
    do {
        written = ::write(fd, &message, sizeof message);
    } while (written < 0 && errno == EINTR);
}

} // namespace

DetachedResult startDetachedProcess(const DetachedLaunch &launch)
{
    // Everything the children need is prepared here: between fork and exec only
    // async-signal-safe calls are made.
    const QByteArray program = QFile::encodeName(launch.program);
    std::vector<QByteArray> argumentBytes;
    argumentBytes.push_back(program);
    for (const QString &argument : launch.arguments)
        argumentBytes.push_back(argument.toUtf8());
    std::vector<char *> argv;
    for (QByteArray &argument : argumentBytes)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const QByteArray workingDirectory = QFile::encodeName(launch.workingDirectory);

    DetachedResult result;
    int outputFd = launch.outputFd;
    int nullFd = -1;
    if (outputFd < 0) {
        nullFd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (nullFd < 0) {
            result.errorCode = errno;
            return result;
        }
        outputFd = nullFd;
    }

    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0) {
        result.errorCode = errno;
        if (nullFd >= 0)
            ::close(nullFd);
        return result;
    }

    const pid_t intermediate = ::fork();
    if (intermediate == 0) {
        ::close(channel[0]);
        ::setsid();
        const pid_t server = ::fork();
        if (server < 0) {
            sendMessage(channel[1], 1, errno);
            ::_exit(1);
        }
        if (server > 0) {
            sendMessage(channel[1], 0, server);
            ::_exit(0);
        }
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        if (!workingDirectory.isEmpty() && ::chdir(workingDirectory.constData()) != 0) {
            sendMessage(channel[1], 1, errno);
            ::_exit(127);
        }
        if (::dup2(outputFd, STDOUT_FILENO) < 0 || ::dup2(outputFd, STDERR_FILENO) < 0) {
            sendMessage(channel[1], 1, errno);
            ::_exit(127);
        }
        markInheritedDescriptorsCloseOnExec();
        ::execv(program.constData(), argv.data());
        sendMessage(channel[1], 1, errno);
        ::_exit(127);
    }

    const int forkError = errno;
    ::close(channel[1]);
    if (nullFd >= 0)
        ::close(nullFd);
    if (intermediate < 0) {
        ::close(channel[0]);
        result.errorCode = forkError;
        return result;
    }

    LaunchMessage message{};
    for (;;) {
        const ssize_t got = ::read(channel[0], &message, sizeof message);
        if (got < 0 && errno == EINTR)
            continue;
        if (got != static_cast<ssize_t>(sizeof message))
            break;
        if (message.kind == 0)
            result.pid = message.value;
        else
            result.errorCode = message.value;
    }
    ::close(channel[0]);
    while (::waitpid(intermediate, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (result.errorCode == 0 && result.pid <= 0)
        result.errorCode = ECHILD;
    return result;
}

namespace {

bool isZombie(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    // "pid (comm) S ...": the state follows the last closing parenthesis.
    const qsizetype close = line.lastIndexOf(')');
    return close >= 0 && close + 2 < line.size() && line.at(close + 2) == 'Z';
}

} // namespace

bool processIsAlive(qint64 pid)
{
    return processExists(pid) && !isZombie(pid);
}

bool processLives(qint64 pid)
{
    if (pid < 1 || pid > std::numeric_limits<pid_t>::max())
        return false;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)
        return false;
    return !isZombie(pid);
}

std::optional<uint> processOwner(qint64 pid)
{
    struct stat st
    {
    };
    if (pid < 1 ||
        ::stat(QFile::encodeName(QStringLiteral("/proc/%1").arg(pid)).constData(), &st) != 0)
        return std::nullopt;
    return st.st_uid;
}

QString userName(uint uid)
{
    struct passwd entry
    {
    };
    struct passwd *found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_name);
    return QString::number(uid);
}

std::optional<qint64> processAgeMs(qint64 pid)
{
    if (pid < 1)
        return std::nullopt;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    QFile uptime(QStringLiteral("/proc/uptime"));
    if (!stat.open(QIODevice::ReadOnly) || !uptime.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    if (close < 0)
        return std::nullopt;
    // Fields after the command name begin with the state (field 3); the start time, in clock
    // ticks after boot, is field 22.
    const QList<QByteArray> fields = line.mid(close + 2).split(' ');
    bool startOk = false;
    bool upOk = false;
    const qint64 startTicks = fields.size() > 19 ? fields[19].toLongLong(&startOk) : 0;
    const double upSeconds = uptime.readAll().split(' ').value(0).toDouble(&upOk);
    const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    if (!startOk || !upOk || ticksPerSecond <= 0)
        return std::nullopt;
    return std::max<qint64>(0, static_cast<qint64>(upSeconds * 1000.0) -
                                   startTicks * 1000 / ticksPerSecond);
}

} // namespace tavex
