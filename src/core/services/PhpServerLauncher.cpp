#include "PhpServerLauncher.h"

#include "PhpDiscovery.h"
#include "ServiceDiagnosis.h"
#include "ServicePorts.h"
#include "StatusProbes.h"
#include "platform/Processes.h"
#include "platform/SystemInfo.h"
#include "process/FileHelpers.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <unistd.h>

namespace tavex {

PhpServerSpec phpWebServer(const RuntimeLayout &layout)
{
    return {kPhpWebPort, layout.wwwDir(), layout.phpWebPidPath(), layout.phpWebLogPath(),
            QStringLiteral("PHP Web")};
}

PhpServerSpec phpMyAdminServer(const RuntimeLayout &layout)
{
    return {kPhpMyAdminPort, layout.phpMyAdminDir(), layout.phpMyAdminPidPath(),
            layout.phpMyAdminLogPath(), QStringLiteral("phpMyAdmin")};
}

QString launchPhpServer(const RuntimeLayout &layout, const PhpServerSpec &server,
                        const ArchMismatchSink &onArchMismatch)
{
    const QString prefix = server.label + QStringLiteral(": ");
    const QStringList candidates = phpBinCandidates(layout);
    if (candidates.isEmpty())
        return prefix + QStringLiteral("未找到可执行的 PHP");

    for (const QString &dir : {layout.cfgDir(), layout.runtimeDir()}) {
        if (const QString error = makeDir(dir); !error.isEmpty())
            return prefix + error;
    }

    // Both output streams of the server go to the end of one open log file; earlier output is kept.
    const AppendFile log = openForAppend(server.logPath);
    if (log.fd < 0)
        return prefix + log.error;
    const auto closeLog = qScopeGuard([fd = log.fd] { ::close(fd); });
    noteLogStart(phpLogStartMarkPath(server.logPath), server.logPath);

    QString result;
    for (const QString &program : candidates) {
        const DetachedResult launched =
            startDetachedProcess({program,
                                  {QStringLiteral("-S"), QStringLiteral("0.0.0.0:") + server.port,
                                   QStringLiteral("-t"), server.documentRoot},
                                  layout.root(),
                                  log.fd});

        QString description;
        QString printable;
        if (launched.started()) {
            const QString writeError = tryWrite(server.pidPath, QString::number(launched.pid));
            if (writeError.isEmpty())
                return {};
            // A server that is not recorded would be one the panel no longer knows: it is ended,
            // and the next candidate is tried.
            terminateProcess(launched.pid);
            description = writeError;
            printable =
                writeError + QStringLiteral(" (path: \"") + server.pidPath + QStringLiteral("\")");
        } else {
            description = errnoDescription(launched.errorCode);
            printable = launchErrorDescription(launched.errorCode, program);
        }

        if (const auto mismatch = phpArchMismatchMessage(program, printable)) {
            if (onArchMismatch)
                onArchMismatch(*mismatch);
            result = *mismatch;
        } else {
            result = prefix + description;
        }
    }
    return result.isEmpty() ? prefix + QStringLiteral("启动失败") : result;
}

QString stopPhpServer(const QString &pidPath, const QString &port)
{
    const auto text = readTextFile(pidPath);
    if (!text)
        return {};
    const auto pid = parsePid(*text);
    if (!pid || *pid <= 0)
        return {};
    // Another user's server cannot be signalled: it runs on, so its PID file stays for its
    // owner's status and stop. The stop sequence names it.
    if (isOwnPhpServer(*pid, port) && terminateProcess(*pid) != 0)
        return {};
    QFile::remove(pidPath);
    return {};
}

QString startPhpWeb(const RuntimeLayout &layout, const ArchMismatchSink &onArchMismatch)
{
    return launchPhpServer(layout, phpWebServer(layout), onArchMismatch);
}

QString stopPhpWeb(const RuntimeLayout &layout)
{
    return stopPhpServer(layout.phpWebPidPath(), kPhpWebPort);
}

} // namespace tavex
