#include "StopWait.h"

#include "MysqlService.h"
#include "ServicePorts.h"
#include "StackSequences.h"
#include "platform/PortProbe.h"
#include "platform/Processes.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
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

QString StopWaiter::waitForEnd(int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    for (qint64 pid : m_pids) {
        while (processIsAlive(pid) && !deadline.hasExpired())
            QThread::msleep(20);
    }
    QStringList lines;
    for (qint64 pid : m_pids) {
        if (processLives(pid))
            lines << cannotStopLine(pid);
    }
    return lines.join(QLatin1Char('\n'));
}

QString cannotStopLine(qint64 pid)
{
    const QStringList arguments = processArguments(pid);
    QString service;
    for (qsizetype i = 0; i + 1 < arguments.size() && service.isEmpty(); ++i) {
        if (arguments[i] != QLatin1String("-S"))
            continue;
        const QString address = arguments[i + 1];
        if (address == QStringLiteral("0.0.0.0:") + kPhpWebPort)
            service = QStringLiteral("PHP Web");
        else if (address == QStringLiteral("0.0.0.0:") + kPhpMyAdminPort)
            service = QStringLiteral("phpMyAdmin");
        else
            service = QStringLiteral("PHP 服务器 ") + address;
    }
    if (service.isEmpty()) {
        const QString program =
            arguments.isEmpty() ? QString() : QFileInfo(arguments.first()).fileName();
        service = program.contains(QLatin1String("mysqld")) ? QStringLiteral("MySQL")
                  : program.isEmpty()                       ? QStringLiteral("进程")
                                                            : program;
    }
    const auto owner = processOwner(pid);
    const QString why = processIsAlive(pid)
                            ? QStringLiteral("收到结束信号后仍在运行")
                            : QStringLiteral("没有权限（进程属于用户 %1）")
                                  .arg(owner ? userName(*owner) : QStringLiteral("?"));
    return QStringLiteral("无法停止 %1（PID %2）: %3").arg(service).arg(pid).arg(why);
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
