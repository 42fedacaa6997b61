#include "StopWait.h"

#include "MysqlService.h"
#include "ServicePorts.h"
#include "StackSequences.h"
#include "platform/PortProbe.h"
#include "platform/Processes.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QThread>

#include <regex.h>
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

void waitForDatabaseStartUp(const QString &pattern, int timeoutMs)
{
    const QList<qint64> servers = processesMatching(pattern);
    const QDeadlineTimer deadline(timeoutMs);
    const auto anyAlive = [&servers] {
        return std::any_of(servers.cbegin(), servers.cend(), processIsAlive);
    };
    while (anyAlive() && !deadline.hasExpired()) {
        if (portGreets(kMysqlPort))
            return;
        QThread::msleep(50);
    }
}

} // namespace tavex
