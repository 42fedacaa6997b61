// The whole stack for real: the panel program, installed from its shipped demo runtime under a
// path with a space and Chinese characters, starts MariaDB, the site and phpMyAdmin, reports
// truthfully and stops them again. Holds the fixed ports 3306, 8000 and 900 while it runs.
#include "ContentView.h"
#include "IconButton.h"
#include "TestSupport.h"
#include "model/PanelViewModel.h"
#include "platform/PortProbe.h"
#include "platform/Processes.h"
#include "services/MysqlService.h"
#include "services/StopWait.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <pwd.h>
#include <unistd.h>

using namespace tavex::test;

namespace {

struct PanelRun
{
    int exitCode = -1;
    QString out;
    QString err;
};

QString statusBlock(bool mysql, bool web, bool phpMyAdmin, const QString &root)
{
    const auto s = [](bool on) { return on ? QStringLiteral("运行中") : QStringLiteral("已停止"); };
    return QStringLiteral("=== 服务状态 ===\nMySQL: %1\nPHP Web: %2\nMySQL Web: %3\n目录: %4\n")
        .arg(s(mysql), s(web), s(phpMyAdmin), root);
}

} // namespace

class TestStack : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_base;
    QString m_root;
    QString m_program;

    QProcessEnvironment panelEnvironment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir.filePath(QStringLiteral("config")));
        return env;
    }

    // Processes run from this root's runtime (the database, the PHP servers).
    QList<qint64> serversOfTheRoot() const
    {
        QList<qint64> pids;
        for (qint64 pid : tavex::processesMatching(
                 tavex::escapeExtendedRegex(m_root + QStringLiteral("/runtime/")))) {
            if (tavex::processIsAlive(pid))
                pids << pid;
        }
        return pids;
    }

    // Runs SQL as root over TCP; the output without column names, or absent on failure.
    static std::optional<QString> sql(const QString &statements)
    {
        QProcess client;
        client.start(QStringLiteral("/usr/bin/mariadb"),
                     {QStringLiteral("--no-defaults"), QStringLiteral("--protocol=TCP"),
                      QStringLiteral("-h127.0.0.1"), QStringLiteral("-P3306"),
                      QStringLiteral("-uroot"), QStringLiteral("-pkelp"), QStringLiteral("-N"),
                      QStringLiteral("-B"), QStringLiteral("-e"), statements});
        if (!client.waitForFinished(30000) || client.exitCode() != 0)
            return std::nullopt;
        return QString::fromUtf8(client.readAllStandardOutput());
    }

    // Servers of this root that nothing the panel knows names: not on the three ports. The
    // database's wrapper may still be polling its server for a moment after the panel is done.
    QList<qint64> strayServers() const
    {
        [[maybe_unused]] const bool settled =
            QTest::qWaitFor([this] { return rawStrayServers().isEmpty(); }, 25000);
        return rawStrayServers();
    }

    QList<qint64> rawStrayServers() const
    {
        QList<qint64> strays = serversOfTheRoot();
        for (quint16 port : {3306, 8000, 900}) {
            if (const auto pid = tavex::listeningProcessId(port))
                strays.removeAll(*pid);
        }
        // A PHP copy with a capability for port 900 hides its descriptors even from its own
        // user: its PID file names it.
        for (const QString &name :
             {QStringLiteral("php-web.pid"), QStringLiteral("phpmyadmin.pid")})
            strays.removeAll(readFile(m_root + QStringLiteral("/runtime/config/") + name)
                                 .trimmed()
                                 .toLongLong());
        return strays;
    }

    static QString described(const QList<qint64> &pids)
    {
        QString text;
        for (qint64 pid : pids)
            text += QString::number(pid) + QLatin1Char(' ') +
                    QString::fromLocal8Bit(
                        readFile(QStringLiteral("/proc/%1/cmdline").arg(pid)).replace('\0', ' ')) +
                    QLatin1Char('\n');
        return text;
    }

    static int countFromEnvironment(const char *name, int fallback)
    {
        const int value = qEnvironmentVariableIntValue(name);
        return value > 0 ? value : fallback;
    }

    // The open descriptors and resident memory (KB) of this process.
    static std::pair<int, qint64> footprint()
    {
        const int fds = int(QDir(QStringLiteral("/proc/self/fd"))
                                .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                                .size());
        const QString status = QString::fromLatin1(readFile(QStringLiteral("/proc/self/status")));
        const auto rss = QRegularExpression(QStringLiteral("VmRSS:\\s+(\\d+)")).match(status);
        return {fds, rss.captured(1).toLongLong()};
    }

    PanelRun panel(const QStringList &args)
    {
        QProcess process;
        process.setProcessEnvironment(panelEnvironment());
        process.start(m_program, args);
        PanelRun run;
        if (!process.waitForFinished(300000)) {
            process.kill();
            process.waitForFinished();
            return run;
        }
        run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.out = QString::fromUtf8(process.readAllStandardOutput());
        run.err = QString::fromUtf8(process.readAllStandardError());
        return run;
    }

    QString startResultBlock(const QStringList &entries, const QString &php) const
    {
        QString block = QStringLiteral("=== 启动完成 ===\n");
        for (const QString &entry : entries)
            block += entry + QLatin1Char('\n');
        return block +
               QStringLiteral("\n网站: http://localhost:8000\nphpMyAdmin: http://localhost:900\n"
                              "MySQL: localhost:3306\nPHP: ") +
               php + QStringLiteral("\n目录: ") + m_root + QLatin1Char('\n');
    }

    QString demoPhp() const { return m_root + QStringLiteral("/runtime/php/PHP8.2/bin/php"); }

    void verifyStackServes()
    {
        // The MariaDB greeting: protocol 10 and the server's name. The server detaches at once
        // and needs a moment before it greets.
        QTRY_VERIFY_WITH_TIMEOUT(mysqlGreeting().size() > 5, 30000);
        const QByteArray greeting = mysqlGreeting();
        QCOMPARE(int(greeting.at(4)), 10);
        QVERIFY(greeting.contains("MariaDB"));

        // The demo site answers from the database.
        QVERIFY(QString::fromUtf8(curl({QStringLiteral("http://127.0.0.1:8000/")}))
                    .contains(QStringLiteral("数据库连接成功")));

        // phpMyAdmin shows its login page and accepts root / kelp.
        const QString jar = m_dir.filePath(QStringLiteral("cookies-%1.txt").arg(qrand()));
        const QStringList cookies = {QStringLiteral("-c"), jar, QStringLiteral("-b"), jar};
        const QByteArray login =
            curl(cookies + QStringList{QStringLiteral("http://127.0.0.1:900/index.php")});
        QVERIFY(login.contains("name=\"pma_username\""));
        const auto token = QRegularExpression(QStringLiteral("name=\"token\" value=\"([^\"]*)\""))
                               .match(QString::fromUtf8(login));
        QVERIFY(token.hasMatch());
        const QByteArray after = curl(
            cookies +
            QStringList{QStringLiteral("-L"), QStringLiteral("--data-urlencode"),
                        QStringLiteral("pma_username=root"), QStringLiteral("--data-urlencode"),
                        QStringLiteral("pma_password=kelp"), QStringLiteral("--data-urlencode"),
                        QStringLiteral("server=1"), QStringLiteral("--data-urlencode"),
                        QStringLiteral("token=") + token.captured(1),
                        QStringLiteral("--data-urlencode"), QStringLiteral("route=/"),
                        QStringLiteral("http://127.0.0.1:900/index.php")});
        QVERIFY(after.contains("route=/logout"));
        QVERIFY(!after.contains("name=\"pma_username\""));
    }

    static QByteArray mysqlGreeting()
    {
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), 3306);
        if (!socket.waitForConnected(2000) || !socket.waitForReadyRead(2000))
            return {};
        return socket.readAll();
    }

    static QString userOfThisProcess()
    {
        return QString::fromLocal8Bit(::getpwuid(::geteuid())->pw_name);
    }

    static int qrand()
    {
        static int n = 0;
        return ++n;
    }

