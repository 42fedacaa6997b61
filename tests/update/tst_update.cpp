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

#include <QDirIterator>
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

namespace {

const QString kFixtures = QStringLiteral(TAVEX_UPDATE_FIXTURES);
// A site before an update, and after pkg.zip reached it.
const QStringList kSite = {"index.php=v1", "old.php=old", "Data/kept.txt=mine"};
const QStringList kUpdated = {"Data/kept.txt=mine", "Data/new.txt=new", "include/lib.php=lib2",
                              "index.php=<?php echo 'v2';"};

// A fixtures.py server on a free loopback port, for the life of the object.
class Server
{
public:
    Server(const QString &dir, const QStringList &tls = {})
        : m_scheme(tls.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"))
    {
        m_process.start(QStringLiteral("python3"),
                        QStringList{kFixtures, QStringLiteral("serve"), dir} + tls);
        if (m_process.waitForReadyRead(10000))
            m_port = m_process.readLine().trimmed().toInt();
    }
    ~Server()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    QUrl url(const QString &path) const
    {
        return QUrl(QStringLiteral("%1://127.0.0.1:%2/%3").arg(m_scheme).arg(m_port).arg(path));
    }
    int port() const { return m_port; }

private:
    QString m_scheme;
    QProcess m_process;
    int m_port = 0;
};

QJsonObject file(const QString &name, const QString &data = QStringLiteral("x"), int mode = 0644)
{
    return {{"name", name}, {"data", data}, {"mode", mode}};
}
QJsonObject folder(const QString &name, int mode = 0755)
{
    return {{"name", name}, {"type", "dir"}, {"mode", mode}};
}
QJsonObject symlinkEntry(const QString &name, const QString &target)
{
    return {{"name", name}, {"type", "link"}, {"target", target}, {"mode", 0777}};
}
QJsonObject rawName(const QByteArray &raw, bool utf8flag)
{
    return {{"name", QString::fromUtf8(raw.toHex())},
            {"raw", QString::fromLatin1(raw.toHex())},
            {"utf8flag", utf8flag},
            {"data", "<?php"}};
}

void makeZip(const QString &out, const QJsonArray &entries)
{
    QProcess process;
    process.start(QStringLiteral("python3"), {kFixtures, QStringLiteral("zip"), out});
    process.write(QJsonDocument(entries).toJson());
    process.closeWriteChannel();
    QVERIFY(process.waitForFinished(20000));
    QVERIFY2(process.exitCode() == 0, process.readAllStandardError().constData());
}

bool underTopData(const QString &rel)
{
    const QString top = rel.section(QLatin1Char('/'), 0, 0);
    return top == QLatin1String("Data") || top == QLatin1String("data");
}
// A tree state without the data folders (and without folders: an update may leave their times
// and modes), or the data folders alone.
QMap<QString, QString> sitePart(QMap<QString, QString> state)
{
    state.removeIf([](const auto &item) {
        return underTopData(item.key()) || item.value().startsWith(QLatin1String("D:"));
    });
    return state;
}
QMap<QString, QString> dataPart(QMap<QString, QString> state)
{
    state.removeIf([](const auto &item) { return !underTopData(item.key()); });
    return state;
}

QStringList namesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

// Gives every file under dir one old modification time, so that rsync's quick check (size and
// time) never takes a package file for the site's file of the same size written the same second.
void ageFiles(const QString &dir)
{
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        if (f.open(QIODevice::ReadWrite))
            f.setFileTime(QDateTime(QDate(2001, 1, 1), QTime(0, 0)),
                          QFileDevice::FileModificationTime);
    }
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

    Installed install(const QString &name, const QStringList &site = kSite)
    {
        Installed panel;
        panel.base = fresh(name);
        panel.program = installPanelCopy(panel.base + QStringLiteral("/app/bin/tavex-panel"));
        panel.runtime = panel.base + QStringLiteral("/Tavex-panel/runtime");
        panel.www = panel.runtime + QStringLiteral("/www");
        panel.options.home = panel.base + QStringLiteral("/home");
        QDir().mkpath(panel.runtime);
        if (!site.isEmpty())
            makeLayout(panel.www, site);
        return panel;
    }

    QStringList updateFrom(const QString &path) const
    {
        return {QStringLiteral("update"), QStringLiteral("--url"), m_http->url(path).toString()};
    }

    // The package served to a headless run whose runtime folder is a 64 MB tmpfs, mounted in a
    // private mount namespace over a folder of the test's own: the result line starts with the
    // message and nothing is left in the extraction folder.
    void extractOnSmallDisk(const QString &package, const QString &message)
    {
        if (::geteuid() != 0 ||
            QProcess::execute(QStringLiteral("unshare"),
                              {QStringLiteral("-m"), QStringLiteral("true")}) != 0)
            QSKIP("a private mount namespace needs root");
        const QString name = QStringLiteral("small-disk-%1.zip").arg(m_case);
        QVERIFY(QFile::copy(package, m_served + QLatin1Char('/') + name));
        Installed panel = install(QStringLiteral("small-disk"), {});
        panel.options.launcher =
            QStringLiteral("unshare --mount --propagation private sh -c").split(u' ')
            << QStringLiteral("mount -t tmpfs -o size=64m tmpfs \"$1\" || exit 77\nr=$1; shift\n"
                              "\"$@\"\necho '--- left:'\nls -A \"$r/update-extract\"\n")
            << QStringLiteral("sh") << panel.runtime;
        const PanelRun run = panel.run(updateFrom(name));
        if (run.exitCode == 77)
            QSKIP("tmpfs cannot be mounted here");
        QVERIFY2(run.out.split(QLatin1Char('\n')).value(1).startsWith(message),
                 qPrintable(run.out));
        QVERIFY2(run.out.trimmed().endsWith(QStringLiteral("--- left:")), qPrintable(run.out));
        // The namespace and its tmpfs are gone; the folder under it is as the test made it.
        QCOMPARE(namesIn(panel.runtime), QStringList());
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        qputenv("XDG_CONFIG_HOME", m_dir.path().toUtf8() + "/config");
        m_served = m_dir.path() + QStringLiteral("/served");
        QDir().mkpath(m_served);
        m_canary = m_dir.path() + QStringLiteral("/canary");
        writeFile(m_canary + QStringLiteral("/keep.txt"), "canary");

        const QString ca = m_dir.path() + QStringLiteral("/ca");
        QDir().mkpath(ca);
        QCOMPARE(
            QProcess::execute(QStringLiteral("python3"), {kFixtures, QStringLiteral("ca"), ca}), 0);
        m_ca = QSslCertificate::fromPath(ca + QStringLiteral("/ca.pem"));
        QCOMPARE(m_ca.size(), 1);

        // Packages served to the runs.
        const QJsonArray site = {
            file("site/www/index.php", "<?php echo 'v2';"), folder("site/www/include/"),
            file("site/www/include/lib.php", "lib2"), file("site/www/Data/new.txt", "new"),
            file("site/www/Data/kept.txt", "pkg")};
        makeZip(m_served + QStringLiteral("/pkg.zip"), site);
        makeZip(m_served + QStringLiteral("/noroot.zip"), {file("readme.txt")});

        m_http = std::make_unique<Server>(m_served);
        m_https = std::make_unique<Server>(
            m_served, QStringList{QStringLiteral("--tls"), ca + QStringLiteral("/server.pem"),
                                  ca + QStringLiteral("/server.key")});
        QVERIFY(m_http->port() > 0 && m_https->port() > 0);
    }

