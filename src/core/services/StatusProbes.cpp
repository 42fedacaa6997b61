#include "StatusProbes.h"

#include "ServicePorts.h"
#include "platform/PortProbe.h"
#include "platform/Processes.h"
#include "process/FileHelpers.h"
#include "process/ProcessRunner.h"
#include "services/MysqlService.h"

#include <QDir>
#include <QDirIterator>

namespace tavex {

std::optional<qint32> parsePid(const QString &text)
{
    const QString trimmed = text.trimmed();
    qsizetype i = 0;
    bool negative = false;
    if (i < trimmed.size() && (trimmed[i] == QLatin1Char('+') || trimmed[i] == QLatin1Char('-'))) {
        negative = trimmed[i] == QLatin1Char('-');
        ++i;
    }
    if (i == trimmed.size())
        return std::nullopt;
    qint64 value = 0;
    for (; i < trimmed.size(); ++i) {
        const QChar c = trimmed[i];
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
        value = value * 10 + (c.unicode() - '0');
        if (value > qint64(std::numeric_limits<qint32>::max()) + 1)
            return std::nullopt;
    }
    if (negative)
        value = -value;
    if (value > std::numeric_limits<qint32>::max() || value < std::numeric_limits<qint32>::min())
        return std::nullopt;
    return static_cast<qint32>(value);
}

std::optional<qint32> mysqlPidFromPort3306()
{
    return listeningProcessId(kMysqlPort);
}

bool isMariaDBRunning(const RuntimeLayout &layout)
{
    return isMariaDBRunning(layout, mysqlPidFromPort3306());
}

bool isMariaDBRunning(const RuntimeLayout &layout, std::optional<qint32> portOwner)
{
    if (portOwner && *portOwner >= 1)
        return processLives(*portOwner);
    return isRunning({QStringLiteral("/usr/bin/pgrep"), QStringLiteral("-f"),
                      escapeExtendedRegex(layout.mysqldPath())});
}

bool isOwnPhpServer(qint64 pid, const QString &port)
{
    if (!processLives(pid))
        return false;
    const QStringList arguments = processArguments(pid);
    const QString address = QStringLiteral("0.0.0.0:") + port;
    for (qsizetype i = 0; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("-S") && arguments[i + 1] == address)
            return true;
    }
    return false;
}

bool isPhpServerRunning(const QString &pidPath, const QString &port)
{
    const auto text = readTextFile(pidPath);
    if (!text)
        return false;
    const auto pid = parsePid(*text);
    return pid && *pid > 0 && isOwnPhpServer(*pid, port);
}

namespace {

bool servesDocumentRoot(qint64 pid, const QString &port, const QString &documentRoot)
{
    if (!isOwnPhpServer(pid, port))
        return false;
    const QStringList arguments = processArguments(pid);
    for (qsizetype i = 0; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("-t") && arguments[i + 1] == documentRoot)
            return true;
    }
    return false;
}

bool isRootsPhpServerRunning(const QString &pidPath, const QString &port,
                             const QString &documentRoot)
{
    if (isPhpServerRunning(pidPath, port))
        return true;
    return rootsPhpServerOnPort(portListener(port.toUShort()), port, documentRoot).has_value();
}

} // namespace

std::optional<qint32> rootsPhpServerOnPort(const std::optional<PortListener> &listener,
                                           const QString &port, const QString &documentRoot)
{
    if (!listener)
        return std::nullopt;
    if (listener->pid) {
        if (servesDocumentRoot(*listener->pid, port, documentRoot))
            return listener->pid;
        return std::nullopt;
    }
    QDirIterator it(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        bool numeric = false;
        const qint64 pid = it.nextFileInfo().fileName().toLongLong(&numeric);
        if (numeric && processOwner(pid) == listener->uid &&
            servesDocumentRoot(pid, port, documentRoot))
            return static_cast<qint32>(pid);
    }
    return std::nullopt;
}

bool isPhpWebRunning(const RuntimeLayout &layout)
{
    return isRootsPhpServerRunning(layout.phpWebPidPath(), kPhpWebPort, layout.wwwDir());
}

bool isPhpMyAdminRunning(const RuntimeLayout &layout)
{
    return isRootsPhpServerRunning(layout.phpMyAdminPidPath(), kPhpMyAdminPort,
                                   layout.phpMyAdminDir());
}

QString statusBlock(const ServiceStatus &status, const QString &root)
{
    const auto state = [](bool running) {
        return running ? QStringLiteral("运行中") : QStringLiteral("已停止");
    };
    return QStringLiteral("=== 服务状态 ===\nMySQL: ") + state(status.mysqlRunning) +
           QStringLiteral("\nPHP Web: ") + state(status.phpWebRunning) +
           QStringLiteral("\nMySQL Web: ") + state(status.phpMyAdminRunning) +
           QStringLiteral("\n目录: ") + root + QStringLiteral("\n");
}

} // namespace tavex
