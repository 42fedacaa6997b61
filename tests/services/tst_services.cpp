// The service operations: generated files, PHP servers, PID files, the database's programs.
#include "TestSupport.h"
#include "model/PanelViewModel.h"
#include "platform/PortProbe.h"
#include "platform/PortProbeParsing.h"
#include "platform/Processes.h"
#include "platform/SystemInfo.h"
#include "process/ProcessRunner.h"
#include "services/MysqlService.h"
#include "services/PhpDiscovery.h"
#include "services/PhpMyAdminService.h"
#include "services/PhpServerLauncher.h"
#include "services/SequenceLock.h"
#include "services/ServiceDiagnosis.h"
#include "services/StackSequences.h"
#include "services/StatusProbes.h"
#include "services/StopWait.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <clocale>
#include <cstring>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tavex;
using namespace tavex::test;
using namespace Qt::StringLiterals;

class TestServices : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_rootCount = 0;

    StackRoot newRoot(const QString &name = u"根 目录"_s)
    {
        return StackRoot(m_dir.filePath(name + QString::number(++m_rootCount)));
    }

private Q_SLOTS:
    // The database server reads back each folder whole, whatever the root holds ("#" begins a
    // comment, a backslash an escape).
    void optionFile()
    {
        const QString path = m_dir.filePath("read-back.cnf");
        for (const QString &root : {u"/a#b"_s, u"/a\\n\"'b"_s}) {
            writeFile(path, mysqlOptionFileText(root).toUtf8());
            const QString read =
                runProcess("/usr/bin/my_print_defaults", {"--defaults-file=" + path, "mysqld"});
            QVERIFY2(read.startsWith("--basedir=" + root + "/runtime/mysql/\n--datadir=" + root +
                                     "/runtime/mysql/data/\n"),
                     qPrintable(read));
        }
    }

    // Without PHP phpMyAdmin's configuration is still written when missing; a user's own is kept.
    void phpDiscovery()
    {
        const StackRoot root = newRoot();
        const QString config = root.layout.phpMyAdminConfigPath();
        startPhpMyAdmin(root.layout, {});
        QCOMPARE(readFile(config), phpMyAdminConfigText().toUtf8());
        writeFile(config, "<?php // mine\n");
        startPhpMyAdmin(root.layout, {});
        QCOMPARE(readFile(config), QByteArray("<?php // mine\n"));
        const QString php = root.layout.phpDir();
        for (const char *version : {"PHP7.3", "PHP9.0", "PHP8.2"}) // 9.0 is not a known one
            root.installPhp(version);
        writeFile(php + "/PHP8.5/bin/php", "#!/bin/sh\n"); // not executable
        QCOMPARE(phpBinCandidates(root.layout),
                 (QStringList{php + "/PHP8.2/bin/php", php + "/PHP7.3/bin/php"}));
    }

    void launchingAndStoppingAServer()
    {
        const StackRoot root = newRoot();
        const RuntimeLayout &layout = root.layout;
        const QString port = u"18731"_s;
        PhpServerSpec server = phpWebServer(layout);
        server.port = port;
        root.installPhp();
        QCOMPARE(launchPhpServer(layout, server, {}), QString());
        // The number alone: a trailing line feed is not part of the PID file.
        const QByteArray pidText = readFile(server.pidPath);
        const qint64 pid = pidText.toLongLong();
        QVERIFY(pid > 0 && QByteArray::number(pid) == pidText);
        const auto stopAnyway = qScopeGuard([pid] { terminateProcess(pid); });
        QTRY_VERIFY(listeningProcessId(port.toUShort()) == pid);
        QVERIFY(isPhpServerRunning(server.pidPath, port));
        QVERIFY(!isPhpServerRunning(server.pidPath, "8000")); // another service's port

        // This root's server is found through its port too, whatever the PID file says, also by
        // a second user who may not read that file; a server of another document root is not.
        const auto onPort = [&](const QString &documentRoot) {
            const auto listener = portListener(port.toUShort());
            return QString::number(rootsPhpServerOnPort(listener, port, documentRoot).value_or(0));
        };
        QCOMPARE(onPort(layout.wwwDir()), QString::number(pid));
        QCOMPARE(onPort(layout.phpMyAdminDir()), u"0"_s);
        if (::geteuid() == 0) {
            QVERIFY(QFile::setPermissions(m_dir.path(), QFileDevice::Permissions(0x7755)));
            QVERIFY(QFile::setPermissions(server.pidPath, QFileDevice::ReadOwner));
            QCOMPARE(runUnprivileged([&] { return onPort(layout.wwwDir()); }),
                     QString::number(pid));
        }
        QCOMPARE(stopPhpServer(server.pidPath, port), QString());
        QVERIFY(waitUntilGone(pid));
        QVERIFY(!QFileInfo::exists(server.pidPath));
        QVERIFY(!isPhpServerRunning(server.pidPath, port));
    }

    // Programs that are not the panel's survive: one named by a PID file, one whose command line
    // a root full of the characters of a regular expression would match if read as a pattern.
    void pidFilesAndKillPatternSpareOthers()
    {
        const QString own = m_dir.filePath("a+b (c) [d].e");
        QList<QProcess *> servers;
        for (const QString &root : {own, m_dir.filePath("aab c dXe")}) {
            const RuntimeLayout layout(root);
            QDir().mkpath(QFileInfo(layout.mysqldPath()).absolutePath());
            QVERIFY(QFile::copy(childHelper(), layout.mysqldPath()));
            servers << new QProcess(this);
            servers.last()->start(layout.mysqldPath(),
                                  {"hang", "--defaults-file=" + layout.mysqlCnfPath()});
            QVERIFY(servers.last()->waitForStarted());
        }
        const auto endOther =
            qScopeGuard([&] { servers[1]->kill(), servers[1]->waitForFinished(); });
        // With no listener on 3306 the command-line probe decides, for the right root only.
        if (!mysqlPidFromPort3306())
            QVERIFY(isMariaDBRunning(RuntimeLayout(own)) &&
                    !isMariaDBRunning(RuntimeLayout(m_dir.filePath("a+b"))));
        QCOMPARE(killByPattern(mysqlKillPattern(own)), QString());
        QVERIFY(servers[0]->waitForFinished(5000));
        QCOMPARE(killByPattern("no-such-process-pattern-1234"), QString());

        // A PID file naming an unrelated program: stopped, never signalled, file removed.
        const RuntimeLayout layout = newRoot().layout;
        QDir().mkpath(layout.cfgDir());
        const QString pidPath = layout.phpWebPidPath();
        writeFile(pidPath, " \n" + QByteArray::number(servers[1]->processId()) + "\n");
        QVERIFY(!isPhpWebRunning(layout));
        QCOMPARE(stopPhpWeb(layout), QString());
        QVERIFY(!QFileInfo::exists(pidPath));
        QVERIFY(!servers[1]->waitForFinished(200));
    }

    void databaseOperationsPassExactArguments()
    {
        const RuntimeLayout layout = newRoot("db root").layout;
        const QString record = m_dir.filePath(QString("args-%1.txt").arg(m_rootCount));
        const QByteArray recorder =
            "for a in \"$@\"; do printf '%s\\n' \"$a\" >> '" + record.toUtf8() + "'; done\n";
        writeScript(layout.mysqlInstallDbPath(), recorder + "echo 'Installing MariaDB'\n");
        writeScript(layout.mysqldPath(), recorder);
        const QString cnf = layout.mysqlCnfPath();

        QCOMPARE(ensureMysqlInitialized(layout, cnf), QString("Installing MariaDB\n"));
        QCOMPARE(QString::fromUtf8(readFile(record)),
                 "--defaults-file=" + cnf + "\n--initialize-insecure\n");
        // An existing, even empty, system database folder: nothing runs.
        QFile::remove(record);
        QDir().mkpath(layout.mysqlSystemDbDir());
        QCOMPARE(ensureMysqlInitialized(layout, cnf), QString());
        QVERIFY(!QFileInfo::exists(record));

        QCOMPARE(startMysql(layout, cnf), QString());
        QTRY_COMPARE(QString::fromUtf8(readFile(record)),
                     "--defaults-file=" + cnf + "\n--daemonize\n");
        // A shutdown tool that never returns is ended.
        writeScript(layout.mysqladminPath(), "exec sleep 600\n");
        QCOMPARE(
            stopMysql(layout, 1000),
            QString("MySQL: mysqladmin 超过 1 秒未结束，关闭失败，已强制结束，改为按进程结束"));
        QVERIFY(processesMatching("^sleep 600$").isEmpty());
    }

    // Links and odd files at the panel's own paths, and option files that are not what was
    // written: nothing outside the root changes, the database does not run, the result says why.
    void startAllRefusesLinksAndBadOptionFiles_data()
    {
        QTest::addColumn<QString>("plant");        // which path gets what
        QTest::addColumn<QStringList>("expected"); // lines of the result block; %1 is the root
        const QString cnf = "%1/runtime/mysql/my_runtime.cnf";
        const QString link = ": 目标是符号链接，已拒绝写入";
        const auto row = [](const char *name, const char *plant, const QStringList &lines) {
            QTest::newRow(name) << QString(plant) << lines;
        };
        row("option file is a link", "cnf-link",
            {"MySQL: " + cnf + link, "MySQL: 选项文件无法使用，未启动 MySQL: " + cnf});
        row("option folder is a link", "mysql-link", {"MySQL: %1/runtime/mysql" + link});
        row("root with a line break", "newline",
            {"MySQL: 目录路径含有换行或控制字符，无法写入选项文件: %1"});
        row("site's PID file is a link", "pid-link",
            {"PHP Web: %1/runtime/config/php-web.pid" + link});
        row("site's log is a FIFO", "log-fifo",
            {"PHP Web: %1/runtime/config/php-web.log: 不是普通文件，已拒绝写入"});
        row("phpMyAdmin's configuration is a dangling link", "pma-link", {});
    }

    void startAllRefusesLinksAndBadOptionFiles()
    {
        QFETCH(QString, plant);
        QFETCH(QStringList, expected);
        const bool databaseRuns = !expected.value(0).startsWith("MySQL"); // no step refused
        const QString name = QString::number(++m_rootCount);
        const QString victim = m_dir.filePath("victim-" + name);
        writeFile(victim, "not the panel's");
        const StackRoot stack(
            m_dir.filePath((plant == "newline" ? "app\n[mysqld]\nuser=x " : "app ") + name));
        const RuntimeLayout &layout = stack.layout;
        stack.makeFolders(false);
        const QString record = m_dir.filePath("record-" + name);
        stack.installDatabase(record);
        // Debian's PHP, noting each server it starts in the same record.
        stack.installPhp("PHP8.2",
                         "[ \"$1\" = -S ] && echo \"php $2\" >> '" + record.toUtf8() + "'\n");
        if (plant == "cnf-link" || plant == "pid-link")
            QFile::link(victim,
                        plant == "pid-link" ? layout.phpWebPidPath() : layout.mysqlCnfPath());
        if (plant == "mysql-link") {
            const QString moved = m_dir.filePath("elsewhere-" + name);
            QVERIFY(QDir().rename(layout.mysqlDir(), moved) &&
                    QFile::link(moved, layout.mysqlDir()));
            QDir().mkpath(moved + "/data/mysql");
        }
        if (plant == "log-fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(layout.phpWebLogPath()).constData(), 0600), 0);
        if (plant == "pma-link")
            QFile::link(victim + ".absent", layout.phpMyAdminConfigPath());

        qputenv("XDG_CONFIG_HOME", m_dir.filePath("config").toUtf8());
        PanelViewModel vm(stack.resolver(), nullptr);
        QSignalSpy finished(&vm, &PanelViewModel::sequenceFinished);
        vm.startAll();
        QVERIFY(finished.wait(60000));
        const auto stop = qScopeGuard([] { killByPattern(kPhpServerKillPattern); });
        // Every refused step is a failure of the sequence.
        QVERIFY2(finished.first().first().toBool() == expected.isEmpty(), qPrintable(vm.logs()));

        for (const QString &line : expected) {
            const QString want = '\n' + line.arg(printablePath(stack.root)) + '\n';
            QVERIFY2(vm.logs().contains(want), qPrintable(vm.logs() + "--- lacks ---" + want));
        }
        QCOMPARE(readFile(victim), QByteArray("not the panel's"));
        QVERIFY(!QFileInfo::exists(victim + ".absent"));
        // The steps in their order. A site log that is no file of its own stops the site's server
        // before it starts; one whose PID file cannot be written is ended at once, and may not
        // get to note itself.
        QStringList steps =
            databaseRuns ? QStringList{"init begins", "init ends", "server"} : QStringList();
        const QString site = "php 0.0.0.0:8000";
        if (plant != "log-fifo" && plant != "pid-link")
            steps << site;
        steps << "php 0.0.0.0:900";
        const auto recorded = [&] {
            QStringList lines = QString::fromUtf8(readFile(record)).split('\n', Qt::SkipEmptyParts);
            lines.removeAll(plant == "pid-link" ? site : QString());
            return lines;
        };
        QTRY_COMPARE(recorded(), steps);
        if (plant == "newline")
            QVERIFY(!QFileInfo::exists(layout.mysqlCnfPath()));
    }

    // Two start-alls pressed at once run one after the other; the second says that it waits.
    void sequencesRunOneAtATime()
    {
        const StackRoot stack = newRoot("seq");
        const QString record = m_dir.filePath("record-seq");
        stack.installDatabase(record);
        qputenv("XDG_CONFIG_HOME", m_dir.filePath("config").toUtf8());
        PanelViewModel vm(stack.resolver(), nullptr);
        QStringList firstBlocks;
        connect(&vm, &PanelViewModel::logsChanged, &vm, [&] {
            if (vm.logs().startsWith("=== 启动中 ===\n正在准备目录和服务..."))
                firstBlocks << vm.logs();
        });
        QSignalSpy finished(&vm, &PanelViewModel::sequenceFinished);
        vm.startAll();
        vm.startAll();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 60000);
        // The detached server notes itself whenever it gets to it; the initialisers never overlap.
        QCOMPARE(readFile(record).replace("server\n", ""),
                 QByteArray("init begins\ninit ends\ninit begins\ninit ends\n"));
        const QString first = startAllFirstText(stack.root);
        QCOMPARE(firstBlocks, (QStringList{first, first + '\n' + sequenceWaitLine()}));
        QVERIFY(!SequenceLock::busy(stack.root));
        killByPattern(kPhpServerKillPattern);
    }

    void openingPhpMyAdminStartsItAndAppendsTheMismatch()
    {
        qputenv("XDG_CONFIG_HOME", m_dir.filePath("config").toUtf8());
        const StackRoot stack = newRoot("pma");
        stack.installForeignPhp();
        stack.installPhp();
        writeFile(stack.layout.phpMyAdminDir() + "/index.php", "<?php echo 'pma';");
        PanelViewModel vm(stack.resolver(), stack.desktop);
        // The system describes errors in the user's language; the mismatch does not depend on it.
        const QByteArray before = std::setlocale(LC_ALL, nullptr);
        QVERIFY2(std::setlocale(LC_ALL, "zh_CN.UTF-8"), "the zh_CN.UTF-8 locale is not installed");
        const auto restore = qScopeGuard([&] { std::setlocale(LC_ALL, before.constData()); });
        QVERIFY(errnoDescription(ENOEXEC) != "Exec format error");

        vm.openPhpMyAdmin();
        const auto stop = qScopeGuard([&] { stopPhpMyAdmin(stack.layout); });
        // Started in the background; the status, then the mismatch, then the address.
        QTRY_COMPARE(stack.desktop->opened, QList<QUrl>{QUrl("http://localhost:900")});
        QVERIFY(vm.logs().startsWith("=== 服务状态 ===\n"));
        QVERIFY(vm.logs().contains("\nPHP CPU 类型不匹配: " + stack.root +
                                   "/runtime/php/PHP8.5/bin/php\n"));
        QTRY_COMPARE(curl({"http://127.0.0.1:900/"}), QByteArray("pma"));
    }

    void portProbeFindsTheListener()
    {
        QTcpServer server;
        QTcpServer server6;
        QVERIFY(server.listen(QHostAddress::Any) && server6.listen(QHostAddress::LocalHostIPv6));
        // A connection holds the port on both ends and is no listener, for the probe and for the
        // fallback reader of the kernel's tables; nor is a socket bound without listening.
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server.serverPort());
        QVERIFY(client.waitForConnected(5000) && server.waitForNewConnection(5000));
        QCOMPARE(listeningProcessId(client.localPort()), std::nullopt);
        const auto table =
            parseProcNetTcp(readFile(u"/proc/net/tcp"_s) + readFile(u"/proc/net/tcp6"_s));
        const auto listed = [&](quint16 port) {
            return std::ranges::count(table, port, &ListeningSocket::port) > 0;
        };
        QVERIFY(!listed(client.localPort()));
        for (const quint16 port : {server.serverPort(), server6.serverPort()}) {
            QCOMPARE(listeningProcessId(port), std::optional<qint32>(::getpid()));
            QVERIFY(listed(port));
        }
        QTcpSocket bound;
        QVERIFY(bound.bind(QHostAddress::LocalHost) && bound.localPort() != 0);
        QCOMPARE(listeningProcessId(bound.localPort()), std::nullopt);

        // A listener that hides its descriptors (as a PHP copy with a capability does) from its
        // own user is described as that user's own process, not as another program.
        const QStringList python{u"/usr/bin/python3"_s, u"-c"_s,
                                 u"import ctypes,socket,time\nctypes.CDLL(None).prctl(4,0,0,0,0)\n"
                                 "s=socket.socket()\ns.bind(('127.0.0.1',0))\ns.listen(1)\n"
                                 "print(s.getsockname()[1],flush=True)\ntime.sleep(60)"_s};
        const QStringList asNobody{u"--reuid=nobody"_s, u"--regid=nogroup"_s, u"--clear-groups"_s};
        QProcess hidden;
        hidden.start(u"setpriv"_s, ::geteuid() == 0 ? asNobody + python : python);
        const auto endHidden = qScopeGuard([&] { hidden.kill(), hidden.waitForFinished(); });
        QVERIFY(hidden.waitForReadyRead(10000));
        const quint16 hiddenPort = hidden.readLine().trimmed().toUShort();
        QCOMPARE(runUnprivileged([hiddenPort] {
                     const auto listener = portListener(hiddenPort);
                     return listener ? describeProcess(listener->pid, listener->uid) : QString();
                 }),
                 u"当前用户 %1 自己的一个进程（无法读取它的程序名和 PID）"_s.arg(
                     ::geteuid() == 0 ? u"nobody"_s : userName(::geteuid())));

        // A diagnostics message cut short of its record is skipped, not read past its end.
        alignas(nlmsghdr) char reply[128];
        std::memset(reply, 0xff, sizeof reply);
        nlmsghdr shortMessage{NLMSG_LENGTH(8), SOCK_DIAG_BY_FAMILY, NLM_F_MULTI, 1, 0};
        nlmsghdr done{NLMSG_LENGTH(4), NLMSG_DONE, NLM_F_MULTI, 1, 0};
        std::memcpy(reply, &shortMessage, sizeof shortMessage);
        std::memcpy(reply + NLMSG_ALIGN(shortMessage.nlmsg_len), &done, sizeof done);
        std::vector<ListeningSocket> sockets;
        QVERIFY(parseSockDiagReply(reply, sizeof reply, sockets) == SockDiagReply::Done &&
                sockets.empty());
    }
};

QTEST_GUILESS_MAIN(TestServices)
#include "tst_services.moc"
