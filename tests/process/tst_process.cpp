// Running programs and touching files: the texts each runner returns for every way a program
// can end, output that floods or is not UTF-8, programs that hang or ignore SIGTERM, killing by
// pattern, detached launches, and the small file helpers.
#include "TestSupport.h"
#include "platform/Processes.h"
#include "process/FileHelpers.h"
#include "process/ProcessRunner.h"
#include "services/StopWait.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <future>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tavex;
using namespace tavex::test;

namespace {

const QString kMissing = QStringLiteral("/nonexistent/program");

} // namespace

class TestProcess : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

private Q_SLOTS:
    void programThatCannotStart()
    {
        QVERIFY(runProcess(kMissing, {}).startsWith(QStringLiteral("执行失败: ")));
        QVERIFY(runProcess(kMissing, {}).contains(QStringLiteral("No such file")));
        QVERIFY(runProcessWithTimeout(kMissing, {}, 5).startsWith(QStringLiteral("执行失败: ")));
        QVERIFY(!isRunning({kMissing}));
    }

    void outputAndExitStatus_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("plain");
        QTest::addColumn<QString>("bounded");
        QTest::newRow("success keeps trailing line breaks")
            << QStringList{"exit", "0", "a\\nb\\n\\n"} << "a\nb\n\n"
            << "a\nb\n\n";
        QTest::newRow("failure with output") << QStringList{"exit", "23", "x\\n"} << "x\n"
                                             << "exit(23): x\n";
        QTest::newRow("failure with blank output is still a failure")
            << QStringList{"exit", "23", " \\n"} << " \n"
            << "exit(23):  \n";
        QTest::newRow("silent failure") << QStringList{"exit", "1"} << ""
                                        << "exit(1): ";
        QTest::newRow("invalid UTF-8 reads as empty") << QStringList{"invalid-utf8", "0"} << ""
                                                      << "";
        QTest::newRow("invalid UTF-8 with a failure") << QStringList{"invalid-utf8", "4"} << ""
                                                      << "exit(4): ";
    }

    void outputAndExitStatus()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, plain);
        QFETCH(QString, bounded);
        QCOMPARE(runProcess(childHelper(), args), plain);
        QCOMPARE(runProcessWithTimeout(childHelper(), args, 10), bounded);
    }

    void largeOutputDoesNotStall()
    {
        // Far more than a pipe holds before the program ends; standard error comes last.
        const qint64 bytes = 8 * 1024 * 1024;
        const QString plain = runProcess(childHelper(), {"flood", QString::number(bytes)});
        QCOMPARE(plain.size(), bytes + 3);
        QVERIFY(plain.endsWith(QStringLiteral("xEND")));
        const QString bounded =
            runProcessWithTimeout(childHelper(), {"flood", QString::number(bytes)}, 30);
        QCOMPARE(bounded.size(), bytes + 3);
    }

    void timeLimit()
    {
        QElapsedTimer clock;
        clock.start();
        // The runner is watched from outside: one that never ends its child fails here, within a
        // deadline of the test's own, and the child is gone when it returns.
        auto done = std::make_shared<std::promise<QString>>();
        auto answer = done->get_future();
        std::thread([done] {
            done->set_value(runProcessWithTimeout(childHelper(), {"hang", "partial\\n"}, 1.5));
        }).detach();
        QVERIFY2(answer.wait_for(std::chrono::seconds(30)) == std::future_status::ready,
                 "the runner did not return after its time limit");
        QCOMPARE(answer.get(), QStringLiteral("timeout: ") + childHelper() +
                                   QStringLiteral(" 超过 1 秒，已强制结束\n解压日志:\npartial\n"));
        QVERIFY(processesMatching(QStringLiteral("child_helper hang partial")).isEmpty());

        // A program that ignores SIGTERM is killed after a grace period: the runner returns.
        const QString stubborn =
            runProcessWithTimeout(childHelper(), {"ignore-term", "still here"}, 1);
        QVERIFY(stubborn.startsWith(QStringLiteral("timeout: ") + childHelper() +
                                    QStringLiteral(" 超过 1 秒")));
        QVERIFY(stubborn.endsWith(QStringLiteral("still here")));
        QVERIFY2(clock.elapsed() < 20000, "the runner must return after the grace period");
        QVERIFY(processesMatching(QStringLiteral("child_helper ignore-term")).isEmpty());
    }

    void killingByPattern()
    {
        QProcess target;
        target.start(childHelper(), {"hang", "tavex-kill-target-71"});
        QVERIFY(target.waitForStarted());
        QProcess bystander;
        bystander.start(childHelper(), {"hang", "tavex-bystander-71"});
        QVERIFY(bystander.waitForStarted());

        QCOMPARE(killByPattern(QStringLiteral("child_helper hang tavex-kill-.*-71")), QString());
        QVERIFY(target.waitForFinished(5000));
        QCOMPARE(bystander.state(), QProcess::Running);
        // Nothing matches: still success.
        QCOMPARE(killByPattern(QStringLiteral("no-such-process-pattern-1234")), QString());
        bystander.kill();
        bystander.waitForFinished();
    }

    void isRunningAnswersByExitStatus()
    {
        QVERIFY(isRunning({childHelper(), "exit", "0", "printed but not shown"}));
        QVERIFY(!isRunning({childHelper(), "exit", "3"}));
    }

    void detachedLaunchInheritsOnlyStandardDescriptors()
    {
        // A descriptor this process opened without close-on-exec must not reach the child.
        const int leaky = ::open("/dev/null", O_RDONLY);
        QVERIFY(leaky > 2);
        const QString outputPath = m_dir.filePath(QStringLiteral("fds.txt"));
        QFile output(outputPath);
        QVERIFY(output.open(QIODevice::WriteOnly));
        const DetachedResult launched =
            startDetachedProcess({childHelper(), {"fds"}, m_dir.path(), output.handle()});
        ::close(leaky);
        QVERIFY(launched.started());
        QVERIFY(waitUntilGone(launched.pid));
        QTRY_COMPARE(readFile(outputPath), QByteArray("0\n1\n2\n"));
    }

    void detachedLaunchReportsTheReason()
    {
        const DetachedResult missing = startDetachedProcess({kMissing, {}, {}, -1});
        QVERIFY(!missing.started());
        QCOMPARE(missing.errorCode, ENOENT);

        // A program for another processor.
        const QString foreign = m_dir.filePath(QStringLiteral("foreign"));
        writeForeignExecutable(foreign);
        const DetachedResult wrongCpu = startDetachedProcess({foreign, {}, {}, -1});
        QCOMPARE(wrongCpu.errorCode, ENOEXEC);

        const DetachedResult badDir =
            startDetachedProcess({childHelper(), {"exit", "0"}, m_dir.filePath("nope"), -1});
        QCOMPARE(badDir.errorCode, ENOENT);
    }

    void fileHelpers()
    {
        const QString dir = m_dir.filePath(QStringLiteral("a/b/c"));
        QCOMPARE(makeDir(dir), QString());
        QCOMPARE(makeDir(dir), QString());
        writeFile(m_dir.filePath(QStringLiteral("plain")), "x");
        QVERIFY(!makeDir(m_dir.filePath(QStringLiteral("plain"))).isEmpty());
        QVERIFY(!makeDir(m_dir.filePath(QStringLiteral("plain/sub"))).isEmpty());

        const QString file = dir + QStringLiteral("/文件.txt");
        QCOMPARE(tryWrite(file, QStringLiteral("第一")), QString());
        QCOMPARE(tryWrite(file, QStringLiteral("second")), QString());
        QCOMPARE(readTextFile(file), std::optional<QString>(QStringLiteral("second")));
        QCOMPARE(tryWrite(m_dir.filePath(QStringLiteral("missing/x.txt")), QStringLiteral("x")),
                 QStringLiteral("No such file or directory"));

        QCOMPARE(readTextFile(m_dir.filePath(QStringLiteral("missing.txt"))), std::nullopt);
        QVERIFY(holdsExactly(file, QStringLiteral("second")));
        QVERIFY(!holdsExactly(file, QStringLiteral("secon")));
        QVERIFY(!holdsExactly(dir, QString()));
        writeFile(m_dir.filePath(QStringLiteral("latin1.txt")), "caf\xe9");
        QCOMPARE(readTextFile(m_dir.filePath(QStringLiteral("latin1.txt"))), std::nullopt);
    }

    // Text from outside printed to a terminal: every control character but line feed and tab is
    // shown as an escape, so none moves the cursor, erases a line or retitles the window.
    void visibleControlCharacters_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        QTest::newRow("plain text, line feed and tab stay")
            << QStringLiteral("包 a.zip\n\tb") << QStringLiteral("包 a.zip\n\tb");
        QTest::newRow("retitle and erase") << QStringLiteral("\x1b]0;pwned\x07site\x1b[2K\r")
                                           << QStringLiteral("\\x1b]0;pwned\\x07site\\x1b[2K\\x0d");
        QTest::newRow("NUL, DEL and C1")
            << QString(QChar(0)) + QStringLiteral("\x7f\u0080\u009b\u00a0")
            << QStringLiteral("\\x00\\x7f\\x80\\x9b\u00a0");
    }

    void visibleControlCharacters()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        QCOMPARE(tavex::visibleControlCharacters(text), shown);
    }

    // Whatever stands at the path, the writers never write through a link and never wait on it.
    void writersRefuseWhatIsNotTheirFile_data()
    {
        QTest::addColumn<QString>("plant");
        QTest::addColumn<QString>("expected"); // %1 is the path, %2 its folder
        const QString link = QStringLiteral(": 目标是符号链接，已拒绝写入");
        QTest::newRow("link to a file outside") << "link" << QStringLiteral("%1") + link;
        QTest::newRow("dangling link") << "dangling" << QStringLiteral("%1") + link;
        QTest::newRow("link to a special file") << "special" << QStringLiteral("%1") + link;
        QTest::newRow("folder is a link") << "folder-link" << QStringLiteral("%2") + link;
        QTest::newRow("FIFO") << "fifo" << QStringLiteral("%1: 不是普通文件，已拒绝写入");
        QTest::newRow("folder") << "dir" << QStringLiteral("Is a directory");
    }

    void writersRefuseWhatIsNotTheirFile()
    {
        QFETCH(QString, plant);
        QFETCH(QString, expected);
        const QString folder = m_dir.filePath(QStringLiteral("w-") + plant);
        QDir().mkpath(folder);
        const QString victim = m_dir.filePath(QStringLiteral("victim-") + plant);
        writeFile(victim, "outside");
        QString path = folder + QStringLiteral("/my_runtime.cnf");
        if (plant == QLatin1String("link"))
            QVERIFY(QFile::link(victim, path));
        if (plant == QLatin1String("dangling"))
            QVERIFY(QFile::link(victim + QStringLiteral(".absent"), path));
        // A special file of the test's own (a FIFO), never one of the machine's.
        const QString special = m_dir.filePath(QStringLiteral("special-") + plant);
        if (plant == QLatin1String("special")) {
            QCOMPARE(::mkfifo(QFile::encodeName(special).constData(), 0600), 0);
            QVERIFY(QFile::link(special, path));
        }
        if (plant == QLatin1String("folder-link")) {
            const QString inner = folder + QStringLiteral("/config");
            QVERIFY(QFile::link(QFileInfo(victim).absolutePath(), inner));
            path = inner + QStringLiteral("/victim-") + plant;
        }
        if (plant == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        if (plant == QLatin1String("dir"))
            QDir().mkpath(path);
        const QString want = QString(expected)
                                 .replace(QStringLiteral("%2"), QFileInfo(path).path())
                                 .replace(QStringLiteral("%1"), path);

        QCOMPARE(tryWrite(path, QStringLiteral("12345")), want);
        const AppendFile appended = openForAppend(path);
        QCOMPARE(appended.fd, -1);
        if (plant != QLatin1String("dir"))
            QCOMPARE(appended.error, want);
        QCOMPARE(readFile(victim), QByteArray("outside"));
        QVERIFY(!QFileInfo::exists(victim + QStringLiteral(".absent")));
        if (plant == QLatin1String("special")) {
            struct stat fifo
            {
            };
            QVERIFY(::lstat(QFile::encodeName(special).constData(), &fifo) == 0 &&
                    S_ISFIFO(fifo.st_mode));
        }
        // No temporary file is left beside the path.
        QCOMPARE(QDir(folder)
                     .entryList(QDir::Files | QDir::Hidden | QDir::System)
                     .filter(QStringLiteral(".tmp-")),
                 QStringList());
    }

    // Removal unlinks links instead of following them, and opens up read-only folders.
    void removeTreeKeepsLinkTargets()
    {
        const QString outside = m_dir.filePath(QStringLiteral("outside"));
        writeFile(outside + QStringLiteral("/keep.txt"), "keep");
        const QString tree = m_dir.filePath(QStringLiteral("tree"));
        writeFile(tree + QStringLiteral("/a/b/c.txt"), "c");
        QVERIFY(QFile::link(outside, tree + QStringLiteral("/a/link-to-folder")));
        QVERIFY(QFile::link(outside + QStringLiteral("/keep.txt"),
                            tree + QStringLiteral("/file-link")));
        QCOMPARE(::mkfifo(QFile::encodeName(tree + QStringLiteral("/a/fifo")).constData(), 0600),
                 0);
        writeFile(tree + QStringLiteral("/ro/inner/x"), "x");
        for (const char *dir : {"/ro/inner", "/ro"})
            ::chmod(QFile::encodeName(tree + QLatin1String(dir)).constData(), 0555);
        // The tree is the unprivileged user's own, as a package's files are the panel's.
        QProcess::execute(QStringLiteral("chown"),
                          {QStringLiteral("-hR"), QStringLiteral("nobody"), tree});
        QFile::setPermissions(m_dir.path(), QFile::permissions(m_dir.path()) |
                                                QFileDevice::WriteOther | QFileDevice::ExeOther |
                                                QFileDevice::ReadOther);

        QCOMPARE(runUnprivileged([tree] { return removeTree(tree); }), QString());
        QVERIFY(!QFileInfo::exists(tree) && !QFileInfo(tree).isSymLink());
        QCOMPARE(readFile(outside + QStringLiteral("/keep.txt")), QByteArray("keep"));
        // A link itself is removed, not what it names; nothing there is no error.
        const QString link = m_dir.filePath(QStringLiteral("top-link"));
        QVERIFY(QFile::link(outside, link));
        QCOMPARE(removeTree(link), QString());
        QVERIFY(!QFileInfo(link).isSymLink());
        QCOMPARE(readFile(outside + QStringLiteral("/keep.txt")), QByteArray("keep"));
        QCOMPARE(removeTree(link), QString());
    }
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