    void cleanupTestCase()
    {
        QCOMPARE(treeState(m_canary), (QMap<QString, QString>{{"keep.txt", "F:644:canary"}}));
        removeTree(m_dir.path());
    }

    void downloadURL_data()
    {
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, const QDateTime &now, const char *query,
                            const char *expected) {
            const QString base = QStringLiteral("https://h.example/tavex-update.zip");
            QTest::newRow(name) << now << base + QString::fromUtf8(query)
                                << base + QString::fromUtf8(expected);
        };
        // The first and the last minute of a day both give that day.
        row("december", QDateTime(QDate(2026, 12, 5), QTime(0, 0, 1)), "", "?t=20261205");
        row("zero-padded month", QDateTime(QDate(2026, 1, 5), QTime(23, 59)), "", "?t=20260105");
        row("a base with a query gains the item t", QDateTime(QDate(2026, 3, 9), QTime(12, 0)),
            "?a=1", "?a=1&t=20260309");
    }

    void downloadURL()
    {
        QFETCH(QDateTime, now);
        QFETCH(QString, base);
        QFETCH(QString, expected);
        // A locale with other digits still gives ASCII digits.
        const QLocale before;
        QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt));
        const QUrl url = updateZipDownloadURL(QUrl(base), now);
        QLocale::setDefault(before);
        QCOMPARE(url.toString(QUrl::FullyEncoded), expected);
    }

    void download_data()
    {
        QTest::addColumn<QString>("path");   // served path; "refused": a closed port
        QTest::addColumn<QString>("scheme"); // "http", "https", or "untrusted" https
        QTest::addColumn<QString>("before"); // what stands at the package path: "", file, dir, link
        QTest::addColumn<QString>("error");  // part of the error; empty for success
        QTest::addColumn<int>("cancelAfterMs"); // a cancellation request after this; 0: none
        const auto row = [](const char *name, const char *path, const char *scheme,
                            const char *before, const QString &error, int cancelAfterMs = 0) {
            QTest::newRow(name) << QString::fromUtf8(path) << QString::fromUtf8(scheme)
                                << QString::fromUtf8(before) << error << cancelAfterMs;
        };
        const QString slow = QStringLiteral("下载过慢：1.5 秒内平均不到 1 KiB/s，下载已中止");
        const QString cancelled = QStringLiteral("已取消: ");
        row("http", "pkg.zip", "http", "file", "");
        row("https with the test authority", "pkg.zip", "https", "", "");
        row("https without it", "pkg.zip", "untrusted", "file", "SSL");
        // The error page is the package: the extraction says what is wrong with it.
        row("an error page replaces the package", "status/500", "http", "file", "");
        row("connection refused", "refused", "http", "file", "refused");
        row("broken mid-body", "break/pkg.zip", "http", "file", "closed");
        row("stalled mid-body", "stall/pkg.zip", "http", "file", slow);
        // Within the row's deadline: a server that never answers is a stall too.
        row("no headers ever", "silent/pkg.zip", "http", "file", slow);
        row("a trickle that never stalls", "trickle/pkg.zip", "http", "", slow);
        row("cancelled while stalled", "stall/pkg.zip", "http", "file", cancelled, 300);
        row("cancelled during a slow https transfer", "slow/pkg.zip", "https", "", cancelled, 300);
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
        const QString runtime = fresh(QStringLiteral("download"));
        const QString package = runtime + QStringLiteral("/tavex-update.zip");
        const QString outside = fresh(QStringLiteral("outside")) + QStringLiteral("/precious");
        writeFile(outside, "precious");
        if (before == QLatin1String("file"))
            writeFile(package, "old package");
        else if (before == QLatin1String("dir"))
            writeFile(package + QStringLiteral("/inner/f"), "x");
        else if (before == QLatin1String("link"))
            QVERIFY(QFile::link(outside, package));

        DownloadOptions options;
        options.rateWindowMs = 1500;
        if (scheme == QLatin1String("https"))
            options.extraCaCertificates = m_ca;
        const QUrl url = path == QLatin1String("refused")
                             ? refusedUrl()
                             : (scheme == QLatin1String("http") ? m_http : m_https)->url(path);
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
            const QByteArray got = readFile(package);
            QVERIFY(path.startsWith(QLatin1String("status/"))
                        ? got.contains("status 500")
                        : got == readFile(m_served + QStringLiteral("/pkg.zip")));
        } else {
            QVERIFY2(result.contains(error, Qt::CaseInsensitive), qPrintable(result));
            QVERIFY2(cancelAfterMs == 0 || result.startsWith(cancelledPrefix()),
                     qPrintable(result));
            if (before == QLatin1String("file"))
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
        QTest::addColumn<QString>("message"); // start of the failure; empty for success
        QTest::addColumn<QStringList>("present");
        QTest::addColumn<QStringList>("absent");
        // "deep": the extraction folder lies near the system's path limit; "cancelled": a
        // cancellation is requested; "tmpfs": a headless run with the runtime folder on a small
        // file system of its own.
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QByteArray>("raw"); // instead of entries: these bytes are the package
        const auto row = [](const char *name, const QJsonArray &entries, const QString &message,
                            const QStringList &present = {}, const QStringList &absent = {},
                            const QString &setup = {}, const QByteArray &raw = {}) {
            QTest::newRow(name) << entries << message << present << absent << setup << raw;
        };
        const QByteArray chinese = QStringLiteral("中文/页面.php").toUtf8();
        const QString outsideLink =
            QStringLiteral("更新/修复失败: 更新包中的符号链接指向解压目录之外");
        row("macOS artifacts",
            {file("__MACOSX/site/._index.php"), file("site/._index.php"), file("site/index.php"),
             file("a/b/__MACOSX/x"), file("c/__MACOSX"), file("site/.hidden")},
            "", {"site/index.php", "site/.hidden", "a/b"},
            {"__MACOSX", "site/._index.php", "a/b/__MACOSX", "c/__MACOSX"});
        row("__MACOSX linking to a folder outside",
            {file("index.php"), symlinkEntry("__MACOSX", "../outside")}, "", {"index.php"},
            {"__MACOSX"});
        row("UTF-8 names with the flag", {rawName(chinese, true)}, "", {"中文/页面.php"});
        row("UTF-8 names without the flag", {rawName(chinese, false)}, "", {"中文/页面.php"});
        row("GBK names without the flag",
            {rawName(QByteArray::fromHex("d6d0cec42fd2b3c3e62e706870"), false), file("ascii.php")},
            "", {"中文/页面.php", "ascii.php"});
        row("set-id bits are dropped", {file("run.sh", "#!/bin/sh", 06755)}, "", {"run.sh"});
        row("a read-only folder", {folder("ro/", 0555), file("ro/f")}, "", {"ro/f"});
        // Refused from the package's directory, before the archive tool runs.
        row("..", {file("ok.php"), file("../evil.php")},
            "解压失败: 更新包中有含 \"..\" 的路径: ../evil.php");
        row("absolute path", {file(m_canary + "/evil.php")}, "解压失败: 更新包中有绝对路径");
        row("a FIFO", {QJsonObject{{"name", "p"}, {"type", "fifo"}}},
            "解压失败: 更新包中有不受支持的文件类型");
        row("a link out, then an entry through it",
            {symlinkEntry("ln", "../outside"), file("ln/evil.php")}, "解压失败: ditto 退出码 1，");
        row("an absolute link out", {file("index.php"), symlinkEntry("canary", m_canary)},
            outsideLink);
        row("a relative link climbing out", {folder("a/"), symlinkEntry("a/up", "../../outside")},
            outsideLink);
        // The target does not exist yet: the link is judged by its text, not by what it reaches.
        row("a relative link climbing out to nothing yet",
            {folder("a/"), symlinkEntry("a/cfg", "../../../config")}, outsideLink);
        row("a link inside stays", {file("a/index.php"), symlinkEntry("b", "a")}, "",
            {"b/index.php"});
        row("no entries", {}, "");
        row("an empty file", {}, "解压失败: ", {}, {}, {}, QByteArray(""));
        row("an error page", {}, "解压失败: ditto 退出码 1，", {}, {}, {}, "<html>404</html>");
        row("truncated", {}, "解压失败: ditto 退出码 ", {}, {}, {}, "truncate");
        row("a declared size beyond any disk (Zip64)",
            {file("index.php"),
             QJsonObject{{"name", "big.bin"}, {"data", "x"}, {"declare", 1LL << 50}}},
            "解压失败: 磁盘空间不足，解压需要 2.0 PB，可用 ");
        row("a path beyond the system's limit",
            {file("d/" + QString(150, QLatin1Char('f')) + ".php")},
            "更新/修复失败: 路径过长（超过系统上限）: ", {}, {}, "deep");
        row("cancelled", {file("index.php"), file("a/b.php")}, "已取消: ", {}, {}, "cancelled");
        row("a small disk: an honest size is refused",
            {file("www/index.php"), QJsonObject{{"name", "www/big.bin"}, {"zeros", 40 << 20}}},
            "解压失败: 磁盘空间不足，解压需要 96 MB，可用 ", {}, {}, "tmpfs");
        row("a small disk filled by a lying size",
            {file("www/index.php"),
             QJsonObject{{"name", "www/big.bin"}, {"zeros", 100 << 20}, {"declare", 1024}}},
            "解压失败: 磁盘空间不足，可用 ", {}, {}, "tmpfs");
    }

    void extract()
    {
        QFETCH(QJsonArray, entries);
        QFETCH(QByteArray, raw);
        QFETCH(QString, message);
        QFETCH(QStringList, present);
        QFETCH(QStringList, absent);
        QFETCH(QString, setup);
        const QString runtime = fresh(QStringLiteral("extract"));
        const QString package = runtime + QStringLiteral("/tavex-update.zip");
        QString extract = runtime + QStringLiteral("/update-extract");
        // Short of the limit itself, so that the tool can still enter it.
        while (setup == QLatin1String("deep") && extract.size() < 3900)
            extract += QLatin1Char('/') + QString(200, QLatin1Char('d'));
        writeFile(runtime + QStringLiteral("/outside/keep.txt"), "keep");
        if (raw == "truncate") {
            QJsonArray big;
            for (int i = 0; i < 50; ++i)
                big << file(QStringLiteral("f%1.php").arg(i),
                            QString(2000, QLatin1Char('a' + i % 26)));
            makeZip(package, big);
            QFile f(package);
            QVERIFY(f.resize(f.size() / 2));
        } else if (!raw.isNull()) {
            writeFile(package, raw);
        } else {
            makeZip(package, entries);
        }
        if (setup == QLatin1String("tmpfs"))
            return extractOnSmallDisk(package, message);
        QVERIFY(QDir().mkpath(extract));
        const auto before = treeState(runtime + QStringLiteral("/outside"));

        if (setup == QLatin1String("cancelled"))
            requestCancellation();
        QString result = unzipUpdateArchive(package, extract);
        clearCancellation();
        // A failed extraction leaves nothing of the package behind.
        if (!result.isEmpty())
            QCOMPARE(treeState(extract), (QMap<QString, QString>{}));
        if (result.isEmpty())
            result = removeMacOSXArtifacts(extract);
        if (result.isEmpty() && !extractedTreeProblem(extract).isEmpty())
            result = QStringLiteral("更新/修复失败: ") + extractedTreeProblem(extract);

        QVERIFY2(message.isEmpty() ? result.isEmpty() : result.startsWith(message),
                 qPrintable(result));
        // Unsafe entries are found in the package's directory, before the tool unpacks anything.
        QCOMPARE(!readZipDirectory(package).unsafeEntry.isEmpty(),
                 message.startsWith(QStringLiteral("解压失败: 更新包中有")));
        for (const QString &path : present)
            QVERIFY2(QFileInfo::exists(extract + QLatin1Char('/') + path), qPrintable(path));
        for (const QString &path : absent)
            QVERIFY2(typeOf(extract + QLatin1Char('/') + path) == 0, qPrintable(path));
        // Nothing outside the extraction folder was written; no entry has set-id bits.
        QCOMPARE(treeState(runtime + QStringLiteral("/outside")), before);
        QCOMPARE(namesIn(runtime), (QStringList{"outside", "tavex-update.zip", "update-extract"}));
        const auto state = treeState(extract);
        for (auto it = state.cbegin(); it != state.cend(); ++it) {
            unsigned mode = 0;
            typeOf(extract + QLatin1Char('/') + it.key(), &mode);
            QVERIFY2(!(mode & (S_ISUID | S_ISGID)), qPrintable(it.key()));
        }
    }

    void siteRoot_data()
    {
        QTest::addColumn<QStringList>("layout");
        QTest::addColumn<QString>("expected"); // relative; "-" for none
        const auto row = [](const char *name, const QStringList &layout, const char *expected) {
            QTest::newRow(name) << layout << QString::fromUtf8(expected);
        };
        row("top is the site", {"index.php", "include/", "Data/"}, ".");
        row("one wrapper with loose files",
            {"readme.txt", "site-1.0/index.php", "site-1.0/LibTavex/"}, "site-1.0");
        row("a www anywhere comes first", {"index.php", "include/", "vendor/demo/www/index.php"},
            "vendor/demo/www");
        row("higher score wins",
            {"a/www/index.php", "a/www/install/index.php", "b/www/index.php", "b/www/include/",
             "b/www/LibTavex/", "b/www/Data/"},
            "a/www");
        row("equal scores: the longer path", {"www/index.php", "x/www/index.php"}, "x/www");
        row("a www inside a www never wins over it",
            {"www/index.php", "www/Data/", "www/vendor/acme/demo/www/index.php",
             "www/vendor/acme/demo/www/data/"},
            "www");
        row("equal scores and lengths: the first by name", {"b/www/index.php", "a/www/index.php"},
            "a/www");
        row("data counts once",
            {"a/www/index.php", "a/www/Data/", "a/www/data/", "bb/www/index.php", "bb/www/data/"},
            "bb/www");
        row("WWW is no candidate", {"x/WWW/index.php", "x/Www/index.php"}, "-");
        row("a hidden www is ignored", {".cache/www/index.php", "index.php", "include/"}, ".");
        row("hidden folder beside a wrapper", {".git/", "site/index.php", "site/include/"}, "site");
        row("five wrappers", {"1/2/3/4/5/index.php", "1/2/3/4/5/include/"}, "1/2/3/4/5");
        row("six wrappers are too deep", {"1/2/3/4/5/6/index.php", "1/2/3/4/5/6/include/"}, "-");
        row("index.php without markers stops", {"index.php", "real/index.php", "real/include/"},
            "-");
        row("two folders stop", {"a/index.php", "a/include/", "b/"}, "-");
        row("a linked www is no candidate",
            {"real/index.php", "real/include/", "x/", "x/www->../real"}, "-");
        row("a linked folder is neither a wrapper nor a second folder",
            {"real/x/index.php", "real/x/include/", "wrap->real"}, "real/x");
    }

    void siteRoot()
    {
        QFETCH(QStringList, layout);
        QFETCH(QString, expected);
        const QString root = fresh(QStringLiteral("root"));
        makeLayout(root, layout);
        const auto found = resolveUpdateWebSource(root);
        QCOMPARE(found ? QDir(root).relativeFilePath(*found) : QStringLiteral("-"), expected);
    }

    // What rsync printed, read as a hard failure or not; an rsync that cannot start fails a whole
    // headless run below.
    void rsyncFailure()
    {
        for (const char *text : {" \n\t\n", "skipping non-regular file \"x\"\n",
                                 "exit(24): rsync error: some files vanished"})
            QVERIFY2(!rsyncOutputIndicatesHardFailure(QString::fromUtf8(text)), text);
        for (const char *text : {"exit(23): rsync: x\n", "exit(12): ",
                                 "timeout: /usr/bin/rsync 超过 300 秒，已强制结束\n解压日志:\n",
                                 "cannot delete non-empty directory"})
            QVERIFY2(rsyncOutputIndicatesHardFailure(QString::fromUtf8(text)), text);
    }

    // The cases the generated data-safety runs below do not make: files told apart by content
    // alone, the package's data reaching both live data folders, entries of another type, links.
    void sync_data()
    {
        QTest::addColumn<QStringList>("site");
        QTest::addColumn<QStringList>("package");
        QTest::addColumn<QString>("error");        // start of the failure; empty for success
        QTest::addColumn<QList<int>>("steps");     // the done counts reported
        QTest::addColumn<QStringList>("expected"); // files of the site afterwards
        QTest::addColumn<QString>("note");         // part of the notes
        const auto row = [](const char *name, const QStringList &site, const QStringList &package,
                            const QString &error, const QList<int> &steps,
                            const QStringList &expected, const QString &note = {}) {
            QTest::newRow(name) << site << package << error << steps << expected << note;
        };
        row("a changed file of the same size and time arrives",
            {"index.php=v1", "include/cfg.php=1"}, {"index.php=v2", "include/cfg.php=2"}, "",
            {0, 1}, {"include/cfg.php=2", "index.php=v2"});
        row("a live lower-case data folder keeps its files",
            {"data/up.jpg=mine", "data/set.php=live"},
            {"index.php=i", "data/set.php=default", "data/new=n"}, "", {0, 1, 2},
            {"Data/new=n", "Data/set.php=default", "data/new=n", "data/set.php=live",
             "data/up.jpg=mine", "index.php=i"});
        row("inside Data a live entry of another type wins",
            {"Data/cache=live file", "Data/dir/x=1"},
            {"index.php=i", "Data/cache/c.txt=c", "Data/dir=file", "Data/add=a"}, "", {0, 1, 2},
            {"Data/add=a", "Data/cache=live file", "Data/dir/x=1", "index.php=i"},
            QStringLiteral("已跳过更新包中的: Data/cache, Data/dir"));
        row("a destination that is a link is refused", {"@link"}, {"index.php=i"}, "", {}, {});
        row("a link leaving the site root is refused", {"old.php=o"},
            {"index.php=i", "up->../outside"}, QStringLiteral("更新包中的符号链接指向站点根之外"),
            {}, {"old.php=o"});
    }

    void sync()
    {
        QFETCH(QStringList, site);
        QFETCH(QStringList, package);
        QFETCH(QString, error);
        QFETCH(QList<int>, steps);
        QFETCH(QStringList, expected);
        QFETCH(QString, note);
        const QString base = fresh(QStringLiteral("sync"));
        const QString source = base + QStringLiteral("/pkg");
        const QString target = base + QStringLiteral("/www");
        makeLayout(source, package);
        writeFile(base + QStringLiteral("/outside/f"), "outside");
        if (site == QStringList{"@link"}) {
            QVERIFY(QFile::link(base + QStringLiteral("/outside"), target));
            error = symlinkRefusal(target);
        } else {
            makeLayout(target, site);
        }
        // Same times on both sides: only the contents tell the files apart.
        ageFiles(source);
        ageFiles(target);
        QList<int> reported;
        const SyncResult result = syncDirectoryContents(
            source, target, [&](int done, int, const QString &) { reported << done; });
        QCOMPARE(result.error.left(error.size()), error);
        QCOMPARE(reported, steps);
        QCOMPARE(treeState(base + QStringLiteral("/outside")).value("f"),
                 QStringLiteral("F:644:outside"));
        if (typeOf(target) == S_IFDIR)
            QCOMPARE(fileList(target), expected);
        QVERIFY2(result.notes.join(QLatin1Char('\n')).contains(note),
                 qPrintable(result.notes.join(QLatin1Char('\n'))));
    }

    // Generated sites and packages with and without Data/data, including a live Data that is a
    // link or a file, a package Data that is a file, and read-only folders: the live Data never
    // changes, every package file arrives, dropped files go, and a rollback restores the site.
    void dataSafety()
    {
        QRandomGenerator rng(20260405);
        const QStringList pool = {
            "index.php",          "a.php",       "inc/x.php", "inc/deep/y.php",
            "include/Data/q.txt", "data2/w.txt", ".htaccess"};
        for (int i = 0; i < 220; ++i) {
            const QString base = fresh(QStringLiteral("safety"));
            const QString site = base + QStringLiteral("/www");
            const QString pkg = base + QStringLiteral("/pkg");
            const QString outside = base + QStringLiteral("/outside");
            const QString snapshotDir = base + QStringLiteral("/backup/www-before-update");
            writeFile(outside + QStringLiteral("/linked.txt"), "linked");

            QStringList siteLayout, pkgLayout{QStringLiteral("index.php=new-%1").arg(i)};
            for (const QString &p : pool) {
                if (rng.bounded(2))
                    siteLayout << p + QStringLiteral("=site-%1").arg(rng.bounded(3));
                if (rng.bounded(2))
                    pkgLayout << p + QStringLiteral("=pkg-%1").arg(rng.bounded(3));
            }
            const int liveData = rng.bounded(10); // 0-5 folder, 6-7 link, 8 file, 9 none
            // An ordinary user cannot add files to a read-only folder of the live Data.
            bool liveReadOnly = false;
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
            // A live lower-case data folder is the site's data too.
            if (rng.bounded(3) == 0)
                siteLayout += {"data/l1=mine", "data/sub/l2=mine"};
            const int pkgData = rng.bounded(5); // 0 none, 1 Data, 2 data, 3 Data file, 4 both
            const QString dataName = pkgData == 2 ? QStringLiteral("data") : QStringLiteral("Data");
            if (pkgData == 1 || pkgData == 2 || pkgData == 4) {
                pkgLayout << dataName + "/u1=pkg" << dataName + "/new=n"
                          << dataName + "/sub/u2=pkg2" << dataName + "/fresh/f=f";
                if (::geteuid() == 0 || !liveReadOnly)
                    pkgLayout << dataName + "/ro/new=n2";
                if (rng.bounded(2))
                    pkgLayout << dataName + "/ro/@555" << dataName + "/fresh/@555";
            }
            if (pkgData == 3)
                pkgLayout << "Data=pkg file";
            if (pkgData == 4)
                pkgLayout << "data/other=o";
            makeLayout(site, siteLayout);
            makeLayout(pkg, pkgLayout);
            ageFiles(pkg);
            const QString context =
                QStringLiteral("case %1 (live Data %2, package data %3) ")
                    .arg(QString::number(i), QString::number(liveData), QString::number(pkgData));

            const auto before = treeState(site);
            const auto outsideBefore = treeState(outside);
            QCOMPARE(takeSiteSnapshot(site, snapshotDir), QString());
            const SyncResult result =
                syncDirectoryContents(pkg, site, [](int, int, const QString &) {});
            QVERIFY2(result.stage == SyncResult::Done, qPrintable(context + result.error));
            const auto after = treeState(site);

            // The live Data: nothing deleted or changed, folder modes kept.
            for (const auto &[rel, state] : dataPart(before).asKeyValueRange())
                QVERIFY2(after.value(rel) == state, qPrintable(context + rel));
            QCOMPARE(treeState(outside), outsideBefore);
            // Every package entry arrives; what the package dropped is gone (Data aside).
            const auto pkgState = treeState(pkg);
            const auto outsideData = [](QMap<QString, QString> state) {
                state.removeIf([](const auto &item) { return underTopData(item.key()); });
                return state;
            };
            QVERIFY2(outsideData(after) == outsideData(pkgState), qPrintable(context));
            // Package data files arrive where the live Data is a real folder and lacks them; new
            // folders there stay writable.
            for (const DataMerge &merge : dataMerges(pkg, site)) {
                if (merge.liveDir != site + QStringLiteral("/Data") ||
                    (liveData > 5 && liveData < 9))
                    continue;
                for (const auto &[key, state] : treeState(merge.packageDir).asKeyValueRange()) {
                    const QString rel = QStringLiteral("Data/") + key;
                    unsigned mode = 0;
                    typeOf(site + QLatin1Char('/') + rel, &mode);
                    QVERIFY2(after.contains(rel) && (!state.startsWith(QLatin1String("D:")) ||
                                                     before.contains(rel) || (mode & S_IWUSR)),
                             qPrintable(context + rel));
                }
            }
            // Edits in place and mode changes after the update never reach the snapshot; the
            // rollback restores everything but the data folders, byte for byte, with modes.
            for (const auto &[rel, state] : sitePart(after).asKeyValueRange()) {
                QFile edited(site + QLatin1Char('/') + rel);
                if (state.startsWith(QLatin1String("F:")))
                    QVERIFY(
                        edited.open(QIODevice::Append) && edited.write("edited") == 6 &&
                        edited.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
            }
            // The live data folders are left exactly as they were: compared whole, modes and all.
            const auto dataBeforeRollback = dataPart(treeState(site));
            QVERIFY2(restoreSiteSnapshot(snapshotDir, site).complete(), qPrintable(context));
            const auto restored = treeState(site);
            QVERIFY2(dataPart(restored) == dataBeforeRollback, qPrintable(context));
            QVERIFY2(sitePart(restored) == sitePart(before), qPrintable(context));
            QCOMPARE(removeTree(base), QString());
        }
    }

    // Runs through the view model as the window's button does, or from a file on disk.
    void updateRun_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("https");
        QTest::addColumn<bool>("chosenRoot"); // the root was chosen by hand; nothing is installed
        // A package on disk instead of path: "file", "link" to it, "missing", "directory", or
        // "in the site"; empty: downloaded.
        QTest::addColumn<QString>("local");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QList<double>>("progress");
        const auto row = [](const char *name, const char *path, bool https, bool chosenRoot,
                            const char *local, const QString &message,
                            const QList<double> &progress) {
            QTest::newRow(name) << QString::fromUtf8(path) << https << chosenRoot
                                << QString::fromUtf8(local) << message << progress;
        };
        const QString done = QStringLiteral("已自动解压并同步到 runtime/www: ");
        const QList<double> all = {0.05, 0.1, 0.35, 0.6, 0.75, 0.75, 0.825, 0.9, 0.9, 1.0, 1.0};
        const QList<double> refused = {0.05, 1.0};
        row("over https into a root chosen by hand", "pkg.zip", true, true, "", done, all);
        row("download fails", "refused", false, false, "", QStringLiteral("更新下载失败: "),
            {0.05, 0.1, 1.0});
        row("no site root", "noroot.zip", false, false, "",
            QStringLiteral("更新包中未识别到站点根（需存在 index.php，且为 www 子目录或 zip "
                           "根目录含 include/LibTavex/Data 之一）"),
            {0.05, 0.1, 0.35, 0.6, 1.0});
        row("from a file on disk", "pkg.zip", false, false, "file", done, all);
        row("from a link to a file on disk", "pkg.zip", false, true, "link", done, all);
        row("a file that is not there", "pkg.zip", false, false, "missing",
            QStringLiteral("更新/修复失败: 更新包文件不存在: "), refused);
        row("a directory", "pkg.zip", false, false, "directory",
            QStringLiteral("更新/修复失败: 更新包路径是一个目录，不是 zip 文件: "), refused);
        row("a package inside the site it would update", "pkg.zip", false, false, "in the site",
            QStringLiteral("更新/修复失败: 更新包位于更新会改动的目录 "), refused);
    }

    void updateRun()
    {
        QFETCH(QString, path);
        QFETCH(bool, https);
        QFETCH(bool, chosenRoot);
        QFETCH(QString, local);
        QFETCH(QString, message);
        QFETCH(QList<double>, progress);
        const bool siteTouched = message.startsWith(QStringLiteral("已自动解压"));
        const QString base = fresh(QStringLiteral("run"));
        const QString installed = base + QStringLiteral("/Tavex-panel");
        const QString root = chosenRoot ? base + QStringLiteral("/chosen") : installed;
        if (chosenRoot) {
            makeValidRoot(root);
            writeSavedRoot(root);
        }
        const QString runtime = root + QStringLiteral("/runtime");
        const QString www = runtime + QStringLiteral("/www");
        makeLayout(www, kSite);
        // The user's package and the folder it lies in, which the run must leave as they are.
        const QString own = local == QLatin1String("in the site") ? www + QStringLiteral("/Data")
                                                                  : fresh(QStringLiteral("own"));
        QString package = runtime + QStringLiteral("/tavex-update.zip");
        if (!local.isEmpty()) {
            package = own + QStringLiteral("/site package.ZIP");
            QVERIFY(QFile::copy(m_served + QLatin1Char('/') + path, package));
            if (local == QLatin1String("link")) {
                QVERIFY(QFile::link(package, own + QStringLiteral("/link.zip")));
                package = own + QStringLiteral("/link.zip");
            } else if (local == QLatin1String("missing")) {
                package = own + QStringLiteral("/missing.zip");
            } else if (local == QLatin1String("directory")) {
                package = own;
            }
        }
        // Read-only leftovers of an earlier extraction are replaced.
        if (local.isEmpty())
            makeLayout(runtime + QStringLiteral("/update-extract"), {"old/ro/f=x", "old/ro/@555"});
        const auto before = treeState(www);
        const auto ownBefore = treeState(own);

        UpdateConfig config;
        config.baseURL =
            path == QLatin1String("refused") ? refusedUrl() : (https ? m_https : m_http)->url(path);
        config.download.extraCaCertificates = m_ca;
        PanelViewModel vm(PanelRootResolver(AppLocation::forExecutable(
                              base + QStringLiteral("/app/bin/tavex-panel"))),
                          nullptr, config);
        QList<double> seen;
        QStringList texts;
        connect(&vm, &PanelViewModel::logsChanged, this, [&] {
            if (vm.logs().startsWith(QStringLiteral("=== 更新/修复"))) {
                seen << vm.updateProgress();
                texts << vm.updateProgressText();
            }
        });
        QSignalSpy finished(&vm, &PanelViewModel::updateFinished);
        // A second press while a download runs is told, not run.
        for (int press = 0; press < (local.isEmpty() && siteTouched ? 2 : 1); ++press) {
            if (local.isEmpty())
                vm.updateOrRepairFiles();
            else
                vm.updateOrRepairFromFile(package);
        }
        QVERIFY(finished.wait(60000));
        writeSavedRoot(QString());
        QCOMPARE(finished.size(), 1);

        QCOMPARE(seen, progress);
        // A file on disk is read, not downloaded.
        QCOMPARE(texts.first(), local.isEmpty() ? QStringLiteral("正在下载更新包")
                                                : QStringLiteral("正在读取更新包"));
        QCOMPARE(vm.updateProgressText(), QStringLiteral("完成"));
        const QStringList lines = vm.logs().split(QLatin1Char('\n'));
        QCOMPARE(lines.first(), QStringLiteral("=== 更新/修复完成 ==="));
        QVERIFY2(lines.value(1).startsWith(message), qPrintable(vm.logs()));
        QCOMPARE(lines.mid(lines.size() - 3, 2),
                 (QStringList{"目录: " + root, "下载包: " + package}));
        QCOMPARE(finished.first().first().toBool(), siteTouched);
        // Nothing of the run is left running, and no marker of it.
        QCOMPARE(typeOf(runtime + QStringLiteral("/backup/www-before-update.running")), 0u);
        if (chosenRoot)
            QCOMPARE(typeOf(installed), 0u);
        if (!local.isEmpty()) {
            // The user's file is as it was, byte for byte, and nothing was downloaded.
            if (local != QLatin1String("in the site"))
                QCOMPARE(treeState(own), ownBefore);
            QCOMPARE(typeOf(runtime + QStringLiteral("/tavex-update.zip")), 0u);
            // A refused file stops the run before anything changes.
            if (!siteTouched)
                QCOMPARE(namesIn(runtime), QStringList{"www"});
        }
        if (siteTouched) {
            QCOMPARE(lines.at(1), "已自动解压并同步到 runtime/www: " + www);
            QCOMPARE(lines.at(2), "站点根: " + runtime + "/update-extract/site/www");
            QVERIFY(lines.at(3).contains(runtime + QStringLiteral("/backup/www-before-update")));
            QCOMPARE(fileList(www), kUpdated);
            QVERIFY(!vm.errorSummary().contains(QStringLiteral("失败")));
            // The snapshot holds the site as it was, Data aside.
            QCOMPARE(fileList(runtime + QStringLiteral("/backup/www-before-update")),
                     (QStringList{"index.php=v1", "old.php=old"}));
        } else {
            QCOMPARE(treeState(www), before);
            if (message.contains(QStringLiteral("失败")))
                QVERIFY(vm.errorSummary().contains(message.left(6)));
        }
    }

    // The headless command end to end, as separate processes of an installed copy started in the
    // user's folder, which holds pkg.zip and a FIFO and stays as it was.
    void headless()
    {
        Installed panel = install(QStringLiteral("headless"));
        const QString own = panel.base + QStringLiteral("/downloads");
        QVERIFY(QDir().mkpath(own));
        QVERIFY(
            QFile::copy(m_served + QStringLiteral("/pkg.zip"), own + QStringLiteral("/pkg.zip")));
        QCOMPARE(::mkfifo(QFile::encodeName(own + QStringLiteral("/fifo")).constData(), 0600), 0);
        const auto ownBefore = treeState(own);
        panel.options.workingDirectory = own;

        // Refused, never waited on, before anything changes.
        const auto siteBefore = treeState(panel.www);
        const QList<std::tuple<QStringList, int, QString>> refusals = {
            {{"update", "--file", "fifo"},
             1,
             "更新/修复失败: 更新包不是普通文件（管道、设备或套接字），已拒绝读取: "},
            {{"update", "--file", "pkg.zip", "--url", m_http->url("pkg.zip").toString()},
             2,
             "tavex-panel: --url 与 --file 不能同时使用"},
            {{"rollback", "--file", "pkg.zip"}, 2, "tavex-panel: --file 只能与 update 一起使用"}};
        for (const auto &[args, status, message] : refusals) {
            const PanelRun run = panel.run(args);
            QVERIFY2(run.exitCode == status && (run.out + run.err).contains(message),
                     qPrintable(run.out + run.err));
        }
        QCOMPARE(treeState(panel.www), siteBefore);

        // Two at once: one runs, the other says a run is active; the site is whole afterwards.
        QProcess first, second;
        for (QProcess *p : {&first, &second})
            startPanel(*p, panel.program, updateFrom(QStringLiteral("slow/pkg.zip")),
                       panel.options);
        QVERIFY(first.waitForFinished(60000) && second.waitForFinished(60000));
        const QString outputs =
            QString::fromUtf8(first.readAllStandardOutput() + second.readAllStandardOutput());
        QCOMPARE(first.exitCode() + second.exitCode(), 1);
        QVERIFY2(outputs.contains(updateBusyMessage()), qPrintable(outputs));
        QVERIFY(outputs.contains(QStringLiteral("已自动解压并同步到 runtime/www: ") + panel.www));
        QCOMPARE(fileList(panel.www), kUpdated);

        // From a relative path: seven lines on standard output naming the file, the progress on
        // standard error. The run replaces a file changed by hand and removes one the package
        // does not have.
        QVERIFY(QFile::remove(panel.www + QStringLiteral("/index.php")));
        writeFile(panel.www + QStringLiteral("/index.php"), "by hand");
        writeFile(panel.www + QStringLiteral("/extra.php"), "extra");
        const QStringList handMade = {"Data/kept.txt=mine", "Data/new.txt=new", "extra.php=extra",
                                      "include/lib.php=lib2", "index.php=by hand"};
        PanelRun run = panel.run(
            {QStringLiteral("update"), QStringLiteral("--file"), QStringLiteral("pkg.zip")});
        QVERIFY2(run.exitCode == 0 && run.out.trimmed().split(QLatin1Char('\n')).size() == 8 &&
                     run.out.contains(QStringLiteral("\n下载包: ") + own +
                                      QStringLiteral("/pkg.zip\n")) &&
                     run.err.contains(QStringLiteral("进度: 10% 正在读取更新包")) &&
                     run.err.contains(QStringLiteral("进度: 82% 正在同步到 www: 第二步：比对 Data/ "
                                                     "内文件，缺的同步、已有不覆盖\n")),
                 qPrintable(run.out + run.err));
        QCOMPARE(fileList(panel.www), kUpdated);
        QCOMPARE(treeState(own), ownBefore);

        // Rollback puts back the site as it was before the last run, Data aside; the state it
        // replaced was kept, and a second rollback returns to it.
        run = panel.run({QStringLiteral("rollback")});
        QVERIFY2(run.exitCode == 0 && run.out.contains(QStringLiteral("已回滚到上次更新前的站点")),
                 qPrintable(run.out));
        QCOMPARE(fileList(panel.www), handMade);
        run = panel.run({QStringLiteral("rollback")});
        QVERIFY2(run.exitCode == 0 && run.out.contains(QStringLiteral("回滚前的站点已保存为快照")),
                 qPrintable(run.out));
        QCOMPARE(fileList(panel.www), kUpdated);

        // An rsync that cannot start (in a mount namespace of the run's own, a file that is no
        // program stands at its path): the update fails, says so, and the site stays whole.
        if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty())
            return;
        const QString notAProgram = panel.base + QStringLiteral("/not-a-program");
        writeFile(notAProgram, "no program");
        panel.options.launcher =
            QStringLiteral("unshare --mount --propagation private -- sh -c").split(u' ')
            << QStringLiteral("mount --bind \"$1\" /usr/bin/rsync && shift && exec \"$@\"")
            << QStringLiteral("sh") << notAProgram;
        run = panel.run(
            {QStringLiteral("update"), QStringLiteral("--file"), QStringLiteral("pkg.zip")});
        QVERIFY2(run.exitCode == 1 && run.out.contains(QStringLiteral(
                                          "更新/修复失败: 同步失败(主文件): 执行失败: ")),
                 qPrintable(run.out + run.err));
        QCOMPARE(fileList(panel.www), kUpdated);
    }

    // Runs as an ordinary user (nobody) on a site that holds files and folders of another user
    // (root): each row's commands in turn, then what the site and the snapshot hold.
    void unprivilegedRuns_data()
    {
        QTest::addColumn<QStringList>("site");
        QTest::addColumn<QStringList>("snapshot"); // a snapshot from an earlier update
        QTest::addColumn<QStringList>("foreign");  // "path:mode" under runtime/, given to root
        QTest::addColumn<QStringList>("modes");    // "path:mode" under runtime/, kept by nobody
        QTest::addColumn<QStringList>("steps");    // "command|exit status|part of the output"
        QTest::addColumn<QString>("expected"); // the site afterwards: "before", "updated", or the
                                               // snapshot kept
        const auto row = [](const char *name, const QStringList &site, const QStringList &snapshot,
                            const QStringList &foreign, const QStringList &modes,
                            const QStringList &steps, const char *expected) {
            QTest::newRow(name) << site << snapshot << foreign << modes << steps
                                << QString::fromUtf8(expected);
        };
        const QStringList site = {"index.php=v1", "a.php=a", "Data/kept.txt=mine"};
        row("the first run fails on a folder it may not change: the site is put back",
            site + QStringList{"locked/keep.txt=k"}, {},
            {"www/locked:755", "www/locked/keep.txt:644"}, {},
            {"update|1|已从更新前的快照恢复站点"}, "before");
        row("a file it cannot read: refused before any change, the last snapshot stays",
            site + QStringList{"secret.php=s"}, {"index.php=v0"}, {"www/secret.php:600"}, {},
            {"update|1|以下文件无法读取或复制，站点快照不完整: secret.php",
             "rollback|1|无法保存回滚前的站点，站点未改动"},
            "snapshot kept");
        row("a shared site folder of another user: its time and mode are no failure", site, {},
            {"www:777"}, {}, {"update|0|已自动解压并同步"}, "updated");
        row("a file of mode 000 that the update deletes comes back with the rollback",
            site + QStringList{"locked.php=z"}, {}, {}, {"www/locked.php:0"},
            {"update|0|已自动解压并同步", "rollback|0|已回滚"}, "before");
        row("a rollback that cannot put a file back names it and keeps the snapshot", site,
            {"index.php=v0", "gone.php=g"}, {"backup/www-before-update/gone.php:600"}, {},
            {"rollback|1|gone.php", "update|1|上次回滚有文件未能恢复"}, "snapshot kept");
    }

    void unprivilegedRuns()
    {
        QFETCH(QStringList, site);
        QFETCH(QStringList, snapshot);
        QFETCH(QStringList, foreign);
        QFETCH(QStringList, modes);
        QFETCH(QStringList, steps);
        QFETCH(QString, expected);
        if (::geteuid() != 0)
            QSKIP("needs root to make a second user's files");
        Installed panel = install(QStringLiteral("unprivileged"), site);
        const QString snapshotDir = panel.runtime + QStringLiteral("/backup/www-before-update");
        if (!snapshot.isEmpty())
            makeLayout(snapshotDir, snapshot);
        QVERIFY(QProcess::execute(QStringLiteral("chmod"),
                                  {QStringLiteral("755"), m_dir.path(), panel.base}) == 0);
        QVERIFY(QProcess::execute(
                    QStringLiteral("chown"),
                    {QStringLiteral("-R"), QStringLiteral("65534:65534"), panel.base}) == 0);
        for (const QString &item : foreign + modes) {
            const QByteArray path = QFile::encodeName(panel.runtime + QLatin1Char('/') +
                                                      item.section(QLatin1Char(':'), 0, 0));
            if (foreign.contains(item))
                QVERIFY(::chown(path.constData(), 0, 0) == 0);
            QVERIFY(::chmod(path.constData(),
                            item.section(QLatin1Char(':'), 1).toUInt(nullptr, 8)) == 0);
        }
        const auto before = sitePart(treeState(panel.www));
        const auto snapshotBefore = treeState(snapshotDir);

        panel.options.launcher =
            QStringLiteral("setpriv --reuid=65534 --regid=65534 --clear-groups").split(u' ');
        for (const QString &step : steps) {
            const QStringList parts = step.split(QLatin1Char('|'));
            const PanelRun run = panel.run(parts[0] == QLatin1String("update")
                                               ? updateFrom(QStringLiteral("pkg.zip"))
                                               : QStringList{parts[0]});
            QVERIFY2(run.exitCode == parts[1].toInt() && run.out.contains(parts[2]),
                     qPrintable(step + QLatin1Char('\n') + run.out));
        }
        if (expected == QLatin1String("before"))
            QCOMPARE(sitePart(treeState(panel.www)), before);
        else if (expected == QLatin1String("updated"))
            QCOMPARE(fileList(panel.www), kUpdated);
        else
            QCOMPARE(treeState(snapshotDir), snapshotBefore);
    }

    // A panel killed at chosen points of an update: the download, the extraction, the first and
    // the second rsync run; every fifth is stopped with Ctrl-C instead. After each, no program of
    // the run is left, the live data is as it was (the package may only have added files), one
    // rollback gives back the last whole site exactly, and a following update succeeds.
    void killedRuns()
    {
        const Installed panel =
            install(QStringLiteral("killed"),
                    {"index.php=v1", "old.php=old", "Data/mine.txt=mine", "Data/d1/n1.txt=user"});
        // Two packages that differ in every file, in modes and in the files they hold.
        for (const char *version : {"a", "b"}) {
            QJsonArray entries;
            for (int i = 0; i < 800; ++i)
                entries << file(QStringLiteral("site/www/m%1/f%2.php").arg(i % 30).arg(i),
                                QStringLiteral("%1-%2-").arg(version).arg(i).repeated(40),
                                (i % 7 == 0) == (*version == 'a') ? 0600 : 0644);
            entries << file(QStringLiteral("site/www/index.php"), version)
                    << file(QStringLiteral("site/www/only-%1.php").arg(version), version);
            for (int i = 0; i < 300; ++i)
                entries << file(QStringLiteral("site/www/Data/d%1/%2%3.txt")
                                    .arg(i % 20)
                                    .arg(QLatin1String(version))
                                    .arg(i),
                                QStringLiteral("package %1").arg(version));
            makeZip(m_served + QStringLiteral("/killed-%1.zip").arg(version), entries);
        }
        const auto leftovers = [&] {
            QStringList found;
            const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
            for (const QString &pid : pids) {
                const QByteArray cmd = readFile(QStringLiteral("/proc/") + pid + "/cmdline");
                if (cmd.contains(QFile::encodeName(panel.base)) && !cmd.startsWith("setpriv"))
                    found << QString::fromUtf8(cmd).replace(QChar(0), QChar(' '));
            }
            return found;
        };
        const QStringList phases = {"进度: 10%", "进度: 35%", "第一步", "第二步"};
        QRandomGenerator rng(20261207);
        auto whole = sitePart(treeState(panel.www));
        for (int i = 0; i < 20; ++i) {
            const QString version = i % 2 ? QStringLiteral("b") : QStringLiteral("a");
            const QString context = QStringLiteral("kill %1 in %2 ").arg(i).arg(phases[i % 4]);
            const auto dataBefore = dataPart(treeState(panel.www));
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
            // The programs of the run end with it.
            QTRY_VERIFY2_WITH_TIMEOUT(leftovers().isEmpty(), qPrintable(leftovers().join('\n')),
                                      10000);
            // Nothing of the live data is lost or changed; no rsync temporary file is left.
            const auto data = dataPart(treeState(panel.www));
            for (const auto &[rel, state] : dataBefore.asKeyValueRange())
                QVERIFY2(data.value(rel) == state, qPrintable(context + rel));
            for (const auto &[rel, state] : data.asKeyValueRange())
                QVERIFY2(dataBefore.contains(rel) || state.startsWith(QLatin1String("D:")) ||
                             state.endsWith(QStringLiteral("package ") + version),
                         qPrintable(context + rel));
            // Ctrl-C cleans up at once, with no marker left; after a kill one rollback does. Ctrl-C
            // to a run that had ended by itself already is a kill.
            const bool cleaned = interrupt && p.exitCode() != 0;
            const PanelRun rollback = cleaned ? PanelRun{0, {}, {}} : panel.run({"rollback"});
            QVERIFY2(rollback.exitCode == 0 && sitePart(treeState(panel.www)) == whole,
                     qPrintable(context + rollback.out + QString::fromUtf8(err)));
            if (cleaned)
                QCOMPARE(
                    typeOf(panel.runtime + QStringLiteral("/backup/www-before-update.running")),
                    0u);
            const PanelRun next = panel.run(updateFrom("killed-" + version + ".zip"));
            QVERIFY2(next.exitCode == 0, qPrintable(context + next.out));
            QCOMPARE(readFile(panel.www + QStringLiteral("/index.php")), version.toUtf8());
            whole = sitePart(treeState(panel.www));
        }
    }
};

QTEST_GUILESS_MAIN(TestUpdate)
#include "tst_update.moc"
