#include "StopWait.h"

#include "MysqlService.h"
#include "StackSequences.h"
#include "platform/Processes.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QThread>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <regex.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tavex {

QList<qint64> processesMatching(const QString &pattern)
{
    // The same reading as pkill -f: an extended regular expression searched in the command line
    // with its arguments joined by blanks. Read from /proc, without starting a program.
    regex_t expression;
    if (::regcomp(&expression, pattern.toUtf8().constData(), REG_EXTENDED | REG_NOSUB) != 0)
        return {};
    QList<qint64> pids;
    const qint64 self = ::getpid();
    QDirIterator it(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        bool numeric = false;
        const qint64 pid = it.nextFileInfo().fileName().toLongLong(&numeric);
        if (!numeric || pid == self)
            continue;
        const QStringList arguments = processArguments(pid);
        if (!arguments.isEmpty() &&
            ::regexec(&expression, arguments.join(QLatin1Char(' ')).toUtf8().constData(), 0,
                      nullptr, 0) == 0)
            pids << pid;
    }
    ::regfree(&expression);
    return pids;
}

StopWaiter::StopWaiter(const QStringList &patterns)
{
    for (const QString &pattern : patterns)
        m_pids << processesMatching(pattern);
}

StopWaiter StopWaiter::forStack(const QString &root)
{
    waitForDatabaseStartUp(mysqlKillPattern(root));
    return StopWaiter({kPhpServerKillPattern, mysqlKillPattern(root)});
}

void StopWaiter::waitForEnd(int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    for (qint64 pid : m_pids) {
        while (processIsAlive(pid) && !deadline.hasExpired())
            QThread::msleep(20);
    }
}

namespace {

// Whether the database on port 3306 greets a new connection, which it does only once it is ready.
bool databaseGreets(int timeoutMs = 500)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(3306);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool greets = false;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 ||
        errno == EINPROGRESS) {
        // Connected or not, the server's first packet is what tells that it is ready.
        pollfd readable{fd, POLLIN, 0};
        char byte;
        greets = ::poll(&readable, 1, timeoutMs) == 1 && (readable.revents & POLLIN) &&
                 ::recv(fd, &byte, 1, 0) == 1;
    }
    ::close(fd);
    return greets;
}

} // namespace

void waitForDatabaseStartUp(const QString &pattern, int timeoutMs)
{
    const QList<qint64> servers = processesMatching(pattern);
    const QDeadlineTimer deadline(timeoutMs);
    const auto anyAlive = [&servers] {
        return std::any_of(servers.cbegin(), servers.cend(), processIsAlive);
    };
    while (anyAlive() && !deadline.hasExpired()) {
        if (databaseGreets())
            return;
        QThread::msleep(50);
    }
}

} // namespace tavex
