// The whole stack for real, installed under a path with a space and Chinese characters. Holds the
// fixed ports 3306, 8000 and 900 while it runs.
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
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
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
using namespace Qt::StringLiterals;

namespace {

bool anyPortAnswers()
{
    return portAnswers(3306) || portAnswers(8000) || portAnswers(900);
}

// $1 the mount, $2 the disk, $3 the folder, $4 the program, $5 the folder's listing (made where
// the fault is mounted), $6 the step's file; 99: no faults here.
const char kFaultScript[] = R"(t="mount -t tmpfs -o size=256k tmpfs"
case $1 in
ro) mount --bind "$3" "$3" && mount -o remount,bind,ro "$3" ;;
full) $t "$2" && $t "$3" ;;
*) $t "$2" && mkdir "$2/up" "$2/work" &&
    mount -t overlay overlay -o "lowerdir=$3,upperdir=$2/up,workdir=$2/work" "$3" ;;
esac || exit 99
[ $1 = ro ] || for d in "$2" "$3"; do dd if=/dev/zero of="$d/filler" bs=4096 2>/dev/null; done
"$4" start-all
rc=$?
ls -A "$3" > "$5"
[ -z "$6" ] || cat "$6" >> "$5.file" 2>/dev/null
exit $rc
)";

bool databaseGreets()
{
    QTcpSocket socket;
    socket.connectToHost(u"127.0.0.1"_s, 3306);
    return socket.waitForConnected(2000) && socket.waitForReadyRead(2000) &&
           socket.readAll().contains("MariaDB");
}

