// Finding the panel root and installing the shipped runtime beside the program.
#include "TestSupport.h"
#include "model/PanelRoot.h"
#include "process/FileHelpers.h"
#include "services/SequenceLock.h"
#include "update/UpdateLock.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <fcntl.h>
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

    // The program in <tmp>/apps/tavex/bin; its installed root and shipped runtime beside it.
    QString base() const { return m_dir->path() + u"/apps"_s; }
    QString installed() const { return base() + u"/Tavex-panel"_s; }
    QString resources() const { return base() + u"/tavex/share/tavex-panel"_s; }
    QString program() const { return base() + u"/tavex/bin/tavex-panel"_s; }
    PanelRootResolver resolver() const
    {
        return PanelRootResolver(AppLocation::forExecutable(program()));
    }
    QStringList installedEntries() const
    {
        return QDir(installed()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden);
    }

    void shipRuntime()
    {
        makeValidRoot(resources());
        writeFile(resources() + u"/runtime/www/index.php"_s, "<?php echo 'shipped';");
        writeFile(resources() + u"/runtime/mysql/data/.keep"_s, "");
    }

    bool namesInstalledRoot(QProcess &process) const
    {
        return process.waitForFinished(60000) &&
               process.readAllStandardOutput().contains(("目录: " + installed()).toUtf8());
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

    // Beside the program when the user owns its prefix; in the user's data folder for a system
    // prefix or one of another user, and never at the file system's top.
    void locationOfTheProgram_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("root"); // "<data>" stands for the user's data folder
        const QString own = m_prefixes.path() + u"/apps"_s;
        QDir().mkpath(own + u"/tavex/bin"_s);
        QTest::newRow("a prefix of the user's own")
            << own + u"/tavex/bin/tavex-panel"_s << own + u"/Tavex-panel"_s;
        for (const char *bin : {"/usr/bin", "/usr/local/bin", "/opt/tavex/bin", "/bin"})
            QTest::newRow(bin) << QString(bin) + u"/tavex-panel"_s << u"<data>/Tavex-panel"_s;
        // Another user's prefix: made by the test and given away when it runs as root.
        const QString others = m_prefixes.path() + u"/others"_s;
        QDir().mkpath(others + u"/bin"_s);
        if (::geteuid() == 0)
            QVERIFY(::chown(QFile::encodeName(others).constData(), 65534, 65534) == 0);
        QTest::newRow("a prefix of another user")
            << (::geteuid() == 0 ? others : u"/var"_s) + u"/bin/tavex-panel"_s
            << u"<data>/Tavex-panel"_s;
    }

    void locationOfTheProgram()
    {
        QFETCH(QString, program);
        QFETCH(QString, root);
        const PanelRootResolver resolver{AppLocation::forExecutable(program)};
        QCOMPARE(resolver.appBundleRoot(),
                 std::optional<QString>(root.replace("<data>", m_data.path())));
        // With neither a usable XDG_DATA_HOME nor a home, no data folder at the file system's top.
        const QByteArray data = qgetenv("XDG_DATA_HOME"), home = qgetenv("HOME");
        const auto restore =
            qScopeGuard([&] { qputenv("XDG_DATA_HOME", data), qputenv("HOME", home); });
        qputenv("XDG_DATA_HOME", "relative/data"), qputenv("HOME", "/");
        QCOMPARE(AppLocation::userDataFolder(), QString());
    }

    void orderOfResolution()
    {
        const QString saved = m_dir->path() + u"/saved root"_s;
        makeValidRoot(saved);
        writeSavedRoot(saved);
        QCOMPARE(resolver().tavexPanelRoot(), saved);
        // A shipped runtime that could never be valid is not installed: the saved root wins.
        shipRuntime();
        QDir(resources() + u"/runtime/phpmyadmin"_s).removeRecursively();
        QCOMPARE(resolver().tavexPanelRoot(), saved);
        QCOMPARE(installedEntries(), QStringList());
        QDir().mkpath(resources() + u"/runtime/phpmyadmin"_s);
        QCOMPARE(resolver().tavexPanelRoot(), installed());
        // A valid installed root wins even when the shipped runtime goes away.
        QDir(resources()).removeRecursively();
        QCOMPARE(resolver().tavexPanelRoot(), installed());
        // Neither: the saved root; no saved root either: the installed root's path, not made.
        QDir(installed()).removeRecursively();
        QCOMPARE(resolver().tavexPanelRoot(), saved);
        writeSavedRoot(m_dir->path() + u"/not-a-root"_s);
        QCOMPARE(resolver().tavexPanelRoot(), installed());
        QVERIFY(!QFileInfo::exists(installed() + u"/runtime"_s));
        // A relative saved root is never used: its paths would reach rsync and cp as options.
        makeValidRoot(m_dir->path() + u"/-r"_s);
        const QString here = QDir::currentPath();
        const auto back = qScopeGuard([&] { QDir::setCurrent(here); });
        QDir::setCurrent(m_dir->path());
        writeSavedRoot(u"-r"_s);
        QCOMPARE(resolver().tavexPanelRoot(), installed());
        // Where nothing can be installed the doctor's preview names the shipped runtime.
        shipRuntime();
        writeFile(installed(), "in the way");
        QCOMPARE(resolver().preview().root, resources());
    }

    // Two real programs and eight resolutions at once make one whole copy; then installations
    // killed at random moments: the next run still finds or makes a whole copy.
    void concurrentResolutionsMakeOneCompleteCopy()
    {
        // The real program in the prefix, with the built runtime as its shipped one.
        QDir().mkpath(base() + u"/tavex/share"_s);
        QFile::link(QFileInfo(QStringLiteral(TAVEX_SHIPPED_RUNTIME)).path(), resources());
        const QString program = installPanelCopy(this->program());
        const QMap<QString, QString> whole = treeState(TAVEX_SHIPPED_RUNTIME);
        QProcess runs[2];
        for (QProcess &run : runs)
            run.start(program, {u"status"_s});
        std::vector<std::future<QString>> futures(8);
        for (std::future<QString> &future : futures)
            future = std::async(std::launch::async, &PanelRootResolver::tavexPanelRoot, resolver());
        for (std::future<QString> &future : futures)
            QCOMPARE(future.get(), installed());
        QVERIFY(namesInstalledRoot(runs[0]) && namesInstalledRoot(runs[1]));
        QCOMPARE(treeState(installed() + u"/runtime"_s), whole);
        QCOMPARE(installedEntries(), QStringList{u"runtime"_s});

        QRandomGenerator random(20261206);
        for (int round = 0; round < 20; ++round) {
            QCOMPARE(removeTree(installed()), QString());
            QProcess run;
            run.start(program, {u"status"_s});
            QVERIFY(run.waitForStarted());
            QThread::msleep(random.bounded(500));
            run.kill();
            run.waitForFinished();
            run.start(program, {u"status"_s});
            QVERIFY(namesInstalledRoot(run));
            QCOMPARE(treeState(installed() + u"/runtime"_s), whole);
            QCOMPARE(installedEntries(), QStringList{u"runtime"_s});
        }
    }

    // An invalid installed copy is set aside and copied anew; the user's files stay in place.
    void invalidInstalledCopyIsSetAsideKeepingUserData()
    {
        shipRuntime();
        QCOMPARE(resolver().tavexPanelRoot(), installed());
        const QString runtime = installed() + u"/runtime"_s;
        makeLayout(runtime,
                   {u"mysql/data/mysql/user.MAD="_s + QString(70000, u'Z'),
                    u"mysql/data/shop/orders.ibd=orders"_s, u"www/index.php=<?php echo 'mine';"_s,
                    u"www/Data/upload/图片.png=PNG"_s,
                    u"backup/www-before-update/index.php=before"_s, u"config/php-web.pid=4242"_s,
                    u"config/php-web.log=listening"_s});
        const QMap<QString, QByteArray> kept = snapshot(runtime);
        writeFile(runtime + u"/notes.txt"_s, "kept aside");
        // phpMyAdmin removed by accident; once set aside, nothing more is.
        QDir(runtime + u"/phpmyadmin"_s).removeRecursively();
        QCOMPARE(resolver().tavexPanelRoot(), installed());
        QCOMPARE(snapshot(runtime), kept);
        const QStringList aside = installedEntries().filter(u"runtime.invalid"_s);
        QCOMPARE(aside.size(), 1);
        QCOMPARE(readFile(installed() + '/' + aside.first() + u"/notes.txt"_s), "kept aside");
        QCOMPARE(resolver().tavexPanelRoot(), installed());
        QCOMPARE(installedEntries(), QStringList{u"runtime"_s} + aside);
        // A fresh copy that fails: the shipped runtime serves, the old copy is back in its place.
        QDir(runtime + u"/phpmyadmin"_s).removeRecursively();
        const QMap<QString, QByteArray> before = snapshot(runtime);
        QCOMPARE(
            ::mkfifo(QFile::encodeName(resources() + u"/runtime/www/pipe"_s).constData(), 0600), 0);
        QCOMPARE(resolver().tavexPanelRoot(), resources());
        QCOMPARE(snapshot(runtime), before);
        QCOMPARE(installedEntries(), QStringList{u"runtime"_s} + aside);
    }

    // A lock file that no live process can hold (emptied by a power cut, garbled, no file at all)
    // is taken over; one just made, which its process may still be writing, counts as held.
    void lockFilesLeftBehind_data()
    {
        QTest::addColumn<QString>("lock");
        QTest::addColumn<QString>("plant"); // all but a fresh file are taken over
        for (const char *lock : {"update", "sequence", "install"})
            for (const char *plant : {"aged empty", "aged garbled", "fifo", "fresh empty"})
                QTest::addRow("%s, %s", lock, plant) << QString(lock) << QString(plant);
    }

    void lockFilesLeftBehind()
    {
        QFETCH(QString, lock);
        QFETCH(QString, plant);
        const bool taken = plant != "fresh empty"_L1;
        shipRuntime();
        const QString dir = lock == "install"_L1 ? installed() : m_dir->path() + u"/root/runtime"_s;
        const QString path = dir + (lock == "update"_L1     ? u"/.tavex-update.lock"_s
                                    : lock == "sequence"_L1 ? u"/.tavex-sequence.lock"_s
                                                            : u"/.install.lock"_s);
        QDir().mkpath(dir);
        if (plant == "fifo"_L1)
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else
            writeFile(path, plant == "aged garbled"_L1 ? "\x89PNG\r\n" : "");
        const timespec aged[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 60, 0}};
        if (plant.startsWith("aged"_L1))
            QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), aged, 0), 0);
        if (lock == "sequence"_L1)
            QCOMPARE(SequenceLock::busy(dir), !taken);
        PanelRootResolver panel = resolver();
        panel.setInstallWaitMs(0);
        QCOMPARE(lock == "update"_L1     ? UpdateLock(dir).acquired()
                 : lock == "sequence"_L1 ? SequenceLock(dir, 0).acquired()
                                         : panel.ensureInstalledRuntimeRoot() == installed(),
                 taken);
        // A lock taken over is released as any other; one still held is left to its owner.
        QCOMPARE(lstatType(path) == S_IFREG, !taken);
    }

    void chooseRootCommand()
    {
        const QString program = installPanelCopy(this->program());
        PanelRunOptions options;
        options.home = m_dir->path() + u"/home"_s;
        options.extra.insert(u"XDG_CONFIG_HOME"_s, m_config.path());
        const auto choose = [&](const QString &dir) {
            const PanelRun run = runPanel(program, {u"choose-root"_s, dir}, options);
            return std::make_pair(run.exitCode, run.out);
        };
        const QString chosen = m_dir->path() + u"/我的 面板"_s;
        makeValidRoot(chosen);
        QCOMPARE(choose(chosen + u"/"_s), std::make_pair(0, u"已设置目录: "_s + chosen + u"\n"_s));
        QCOMPARE(readSavedRoot(), chosen);
        // A valid root whose path holds a line break (it would reach the option file) is refused.
        const QString broken = m_dir->path() + u"/面板\n[mysqld]"_s;
        makeValidRoot(broken);
        QCOMPARE(choose(broken), std::make_pair(1, u"选择的目录不是有效的 Tavex-panel 根目录\n"_s));
        QCOMPARE(readSavedRoot(), chosen);
        // An unknown option's control characters never reach the terminal.
        const PanelRun run = runPanel(program, {u"status"_s, u"--colour\x1b]0;x\x07"_s}, options);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(!run.err.contains(u'\x1b') && !run.err.contains(u'\x07'), qPrintable(run.err));
    }

    // Choosing a root keeps the other settings. A file that does not read cleanly is kept beside
    // itself, and written anew with what its lines still give.
    void savingTheRootKeepsTheOtherSettings_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("keptAside");
        const QByteArray url = "updateZipBaseURL=https://u.example/tavex-update.zip\n";
        QTest::newRow("clean") << "[General]\ntavexPanelRoot=/old\n" + url << false;
        QTest::newRow("quote left open") << "[General]\ntavexPanelRoot=\"/old\n" + url << true;
        QTest::newRow("line that is no setting") << "[General]\n" + url + "\x01\x02\xff junk\n"
                                                 << true;
    }

    void savingTheRootKeepsTheOtherSettings()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, keptAside);
        const QString file = QSettings(u"Tavex"_s, u"tavex-panel"_s).fileName();
        const QDir folder = QFileInfo(file).dir();
        const auto clean = qScopeGuard([&] { removeTree(folder.path()); });
        writeFile(file, content);
        QCOMPARE(writeSavedRoot(u"/chosen"_s), QString());
        QCOMPARE(QSettings(u"Tavex"_s, u"tavex-panel"_s).value(u"updateZipBaseURL"_s),
                 QVariant(u"https://u.example/tavex-update.zip"_s));
        const QStringList aside = folder.entryList({u"tavex-panel.conf.unreadable-*"_s});
        QCOMPARE(aside.size(), keptAside ? 1 : 0);
        if (keptAside)
            QCOMPARE(readFile(folder.filePath(aside.first())), content);
    }
};

QTEST_GUILESS_MAIN(TestPanelRoot)
#include "tst_panelroot.moc"