private Q_SLOTS:
    void initTestCase()
    {
        for (quint16 port : {3306, 8000, 900})
            QVERIFY2(!portAnswers(port), qPrintable(QStringLiteral("port %1 is taken").arg(port)));
        // The program in its prefix, with the demo runtime as its shipped runtime; the first run
        // installs it beside the prefix as <base>/Tavex-panel.
        m_base = m_dir.filePath(QStringLiteral("面板 测试"));
        m_root = m_base + QStringLiteral("/Tavex-panel");
        m_program = m_base + QStringLiteral("/tavex/bin/tavex-panel");
        const QString resources = m_base + QStringLiteral("/tavex/share/tavex-panel");
        QVERIFY(QDir().mkpath(QFileInfo(m_program).absolutePath()));
        QVERIFY(QDir().mkpath(resources));
        QVERIFY(QFile::copy(QStringLiteral(TAVEX_PANEL_PROGRAM), m_program));
        QProcess copy;
        copy.start(QStringLiteral("cp"),
                   {QStringLiteral("-a"), QStringLiteral(TAVEX_SHIPPED_RUNTIME), resources});
        QVERIFY(copy.waitForFinished(120000));
        QCOMPARE(copy.exitCode(), 0);
    }

    void firstStartInstallsAndBringsUpTheStack()
    {
        const PanelRun start = panel({QStringLiteral("start-all")});
        QVERIFY2(start.exitCode == 0, qPrintable(start.out + start.err));
        QVERIFY(QFileInfo::exists(m_root + QStringLiteral("/runtime/mysql/data/mysql")));
        // Every block on the way went to standard error, the result alone to standard output.
        QVERIFY(
            start.err.startsWith(QStringLiteral("=== 启动中 ===\n正在准备目录和服务...\n目录: ") +
                                 m_root + QLatin1Char('\n')));
        QVERIFY(start.err.contains(QStringLiteral("\n正在启动 MySQL...\n目录: ") + m_root));
        QVERIFY(start.err.contains(QStringLiteral("\n正在启动 phpMyAdmin...\n目录: ") + m_root));
        QVERIFY(start.out.startsWith(QStringLiteral("=== 启动完成 ===\n")));
        QVERIFY(start.out.endsWith(
            QStringLiteral("\n\n网站: http://localhost:8000\nphpMyAdmin: http://localhost:900\n"
                           "MySQL: localhost:3306\nPHP: ") +
            demoPhp() + QStringLiteral("\n目录: ") + m_root + QLatin1Char('\n')));
        verifyStackServes();

        const PanelRun status = panel({QStringLiteral("status")});
        QCOMPARE(status.out, statusBlock(true, true, true, m_root));
        QCOMPARE(status.exitCode, 0);
    }

    void stopAllBringsEverythingDown()
    {
        const PanelRun stop = panel({QStringLiteral("stop-all")});
        QCOMPARE(stop.out, QStringLiteral("=== 停止完成 ===\n"));
        QCOMPARE(stop.exitCode, 0);
        QVERIFY(!QFileInfo::exists(m_root + QStringLiteral("/runtime/config/php-web.pid")));
        QVERIFY(!QFileInfo::exists(m_root + QStringLiteral("/runtime/config/phpmyadmin.pid")));
        for (quint16 port : {3306, 8000, 900})
            QVERIFY(!portAnswers(port));
        const PanelRun status = panel({QStringLiteral("status")});
        QCOMPARE(status.out, statusBlock(false, false, false, m_root));
        QCOMPARE(status.exitCode, 3);
    }

    void secondStartGivesTheBareResultBlock()
    {
        const PanelRun start = panel({QStringLiteral("start-all")});
        QCOMPARE(start.out, startResultBlock({}, demoPhp()));
        QCOMPARE(start.exitCode, 0);
        verifyStackServes();
        // Starting again while everything runs replaces the servers and leaves all running.
        const PanelRun again = panel({QStringLiteral("start-all")});
        QCOMPARE(again.out, startResultBlock({}, demoPhp()));
        QCOMPARE(panel({QStringLiteral("status")}).out, statusBlock(true, true, true, m_root));
        verifyStackServes();
    }

    void noPhpProgram()
    {
        const QString php = demoPhp();
        const QFileDevice::Permissions permissions = QFile::permissions(php);
        QVERIFY(QFile::setPermissions(php, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        const PanelRun start = panel({QStringLiteral("start-all")});
        QFile::setPermissions(php, permissions);
        QCOMPARE(start.out,
                 startResultBlock({QStringLiteral("PHP Web: 未找到可执行的 PHP"),
                                   QStringLiteral("phpMyAdmin: 未找到可执行的 PHP")},
                                  m_root + QStringLiteral("/runtime/php/PHP8.5/bin/php")));
        QCOMPARE(panel({QStringLiteral("status")}).out, statusBlock(true, false, false, m_root));
    }

    // Two start-alls at once, then a stop-all, again and again: one database at a time, nothing
    // left running afterwards, and the data written before intact.
    void concurrentStartAllsThenStopAll()
    {
        QCOMPARE(panel({QStringLiteral("start-all")}).exitCode, 0);
        // The server detaches at once and may need a moment before it takes a login.
        QTRY_VERIFY_WITH_TIMEOUT(
            sql(QStringLiteral("CREATE DATABASE IF NOT EXISTS keep; CREATE TABLE IF NOT EXISTS "
                               "keep.t (v VARCHAR(20)); DELETE FROM keep.t; INSERT INTO keep.t "
                               "VALUES ('订单 42');"))
                .has_value(),
            30000);

        const int rounds = qEnvironmentVariableIntValue("TAVEX_STRESS_ROUNDS") > 0
                               ? qEnvironmentVariableIntValue("TAVEX_STRESS_ROUNDS")
                               : 20;
        for (int round = 0; round < rounds; ++round) {
            QProcess first;
            QProcess second;
            for (QProcess *p : {&first, &second}) {
                p->setProcessEnvironment(panelEnvironment());
                p->start(m_program, {QStringLiteral("start-all")});
            }
            for (QProcess *p : {&first, &second}) {
                QVERIFY(p->waitForFinished(300000));
                QVERIFY2(p->exitCode() == 0, p->readAllStandardOutput().constData());
            }
            QCOMPARE(panel({QStringLiteral("status")}).out, statusBlock(true, true, true, m_root));
            QCOMPARE(panel({QStringLiteral("stop-all")}).exitCode, 0);
            for (quint16 port : {3306, 8000, 900})
                QVERIFY2(!portAnswers(port),
                         qPrintable(QStringLiteral("round %1: %2 answers").arg(round).arg(port)));
            QCOMPARE(serversOfTheRoot(), QList<qint64>());
        }

        QCOMPARE(panel({QStringLiteral("start-all")}).exitCode, 0);
        QTRY_COMPARE_WITH_TIMEOUT(sql(QStringLiteral("SELECT v FROM keep.t")),
                                  std::optional<QString>(QStringLiteral("订单 42\n")), 30000);
    }

    // A full disk during each step that writes, and a folder that turns read-only: the step says
    // so in the result block, the others go on, and no file is left half-written. Each run has
    // its own mount namespace with a small tmpfs (or an overlay whose upper layer is one) over
    // the folder the step writes to; the folder itself is never changed.
    void faultsOfTheDisk_data()
    {
        QTest::addColumn<QString>("folder"); // under runtime/, where the fault is mounted
        QTest::addColumn<QString>("mount");  // "full" tmpfs, "overlay" on a full tmpfs, "ro"
        QTest::addColumn<QString>("file");   // the file the step writes, under runtime/
        QTest::addColumn<QString>("line");   // the start of the result line
        QTest::newRow("option file") << "mysql"
                                     << "overlay"
                                     << "mysql/my_runtime.cnf"
                                     << "MySQL: 磁盘空间不足，可用 0 B，无法写入 ";
        QTest::newRow("PID file") << "config"
                                  << "full"
                                  << "config/php-web.pid"
                                  << "PHP Web: 磁盘空间不足，可用 0 B，无法写入 ";
        QTest::newRow("database's start") << "mysql/data"
                                          << "overlay"
                                          << ""
                                          << "MySQL: 磁盘空间不足，可用 0 B，数据目录: ";
        QTest::newRow("phpMyAdmin configuration")
            << "phpmyadmin"
            << "overlay"
            << "phpmyadmin/config.inc.php"
            << "phpMyAdmin: 磁盘空间不足，可用 0 B，无法写入 ";
        QTest::newRow("read-only config") << "config"
                                          << "ro"
                                          << "config/php-web.pid"
                                          << "PHP Web: 文件系统为只读，无法写入 ";
    }

    void faultsOfTheDisk()
    {
        QFETCH(QString, folder);
        QFETCH(QString, mount);
        QFETCH(QString, file);
        QFETCH(QString, line);
        if (::geteuid() != 0)
            QSKIP("mounting a small tmpfs in a mount namespace needs root");
        if (QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty())
            QSKIP("unshare is not installed");
        QCOMPARE(panel({QStringLiteral("stop-all")}).exitCode, 0);
        auto cleanup = qScopeGuard([&] { panel({QStringLiteral("stop-all")}); });

        const QString runtime = m_root + QStringLiteral("/runtime/");
        // The step writes its file only when it is missing, or anew each time.
        if (!file.isEmpty())
            QFile::remove(runtime + file);
        const QString disk = m_dir.filePath(QStringLiteral("disk-%1").arg(qrand()));
        const QString seen = disk + QStringLiteral(".seen");
        QVERIFY(QDir().mkpath(disk));
        const QString target = runtime + folder;
        QString faults;
        if (mount == QLatin1String("ro"))
            faults =
                QStringLiteral("mount --bind \"$2\" \"$2\" && mount -o remount,bind,ro \"$2\"");
        else
            faults =
                QStringLiteral("mount -t tmpfs -o size=256k tmpfs \"$1\" && ") +
                (mount == QLatin1String("overlay")
                     ? QStringLiteral("mkdir \"$1/up\" \"$1/work\" && mount -t overlay overlay "
                                      "-o \"lowerdir=$2,upperdir=$1/up,workdir=$1/work\" "
                                      "\"$2\" && ")
                     : QStringLiteral("mount -t tmpfs -o size=256k tmpfs \"$2\" && ")) +
                QStringLiteral("{ dd if=/dev/zero of=\"$1/filler\" bs=4096 2>/dev/null; "
                               "[ \"$1\" = \"$2\" ] || dd if=/dev/zero of=\"$2/filler\" "
                               "bs=4096 2>/dev/null; true; }");
        // 99: the faults could not be set up here. What the folder holds afterwards is listed
        // from inside, where the fault is still mounted.
        const QString script =
            QStringLiteral("%1 || exit 99\n\"$3\" start-all\nrc=$?\n"
                           "ls -A \"$2\" > \"$4\"\n"
                           "[ -z \"$5\" ] || cat \"$5\" >> \"$4.file\" 2>/dev/null\n"
                           "exit $rc\n")
                .arg(faults);
        QProcess run;
        run.setProcessEnvironment(panelEnvironment());
        run.start(QStringLiteral("unshare"),
                  {QStringLiteral("-m"), QStringLiteral("--propagation"), QStringLiteral("private"),
                   QStringLiteral("sh"), QStringLiteral("-c"), script, QStringLiteral("sh"), disk,
                   target, m_program, seen, file.isEmpty() ? QString() : runtime + file});
        QVERIFY(run.waitForFinished(300000));
        const QString out = QString::fromUtf8(run.readAllStandardOutput());
        const QString err = QString::fromUtf8(run.readAllStandardError());
        if (run.exitCode() == 99)
            QSKIP(qPrintable(QStringLiteral("no tmpfs or overlay in a mount namespace here: ") +
                             err));
        QVERIFY2(run.exitCode() == 1, qPrintable(out + err.right(600)));
        // The result block names the step that failed and why.
        QVERIFY2(out.startsWith(QStringLiteral("=== 启动完成 ===\n")), qPrintable(out + err));
        QVERIFY2((out + err).contains(QLatin1Char('\n') + line), qPrintable(out + err));
        // Nothing half-written: no temporary file left, and the step's file either missing or
        // whole.
        const QString left = QString::fromUtf8(readFile(seen));
        QVERIFY2(!left.contains(QStringLiteral(".tmp-")), qPrintable(left));
        if (!file.isEmpty()) {
            const QByteArray content = readFile(seen + QStringLiteral(".file"));
            QVERIFY2(content.isEmpty(), content.constData());
        }
        cleanup.dismiss();
        QCOMPARE(panel({QStringLiteral("stop-all")}).exitCode, 0);
        // Afterwards the same root starts as before, its data intact.
        QCOMPARE(panel({QStringLiteral("start-all")}).exitCode, 0);
        QVERIFY2(strayServers().isEmpty(), qPrintable(described(strayServers())));
        QTRY_COMPARE_WITH_TIMEOUT(sql(QStringLiteral("SELECT v FROM keep.t")),
                                  std::optional<QString>(QStringLiteral("订单 42\n")), 30000);
    }

    // The panel killed at random moments of start-all and of stop-all: the next run of the same
    // command brings the stack where it was asked, and no server is left that nothing names.
    void killedPanelThenTheSameCommand()
    {
        const int rounds = countFromEnvironment("TAVEX_KILL_ROUNDS", 20);
        const quint32 seed = 20261207;
        qInfo("seed %u, %d rounds", seed, rounds);
        QRandomGenerator random(seed);
        for (int round = 0; round < rounds; ++round) {
            for (const QString &command :
                 {QStringLiteral("start-all"), QStringLiteral("stop-all")}) {
                const bool start = command == QLatin1String("start-all");
                QProcess killed;
                killed.setProcessEnvironment(panelEnvironment());
                killed.start(m_program, {command});
                QVERIFY(killed.waitForStarted());
                const int delay = int(random.bounded(start ? 2500 : 1200));
                QTest::qWait(delay);
                killed.kill();
                killed.waitForFinished();

                const PanelRun next = panel({command});
                const QString where = QStringLiteral("round %1, %2 killed after %3 ms: ")
                                          .arg(round)
                                          .arg(command)
                                          .arg(delay);
                QVERIFY2(next.exitCode == 0, qPrintable(where + next.out + next.err));
                QCOMPARE(panel({QStringLiteral("status")}).out,
                         statusBlock(start, start, start, m_root));
                if (start)
                    QTRY_VERIFY_WITH_TIMEOUT(mysqlGreeting().size() > 5, 30000);
                QVERIFY2(strayServers().isEmpty(), qPrintable(where + described(strayServers())));
                if (!start)
                    QCOMPARE(serversOfTheRoot(), QList<qint64>());
            }
        }
        QCOMPARE(serversOfTheRoot(), QList<qint64>());
    }

    // MariaDB killed behind the panel's back while it refreshes: the status says so at the next
    // refresh, and start-all brings the database back with its data.
    void databaseKilledWhileTheStatusIsRefreshed()
    {
        QCOMPARE(panel({QStringLiteral("start-all")}).exitCode, 0);
        QTRY_VERIFY_WITH_TIMEOUT(
            sql(QStringLiteral("CREATE DATABASE IF NOT EXISTS keep; CREATE TABLE IF NOT EXISTS "
                               "keep.killed (v VARCHAR(20)); DELETE FROM keep.killed; INSERT INTO "
                               "keep.killed VALUES ('发货 7');"))
                .has_value(),
            30000);
        tavex::PanelViewModel vm(
            tavex::PanelRootResolver(tavex::AppLocation::forExecutable(m_program)), nullptr);
        QTimer refresh;
        refresh.setInterval(200);
        QObject::connect(&refresh, &QTimer::timeout, &vm, &tavex::PanelViewModel::refreshStatus);
        vm.refreshStatus();
        QVERIFY(vm.status().mysqlRunning);
        refresh.start();
        const QList<qint64> database = tavex::processesMatching(tavex::mysqlKillPattern(m_root));
        QVERIFY(!database.isEmpty());
        for (qint64 pid : database)
            ::kill(pid_t(pid), SIGKILL);
        // One refresh (200 ms) and the time the kernel takes to reap the server.
        QTRY_VERIFY_WITH_TIMEOUT(!vm.status().mysqlRunning, 1000);
        QVERIFY(vm.logs().contains(QStringLiteral("MySQL: 已停止")));
        refresh.stop();

        const PanelRun start = panel({QStringLiteral("start-all")});
        QVERIFY2(start.exitCode == 0, qPrintable(start.out + start.err));
        QTRY_COMPARE_WITH_TIMEOUT(sql(QStringLiteral("SELECT v FROM keep.killed")),
                                  std::optional<QString>(QStringLiteral("发货 7\n")), 30000);
        QVERIFY2(strayServers().isEmpty(), qPrintable(described(strayServers())));
    }

    // Many start-all / stop-all cycles, through the window's buttons and through the headless
    // commands: nothing left running, the window's process keeps its descriptors and memory, and
    // the data written before reads back the same.
    void manyCycles_data()
    {
        QTest::addColumn<bool>("window");
        QTest::newRow("window") << true;
        QTest::newRow("headless") << false;
    }

    void manyCycles()
    {
        QFETCH(bool, window);
        const int cycles = countFromEnvironment("TAVEX_LOAD_CYCLES", 50);
        QCOMPARE(panel({QStringLiteral("start-all")}).exitCode, 0);
        QTRY_VERIFY_WITH_TIMEOUT(
            sql(QStringLiteral("CREATE DATABASE IF NOT EXISTS keep; CREATE TABLE IF NOT EXISTS "
                               "keep.load (v VARCHAR(20)); DELETE FROM keep.load; INSERT INTO "
                               "keep.load VALUES ('库存 300');"))
                .has_value(),
            30000);

        std::unique_ptr<tavex::ui::ContentView> view;
        const auto press = [&](const char *key) {
            QSignalSpy finished(view->viewModel(), &tavex::PanelViewModel::sequenceFinished);
            auto *button = view->findChild<tavex::ui::IconButton *>(QString::fromLatin1(key));
            QTRY_VERIFY_WITH_TIMEOUT(button && button->isEnabled(), 30000);
            button->click();
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 120000);
            QVERIFY2(finished.first().first().toBool(), qPrintable(view->viewModel()->logs()));
        };
        const auto cycle = [&] {
            if (window) {
                press("action.start_all");
                QVERIFY2(view->viewModel()->errorSummary().isEmpty(),
                         qPrintable(view->viewModel()->logs()));
                // The reasons describe the state at the end, not a server still starting.
                QVERIFY2(view->viewModel()->serviceReasons() == QStringList(3, QString()),
                         qPrintable(view->viewModel()->serviceReasons().join('|')));
                press("action.stop_all");
            } else {
                const PanelRun start = panel({QStringLiteral("start-all")});
                QVERIFY2(start.exitCode == 0, qPrintable(start.out + start.err));
                QCOMPARE(panel({QStringLiteral("stop-all")}).exitCode, 0);
            }
        };
        if (window) {
            view = std::make_unique<tavex::ui::ContentView>(
                tavex::PanelRootResolver(tavex::AppLocation::forExecutable(m_program)), nullptr);
            view->show();
            QVERIFY(QTest::qWaitForWindowExposed(view.get()));
        }
        cycle(); // warm-up: the first run allocates what later runs reuse
        if (QTest::currentTestFailed())
            return;
        const auto before = footprint();
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < cycles && !QTest::currentTestFailed(); ++i)
            cycle();
        if (QTest::currentTestFailed())
            return;
        const auto after = footprint();
        qInfo("%d cycles in %lld ms; fds %d -> %d, VmRSS %lld KB -> %lld KB", cycles,
              timer.elapsed(), before.first, after.first, before.second, after.second);
        for (quint16 port : {3306, 8000, 900})
            QVERIFY(!portAnswers(port));
        QCOMPARE(serversOfTheRoot(), QList<qint64>());
        if (window) {
            QVERIFY2(qAbs(after.first - before.first) <= 2, "open descriptors grew");
#ifndef __SANITIZE_ADDRESS__
            // AddressSanitizer keeps freed memory in quarantine: resident memory says nothing
            // there, and LeakSanitizer checks leaks at exit instead.
            QVERIFY2(after.second - before.second < 20 * 1024, "resident memory grew");
#endif
        }
        view.reset();
        QCOMPARE(panel({QStringLiteral("start-all")}).exitCode, 0);
        QTRY_COMPARE_WITH_TIMEOUT(sql(QStringLiteral("SELECT v FROM keep.load")),
                                  std::optional<QString>(QStringLiteral("库存 300\n")), 30000);
    }

    // The runtime's database programs never fall back to the system's data: without a readable
    // option file of their own they refuse to run.
    void demoWrappersRefuseWithoutTheirOptionFile()
    {
        QCOMPARE(panel({QStringLiteral("stop-all")}).exitCode, 0);
        const QString bin = m_root + QStringLiteral("/runtime/mysql/bin/");
        const QString folder = m_dir.filePath(QStringLiteral("not-a-file.cnf"));
        QDir().mkpath(folder);
        for (const QString &program :
             {QStringLiteral("mysqld"), QStringLiteral("mysql_install_db")}) {
            for (const QStringList &args : {QStringList{QStringLiteral("--defaults-file=") + folder,
                                                        QStringLiteral("--daemonize")},
                                            QStringList{QStringLiteral("--defaults-file=") +
                                                        folder + QStringLiteral("/missing")},
                                            QStringList{}}) {
                QProcess wrapper;
                wrapper.start(bin + program, args);
                QVERIFY(wrapper.waitForFinished(30000));
                QVERIFY2(wrapper.exitCode() != 0,
                         qPrintable(program + args.join(QLatin1Char(' '))));
                QVERIFY(wrapper.readAllStandardError().contains("refusing"));
            }
        }
        QVERIFY(!portAnswers(3306));
        QCOMPARE(serversOfTheRoot(), QList<qint64>());
    }

    // Why a service does not run as started: a port held by another program, a PHP program that
    // dies at once, a PID file that names an unrelated process. The view model's reasons, the
    // headless commands and the doctor report all name the cause.
    void reasonsForServicesThatDoNotRun_data()
    {
        QTest::addColumn<QString>("cause");
        QTest::addColumn<int>("service");     // 0 MySQL, 1 PHP Web, 2 phpMyAdmin
        QTest::addColumn<QString>("reason");  // %1: the PID of the test's own process, %2: its user
        QTest::addColumn<QString>("command"); // the headless command that must fail with it
        // The start of the line that the view model's start-all gives for the service; empty: no
        // start-all through the view model.
        QTest::addColumn<QString>("entry");
        QTest::newRow("site's port")
            << "listen 8000" << 1 << "端口 8000 已被 python3（PID %1，用户 %2）占用"
            << "start-all"
            << "PHP Web: 启动失败: Failed to listen on 0.0.0.0:8000";
        QTest::newRow("phpMyAdmin's port")
            << "listen 900" << 2 << "端口 900 已被 python3（PID %1，用户 %2）占用"
            << "start-all"
            << "phpMyAdmin: 启动失败: Failed to listen on 0.0.0.0:900";
        QTest::newRow("database's port")
            << "listen 3306" << 0
            << "端口 3306 已被 python3（PID %1，用户 %2）占用，不是本目录的 MySQL"
            << "start-all"
            << "";
        QTest::newRow("PHP that dies at once") << "broken php" << 1 << "PHP 已损坏：无法加载扩展"
                                               << "start-all"
                                               << "PHP Web: 启动失败: PHP 已损坏：无法加载扩展";
        QTest::newRow("PID file of another program")
            << "foreign pid" << 1 << "PID 文件记录的进程 %1（sleep）不是 PHP Web 的 PHP 服务器"
            << ""
            << "";
    }

    void reasonsForServicesThatDoNotRun()
    {
        QFETCH(QString, cause);
        QFETCH(int, service);
        QFETCH(QString, reason);
        QFETCH(QString, command);
        QFETCH(QString, entry);
        QCOMPARE(panel({QStringLiteral("stop-all")}).exitCode, 0);

        QProcess other;
        const QString php = demoPhp();
        const QByteArray demoWrapper = readFile(php);
        const auto restore = qScopeGuard([&] {
            writeFile(php, demoWrapper);
            other.kill();
            other.waitForFinished();
        });
        if (cause.startsWith(QLatin1String("listen "))) {
            const QString port = cause.mid(7);
            if (port.toInt() < 1024 && ::geteuid() != 0)
                QSKIP("an ordinary user's Python may not listen on a port below 1024");
            other.start(QStringLiteral("python3"),
                        {QStringLiteral("-c"),
                         QStringLiteral("import socket,time\ns=socket.socket()\n"
                                        "s.setsockopt(socket.SOL_SOCKET,socket.SO_REUSEADDR,1)\n"
                                        "s.bind(('0.0.0.0',%1))\ns.listen(64)\ntime.sleep(600)")
                             .arg(port)});
            QVERIFY(other.waitForStarted());
            QTRY_VERIFY_WITH_TIMEOUT(portAnswers(port.toUShort()), 10000);
        } else if (cause == QLatin1String("broken php")) {
            writeFile(php, "#!/bin/sh\necho 'PHP 已损坏：无法加载扩展' >&2\nexit 1\n");
        } else {
            other.start(QStringLiteral("sleep"), {QStringLiteral("600")});
            QVERIFY(other.waitForStarted());
            writeFile(m_root + QStringLiteral("/runtime/config/php-web.pid"),
                      QByteArray::number(other.processId()));
        }
        const QString expected =
            QString(reason)
                .replace(QStringLiteral("%1"), QString::number(other.processId()))
                .replace(QStringLiteral("%2"), userOfThisProcess());
        const QString label = QStringList{QStringLiteral("MySQL"), QStringLiteral("PHP Web"),
                                          QStringLiteral("phpMyAdmin")}[service];

        if (!command.isEmpty()) {
            const PanelRun run = panel({command});
            QCOMPARE(run.exitCode, 1);
            QVERIFY2(run.err.contains(QLatin1Char('\n') + label + QStringLiteral(": ") + expected +
                                      QLatin1Char('\n')),
                     qPrintable(run.err.right(600)));
        }
        tavex::PanelViewModel vm(
            tavex::PanelRootResolver(tavex::AppLocation::forExecutable(m_program)), nullptr);
        if (!entry.isEmpty()) {
            // A server that cannot listen ends at once: the result block and the error summary
            // say so, and the status, read after the wait, has it stopped.
            QSignalSpy finished(&vm, &tavex::PanelViewModel::sequenceFinished);
            vm.startAll();
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 120000);
            QCOMPARE(finished.first().first().toBool(), false);
            QVERIFY2(vm.logs().contains(QLatin1Char('\n') + entry), qPrintable(vm.logs()));
            QVERIFY2(vm.errorSummary().contains(entry), qPrintable(vm.errorSummary()));
            const tavex::ServiceStatus status = vm.status();
            const QList<bool> running = {status.mysqlRunning, status.phpWebRunning,
                                         status.phpMyAdminRunning};
            QVERIFY(!running[service]);
        }
        // A PID file of another program says so; what the log says of an earlier start may follow.
        QTRY_VERIFY_WITH_TIMEOUT(
            (vm.refreshStatus(), vm.serviceReasons().value(service).startsWith(expected)), 10000);
        for (int other = 0; other < 3; ++other) {
            // A held port is the one cause; a broken PHP breaks both servers and stays in their
            // logs.
            if (other != service && cause.startsWith(QLatin1String("listen ")))
                QVERIFY2(vm.serviceReasons().value(other).isEmpty(),
                         qPrintable(vm.serviceReasons().join('|')));
        }
        const PanelRun doctor = panel({QStringLiteral("doctor")});
        QCOMPARE(doctor.exitCode, 1);
        QVERIFY2(doctor.out.contains(QStringLiteral("[问题] ") + label + QStringLiteral(": ") +
                                     expected),
                 qPrintable(doctor.out));
        QCOMPARE(panel({QStringLiteral("stop-all")}).exitCode,
                 cause == QLatin1String("listen 3306") ? 1 : 0);
        // The other program is left alone.
        if (cause.startsWith(QLatin1String("listen ")))
            QCOMPARE(other.state(), QProcess::Running);
    }

    void cleanupTestCase()
    {
        if (m_program.isEmpty())
            return;
        panel({QStringLiteral("stop-all")});
        for (quint16 port : {3306, 8000, 900})
            QVERIFY(!portAnswers(port));
    }
};

int main(int argc, char *argv[])
{
    // The window's cycles need a platform; the unprivileged run has no display either.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestStack test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_stack.moc"
