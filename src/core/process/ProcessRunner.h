#pragma once

#include <QString>
#include <QStringList>

namespace tavex {

// Runs a program to its end with standard output and error merged, and returns what it wrote
// as UTF-8 (empty when the bytes are not UTF-8). The exit status is not reported.
// "执行失败: " + description when it cannot be started.
QString runProcess(const QString &executable, const QStringList &args);

// As runProcess, but bounded: after timeoutSeconds the program is terminated (and killed if it
// ignores that) and the text begins "timeout: ". A non-zero exit is reported as
// "exit(<status>): <output>", even when the output is blank. A cancellation request ends the
// program the same way, and the text begins cancelledPrefix().
QString runProcessWithTimeout(const QString &executable, const QStringList &args,
                              double timeoutSeconds);

// Runs a program to its end with its output going wherever the panel's goes; its exit status is
// not looked at. With a time limit (milliseconds; -1 for none) a program still running then is
// terminated, and killed if it ignores that.
struct ForwardedRun
{
    enum Outcome { Finished, StartFailed, TimedOut } outcome = Finished;
    QString startError; // why it could not start
};
ForwardedRun runForwarded(const QString &executable, const QStringList &args, int timeoutMs = -1);

// SIGTERM to every process whose full command line matches the extended regular expression.
// Empty when pkill ran (whether or not anything matched), else the reason it could not start.
QString killByPattern(const QString &pattern);

// Whether the command (program path, then arguments) ran and exited with status 0.
bool isRunning(const QStringList &command);

} // namespace tavex
