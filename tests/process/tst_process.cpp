// Running programs and touching files: the runners' texts for the ways a program ends, floods,
// hangs and ignored SIGTERMs, detached launches, and the file helpers that refuse odd paths.
#include "TestSupport.h"
#include "platform/Processes.h"
#include "process/FileHelpers.h"
#include "process/ProcessRunner.h"
#include "services/StopWait.h"

#include <QDir>
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

static const QString kMissing = u"/nonexistent/program"_s;

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
        const auto row = [](const char *name, const QStringList &args, const char *plain,
                            const char *bounded) {
            QTest::newRow(name) << args << plain << bounded;
        };
        row("success keeps trailing line breaks", {"exit", "0", "a\\nb\\n\\n"}, "a\nb\n\n",
            "a\nb\n\n");
        row("failure with blank output is still one", {"exit", "23", " \\n"}, " \n",
            "exit(23):  \n");
        row("invalid UTF-8 with a failure", {"invalid-utf8", "4"}, "", "exit(4): ");
    }

    void outputAndExitStatus()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, plain);
        QFETCH(QString, bounded);
        QCOMPARE(runProcess(childHelper(), args), plain);
        QCOMPARE(runProcessWithTimeout(childHelper(), args, 10), bounded);
    }

    void timeLimit()
    {
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
        QVERIFY(processesMatching(u"child_helper ignore-term"_s).isEmpty());
    }

    // Only the standard descriptors reach the child, not one opened without close-on-exec.
    void detachedLaunch()
    {
        const int leaky = ::open("/dev/null", O_RDONLY);
        QFile output(m_dir.filePath("fds.txt"));
        QVERIFY(leaky > 2 && output.open(QIODevice::WriteOnly));
        const DetachedResult launched =
            startDetachedProcess({childHelper(), {"fds"}, m_dir.path(), output.handle()});
        ::close(leaky);
        QVERIFY(launched.started() && waitUntilGone(launched.pid));
        QTRY_COMPARE(readFile(output.fileName()), QByteArray("0\n1\n2\n"));

        QCOMPARE(startDetachedProcess({kMissing, {}, {}, -1}).errorCode, ENOENT);
    }

    void fileHelpers()
    {
        const QString dir = m_dir.filePath("a/b/c");
        QVERIFY(makeDir(dir).isEmpty() && makeDir(dir).isEmpty());
        const QString file = dir + "/文件.txt";
        QVERIFY(tryWrite(file, "第一").isEmpty() && tryWrite(file, "second").isEmpty());
        QVERIFY(holdsExactly(file, "second") && !holdsExactly(file, "secon"));
        QCOMPARE(tryWrite(m_dir.filePath("missing/x.txt"), "x"), u"No such file or directory"_s);
        writeFile(m_dir.filePath("plain"), "caf\xe9");
        QCOMPARE(readTextFile(m_dir.filePath("plain")), std::nullopt); // not UTF-8
    }

    // Text from outside reaches a terminal with every control but line feed and tab escaped.
    void visibleControlCharacters()
    {
        const QString text =
            u"包\n\t\x1b]0;pwned\x07site\x1b[2K\r"_s + QChar(0) + u"\x7f\u0080\u009b\u00a0"_s;
        QCOMPARE(tavex::visibleControlCharacters(text),
                 u"包\n\t\\x1b]0;pwned\\x07site\\x1b[2K\\x0d\\x00\\x7f\\x80\\x9b\u00a0"_s);
    }

    // Whatever stands at the path, the writers never write through a link and never wait on it.
    void writersRefuseWhatIsNotTheirFile_data()
    {
        QTest::addColumn<QString>("plant");
        QTest::addColumn<QString>("expected"); // %1 is the path, %2 its folder
        const QString link = u": 目标是符号链接，已拒绝写入"_s;
        QTest::newRow("link to a file outside") << u"link"_s << "%1" + link;
        QTest::newRow("dangling link") << u"dangling"_s << "%1" + link;
        QTest::newRow("link to a special file") << u"special"_s << "%1" + link;
        QTest::newRow("folder is a link") << u"folder-link"_s << "%2" + link;
        QTest::newRow("FIFO") << u"fifo"_s << u"%1: 不是普通文件，已拒绝写入"_s;
        QTest::newRow("folder") << u"dir"_s << u"Is a directory"_s;
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
