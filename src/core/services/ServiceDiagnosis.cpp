#include "ServiceDiagnosis.h"

#include "MysqlService.h"
#include "ServicePorts.h"
#include "StatusProbes.h"
#include "StopWait.h"
#include "platform/PortProbe.h"
#include "platform/Processes.h"
#include "process/FileHelpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavex {

namespace {

constexpr qint64 kLogTailBytes = 64 * 1024;

QString programName(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(comm.readAll()).trimmed();
}

// The last lines of a log from fromOffset on, newest first; the file is not followed through a
// link.
QStringList tailLinesNewestFirst(const QString &path, qint64 fromOffset)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    QFile file;
    struct stat st
    {
    };
    QStringList lines;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        file.seek(std::max<qint64>({0, fromOffset, st.st_size - kLogTailBytes}));
        lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
        std::reverse(lines.begin(), lines.end());
    } else {
        ::close(fd);
    }
    return lines;
}

QString portTakenReason(quint16 port, const QString &owner)
{
    return QStringLiteral("端口 %1 已被 %2占用").arg(port).arg(owner);
}

QString joinReasons(const QStringList &parts)
{
    QStringList kept;
    for (const QString &part : parts) {
        if (!part.isEmpty())
            kept << part;
    }
    return kept.join(QStringLiteral("；"));
}

bool isStillStarting(qint64 pid, int graceMs)
{
    const std::optional<qint64> age = processAgeMs(pid);
    return age && *age < graceMs;
}

std::optional<qint32> recordedPid(const QString &pidPath)
{
    if (const auto text = readTextFile(pidPath)) {
        if (const auto pid = parsePid(*text); pid && *pid > 0)
            return pid;
    }
    return std::nullopt;
}

ServiceDiagnosis diagnosePhp(const QString &label, const QString &port, const QString &logPath,
                             std::optional<qint32> recorded, std::optional<qint32> onPort,
                             const std::optional<PortListener> &listener)
{
    ServiceDiagnosis d;
    d.label = label;
    d.port = port.toUShort();
    d.logPath = logPath;
    const bool ownAlive = recorded && isOwnPhpServer(*recorded, port);
    if (ownAlive && listensAs(*recorded, listener)) {
        d.ownRunning = true;
        d.pid = recorded;
        return d;
    }
    if (onPort && !ownAlive) {
        d.ownRunning = true;
        d.pid = onPort;
        return d;
    }

    QString portReason;
    if (listener) {
        d.portOwner = describeProcess(listener->pid, listener->uid);
        portReason = portTakenReason(d.port, d.portOwner);
    } else if (ownAlive) {
        d.pid = recorded;
        if (!isStillStarting(*recorded, kPhpServerStartGraceMs))
            portReason = QStringLiteral("PHP 服务器（PID %1）在运行，但没有监听端口 %2")
                             .arg(*recorded)
                             .arg(d.port);
    }
    // A server that died says why in its log; that says more than its ended process. Only while
    // its PID file remains: a stop removes the file, and what the log says of that run is over.
    const QString logReason =
        recorded && !ownAlive && !listener
            ? lastPhpLogComplaint(logPath, logStartOffset(phpLogStartMarkPath(logPath), logPath))
            : QString();
    QString pidReason;
    if (recorded && !ownAlive) {
        if (processLives(*recorded))
            pidReason = QStringLiteral("PID 文件记录的进程 %1（%2）不是 %3 的 PHP 服务器")
                            .arg(*recorded)
                            .arg(programName(*recorded), label);
        else if (!listener && logReason.isEmpty())
            pidReason = QStringLiteral("PID 文件记录的进程 %1 已经结束").arg(*recorded);
    }
    d.reason = joinReasons({portReason, pidReason, logReason});
    d.lasting = listener.has_value() || !logReason.isEmpty();
    return d;
}

