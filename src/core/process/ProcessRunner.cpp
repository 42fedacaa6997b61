#include "ProcessRunner.h"

#include "Cancellation.h"
#include "FileHelpers.h"
#include "platform/Processes.h"

#include <QDeadlineTimer>
#include <QProcess>

#include <algorithm>

namespace tavex {

namespace {

constexpr int kTerminateGraceMs = 2000;
// How often a bounded wait looks for a cancellation request.
constexpr int kCancelPollMs = 100;

const QString kStartFailed = QStringLiteral("执行失败: ");

void prepare(QProcess &process, const QString &executable, const QStringList &args)
{
    process.setProgram(executable);
    process.setArguments(args);
    prepareStepChild(process);
}

int exitStatusOf(const QProcess &process)
{
    // For a program ended by a signal Qt reports the signal number as the exit code.
    const int code = process.exitCode();
    if (process.exitStatus() == QProcess::CrashExit && code == 0)
        return -1;
    return code;
}

// Starts the program with standard output and error merged into one pipe.
bool startWithMergedOutput(QProcess &process, const QString &executable, const QStringList &args)
{
    prepare(process, executable, args);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start();
    return process.waitForStarted(-1);
}

} // namespace

QString runProcess(const QString &executable, const QStringList &args)
{
    QProcess process;
    if (!startWithMergedOutput(process, executable, args))
        return kStartFailed + process.errorString();
    // waitForFinished reads the pipe as the program writes, so a large output never stalls it.
    process.waitForFinished(-1);
    return decodeUtf8(process.readAll()).value_or(QString());
}

QString runProcessWithTimeout(const QString &executable, const QStringList &args,
                              double timeoutSeconds)
{
    QProcess process;
    if (!startWithMergedOutput(process, executable, args))
        return kStartFailed + process.errorString();

    const QDeadlineTimer deadline(static_cast<qint64>(timeoutSeconds * 1000.0));
    while (process.state() != QProcess::NotRunning && !deadline.hasExpired() &&
           !cancellationRequested())
        process.waitForFinished(
            static_cast<int>(std::clamp<qint64>(deadline.remainingTime(), 1, kCancelPollMs)));

    if (process.state() != QProcess::NotRunning) {
        QByteArray bytes = process.readAll();
        // SIGTERM first: rsync then removes its temporary file before it goes.
        process.terminate();
        if (!process.waitForFinished(kTerminateGraceMs)) {
            process.kill();
            process.waitForFinished(-1);
        }
        bytes += process.readAll();
        const QString output = decodeUtf8(bytes).value_or(QString());
        if (!deadline.hasExpired())
            return cancelledPrefix() + executable + QStringLiteral(" 已按要求结束\n") + output;
        return QStringLiteral("timeout: ") + executable + QStringLiteral(" 超过 ") +
               QString::number(static_cast<qint64>(timeoutSeconds)) +
               QStringLiteral(" 秒，已强制结束\n解压日志:\n") + output;
    }

    const QString output = decodeUtf8(process.readAll()).value_or(QString());
    const int status = exitStatusOf(process);
    if (status != 0)
        return QStringLiteral("exit(%1): ").arg(status) + output;
    return output;
}

ForwardedRun runForwarded(const QString &executable, const QStringList &args, int timeoutMs)
{
    QProcess process;
    prepare(process, executable, args);
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start();
    if (!process.waitForStarted(-1))
        return {ForwardedRun::StartFailed, process.errorString()};
    if (process.waitForFinished(timeoutMs))
        return {};
    if (process.state() == QProcess::NotRunning)
        return {};
    process.terminate();
    if (!process.waitForFinished(kTerminateGraceMs)) {
        process.kill();
        process.waitForFinished(-1);
    }
    return {ForwardedRun::TimedOut, {}};
}

QString killByPattern(const QString &pattern)
{
    return runForwarded(QStringLiteral("/usr/bin/pkill"), {QStringLiteral("-f"), pattern})
        .startError;
}

bool isRunning(const QStringList &command)
{
    if (command.isEmpty())
        return false;
    QProcess process;
    prepare(process, command.first(), command.mid(1));
    // Only the exit status answers; what the program prints (pgrep's numbers) is not wanted.
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start();
    if (!process.waitForStarted(-1))
        return false;
    process.waitForFinished(-1);
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace tavex