std::optional<QString> sql(const QString &statements)
{
    QProcess client;
    client.start(u"/usr/bin/mariadb"_s,
                 {u"--no-defaults"_s, u"--protocol=TCP"_s, u"-h127.0.0.1"_s, u"-P3306"_s,
                  u"-uroot"_s, u"-pkelp"_s, u"-N"_s, u"-B"_s, u"-e"_s, statements});
    if (!client.waitForFinished(30000) || client.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(client.readAllStandardOutput());
}

// Stores the value in a table of its own; with check, waits until the table holds it instead.
bool keep(const QString &table, const QString &value, bool check = false)
{
    const QString statements =
        check ? u"SELECT v FROM keep."_s + table
              : u"CREATE DATABASE IF NOT EXISTS keep; CREATE TABLE IF NOT EXISTS keep.%1 (v "
                "VARCHAR(20)); DELETE FROM keep.%1; INSERT INTO keep.%1 VALUES ('%2');"_s.arg(
                    table, value);
    return QTest::qWaitFor(
        [&] {
            const std::optional<QString> out = sql(statements);
            return check ? out == value + '\n' : out.has_value();
        },
        30000);
}

bool kept(const QString &table, const QString &value)
{
    return keep(table, value, true);
}

// Open descriptors, and resident memory in kB.
std::pair<int, qint64> footprint()
{
    const QByteArray status = readFile(u"/proc/self/status"_s);
    const qsizetype at = status.indexOf("VmRSS:");
    return {
        int(QDir(u"/proc/self/fd"_s).entryList(QDir::AllEntries | QDir::System).size()),
        status.mid(at + 6, status.indexOf('\n', at) - at - 6).trimmed().split(' ')[0].toLongLong()};
}

QString userOfThisProcess()
{
    return QString::fromLocal8Bit(getpwuid(geteuid())->pw_name);
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
    PanelRunOptions m_options;

    PanelRun panel(const QStringList &args) const { return runPanel(m_program, args, m_options); }
    int exitOf(const QString &command) const { return panel({command}).exitCode; }
    QString status() const { return panel({u"status"_s}).out; }
    QString statusBlock(bool on) const
    {
        return u"=== 服务状态 ===\nMySQL: %1\nPHP Web: %1\nMySQL Web: %1\n目录: %2\n"_s.arg(
            on ? u"运行中"_s : u"已停止"_s, m_root);
    }

    QList<qint64> serversOfTheRoot() const
    {
        QList<qint64> pids =
            tavex::processesMatching(tavex::escapeExtendedRegex(m_root + u"/runtime/"_s));
        pids.removeIf([](qint64 pid) { return !tavex::processIsAlive(pid); });
        return pids;
    }

    // Servers of this root on none of the three ports and in no PID file (a PHP with a capability
    // for port 900 hides its descriptors). The database's wrapper may poll a moment longer.
    QString strayServers() const
    {
        QList<qint64> strays;
        [[maybe_unused]] const bool settled = QTest::qWaitFor(
            [&] {
                strays = serversOfTheRoot();
                for (quint16 port : {3306, 8000, 900})
                    strays.removeAll(tavex::listeningProcessId(port).value_or(0));
                for (const char *name : {"php-web.pid", "phpmyadmin.pid"})
                    strays.removeAll(
                        readFile(m_root + "/runtime/config/" + name).trimmed().toLongLong());
                return strays.isEmpty();
            },
            25000);
        QString text;
        for (qint64 pid : strays)
            text += u"%1 %2\n"_s.arg(pid).arg(QString::fromLocal8Bit(
                readFile(u"/proc/%1/cmdline"_s.arg(pid)).replace('\0', ' ')));
        return text;
    }

    tavex::PanelRootResolver resolver() const
    {
        return tavex::PanelRootResolver(tavex::AppLocation::forExecutable(m_program));
    }

    void verifyStoppedClean()
    {
        QVERIFY(!anyPortAnswers());
        QCOMPARE(serversOfTheRoot(), QList<qint64>());
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(!anyPortAnswers(), "a port of the stack is taken");
        // The first run installs the shipped runtime beside the prefix as <base>/Tavex-panel.
        m_base = m_dir.filePath(u"面板 测试"_s);
        m_root = m_base + u"/Tavex-panel"_s;
        m_program = installPanelCopy(m_base + u"/tavex/bin/tavex-panel"_s);
        m_options.home = m_dir.filePath(u"home"_s);
        m_options.extra.insert(u"XDG_CONFIG_HOME"_s, m_dir.filePath(u"config"_s));
        m_options.timeoutMs = 300000;
        const QString resources = m_base + u"/tavex/share/tavex-panel"_s;
        QVERIFY(QDir().mkpath(resources) && QDir().mkpath(m_options.home));
        QVERIFY(QProcess::execute(
                    u"cp"_s, {u"-a"_s, QStringLiteral(TAVEX_SHIPPED_RUNTIME), resources}) == 0);
    }

    void firstStartInstallsAndBringsUpTheStack()
    {
        const PanelRun start = panel({u"start-all"_s});
        QVERIFY2(start.exitCode == 0, qPrintable(start.out + start.err));
        QTRY_VERIFY_WITH_TIMEOUT(databaseGreets(), 30000);
        QVERIFY(curl({u"http://127.0.0.1:8000/"_s}).contains("数据库连接成功"));
        QVERIFY(curl({u"http://127.0.0.1:900/index.php"_s}).contains("name=\"pma_username\""));
    }

    void stopAllBringsEverythingDown()
    {
        const PanelRun stop = panel({u"stop-all"_s});
        QCOMPARE(std::pair(stop.exitCode, stop.out), std::pair(0, u"=== 停止完成 ===\n"_s));
        const PanelRun status = panel({u"status"_s});
        QCOMPARE(std::pair(status.exitCode, status.out), std::pair(3, statusBlock(false)));
        verifyStoppedClean();
    }

    // Two start-alls at once, then a stop-all, round after round (the first on a running stack).
    void concurrentStartAllsThenStopAll()
    {
        QCOMPARE(exitOf(u"start-all"_s), 0);
        QVERIFY(keep("t", "订单 42"));
        const int rounds = qEnvironmentVariable("TAVEX_STRESS_ROUNDS", u"20"_s).toInt();
        for (int round = 0; round < rounds && !QTest::currentTestFailed(); ++round) {
            QProcess runs[2];
            for (QProcess &p : runs)
                startPanel(p, m_program, {u"start-all"_s}, m_options);
            for (QProcess &p : runs) {
                QVERIFY(p.waitForFinished(300000));
                QVERIFY2(p.exitCode() == 0, p.readAllStandardOutput().constData());
            }
            QCOMPARE(status(), statusBlock(true));
            QCOMPARE(exitOf(u"stop-all"_s), 0);
            verifyStoppedClean();
        }
        QCOMPARE(exitOf(u"start-all"_s), 0);
        QVERIFY(kept("t", "订单 42"));
    }

    // A full disk or a read-only folder under each step that writes, mounted in a namespace of the
    // run's own: the step says so, the others go on, no file is left half-written.
    void faultsOfTheDisk_data()
    {
        QTest::addColumn<QString>("folder"); // under runtime/, where the fault is mounted
        QTest::addColumn<QString>("mount");  // "full" tmpfs, "overlay" on a full tmpfs, "ro"
        QTest::addColumn<QString>("file");   // the file the step writes, under runtime/
        QTest::addColumn<QString>("line");   // the start of the result line
        const auto row = [](const char *name, const char *folder, const char *mount,
                            const char *file, const char *line) {
            QTest::newRow(name) << folder << mount << file << line;
        };
        row("option file", "mysql", "overlay", "mysql/my_runtime.cnf",
            "MySQL: 磁盘空间不足，可用 0 B，无法写入 ");
        row("PID file", "config", "full", "config/php-web.pid",
            "PHP Web: 磁盘空间不足，可用 0 B，无法写入 ");
        row("database's start", "mysql/data", "overlay", "",
            "MySQL: 磁盘空间不足，可用 0 B，数据目录: ");
        row("phpMyAdmin configuration", "phpmyadmin", "overlay", "phpmyadmin/config.inc.php",
            "phpMyAdmin: 磁盘空间不足，可用 0 B，无法写入 ");
        row("read-only config", "config", "ro", "config/php-web.pid",
            "PHP Web: 文件系统为只读，无法写入 ");
    }

    void faultsOfTheDisk()
    {
        QFETCH(QString, folder);
        QFETCH(QString, mount);
        QFETCH(QString, file);
        QFETCH(QString, line);
        if (::geteuid() != 0 || QStandardPaths::findExecutable(u"unshare"_s).isEmpty())
            QSKIP("a small tmpfs in a mount namespace needs root and unshare");
        QCOMPARE(exitOf(u"stop-all"_s), 0);
        auto cleanup = qScopeGuard([&] { panel({u"stop-all"_s}); });
        const QString runtime = m_root + u"/runtime/"_s;
        // The step writes its file only when it is missing, or anew each time.
        QFile::remove(runtime + file);
        const QString disk = m_dir.filePath(u"disk "_s + QTest::currentDataTag());
        const QString seen = disk + u".seen"_s;
        QVERIFY(QDir().mkpath(disk));
        PanelRunOptions inside = m_options;
        inside.launcher = u"unshare -m --propagation private sh -c"_s.split(u' ');
        inside.launcher << QString::fromLatin1(kFaultScript) << u"sh"_s << mount << disk
                        << runtime + folder;
        const PanelRun run =
            runPanel(m_program, {seen, file.isEmpty() ? QString() : runtime + file}, inside);
        if (run.exitCode == 99)
            QSKIP(qPrintable(u"no tmpfs or overlay in a mount namespace here: "_s + run.err));
        QVERIFY2(run.exitCode == 1 && run.out.startsWith(u"=== 启动完成 ===\n"_s) &&
                     (run.out + run.err).contains(QLatin1Char('\n') + line),
                 qPrintable(run.out + run.err.right(600)));
        // Nothing half-written: no temporary file left, and the step's file missing or whole.
        QVERIFY2(!readFile(seen).contains(".tmp-"), readFile(seen).constData());
        QCOMPARE(readFile(seen + u".file"_s), QByteArray());
        cleanup.dismiss();
        QCOMPARE(exitOf(u"stop-all"_s), 0);
        QCOMPARE(exitOf(u"start-all"_s), 0);
        QCOMPARE(strayServers(), QString());
        QVERIFY(kept("t", "订单 42"));
    }

    // The panel killed at random moments: the same command again brings the stack where asked.
    void killedPanelThenTheSameCommand()
    {
        const int rounds = qEnvironmentVariable("TAVEX_KILL_ROUNDS", u"20"_s).toInt();
        QRandomGenerator random(20261207);
        for (int round = 0; round < rounds; ++round) {
            for (const QString &command : {u"start-all"_s, u"stop-all"_s}) {
                const bool start = command == "start-all"_L1;
                QProcess killed;
                startPanel(killed, m_program, {command}, m_options);
                QVERIFY(killed.waitForStarted());
                const int delay = int(random.bounded(start ? 2500 : 1200));
                QTest::qWait(delay);
                killed.kill();
                killed.waitForFinished();

                const PanelRun next = panel({command});
                const QString where =
                    u"round %1, %2 killed after %3 ms: "_s.arg(round).arg(command).arg(delay);
                QVERIFY2(next.exitCode == 0, qPrintable(where + next.out + next.err));
                QCOMPARE(status(), statusBlock(start));
                if (start)
                    QTRY_VERIFY_WITH_TIMEOUT(databaseGreets(), 30000);
                QCOMPARE(where + strayServers(), where);
                if (!start)
                    QCOMPARE(serversOfTheRoot(), QList<qint64>());
            }
        }
    }

    // MariaDB killed behind the refreshing panel's back: seen at once, restarted with its data.
    void databaseKilledWhileTheStatusIsRefreshed()
    {
        QCOMPARE(exitOf(u"start-all"_s), 0);
        QVERIFY(keep("killed", "发货 7"));
        tavex::PanelViewModel vm(resolver(), nullptr);
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
        QTRY_VERIFY_WITH_TIMEOUT(!vm.status().mysqlRunning, 1000);
        refresh.stop();
        QCOMPARE(exitOf(u"start-all"_s), 0);
        QVERIFY(kept("killed", "发货 7"));
        QCOMPARE(strayServers(), QString());
    }

    // Many cycles through the window's buttons: nothing left running, no descriptor or memory
    // leaked.
    void manyCycles()
    {
        const int cycles = qEnvironmentVariable("TAVEX_LOAD_CYCLES", u"50"_s).toInt();
        QCOMPARE(exitOf(u"start-all"_s), 0);
        QVERIFY(keep("load", "库存 300"));
        auto view = std::make_unique<tavex::ui::ContentView>(resolver(), nullptr);
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view.get()));
        tavex::PanelViewModel *vm = view->viewModel();
        const auto press = [&](const char *key) {
            QSignalSpy finished(vm, &tavex::PanelViewModel::sequenceFinished);
            auto *button = view->findChild<tavex::ui::IconButton *>(key);
            QTRY_VERIFY_WITH_TIMEOUT(button && button->isEnabled(), 30000);
            button->click();
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 120000);
            QVERIFY2(finished.first().first().toBool(), qPrintable(vm->logs()));
        };
        auto before = footprint();
        for (int i = 0; i <= cycles && !QTest::currentTestFailed(); ++i) {
            press("action.start_all");
            // The reasons describe the state at the end, not a server still starting.
            QVERIFY2(vm->errorSummary().isEmpty() &&
                         vm->serviceReasons() == QStringList(3, QString()),
                     qPrintable(vm->logs() + vm->serviceReasons().join('|')));
            press("action.stop_all");
            if (i == 0) // a warm-up
                before = footprint();
        }
        if (QTest::currentTestFailed())
            return;
        verifyStoppedClean();
        const auto after = footprint();
        qInfo("%d cycles: fds %d -> %d, VmRSS %lld kB -> %lld kB", cycles, before.first,
              after.first, before.second, after.second);
        QVERIFY2(qAbs(after.first - before.first) <= 2, "open descriptors grew");
