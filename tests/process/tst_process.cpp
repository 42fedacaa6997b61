// Running programs and touching files: the texts each runner returns for every way a program
// can end, output that floods or is not UTF-8, programs that hang or ignore SIGTERM, detached
// launches, and the small file helpers. Killing by pattern is tst_services' part.
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
using namespace Qt::StringLiterals;

namespace {

const QString kMissing = u"/nonexistent/program"_s;

} // namespace

class TestProcess : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

private Q_SLOTS:
    void programThatCannotStart()
    {
        const QString plain = runProcess(kMissing, {});
        QVERIFY(plain.startsWith("执行失败: ") && plain.contains("No such file"));
        QVERIFY(runProcessWithTimeout(kMissing, {}, 5).startsWith("执行失败: "));
        // isRunning answers by the exit status alone.
        QVERIFY(!isRunning({kMissing}) && !isRunning({childHelper(), "exit", "3"}));
        QVERIFY(isRunning({childHelper(), "exit", "0", "printed but not shown"}));
    }

    void outputAndExitStatus_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("plain");
        QTest::addColumn<QString>("bounded");
        QTest::newRow("success keeps trailing line breaks")
            << QStringList{"exit", "0", "a\\nb\\n\\n"} << "a\nb\n\n"
            << "a\nb\n\n";
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
        const QStringList args{"flood", QString::number(bytes)};
        const QString plain = runProcess(childHelper(), args);
        QVERIFY(plain.size() == bytes + 3 && plain.endsWith(u"xEND"_s));
        QCOMPARE(runProcessWithTimeout(childHelper(), args, 30).size(), bytes + 3);
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
        QCOMPARE(answer.get(), u"timeout: "_s + childHelper() +
                                   u" 超过 1 秒，已强制结束\n解压日志:\npartial\n"_s);
        QVERIFY(processesMatching(u"child_helper hang partial"_s).isEmpty());

        // A program that ignores SIGTERM is killed after a grace period: the runner returns.
        const QString stubborn =
            runProcessWithTimeout(childHelper(), {"ignore-term", "still here"}, 1);
        QVERIFY(stubborn.startsWith(u"timeout: "_s + childHelper() + u" 超过 1 秒"_s));
        QVERIFY(stubborn.endsWith(u"still here"_s));
        QVERIFY2(clock.elapsed() < 20000, "the runner must return after the grace period");
        QVERIFY(processesMatching(u"child_helper ignore-term"_s).isEmpty());
    }

    // Only the standard descriptors reach the child, and a launch that fails says why.
    void detachedLaunch()
    {
        // A descriptor this process opened without close-on-exec must not reach the child.
        const int leaky = ::open("/dev/null", O_RDONLY);
        const QString outputPath = m_dir.filePath("fds.txt");
        QFile output(outputPath);
        QVERIFY(leaky > 2 && output.open(QIODevice::WriteOnly));
        const DetachedResult launched =
            startDetachedProcess({childHelper(), {"fds"}, m_dir.path(), output.handle()});
        ::close(leaky);
        QVERIFY(launched.started() && waitUntilGone(launched.pid));
        QTRY_COMPARE(readFile(outputPath), QByteArray("0\n1\n2\n"));

        QCOMPARE(startDetachedProcess({kMissing, {}, {}, -1}).errorCode, ENOENT);
        const QString foreign = m_dir.filePath("foreign"); // built for another processor
        writeForeignExecutable(foreign);
        QCOMPARE(startDetachedProcess({foreign, {}, {}, -1}).errorCode, ENOEXEC);
        QCOMPARE(startDetachedProcess({childHelper(), {"exit", "0"}, m_dir.filePath("nope"), -1})
                     .errorCode,
                 ENOENT);
    }

    void fileHelpers()
    {
        const QString dir = m_dir.filePath("a/b/c");
        QVERIFY(makeDir(dir).isEmpty() && makeDir(dir).isEmpty());
        writeFile(m_dir.filePath("plain"), "caf\xe9");
        QVERIFY(!makeDir(m_dir.filePath("plain")).isEmpty());
        QVERIFY(!makeDir(m_dir.filePath("plain/sub")).isEmpty());
        QCOMPARE(readTextFile(m_dir.filePath("plain")), std::nullopt); // not UTF-8

        const QString file = dir + "/文件.txt";
        QVERIFY(tryWrite(file, "第一").isEmpty() && tryWrite(file, "second").isEmpty());
        QCOMPARE(readTextFile(file), std::optional<QString>("second"));
        QCOMPARE(tryWrite(m_dir.filePath("missing/x.txt"), "x"), u"No such file or directory"_s);
        QCOMPARE(readTextFile(m_dir.filePath("missing.txt")), std::nullopt);
        QVERIFY(holdsExactly(file, "second") && !holdsExactly(file, "secon"));
        QVERIFY(!holdsExactly(dir, QString()));
    }

    // Text from outside printed to a terminal: every control character but line feed and tab is
    // shown as an escape, so none moves the cursor, erases a line or retitles the window.
    void visibleControlCharacters_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        QTest::newRow("plain text, line feed and tab stay")
            << u"包 a.zip\n\tb"_s << u"包 a.zip\n\tb"_s;
        QTest::newRow("retitle and erase")
            << u"\x1b]0;pwned\x07site\x1b[2K\r"_s << u"\\x1b]0;pwned\\x07site\\x1b[2K\\x0d"_s;
        QTest::newRow("NUL, DEL and C1")
            << QString(QChar(0)) + u"\x7f\u0080\u009b\u00a0"_s << u"\\x00\\x7f\\x80\\x9b\u00a0"_s;
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
        const QString link = u": 目标是符号链接，已拒绝写入"_s;
        const auto row = [](const char *name, const char *plant, const QString &expected) {
            QTest::newRow(name) << QString(plant) << expected;
        };
        row("link to a file outside", "link", "%1" + link);
        row("dangling link", "dangling", "%1" + link);
        row("link to a special file", "special", "%1" + link);
        row("folder is a link", "folder-link", "%2" + link);
        row("FIFO", "fifo", u"%1: 不是普通文件，已拒绝写入"_s);
        row("folder", "dir", u"Is a directory"_s);
    }

    void writersRefuseWhatIsNotTheirFile()
    {
        QFETCH(QString, plant);
        QFETCH(QString, expected);
        const QString folder = m_dir.filePath("w-" + plant);
        const QString victim = folder + "-victim";
        writeFile(victim, "outside");
        QDir().mkpath(folder);
        QString path = folder + "/my_runtime.cnf";
        const QByteArray fifo = QFile::encodeName(plant == "special" ? victim + ".fifo" : path);
        if (plant == "special" || plant == "fifo")
            QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        if (plant == "link" || plant == "dangling" || plant == "special")
            QVERIFY(QFile::link(victim + (plant == "link"      ? ""
                                          : plant == "special" ? ".fifo"
                                                               : ".absent"),
                                path));
        if (plant == "folder-link") {
            QVERIFY(QFile::link(m_dir.path(), folder + "/config"));
            path = folder + "/config/" + QFileInfo(victim).fileName();
        }
        if (plant == "dir")
            QDir().mkpath(path);
        const QString want =
            QString(expected).replace("%2", QFileInfo(path).path()).replace("%1", path);

        QCOMPARE(tryWrite(path, "12345"), want);
        const AppendFile appended = openForAppend(path);
        QCOMPARE(appended.fd, -1);
        if (plant != "dir")
            QCOMPARE(appended.error, want);
        QCOMPARE(readFile(victim), QByteArray("outside"));
        QVERIFY(!QFileInfo::exists(victim + ".absent"));
        if (plant == "special")
            QCOMPARE(lstatType(victim + ".fifo"), mode_t(S_IFIFO));
        // No temporary file is left beside the path.
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System).filter(".tmp-"),
                 QStringList());
    }

    // Removal unlinks links instead of following them, and opens up read-only folders.
    void removeTreeKeepsLinkTargets()
    {
        const QString outside = m_dir.filePath("outside");
        writeFile(outside + "/keep.txt", "keep");
        const QString tree = m_dir.filePath("tree");
        writeFile(tree + "/ro/inner/x", "x");
        QVERIFY(QFile::link(outside, tree + "/link-to-folder"));
        QVERIFY(QFile::link(outside + "/keep.txt", tree + "/ro/file-link"));
        QCOMPARE(::mkfifo(QFile::encodeName(tree + "/fifo").constData(), 0600), 0);
        for (const char *dir : {"/ro/inner", "/ro"})
            ::chmod(QFile::encodeName(tree + dir).constData(), 0555);
        // The tree is the unprivileged user's own, as a package's files are the panel's.
        QProcess::execute("chown", {"-hR", "nobody", tree});
        QFile::setPermissions(m_dir.path(), QFileDevice::Permissions(0x7777));

        QCOMPARE(runUnprivileged([tree] { return removeTree(tree); }), QString());
        QVERIFY(!QFileInfo::exists(tree) && !QFileInfo(tree).isSymLink());
        // A link itself is removed, not what it names; nothing there is no error.
        const QString link = m_dir.filePath("top-link");
        QVERIFY(QFile::link(outside, link));
        QVERIFY(removeTree(link).isEmpty() && !QFileInfo(link).isSymLink());
        QCOMPARE(readFile(outside + "/keep.txt"), QByteArray("keep"));
        QCOMPARE(removeTree(link), QString());
    }
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