// Whether the process is this root's database server: its command line names the program and,
// after it, the root's database folder (what the database kill pattern matches).
bool isRootsDatabaseServer(qint64 pid, const RuntimeLayout &layout)
{
    const QString commandLine = processArguments(pid).join(QLatin1Char(' '));
    const qsizetype program = commandLine.indexOf(QLatin1String("mysqld"));
    return program >= 0 && commandLine.indexOf(layout.mysqlDir(), program + 6) >= 0;
}

ServiceDiagnosis diagnoseMysql(const RuntimeLayout &layout, const ServiceStatus &status,
                               const std::optional<PortListener> &listener)
{
    ServiceDiagnosis d;
    d.label = QStringLiteral("MySQL");
    d.port = kMysqlPort;
    d.logPath = databaseErrorLogPath(layout);
    if (listener) {
        if (listener->pid && isRootsDatabaseServer(*listener->pid, layout)) {
            d.ownRunning = true;
            d.pid = listener->pid;
            return d;
        }
        // Another user's server hides its descriptors: this root's server of that user is taken
        // for the listener, as the status takes it.
        if (!listener->pid) {
            for (const qint64 server : processesMatching(mysqlKillPattern(layout.root()))) {
                if (processOwner(server) == listener->uid && processLives(server)) {
                    d.ownRunning = true;
                    d.pid = static_cast<qint32>(server);
                    return d;
                }
            }
        }
        d.portOwner = describeProcess(listener->pid, listener->uid);
        d.reason = portTakenReason(kMysqlPort, d.portOwner) +
                   (listener->pid ? QStringLiteral("，不是本目录的 MySQL")
                                  : QStringLiteral("，无法确认它是不是本目录的 MySQL"));
        d.lasting = true;
        return d;
    }
    if (status.mysqlRunning) {
        // The probe found this root's server by its command line, but nothing listens.
        const QList<qint64> servers = processesMatching(mysqlKillPattern(layout.root()));
        // A server that has just been launched opens its port only once its storage is ready.
        if (std::any_of(servers.cbegin(), servers.cend(),
                        [](qint64 pid) { return isStillStarting(pid, kDatabaseStartGraceMs); }))
            return d;
        if (!servers.isEmpty())
            d.pid = static_cast<qint32>(servers.first());
        d.reason = QStringLiteral("本目录的 MySQL 在运行%1，但没有监听端口 3306")
                       .arg(d.pid ? QStringLiteral("（PID %1）").arg(*d.pid) : QString());
        return d;
    }
    d.reason = lastDatabaseLogComplaint(
        d.logPath, logStartOffset(databaseLogStartMarkPath(layout), d.logPath));
    // On a full disk the server cannot even write its log: the data folder's disk says why.
    if (const QString full = diskFullText(layout.mysqlDataDir()); !full.isEmpty())
        d.reason = full + QStringLiteral("，数据目录: ") + layout.mysqlDataDir();
    d.lasting = !d.reason.isEmpty();
    return d;
}

} // namespace

bool listensAs(qint32 pid, const std::optional<PortListener> &listener)
{
    // A server that may bind low ports runs with a capability, which hides its descriptors even
    // from its own user: a listener of that user whose process cannot be seen is taken for it.
    return listener &&
           (listener->pid == pid || (!listener->pid && processOwner(pid) == listener->uid));
}

bool answersAsStarted(const ServiceDiagnosis &service)
{
    if (!service.ownRunning)
        return false;
    return service.port == kMysqlPort ? portGreets(service.port) : portAccepts(service.port);
}

QString serviceProblemLine(const ServiceDiagnosis &service, bool running)
{
    QString why = service.reason;
    // After a stop, a server that still answers simply still runs.
    if (why.isEmpty() && running && service.ownRunning)
        why = answersAsStarted(service)
                  ? QStringLiteral("仍在运行（PID %1）").arg(service.pid.value_or(0))
                  : QStringLiteral("在运行（PID %1），但没有在端口 %2 上应答")
                        .arg(service.pid.value_or(0))
                        .arg(service.port);
    if (why.isEmpty())
        why = running ? QStringLiteral("仍在运行") : QStringLiteral("没有运行");
    return service.label + QStringLiteral(": ") + why;
}