#ifndef __SANITIZE_ADDRESS__
        // AddressSanitizer holds freed memory in quarantine; LeakSanitizer checks leaks at exit.
        QVERIFY2(after.second - before.second < 20 * 1024, "resident memory grew");
#endif
        view.reset();
        QCOMPARE(exitOf(u"start-all"_s), 0);
        QVERIFY(kept("load", "库存 300"));
    }

    // The view model's reasons, the headless commands and doctor name why a service does not run.
    void reasonsForServicesThatDoNotRun_data()
    {
        QTest::addColumn<QString>("cause");
        QTest::addColumn<int>("service");     // 0 MySQL, 1 PHP Web, 2 phpMyAdmin
        QTest::addColumn<QString>("reason");  // %1: the PID of the test's own process, %2: its user
        QTest::addColumn<QString>("command"); // the headless command that must fail with it
        QTest::addColumn<QString>("entry");   // the view model's start-all line; empty: none
        const auto row = [](const char *name, const char *cause, int service, const char *reason,
                            const char *command, const char *entry) {
            QTest::newRow(name) << cause << service << reason << command << entry;
        };
        row("site's port", "listen 8000", 1, "端口 8000 已被 python3（PID %1，用户 %2）占用",
            "start-all", "PHP Web: 启动失败: Failed to listen on 0.0.0.0:8000");
        row("database's port", "listen 3306", 0,
            "端口 3306 已被 python3（PID %1，用户 %2）占用，不是本目录的 MySQL", "start-all", "");
        row("PHP that dies at once", "broken php", 1, "PHP 已损坏：无法加载扩展", "start-all",
            "PHP Web: 启动失败: PHP 已损坏：无法加载扩展");
        row("PID file of another program", "foreign pid", 1,
            "PID 文件记录的进程 %1（sleep）不是 PHP Web 的 PHP 服务器", "", "");
        // The second user may not end the first one's servers; their PID files stay.
        row("second user's stop-all", "second user", 1,
            "无法停止 PHP Web（PID %1）: 没有权限（进程属于用户 %2）", "stop-all", "");
    }

    void reasonsForServicesThatDoNotRun()
    {
        QFETCH(QString, cause);
        QFETCH(int, service);
        QFETCH(QString, reason);
        QFETCH(QString, command);
        QFETCH(QString, entry);
        QCOMPARE(exitOf(u"stop-all"_s), 0);
        if (cause == QLatin1String("second user"))
            return secondUsersCommand(command, reason);

        QProcess other;
        const QString php = m_root + u"/runtime/php/PHP8.2/bin/php"_s;
        const QByteArray demoWrapper = readFile(php);
        const auto restore = qScopeGuard([&] {
            writeFile(php, demoWrapper);
            other.kill();
            other.waitForFinished();
        });
        const bool listen = cause.startsWith("listen "_L1);
        if (cause == "broken php"_L1) {
            writeFile(php, "#!/bin/sh\necho 'PHP 已损坏：无法加载扩展' >&2\nexit 1\n");
        } else {
            other.start(listen ? u"python3"_s : u"sleep"_s,
                        listen
                            ? QStringList{u"-m"_s, u"http.server"_s, u"-b0.0.0.0"_s, cause.mid(7)}
                            : QStringList{u"600"_s});
            QVERIFY(other.waitForStarted());
        }
        if (listen)
            QTRY_VERIFY_WITH_TIMEOUT(portAnswers(cause.mid(7).toUShort()), 10000);
        else if (cause == "foreign pid"_L1)
            writeFile(m_root + u"/runtime/config/php-web.pid"_s,
                      QByteArray::number(other.processId()));
        const QString expected = reason.replace(u"%1"_s, QString::number(other.processId()))
                                     .replace(u"%2"_s, userOfThisProcess());
        const QString label = QStringList{u"MySQL"_s, u"PHP Web"_s, u"phpMyAdmin"_s}[service];
        if (!command.isEmpty()) {
            const PanelRun run = panel({command});
            QCOMPARE(run.exitCode, 1);
            QVERIFY2(run.err.contains('\n' + label + u": "_s + expected + '\n'),
                     qPrintable(run.err.right(600)));
        }
        tavex::PanelViewModel vm(resolver(), nullptr);
        if (!entry.isEmpty()) {
            QSignalSpy finished(&vm, &tavex::PanelViewModel::sequenceFinished);
            vm.startAll();
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 120000);
            QCOMPARE(finished.first().first().toBool(), false);
            QVERIFY2(vm.logs().contains('\n' + entry) && vm.errorSummary().contains(entry),
                     qPrintable(vm.logs() + vm.errorSummary()));
        }
        // What the log says of an earlier start may follow.
        QTRY_VERIFY_WITH_TIMEOUT(
            (vm.refreshStatus(), vm.serviceReasons().value(service).startsWith(expected)), 10000);
        // A held port is the one cause; a broken PHP breaks both servers.
        for (int i = 0; i < 3 && listen; ++i)
            QVERIFY2(i == service || vm.serviceReasons().value(i).isEmpty(),
                     qPrintable(vm.serviceReasons().join('|')));
        const PanelRun doctor = panel({u"doctor"_s});
        QVERIFY2(doctor.exitCode == 1 &&
                     doctor.out.contains(u"[问题] "_s + label + u": "_s + expected),
                 qPrintable(doctor.out));
        QCOMPARE(exitOf(u"stop-all"_s), cause == "listen 3306"_L1 ? 1 : 0);
        if (listen)
            QCOMPARE(other.state(), QProcess::Running);
    }

    // Root runs the stack; "nobody" runs the command on it through a prefix and home of its own.
    void secondUsersCommand(const QString &command, const QString &reason)
    {
        if (::geteuid() != 0)
            QSKIP("a second user needs root to be played");
        QCOMPARE(exitOf(u"start-all"_s), 0);
        const QString config = m_root + u"/runtime/config"_s;
        const auto restore = qScopeGuard([&] {
            QFile::setPermissions(config, QFileDevice::Permissions(0x7755));
            panel({u"stop-all"_s});
        });
        const QString prefix = m_base + u"/tavex-b"_s;
        PanelRunOptions second;
        second.home = m_dir.filePath(u"home-b"_s);
        second.launcher = {u"setpriv"_s, u"--reuid=nobody"_s, u"--regid=nogroup"_s,
                           u"--clear-groups"_s};
        const QString program = installPanelCopy(prefix + u"/bin/tavex-panel"_s);
        QVERIFY(QDir().mkpath(second.home));
        for (const QString &path : {prefix, prefix + u"/bin"_s, program, second.home})
            QCOMPARE(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
        // A shared root: both users may write its runtime folder.
        QVERIFY(QFile::setPermissions(m_dir.path(), QFileDevice::Permissions(0x7755)));
        QVERIFY(QFile::setPermissions(config, QFileDevice::Permissions(0x7777)));
        const QByteArray webPid = readFile(config + u"/php-web.pid"_s);
        const QByteArray phpMyAdminPid = readFile(config + u"/phpmyadmin.pid"_s);
        QVERIFY(!webPid.isEmpty() && !phpMyAdminPid.isEmpty());

        const PanelRun run = runPanel(program, {command}, second);
        QVERIFY2(run.exitCode != 0 &&
                     run.out.contains(QString(reason)
                                          .replace(u"%1"_s, QString::fromLatin1(webPid))
                                          .replace(u"%2"_s, userOfThisProcess())) &&
                     run.out.contains(u"无法停止 phpMyAdmin（PID "_s + phpMyAdminPid),
                 qPrintable(run.out));
        QCOMPARE(readFile(config + u"/php-web.pid"_s) + readFile(config + u"/phpmyadmin.pid"_s),
                 webPid + phpMyAdminPid);
        // The second user's request to the database server is honoured; the PHP servers run on.
        QVERIFY(status().contains(u"\nPHP Web: 运行中\nMySQL Web: 运行中\n"_s));
    }

    void cleanupTestCase()
    {
        if (!m_program.isEmpty())
            QVERIFY((panel({u"stop-all"_s}), !anyPortAnswers()));
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
