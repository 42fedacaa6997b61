// The service operations on their own: the generated files, PHP discovery, the PHP server launcher
// with real PHP servers on a spare port, PID files that lie, the database kill pattern on roots
// full of regular-expression characters, and the database operations' exact arguments.
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
#include <arpa/inet.h>
#include <clocale>
#include <cstring>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tavex;
using namespace tavex::test;

namespace {

// A port of our own for the launcher tests, away from the stack's.
const QString kTestPort = QStringLiteral("18731");

// A working PHP: Debian's, under the runtime's name, as the demo runtime does it.
void installPhp(const QString &root, const QString &version)
{
    const QString path =
        root + QStringLiteral("/runtime/php/") + version + QStringLiteral("/bin/php");
    writeFile(path, "#!/bin/bash\nexec -a \"$0\" /usr/bin/php \"$@\"\n");
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner);
}

void installForeignPhp(const QString &root, const QString &version)
{
    writeForeignExecutable(root + QStringLiteral("/runtime/php/") + version +
                           QStringLiteral("/bin/php"));
}

PhpServerSpec testServer(const RuntimeLayout &layout)
{
    PhpServerSpec spec = phpWebServer(layout);
    spec.port = kTestPort;
    return spec;
}

qint64 pidIn(const QString &pidPath)
{
    return parsePid(QString::fromUtf8(readFile(pidPath))).value_or(0);
}

// Database programs that only note that they ran (and when the initialiser ended), so a test sees
// whether the panel started them, and in which order.
void installRecordingDatabase(const RuntimeLayout &layout, const QString &record)
{
    const QByteArray to = "'" + record.toUtf8() + "'";
    writeScript(layout.mysqlInstallDbPath(), "echo \"init begins\" >> " + to +
                                                 "\nsleep 0.3\necho \"init ends\" >> " + to + "\n");
    writeScript(layout.mysqldPath(), "echo server >> " + to + "\n");
}

// Runs one start-all of the view model to its end and returns its result block.
QString runStartAll(PanelViewModel &vm)
{
    QSignalSpy finished(&vm, &PanelViewModel::sequenceFinished);
    vm.startAll();
    if (!finished.wait(60000))
        return QStringLiteral("start-all did not finish");
    return vm.logs();
}

} // namespace

class TestServices : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_rootCount = 0;

    QString newRoot(const QString &name = QStringLiteral("根 目录"))
    {
        const QString root = m_dir.filePath(name + QString::number(++m_rootCount));
        makeValidRoot(root);
        QDir().mkpath(root + QStringLiteral("/runtime/www"));
        return root;
    }

