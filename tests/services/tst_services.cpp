// The service operations on their own: the generated files, PHP discovery, the PHP server launcher
// with real PHP servers on a spare port, PID files that lie, the database kill pattern on roots
// full of regular-expression characters, and the database operations' exact arguments.
#include "TestSupport.h"
#include "model/PanelViewModel.h"
#include "platform/PortProbe.h"
#include "platform/Processes.h"
#include "process/ProcessRunner.h"
#include "services/MysqlService.h"
#include "services/PhpDiscovery.h"
#include "services/PhpMyAdminService.h"
#include "services/PhpServerLauncher.h"
#include "services/StatusProbes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace tavex;
using namespace tavex::test;

namespace {

// A port of our own for the launcher tests, away from the stack's.
const QString kTestPort = QStringLiteral("18731");

// A working PHP: Debian's, under the runtime's name, as the demo runtime does it.
void installPhp(const QString &root, const QString &version)
{
    const QString path = root + QStringLiteral("/runtime/php/") + version + QStringLiteral("/bin/php");
    writeFile(path, "#!/bin/bash\nexec -a \"$0\" /usr/bin/php \"$@\"\n");
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner);
}

void installForeignPhp(const QString &root, const QString &version)
{
    writeForeignExecutable(root + QStringLiteral("/runtime/php/") + version + QStringLiteral("/bin/php"));
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
    void optionFile()
    {
        const QString text = mysqlOptionFileText(QStringLiteral("/p q/根"));
        const QStringList lines = text.split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 13);
        QCOMPARE(lines[3], QString());
        QCOMPARE(lines[6], QString());
        QCOMPARE(lines[8], QStringLiteral("basedir=/p q/根/runtime/mysql/"));
        QCOMPARE(lines[9], QStringLiteral("datadir=/p q/根/runtime/mysql/data/"));
        QVERIFY(text.endsWith(QStringLiteral("collation-server=utf8_unicode_ci")));
    }

    void phpMyAdminConfiguration()
    {
        QCOMPARE(phpMyAdminConfigText().toUtf8().size(), 317);
        QVERIFY(!phpMyAdminConfigText().endsWith(QLatin1Char('\n')));

        // Missing phpMyAdmin: the message names the folder, and nothing is created.
        const QString bare = newRoot();
        QDir(bare + QStringLiteral("/runtime/phpmyadmin")).removeRecursively();
        const RuntimeLayout bareLayout(bare);
        QCOMPARE(startPhpMyAdmin(bareLayout, {}),
                 QStringLiteral("phpMyAdmin: 未找到目录 ") + bare + QStringLiteral("/runtime/phpmyadmin"));
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
        QCOMPARE(lines[2], QStringLiteral("请切换到对应架构的 runtime（Apple Silicon: arm64 / Intel: x86_64）"));
        QVERIFY(phpArchMismatchMessage(path, QStringLiteral("Bad CPU Type in executable")));
        QVERIFY(!phpArchMismatchMessage(path, launchErrorDescription(ENOENT, path)));
        // The words are matched anywhere in the description, the path included.
        const QString archive = QStringLiteral("/home/me/ARCHIVE/runtime/php/PHP8.5/bin/php");
        QVERIFY(phpArchMismatchMessage(archive, launchErrorDescription(ENOENT, archive)));
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
        QCOMPARE(launchPhpServer(layout, server, [&](const QString &m) { mismatches << m; }), QString());
        QCOMPARE(mismatches.size(), 1);
        QVERIFY(mismatches[0].startsWith(QStringLiteral("PHP CPU 类型不匹配: ") + layout.phpDir() +
                                         QStringLiteral("/PHP8.5/bin/php\n")));

        const QByteArray pidText = readFile(server.pidPath);
        QVERIFY(QRegularExpression(QStringLiteral("^[1-9][0-9]*$")).match(QString::fromLatin1(pidText)).hasMatch());
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
        QCOMPARE(launchPhpServer(layout, testServer(layout), [&](const QString &m) { mismatches << m; }),
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
        const QByteArray recorder = "for a in \"$@\"; do printf '%s\\n' \"$a\" >> '" + record.toUtf8() + "'; done\n";
        writeScript(layout.mysqlInstallDbPath(), recorder + "echo 'Installing MariaDB'\necho 'done'\n");
        writeScript(layout.mysqldPath(), recorder);
        const QString cnf = layout.mysqlCnfPath();

        QCOMPARE(ensureMysqlInitialized(layout, cnf), QStringLiteral("Installing MariaDB\ndone\n"));
        QCOMPARE(QString::fromUtf8(readFile(record)),
                 QStringLiteral("--defaults-file=") + cnf + QStringLiteral("\n--initialize-insecure\n"));
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
        QCOMPARE(desktop->opened, QList<QUrl>{QUrl(QStringLiteral("http://localhost:900"))});
        QVERIFY(vm.logs().startsWith(QStringLiteral("=== 服务状态 ===\n")));
        QVERIFY(vm.isPhpMyAdminRunning());
        // The mismatch reaches the log through the view model's queue, appended to the status.
        const QString status = vm.logs();
        QTRY_VERIFY(vm.logs() != status);
        QVERIFY(vm.logs().startsWith(status + QStringLiteral("\nPHP CPU 类型不匹配: ") + root +
                                     QStringLiteral("/runtime/php/PHP8.5/bin/php\n")));
        QVERIFY(vm.logs().endsWith(QStringLiteral("x86_64）\n")));
        QTRY_COMPARE(curl({QStringLiteral("http://127.0.0.1:900/")}), QByteArray("pma"));

        // Already running: nothing is started, the log is left alone.
        const QString before = vm.logs();
        vm.openPhpMyAdmin();
        QCOMPARE(vm.logs(), before);
        QCOMPARE(desktop->opened.size(), 2);
    }

    void portProbeFindsTheListener()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::Any));
        QCOMPARE(listeningProcessId(server.serverPort()), std::optional<qint32>(::getpid()));
        QTcpServer server6;
        QVERIFY(server6.listen(QHostAddress::LocalHostIPv6));
        QCOMPARE(listeningProcessId(server6.serverPort()), std::optional<qint32>(::getpid()));
        const quint16 closed = server.serverPort();
        server.close();
        QCOMPARE(listeningProcessId(closed), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(TestServices)
#include "tst_services.moc"
