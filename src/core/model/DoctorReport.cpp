#include "DoctorReport.h"

#include "diagnostics/PermissionCheck.h"
#include "platform/PortProbe.h"
#include "platform/Settings.h"
#include "platform/SystemInfo.h"
#include "process/ProcessRunner.h"
#include "services/PhpDiscovery.h"
#include "services/ServiceDiagnosis.h"
#include "services/ServicePorts.h"
#include "stack/RuntimeLayout.h"
#include "update/UpdateRun.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include <unistd.h>

namespace tavex {

namespace {

const QStringList kRuntimeParts = {QStringLiteral("runtime/mysql/bin/mysqld"),
                                   QStringLiteral("runtime/mysql/bin/mysql_install_db"),
                                   QStringLiteral("runtime/mysql/bin/mysqladmin"),
                                   QStringLiteral("runtime/php"),
                                   QStringLiteral("runtime/phpmyadmin"),
                                   QStringLiteral("runtime/phpmyadmin/index.php"),
                                   QStringLiteral("runtime/www")};

// The line a program prints for its version, run with a time limit. Warnings may come first
// (MariaDB's "failed to retrieve the MAC address"): the line that matches versionLine wins,
// else the first that holds a version number, else the first line.
QString versionOf(const QString &program, const QString &argument,
                  const QRegularExpression &versionLine)
{
    if (!QFileInfo(program).isExecutable())
        return QStringLiteral("未找到 ") + program;
    const QString output = runProcessWithTimeout(program, {argument}, 5.0);
    QStringList lines;
    for (const QString &line : output.split(QLatin1Char('\n'))) {
        if (!line.trimmed().isEmpty())
            lines << line.trimmed();
    }
    if (lines.isEmpty())
        return QStringLiteral("（没有输出）");
    static const QRegularExpression number(QStringLiteral("\\d+\\.\\d+"));
    for (const QRegularExpression *pattern : {&versionLine, &number}) {
        for (const QString &line : lines) {
            if (pattern->match(line).hasMatch())
                return line;
        }
    }
    return lines.first();
}

// An ordinary user's PHP may listen on phpMyAdmin's port 900 only with a right of its own: the
// PHP copy that members of the group tavex may run, or a lowered unprivileged port start.
QString port900Problem(bool phpMyAdminRunning)
{
    const int start = unprivilegedPortStart();
    if (::geteuid() == 0 || start <= 900 || phpMyAdminRunning)
        return {};
    const QString user = currentUserName();
    const QString sysctl =
        QStringLiteral("或由管理员执行 sudo sysctl -w net.ipv4.ip_unprivileged_port_start=900"
                       "（之后每个用户都能监听 900 及以上的端口）");
    const auto member = holdsGroup(QStringLiteral("tavex"));
    if (member == std::optional<bool>(true))
        return {};
    const QString why = QStringLiteral("phpMyAdmin 不能监听端口 900: 普通用户只能监听 %1 "
                                       "及以上的端口（net.ipv4.ip_unprivileged_port_start），")
                            .arg(start);
    if (!member)
        return why +
               QStringLiteral("而本机没有 tavex 组（安装 tavex-panel 软件包或运行 "
                              "scripts/setup-debian.sh 会创建它和有此权限的 PHP）；") +
               sysctl;
    return why + QStringLiteral("而用户 ") + user +
           QStringLiteral(" 不在 tavex 组。加入该组: sudo adduser ") + user +
           QStringLiteral(" tavex，然后重新登录；") + sysctl;
}

QString yesNo(bool running)
{
    return running ? QStringLiteral("运行中") : QStringLiteral("已停止");
}

} // namespace

QString exposedPortWarning(quint16 port)
{
    const QStringList addresses = exposedListenAddresses(port);
    if (addresses.isEmpty())
        return {};
    const QString reach = QStringLiteral("，同一网络中的其他人可以打开它；见 SECURITY.md");
    const QString prefix = QStringLiteral("[警告] 端口 ") + QString::number(port);
    for (const QString &any : {QStringLiteral("0.0.0.0"), QStringLiteral("::")}) {
        if (addresses.contains(any))
            return prefix + QStringLiteral(" 在本机所有网络地址上可访问（") + any +
                   QStringLiteral("）") + reach;
    }
    return prefix + QStringLiteral(" 在网络地址 ") + addresses.join(QStringLiteral(", ")) +
           QStringLiteral(" 上可访问") + reach;
}

DoctorReport doctorReport(const PanelRootResolver &resolver, const QUrl &updateAddress)
{
    DoctorReport report;
    QStringList lines{QStringLiteral("=== TAVEX 诊断报告 ===")};
    const auto problem = [&](const QString &line) {
        ++report.problems;
        lines << QStringLiteral("[问题] ") + line;
    };

    lines << QStringLiteral("程序: ") + resolver.location().executablePath() +
                 QStringLiteral("（版本 ") + QCoreApplication::applicationVersion() +
                 QStringLiteral("）");
    const PanelRootResolver::Preview preview = resolver.preview();
    const RuntimeLayout layout(preview.root);
    lines << QStringLiteral("面板目录: ") + preview.root;
    lines << QStringLiteral("目录来源: ") + PanelRootResolver::sourceText(preview);
    lines << QStringLiteral("安装位置: ") + resolver.placementText();
    if (preview.source == PanelRootResolver::Source::Fallback)
        problem(QStringLiteral("没有可用的 Tavex-panel 目录"));

    // An installation still to come is checked against the runtime it will copy.
    const QString checked = preview.installPending
                                ? resolver.location().resourcesDir().value_or(preview.root)
                                : preview.root;
    QStringList missing;
    for (const QString &part : kRuntimeParts) {
        const QFileInfo info(checked + QLatin1Char('/') + part);
        if (!info.exists() && !info.isSymLink())
            missing << part;
    }
    lines << QStringLiteral("运行环境: ") +
                 (isValidPanelRoot(checked) ? QStringLiteral("有效") : QStringLiteral("无效"));
    if (!missing.isEmpty())
        problem(QStringLiteral("运行环境缺少: ") + missing.join(QStringLiteral(", ")));

    const StackState state = probeStack(layout);
    for (int i = 0; i < 3; ++i) {
        const ServiceDiagnosis &service = *state.diagnosis.services()[i];
        lines << QString();
        lines << service.label + QStringLiteral(": ") + yesNo(state.running(i)) +
                     (service.ownRunning ? QStringLiteral("（本目录启动的服务器）") : QString());
        lines << QStringLiteral("  端口: ") + QString::number(service.port) +
                     QStringLiteral("，占用者: ") +
                     (service.ownRunning            ? describeProcess(service.pid, 0)
                      : service.portOwner.isEmpty() ? QStringLiteral("无")
                                                    : service.portOwner);
        if (service.pid)
            lines << QStringLiteral("  PID: ") + QString::number(*service.pid);
        lines << QStringLiteral("  日志: ") +
                     (service.logPath.isEmpty() ? QStringLiteral("（没有）") : service.logPath);
        if (!service.reason.isEmpty())
            problem(service.label + QStringLiteral(": ") + service.reason);
    }

    lines << QString();
    for (const QString &port : {kPhpWebPort, kPhpMyAdminPort}) {
        if (const QString warning = exposedPortWarning(port.toUShort()); !warning.isEmpty())
            lines << warning;
    }
    // Programs still to be installed are looked at where they are shipped.
    const RuntimeLayout programs(checked);
    const QStringList php = phpBinCandidates(programs);
    if (php.isEmpty())
        problem(QStringLiteral("未找到可执行的 PHP（") + programs.phpDir() + QStringLiteral("）"));
    else
        lines << QStringLiteral("PHP 程序: ") + php.join(QStringLiteral(", "));
    static const QRegularExpression mysqldVersion(QStringLiteral("\\bVer\\b"));
    static const QRegularExpression phpVersion(QStringLiteral("^PHP \\d"));
    lines << QStringLiteral("mysqld 版本: ") +
                 versionOf(programs.mysqldPath(), QStringLiteral("--version"), mysqldVersion);
    if (!php.isEmpty())
        lines << QStringLiteral("php 版本: ") +
                     versionOf(php.first(), QStringLiteral("-v"), phpVersion);

    if (preview.installPending) {
        lines << QStringLiteral("权限检查: 运行环境安装后进行");
    } else {
        // What start-all makes itself is no fault of the runtime.
        const PermissionCheck check = checkRuntimePermissions(preview.root, true);
        for (const QString &dir : check.toBeCreated)
            lines << QStringLiteral("[提示] 目录还不存在，全部启动时会创建: ") + dir;
        if (check.hint.isEmpty())
            lines << QStringLiteral("权限检查: 正常");
        else
            problem(check.hint);
    }
    if (const QString line = port900Problem(state.running(2)); !line.isEmpty())
        problem(line);

    lines << QStringLiteral("设置文件: ") + settingsFilePath();
    lines << QStringLiteral("已选择的目录: ") +
                 (readSavedRoot().isEmpty() ? QStringLiteral("（没有）") : readSavedRoot());
    lines << QStringLiteral("更新地址: ") + updateAddress.toString();
    const QString interrupted = interruptedUpdateNote(RuntimeLayout(preview.root));
    for (const QString &line : interrupted.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        problem(line);
    lines << QString();
    lines << (report.problems == 0 ? QStringLiteral("结论: 没有发现问题")
                                   : QStringLiteral("结论: 发现 %1 个问题").arg(report.problems));
    report.text = lines.join(QLatin1Char('\n'));
    return report;
}

} // namespace tavex