QString describeProcess(std::optional<qint32> pid, uint uid)
{
    // A process of the panel's own user hides its descriptors when it holds a capability (a PHP
    // copy that may bind port 900).
    if (!pid && uid == ::geteuid())
        return QStringLiteral("当前用户 %1 自己的一个进程（无法读取它的程序名和 PID）")
            .arg(userName(uid));
    if (!pid)
        return QStringLiteral("用户 %1 的一个进程（无法读取它的程序名和 PID）").arg(userName(uid));
    const QString program = programName(*pid);
    return QStringLiteral("%1（PID %2，用户 %3）")
        .arg(program.isEmpty() ? QStringLiteral("?") : program)
        .arg(*pid)
        .arg(userName(processOwner(*pid).value_or(uid)));
}

QString lastPhpLogComplaint(const QString &logPath, qint64 fromOffset)
{
    // PHP's built-in server starts its lines with "[<date>] "; requests and connections are not
    // complaints, and a line saying the server started ends the search: that start went well.
    // Lines about one connection begin with the client's address and port.
    static const QRegularExpression stamp(QStringLiteral("^\\[[^\\]]*\\]\\s*"));
    static const QRegularExpression traffic(
        QStringLiteral("^(\\[[0-9a-fA-F:.]+\\]|[0-9.]+):\\d+ "));
    for (const QString &raw : tailLinesNewestFirst(logPath, fromOffset)) {
        const QString line = QString(raw.trimmed()).remove(stamp);
        if (line.isEmpty() || traffic.match(line).hasMatch())
            continue;
        if (line.contains(QLatin1String("Development Server")) &&
            line.contains(QLatin1String("started")))
            return {};
        return line;
    }
    return {};
}

QString lastDatabaseLogComplaint(const QString &logPath, qint64 fromOffset)
{
    for (const QString &line : tailLinesNewestFirst(logPath, fromOffset)) {
        // A failed start ends with "[ERROR] Aborting"; the line before it says why.
        const qsizetype error = line.indexOf(QLatin1String("[ERROR] "));
        if (error >= 0 && line.mid(error + 8).trimmed() != QLatin1String("Aborting"))
            return line.mid(error + 8).trimmed();
        if (line.contains(QLatin1String("ready for connections")) ||
            line.contains(QLatin1String("Starting MariaDB")))
            return {};
    }
    return {};
}

QString databaseErrorLogPath(const RuntimeLayout &layout)
{
    const QFileInfoList logs =
        QDir(layout.mysqlDataDir())
            .entryInfoList({QStringLiteral("*.err")}, QDir::Files | QDir::NoSymLinks, QDir::Time);
    return logs.isEmpty() ? QString() : logs.first().filePath();
}

namespace {

// The log's identity: a file put in its place is another log.
struct LogIdentity
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
};

std::optional<LogIdentity> identityOf(const QString &path)
{
    struct stat st
    {
    };
    if (path.isEmpty() || ::lstat(QFile::encodeName(path).constData(), &st) != 0 ||
        !S_ISREG(st.st_mode))
        return std::nullopt;
    return LogIdentity{static_cast<quint64>(st.st_dev), static_cast<quint64>(st.st_ino),
                       static_cast<qint64>(st.st_size)};
}

} // namespace

QString phpLogStartMarkPath(const QString &logPath)
{
    return logPath + QStringLiteral(".start");
}

QString databaseLogStartMarkPath(const RuntimeLayout &layout)
{
    return layout.cfgDir() + QStringLiteral("/mysql-error-log.start");
}

void noteLogStart(const QString &markPath, const QString &logPath)
{
    // "<device> <inode> <size>"; a log that does not exist yet is noted as none, so that the
    // file the start creates is read whole. Written by replacement, never through a link.
    const auto log = identityOf(logPath);
    tryWrite(markPath,
             log ? QStringLiteral("%1 %2 %3").arg(log->device).arg(log->inode).arg(log->size)
                 : QStringLiteral("none"));
}

