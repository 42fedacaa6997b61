// Update and repair against real loopback servers (HTTP, and HTTPS with a test authority): crafted
// archives, generated sites for the safety of the site's Data, and whole runs of the panel.
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
    QString base;
    Server(const QString &dir, const QStringList &tls = {})
    {
        process.start("python3", QStringList{kFixtures, "serve", dir} + tls);
        if (process.waitForReadyRead(10000))
            base = QStringLiteral("%1://127.0.0.1:%2/")
                       .arg(tls.isEmpty() ? "http" : "https", process.readLine().trimmed());
    }
    ~Server()
    {
        process.kill();
        process.waitForFinished();
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

// The data folders alone, all but them, or all but them and folders (whose modes may change).
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

// The panel installed as base/app/bin/tavex-panel, whose root is base/Tavex-panel.
struct Installed
{
    QString base, program, runtime, www;
    PanelRunOptions options;
    Installed(const QString &at, const QStringList &site)
        : base(at), program(installPanelCopy(at + "/app/bin/tavex-panel")),
          runtime(at + "/Tavex-panel/runtime"), www(runtime + "/www")
    {
        options.home = at + "/home";
        makeLayout(www, site);
    }
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
    QByteArray m_caPem;
    // What hostile links in packages point at instead of a system path; checked at the end.
    QString m_canary;
    int m_case = 0;

    QString fresh(const QString &name)
    {
        const QString path = m_dir.path() + QStringLiteral("/%1-%2").arg(name).arg(++m_case);
        QDir().mkpath(path);
        return path;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        qputenv("XDG_CONFIG_HOME", m_dir.path().toUtf8() + "/config");
        m_served = fresh("served");
        m_canary = fresh("canary");
        writeFile(m_canary + "/keep.txt", "canary");
        const QString ca = fresh("ca");
        QCOMPARE(QProcess::execute("python3", {kFixtures, "ca", ca}), 0);
        m_caPem = readFile(ca + "/ca.pem");
        QCOMPARE(m_caPem.count("BEGIN CERTIFICATE"), 1);

        makeZip(m_served + "/pkg.zip",
                {file("site/www/index.php", "<?php echo 'v2';"),
                 QJsonObject{{"name", "site/www/include/"}, {"type", "dir"}, {"mode", 0755}},
                 file("site/www/include/lib.php", "lib2"), file("site/www/Data/new.txt", "new"),
                 file("site/www/Data/kept.txt", "pkg")});

        m_http = std::make_unique<Server>(m_served);
        m_https = std::make_unique<Server>(
            m_served, QStringList{"--tls", ca + "/server.pem", ca + "/server.key"});
        QVERIFY(!m_http->base.isEmpty() && !m_https->base.isEmpty());
    }

    void cleanupTestCase()
    {
        QCOMPARE(treeState(m_canary), (State{{"keep.txt", "F:644:canary"}}));
        removeTree(m_dir.path());
    }

    void download_data()
    {
        QTest::addColumn<QString>("path");   // served path; "https:" first: without the authority
        QTest::addColumn<QString>("before"); // what stands at the package path: "", file, dir, link
        QTest::addColumn<QString>("error");  // part of it; "": success; 已取消: at 300 ms
        const auto row = [](const char *name, const char *path, const char *before,
                            const QString &error) {
            QTest::newRow(name) << QString(path) << QString(before) << error;
        };
        const QString slow = "下载过慢：1.5 秒内平均不到 1 KiB/s，下载已中止";
        row("http", "pkg.zip", "file", "");
        row("https without the test authority", "https:pkg.zip", "file", "SSL");
        row("broken mid-body", "break/pkg.zip", "", "closed");
        row("stalled mid-body", "stall/pkg.zip", "file", slow);
        row("no headers ever", "silent/pkg.zip", "file", slow);
        row("a trickle that never stalls", "trickle/pkg.zip", "", slow);
        row("cancelled while stalled", "stall/pkg.zip", "file", cancelledPrefix());
        row("a folder where the package goes", "pkg.zip", "dir", "");
        row("a link where the package goes", "pkg.zip", "link", "");
    }

    void download()
    {
        QFETCH(QString, path);
        QFETCH(QString, before);
        QFETCH(QString, error);
        const QString runtime = fresh("download"), package = runtime + "/tavex-update.zip";
        if (before == "file" || before == "dir")
            writeFile(package + (before == "dir" ? "/inner/f" : ""), "old package");
        else if (before == "link")
            QVERIFY(QFile::link(m_canary + "/keep.txt", package)); // never written

        DownloadOptions options;
        options.rateWindowMs = 1500;
        const bool tls = path.startsWith("https:");
        // Every row has a deadline: a stall check that never fires ends as a cancellation.
        QObject row;
        QTimer::singleShot(error == cancelledPrefix() ? 300 : 60000, &row,
                           [] { requestCancellation(); });
        const QString result = downloadPackage(
            QUrl((tls ? m_https : m_http)->base + path.mid(tls ? 6 : 0)), package, options);
        clearCancellation();

        QVERIFY2(error.isEmpty() ? result.isEmpty() : result.contains(error, Qt::CaseInsensitive),
                 qPrintable(result));
        if (error.isEmpty())
            QCOMPARE(readFile(package), readFile(m_served + "/pkg.zip"));
        else if (before == "file")
            QCOMPARE(readFile(package), QByteArray("old package"));
        // No partial file is left behind.
        QCOMPARE(treeState(runtime).size(),
                 qsizetype(before.isEmpty() && !error.isEmpty() ? 0 : 1));
    }

    void extract_data()
    {
        QTest::addColumn<QJsonArray>("entries");
        QTest::addColumn<QString>("message");   // start of the failure, empty for success
        QTest::addColumn<QStringList>("paths"); // present afterwards; "!path": absent
        const auto row = [](const char *name, const QJsonArray &entries, const QString &message,
                            const QStringList &paths = {}) {
            QTest::newRow(name) << entries << message << paths;
        };
        const QString outsideLink = "更新包中的符号链接指向解压目录之外";
        row("__MACOSX linking to a folder outside",
            {file("site/._index.php"), file("site/index.php"), file("site/.hidden"),
             linkEntry("__MACOSX", "../outside")},
            "", {"site/index.php", "site/.hidden", "!__MACOSX", "!site/._index.php"});
        const QJsonObject gbk{
            {"name", "gbk"}, {"raw", "d6d0cec42fd2b3c3e62e706870"}, {"utf8flag", false}};
        row("GBK names without the flag", {gbk}, "", {"中文/页面.php"});
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
        row("cancelled", {file("index.php"), file("a/b.php")}, cancelledPrefix());
    }

    void extract()
    {
        QFETCH(QJsonArray, entries);
        QFETCH(QString, message);
        QFETCH(QStringList, paths);
        const QString runtime = fresh("extract"), package = runtime + "/tavex-update.zip";
        const QString extract = runtime + "/update-extract";
        writeFile(runtime + "/outside/keep.txt", "keep");
        makeZip(package, entries);
        QVERIFY(QDir().mkpath(extract));
        if (message == cancelledPrefix())
            requestCancellation();
        QString result = unzipUpdateArchive(package, extract);
        clearCancellation();
        // A failed extraction leaves nothing of the package behind.
        if (!result.isEmpty())
            QCOMPARE(treeState(extract), State());
        else if ((result = removeMacOSXArtifacts(extract)).isEmpty())
            result = extractedTreeProblem(extract);

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
        QCOMPARE(QDir(runtime).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{"outside", "tavex-update.zip", "update-extract"}));
        for (const QString &state : treeState(extract))
            QVERIFY2(state.startsWith("L:") || state.section(':', 1, 1).size() <= 3,
                     qPrintable(state));
    }

    // A package wrapped in folders, and one with two sites: the more complete one is taken.
    void siteRoot()
    {
        const QString root = fresh("root");
        makeLayout(root + "/w",
                   {".git/", "readme.txt", "1/2/3/4/5/index.php", "1/2/3/4/5/LibTavex/"});
        makeLayout(root + "/two", {"a/www/index.php", "a/www/install/index.php", "b/www/index.php",
                                   "b/www/include/", "b/www/LibTavex/", "b/www/Data/"});
        QCOMPARE(resolveUpdateWebSource(root + "/w").value_or("-"), root + "/w/1/2/3/4/5");
        QCOMPARE(resolveUpdateWebSource(root + "/two").value_or("-"), root + "/two/a/www");
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

    // Generated sites and packages with and without Data/data (a live Data folder, link or file,
    // a package Data file), all files of one old time, so that only content tells a changed file
    // of the same size: the live data never changes, package files arrive unless a live entry of
    // another type stands there, dropped files go, and a rollback restores the site.
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
            const bool conflicts = liveData <= 5 && rng.bounded(2);
            // An ordinary user cannot add files to a read-only folder of the live Data.
            const bool liveReadOnly = liveData <= 5 && rng.bounded(2);
            if (conflicts)
                siteLayout += {"Data/cache=live file", "Data/dir/x=1"};
            if (liveData <= 5)
                siteLayout += {"Data/u1=mine", "Data/sub/u2=mine2", "Data/ro/r=mine3"};
            if (liveReadOnly)
                siteLayout << "Data/ro/@555";
            if (liveData > 5 && liveData < 9)
                siteLayout << (liveData == 8 ? "Data=a file" : "Data->" + outside);
            // A live lower-case data folder is the site's data too.
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
            if (pkgData >= 3)
                pkgLayout << (pkgData == 3 ? "Data=pkg file" : "data/other=o");
            makeLayout(site, siteLayout);
            makeLayout(pkg, pkgLayout);
            QProcess::execute(
                "find", {base, "-type", "f", "-exec", "touch", "-d", "2001-01-01", "{}", "+"});
            const QString context =
                QString::asprintf("case %d (live Data %d, package data %d) ", i, liveData, pkgData);

            const auto before = treeState(site);
            QCOMPARE(takeSiteSnapshot(site, snapshotDir), QString());
            const SyncResult result =
                syncDirectoryContents(pkg, site, [](int, int, const QString &) {});
            QVERIFY2(result.stage == SyncResult::Done, qPrintable(context + result.error));
            const auto after = treeState(site);

            // The live data: nothing deleted or changed, folder modes kept.
            for (const auto &[rel, state] : part(DataPart, before).asKeyValueRange())
                QVERIFY2(after.value(rel) == state, qPrintable(context + rel));
            QCOMPARE(treeState(outside), (State{{"linked.txt", "F:644:linked"}}));
            // Every package entry arrives; what the package dropped is gone (data aside).
            const auto pkgState = treeState(pkg);
            QVERIFY2(part(NoData, after) == part(NoData, pkgState), qPrintable(context));
            // The package's Data (or its data alone) reaches a live Data that is a real folder or
            // missing; new folders there stay writable; a live entry of another type wins.
            const bool merged = pkgFolder && (liveData <= 5 || liveData == 9);
            for (const auto &[key, state] : treeState(pkg + '/' + dataName).asKeyValueRange()) {
                const QString rel = "Data/" + key, top = key.section('/', 0, 0);
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
            // rollback restores all but the data folders, which it leaves exactly as they are.
            for (const QString &rel : part(SitePart, after).keys()) {
                QFile edited(site + '/' + rel);
                QVERIFY(edited.open(QIODevice::Append) && edited.write("edited") == 6 &&
                        edited.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
            }
            const auto dataBeforeRollback = part(DataPart, treeState(site));
            QVERIFY2(restoreSiteSnapshot(snapshotDir, site).complete(), qPrintable(context));
            const auto restored = treeState(site);
            QVERIFY2(part(DataPart, restored) == dataBeforeRollback, qPrintable(context));
            QVERIFY2(part(SitePart, restored) == part(SitePart, before), qPrintable(context));
            QCOMPARE(removeTree(base), QString());
        }
    }

    // Whole runs of an installed copy: the headless command started in the user's folder (which
    // holds pkg.zip, a FIFO and link.zip, a link to "site package.ZIP", and stays as it was), or
    // the view model as the window's buttons start it. Steps: "arguments|exit status|parts of the
    // output, split by &"; "vm URL or file|progress|start of the result line"; "race" (two updates
    // at once); "=/path" under runtime/ is as it was; "=before" (Data aside); "=updated".
    void runs_data()
    {
        QTest::addColumn<QString>("launcher");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("site");  // "../path" is made under runtime/
        QTest::addColumn<QStringList>("modes"); // "path:mode[:root]" under runtime/
        const auto row = [](const char *name, const char *launcher, const QStringList &steps,
                            const QStringList &site = kSite, const QStringList &modes = {}) {
            QTest::newRow(name) << QString(launcher) << steps << site << modes;
        };
        const QString failed = "更新/修复失败: 更新包", done = "已自动解压并同步到 runtime/www: ";
        const QString all = "0.05 0.1 0.35 0.6 0.75 0.75 0.825 0.9 0.9 1 1";
        // Read-only leftovers of an earlier extraction are replaced.
        row("view model: over https", "", {"vm %https/pkg.zip|" + all + '|' + done, "=updated"},
            kSite + QStringList{"../update-extract/old/ro/f=x", "../update-extract/old/ro/@555"});
        row("view model: from a link to a file on disk", "",
            {"vm %own/link.zip|" + all + '|' + done, "=updated"});
        row("view model: the download fails", "",
            {"vm %http/break/pkg.zip|0.05 0.1 1|更新下载失败: ", "=before"});
        row("refused, never waited on, before anything changes", "",
            {"update --file fifo|1|" + failed + "不是普通文件（管道、设备或套接字），已拒绝读取: ",
             "update --file %own|1|" + failed + "路径是一个目录，不是 zip 文件: ",
             "update --file %www/Data/pkg.zip|1|" + failed + "位于更新会改动的目录 ",
             "update --file pkg.zip --url %http/pkg.zip|2|--url 与 --file 不能同时使用",
             "rollback --file pkg.zip|2|tavex-panel: --file 只能与 update 一起使用", "=/"},
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
        const QString update = "update --url %http/pkg.zip|", kept = "../backup/www-before-update/";
        row("without its download module, the download fails and the site stays whole",
            "no module", {update + "1|下载失败: 无法载入下载组件 ", "=before"});
        row("the first run fails on a folder it may not change: the site is put back", "nobody",
            {update + "1|已从更新前的快照恢复站点", "=before"},
            kSite + QStringList{"locked/keep.txt=k"},
            {"www/locked:755:root", "www/locked/keep.txt:644:root"});
        row("a file it cannot read: refused before any change, the last snapshot stays", "nobody",
            {update + "1|以下文件无法读取或复制，站点快照不完整: secret.php",
             "rollback|1|无法保存回滚前的站点，站点未改动", "=/backup/www-before-update"},
            kSite + QStringList{"secret.php=s", kept + "index.php=v0"},
            {"www/secret.php:600:root"});
        row("a file of mode 000 that the update deletes comes back with the rollback", "nobody",
            {update + "0|" + done, "rollback|0|已回滚", "=before"},
            kSite + QStringList{"locked.php=z"}, {"www/locked.php:0"});
        row("a rollback that cannot put a file back names it and keeps the snapshot", "nobody",
            {"rollback|1|gone.php", update + "1|上次回滚有文件未能恢复",
             "=/backup/www-before-update"},
            kSite + QStringList{kept + "index.php=v0", kept + "gone.php=g"},
            {"backup/www-before-update/gone.php:600:root"});
    }

    void runs()
    {
        QFETCH(QString, launcher);
        QFETCH(QStringList, steps);
        QFETCH(QStringList, site);
        QFETCH(QStringList, modes);
        if ((launcher == "nobody" || launcher == "no rsync") && ::geteuid() != 0)
            QSKIP("needs root");
        Installed panel(fresh("run"), site);
        if (launcher == "no module")
            QVERIFY(QFile::remove(panel.base + "/app/lib/tavex-panel/tavex-download.so"));
        const QString own = panel.base + "/downloads";
        QVERIFY(QDir().mkpath(own) && QFile::copy(m_served + "/pkg.zip", own + "/pkg.zip") &&
                QFile::copy(own + "/pkg.zip", own + "/site package.ZIP") &&
                QFile::link(own + "/site package.ZIP", own + "/link.zip"));
        QCOMPARE(::mkfifo(QFile::encodeName(own + "/fifo").constData(), 0600), 0);
        panel.options.workingDirectory = own;
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
        const auto before = part(SitePart, treeState(panel.www));
        QMap<QString, State> kept;
        for (const QString &step : steps)
            if (step.startsWith("=/"))
                kept[step] = treeState(panel.runtime + step.mid(1));

        for (const QString &step : steps) {
            if (kept.contains(step))
                QCOMPARE(treeState(panel.runtime + step.mid(1)), kept[step]);
            else if (step == "=before")
                QCOMPARE(part(SitePart, treeState(panel.www)), before);
            else if (step == "=updated")
                QCOMPARE(fileList(panel.www), kUpdated);
            else if (step == "race") {
                QProcess first, second;
                for (QProcess *p : {&first, &second})
                    startPanel(*p, panel.program,
                               {"update", "--url", m_http->base + "slow/pkg.zip"}, panel.options);
                QVERIFY(first.waitForFinished(60000) && second.waitForFinished(60000));
                const QString outputs = QString::fromUtf8(first.readAllStandardOutput() +
                                                          second.readAllStandardOutput());
                QVERIFY2(first.exitCode() + second.exitCode() == 1 &&
                             outputs.contains(updateBusyMessage()) &&
                             outputs.contains("已自动解压并同步到 runtime/www: " + panel.www),
                         qPrintable(outputs));
            }
            if (step.startsWith('=') || step == "race")
                continue;
            const QStringList parts = QString(step)
                                          .replace("%own", own)
                                          .replace("%www", panel.www)
                                          .replace("%https/", m_https->base)
                                          .replace("%http/", m_http->base)
                                          .split('|');
            // A second press while a download runs is told, not run.
            if (parts[0].startsWith("vm ")) {
                const QString source = parts[0].mid(3);
                const bool fromFile = !source.startsWith("http");
                const bool touched = parts[2].startsWith("已自动解压");
                UpdateConfig config;
                config.baseURL = QUrl(source);
                config.download.extraCaCertificatesPem = m_caPem;
                PanelViewModel vm(PanelRootResolver(AppLocation::forExecutable(panel.program)),
                                  nullptr, config);
                QStringList seen;
                connect(&vm, &PanelViewModel::logsChanged, this, [&] {
                    if (vm.logs().startsWith("=== 更新/修复"))
                        seen << QString::number(vm.updateProgress());
                });
                QSignalSpy finished(&vm, &PanelViewModel::updateFinished);
                for (int press = 0; press < (!fromFile && touched ? 2 : 1); ++press)
                    fromFile ? vm.updateOrRepairFromFile(source) : vm.updateOrRepairFiles();
                QVERIFY(finished.wait(60000) && finished.size() == 1 &&
                        finished.first().first().toBool() == touched);
                QCOMPARE(seen.join(' '), parts[1]);
                QCOMPARE(vm.updateProgressText(), touched ? "完成" : "失败");
                QCOMPARE(typeOf(panel.runtime + "/backup/www-before-update.running"), 0u);
                const QString result = vm.logs().section('\n', 1, 1);
                QVERIFY2(touched ? result == parts[2] + panel.www : result.startsWith(parts[2]),
                         qPrintable(vm.logs()));
                QVERIFY(touched ? !vm.errorSummary().contains("失败")
                                : vm.errorSummary().contains(parts[2].left(6)));
                continue;
            }
            const PanelRun run = panel.run(parts[0].split(' '));
            bool found = run.exitCode == parts[1].toInt();
            for (const QString &text : parts[2].split('&'))
                found = found && (run.out + run.err).contains(text);
            QVERIFY2(found, qPrintable(step + '\n' + run.out + run.err));
        }
        QCOMPARE(treeState(own), ownBefore);
    }

    // A panel killed in the download, the extraction, the first or the second rsync run (every
    // fifth stopped with Ctrl-C instead): no program of the run is left, the live data is as it
    // was, one rollback gives back the last whole site, and a following update succeeds.
    void killedRuns()
    {
        const Installed panel(fresh("killed"), {"index.php=v1", "old.php=old", "Data/mine.txt=mine",
                                                "Data/d1/n1.txt=user"});
        // Two packages that differ in every file, in modes and in the files they hold.
        for (const QString version : {"a", "b"}) {
            QJsonArray entries{file("site/www/index.php", version),
                               file("site/www/only-" + version + ".php", version)};
            for (int i = 0; i < 800; ++i) {
                entries << file(QStringLiteral("site/www/m%1/f%2.php").arg(i % 30).arg(i),
                                QStringLiteral("%1-%2-").arg(version).arg(i).repeated(40),
                                (i % 7 == 0) == (version == "a") ? 0600 : 0644);
                if (i < 300)
                    entries << file("site/www/Data/d" + QString::number(i % 20) + '/' + version +
                                        QString::number(i) + ".txt",
                                    "package " + version);
            }
            makeZip(m_served + "/killed-" + version + ".zip", entries);
        }
        const auto leftovers = [&] {
            QStringList found;
            for (const QString &pid : QDir("/proc").entryList(QDir::Dirs))
                if (const QByteArray cmd = readFile("/proc/" + pid + "/cmdline");
                    cmd.contains(QFile::encodeName(panel.base)) && !cmd.startsWith("setpriv"))
                    found << QString::fromUtf8(cmd).replace(QChar(0), QChar(' '));
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
            startPanel(p, panel.program,
                       {"update", "--url", m_http->base + "slow/killed-" + version + ".zip"},
                       panel.options);
            QVERIFY(p.waitForStarted());
            p.setReadChannel(QProcess::StandardError);
            QByteArray err;
            while (!err.contains(phases[i % 4].toUtf8()) && p.state() == QProcess::Running) {
                p.waitForReadyRead(100);
                err += p.readAllStandardError();
            }
            QTest::qWait(rng.bounded(60));
            // A run that ended by itself meanwhile counts as killed.
            const bool interrupt = i % 5 == 4;
            if (const qint64 pid = p.processId(); pid > 0)
                ::kill(pid_t(pid), interrupt ? SIGINT : SIGKILL);
            // waitForFinished() is false for a run that has already been reaped.
            QVERIFY2(p.state() == QProcess::NotRunning || p.waitForFinished(60000),
                     qPrintable(context));
            err += p.readAllStandardError() + p.readAllStandardOutput();
            QTRY_VERIFY2_WITH_TIMEOUT(leftovers().isEmpty(), qPrintable(leftovers().join('\n')),
                                      10000);
            // The package only added its own files; no rsync temporary file is left.
            auto data = part(DataPart, treeState(panel.www));
            data.removeIf([&](const auto &item) {
                return !dataBefore.contains(item.key()) &&
                       (item.value().startsWith("D:") ||
                        item.value().endsWith("package " + version));
            });
            QVERIFY2(data == dataBefore, qPrintable(context));
            // Ctrl-C cleans up at once, with no marker left; after a kill one rollback does.
            const bool cleaned = interrupt && p.exitCode() != 0;
            const PanelRun rollback = cleaned ? PanelRun{0, {}, {}} : panel.run({"rollback"});
            QVERIFY2(rollback.exitCode == 0 && part(SitePart, treeState(panel.www)) == whole,
                     qPrintable(context + rollback.out + QString::fromUtf8(err)));
            QVERIFY(!cleaned || typeOf(panel.runtime + "/backup/www-before-update.running") == 0);
            const PanelRun next =
                panel.run({"update", "--url", m_http->base + "killed-" + version + ".zip"});
            QVERIFY2(next.exitCode == 0, qPrintable(context + next.out));
            QCOMPARE(readFile(panel.www + "/index.php"), version.toUtf8());
            whole = part(SitePart, treeState(panel.www));
        }
    }
};

QTEST_GUILESS_MAIN(TestUpdate)
#include "tst_update.moc"
