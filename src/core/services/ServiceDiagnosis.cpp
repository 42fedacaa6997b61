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

QString userName(uint uid)
{
    struct passwd entry
    {
    };
    struct passwd *found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_name);
    return QString::number(uid);
}

std::optional<uint> processOwner(qint64 pid)
{
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(QStringLiteral("/proc/%1").arg(pid)).constData(), &st) != 0)
        return std::nullopt;
    return st.st_uid;
}

QString programName(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(comm.readAll()).trimmed();
}

// The last lines of a log, newest first; the file is not followed through a link.
QStringList tailLinesNewestFirst(const QString &path)
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
        file.seek(std::max<qint64>(0, st.st_size - kLogTailBytes));
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
                             std::optional<qint32> recorded,
                             const std::optional<PortListener> &listener)
{
    ServiceDiagnosis d;
    d.label = label;
    d.port = port.toUShort();
    d.logPath = logPath;
    const bool ownAlive = recorded && isOwnPhpServer(*recorded, port) && processIsAlive(*recorded);
    if (ownAlive && listensAs(*recorded, listener)) {
        d.ownRunning = true;
        d.pid = recorded;
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
        recorded && !ownAlive && !listener ? lastPhpLogComplaint(logPath) : QString();
    QString pidReason;
    if (recorded && !ownAlive) {
        if (processIsAlive(*recorded))
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
        d.portOwner = describeProcess(listener->pid, listener->uid);
        d.reason =
            portTakenReason(kMysqlPort, d.portOwner) + QStringLiteral("，不是本目录的 MySQL");
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
    d.reason = lastDatabaseLogComplaint(d.logPath);
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
    if (why.isEmpty() && running && service.ownRunning)
        why = QStringLiteral("在运行（PID %1），但没有在端口 %2 上应答")
                  .arg(service.pid.value_or(0))
                  .arg(service.port);
    if (why.isEmpty())
        why = running ? QStringLiteral("仍在运行") : QStringLiteral("没有运行");
    return service.label + QStringLiteral(": ") + why;
}

QString describeProcess(std::optional<qint32> pid, uint uid)
{
    if (!pid)
        return QStringLiteral("用户 %1 的一个进程（无法读取它的程序名和 PID）").arg(userName(uid));
    const QString program = programName(*pid);
    return QStringLiteral("%1（PID %2，用户 %3）")
        .arg(program.isEmpty() ? QStringLiteral("?") : program)
        .arg(*pid)
        .arg(userName(processOwner(*pid).value_or(uid)));
}

QString lastPhpLogComplaint(const QString &logPath)
{
    // PHP's built-in server starts its lines with "[<date>] "; requests and connections are not
    // complaints, and a line saying the server started ends the search: that start went well.
    // Lines about one connection begin with the client's address and port.
    static const QRegularExpression stamp(QStringLiteral("^\\[[^\\]]*\\]\\s*"));
    static const QRegularExpression traffic(
        QStringLiteral("^(\\[[0-9a-fA-F:.]+\\]|[0-9.]+):\\d+ "));
    for (const QString &raw : tailLinesNewestFirst(logPath)) {
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

QString lastDatabaseLogComplaint(const QString &logPath)
{
    for (const QString &line : tailLinesNewestFirst(logPath)) {
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
    return snapshot;
}

ServiceStatus statusFrom(const RuntimeLayout &layout, const StackSnapshot &snapshot)
{
    const auto ownPhp = [](std::optional<qint32> pid, const QString &port) {
        return pid && isOwnPhpServer(*pid, port);
    };
    return {isMariaDBRunning(layout, snapshot.mysql ? snapshot.mysql->pid : std::nullopt),
            ownPhp(snapshot.webPid, kPhpWebPort), ownPhp(snapshot.phpMyAdminPid, kPhpMyAdminPort)};
}

StackDiagnosis diagnoseStack(const RuntimeLayout &layout, const ServiceStatus &status,
                             const StackSnapshot &snapshot)
{
    return {diagnoseMysql(layout, status, snapshot.mysql),
            diagnosePhp(QStringLiteral("PHP Web"), kPhpWebPort, layout.phpWebLogPath(),
                        snapshot.webPid, snapshot.web),
            diagnosePhp(QStringLiteral("phpMyAdmin"), kPhpMyAdminPort, layout.phpMyAdminLogPath(),
                        snapshot.phpMyAdminPid, snapshot.phpMyAdmin)};
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
