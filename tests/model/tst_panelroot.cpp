// Finding the panel root: the order of the candidates, the validity test, and installing the
// shipped runtime beside the program, also under concurrent resolutions and over an invalid copy
// that holds the user's database and site.
#include "PanelRun.h"
#include "TestSupport.h"
#include "model/PanelRoot.h"
#include "services/SequenceLock.h"
#include "update/UpdateLock.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <QDirIterator>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSettings>
#include <QThread>

#include "process/FileHelpers.h"

#include <csignal>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

using namespace tavex;
using namespace tavex::test;
using namespace Qt::StringLiterals;

class TestPanelRoot : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_config;
    QTemporaryDir m_data;
    QTemporaryDir m_prefixes; // programs' prefixes that outlive one test function
    std::unique_ptr<QTemporaryDir> m_dir;

    // <tmp>/apps/tavex/bin/tavex-panel: installed root <tmp>/apps/Tavex-panel, resources
    // <tmp>/apps/tavex/share/tavex-panel.
    QString base() const { return m_dir->path() + u"/apps"_s; }
    QString installed() const { return base() + u"/Tavex-panel"_s; }
    QString resources() const { return base() + u"/tavex/share/tavex-panel"_s; }
    PanelRootResolver resolver() const
    {
        return PanelRootResolver(AppLocation::forExecutable(base() + u"/tavex/bin/tavex-panel"_s));
    }

    void shipRuntime(int extraFiles = 0)
    {
        makeValidRoot(resources());
        writeFile(resources() + u"/runtime/www/index.php"_s, "<?php echo 'shipped';");
        writeFile(resources() + u"/runtime/mysql/data/.keep"_s, "");
        for (int i = 0; i < extraFiles; ++i)
            writeFile(resources() + u"/runtime/phpmyadmin/d%1/f%2.php"_s.arg(i / 100).arg(i),
                      QByteArray::number(i));
    }

    // The real program in the prefix, with nothing beside it yet.
    QString installProgram() const
    {
        const QString program = base() + "/tavex/bin/tavex-panel";
        QDir().mkpath(QFileInfo(program).path());
        return QFile::copy(TAVEX_PANEL_PROGRAM, program) ? program : QString();
    }

    // Every file and folder under a tree with its size, for comparing a copy with its original.
    static QStringList listing(const QString &dir)
    {
        QStringList entries;
        QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info = it.nextFileInfo();
            entries << QDir(dir).relativeFilePath(info.filePath()) + QLatin1Char(' ') +
                           (info.isDir() ? u"dir"_s : QString::number(info.size()));
        }
        entries.sort();
        return entries;
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
        qputenv("XDG_DATA_HOME", m_data.path().toUtf8());
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        writeSavedRoot(QString());
    }

    void validity()
    {
        const QString root = m_dir->path() + u"/root"_s;
        QVERIFY(!isValidPanelRoot(root));
        makeValidRoot(root);
        QVERIFY(isValidPanelRoot(root));
        // A plain file named php still passes: only existence is tested.
        QDir(root + u"/runtime/php"_s).removeRecursively();
        writeFile(root + u"/runtime/php"_s, "not a folder");
        QVERIFY(isValidPanelRoot(root));
        QDir(root + u"/runtime/phpmyadmin"_s).removeRecursively();
        QVERIFY(!isValidPanelRoot(root));
    }

    // Beside the program when the user owns its prefix; in the user's data folder for a system
    // prefix or one of another user, and never at the file system's top.
    void locationOfTheProgram_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("root"); // "<data>" stands for the user's data folder
        const auto row = [](const char *name, const QString &program, const QString &root) {
            QTest::newRow(name) << program << root;
        };
        row("a prefix of the user's own", m_prefixes.path() + "/apps/tavex/bin/tavex-panel",
            m_prefixes.path() + "/apps/Tavex-panel");
        row("a prefix not made yet", "/home/ann/apps/tavex/bin/tavex-panel",
            "/home/ann/apps/Tavex-panel");
        for (const char *bin : {"/usr/bin", "/usr/local/bin", "/opt/tavex/bin", "/bin"})
            row(bin, QString(bin) + "/tavex-panel", "<data>/Tavex-panel");
        // Another user's prefix: made by the test and given away when it runs as root.
        QDir().mkpath(m_prefixes.path() + "/apps/tavex/bin");
        const QString others = m_prefixes.path() + "/others";
        QDir().mkpath(others + "/bin");
        if (::geteuid() == 0)
            QVERIFY(::chown(QFile::encodeName(others).constData(), 65534, 65534) == 0);
        row("a prefix of another user",
            (::geteuid() == 0 ? others : u"/var"_s) + "/bin/tavex-panel", "<data>/Tavex-panel");
    }

    void locationOfTheProgram()
    {
        QFETCH(QString, program);
        QFETCH(QString, root);
        const PanelRootResolver resolver{AppLocation::forExecutable(program)};
        QCOMPARE(resolver.appBundleRoot(),
                 std::optional<QString>(root.replace("<data>", m_data.path())));
        QVERIFY2(resolver.placementText().contains(root), qPrintable(resolver.placementText()));
        QCOMPARE(PanelRootResolver(AppLocation()).appBundleRoot(), std::nullopt);
        // Without XDG_DATA_HOME the data folder is under the home; without a home, none.
        const QByteArray data = qgetenv("XDG_DATA_HOME");
        const QByteArray home = qgetenv("HOME");
        const auto restore = qScopeGuard([&] {
            qputenv("XDG_DATA_HOME", data);
            qputenv("HOME", home);
        });
        qputenv("XDG_DATA_HOME", "relative/data");
        qputenv("HOME", "/home/ann");
        QCOMPARE(AppLocation::userDataFolder(), u"/home/ann/.local/share"_s);
        qputenv("HOME", "/");
        QCOMPARE(AppLocation::userDataFolder(), QString());
    }

    void orderOfResolution()
    {
        const QString saved = m_dir->path() + u"/saved root"_s;
        makeValidRoot(saved);
        writeSavedRoot(saved);
        // Nothing beside the program: the saved root.
        QCOMPARE(resolver().tavexPanelRoot(), saved);

        // A runtime in the resources that could never be valid (no phpMyAdmin) is not shipped at
        // all: the saved root still wins, and nothing is copied or set aside. With everything
        // there, the shipped runtime is installed and wins.
        shipRuntime();
        QDir(resources() + "/runtime/phpmyadmin").removeRecursively();
        for (int i = 0; i < 3; ++i)
            QCOMPARE(resolver().tavexPanelRoot(), saved);
        QCOMPARE(QDir(installed()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList());
        QDir().mkpath(resources() + "/runtime/phpmyadmin");
        QCOMPARE(resolver().tavexPanelRoot(), installed());
        QVERIFY(isValidPanelRoot(installed()));
        QCOMPARE(readFile(installed() + u"/runtime/www/index.php"_s),
                 QByteArray("<?php echo 'shipped';"));

        // A valid installed root wins even when the shipped runtime goes away.
        QDir(resources()).removeRecursively();
        QCOMPARE(resolver().tavexPanelRoot(), installed());

        // No installed copy and no shipped runtime: the saved root; with no saved root either,
        // the installed root's path although it does not exist.
        QDir(installed()).removeRecursively();
        QCOMPARE(resolver().tavexPanelRoot(), saved);
        writeSavedRoot(m_dir->path() + u"/not-a-root"_s);
        QCOMPARE(resolver().tavexPanelRoot(), installed());
        QVERIFY(!QFileInfo::exists(installed() + u"/runtime"_s));
        // A relative saved root is never used, even where it names a valid root: its paths would
        // reach rsync and cp as options.
        makeValidRoot(m_dir->path() + u"/-r"_s);
        const QString here = QDir::currentPath();
        const auto back = qScopeGuard([&] { QDir::setCurrent(here); });
        QDir::setCurrent(m_dir->path());
        writeSavedRoot(u"-r"_s);
        QCOMPARE(resolver().tavexPanelRoot(), installed());
    }

    // Where the first resolution puts the root, and the preview that the doctor shows names the
    // same root. A system-wide program installs into the user's data folder; where nothing can
    // be installed, the shipped runtime itself serves.
    void whereTheRootGoes_data()
    {
        QTest::addColumn<QString>("setUp");
        QTest::addColumn<QString>("expected"); // installed, shipped or data
        QTest::newRow("a plain file in the way") << u"file"_s << u"shipped"_s;
        QTest::newRow("an application folder the user may not write")
            << u"read-only"_s << u"shipped"_s;
        QTest::newRow("a prefix of another user") << u"others"_s << u"data"_s;
    }

    void whereTheRootGoes()
    {
        QFETCH(QString, setUp);
        QFETCH(QString, expected);
        shipRuntime();
        const QByteArray base8 = QFile::encodeName(base());
        const QString data = m_dir->path() + u"/home/.local/share"_s;
        QDir().mkpath(data);
        const auto restore = qScopeGuard([&] { ::chmod(base8.constData(), 0755); });
        if (setUp == "file"_L1)
            writeFile(installed(), "in the way");
        if (::geteuid() != 0 && setUp == "others"_L1)
            QSKIP("only root can make a prefix of another user");
        if (setUp == "read-only"_L1)
            ::chmod(base8.constData(), 0555);
        if (::geteuid() == 0) {
            // The panel runs as nobody: its data folder is its own, the prefix is root's or its.
            ::chmod(QFile::encodeName(m_dir->path()).constData(), 0755);
            QVERIFY(::chown(QFile::encodeName(m_dir->path() + "/home/.local").constData(), 65534,
                            65534) == 0);
            QVERIFY(::chown(QFile::encodeName(data).constData(), 65534, 65534) == 0);
            if (setUp != "others"_L1)
                QVERIFY(::chown(QFile::encodeName(base() + "/tavex").constData(), 65534, 65534) ==
                        0);
        }
        const QByteArray oldData = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", data.toUtf8());
        const auto restoreData = qScopeGuard([&] { qputenv("XDG_DATA_HOME", oldData); });
        const PanelRootResolver panel = resolver();
        const QString found = runUnprivileged([panel] {
            const QString preview = panel.preview().root;
            return preview + QLatin1Char('|') + panel.tavexPanelRoot();
        });
        const QString root = expected == "shipped"_L1 ? resources()
                             : expected == "data"_L1  ? data + u"/Tavex-panel"_s
                                                      : installed();
        QCOMPARE(found, root + QLatin1Char('|') + root);
        QVERIFY(isValidPanelRoot(root));
    }

    // Two real panel programs started together from the same prefix, and eight resolutions in
    // this process at the same time: all name the installed root, of which there is one whole copy.
    void concurrentResolutionsMakeOneCompleteCopy()
    {
        shipRuntime(3000);
        const QString program = installProgram();
        QProcess first;
        QProcess second;
        for (QProcess *p : {&first, &second})
            p->start(program, {"status"});
        std::vector<std::future<QString>> futures;
        const PanelRootResolver shared = resolver();
        for (int i = 0; i < 8; ++i)
            futures.push_back(
                std::async(std::launch::async, [shared] { return shared.tavexPanelRoot(); }));
        for (std::future<QString> &future : futures)
            QCOMPARE(future.get(), installed());
        for (QProcess *p : {&first, &second}) {
            QVERIFY(p->waitForFinished(60000));
            QVERIFY(p->readAllStandardOutput().contains(("目录: " + installed()).toUtf8()));
        }
        QCOMPARE(snapshot(installed() + "/runtime"), snapshot(resources() + "/runtime"));
        // Only the runtime and nothing set aside.
        QCOMPARE(QDir(installed()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList{"runtime"});
    }

    // An installed copy made invalid is set aside and copied anew, keeping the user's database,
    // site, backup and server files; where the fresh copy fails, the old one stays where it was.
    void invalidInstalledCopyIsSetAsideKeepingUserData()
    {
        shipRuntime();
        QCOMPARE(resolver().tavexPanelRoot(), installed());
        const QString runtime = installed() + "/runtime";
        // The user's database and site.
        writeFile(runtime + "/mysql/data/mysql/user.MAD", QByteArray(70000, '\x5a'));
        writeFile(runtime + "/mysql/data/shop/orders.ibd", "orders");
        writeFile(runtime + "/www/index.php", "<?php echo 'mine';");
        writeFile(runtime + "/www/Data/upload/图片.png", "\x89PNG");
        writeFile(runtime + "/notes.txt", "kept aside");
        // The site as it stood before the last update, for a rollback.
        writeFile(runtime + "/backup/www-before-update/index.php", "<?php echo 'before';");
        // The PID files and logs of servers that still run.
        writeFile(runtime + "/config/php-web.pid", "4242");
        writeFile(runtime + "/config/php-web.log", "listening");
        QMap<QString, QMap<QString, QByteArray>> kept;
        for (const char *dir : {"/mysql/data", "/www", "/config", "/backup"})
            kept[dir] = snapshot(runtime + dir);
        const auto keptInPlace = [&] {
            for (auto it = kept.cbegin(); it != kept.cend(); ++it)
                QCOMPARE(snapshot(runtime + it.key()), it.value());
        };
        const auto asideNames = [&] {
            return QDir(installed()).entryList({"runtime.invalid-*"}, QDir::Dirs);
        };

        // phpMyAdmin removed by accident: the copy is invalid.
        QDir(runtime + "/phpmyadmin").removeRecursively();
        QCOMPARE(resolver().tavexPanelRoot(), installed());
        QVERIFY(isValidPanelRoot(installed()));
        keptInPlace();
        const QStringList aside = asideNames();
        QCOMPARE(aside.size(), 1);
        QVERIFY(QRegularExpression("^runtime\\.invalid-\\d{8}-\\d{6}$")
                    .match(aside.first())
                    .hasMatch());
        QCOMPARE(readFile(installed() + '/' + aside.first() + "/notes.txt"),
                 QByteArray("kept aside"));
        // The next resolution finds a valid copy and sets nothing more aside.
        QCOMPARE(resolver().tavexPanelRoot(), installed());
        QCOMPARE(asideNames(), aside);

        // Something in the shipped runtime that cannot be copied: the fresh copy fails.
        QDir(runtime + "/phpmyadmin").removeRecursively();
        const QMap<QString, QByteArray> before = snapshot(runtime);
        QCOMPARE(::mkfifo(QFile::encodeName(resources() + "/runtime/www/pipe").constData(), 0600),
                 0);
        QCOMPARE(resolver().ensureInstalledRuntimeRoot(), std::nullopt);
        // Resolution falls through to the shipped runtime; the old copy is back where it was.
        QCOMPARE(resolver().tavexPanelRoot(), resources());
        QCOMPARE(snapshot(runtime), before);
        QCOMPARE(QDir(installed()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList{"runtime"} + aside);
    }

    // An installation killed at any moment leaves nothing that a later run takes for a runtime:
    // the next run uses a whole copy or makes one. (That the copy's bytes are the shipped ones is
    // concurrentResolutionsMakeOneCompleteCopy's part; that it serves, tst_stack's.)
    void killedFirstInstallations()
    {
        const QString program = installProgram();
        const QString shipped = QStringLiteral(TAVEX_SHIPPED_RUNTIME);
        QDir().mkpath(base() + u"/tavex/share"_s);
        QVERIFY(QFile::link(QFileInfo(shipped).path(), resources()));
        const QStringList whole = listing(shipped);
        QVERIFY(whole.size() > 1000);

        QRandomGenerator random(20261206);
        for (int round = 0; round < 20; ++round) {
            QCOMPARE(removeTree(installed()), QString());
            QProcess killed;
            killed.start(program, {"status"});
            QVERIFY(killed.waitForStarted());
            QThread::msleep(random.bounded(500));
            ::kill(static_cast<pid_t>(killed.processId()), SIGKILL);
            killed.waitForFinished();

            QProcess next;
            next.start(program, {"status"});
            QVERIFY(next.waitForFinished(60000));
            QVERIFY(next.readAllStandardOutput().contains(("目录: " + installed()).toUtf8()));
            QCOMPARE(listing(installed() + u"/runtime"_s), whole);
            QCOMPARE(QDir(installed())
                         .entryList({u".runtime-install-*"_s}, QDir::AllEntries | QDir::Hidden),
                     QStringList());
        }
    }

    // A lock file that no live process can hold is taken over, whichever lock it is: emptied by a
    // power cut, garbled, unreadable (mode 000; root reads it anyway), naming a process that is
    // gone, or no file at all. A file just made, which its process may still be writing, counts
    // as held, and the wait for it is bounded.
    void lockFilesLeftBehind_data()
    {
        QTest::addColumn<QString>("lock");
        QTest::addColumn<QString>("plant");
        QTest::addColumn<bool>("taken");
        const std::pair<const char *, bool> plants[] = {
            {"aged empty", true}, {"aged garbled", true}, {"aged mode 000", true},
            {"dead owner", true}, {"fifo", true},         {"fresh empty", false}};
        for (const char *lock : {"update", "sequence", "install"}) {
            for (const auto &[plant, taken] : plants)
                QTest::addRow("%s, %s", lock, plant)
                    << QString::fromLatin1(lock) << QString::fromLatin1(plant) << taken;
        }
    }

    void lockFilesLeftBehind()
    {
        QFETCH(QString, lock);
        QFETCH(QString, plant);
        QFETCH(bool, taken);
        shipRuntime();
        const QString dir = lock == "install"_L1 ? installed() : m_dir->path() + u"/root/runtime"_s;
        const QString path = dir + (lock == "update"_L1     ? u"/.tavex-update.lock"_s
                                    : lock == "sequence"_L1 ? u"/.tavex-sequence.lock"_s
                                                            : u"/.install.lock"_s);
        QDir().mkpath(dir);
        if (plant == "dead owner"_L1) {
            // What a panel that was killed leaves: a whole lock file naming its own process.
            QLockFile model(path);
            QVERIFY(model.lock());
            const QByteArray text = readFile(path);
            model.unlock();
            QProcess gone;
            gone.start(childHelper(), {"exit", "0"});
            QVERIFY(gone.waitForStarted());
            const qint64 pid = gone.processId();
            QVERIFY(gone.waitForFinished());
            writeFile(path, QByteArray::number(pid) + text.mid(text.indexOf('\n')));
        } else if (plant == "fifo"_L1) {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else {
            writeFile(path, plant == "aged garbled"_L1 ? "\x89PNG\r\n" : "");
        }
        if (plant.startsWith("aged"_L1)) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::Append));
            QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-60),
                                     QFileDevice::FileModificationTime));
        }
        if (plant == "aged mode 000"_L1)
            QVERIFY(QFile::setPermissions(path, {}));

        bool acquired = false;
        if (lock == "update"_L1) {
            acquired = UpdateLock(dir).acquired();
        } else if (lock == "sequence"_L1) {
            QCOMPARE(SequenceLock::busy(dir), !taken);
            acquired = SequenceLock(dir, 0).acquired();
        } else {
            PanelRootResolver panel = resolver();
            panel.setInstallWaitMs(0);
            acquired = panel.ensureInstalledRuntimeRoot() == std::optional<QString>(installed());
        }
        QCOMPARE(acquired, taken);
        // A lock taken over is released as any other; one still held is left to its owner.
        QCOMPARE(lstatType(path) == S_IFREG, !taken);
    }

    void chooseRootCommand()
    {
        // The real program in a prefix of its own with nothing beside it, keeping its settings
        // where this test reads them.
        const QString program = installPanelCopy(base() + QStringLiteral("/tavex/bin/tavex-panel"));
        PanelRunOptions options;
        options.home = m_dir->path() + QStringLiteral("/home");
        options.extra.insert(QStringLiteral("XDG_CONFIG_HOME"), m_config.path());
        options.timeoutMs = 30000;
        const auto choose = [&](const QString &dir) {
            const PanelRun run = runPanel(program, {QStringLiteral("choose-root"), dir}, options);
            return std::make_pair(run.exitCode, run.out);
        };
        const QString chosen = m_dir->path() + QStringLiteral("/我的 面板");
        makeValidRoot(chosen);
        QCOMPARE(choose(chosen + QStringLiteral("/")),
                 std::make_pair(0, QStringLiteral("已设置目录: ") + chosen + QLatin1Char('\n')));
        QCOMPARE(readSavedRoot(), chosen);
        // Not a root, or a root whose path holds a line break (it would reach the option file).
        const QString broken = m_dir->path() + QStringLiteral("/面板\n[mysqld]");
        makeValidRoot(broken);
        for (const QString &dir : {m_dir->path(), broken}) {
            QCOMPARE(
                choose(dir),
                std::make_pair(1, QStringLiteral("选择的目录不是有效的 Tavex-panel 根目录\n")));
            QCOMPARE(readSavedRoot(), chosen);
        }

        // The words of a command line are printed with their control characters shown, never
        // sent to the terminal.
        PanelRun unknown = runPanel(
            program, {QStringLiteral("choose-root"), chosen, QStringLiteral("\x1b]0;pwned\x07")},
            options);
        QCOMPARE(unknown.exitCode, 2);
        QVERIFY2(unknown.err.startsWith(QStringLiteral("tavex-panel: 未知命令: choose-root ") +
                                        chosen + QStringLiteral(" \\x1b]0;pwned\\x07\n")),
                 qPrintable(unknown.err));
        QVERIFY(!unknown.err.contains(QLatin1Char('\x1b')) &&
                !unknown.err.contains(QLatin1Char('\x07')));
        // An unknown option is a usage error too.
        unknown = runPanel(program, {QStringLiteral("status"), QStringLiteral("--colour\x1b[31m")},
                           options);
        QCOMPARE(unknown.exitCode, 2);
        QVERIFY(!unknown.err.contains(QLatin1Char('\x1b')));

        // A folder where the settings file goes: nothing is stored, and the command says why.
        const QString settingsFile =
            QSettings(QStringLiteral("Tavex"), QStringLiteral("tavex-panel")).fileName();
        QCOMPARE(removeTree(settingsFile), QString());
        QVERIFY(QDir().mkpath(settingsFile));
        QCOMPARE(choose(chosen),
                 std::make_pair(1, QStringLiteral("无法保存设置: ") + settingsFile +
                                       QStringLiteral(": 是一个文件夹，不是文件\n")));
        QCOMPARE(removeTree(settingsFile), QString());
    }

    // Choosing a root keeps the other settings. A file that does not read cleanly (a line that
    // swallows the next, a line that is no setting) is kept beside itself, and written anew with
    // what its lines still give.
    void savingTheRootKeepsTheOtherSettings_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("keptAside");
        const QByteArray url = "updateZipBaseURL=https://u.example/tavex-update.zip\n";
        QTest::newRow("clean") << "[General]\ntavexPanelRoot=/old\n" + url << false;
        QTest::newRow("quote left open") << "[General]\ntavexPanelRoot=\"/old\n" + url << true;
        QTest::newRow("line continued") << "[General]\ngarbage\\\n" + url << true;
        QTest::newRow("line that is no setting") << "[General]\n" + url + "\x01\x02\xff junk\n"
                                                 << true;
    }

    void savingTheRootKeepsTheOtherSettings()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, keptAside);
        const QString file = QSettings(u"Tavex"_s, u"tavex-panel"_s).fileName();
        const QString folder = QFileInfo(file).path();
        const auto clean = qScopeGuard([&] {
            for (const QString &name : QDir(folder).entryList(QDir::Files | QDir::Hidden))
                QFile::remove(folder + QLatin1Char('/') + name);
        });
        writeFile(file, content);
        const QString chosen = m_dir->path() + u"/chosen"_s;
        QCOMPARE(writeSavedRoot(chosen), QString());
        QCOMPARE(readSavedRoot(), chosen);
        QCOMPARE(QSettings(u"Tavex"_s, u"tavex-panel"_s).value(u"updateZipBaseURL"_s),
                 QVariant(u"https://u.example/tavex-update.zip"_s));
        const QStringList aside =
            QDir(folder).entryList({u"tavex-panel.conf.unreadable-*"_s}, QDir::Files);
        QCOMPARE(aside.size(), keptAside ? 1 : 0);
        if (keptAside) {
            QVERIFY(QRegularExpression(u"^tavex-panel\\.conf\\.unreadable-\\d{8}-\\d{6}$"_s)
                        .match(aside.first())
                        .hasMatch());
            QCOMPARE(readFile(folder + QLatin1Char('/') + aside.first()), content);
        }
    }
};

QTEST_GUILESS_MAIN(TestPanelRoot)
#include "tst_panelroot.moc"
