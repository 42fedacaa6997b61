// Update and repair: downloads from real loopback servers (HTTP and HTTPS with a test authority),
// extraction of crafted archives, the site root search, the synchronisation and the safety of the
// site's Data over generated cases, and whole runs through the view model and the headless command.
#include "PanelRun.h"
#include "TestSupport.h"
#include "model/PanelRoot.h"
#include "model/PanelViewModel.h"
#include "process/Cancellation.h"
#include "process/FileHelpers.h"
#include "update/SiteRoot.h"
#include "update/SiteSnapshot.h"
#include "update/SiteSync.h"
#include "update/UpdateArchive.h"
#include "update/UpdateDownload.h"
#include "update/UpdateLock.h"
#include "update/UpdateRun.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace tavex;
using namespace tavex::test;
using State = QMap<QString, QString>;

namespace {

const QString kFixtures = QStringLiteral(TAVEX_UPDATE_FIXTURES);
// A site before an update, and after pkg.zip reached it.
const QStringList kSite = {"index.php=v1", "old.php=old", "Data/kept.txt=mine"};
const QStringList kUpdated = {"Data/kept.txt=mine", "Data/new.txt=new", "include/lib.php=lib2",
                              "index.php=<?php echo 'v2';"};

// A fixtures.py server on a free loopback port, for the life of the object.
struct Server
{
    QProcess process;
    QString scheme;
    int port = 0;
    Server(const QString &dir, const QStringList &tls = {})
        : scheme(tls.isEmpty() ? "http" : "https")
    {
        process.start("python3", QStringList{kFixtures, "serve", dir} + tls);
        if (process.waitForReadyRead(10000))
            port = process.readLine().trimmed().toInt();
    }
    ~Server()
    {
        process.kill();
        process.waitForFinished();
    }
    QUrl url(const QString &path) const
    {
        return QUrl(QStringLiteral("%1://127.0.0.1:%2/%3").arg(scheme).arg(port).arg(path));
    }
};

QJsonObject file(const QString &name, const QString &data = "x", int mode = 0644)
{
    return {{"name", name}, {"data", data}, {"mode", mode}};
}
QJsonObject linkEntry(const QString &name, const QString &target)
{
    return {{"name", name}, {"type", "link"}, {"target", target}, {"mode", 0777}};
}

void makeZip(const QString &out, const QJsonArray &entries)
{
    QProcess process;
    process.start("python3", {kFixtures, "zip", out});
    process.write(QJsonDocument(entries).toJson());
    process.closeWriteChannel();
    QVERIFY(process.waitForFinished(20000));
    QVERIFY2(process.exitCode() == 0, process.readAllStandardError().constData());
}

// Parts of a tree state: the data folders alone, all but them, or all but them and folders (an
// update may leave the times and modes of folders).
enum Part { DataPart, NoData, SitePart };
State part(Part which, State state)
{
    state.removeIf([which](const auto &item) {
        const QString top = item.key().section('/', 0, 0);
        return (top == "Data" || top == "data") != (which == DataPart) ||
               (which == SitePart && item.value().startsWith("D:"));
    });
    return state;
}

QStringList namesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

// Gives every file under dir one old modification time, so that rsync's quick check (size and
// time) sees the same for a package file and the site's file of the same size.
void ageFiles(const QString &dir)
{
    QProcess::execute("find", {dir, "-type", "f", "-exec", "touch", "-d", "2001-01-01", "{}", "+"});
}

QUrl refusedUrl()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return QUrl(QStringLiteral("http://127.0.0.1:%1/x.zip").arg(server.serverPort()));
}

// The panel installed under a folder of its own: base/app/bin/tavex-panel, whose root is
// base/Tavex-panel, with a private home.
struct Installed
{
    QString base, program, runtime, www;
    PanelRunOptions options;
    PanelRun run(const QStringList &args) const { return runPanel(program, args, options); }
};

} // namespace

