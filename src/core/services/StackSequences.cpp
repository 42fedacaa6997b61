#include "StackSequences.h"

#include "MysqlService.h"
#include "PhpMyAdminService.h"
#include "SequenceLock.h"
#include "ServiceDiagnosis.h"
#include "ServicePorts.h"
#include "StatusProbes.h"
#include "StopWait.h"
#include "platform/PortProbe.h"
#include "platform/Processes.h"
#include "process/FileHelpers.h"
#include "process/ProcessRunner.h"
#include "stack/LogBlock.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QThread>

#include <algorithm>

namespace tavex {

QString startAllFirstText(const QString &root)
{
    return QStringLiteral("=== 启动中 ===\n正在准备目录和服务...\n目录: ") + root;
}

QString startAllProgressText(const QStringList &resultsSoFar, const QString &nextService,
                             const QString &root)
{
    QString text = QStringLiteral("=== 启动中 ===\n");
    for (const QString &result : resultsSoFar)
        text += result + QLatin1Char('\n');
    return text + QStringLiteral("正在启动 ") + nextService + QStringLiteral("...\n目录: ") + root;
}

QStringList trimmedEntries(const QStringList &results)
{
    QStringList entries;
    for (const QString &result : results) {
        const QString trimmed = result.trimmed();
        if (!trimmed.isEmpty())
            entries << trimmed;
    }
    return entries;
}

QString startAllResultBlock(const QStringList &results, const QString &phpDisplay,
                            const QString &root)
{
    const QStringList footer = {QStringLiteral("网站: ") + kSiteAddress,
                                QStringLiteral("phpMyAdmin: ") + kPhpMyAdminAddress,
                                QStringLiteral("MySQL: localhost:3306"),
                                QStringLiteral("PHP: ") + phpDisplay,
                                QStringLiteral("目录: ") + root};
    return buildLogBlock(QStringLiteral("=== 启动完成 ==="), trimmedEntries(results), footer);
}

QString stopAllFirstText(const QString &root)
{
    return QStringLiteral("=== 停止中 ===\n正在关闭服务...\n目录: ") + root;
}

QString stopAllResultBlock(const QStringList &results)
{
    return buildLogBlock(QStringLiteral("=== 停止完成 ==="), trimmedEntries(results), {});
}

QString waitForPhpServer(const PhpServerSpec &server, int timeoutMs)
{
    const auto text = readTextFile(server.pidPath);
    const auto pid = text ? parsePid(*text) : std::nullopt;
    if (!pid || *pid <= 0)
        return {};
    const quint16 port = server.port.toUShort();
    const QDeadlineTimer deadline(timeoutMs);
    // A server that cannot listen (its port taken, its document root unusable) ends at once.
    while (processIsAlive(*pid)) {
        if (listensAs(*pid, portListener(port, *pid)) || deadline.hasExpired())
            return {};
        QThread::msleep(50);
    }
    // Only what this start wrote: an earlier run's complaint is over.
    const QString complaint = lastPhpLogComplaint(
        server.logPath, logStartOffset(phpLogStartMarkPath(server.logPath), server.logPath));
    return server.label + QStringLiteral(": 启动失败: ") +
           (complaint.isEmpty() ? QStringLiteral("服务器启动后随即退出") : complaint);
}

SequenceResult runStartAll(const LayoutSource &currentLayout, const StartProgress &progress,
                           const ArchMismatchSink &onArchMismatch)
{
    const SequenceLock lock(currentLayout().root());
    if (!lock.acquired())
        return {{sequenceTimeoutEntry(QStringLiteral("启动"))}, false};

    makeDir(currentLayout().runtimeDir());
    makeDir(currentLayout().cfgDir());
    makeDir(currentLayout().mysqlDataDir());

    // Leftover servers are ended, and let go of their ports and data files before the new ones
    // start.
    const StopWaiter leftovers = StopWaiter::forStack(currentLayout().root());
    killByPattern(kPhpServerKillPattern);
    killByPattern(mysqlKillPattern(currentLayout().root()));
    leftovers.waitForEnd();

    SequenceResult outcome;
    QStringList &results = outcome.results;
    const auto note = [&outcome](const QString &result, bool failed) {
        outcome.results << result;
        if (failed)
            outcome.succeeded = false;
    };

    const QString written = writeMysqlOptionFile(currentLayout());
    note(written, !written.isEmpty());
    // Neither the initialiser nor the server runs without the option file just written: without
    // it they would work on the system's own database.
    {
        const RuntimeLayout at = currentLayout();
        const QString problem = mysqlOptionFileProblem(at, QStringLiteral("未初始化数据库"));
        if (!problem.isEmpty()) {
            note(problem, true);
        } else {
            // The initialiser talks even when it succeeds: it failed when the system tables are
            // still missing.
            const QString initialised = ensureMysqlInitialized(at, at.mysqlCnfPath());
            note(initialised, !initialised.isEmpty() && !QFileInfo::exists(at.mysqlSystemDbDir()));
        }
    }
    progress(results, QStringLiteral("MySQL"));
    {
        const RuntimeLayout at = currentLayout();
        const QString problem = mysqlOptionFileProblem(at, QStringLiteral("未启动 MySQL"));
        const QString started = problem.isEmpty() ? startMysql(at, at.mysqlCnfPath()) : problem;
        note(started, !started.isEmpty());
    }
    // A launch the system accepted is waited for until the server listens or ends: one that ends
    // at once (its port taken) is a failure, not a silent success.
    const auto startAndWait = [&](QString (*start)(const RuntimeLayout &, const ArchMismatchSink &),
                                  PhpServerSpec (*spec)(const RuntimeLayout &)) {
        QString result = start(currentLayout(), onArchMismatch);
        if (result.isEmpty())
            result = waitForPhpServer(spec(currentLayout()));
        note(result, !result.isEmpty());
    };
    progress(results, QStringLiteral("PHP Web"));
    startAndWait(&startPhpWeb, &phpWebServer);
    progress(results, QStringLiteral("phpMyAdmin"));
    startAndWait(&startPhpMyAdmin, &phpMyAdminServer);
    return outcome;
}

SequenceResult runStopAll(const LayoutSource &currentLayout)
{
    const SequenceLock lock(currentLayout().root());
    if (!lock.acquired())
        return {{sequenceTimeoutEntry(QStringLiteral("停止"))}, false};

    SequenceResult outcome;
    const StopWaiter servers = StopWaiter::forStack(currentLayout().root());
    outcome.results << stopPhpWeb(currentLayout());
    outcome.results << stopPhpMyAdmin(currentLayout());
    outcome.results << stopMysql(currentLayout());
    outcome.results << killByPattern(kPhpServerKillPattern);
    outcome.results << killByPattern(mysqlKillPattern(currentLayout().root()));
    // The final status is read once the signalled servers have ended; any that could not be
    // ended (another user's) is named.
    outcome.results << servers.waitForEnd();
    // Each stop step is silent when it did its part.
    outcome.succeeded = std::all_of(outcome.results.cbegin(), outcome.results.cend(),
                                    [](const QString &result) { return result.isEmpty(); });
    return outcome;
}

} // namespace tavex
