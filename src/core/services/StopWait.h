#pragma once

#include <QList>
#include <QStringList>

namespace tavex {

// Notes the processes whose command lines match the patterns (as pkill -f reads them) when it
// is made, so that once they have been signalled the caller can wait for them to end: a server
// started right after must not find the port or its data files still held. The wait is bounded.
class StopWaiter
{
public:
    explicit StopWaiter(const QStringList &patterns);

    // The stack's PHP servers and this root's database server, once a database server that is
    // still starting has finished starting (see waitForDatabaseStartUp).
    static StopWaiter forStack(const QString &root);

    // Waits for the noted processes that were signalled, then names each one that still runs,
    // one line each: "无法停止 PHP Web（PID 123）: 没有权限（进程属于用户 ann）". Empty when all
    // ended. Another user's process cannot be signalled and is not waited for.
    QString waitForEnd(int timeoutMs = 15000) const;

private:
    QList<qint64> m_pids;
};

// Why a stop left the process running, as a line that names the service it is.
QString cannotStopLine(qint64 pid);

// The numbers of the processes whose full command line matches the extended regular expression.
QList<qint64> processesMatching(const QString &pattern);

// A database server that is told to stop while it is still starting can hang for good, ignoring
// every later request. So before the servers that match the pattern are signalled, this waits
// (bounded) until each has either finished starting or ended. The bound is longer than the
// 30 s that a starting server waits for another one's Aria lock before it gives up.
void waitForDatabaseStartUp(const QString &pattern, int timeoutMs = 60000);

} // namespace tavex