private Q_SLOTS:
    // The database server reads back each folder whole, whatever the root holds ("#" begins a
    // comment, a backslash an escape); ordinary roots are written as they are.
    void optionFile_data()
    {
        QTest::addColumn<QString>("root");
        QTest::addColumn<QString>("basedirLine");
        QTest::newRow("blank and Chinese")
            << QStringLiteral("/p q/根") << QStringLiteral("basedir=/p q/根/runtime/mysql/");
        QTest::newRow("comment sign")
            << QStringLiteral("/a#b") << QStringLiteral("basedir=\"/a#b/runtime/mysql/\"");
        QTest::newRow("backslash and quotes")
            << QStringLiteral("/a\\n\"'b")
            << QStringLiteral("basedir=\"/a\\\\n\\\"'b/runtime/mysql/\"");
    }

    void optionFile()
    {
        QFETCH(QString, root);
        QFETCH(QString, basedirLine);
        const QString text = mysqlOptionFileText(root);
        const QStringList lines = text.split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 13);
        QCOMPARE(lines[3], QString());
        QCOMPARE(lines[6], QString());
        QCOMPARE(lines[8], basedirLine);
        QVERIFY(text.endsWith(QStringLiteral("collation-server=utf8_unicode_ci")));
        const QString path = m_dir.filePath(QStringLiteral("read-back.cnf"));
        writeFile(path, text.toUtf8());
        QStringList read =
            runProcess(QStringLiteral("/usr/bin/my_print_defaults"),
                       {QStringLiteral("--defaults-file=") + path, QStringLiteral("mysqld")})
                .split(QLatin1Char('\n'));
        QCOMPARE(read.mid(0, 2), QStringList({QStringLiteral("--basedir=") + root +
                                                  QStringLiteral("/runtime/mysql/"),
                                              QStringLiteral("--datadir=") + root +
                                                  QStringLiteral("/runtime/mysql/data/")}));
    }

    void phpMyAdminConfiguration()
    {
        QCOMPARE(phpMyAdminConfigText().toUtf8().size(), 317);
        QVERIFY(!phpMyAdminConfigText().endsWith(QLatin1Char('\n')));

        // Missing phpMyAdmin: the message names the folder, and nothing is created.
        const QString bare = newRoot();
        QDir(bare + QStringLiteral("/runtime/phpmyadmin")).removeRecursively();
        const RuntimeLayout bareLayout(bare);
        QCOMPARE(startPhpMyAdmin(bareLayout, {}), QStringLiteral("phpMyAdmin: 未找到目录 ") + bare +
                                                      QStringLiteral("/runtime/phpmyadmin"));
        QVERIFY(!QFileInfo::exists(bare + QStringLiteral("/runtime/config")));

        // No PHP: the configuration is still written when missing, and a user's own is kept.
        const RuntimeLayout layout(newRoot());
        QCOMPARE(startPhpMyAdmin(layout, {}), QStringLiteral("phpMyAdmin: 未找到可执行的 PHP"));
        QCOMPARE(readFile(layout.phpMyAdminConfigPath()), phpMyAdminConfigText().toUtf8());
        const QByteArray edited = "<?php\n$cfg['Servers'][1]['host'] = 'db.local'; // mine\n";
        writeFile(layout.phpMyAdminConfigPath(), edited);
        startPhpMyAdmin(layout, {});
        QCOMPARE(readFile(layout.phpMyAdminConfigPath()), edited);
    }

    void phpDiscovery()
    {
        const RuntimeLayout layout(newRoot());
        const QString php = layout.phpDir();
        QCOMPARE(phpBinCandidates(layout), QStringList());
        QCOMPARE(phpBinDisplay(layout), php + QStringLiteral("/PHP8.5/bin/php"));

        installPhp(layout.root(), QStringLiteral("PHP7.3"));
        installPhp(layout.root(), QStringLiteral("PHP9.0")); // not a known version
        QCOMPARE(phpBinCandidates(layout), QStringList{php + QStringLiteral("/PHP7.3/bin/php")});
        QCOMPARE(phpBinDisplay(layout), php + QStringLiteral("/PHP7.3/bin/php"));

        installPhp(layout.root(), QStringLiteral("PHP8.2"));
        writeFile(php + QStringLiteral("/PHP8.5/bin/php"), "#!/bin/sh\n"); // not executable
        QCOMPARE(phpBinCandidates(layout), (QStringList{php + QStringLiteral("/PHP8.2/bin/php"),
                                                        php + QStringLiteral("/PHP7.3/bin/php")}));
    }

    void archMismatchWords()
    {
        const QString path = QStringLiteral("/r/runtime/php/PHP8.5/bin/php");
        const auto message = phpArchMismatchMessage(path, launchErrorDescription(ENOEXEC, path));
        QVERIFY(message);
        const QStringList lines = message->split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines[0], QStringLiteral("PHP CPU 类型不匹配: ") + path);
        QVERIFY(lines[1].startsWith(QStringLiteral("当前机器架构: ")));
        QVERIFY(lines[1].size() > 8);
        QCOMPARE(
            lines[2],
            QStringLiteral("请切换到对应架构的 runtime（Apple Silicon: arm64 / Intel: x86_64）"));
        QVERIFY(phpArchMismatchMessage(path, QStringLiteral("Bad CPU Type in executable")));
        QVERIFY(!phpArchMismatchMessage(path, launchErrorDescription(ENOENT, path)));
        // The words are matched anywhere in the description, the path included.
        const QString archive = QStringLiteral("/home/me/ARCHIVE/runtime/php/PHP8.5/bin/php");
        QVERIFY(phpArchMismatchMessage(archive, launchErrorDescription(ENOENT, archive)));

        // The system describes errors in the user's language; the decision does not depend on it.
        const QByteArray before = std::setlocale(LC_ALL, nullptr);
        QVERIFY2(std::setlocale(LC_ALL, "zh_CN.UTF-8"), "the zh_CN.UTF-8 locale is not installed");
        const auto restore = qScopeGuard([&] { std::setlocale(LC_ALL, before.constData()); });
        QVERIFY(errnoDescription(ENOEXEC) != QStringLiteral("Exec format error"));
        QVERIFY(phpArchMismatchMessage(path, launchErrorDescription(ENOEXEC, path)));
    }

    void launchingAndStoppingAServer()
    {
        const RuntimeLayout layout(newRoot());
        installForeignPhp(layout.root(), QStringLiteral("PHP8.5"));
        installPhp(layout.root(), QStringLiteral("PHP8.2"));
        writeFile(layout.wwwDir() + QStringLiteral("/index.php"), "<?php echo 'hello';");
        QByteArray earlier;
        for (int i = 0; i < 1000; ++i)
            earlier += "earlier line " + QByteArray::number(i) + '\n';
        const PhpServerSpec server = testServer(layout);
        writeFile(server.logPath, earlier);

        QStringList mismatches;
        QCOMPARE(launchPhpServer(layout, server, [&](const QString &m) { mismatches << m; }),
                 QString());
        QCOMPARE(mismatches.size(), 1);
        QVERIFY(mismatches[0].startsWith(QStringLiteral("PHP CPU 类型不匹配: ") + layout.phpDir() +
                                         QStringLiteral("/PHP8.5/bin/php\n")));

        const QByteArray pidText = readFile(server.pidPath);
        // The number alone: "$" would let a trailing line feed through.
        QVERIFY(
            QRegularExpression(QRegularExpression::anchoredPattern(QStringLiteral("[1-9][0-9]*")))
                .match(QString::fromLatin1(pidText))
                .hasMatch());
        const qint64 pid = pidText.toLongLong();
        const auto stopAnyway = qScopeGuard([pid] { terminateProcess(pid); });
        QTRY_VERIFY(listeningProcessId(kTestPort.toUShort()) == pid);
        QVERIFY(isPhpServerRunning(server.pidPath, kTestPort));
        // Another service's port does not claim this server.
        QVERIFY(!isPhpServerRunning(server.pidPath, QStringLiteral("8000")));
        // Run from the root as working directory, output appended after the earlier lines.
        QCOMPARE(curl({QStringLiteral("http://127.0.0.1:") + kTestPort + QStringLiteral("/")}),
                 QByteArray("hello"));
        QCOMPARE(QFileInfo(QStringLiteral("/proc/%1/cwd").arg(pid)).symLinkTarget(), layout.root());
        QTRY_VERIFY(readFile(server.logPath).size() > earlier.size());
        QVERIFY(readFile(server.logPath).startsWith(earlier));

        QCOMPARE(stopPhpServer(server.pidPath, kTestPort), QString());
        QVERIFY(waitUntilGone(pid));
        QVERIFY(!QFileInfo::exists(server.pidPath));
        QVERIFY(!isPhpServerRunning(server.pidPath, kTestPort));
    }

    void launchFailuresAndMissingDocumentRoot()
    {
        // The only candidate fails for a reason that is not the processor: its description, and
        // nothing for the log.
        const RuntimeLayout layout(newRoot(QStringLiteral("plain")));
        const QString php = layout.phpDir() + QStringLiteral("/PHP8.2/bin/php");
        writeFile(php, "#!/nonexistent/interpreter\n");
        QFile::setPermissions(php, QFile::permissions(php) | QFileDevice::ExeOwner);
        QStringList mismatches;
        QCOMPARE(
            launchPhpServer(layout, testServer(layout), [&](const QString &m) { mismatches << m; }),
            QStringLiteral("PHP Web: No such file or directory"));
        QVERIFY(mismatches.isEmpty());

        // A missing document root: the launch still counts, the complaint lands in the log.
        const RuntimeLayout noSite(newRoot());
        installPhp(noSite.root(), QStringLiteral("PHP8.2"));
        QDir(noSite.wwwDir()).removeRecursively();
        const PhpServerSpec server = testServer(noSite);
        QCOMPARE(launchPhpServer(noSite, server, {}), QString());
        const qint64 pid = pidIn(server.pidPath);
        QVERIFY(pid > 0);
        const auto stopAnyway = qScopeGuard([pid] { terminateProcess(pid); });
        QTRY_VERIFY(readFile(server.logPath).contains("does not exist"));
        QVERIFY(waitUntilGone(pid));
        QVERIFY(!isPhpServerRunning(server.pidPath, kTestPort));
        stopPhpServer(server.pidPath, kTestPort);
    }

    void pidFilesThatDoNotNameTheServer()
    {
        const RuntimeLayout layout(newRoot());
        QDir().mkpath(layout.cfgDir());
        const QString pidPath = layout.phpWebPidPath();

        // A number now used by an unrelated program: stopped, never signalled, file removed.
        QProcess unrelated;
        unrelated.start(childHelper(), {QStringLiteral("hang")});
        QVERIFY(unrelated.waitForStarted());
        writeFile(pidPath, " \n" + QByteArray::number(unrelated.processId()) + "\n");
        QVERIFY(!isPhpWebRunning(layout));
        QCOMPARE(stopPhpWeb(layout), QString());
        QVERIFY(!QFileInfo::exists(pidPath));
        QTest::qWait(100);
        QCOMPARE(unrelated.state(), QProcess::Running);
        unrelated.kill();
        unrelated.waitForFinished();

        // Content that is not a positive number signals nothing and stays.
        for (const QByteArray &content : {QByteArray("abc"), QByteArray("0"), QByteArray("-7"),
                                          QByteArray(""), QByteArray("99999999999")}) {
            writeFile(pidPath, content);
            QVERIFY(!isPhpWebRunning(layout));
            QCOMPARE(stopPhpWeb(layout), QString());
            QVERIFY2(QFileInfo::exists(pidPath), content.constData());
        }
        QCOMPARE(parsePid(QStringLiteral("\t4321 \r\n")), std::optional<qint32>(4321));
        QCOMPARE(parsePid(QStringLiteral("+12")), std::optional<qint32>(12));
        QCOMPARE(parsePid(QStringLiteral("12a")), std::nullopt);
    }

    void databaseKillPatternMatchesOnlyItsRoot()
    {
        // Two roots: the second is what the first's path would match if read as a pattern.
        const QString own = m_dir.filePath(QStringLiteral("a+b (c) [d].e"));
        const QString other = m_dir.filePath(QStringLiteral("aab c dXe"));
        QList<QProcess *> servers;
        for (const QString &root : {own, other}) {
            const QString mysqld = root + QStringLiteral("/runtime/mysql/bin/mysqld");
            QDir().mkpath(QFileInfo(mysqld).absolutePath());
            QVERIFY(QFile::copy(childHelper(), mysqld));
            auto *server = new QProcess(this);
            server->start(mysqld, {QStringLiteral("hang"),
                                   QStringLiteral("--defaults-file=") + root +
                                       QStringLiteral("/runtime/mysql/my_runtime.cnf")});
            QVERIFY(server->waitForStarted());
            servers << server;
        }
        // With no listener on 3306 the command-line probe decides, for the right root only.
        if (!mysqlPidFromPort3306()) {
            QVERIFY(isMariaDBRunning(RuntimeLayout(own)));
            QVERIFY(!isMariaDBRunning(RuntimeLayout(m_dir.filePath(QStringLiteral("a+b")))));
        }
        QCOMPARE(killByPattern(mysqlKillPattern(own)), QString());
        QVERIFY(servers[0]->waitForFinished(5000));
        QTest::qWait(200);
        QCOMPARE(servers[1]->state(), QProcess::Running);
        servers[1]->kill();
        servers[1]->waitForFinished();
    }

    void databaseOperationsPassExactArguments()
    {
        const RuntimeLayout layout(newRoot(QStringLiteral("db root")));
        const QString record = m_dir.filePath(QStringLiteral("args-%1.txt").arg(m_rootCount));
        const QByteArray recorder =
            "for a in \"$@\"; do printf '%s\\n' \"$a\" >> '" + record.toUtf8() + "'; done\n";
        writeScript(layout.mysqlInstallDbPath(),
                    recorder + "echo 'Installing MariaDB'\necho 'done'\n");
        writeScript(layout.mysqldPath(), recorder);
        const QString cnf = layout.mysqlCnfPath();

        QCOMPARE(ensureMysqlInitialized(layout, cnf), QStringLiteral("Installing MariaDB\ndone\n"));
        QCOMPARE(QString::fromUtf8(readFile(record)),
                 QStringLiteral("--defaults-file=") + cnf +
                     QStringLiteral("\n--initialize-insecure\n"));
        // An existing, even empty, system database folder: nothing runs.
        QFile::remove(record);
        QDir().mkpath(layout.mysqlSystemDbDir());
        QCOMPARE(ensureMysqlInitialized(layout, cnf), QString());
        QVERIFY(!QFileInfo::exists(record));

        QCOMPARE(startMysql(layout, cnf), QString());
        QTRY_COMPARE(QString::fromUtf8(readFile(record)),
                     QStringLiteral("--defaults-file=") + cnf + QStringLiteral("\n--daemonize\n"));

        QVERIFY(stopMysql(layout).endsWith(QStringLiteral("No such file or directory")));
        QFile::remove(layout.mysqldPath());
        QCOMPARE(startMysql(layout, cnf), QStringLiteral("No such file or directory"));
        QFile::remove(layout.mysqlInstallDbPath());
        QDir(layout.mysqlSystemDbDir()).removeRecursively();
        QVERIFY(ensureMysqlInitialized(layout, cnf).startsWith(QStringLiteral("执行失败: ")));
    }

    // Links planted at the panel's own paths, and option files that are not what was written:
    // nothing outside the root changes, the database programs do not run, the result says why.
    void startAllRefusesLinksAndBadOptionFiles_data()
    {
        QTest::addColumn<QString>("plant");        // which path gets what
        QTest::addColumn<QStringList>("expected"); // lines of the result block; %1 is the root
        QTest::addColumn<bool>("databaseRuns");
        const QString cnf = QStringLiteral("%1/runtime/mysql/my_runtime.cnf");
        const QString link = QStringLiteral(": 目标是符号链接，已拒绝写入");
        const QStringList refused = {
            QStringLiteral("MySQL: 选项文件无法使用，未初始化数据库: ") + cnf,
            QStringLiteral("MySQL: 选项文件无法使用，未启动 MySQL: ") + cnf};
        QTest::newRow("option file is a folder")
            << "cnf-dir" << (QStringList{QStringLiteral("MySQL: Is a directory")} + refused)
            << false;
        QTest::newRow("option file is a link")
            << "cnf-link" << (QStringList{QStringLiteral("MySQL: ") + cnf + link} + refused)
            << false;
        QTest::newRow("option folder is a link")
            << "mysql-link" << QStringList{QStringLiteral("MySQL: %1/runtime/mysql") + link}
            << false;
        QTest::newRow("root with a line break")
            << "newline"
            << QStringList{QStringLiteral(
                   "MySQL: 目录路径含有换行或控制字符，无法写入选项文件: %1")}
            << false;
        QTest::newRow("site's PID file is a link")
            << "pid-link"
            << QStringList{QStringLiteral("PHP Web: %1/runtime/config/php-web.pid") + link} << true;
        QTest::newRow("site's log is a link")
            << "log-link"
            << QStringList{QStringLiteral("PHP Web: %1/runtime/config/php-web.log") + link} << true;
        QTest::newRow("site's log is a FIFO")
            << "log-fifo"
            << QStringList{QStringLiteral(
                   "PHP Web: %1/runtime/config/php-web.log: 不是普通文件，已拒绝写入")}
            << true;
        QTest::newRow("phpMyAdmin's configuration is a dangling link")
            << "pma-link" << QStringList{} << true;
    }

    void startAllRefusesLinksAndBadOptionFiles()
    {
        QFETCH(QString, plant);
        QFETCH(QStringList, expected);
        QFETCH(bool, databaseRuns);
        const QString victim = m_dir.filePath(QStringLiteral("victim-%1").arg(++m_rootCount));
        writeFile(victim, "not the panel's");
        const QString nowhere = victim + QStringLiteral(".absent");

        // The root is the installed one beside a program location of the test's own.
        const QString app = m_dir
                                .filePath(plant == QLatin1String("newline")
                                              ? QStringLiteral("app\n[mysqld]\nuser=x %1")
                                              : QStringLiteral("app %1"))
                                .arg(m_rootCount);
        const QString root = app + QStringLiteral("/Tavex-panel");
        makeValidRoot(root);
        const RuntimeLayout layout(root);
        QDir().mkpath(layout.mysqlDataDir());
        QDir().mkpath(layout.cfgDir());
        const QString record = m_dir.filePath(QStringLiteral("record-%1").arg(m_rootCount));
        installRecordingDatabase(layout, record);
        // Debian's PHP, noting each server it starts in the same record.
        writeScript(root + QStringLiteral("/runtime/php/PHP8.2/bin/php"),
                    "[ \"$1\" = -S ] && echo \"php $2\" >> '" + record.toUtf8() +
                        "'\nexec -a \"$0\" /usr/bin/php \"$@\"\n");

        if (plant == QLatin1String("cnf-dir"))
            QDir().mkpath(layout.mysqlCnfPath());
        if (plant == QLatin1String("cnf-link"))
            QFile::link(victim, layout.mysqlCnfPath());
        if (plant == QLatin1String("mysql-link")) {
            const QString moved = m_dir.filePath(QStringLiteral("elsewhere-%1").arg(m_rootCount));
            QVERIFY(QDir().rename(layout.mysqlDir(), moved));
            QVERIFY(QFile::link(moved, layout.mysqlDir()));
            QDir().mkpath(moved + QStringLiteral("/data/mysql"));
        }
        if (plant == QLatin1String("pid-link"))
            QFile::link(victim, layout.phpWebPidPath());
        if (plant == QLatin1String("log-link"))
            QFile::link(victim, layout.phpWebLogPath());
        if (plant == QLatin1String("log-fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(layout.phpWebLogPath()).constData(), 0600), 0);
        if (plant == QLatin1String("pma-link"))
            QFile::link(nowhere, layout.phpMyAdminConfigPath());

        qputenv("XDG_CONFIG_HOME", m_dir.filePath(QStringLiteral("config")).toUtf8());
        PanelViewModel vm(PanelRootResolver(AppLocation::forExecutable(
                              app + QStringLiteral("/tavex/bin/tavex-panel"))),
                          nullptr);
        QCOMPARE(vm.tavexPanelRoot(), root);
        const QString block = runStartAll(vm);
        const auto stop = qScopeGuard([] { killByPattern(kPhpServerKillPattern); });

        for (const QString &line : expected) {
            const QString want = line.arg(printablePath(root));
            QVERIFY2(block.contains(QLatin1Char('\n') + want + QLatin1Char('\n')),
                     qPrintable(block + QStringLiteral("\n--- lacks ---\n") + want));
        }
        QCOMPARE(readFile(victim), QByteArray("not the panel's"));
        QVERIFY(!QFileInfo::exists(nowhere));
        // The initialiser and the server run exactly when the option file holds what was written.
        // The steps in their order: the initialiser ends before the server starts, and the site's
        // server starts before phpMyAdmin's.
        QStringList steps{QStringLiteral("init begins"), QStringLiteral("init ends"),
                          QStringLiteral("server")};
        if (!databaseRuns || plant == QLatin1String("mysql-link"))
            steps.clear();
        // A site log that is no file of its own stops the site's server before it starts; one
        // whose PID file cannot be written is ended at once, and may not get to note itself.
        const QString site = QStringLiteral("php 0.0.0.0:8000");
        if (!plant.startsWith(QLatin1String("log-")) && plant != QLatin1String("pid-link"))
            steps << site;
        steps << QStringLiteral("php 0.0.0.0:900");
        const auto recorded = [&] {
            QStringList lines =
                QString::fromUtf8(readFile(record)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            if (plant == QLatin1String("pid-link"))
                lines.removeAll(site);
            return lines;
        };
        QTRY_COMPARE(recorded(), steps);
        if (plant == QLatin1String("newline"))
            QVERIFY(!QFileInfo::exists(layout.mysqlCnfPath()));
    }

    // Two start-alls pressed at once run one after the other; the second says that it waits.
    void sequencesRunOneAtATime()
    {
        const QString root = newRoot(QStringLiteral("seq"));
        const RuntimeLayout layout(root);
        const QString record = m_dir.filePath(QStringLiteral("record-seq"));
        installRecordingDatabase(layout, record);
        qputenv("XDG_CONFIG_HOME", m_dir.filePath(QStringLiteral("config")).toUtf8());
        writeSavedRoot(root);
        PanelViewModel vm(PanelRootResolver(AppLocation()), nullptr);
        QStringList firstBlocks;
        connect(&vm, &PanelViewModel::logsChanged, &vm, [&] {
            if (vm.logs().startsWith(QStringLiteral("=== 启动中 ===\n正在准备目录和服务...")))
                firstBlocks << vm.logs();
        });
        QSignalSpy finished(&vm, &PanelViewModel::sequenceFinished);
        vm.startAll();
        vm.startAll();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 60000);
        // The detached server notes itself whenever it gets to it; the initialisers never overlap.
        QCOMPARE(readFile(record).replace("server\n", ""),
                 QByteArray("init begins\ninit ends\ninit begins\ninit ends\n"));
        QCOMPARE(firstBlocks,
                 (QStringList{startAllFirstText(root),
                              startAllFirstText(root) + QLatin1Char('\n') + sequenceWaitLine()}));
        QVERIFY(!SequenceLock::busy(root));
        killByPattern(kPhpServerKillPattern);
    }

    // A shutdown tool that never returns holds stop-all only for its time limit.
    void shutdownToolIsBounded()
    {
        const RuntimeLayout layout(newRoot(QStringLiteral("hang")));
        writeScript(layout.mysqladminPath(), "exec sleep 600\n");
        QCOMPARE(stopMysql(layout, 1000),
                 QStringLiteral(
                     "MySQL: mysqladmin 超过 1 秒未结束，关闭失败，已强制结束，改为按进程结束"));
        QVERIFY(processesMatching(QStringLiteral("^sleep 600$")).isEmpty());
    }

    void openingPhpMyAdminStartsItAndAppendsTheMismatch()
    {
        qputenv("XDG_CONFIG_HOME", m_dir.filePath(QStringLiteral("config")).toUtf8());
        const QString root = newRoot(QStringLiteral("pma"));
        installForeignPhp(root, QStringLiteral("PHP8.5"));
        installPhp(root, QStringLiteral("PHP8.2"));
        writeFile(root + QStringLiteral("/runtime/phpmyadmin/index.php"), "<?php echo 'pma';");
        auto desktop = std::make_shared<RecordingDesktop>();
        desktop->nextChoice = root;
        PanelViewModel vm(PanelRootResolver(AppLocation()), desktop);
        vm.choosePanelRoot();
        QCOMPARE(vm.tavexPanelRoot(), root);
        desktop->opened.clear();

        vm.openPhpMyAdmin();
        const auto stop = qScopeGuard([&] { stopPhpMyAdmin(RuntimeLayout(root)); });
        // Started in the background; the status and then the mismatch reach the log before the
        // address is opened.
        QTRY_COMPARE(desktop->opened, QList<QUrl>{QUrl(QStringLiteral("http://localhost:900"))});
        QVERIFY(vm.isPhpMyAdminRunning());
        const QString status = vm.logs().section(QStringLiteral("\nPHP CPU"), 0, 0);
        QVERIFY(status.startsWith(QStringLiteral("=== 服务状态 ===\n")));
        QVERIFY(vm.logs().startsWith(status + QStringLiteral("\nPHP CPU 类型不匹配: ") + root +
                                     QStringLiteral("/runtime/php/PHP8.5/bin/php\n")));
        QVERIFY(vm.logs().endsWith(QStringLiteral("x86_64）\n")));
        QTRY_COMPARE(curl({QStringLiteral("http://127.0.0.1:900/")}), QByteArray("pma"));

        // Already running: nothing is started, the log is left alone.
        const QString before = vm.logs();
        vm.openPhpMyAdmin();
        QTRY_COMPARE(desktop->opened.size(), 2);
        QCOMPARE(vm.logs(), before);
    }

    void portProbeFindsTheListener()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::Any));
        QCOMPARE(listeningProcessId(server.serverPort()), std::optional<qint32>(::getpid()));
        QTcpServer server6;
        QVERIFY(server6.listen(QHostAddress::LocalHostIPv6));
        QCOMPARE(listeningProcessId(server6.serverPort()), std::optional<qint32>(::getpid()));
        // The fallback reader finds both in the kernel's tables as well.
        auto table = parseProcNetTcp(readFile(QStringLiteral("/proc/net/tcp")));
        for (const ListeningSocket &s : parseProcNetTcp(readFile(QStringLiteral("/proc/net/tcp6"))))
            table.push_back(s);
        for (const quint16 port : {server.serverPort(), server6.serverPort()})
            QVERIFY(std::any_of(table.cbegin(), table.cend(), [&](const ListeningSocket &s) {
                return s.port == port && !s.inode.isEmpty();
            }));
        // A connection to the listener holds the port too, on both ends, and is no listener;
        // nor is a socket bound to a port without listening.
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server.serverPort());
        QVERIFY(client.waitForConnected(5000) && server.waitForNewConnection(5000));
        QCOMPARE(listeningProcessId(client.localPort()), std::nullopt);
        const int bound = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        QVERIFY(::bind(bound, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                ::getsockname(bound, reinterpret_cast<sockaddr *>(&address), &length) == 0);
        QCOMPARE(listeningProcessId(ntohs(address.sin_port)), std::nullopt);
        ::close(bound);
        const quint16 closed = server.serverPort();
        client.close();
        server.close();
        QCOMPARE(listeningProcessId(closed), std::nullopt);

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
