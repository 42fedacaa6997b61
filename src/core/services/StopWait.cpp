#include "StopWait.h"

#include "platform/Processes.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>

namespace tavex {

QList<qint64> processesMatching(const QString &pattern)
{
    QProcess pgrep;
    pgrep.setProgram(QStringLiteral("/usr/bin/pgrep"));
    pgrep.setArguments({QStringLiteral("-f"), pattern});
    pgrep.setStandardErrorFile(QProcess::nullDevice());
    closeInheritedDescriptorsInChild(pgrep);
    pgrep.start();
    if (!pgrep.waitForStarted(-1))
        return {};
    pgrep.waitForFinished(-1);
    QList<qint64> pids;
    for (const QByteArray &line : pgrep.readAllStandardOutput().split('\n')) {
        bool ok = false;
        const qint64 pid = line.trimmed().toLongLong(&ok);
        if (ok && pid > 0)
            pids << pid;
    }
    return pids;
}

StopWaiter::StopWaiter(const QStringList &patterns)
{
    for (const QString &pattern : patterns)
        m_pids << processesMatching(pattern);
}

void StopWaiter::waitForEnd(int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    for (qint64 pid : m_pids) {
        while (processIsAlive(pid) && !deadline.hasExpired())
            QThread::msleep(20);
    }
}

} // namespace tavex