class TestUpdate : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_served;
    std::unique_ptr<Server> m_http;
    std::unique_ptr<Server> m_https;
    QList<QSslCertificate> m_ca;
    // What hostile links in packages point at instead of a system path; checked at the end.
    QString m_canary;
    int m_case = 0;

    QString fresh(const QString &name)
    {
        const QString path = m_dir.path() + QStringLiteral("/%1-%2").arg(name).arg(++m_case);
        QDir().mkpath(path);
        return path;
    }

    Installed install(const QString &name, const QStringList &site)
    {
        Installed panel;
        panel.base = fresh(name);
        panel.program = installPanelCopy(panel.base + "/app/bin/tavex-panel");
        panel.runtime = panel.base + "/Tavex-panel/runtime";
        panel.www = panel.runtime + "/www";
        panel.options.home = panel.base + "/home";
        QDir().mkpath(panel.runtime);
        makeLayout(panel.www, site);
        return panel;
    }

    QStringList updateFrom(const QString &path) const
    {
        return {"update", "--url", m_http->url(path).toString()};
    }

    // A run through the view model from a URL ("refused": a closed port) or a file on disk: the
    // progress it showed, its result block, and its summary.
    void viewModelRun(const Installed &panel, const QString &source, const QString &progress,
                      const QString &message)
    {
        const bool fromFile = !source.startsWith("http") && source != "refused";
        const bool touched = message.startsWith("已自动解压");
        UpdateConfig config;
        config.baseURL = source == "refused" ? refusedUrl() : QUrl(source);
        config.download.extraCaCertificates = m_ca;
        PanelViewModel vm(PanelRootResolver(AppLocation::forExecutable(panel.program)), nullptr,
                          config);
        QStringList seen, texts;
        connect(&vm, &PanelViewModel::logsChanged, this, [&] {
            if (vm.logs().startsWith("=== 更新/修复")) {
                seen << QString::number(vm.updateProgress());
                texts << vm.updateProgressText();
            }
        });
        QSignalSpy finished(&vm, &PanelViewModel::updateFinished);
        // A second press while a download runs is told, not run.
        for (int press = 0; press < (!fromFile && touched ? 2 : 1); ++press) {
            if (fromFile)
                vm.updateOrRepairFromFile(source);
            else
                vm.updateOrRepairFiles();
        }
        QVERIFY(finished.wait(60000));
        QVERIFY(finished.size() == 1 && finished.first().first().toBool() == touched);
        QCOMPARE(seen.join(' '), progress);
        // A file on disk is read, not downloaded.
        QCOMPARE(texts.first(), fromFile ? "正在读取更新包" : "正在下载更新包");
        QCOMPARE(vm.updateProgressText(), touched ? "完成" : "失败");
        // No marker of the run is left; a file on disk is not copied.
        QCOMPARE(typeOf(panel.runtime + "/backup/www-before-update.running"), 0u);
        QVERIFY(!fromFile || typeOf(panel.runtime + "/tavex-update.zip") == 0);
        const QString result = vm.logs().section('\n', 1, 1);
        QVERIFY2(touched ? result == message + panel.www : result.startsWith(message),
                 qPrintable(vm.logs()));
        QVERIFY(touched ? !vm.errorSummary().contains("失败")
                        : !message.contains("失败") || vm.errorSummary().contains(message.left(6)));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        qputenv("XDG_CONFIG_HOME", m_dir.path().toUtf8() + "/config");
        m_served = m_dir.path() + "/served";
        QDir().mkpath(m_served);
        m_canary = m_dir.path() + "/canary";
        writeFile(m_canary + "/keep.txt", "canary");

        const QString ca = m_dir.path() + "/ca";
        QDir().mkpath(ca);
        QCOMPARE(QProcess::execute("python3", {kFixtures, "ca", ca}), 0);
        m_ca = QSslCertificate::fromPath(ca + "/ca.pem");
        QCOMPARE(m_ca.size(), 1);

        makeZip(m_served + "/pkg.zip",
                {file("site/www/index.php", "<?php echo 'v2';"),
                 QJsonObject{{"name", "site/www/include/"}, {"type", "dir"}, {"mode", 0755}},
                 file("site/www/include/lib.php", "lib2"), file("site/www/Data/new.txt", "new"),
                 file("site/www/Data/kept.txt", "pkg")});

        m_http = std::make_unique<Server>(m_served);
        m_https = std::make_unique<Server>(
            m_served, QStringList{"--tls", ca + "/server.pem", ca + "/server.key"});
        QVERIFY(m_http->port > 0 && m_https->port > 0);
    }

    void cleanupTestCase()
    {
        QCOMPARE(treeState(m_canary), (State{{"keep.txt", "F:644:canary"}}));
        removeTree(m_dir.path());
    }

    void download_data()
    {
        QTest::addColumn<QString>("path");   // served path
        QTest::addColumn<QString>("scheme"); // https: without the test authority
        QTest::addColumn<QString>("before"); // what stands at the package path: "", file, dir, link
        QTest::addColumn<QString>("error");  // part of the error; empty for success
        QTest::addColumn<int>("cancelAfterMs"); // a cancellation request after this; 0: none
        const auto row = [](const char *name, const char *path, const char *scheme,
                            const char *before, const QString &error, int cancelAfterMs = 0) {
            QTest::newRow(name) << QString(path) << QString(scheme) << QString(before) << error
                                << cancelAfterMs;
        };
        const QString slow = "下载过慢：1.5 秒内平均不到 1 KiB/s，下载已中止";
        row("http", "pkg.zip", "http", "file", "");
        row("https without the test authority", "pkg.zip", "https", "file", "SSL");
        row("broken mid-body", "break/pkg.zip", "http", "", "closed");
        row("stalled mid-body", "stall/pkg.zip", "http", "file", slow);
        // A server that never answers, not even with headers, is a stall too; the row's deadline
        // turns a hang into a failure.
        row("no headers ever", "silent/pkg.zip", "http", "file", slow);
        row("a trickle that never stalls", "trickle/pkg.zip", "http", "", slow);
        row("cancelled while stalled", "stall/pkg.zip", "http", "file", "已取消: ", 300);
        row("a folder where the package goes", "pkg.zip", "http", "dir", "");
        row("a link where the package goes", "pkg.zip", "http", "link", "");
    }

    void download()
    {
        QFETCH(QString, path);
        QFETCH(QString, scheme);
        QFETCH(QString, before);
        QFETCH(QString, error);
        QFETCH(int, cancelAfterMs);
        const QString runtime = fresh("download");
        const QString package = runtime + "/tavex-update.zip";
        const QString outside = fresh("outside") + "/precious";
        writeFile(outside, "precious");
        if (before == "file")
            writeFile(package, "old package");
        else if (before == "dir")
            writeFile(package + "/inner/f", "x");
        else if (before == "link")
            QVERIFY(QFile::link(outside, package));

        DownloadOptions options;
        options.rateWindowMs = 1500;
        const QUrl url = (scheme == "http" ? m_http : m_https)->url(path);
        // Without a cancellation of its own, the row has a deadline: a stall check that never
        // fires ends here as a cancellation, not as a hang.
        QObject row;
        QTimer::singleShot(cancelAfterMs > 0 ? cancelAfterMs : 60000, &row,
                           [] { requestCancellation(); });
        const QString result = downloadPackage(url, package, options);
        clearCancellation();

        if (error.isEmpty()) {
            QVERIFY2(result.isEmpty(), qPrintable(result));
            QCOMPARE(typeOf(package), unsigned(S_IFREG));
            QCOMPARE(readFile(package), readFile(m_served + "/pkg.zip"));
        } else {
            QVERIFY2(result.contains(error, Qt::CaseInsensitive), qPrintable(result));
            QVERIFY2(cancelAfterMs == 0 || result.startsWith(cancelledPrefix()),
                     qPrintable(result));
            if (before == "file")
                QCOMPARE(readFile(package), QByteArray("old package"));
        }
        // The link's target is never written; no partial file is left behind.
        QCOMPARE(readFile(outside), QByteArray("precious"));
        QCOMPARE(namesIn(runtime), before.isEmpty() && !error.isEmpty()
                                       ? QStringList()
                                       : QStringList{"tavex-update.zip"});
    }

    void extract_data()
    {
        QTest::addColumn<QJsonArray>("entries");
        QTest::addColumn<QString>("message");   // start of the failure; empty for success
        QTest::addColumn<QStringList>("paths"); // present afterwards; "!path": absent
        QTest::addColumn<bool>("cancelled");    // a cancellation is requested first
        const auto row = [](const char *name, const QJsonArray &entries, const QString &message,
                            const QStringList &paths = {}, bool cancelled = false) {
            QTest::newRow(name) << entries << message << paths << cancelled;
        };
        const QString outsideLink = "更新/修复失败: 更新包中的符号链接指向解压目录之外";
        row("macOS artifacts",
            {file("__MACOSX/site/._index.php"), file("site/._index.php"), file("site/index.php"),
             file("site/.hidden")},
            "", {"site/index.php", "site/.hidden", "!__MACOSX", "!site/._index.php"});
        row("__MACOSX linking to a folder outside",
            {file("index.php"), linkEntry("__MACOSX", "../outside")}, "",
            {"index.php", "!__MACOSX"});
        row("GBK names without the flag",
            {QJsonObject{
                 {"name", "gbk"}, {"raw", "d6d0cec42fd2b3c3e62e706870"}, {"utf8flag", false}},
             file("ascii.php")},
            "", {"中文/页面.php", "ascii.php"});
        row("set-id bits are dropped", {file("run.sh", "#!/bin/sh", 06755)}, "", {"run.sh"});
        // Refused from the package's directory, before the archive tool runs.
        row("..", {file("ok.php"), file("../evil.php")},
            "解压失败: 更新包中有含 \"..\" 的路径: ../evil.php");
        row("absolute path", {file(m_canary + "/evil.php")}, "解压失败: 更新包中有绝对路径");
        row("a FIFO", {QJsonObject{{"name", "p"}, {"type", "fifo"}}},
            "解压失败: 更新包中有不受支持的文件类型");
        row("a link out, then an entry through it",
            {linkEntry("ln", "../outside"), file("ln/evil.php")}, "解压失败: ditto 退出码 1，");
        row("an absolute link out", {file("index.php"), linkEntry("canary", m_canary)},
            outsideLink);
        // The target does not exist yet: the link is judged by its text, not by what it reaches.
        row("a relative link climbing out to nothing yet",
            {file("a/x"), linkEntry("a/cfg", "../../../config")}, outsideLink);
        row("a link inside stays", {file("a/index.php"), linkEntry("b", "a")}, "", {"b/index.php"});
        row("a declared size beyond any disk (Zip64)",
            {file("index.php"),
             QJsonObject{{"name", "big.bin"}, {"data", "x"}, {"declare", 1LL << 50}}},
            "解压失败: 磁盘空间不足，解压需要 2.0 PB，可用 ");
        row("cancelled", {file("index.php"), file("a/b.php")}, "已取消: ", {}, true);
    }

    void extract()
    {
        QFETCH(QJsonArray, entries);
        QFETCH(QString, message);
        QFETCH(QStringList, paths);
        QFETCH(bool, cancelled);
        const QString runtime = fresh("extract");
        const QString package = runtime + "/tavex-update.zip";
        const QString extract = runtime + "/update-extract";
        writeFile(runtime + "/outside/keep.txt", "keep");
        makeZip(package, entries);
        QVERIFY(QDir().mkpath(extract));
        if (cancelled)
            requestCancellation();
        QString result = unzipUpdateArchive(package, extract);
        clearCancellation();
        // A failed extraction leaves nothing of the package behind.
        if (!result.isEmpty())
            QCOMPARE(treeState(extract), State());
        else
            result = removeMacOSXArtifacts(extract);
        if (result.isEmpty() && !extractedTreeProblem(extract).isEmpty())
            result = "更新/修复失败: " + extractedTreeProblem(extract);

        QVERIFY2(message.isEmpty() ? result.isEmpty() : result.startsWith(message),
                 qPrintable(result));
        // Unsafe entries are found in the package's directory, before the tool unpacks anything.
        QCOMPARE(!readZipDirectory(package).unsafeEntry.isEmpty(),
                 message.startsWith("解压失败: 更新包中有"));
        for (const QString &path : paths)
            QVERIFY2(path.startsWith('!') ? typeOf(extract + '/' + path.mid(1)) == 0
                                          : QFileInfo::exists(extract + '/' + path),
                     qPrintable(path));
        // Nothing outside the extraction folder was written; no entry has set-id bits.
        QCOMPARE(treeState(runtime + "/outside"), (State{{"keep.txt", "F:644:keep"}}));
        QCOMPARE(namesIn(runtime), (QStringList{"outside", "tavex-update.zip", "update-extract"}));
        for (const QString &state : treeState(extract))
            QVERIFY2(state.startsWith("L:") || state.section(':', 1, 1).size() <= 3,
                     qPrintable(state));
    }

    void siteRoot_data()
    {
        QTest::addColumn<QStringList>("layout");
        QTest::addColumn<QString>("expected"); // relative; "-" for none
        const auto row = [](const char *name, const QStringList &layout, const char *expected) {
            QTest::newRow(name) << layout << QString(expected);
        };
        row("five wrappers past loose files and hidden folders",
            {".git/", "readme.txt", "1/2/3/4/5/index.php", "1/2/3/4/5/LibTavex/"}, "1/2/3/4/5");
        row("higher score wins",
            {"a/www/index.php", "a/www/install/index.php", "b/www/index.php", "b/www/include/",
             "b/www/LibTavex/", "b/www/Data/"},
            "a/www");
    }

    void siteRoot()
    {
        QFETCH(QStringList, layout);
        QFETCH(QString, expected);
        const QString root = fresh("root");
        makeLayout(root, layout);
        const auto found = resolveUpdateWebSource(root);
        QCOMPARE(found ? QDir(root).relativeFilePath(*found) : "-", expected);
    }

    // Refused before any change: a site folder that is a link, and a package with a link that
    // leaves the site root; how rsync's own output is read.
    void syncRefusals()
    {
        const QString base = fresh("sync");
        makeLayout(base, {"outside/f=outside", "pkg/index.php=i", "bad/index.php=i",
                          "bad/up->../outside", "www/old.php=o"});
        QVERIFY(QFile::link(base + "/outside", base + "/link"));
        const auto none = [](int, int, const QString &) {};
        QVERIFY(syncDirectoryContents(base + "/pkg", base + "/link", none)
                    .error.startsWith(symlinkRefusal(base + "/link")));
        QVERIFY(syncDirectoryContents(base + "/bad", base + "/www", none)
                    .error.startsWith("更新包中的符号链接指向站点根之外"));
        QCOMPARE(treeState(base + "/outside"), (State{{"f", "F:644:outside"}}));
        QCOMPARE(fileList(base + "/www"), QStringList{"old.php=o"});
        QVERIFY(!rsyncOutputIndicatesHardFailure("exit(24): rsync error: some files vanished"));
        QVERIFY(rsyncOutputIndicatesHardFailure("exit(23): rsync: x\n"));
    }

    // Generated sites and packages with and without Data/data, including a live Data that is a
    // link or a file, a package Data that is a file, entries of another type inside Data, and
    // read-only folders, all files of one old time, so that a changed file of the same size is
    // told apart by its content alone: the live data never changes, every package file arrives
    // unless a live entry of another type stands there (and the notes name it), dropped files
    // go, and a rollback restores the site.
    void dataSafety()
    {
        QRandomGenerator rng(20260405);
        const QStringList pool = {
            "index.php",          "a.php",       "inc/x.php", "inc/deep/y.php",
            "include/Data/q.txt", "data2/w.txt", ".htaccess"};
        for (int i = 0; i < 220; ++i) {
            const QString base = fresh("safety");
            const QString site = base + "/www", pkg = base + "/pkg", outside = base + "/outside";
            const QString snapshotDir = base + "/backup/www-before-update";
            writeFile(outside + "/linked.txt", "linked");

            // Site and package files of the same name have the same size.
            QStringList siteLayout, pkgLayout{QStringLiteral("index.php=new-%1").arg(i)};
            for (const QString &p : pool) {
                if (rng.bounded(2))
                    siteLayout << p + QStringLiteral("=site-%1").arg(rng.bounded(3));
                if (rng.bounded(2))
                    pkgLayout << p + QStringLiteral("=pack-%1").arg(rng.bounded(3));
            }
            const int liveData = rng.bounded(10); // 0-5 folder, 6-7 link, 8 file, 9 none
            // An ordinary user cannot add files to a read-only folder of the live Data.
            bool liveReadOnly = false;
            const bool conflicts = liveData <= 5 && rng.bounded(2);
            if (conflicts)
                siteLayout += {"Data/cache=live file", "Data/dir/x=1"};
            if (liveData <= 5) {
                siteLayout += {"Data/u1=mine", "Data/sub/u2=mine2", "Data/ro/r=mine3"};
                liveReadOnly = rng.bounded(2);
                if (liveReadOnly)
                    siteLayout << "Data/ro/@555";
            } else if (liveData <= 7) {
                siteLayout << "Data->" + outside;
            } else if (liveData == 8) {
                siteLayout << "Data=a file";
            }
            // A live lower-case data folder is the site's data too; the package's files of the
            // same names never replace its own.
            if (rng.bounded(3) == 0)
                siteLayout += {"data/u1=mine", "data/sub/l2=mine"};
            const int pkgData = rng.bounded(5); // 0 none, 1 Data, 2 data, 3 Data file, 4 both
            const QString dataName = pkgData == 2 ? "data" : "Data";
            const bool pkgFolder = pkgData == 1 || pkgData == 2 || pkgData == 4;
            if (pkgFolder) {
                pkgLayout << dataName + "/u1=pkg" << dataName + "/new=n"
                          << dataName + "/sub/u2=pkg2" << dataName + "/fresh/f=f";
                if (::geteuid() == 0 || !liveReadOnly)
                    pkgLayout << dataName + "/ro/new=n2";
                if (rng.bounded(2))
                    pkgLayout << dataName + "/ro/@555" << dataName + "/fresh/@555";
            }
            if (pkgData == 1 || pkgData == 4)
                pkgLayout += {"Data/cache/c.txt=c", "Data/dir=file"};
            if (pkgData == 3)
                pkgLayout << "Data=pkg file";
            if (pkgData == 4)
                pkgLayout << "data/other=o";
            makeLayout(site, siteLayout);
            makeLayout(pkg, pkgLayout);
            ageFiles(base);
            const QString context =
                QString::asprintf("case %d (live Data %d, package data %d) ", i, liveData, pkgData);

            const auto before = treeState(site);
            const auto outsideBefore = treeState(outside);
            QCOMPARE(takeSiteSnapshot(site, snapshotDir), QString());
            const SyncResult result =
                syncDirectoryContents(pkg, site, [](int, int, const QString &) {});
            QVERIFY2(result.stage == SyncResult::Done, qPrintable(context + result.error));
            const auto after = treeState(site);

            // The live data: nothing deleted or changed, folder modes kept.
            for (const auto &[rel, state] : part(DataPart, before).asKeyValueRange())
                QVERIFY2(after.value(rel) == state, qPrintable(context + rel));
            QCOMPARE(treeState(outside), outsideBefore);
            // Every package entry arrives; what the package dropped is gone (data aside).
            const auto pkgState = treeState(pkg);
            QVERIFY2(part(NoData, after) == part(NoData, pkgState), qPrintable(context));
            // The package's Data (or its data alone) reaches a live Data that is a real folder or
            // missing; new folders there stay writable.
            const bool merged = pkgFolder && (liveData <= 5 || liveData == 9);
            for (const auto &[key, state] : treeState(pkg + '/' + dataName).asKeyValueRange()) {
                const QString rel = "Data/" + key, top = key.section('/', 0, 0);
                // A live entry of another type wins.
                const bool skipped =
                    before.contains("Data/" + top) &&
                    before["Data/" + top].left(2) != pkgState[dataName + '/' + top].left(2);
                unsigned mode = 0;
                typeOf(site + '/' + rel, &mode);
                QVERIFY2(!merged || skipped ||
                             (after.contains(rel) && (!state.startsWith("D:") ||
                                                      before.contains(rel) || (mode & S_IWUSR))),
                         qPrintable(context + rel));
            }
            QVERIFY2(!conflicts || dataName != "Data" || !merged ||
                         result.notes.join('\n').contains("已跳过更新包中的: Data/cache, Data/dir"),
                     qPrintable(context + result.notes.join('\n')));
            // Edits in place and mode changes after the update never reach the snapshot; the
            // rollback restores everything but the data folders, byte for byte, with modes.
            for (const auto &[rel, state] : part(SitePart, after).asKeyValueRange()) {
                QFile edited(site + '/' + rel);
                if (state.startsWith("F:"))
                    QVERIFY(
                        edited.open(QIODevice::Append) && edited.write("edited") == 6 &&
                        edited.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
            }
            // The live data folders are left exactly as they were: compared whole, modes and all.
            const auto dataBeforeRollback = part(DataPart, treeState(site));
            QVERIFY2(restoreSiteSnapshot(snapshotDir, site).complete(), qPrintable(context));
            const auto restored = treeState(site);
            QVERIFY2(part(DataPart, restored) == dataBeforeRollback, qPrintable(context));
            QVERIFY2(part(SitePart, restored) == part(SitePart, before), qPrintable(context));
            QCOMPARE(removeTree(base), QString());
        }
    }

    // Whole runs of an installed copy, as separate processes of the headless command started in
    // the user's folder, or through the view model as the window's button does. The user's folder
    // holds pkg.zip, a FIFO and link.zip (a link to "site package.ZIP") and stays as it was. Each
    // row's steps in turn: "arguments|exit status|parts of the output, split by &"; "vm URL or
    // file|progress|start of the result line"; "race" (two updates at once); or a check of the
    // runtime folder ("=untouched"), of the site ("=before" Data aside, "=updated"), of the
    // snapshot ("=snapshot" kept, "=saved" holds the site as it was, Data aside).
    void runs_data()
    {
        QTest::addColumn<QString>("launcher");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("site");
        QTest::addColumn<QStringList>("snapshot"); // a snapshot from an earlier update
        QTest::addColumn<QStringList>("modes");    // "path:mode[:root]" under runtime/
        const auto row = [](const char *name, const char *launcher, const QStringList &steps,
                            const QStringList &site = kSite, const QStringList &snapshot = {},
                            const QStringList &modes = {}) {
            QTest::newRow(name) << QString(launcher) << steps << site << snapshot << modes;
        };
        const QString failed = "更新/修复失败: 更新包";
        const QString done = "已自动解压并同步到 runtime/www: ";
        const QString all = "0.05 0.1 0.35 0.6 0.75 0.75 0.825 0.9 0.9 1 1";
        // Read-only leftovers of an earlier extraction are replaced.
        row("view model: over https", "",
            {"vm %https/pkg.zip|" + all + '|' + done, "=updated", "=saved"},
            kSite + QStringList{"../update-extract/old/ro/f=x", "../update-extract/old/ro/@555"});
        row("view model: from a link to a file on disk", "",
            {"vm %own/link.zip|" + all + '|' + done, "=updated", "=saved"});
        row("view model: the download fails", "",
            {"vm refused|0.05 0.1 1|更新下载失败: ", "=before"});
        row("refused, never waited on, before anything changes", "",
            {"update --file fifo|1|" + failed + "不是普通文件（管道、设备或套接字），已拒绝读取: ",
             "update --file %own|1|" + failed + "路径是一个目录，不是 zip 文件: ",
             "update --file %www/Data/pkg.zip|1|" + failed + "位于更新会改动的目录 ",
             "update --file pkg.zip --url %http/pkg.zip|2|--url 与 --file 不能同时使用",
             "rollback --file pkg.zip|2|tavex-panel: --file 只能与 update 一起使用", "=untouched"},
            kSite + QStringList{"Data/pkg.zip=x"});
        row("two at once: one runs, the other says a run is active", "", {"race", "=updated"});
        // The file changed by hand is replaced, the one the package lacks goes; the progress goes
        // to standard error. A rollback restores them; a second one returns to the update.
        row("from a relative path, then two rollbacks", "",
            {"update --file pkg.zip|0|\n下载包: %own/pkg.zip\n&进度: 10% 正在读取更新包&进度: 82% "
             "正在同步到 www: 第二步：比对 Data/ 内文件，缺的同步、已有不覆盖\n",
             "=updated", "rollback|0|已回滚到上次更新前的站点", "=before",
             "rollback|0|回滚前的站点已保存为快照", "=updated"},
            {"Data/kept.txt=mine", "extra.php=extra", "index.php=by hand"});
        // "no rsync": a file that is no program stands at rsync's path.
        row("an rsync that cannot start fails the update, the site stays whole", "no rsync",
            {"update --file pkg.zip|1|更新/修复失败: 同步失败(主文件): 执行失败: ", "=before"});
        // "nobody": as an ordinary user on a site that holds files and folders of root.
        const QStringList site = {"index.php=v1", "a.php=a", "Data/kept.txt=mine"};
        const QString update = "update --url %http/pkg.zip|";
        row("the first run fails on a folder it may not change: the site is put back", "nobody",
            {update + "1|已从更新前的快照恢复站点", "=before"},
            site + QStringList{"locked/keep.txt=k"}, {},
            {"www/locked:755:root", "www/locked/keep.txt:644:root"});
        row("a file it cannot read: refused before any change, the last snapshot stays", "nobody",
            {update + "1|以下文件无法读取或复制，站点快照不完整: secret.php",
             "rollback|1|无法保存回滚前的站点，站点未改动", "=snapshot"},
            site + QStringList{"secret.php=s"}, {"index.php=v0"}, {"www/secret.php:600:root"});
        row("a file of mode 000 that the update deletes comes back with the rollback", "nobody",
            {update + "0|" + done, "rollback|0|已回滚", "=before"},
            site + QStringList{"locked.php=z"}, {}, {"www/locked.php:0"});
        row("a rollback that cannot put a file back names it and keeps the snapshot", "nobody",
            {"rollback|1|gone.php", update + "1|上次回滚有文件未能恢复", "=snapshot"}, site,
            {"index.php=v0", "gone.php=g"}, {"backup/www-before-update/gone.php:600:root"});
    }

    void runs()
    {
        QFETCH(QString, launcher);
        QFETCH(QStringList, steps);
        QFETCH(QStringList, site);
        QFETCH(QStringList, snapshot);
        QFETCH(QStringList, modes);
        if (launcher != "" && ::geteuid() != 0)
            QSKIP("needs root");
        Installed panel = install("run", site);
        const QString own = panel.base + "/downloads";
        QVERIFY(QDir().mkpath(own) && QFile::copy(m_served + "/pkg.zip", own + "/pkg.zip") &&
                QFile::copy(own + "/pkg.zip", own + "/site package.ZIP") &&
                QFile::link(own + "/site package.ZIP", own + "/link.zip"));
        QCOMPARE(::mkfifo(QFile::encodeName(own + "/fifo").constData(), 0600), 0);
        panel.options.workingDirectory = own;
        const QString snapshotDir = panel.runtime + "/backup/www-before-update";
        if (!snapshot.isEmpty())
            makeLayout(snapshotDir, snapshot);
        if (launcher == "nobody") {
            QVERIFY(QProcess::execute("chmod", {"755", m_dir.path(), panel.base}) == 0 &&
                    QProcess::execute("chown", {"-R", "65534:65534", panel.base}) == 0);
            panel.options.launcher =
                QStringLiteral("setpriv --reuid=65534 --regid=65534 --clear-groups").split(' ');
        } else if (launcher == "no rsync") {
            if (QProcess::execute("unshare", {"-m", "true"}) != 0)
                QSKIP("a private mount namespace is not available");
            writeFile(panel.base + "/not-a-program", "no program");
            panel.options.launcher =
                QStringLiteral("unshare --mount --propagation private -- sh -c").split(' ')
                << "mount --bind \"$1\" /usr/bin/rsync && shift && exec \"$@\""
                << "sh" << panel.base + "/not-a-program";
        }
        for (const QString &item : modes) {
            const QByteArray path =
                QFile::encodeName(panel.runtime + '/' + item.section(':', 0, 0));
            QVERIFY(item.section(':', 2) != "root" || ::chown(path.constData(), 0, 0) == 0);
            QVERIFY(::chmod(path.constData(), item.section(':', 1, 1).toUInt(nullptr, 8)) == 0);
        }
        const auto ownBefore = treeState(own);
        const auto runtimeBefore = treeState(panel.runtime);
        const auto before = part(SitePart, treeState(panel.www));
        const auto snapshotBefore = treeState(snapshotDir);

        for (const QString &step : steps) {
            if (step == "=untouched")
                QCOMPARE(treeState(panel.runtime), runtimeBefore);
            else if (step == "=before")
                QCOMPARE(part(SitePart, treeState(panel.www)), before);
            else if (step == "=updated")
                QCOMPARE(fileList(panel.www), kUpdated);
            else if (step == "=snapshot")
                QCOMPARE(treeState(snapshotDir), snapshotBefore);
            else if (step == "=saved")
                QVERIFY(part(SitePart, treeState(snapshotDir)) == before &&
                        fileList(snapshotDir + "/Data").isEmpty());
            if (step.startsWith('='))
                continue;
            if (step == "race") {
                QProcess first, second;
                for (QProcess *p : {&first, &second})
                    startPanel(*p, panel.program, updateFrom("slow/pkg.zip"), panel.options);
                QVERIFY(first.waitForFinished(60000) && second.waitForFinished(60000));
                const QString outputs = QString::fromUtf8(first.readAllStandardOutput() +
                                                          second.readAllStandardOutput());
                QVERIFY2(first.exitCode() + second.exitCode() == 1 &&
                             outputs.contains(updateBusyMessage()) &&
                             outputs.contains("已自动解压并同步到 runtime/www: " + panel.www),
                         qPrintable(outputs));
                continue;
            }
            const QStringList parts = QString(step)
                                          .replace("%own", own)
                                          .replace("%www", panel.www)
                                          .replace("%https/", m_https->url("").toString())
                                          .replace("%http/", m_http->url("").toString())
                                          .split('|');
            if (parts[0].startsWith("vm "))
                viewModelRun(panel, parts[0].mid(3), parts[1], parts[2]);
            if (parts[0].startsWith("vm "))
                continue;
            const PanelRun run = panel.run(parts[0].split(' '));
            bool found = run.exitCode == parts[1].toInt();
            for (const QString &text : parts[2].split('&'))
                found = found && (run.out + run.err).contains(text);
            QVERIFY2(found, qPrintable(step + '\n' + run.out + run.err));
        }
        QCOMPARE(treeState(own), ownBefore);
    }

    // A panel killed at chosen points of an update: the download, the extraction, the first and
    // the second rsync run; every fifth is stopped with Ctrl-C instead. After each, no program of
    // the run is left, the live data is as it was (the package may only have added files), one
    // rollback gives back the last whole site exactly, and a following update succeeds.
    void killedRuns()
    {
        const Installed panel = install(
            "killed", {"index.php=v1", "old.php=old", "Data/mine.txt=mine", "Data/d1/n1.txt=user"});
        // Two packages that differ in every file, in modes and in the files they hold.
        for (const char *version : {"a", "b"}) {
            QJsonArray entries;
            for (int i = 0; i < 800; ++i)
                entries << file(QStringLiteral("site/www/m%1/f%2.php").arg(i % 30).arg(i),
                                QStringLiteral("%1-%2-").arg(version).arg(i).repeated(40),
                                (i % 7 == 0) == (*version == 'a') ? 0600 : 0644);
            entries << file("site/www/index.php", version)
                    << file(QStringLiteral("site/www/only-%1.php").arg(version), version);
            for (int i = 0; i < 300; ++i)
                entries << file(
                    QStringLiteral("site/www/Data/d%1/%2%3.txt").arg(i % 20).arg(version).arg(i),
                    QStringLiteral("package %1").arg(version));
            makeZip(m_served + "/killed-" + version + ".zip", entries);
        }
        const auto leftovers = [&] {
            QStringList found;
            for (const QString &pid : QDir("/proc").entryList(QDir::Dirs)) {
                const QByteArray cmd = readFile("/proc/" + pid + "/cmdline");
                if (cmd.contains(QFile::encodeName(panel.base)) && !cmd.startsWith("setpriv"))
                    found << QString::fromUtf8(cmd).replace(QChar(0), QChar(' '));
            }
            return found;
        };
        const QStringList phases = {"进度: 10%", "进度: 35%", "第一步", "第二步"};
        QRandomGenerator rng(20261207);
        auto whole = part(SitePart, treeState(panel.www));
        for (int i = 0; i < 20; ++i) {
            const QString version = i % 2 ? "b" : "a";
            const QString context = QStringLiteral("kill %1 in %2 ").arg(i).arg(phases[i % 4]);
            const auto dataBefore = part(DataPart, treeState(panel.www));
            QProcess p;
            startPanel(p, panel.program, updateFrom("slow/killed-" + version + ".zip"),
                       panel.options);
            QVERIFY(p.waitForStarted());
            p.setReadChannel(QProcess::StandardError);
            QByteArray err;
            while (!err.contains(phases[i % 4].toUtf8()) && p.state() == QProcess::Running) {
                p.waitForReadyRead(100);
                err += p.readAllStandardError();
            }
            QTest::qWait(rng.bounded(60));
            const bool interrupt = i % 5 == 4;
            // A run that ended by itself meanwhile is rolled back like the others.
            if (const qint64 pid = p.processId(); pid > 0)
                ::kill(pid_t(pid), interrupt ? SIGINT : SIGKILL);
            // waitForFinished() is false for a run that has already been reaped.
            QVERIFY2(p.state() == QProcess::NotRunning || p.waitForFinished(60000),
                     qPrintable(context));
            err += p.readAllStandardError() + p.readAllStandardOutput();
            QTRY_VERIFY2_WITH_TIMEOUT(leftovers().isEmpty(), qPrintable(leftovers().join('\n')),
                                      10000);
            // Nothing of the live data is lost or changed; no rsync temporary file is left.
            const auto data = part(DataPart, treeState(panel.www));
            for (const auto &[rel, state] : dataBefore.asKeyValueRange())
                QVERIFY2(data.value(rel) == state, qPrintable(context + rel));
            for (const auto &[rel, state] : data.asKeyValueRange())
                QVERIFY2(dataBefore.contains(rel) || state.startsWith("D:") ||
                             state.endsWith("package " + version),
                         qPrintable(context + rel));
            // Ctrl-C cleans up at once, with no marker left; after a kill one rollback does. Ctrl-C
            // to a run that had ended by itself already is a kill.
            const bool cleaned = interrupt && p.exitCode() != 0;
            const PanelRun rollback = cleaned ? PanelRun{0, {}, {}} : panel.run({"rollback"});
            QVERIFY2(rollback.exitCode == 0 && part(SitePart, treeState(panel.www)) == whole,
                     qPrintable(context + rollback.out + QString::fromUtf8(err)));
            QVERIFY(!cleaned || typeOf(panel.runtime + "/backup/www-before-update.running") == 0);
            const PanelRun next = panel.run(updateFrom("killed-" + version + ".zip"));
            QVERIFY2(next.exitCode == 0, qPrintable(context + next.out));
            QCOMPARE(readFile(panel.www + "/index.php"), version.toUtf8());
            whole = part(SitePart, treeState(panel.www));
        }
    }
};

QTEST_GUILESS_MAIN(TestUpdate)
#include "tst_update.moc"
