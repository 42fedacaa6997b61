// The service operations on their own: the generated files, PHP discovery, the PHP server launcher
// with real PHP servers on a spare port, PID files that lie, the database kill pattern on roots
// full of regular-expression characters, and the database operations' exact arguments.
#include "StackRoot.h"
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
    void optionFile_data()
    {
        QTest::addColumn<QString>("root");
        QTest::newRow("blank and Chinese") << u"/p q/根"_s;
        QTest::newRow("comment sign") << u"/a#b"_s;
        QTest::newRow("backslash and quotes") << u"/a\\n\"'b"_s;
    }

    void optionFile()
    {
        QFETCH(QString, root);
        const QString path = m_dir.filePath("read-back.cnf");
        writeFile(path, mysqlOptionFileText(root).toUtf8());
        const QString read =
            runProcess("/usr/bin/my_print_defaults", {"--defaults-file=" + path, "mysqld"});
        QVERIFY2(read.startsWith("--basedir=" + root + "/runtime/mysql/\n--datadir=" + root +
                                 "/runtime/mysql/data/\n"),
                 qPrintable(read));
    }

    void phpMyAdminConfiguration()
    {
        // Byte for byte, without a final line feed.
        QCOMPARE(phpMyAdminConfigText().toUtf8().size(), 317);
        // Missing phpMyAdmin: the message names the folder, and nothing is created.
        const StackRoot bare = newRoot();
        QDir(bare.layout.phpMyAdminDir()).removeRecursively();
        QCOMPARE(startPhpMyAdmin(bare.layout, {}),
                 "phpMyAdmin: 未找到目录 " + bare.layout.phpMyAdminDir());
        QVERIFY(!QFileInfo::exists(bare.layout.cfgDir()));
        // No PHP: the configuration is still written when missing, and a user's own is kept.
        const RuntimeLayout layout = newRoot().layout;
        startPhpMyAdmin(layout, {});
        QCOMPARE(readFile(layout.phpMyAdminConfigPath()), phpMyAdminConfigText().toUtf8());
        writeFile(layout.phpMyAdminConfigPath(), "<?php // mine\n");
        startPhpMyAdmin(layout, {});
        QCOMPARE(readFile(layout.phpMyAdminConfigPath()), QByteArray("<?php // mine\n"));
    }

    void phpDiscovery()
    {
        const StackRoot root = newRoot();
        const QString php = root.layout.phpDir();
        QCOMPARE(phpBinCandidates(root.layout), QStringList());
        QCOMPARE(phpBinDisplay(root.layout), php + "/PHP8.5/bin/php");

        root.installPhp("PHP7.3");
        root.installPhp("PHP9.0"); // not a known version
        QCOMPARE(phpBinDisplay(root.layout), php + "/PHP7.3/bin/php");
        root.installPhp("PHP8.2");
        writeFile(php + "/PHP8.5/bin/php", "#!/bin/sh\n"); // not executable
        QCOMPARE(phpBinCandidates(root.layout),
                 (QStringList{php + "/PHP8.2/bin/php", php + "/PHP7.3/bin/php"}));
    }

    void archMismatchWords()
    {
        const QString path = "/r/runtime/php/PHP8.5/bin/php";
        const auto message = phpArchMismatchMessage(path, launchErrorDescription(ENOEXEC, path));
        const QStringList lines = message.value_or(QString()).split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[1].startsWith("当前机器架构: ") && lines[1].size() > 8);
        QCOMPARE(lines[2], u"请切换到对应架构的 runtime（Apple Silicon: arm64 / Intel: x86_64）"_s);
        QVERIFY(phpArchMismatchMessage(path, "Bad CPU Type in executable"));
        QVERIFY(!phpArchMismatchMessage(path, launchErrorDescription(ENOENT, path)));
        // The words are matched anywhere in the description, the path included.
        const QString archive = "/home/me/ARCHIVE/runtime/php/PHP8.5/bin/php";
        QVERIFY(phpArchMismatchMessage(archive, launchErrorDescription(ENOENT, archive)));

        // The system describes errors in the user's language; the decision does not depend on it.
        const QByteArray before = std::setlocale(LC_ALL, nullptr);
        QVERIFY2(std::setlocale(LC_ALL, "zh_CN.UTF-8"), "the zh_CN.UTF-8 locale is not installed");
        const auto restore = qScopeGuard([&] { std::setlocale(LC_ALL, before.constData()); });
        QVERIFY(errnoDescription(ENOEXEC) != "Exec format error");
        QVERIFY(phpArchMismatchMessage(path, launchErrorDescription(ENOEXEC, path)));
    }

    // One root through the launcher's cases: a PHP that cannot run, a server that runs and
    // stops, and a missing document root. The candidate of another processor is the phpMyAdmin
    // test's.
    void launchingAndStoppingAServer()
    {
        const StackRoot root = newRoot();
        const RuntimeLayout &layout = root.layout;
        // A port of the test's own, away from the stack's.
        const QString port = u"18731"_s;
        PhpServerSpec server = phpWebServer(layout);
        server.port = port;
        // The only candidate fails for a reason that is not the processor: its description, and
        // nothing for the log.
        const QString php = layout.phpDir() + "/PHP8.2/bin/php";
        writeFile(php, "#!/nonexistent/interpreter\n");
        QFile::setPermissions(php, QFile::permissions(php) | QFileDevice::ExeOwner);
        QCOMPARE(launchPhpServer(layout, server, [](const QString &m) { QFAIL(qPrintable(m)); }),
                 QString("PHP Web: No such file or directory"));

        root.installPhp();
        const QByteArray earlier = QByteArray("earlier line\n").repeated(1000);
        writeFile(server.logPath, earlier);
        QCOMPARE(launchPhpServer(layout, server, {}), QString());
        // The number alone: a trailing line feed is not part of the PID file.
        const QByteArray pidText = readFile(server.pidPath);
        const qint64 pid = pidText.toLongLong();
        QVERIFY(pid > 0 && QByteArray::number(pid) == pidText);
        const auto stopAnyway = qScopeGuard([pid] { terminateProcess(pid); });
        QTRY_VERIFY(listeningProcessId(port.toUShort()) == pid);
        // Another service's port does not claim this server.
        QVERIFY(isPhpServerRunning(server.pidPath, port));
        QVERIFY(!isPhpServerRunning(server.pidPath, "8000"));
        // Run from the root as working directory, output appended after the earlier lines.
        QCOMPARE(QFileInfo(QString("/proc/%1/cwd").arg(pid)).symLinkTarget(), layout.root());
        QTRY_VERIFY(readFile(server.logPath).size() > earlier.size());
        QVERIFY(readFile(server.logPath).startsWith(earlier));

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

        // A missing document root: the launch still counts, the complaint lands in the log.
        QDir(layout.wwwDir()).removeRecursively();
        QCOMPARE(launchPhpServer(layout, server, {}), QString());
        const qint64 second = readFile(server.pidPath).toLongLong();
        QVERIFY(second > 0);
        const auto stopSecond = qScopeGuard([second] { terminateProcess(second); });
        QTRY_VERIFY(readFile(server.logPath).contains("does not exist"));
        QVERIFY(waitUntilGone(second));
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
        if (!mysqlPidFromPort3306()) {
            QVERIFY(isMariaDBRunning(RuntimeLayout(own)));
            QVERIFY(!isMariaDBRunning(RuntimeLayout(m_dir.filePath("a+b"))));
        }
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
        // Content that is not a positive number signals nothing and stays.
        for (const QByteArray content : {"abc", "0", "-7", "", "99999999999"}) {
            writeFile(pidPath, content);
            QVERIFY(!isPhpWebRunning(layout));
            QCOMPARE(stopPhpWeb(layout), QString());
            QVERIFY2(QFileInfo::exists(pidPath), content.constData());
        }
        QCOMPARE(parsePid("\t+4321 \r\n"), std::optional<qint32>(4321));
        QCOMPARE(parsePid("12a"), std::nullopt);
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
        QFile::remove(layout.mysqldPath());
        QCOMPARE(startMysql(layout, cnf), QString("No such file or directory"));

        // Stop-all without the shutdown tool, and with one that never returns: held only for
        // its time limit.
        QVERIFY(stopMysql(layout).endsWith("No such file or directory"));
        writeScript(layout.mysqladminPath(), "exec sleep 600\n");
        QCOMPARE(
            stopMysql(layout, 1000),
            QString("MySQL: mysqladmin 超过 1 秒未结束，关闭失败，已强制结束，改为按进程结束"));
        QVERIFY(processesMatching("^sleep 600$").isEmpty());
    }

    // Links and odd files planted at the panel's own paths, and option files that are not what
    // was written: nothing outside the root changes, the database programs do not run, the
    // result says why. How each writer treats every kind of planted file is tst_process's part;
    // here each path shows that it goes through a writer that refuses.
    void startAllRefusesLinksAndBadOptionFiles_data()
    {
        QTest::addColumn<QString>("plant");        // which path gets what
        QTest::addColumn<QStringList>("expected"); // lines of the result block; %1 is the root
        QTest::addColumn<bool>("databaseRuns");
        const QString cnf = "%1/runtime/mysql/my_runtime.cnf";
        const QString link = ": 目标是符号链接，已拒绝写入";
        const auto row = [](const char *name, const char *plant, const QStringList &lines,
                            bool databaseRuns) {
            QTest::newRow(name) << QString(plant) << lines << databaseRuns;
        };
        row("option file is a link", "cnf-link",
            {"MySQL: " + cnf + link, "MySQL: 选项文件无法使用，未初始化数据库: " + cnf,
             "MySQL: 选项文件无法使用，未启动 MySQL: " + cnf},
            false);
        row("option folder is a link", "mysql-link", {"MySQL: %1/runtime/mysql" + link}, false);
        row("root with a line break", "newline",
            {"MySQL: 目录路径含有换行或控制字符，无法写入选项文件: %1"}, false);
        row("site's PID file is a link", "pid-link",
            {"PHP Web: %1/runtime/config/php-web.pid" + link}, true);
        row("site's log is a FIFO", "log-fifo",
            {"PHP Web: %1/runtime/config/php-web.log: 不是普通文件，已拒绝写入"}, true);
        row("phpMyAdmin's configuration is a dangling link", "pma-link", {}, true);
    }

    void startAllRefusesLinksAndBadOptionFiles()
    {
        QFETCH(QString, plant);
        QFETCH(QStringList, expected);
        QFETCH(bool, databaseRuns);
        const QString name = QString::number(++m_rootCount);
        const QString victim = m_dir.filePath("victim-" + name);
        writeFile(victim, "not the panel's");
        // The root is the installed one beside a program location of the test's own.
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
        const QString block = vm.logs();
        const bool succeeded = finished.first().first().toBool();
        const auto stop = qScopeGuard([] { killByPattern(kPhpServerKillPattern); });
        // Every refused step is a failure of the sequence; with none, it succeeded.
        QVERIFY2(succeeded == expected.isEmpty(), qPrintable(block));

        for (const QString &line : expected) {
            const QString want = '\n' + line.arg(printablePath(stack.root)) + '\n';
            QVERIFY2(vm.logs().contains(want), qPrintable(vm.logs() + "--- lacks ---" + want));
        }
        QCOMPARE(readFile(victim), QByteArray("not the panel's"));
        QVERIFY(!QFileInfo::exists(victim + ".absent"));
        // The database programs run exactly when the option file holds what was written. The
        // steps in their order: the initialiser ends before the server starts, and the site's
        // server starts before phpMyAdmin's. A site log that is no file of its own stops the
        // site's server before it starts; one whose PID file cannot be written is ended at once,
        // and may not get to note itself.
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
        writeSavedRoot(stack.root);
        PanelViewModel vm(PanelRootResolver(AppLocation()), nullptr);
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
        const QString root = stack.root;
        stack.installForeignPhp();
        stack.installPhp();
        writeFile(stack.layout.phpMyAdminDir() + "/index.php", "<?php echo 'pma';");
        stack.desktop->nextChoice = root;
        PanelViewModel vm(PanelRootResolver(AppLocation()), stack.desktop);
        vm.choosePanelRoot();
        QCOMPARE(vm.tavexPanelRoot(), root);
        stack.desktop->opened.clear();

        vm.openPhpMyAdmin();
        const auto stop = qScopeGuard([&] { stopPhpMyAdmin(stack.layout); });
        // Started in the background; the status and then the mismatch reach the log before the
        // address is opened.
        QTRY_COMPARE(stack.desktop->opened, QList<QUrl>{QUrl("http://localhost:900")});
        QVERIFY(vm.isPhpMyAdminRunning());
        const QString status = vm.logs().section("\nPHP CPU", 0, 0);
        QVERIFY(status.startsWith("=== 服务状态 ===\n"));
        QVERIFY(vm.logs().startsWith(status + "\nPHP CPU 类型不匹配: " + root +
                                     "/runtime/php/PHP8.5/bin/php\n"));
        QVERIFY(vm.logs().endsWith("x86_64）\n"));
        QTRY_COMPARE(curl({"http://127.0.0.1:900/"}), QByteArray("pma"));

        // Already running: nothing is started, the log is left alone.
        const QString before = vm.logs();
        vm.openPhpMyAdmin();
        QTRY_COMPARE(stack.desktop->opened.size(), 2);
        QCOMPARE(vm.logs(), before);
    }

    void portProbeFindsTheListener()
    {
        QTcpServer server;
        QTcpServer server6;
        QVERIFY(server.listen(QHostAddress::Any) && server6.listen(QHostAddress::LocalHostIPv6));
        // The fallback reader finds both in the kernel's tables as well.
        auto table = parseProcNetTcp(readFile(u"/proc/net/tcp"_s));
        for (const ListeningSocket &s : parseProcNetTcp(readFile(u"/proc/net/tcp6"_s)))
            table.push_back(s);
        for (const quint16 port : {server.serverPort(), server6.serverPort()}) {
            QCOMPARE(listeningProcessId(port), std::optional<qint32>(::getpid()));
            QVERIFY(std::any_of(table.cbegin(), table.cend(), [&](const ListeningSocket &s) {
                return s.port == port && !s.inode.isEmpty();
            }));
        }
        // A connection to the listener holds the port too, on both ends, and is no listener;
        // nor is a socket bound to a port without listening.
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server.serverPort());
        QVERIFY(client.waitForConnected(5000) && server.waitForNewConnection(5000));
        QCOMPARE(listeningProcessId(client.localPort()), std::nullopt);
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
        QVERIFY(parseSockDiagReply(reply, sizeof reply, sockets) == SockDiagReply::Done);
        QVERIFY(sockets.empty());
    }
};

QTEST_GUILESS_MAIN(TestServices)
#include "tst_services.moc"