qint64 logStartOffset(const QString &markPath, const QString &logPath)
{
    const auto log = identityOf(logPath);
    const auto text = readTextFile(markPath);
    if (!log || !text)
        return 0;
    const QStringList fields = text->trimmed().split(QLatin1Char(' '));
    if (fields.size() != 3 || fields[0].toULongLong() != log->device ||
        fields[1].toULongLong() != log->inode)
        return 0;
    const qint64 offset = fields[2].toLongLong();
    return offset <= log->size ? offset : 0;
}

StackSnapshot takeStackSnapshot(const RuntimeLayout &layout)
{
    StackSnapshot snapshot;
    snapshot.webPid = recordedPid(layout.phpWebPidPath());
    snapshot.phpMyAdminPid = recordedPid(layout.phpMyAdminPidPath());
    const auto listeners =
        portListeners({{kMysqlPort, 0},
                       {kPhpWebPort.toUShort(), snapshot.webPid.value_or(0)},
                       {kPhpMyAdminPort.toUShort(), snapshot.phpMyAdminPid.value_or(0)}});
    snapshot.mysql = listeners[0];
    snapshot.web = listeners[1];
    snapshot.phpMyAdmin = listeners[2];
    const auto onPort = [](std::optional<qint32> recorded, const QString &port,
                           const QString &documentRoot,
                           const std::optional<PortListener> &listener) {
        return recorded && isOwnPhpServer(*recorded, port)
                   ? std::nullopt
                   : rootsPhpServerOnPort(listener, port, documentRoot);
    };
    snapshot.webOnPort = onPort(snapshot.webPid, kPhpWebPort, layout.wwwDir(), snapshot.web);
    snapshot.phpMyAdminOnPort = onPort(snapshot.phpMyAdminPid, kPhpMyAdminPort,
                                       layout.phpMyAdminDir(), snapshot.phpMyAdmin);
    return snapshot;
}

ServiceStatus statusFrom(const RuntimeLayout &layout, const StackSnapshot &snapshot)
{
    const auto ownPhp = [](std::optional<qint32> pid, const QString &port,
                           std::optional<qint32> onPort) {
        return (pid && isOwnPhpServer(*pid, port)) || onPort.has_value();
    };
    return {isMariaDBRunning(layout, snapshot.mysql ? snapshot.mysql->pid : std::nullopt),
            ownPhp(snapshot.webPid, kPhpWebPort, snapshot.webOnPort),
            ownPhp(snapshot.phpMyAdminPid, kPhpMyAdminPort, snapshot.phpMyAdminOnPort)};
}

StackDiagnosis diagnoseStack(const RuntimeLayout &layout, const ServiceStatus &status,
                             const StackSnapshot &snapshot)
{
    return {diagnoseMysql(layout, status, snapshot.mysql),
            diagnosePhp(QStringLiteral("PHP Web"), kPhpWebPort, layout.phpWebLogPath(),
                        snapshot.webPid, snapshot.webOnPort, snapshot.web),
            diagnosePhp(QStringLiteral("phpMyAdmin"), kPhpMyAdminPort, layout.phpMyAdminLogPath(),
                        snapshot.phpMyAdminPid, snapshot.phpMyAdminOnPort, snapshot.phpMyAdmin)};
}

StackDiagnosis diagnoseStack(const RuntimeLayout &layout, const ServiceStatus &status)
{
    return diagnoseStack(layout, status, takeStackSnapshot(layout));
}

StackState probeStack(const RuntimeLayout &layout)
{
    const StackSnapshot snapshot = takeStackSnapshot(layout);
    const ServiceStatus status = statusFrom(layout, snapshot);
    return {status, diagnoseStack(layout, status, snapshot)};
}

} // namespace tavex
