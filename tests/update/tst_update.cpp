// Update and repair: downloads from real loopback servers (HTTP and HTTPS with a test authority),
// extraction of crafted archives, the site root search, the synchronisation and the safety of the
// site's Data over generated cases, and whole runs through the view model and the headless command.
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

mode_t typeOf(const QString &path, mode_t *mode = nullptr)
{
    struct stat st
    {
    };
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    if (mode)
        *mode = st.st_mode & 07777;
    return st.st_mode & S_IFMT;
}

// Every entry under dir without following links: "F:mode:content", "L:target", "D:mode", or
// "T:type:mode" for other types.
QMap<QString, QString> treeState(const QString &dir)
{
    QMap<QString, QString> state;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        mode_t mode = 0;
        const mode_t type = typeOf(path, &mode);
        const QString rel = QDir(dir).relativeFilePath(path);
        if (type == S_IFLNK)
            state[rel] = QStringLiteral("L:") + QFile::symLinkTarget(path);
        else if (type == S_IFDIR)
            state[rel] = QStringLiteral("D:") + QString::number(mode, 8);
        else if (type != S_IFREG) // a FIFO is never opened: it would wait for a writer
            state[rel] = QStringLiteral("T:%1:%2").arg(type, 0, 8).arg(mode, 0, 8);
        else
            state[rel] =
                QStringLiteral("F:%1:").arg(mode, 0, 8) + QString::fromUtf8(readFile(path));
    }
    return state;
}

bool underTopData(const QString &rel)
{
    for (const char *name : {"Data", "data"}) {
        if (rel == QLatin1String(name) || rel.startsWith(QLatin1String(name) + QLatin1Char('/')))
            return true;
    }
    return false;
}

// Creates a layout: "dir/", "file=content", "link->target", "dir/@555" for a folder's mode.
void makeLayout(const QString &root, const QStringList &layout)
{
    QDir().mkpath(root);
    QStringList readOnly;
    for (const QString &item : layout) {
        if (item.contains(QLatin1String("->"))) {
            const QStringList parts = item.split(QStringLiteral("->"));
            QDir().mkpath(QFileInfo(root + QLatin1Char('/') + parts[0]).path());
            QVERIFY(QFile::link(parts[1], root + QLatin1Char('/') + parts[0]));
        } else if (item.endsWith(QLatin1String("/@555"))) {
            readOnly << root + QLatin1Char('/') + item.chopped(5);
        } else if (item.endsWith(QLatin1Char('/'))) {
            QDir().mkpath(root + QLatin1Char('/') + item);
        } else {
            const QStringList parts = item.split(QLatin1Char('='));
            writeFile(root + QLatin1Char('/') + parts[0], parts.value(1).toUtf8());
        }
    }
    for (const QString &dir : readOnly)
        QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::ExeOwner |
                                       QFileDevice::ReadGroup | QFileDevice::ExeGroup |
                                       QFileDevice::ReadOther | QFileDevice::ExeOther);
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

// "path=content" for every file under dir, sorted.
QStringList fileList(const QString &dir)
{
    QStringList files;
    const auto all = snapshot(dir);
    for (auto it = all.cbegin(); it != all.cend(); ++it)
        files << it.key() + QLatin1Char('=') + QString::fromUtf8(it.value());
    return files;
}

int closedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return server.serverPort();
}

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

    // A copy of the program under base, whose installed root is base/Tavex-panel.
    static QString installedCopy(const QString &base)
    {
        const QString program = base + QStringLiteral("/app/bin/tavex-panel");
        QDir().mkpath(QFileInfo(program).path());
        QFile::copy(QStringLiteral(TAVEX_PANEL_PROGRAM), program);
        QFile::setPermissions(program, QFile::permissions(QStringLiteral(TAVEX_PANEL_PROGRAM)));
        return program;
    }

    // An installed panel under base: base/app/bin/tavex-panel, installed root base/Tavex-panel.
    PanelRootResolver resolverIn(const QString &base) const
    {
        return PanelRootResolver(
            AppLocation::forExecutable(base + QStringLiteral("/app/bin/tavex-panel")));
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
        const QString base = fresh(QStringLiteral("small-disk"));
        const QString program = installedCopy(base);
        const QString runtime = base + QStringLiteral("/Tavex-panel/runtime");
        QVERIFY(QDir().mkpath(runtime));
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), base + QStringLiteral("/config"));
        p.setProcessEnvironment(env);
        const QString script = QStringLiteral("mount -t tmpfs -o size=64m tmpfs \"$1\" || exit 77\n"
                                              "\"$2\" update --url \"$3\"\n"
                                              "echo '--- left:'\n"
                                              "ls -A \"$1/update-extract\"\n");
        p.start(QStringLiteral("unshare"),
                {QStringLiteral("--mount"), QStringLiteral("--propagation"),
                 QStringLiteral("private"), QStringLiteral("sh"), QStringLiteral("-c"), script,
                 QStringLiteral("sh"), runtime, program, m_http->url(name).toString()});
        QVERIFY(p.waitForFinished(120000));
        if (p.exitCode() == 77)
            QSKIP("tmpfs cannot be mounted here");
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        QVERIFY2(out.split(QLatin1Char('\n')).value(1).startsWith(message), qPrintable(out));
        QVERIFY2(out.trimmed().endsWith(QStringLiteral("--- left:")), qPrintable(out));
        // The namespace and its tmpfs are gone; the folder under it is as the test made it.
        QCOMPARE(QDir(runtime).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());
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
        makeZip(m_served + QStringLiteral("/linkout.zip"),
                {file("www/index.php"), symlinkEntry("www/secret", m_canary)});
        makeZip(m_served + QStringLiteral("/readonly.zip"),
                {file("www/index.php"), folder("www/ro/", 0555), file("www/ro/f.txt")});

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
        const QString base = QStringLiteral("https://h.example/tavex-update.zip");
        QTest::newRow("december") << QDateTime(QDate(2026, 12, 5), QTime(0, 0, 1)) << base
                                  << base + "?t=20261205";
        QTest::newRow("zero-padded month")
            << QDateTime(QDate(2026, 1, 5), QTime(23, 59)) << base << base + "?t=20260105";
        QTest::newRow("a base with a query gains the item t")
            << QDateTime(QDate(2026, 3, 9), QTime(12, 0)) << base + "?a=1"
            << base + "?a=1&t=20260309";
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
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("https");
        QTest::addColumn<bool>("trust");
        QTest::addColumn<QString>("before"); // what stands at the package path: "", file, dir, link
        QTest::addColumn<QString>("error");  // part of the error; empty for success
        QTest::addColumn<QByteArray>("body");   // part of the package; empty: the served pkg.zip
        QTest::addColumn<int>("cancelAfterMs"); // a cancellation request after this; 0: none
        QTest::newRow("http") << "pkg.zip" << false << false << "file"
                              << "" << QByteArray() << 0;
        QTest::newRow("https with the test authority") << "pkg.zip" << true << true << ""
                                                       << "" << QByteArray() << 0;
        QTest::newRow("https without it") << "pkg.zip" << true << false << "file"
                                          << "SSL" << QByteArray() << 0;
        QTest::newRow("an error page replaces the package")
            << "status/500" << false << false << "file"
            << "" << QByteArray("status 500") << 0;
        QTest::newRow("connection refused") << "refused" << false << false << "file"
                                            << "refused" << QByteArray() << 0;
        QTest::newRow("broken mid-body") << "break/pkg.zip" << false << false << "file"
                                         << "closed" << QByteArray() << 0;
        QTest::newRow("stalled mid-body")
            << "stall/pkg.zip" << false << false << "file"
            << "下载过慢：1.5 秒内平均不到 1 KiB/s，下载已中止" << QByteArray() << 0;
        QTest::newRow("no headers ever")
            << "silent/pkg.zip" << false << false << "file"
            << "下载过慢：1.5 秒内平均不到 1 KiB/s，下载已中止" << QByteArray() << 0;
        QTest::newRow("a trickle that never stalls")
            << "trickle/pkg.zip" << false << false << ""
            << "下载过慢：1.5 秒内平均不到 1 KiB/s，下载已中止" << QByteArray() << 0;
        QTest::newRow("cancelled while stalled") << "stall/pkg.zip" << false << false << "file"
                                                 << "已取消: " << QByteArray() << 300;
        QTest::newRow("cancelled during a slow https transfer")
            << "slow/pkg.zip" << true << true << ""
            << "已取消: " << QByteArray() << 300;
        QTest::newRow("a folder where the package goes") << "pkg.zip" << false << false << "dir"
                                                         << "" << QByteArray() << 0;
        QTest::newRow("a link where the package goes") << "pkg.zip" << false << false << "link"
                                                       << "" << QByteArray() << 0;
    }

    void download()
    {
        QFETCH(QString, path);
        QFETCH(bool, https);
        QFETCH(bool, trust);
        QFETCH(QString, before);
        QFETCH(QString, error);
        QFETCH(QByteArray, body);
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
        if (trust)
            options.extraCaCertificates = m_ca;
        const QUrl url = path == QLatin1String("refused")
                             ? QUrl(QStringLiteral("http://127.0.0.1:%1/x.zip").arg(closedPort()))
                             : (https ? m_https : m_http)->url(path);
        QTimer cancel;
        cancel.setSingleShot(true);
        connect(&cancel, &QTimer::timeout, this, [] { requestCancellation(); });
        // Without a cancellation of its own, the row has a deadline: a stall check that never
        // fires ends here as a cancellation, not as a hang.
        cancel.start(cancelAfterMs > 0 ? cancelAfterMs : 60000);
        const QString result = downloadPackage(url, package, options);
        clearCancellation();

        if (error.isEmpty()) {
            QVERIFY2(result.isEmpty(), qPrintable(result));
            QCOMPARE(typeOf(package), mode_t(S_IFREG));
            const QByteArray got = readFile(package);
            QVERIFY(body.isEmpty() ? got == readFile(m_served + QStringLiteral("/pkg.zip"))
                                   : got.contains(body));
        } else {
            QVERIFY2(result.contains(error, Qt::CaseInsensitive), qPrintable(result));
            QVERIFY2(cancelAfterMs == 0 || result.startsWith(cancelledPrefix()),
                     qPrintable(result));
            if (before == QLatin1String("file"))
                QCOMPARE(readFile(package), QByteArray("old package"));
        }
        // The link's target is never written; no partial file is left behind.
        QCOMPARE(readFile(outside), QByteArray("precious"));
        QCOMPARE(QDir(runtime).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 before.isEmpty() && !error.isEmpty() ? QStringList()
                                                      : QStringList{"tavex-update.zip"});
    }

    void extract_data()
    {
        QTest::addColumn<QJsonArray>("entries");
        QTest::addColumn<QByteArray>("raw");  // instead of entries: these bytes are the package
        QTest::addColumn<QString>("message"); // start of the failure; empty for success
        QTest::addColumn<QStringList>("present");
        QTest::addColumn<QStringList>("absent");
        // "deep": the extraction folder lies near the system's path limit; "cancelled": a
        // cancellation is requested; "tmpfs": a headless run with the runtime folder on a small
        // file system of its own.
        QTest::addColumn<QString>("setup");
        const QByteArray chinese = QStringLiteral("中文/页面.php").toUtf8();
        const QByteArray none;
        QTest::newRow("macOS artifacts")
            << QJsonArray{file("__MACOSX/site/._index.php"),
                          file("site/._index.php"),
                          file("site/index.php"),
                          file("a/b/__MACOSX/x"),
                          file("c/__MACOSX"),
                          file("site/.hidden")}
            << none << "" << QStringList{"site/index.php", "site/.hidden", "a/b"}
            << QStringList{"__MACOSX", "site/._index.php", "a/b/__MACOSX", "c/__MACOSX"}
            << QString();
        QTest::newRow("__MACOSX linking to a folder outside")
            << QJsonArray{file("index.php"), symlinkEntry("__MACOSX", "../outside")} << none << ""
            << QStringList{"index.php"} << QStringList{"__MACOSX"} << QString();
        QTest::newRow("UTF-8 names with the flag")
            << QJsonArray{rawName(chinese, true)} << none << "" << QStringList{"中文/页面.php"}
            << QStringList{} << QString();
        QTest::newRow("UTF-8 names without the flag")
            << QJsonArray{rawName(chinese, false)} << none << "" << QStringList{"中文/页面.php"}
            << QStringList{} << QString();
        QTest::newRow("GBK names without the flag")
            << QJsonArray{rawName(QByteArray::fromHex("d6d0cec42fd2b3c3e62e706870"), false),
                          file("ascii.php")}
            << none << "" << QStringList{"中文/页面.php", "ascii.php"} << QStringList{}
            << QString();
        QTest::newRow("set-id bits are dropped")
            << QJsonArray{file("run.sh", "#!/bin/sh", 06755)} << none << "" << QStringList{"run.sh"}
            << QStringList{} << QString();
        QTest::newRow("a read-only folder")
            << QJsonArray{folder("ro/", 0555), file("ro/f")} << none << "" << QStringList{"ro/f"}
            << QStringList{} << QString();
        QTest::newRow("..") << QJsonArray{file("ok.php"), file("../evil.php")} << none
                            << "解压失败: 更新包中有含 \"..\" 的路径: ../evil.php" << QStringList{}
                            << QStringList{} << QString();
        QTest::newRow("absolute path")
            << QJsonArray{file(m_canary + "/evil.php")} << none << "解压失败: 更新包中有绝对路径"
            << QStringList{} << QStringList{} << QString();
        QTest::newRow("a FIFO") << QJsonArray{QJsonObject{{"name", "p"}, {"type", "fifo"}}} << none
                                << "解压失败: 更新包中有不受支持的文件类型" << QStringList{}
                                << QStringList{} << QString();
        QTest::newRow("a link out, then an entry through it")
            << QJsonArray{symlinkEntry("ln", "../outside"), file("ln/evil.php")} << none
            << "解压失败: ditto 退出码 1，" << QStringList{} << QStringList{} << QString();
        QTest::newRow("an absolute link out")
            << QJsonArray{file("index.php"), symlinkEntry("canary", m_canary)} << none
            << "更新/修复失败: 更新包中的符号链接指向解压目录之外" << QStringList{} << QStringList{}
            << QString();
        QTest::newRow("a relative link climbing out")
            << QJsonArray{folder("a/"), symlinkEntry("a/up", "../../outside")} << none
            << "更新/修复失败: 更新包中的符号链接指向解压目录之外" << QStringList{} << QStringList{}
            << QString();
        QTest::newRow("a relative link climbing out to nothing yet")
            << QJsonArray{folder("a/"), symlinkEntry("a/cfg", "../../../config")} << none
            << "更新/修复失败: 更新包中的符号链接指向解压目录之外" << QStringList{} << QStringList{}
            << QString();
        QTest::newRow("a link inside stays")
            << QJsonArray{file("a/index.php"), symlinkEntry("b", "a")} << none << ""
            << QStringList{"b/index.php"} << QStringList{} << QString();
        QTest::newRow("no entries")
            << QJsonArray{} << none << "" << QStringList{} << QStringList{} << QString();
        QTest::newRow("an empty file")
            << QJsonArray{} << QByteArray("") << "解压失败: " << QStringList{} << QStringList{}
            << QString();
        QTest::newRow("an error page")
            << QJsonArray{} << QByteArray("<html>404</html>") << "解压失败: ditto 退出码 1，"
            << QStringList{} << QStringList{} << QString();
        QTest::newRow("truncated")
            << QJsonArray{} << QByteArray("truncate") << "解压失败: ditto 退出码 " << QStringList{}
            << QStringList{} << QString();
        const QJsonObject zip64Bomb{{"name", "big.bin"}, {"data", "x"}, {"declare", 1LL << 50}};
        QTest::newRow("a declared size beyond any disk (Zip64)")
            << QJsonArray{file("index.php"), zip64Bomb} << none
            << "解压失败: 磁盘空间不足，解压需要 2.0 PB，可用 " << QStringList{} << QStringList{}
            << QString();
        QTest::newRow("a path beyond the system's limit")
            << QJsonArray{file("d/" + QString(150, QLatin1Char('f')) + ".php")} << none
            << "更新/修复失败: 路径过长（超过系统上限）: " << QStringList{} << QStringList{}
            << "deep";
        QTest::newRow("cancelled") << QJsonArray{file("index.php"), file("a/b.php")} << none
                                   << "已取消: " << QStringList{} << QStringList{} << "cancelled";
        const QJsonObject honest{{"name", "www/big.bin"}, {"zeros", 40 << 20}};
        QTest::newRow("a small disk: an honest size is refused")
            << QJsonArray{file("www/index.php"), honest} << none
            << "解压失败: 磁盘空间不足，解压需要 96 MB，可用 " << QStringList{} << QStringList{}
            << "tmpfs";
        const QJsonObject lying{{"name", "www/big.bin"}, {"zeros", 100 << 20}, {"declare", 1024}};
        QTest::newRow("a small disk filled by a lying size")
            << QJsonArray{file("www/index.php"), lying} << none << "解压失败: 磁盘空间不足，可用 "
            << QStringList{} << QStringList{} << "tmpfs";
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
        if (setup == QLatin1String("deep")) {
            // Short of the limit itself, so that the tool can still enter it.
            while (extract.size() < 3900)
                extract += QLatin1Char('/') + QString(200, QLatin1Char('d'));
        }
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
        QString result = unzipUpdateArchive(package, extract).value_or(QString());
        clearCancellation();
        // A failed extraction leaves nothing of the package behind.
        if (!result.isEmpty())
            QCOMPARE(treeState(extract), (QMap<QString, QString>{}));
        if (result.isEmpty())
            result = removeMacOSXArtifacts(extract);
        if (result.isEmpty() && !extractedTreeProblem(extract).isEmpty())
            result = QStringLiteral("更新/修复失败: ") + extractedTreeProblem(extract);

        if (message.isEmpty())
            QVERIFY2(result.isEmpty(), qPrintable(result));
        else
            QVERIFY2(result.startsWith(message), qPrintable(result));
        // Unsafe entries are found in the package's directory, before the tool unpacks anything.
        QCOMPARE(!readZipDirectory(package).unsafeEntry.isEmpty(),
                 message.startsWith(QStringLiteral("解压失败: 更新包中有")));
        for (const QString &path : present)
            QVERIFY2(QFileInfo::exists(extract + QLatin1Char('/') + path), qPrintable(path));
        for (const QString &path : absent)
            QVERIFY2(typeOf(extract + QLatin1Char('/') + path) == 0, qPrintable(path));
        // Nothing outside the extraction folder was written; no entry has set-id bits.
        QCOMPARE(treeState(runtime + QStringLiteral("/outside")), before);
        QCOMPARE(QDir(runtime).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{"outside", "tavex-update.zip", "update-extract"}));
        const auto state = treeState(extract);
        for (auto it = state.cbegin(); it != state.cend(); ++it) {
            mode_t mode = 0;
            typeOf(extract + QLatin1Char('/') + it.key(), &mode);
            QVERIFY2(!(mode & (S_ISUID | S_ISGID)), qPrintable(it.key()));
        }
    }

    void siteRoot_data()
    {
        QTest::addColumn<QStringList>("layout");
        QTest::addColumn<QString>("expected"); // relative; "-" for none
        QTest::newRow("top is the site") << QStringList{"index.php", "include/", "Data/"} << ".";
        QTest::newRow("one wrapper with loose files")
            << QStringList{"readme.txt", "site-1.0/index.php", "site-1.0/LibTavex/"} << "site-1.0";
        QTest::newRow("a www anywhere comes first")
            << QStringList{"index.php", "include/", "vendor/demo/www/index.php"}
            << "vendor/demo/www";
        QTest::newRow("higher score wins")
            << QStringList{"a/www/index.php", "a/www/install/index.php", "b/www/index.php",
                           "b/www/include/",  "b/www/LibTavex/",         "b/www/Data/"}
            << "a/www";
        QTest::newRow("equal scores: the longer path")
            << QStringList{"www/index.php", "x/www/index.php"} << "x/www";
        QTest::newRow("a www inside a www never wins over it")
            << QStringList{"www/index.php", "www/Data/", "www/vendor/acme/demo/www/index.php",
                           "www/vendor/acme/demo/www/data/"}
            << "www";
        QTest::newRow("equal scores and lengths: the first by name")
            << QStringList{"b/www/index.php", "a/www/index.php"} << "a/www";
        QTest::newRow("data counts once")
            << QStringList{"a/www/index.php", "a/www/Data/", "a/www/data/", "bb/www/index.php",
                           "bb/www/data/"}
            << "bb/www";
        QTest::newRow("WWW is no candidate")
            << QStringList{"x/WWW/index.php", "x/Www/index.php"} << "-";
        QTest::newRow("a hidden www is ignored")
            << QStringList{".cache/www/index.php", "index.php", "include/"} << ".";
        QTest::newRow("hidden folder beside a wrapper")
            << QStringList{".git/", "site/index.php", "site/include/"} << "site";
        QTest::newRow("five wrappers")
            << QStringList{"1/2/3/4/5/index.php", "1/2/3/4/5/include/"} << "1/2/3/4/5";
        QTest::newRow("six wrappers are too deep")
            << QStringList{"1/2/3/4/5/6/index.php", "1/2/3/4/5/6/include/"} << "-";
        QTest::newRow("index.php without markers stops")
            << QStringList{"index.php", "real/index.php", "real/include/"} << "-";
        QTest::newRow("two folders stop") << QStringList{"a/index.php", "a/include/", "b/"} << "-";
        QTest::newRow("a linked www is no candidate")
            << QStringList{"real/index.php", "real/include/", "x/", "x/www->../real"} << "-";
        QTest::newRow("a linked folder is neither a wrapper nor a second folder")
            << QStringList{"real/x/index.php", "real/x/include/", "wrap->real"} << "real/x";
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

    void rsyncFailure_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("failure");
        QTest::newRow("empty") << "" << false;
        QTest::newRow("blanks") << " \n\t\n" << false;
        QTest::newRow("warnings") << "skipping non-regular file \"x\"\n" << false;
        QTest::newRow("exit 24 whatever follows")
            << "exit(24): rsync error: some files vanished" << false;
        QTest::newRow("exit 23") << "exit(23): rsync: x\n" << true;
        QTest::newRow("exit with blank output") << "exit(12): " << true;
        QTest::newRow("exit(x) with error:") << "exit(x): error: broken" << true;
        QTest::newRow("timeout") << "timeout: /usr/bin/rsync 超过 300 秒，已强制结束\n解压日志:\n"
                                 << true;
        QTest::newRow("could not start") << "执行失败: No such file or directory" << true;
        QTest::newRow("cannot ") << "cannot delete non-empty directory" << true;
        QTest::newRow("failed") << "send_files failed to open" << true;
    }

    void rsyncFailure()
    {
        QFETCH(QString, text);
        QFETCH(bool, failure);
        QCOMPARE(rsyncOutputIndicatesHardFailure(text), failure);
    }

    void sync_data()
    {
        QTest::addColumn<QStringList>("site");
        QTest::addColumn<QStringList>("package");
        QTest::addColumn<QString>("error");        // start of the failure; empty for success
        QTest::addColumn<QList<int>>("steps");     // the done counts reported
        QTest::addColumn<QStringList>("expected"); // files of the site afterwards
        QTest::addColumn<QString>("note");         // part of the notes
        QTest::newRow("no data folder: one run, Data made")
            << QStringList{"old.php=o"} << QStringList{"index.php=i"} << "" << QList<int>{0, 1}
            << QStringList{"index.php=i"} << "";
        QTest::newRow("a changed file of the same size and time arrives")
            << QStringList{"index.php=v1", "include/cfg.php=1"}
            << QStringList{"index.php=v2", "include/cfg.php=2"} << "" << QList<int>{0, 1}
            << QStringList{"include/cfg.php=2", "index.php=v2"} << "";
        QTest::newRow("a live lower-case data folder keeps its files")
            << QStringList{"data/up.jpg=mine", "data/set.php=live"}
            << QStringList{"index.php=i", "data/set.php=default", "data/new=n"} << ""
            << QList<int>{0, 1, 2}
            << QStringList{"Data/new=n",        "Data/set.php=default", "data/new=n",
                           "data/set.php=live", "data/up.jpg=mine",     "index.php=i"}
            << "";
        QTest::newRow("inside Data a live entry of another type wins")
            << QStringList{"Data/cache=live file", "Data/dir/x=1"}
            << QStringList{"index.php=i", "Data/cache/c.txt=c", "Data/dir=file", "Data/add=a"} << ""
            << QList<int>{0, 1, 2}
            << QStringList{"Data/add=a", "Data/cache=live file", "Data/dir/x=1", "index.php=i"}
            << "已跳过更新包中的: Data/cache, Data/dir";
        QTest::newRow("a destination that is a link is refused")
            << QStringList{"@link"} << QStringList{"index.php=i"} << "" << QList<int>{}
            << QStringList{} << "";
        QTest::newRow("a link leaving the site root is refused")
            << QStringList{"old.php=o"} << QStringList{"index.php=i", "up->../outside"}
            << "更新包中的符号链接指向站点根之外" << QList<int>{} << QStringList{"old.php=o"} << "";
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
                siteLayout << "Data/u1=mine"
                           << "Data/sub/u2=mine2"
                           << "Data/ro/r=mine3";
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
                siteLayout << "data/l1=mine"
                           << "data/sub/l2=mine";
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
            const QString context = QStringLiteral("case %1 (live Data %2, package data %3)")
                                        .arg(i)
                                        .arg(liveData)
                                        .arg(pkgData);

            const auto before = treeState(site);
            const auto outsideBefore = treeState(outside);
            QCOMPARE(takeSiteSnapshot(site, snapshotDir), QString());
            const SyncResult result =
                syncDirectoryContents(pkg, site, [](int, int, const QString &) {});
            QVERIFY2(result.stage == SyncResult::Done, qPrintable(context + result.error));
            const auto after = treeState(site);

            // The live Data: nothing deleted or changed, folder modes kept.
            for (auto it = before.cbegin(); it != before.cend(); ++it) {
                if (underTopData(it.key()))
                    QVERIFY2(after.value(it.key()) == it.value(), qPrintable(context + it.key()));
            }
            QCOMPARE(treeState(outside), outsideBefore);
            // Every package file arrives; files the package dropped are gone (Data aside).
            const auto pkgState = treeState(pkg);
            for (auto it = pkgState.cbegin(); it != pkgState.cend(); ++it) {
                if (!underTopData(it.key()) && it.value().startsWith(QLatin1String("F:")))
                    QVERIFY2(after.value(it.key()) == it.value(), qPrintable(context + it.key()));
            }
            for (auto it = after.cbegin(); it != after.cend(); ++it) {
                if (!underTopData(it.key()))
                    QVERIFY2(pkgState.contains(it.key()), qPrintable(context + it.key()));
            }
            // Package data files arrive where the live Data is a real folder and lacks them; new
            // folders there stay writable.
            std::optional<QString> pkgDataDir;
            for (const DataMerge &merge : dataMerges(pkg, site)) {
                if (merge.liveDir == site + QStringLiteral("/Data"))
                    pkgDataDir = merge.packageDir;
            }
            if (pkgDataDir && (liveData <= 5 || liveData == 9)) {
                const auto dataState = treeState(*pkgDataDir);
                for (auto it = dataState.cbegin(); it != dataState.cend(); ++it) {
                    const QString rel = QStringLiteral("Data/") + it.key();
                    QVERIFY2(after.contains(rel), qPrintable(context + rel));
                    if (it.value().startsWith(QLatin1String("D:")) && !before.contains(rel)) {
                        mode_t mode = 0;
                        typeOf(site + QLatin1Char('/') + rel, &mode);
                        QVERIFY2(mode & S_IWUSR, qPrintable(context + rel));
                    }
                }
            }
            // Edits in place and mode changes after the update never reach the snapshot; the
            // rollback restores everything but the data folders, byte for byte, with modes.
            for (auto it = after.cbegin(); it != after.cend(); ++it) {
                const QString path = site + QLatin1Char('/') + it.key();
                if (underTopData(it.key()) || typeOf(path) != S_IFREG)
                    continue;
                QFile edited(path);
                QVERIFY(edited.open(QIODevice::Append));
                edited.write("edited");
                edited.close();
                QVERIFY(::chmod(QFile::encodeName(path).constData(), 0600) == 0);
            }
            const auto dataOf = [](QMap<QString, QString> state) {
                state.removeIf([](const auto &item) { return !underTopData(item.key()); });
                return state;
            };
            const auto dataBeforeRollback = dataOf(treeState(site));
            QVERIFY2(restoreSiteSnapshot(snapshotDir, site).complete(), qPrintable(context));
            auto restored = treeState(site);
            // The live data folders are left exactly as they were.
            QVERIFY2(dataOf(restored) == dataBeforeRollback, qPrintable(context));
            auto expected = before;
            for (auto *state : {&restored, &expected}) {
                state->removeIf([](const auto &item) {
                    return underTopData(item.key()) || item.value().startsWith(QLatin1String("D:"));
                });
            }
            QVERIFY2(restored == expected, qPrintable(context));
            QCOMPARE(removeTree(base), QString());
        }
    }

    // Runs through the view model as the window's button does, or from a file on disk.
    void updateRun_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("https");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QList<double>>("progress");
        QTest::addColumn<bool>("siteTouched");
        QTest::addColumn<bool>("chosenRoot"); // the root was chosen by hand; nothing is installed
        // A package on disk instead of path: "file", "link" to it, "missing", "directory", or
        // "in the site"; empty: downloaded.
        QTest::addColumn<QString>("local");
        const QList<double> all = {0.05, 0.1, 0.35, 0.6, 0.75, 0.75, 0.825, 0.9, 0.9, 1.0, 1.0};
        const QList<double> refused = {0.05, 1.0};
        QTest::newRow("success over https")
            << "pkg.zip" << true << "已自动解压并同步到 runtime/www: " << all << true << false
            << "";
        QTest::newRow("a root chosen by hand: its site is the one updated")
            << "pkg.zip" << false << "已自动解压并同步到 runtime/www: " << all << true << true
            << "";
        QTest::newRow("download fails")
            << "refused" << false << "更新下载失败: " << QList<double>{0.05, 0.1, 1.0} << false
            << false << "";
        QTest::newRow("no site root")
            << "noroot.zip" << false
            << "更新包中未识别到站点根（需存在 index.php，且为 www 子目录或 "
               "zip 根目录含 include/LibTavex/Data 之一）"
            << QList<double>{0.05, 0.1, 0.35, 0.6, 1.0} << false << false << "";
        QTest::newRow("from a file on disk")
            << "pkg.zip" << false << "已自动解压并同步到 runtime/www: " << all << true << false
            << "file";
        QTest::newRow("from a link to a file on disk")
            << "pkg.zip" << false << "已自动解压并同步到 runtime/www: " << all << true << true
            << "link";
        QTest::newRow("a file that is not there")
            << "pkg.zip" << false << "更新/修复失败: 更新包文件不存在: " << refused << false
            << false << "missing";
        QTest::newRow("a directory")
            << "pkg.zip" << false
            << "更新/修复失败: 更新包路径是一个目录，不是 zip 文件: " << refused << false << false
            << "directory";
        QTest::newRow("a package inside the site it would update")
            << "pkg.zip" << false << "更新/修复失败: 更新包位于更新会改动的目录 " << refused
            << false << false << "in the site";
    }

    void updateRun()
    {
        QFETCH(QString, path);
        QFETCH(bool, https);
        QFETCH(QString, message);
        QFETCH(QList<double>, progress);
        QFETCH(bool, siteTouched);
        QFETCH(bool, chosenRoot);
        QFETCH(QString, local);
        const QString base = fresh(QStringLiteral("run"));
        const QString installed = base + QStringLiteral("/Tavex-panel");
        const QString root = chosenRoot ? base + QStringLiteral("/chosen") : installed;
        if (chosenRoot) {
            makeValidRoot(root);
            writeSavedRoot(root);
        }
        const QString www = root + QStringLiteral("/runtime/www");
        makeLayout(www, {"index.php=v1", "old.php=old", "Data/kept.txt=mine"});
        // The user's package and the folder it lies in, which the run must leave as they are.
        const QString own = local == QLatin1String("in the site") ? www + QStringLiteral("/Data")
                                                                  : fresh(QStringLiteral("own"));
        QString package = root + QStringLiteral("/runtime/tavex-update.zip");
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
        const auto before = treeState(www);
        const auto ownBefore = treeState(own);

        UpdateConfig config;
        config.baseURL = path == QLatin1String("refused")
                             ? QUrl(QStringLiteral("http://127.0.0.1:%1/x.zip").arg(closedPort()))
                             : (https ? m_https : m_http)->url(path);
        config.download.extraCaCertificates = m_ca;
        PanelViewModel vm(resolverIn(base), nullptr, config);
        QList<double> seen;
        QStringList texts;
        connect(&vm, &PanelViewModel::logsChanged, this, [&] {
            if (vm.logs().startsWith(QStringLiteral("=== 更新/修复"))) {
                seen << vm.updateProgress();
                texts << vm.updateProgressText();
            }
        });
        QSignalSpy finished(&vm, &PanelViewModel::updateFinished);
        if (local.isEmpty())
            vm.updateOrRepairFiles();
        else
            vm.updateOrRepairFromFile(package);
        QVERIFY(finished.wait(60000));
        writeSavedRoot(QString());

        QCOMPARE(seen, progress);
        // A file on disk is read, not downloaded.
        QCOMPARE(texts.first(), local.isEmpty() ? QStringLiteral("正在下载更新包")
                                                : QStringLiteral("正在读取更新包"));
        QCOMPARE(vm.updateProgressText(),
                 siteTouched ? QStringLiteral("完成") : QStringLiteral("失败"));
        const QStringList lines = vm.logs().split(QLatin1Char('\n'));
        QCOMPARE(lines.first(), QStringLiteral("=== 更新/修复完成 ==="));
        QVERIFY2(lines.value(1).startsWith(message), qPrintable(vm.logs()));
        QCOMPARE(lines.mid(lines.size() - 3, 2),
                 (QStringList{"目录: " + root, "下载包: " + package}));
        QCOMPARE(finished.first().first().toBool(), siteTouched);
        // Nothing of the run is left running, and no marker of it.
        QCOMPARE(typeOf(root + QStringLiteral("/runtime/backup/www-before-update.running")),
                 mode_t(0));
        if (chosenRoot)
            QCOMPARE(typeOf(installed), mode_t(0));
        if (!local.isEmpty()) {
            // The user's file is as it was, byte for byte, and nothing was downloaded.
            if (local != QLatin1String("in the site"))
                QCOMPARE(treeState(own), ownBefore);
            QCOMPARE(typeOf(root + QStringLiteral("/runtime/tavex-update.zip")), mode_t(0));
            // A refused file stops the run before anything changes.
            if (!siteTouched)
                QCOMPARE(QDir(root + QStringLiteral("/runtime"))
                             .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                         QStringList{"www"});
        }
        if (siteTouched) {
            QCOMPARE(lines.at(1), "已自动解压并同步到 runtime/www: " + www);
            QCOMPARE(lines.at(2), "站点根: " + root + "/runtime/update-extract/site/www");
            QVERIFY(
                lines.at(3).contains(root + QStringLiteral("/runtime/backup/www-before-update")));
            QCOMPARE(fileList(www),
                     (QStringList{"Data/kept.txt=mine", "Data/new.txt=new", "include/lib.php=lib2",
                                  "index.php=<?php echo 'v2';"}));
            QVERIFY(!vm.errorSummary().contains(QStringLiteral("失败")));
            // The snapshot holds the site as it was, Data aside.
            QCOMPARE(fileList(root + QStringLiteral("/runtime/backup/www-before-update")),
                     (QStringList{"index.php=v1", "old.php=old"}));
        } else {
            QCOMPARE(treeState(www), before);
            if (message.contains(QStringLiteral("失败")))
                QVERIFY(vm.errorSummary().contains(message.left(6)));
        }
    }

    void secondPressAndReadOnlyLeftovers()
    {
        const QString base = fresh(QStringLiteral("twice"));
        UpdateConfig config;
        config.baseURL = m_http->url(QStringLiteral("readonly.zip"));
        PanelViewModel vm(resolverIn(base), nullptr, config);
        QSignalSpy finished(&vm, &PanelViewModel::updateFinished);
        vm.updateOrRepairFiles();
        vm.updateOrRepairFiles();
        QVERIFY(finished.wait(60000));
        QCOMPARE(finished.size(), 1);
        QVERIFY(finished.first().first().toBool());
        // The second press was told, not run; a later run replaces the read-only leftovers.
        QSignalSpy again(&vm, &PanelViewModel::updateFinished);
        QSignalSpy logs(&vm, &PanelViewModel::logsChanged);
        vm.updateOrRepairFiles();
        QVERIFY(again.wait(60000));
        QVERIFY2(again.first().first().toBool(), qPrintable(vm.logs()));
        QCOMPARE(readFile(base + QStringLiteral("/Tavex-panel/runtime/www/ro/f.txt")),
                 QByteArray("x"));
    }

    // The headless command end to end, as separate processes of an installed copy.
    void headless()
    {
        const QString base = fresh(QStringLiteral("headless"));
        const QString program = installedCopy(base);
        QVERIFY(QFileInfo(program).isExecutable());
        const QString www = base + QStringLiteral("/Tavex-panel/runtime/www");
        makeLayout(www, {"index.php=v1", "old.php=old", "Data/kept.txt=mine"});

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), base + QStringLiteral("/config"));
        const auto start = [&](QProcess &p, const QStringList &args) {
            p.setProcessEnvironment(env);
            p.start(program, args);
        };
        const auto run = [&](const QStringList &args, QByteArray *err = nullptr) {
            QProcess p;
            start(p, args);
            p.waitForFinished(60000);
            if (err)
                *err = p.readAllStandardError();
            return std::make_pair(p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()));
        };

        QByteArray err;
        int status = 0;
        QString out;
        // Two at once: one runs, the other says a run is active; the site is whole afterwards.
        QProcess first, second;
        const QStringList slow = {QStringLiteral("update"), QStringLiteral("--url"),
                                  m_http->url(QStringLiteral("slow/pkg.zip")).toString()};
        start(first, slow);
        start(second, slow);
        QVERIFY(first.waitForFinished(60000) && second.waitForFinished(60000));
        const QString outputs =
            QString::fromUtf8(first.readAllStandardOutput() + second.readAllStandardOutput());
        QCOMPARE(first.exitCode() + second.exitCode(), 1);
        QVERIFY2(outputs.contains(updateBusyMessage()), qPrintable(outputs));
        QVERIFY(outputs.contains(QStringLiteral("已自动解压并同步到 runtime/www: ") + www));
        const QStringList updated = {"Data/kept.txt=mine", "Data/new.txt=new",
                                     "include/lib.php=lib2", "index.php=<?php echo 'v2';"};
        QCOMPARE(fileList(www), updated);

        // Success: seven lines on standard output, the 82% line on standard error. The run replaces
        // a file changed by hand and removes one the package does not have.
        QVERIFY(QFile::remove(www + QStringLiteral("/index.php")));
        writeFile(www + QStringLiteral("/index.php"), "by hand");
        writeFile(www + QStringLiteral("/extra.php"), "extra");
        const QStringList handMade = {"Data/kept.txt=mine", "Data/new.txt=new", "extra.php=extra",
                                      "include/lib.php=lib2", "index.php=by hand"};
        std::tie(status, out) = run(
            {QStringLiteral("update"), QStringLiteral("--url"), m_http->url("pkg.zip").toString()},
            &err);
        QCOMPARE(status, 0);
        QCOMPARE(out.trimmed().split(QLatin1Char('\n')).size(), 8);
        QVERIFY(err.contains(
            "进度: 82% 正在同步到 www: 第二步：比对 Data/ 内文件，缺的同步、已有不覆盖\n"));

        QCOMPARE(fileList(www), updated);

        // Rollback puts back the site as it was before the last run, Data aside.
        std::tie(status, out) = run({QStringLiteral("rollback")});
        QCOMPARE(status, 0);
        QVERIFY(out.contains(QStringLiteral("已回滚到上次更新前的站点")));
        QCOMPARE(fileList(www), handMade);
        // The state it replaced was kept: a second rollback returns to it.
        std::tie(status, out) = run({QStringLiteral("rollback")});
        QCOMPARE(status, 0);
        QVERIFY(out.contains(QStringLiteral("回滚前的站点已保存为快照")));
        QCOMPARE(fileList(www), updated);

        // An rsync that cannot start (in a mount namespace of the run's own, a file that is no
        // program stands at its path): the update fails, says so, and the site stays whole.
        if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty())
            return;
        const QString notAProgram = base + QStringLiteral("/not-a-program");
        writeFile(notAProgram, "no program");
        QProcess masked;
        masked.setProcessEnvironment(env);
        masked.start(
            QStringLiteral("unshare"),
            {QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"),
             QStringLiteral("--"), QStringLiteral("sh"), QStringLiteral("-c"),
             QStringLiteral("mount --bind \"$1\" /usr/bin/rsync && exec \"$2\" update "
                            "--file \"$3\""),
             QStringLiteral("sh"), notAProgram, program, m_served + QStringLiteral("/pkg.zip")});
        QVERIFY(masked.waitForFinished(60000));
        out = QString::fromUtf8(masked.readAllStandardOutput());
        QVERIFY2(masked.exitCode() == 1 &&
                     out.contains(QStringLiteral("更新/修复失败: 同步失败(主文件): 执行失败: ")),
                 qPrintable(out + QString::fromUtf8(masked.readAllStandardError())));
        QCOMPARE(fileList(www), updated);
    }

    // "update --file" as a separate process of an installed copy, started in the folder that holds
    // the package ("pkg.zip" there, "fifo" a FIFO beside it); URL stands for a served address.
    void updateFromFileCommand_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out"); // part of standard output
        QTest::addColumn<QString>("err"); // part of standard error
        QTest::newRow("a relative path: the block names the file, which stays as it was")
            << QStringList{"update", "--file", "pkg.zip"} << 0 << "已自动解压并同步到 runtime/www: "
            << "进度: 10% 正在读取更新包";
        QTest::newRow("a FIFO is refused, never waited on")
            << QStringList{"update", "--file", "fifo"} << 1
            << "更新/修复失败: 更新包不是普通文件（管道、设备或套接字），已拒绝读取: "
            << "";
        QTest::newRow("--file with --url")
            << QStringList{"update", "--file", "pkg.zip", "--url", "URL"} << 2 << ""
            << "tavex-panel: --url 与 --file 不能同时使用";
        QTest::newRow("--file with another command")
            << QStringList{"rollback", "--file", "pkg.zip"} << 2 << ""
            << "tavex-panel: --file 只能与 update 一起使用";
    }

    void updateFromFileCommand()
    {
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        const QString base = fresh(QStringLiteral("from-file"));
        const QString program = installedCopy(base);
        const QString www = base + QStringLiteral("/Tavex-panel/runtime/www");
        makeLayout(www, {"index.php=v1", "Data/kept.txt=mine"});
        const QString own = base + QStringLiteral("/downloads");
        QVERIFY(QDir().mkpath(own));
        QVERIFY(
            QFile::copy(m_served + QStringLiteral("/pkg.zip"), own + QStringLiteral("/pkg.zip")));
        QCOMPARE(::mkfifo(QFile::encodeName(own + QStringLiteral("/fifo")).constData(), 0600), 0);
        const auto ownBefore = treeState(own);
        const auto siteBefore = treeState(www);
        args.replaceInStrings(QStringLiteral("URL"), m_http->url("pkg.zip").toString());

        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), base + QStringLiteral("/config"));
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(own);
        p.start(program, args);
        QVERIFY(p.waitForFinished(60000));
        const QString stdOut = QString::fromUtf8(p.readAllStandardOutput());
        const QString stdErr = QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(p.exitCode() == status && stdOut.contains(out) && stdErr.contains(err),
                 qPrintable(stdOut + stdErr));
        QCOMPARE(treeState(own), ownBefore);
        if (status == 0) {
            QVERIFY2(
                stdOut.contains(QStringLiteral("\n下载包: ") + own + QStringLiteral("/pkg.zip\n")),
                qPrintable(stdOut));
            QCOMPARE(fileList(www),
                     (QStringList{"Data/kept.txt=mine", "Data/new.txt=new", "include/lib.php=lib2",
                                  "index.php=<?php echo 'v2';"}));
        } else {
            QCOMPARE(treeState(www), siteBefore);
        }
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
        QTest::addColumn<QString>("expected");     // the site afterwards: "before" or "updated"
        const QStringList site = {"index.php=v1", "a.php=a", "Data/kept.txt=mine"};
        QTest::newRow("the first run fails on a folder it may not change: the site is put back")
            << site + QStringList{"locked/keep.txt=k"} << QStringList{}
            << QStringList{"www/locked:755", "www/locked/keep.txt:644"} << QStringList{}
            << QStringList{"update|1|已从更新前的快照恢复站点"} << "before";
        QTest::newRow("a file it cannot read: refused before any change, the last snapshot stays")
            << site + QStringList{"secret.php=s"} << QStringList{"index.php=v0"}
            << QStringList{"www/secret.php:600"} << QStringList{}
            << QStringList{"update|1|以下文件无法读取或复制，站点快照不完整: secret.php",
                           "rollback|1|无法保存回滚前的站点，站点未改动"}
            << "snapshot kept";
        QTest::newRow("a shared site folder of another user: its time and mode are no failure")
            << site << QStringList{} << QStringList{"www:777"} << QStringList{}
            << QStringList{"update|0|已自动解压并同步"} << "updated";
        QTest::newRow("a file of mode 000 that the update deletes comes back with the rollback")
            << site + QStringList{"locked.php=z"} << QStringList{} << QStringList{}
            << QStringList{"www/locked.php:0"}
            << QStringList{"update|0|已自动解压并同步", "rollback|0|已回滚"} << "before";
        QTest::newRow("a rollback that cannot put a file back names it and keeps the snapshot")
            << site << QStringList{"index.php=v0", "gone.php=g"}
            << QStringList{"backup/www-before-update/gone.php:600"} << QStringList{}
            << QStringList{"rollback|1|gone.php", "update|1|上次回滚有文件未能恢复"}
            << "snapshot kept";
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
        const QString base = fresh(QStringLiteral("unprivileged"));
        const QString program = installedCopy(base);
        const QString runtime = base + QStringLiteral("/Tavex-panel/runtime");
        const QString www = runtime + QStringLiteral("/www");
        const QString snapshotDir = runtime + QStringLiteral("/backup/www-before-update");
        makeLayout(www, site);
        if (!snapshot.isEmpty())
            makeLayout(snapshotDir, snapshot);
        QVERIFY(QProcess::execute(QStringLiteral("chmod"),
                                  {QStringLiteral("755"), m_dir.path(), base}) == 0);
        QVERIFY(QProcess::execute(QStringLiteral("chown"),
                                  {QStringLiteral("-R"), QStringLiteral("65534:65534"), base}) ==
                0);
        const auto apply = [&](const QStringList &items, bool toRoot) {
            for (const QString &item : items) {
                const QString path =
                    runtime + QLatin1Char('/') + item.section(QLatin1Char(':'), 0, 0);
                if (toRoot)
                    QVERIFY(::chown(QFile::encodeName(path).constData(), 0, 0) == 0);
                QVERIFY(::chmod(QFile::encodeName(path).constData(),
                                item.section(QLatin1Char(':'), 1).toUInt(nullptr, 8)) == 0);
            }
        };
        apply(foreign, true);
        apply(modes, false);
        // The site without its folders and its data, which an update only adds to.
        const auto withoutFolders = [](QMap<QString, QString> state) {
            state.removeIf([](const auto &item) {
                return underTopData(item.key()) || item.value().startsWith(QLatin1String("D:"));
            });
            return state;
        };
        const auto before = withoutFolders(treeState(www));
        const auto snapshotBefore = treeState(snapshotDir);

        for (const QString &step : steps) {
            const QStringList parts = step.split(QLatin1Char('|'));
            QStringList args = {parts[0]};
            if (parts[0] == QLatin1String("update"))
                args << QStringLiteral("--url")
                     << m_http->url(QStringLiteral("pkg.zip")).toString();
            QProcess p;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("XDG_CONFIG_HOME"), base + QStringLiteral("/config"));
            p.setProcessEnvironment(env);
            p.start(QStringLiteral("setpriv"),
                    QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                QStringLiteral("--clear-groups"), program} +
                        args);
            QVERIFY(p.waitForFinished(60000));
            const QString out = QString::fromUtf8(p.readAllStandardOutput());
            QVERIFY2(p.exitCode() == parts[1].toInt() && out.contains(parts[2]),
                     qPrintable(step + QLatin1Char('\n') + out));
        }
        const auto after = withoutFolders(treeState(www));
        if (expected == QLatin1String("before")) {
            QCOMPARE(after, before);
        } else if (expected == QLatin1String("updated")) {
            QCOMPARE(fileList(www),
                     (QStringList{"Data/kept.txt=mine", "Data/new.txt=new", "include/lib.php=lib2",
                                  "index.php=<?php echo 'v2';"}));
        } else {
            QCOMPARE(treeState(snapshotDir), snapshotBefore);
        }
    }

    // A panel killed at chosen points of an update: the download, the extraction, the first and
    // the second rsync run; every fifth is stopped with Ctrl-C instead. After each, no program of
    // the run is left, the live data is as it was (the package may only have added files), one
    // rollback gives back the last whole site exactly, and a following update succeeds.
    void killedRuns()
    {
        const QString base = fresh(QStringLiteral("killed"));
        const QString program = installedCopy(base);
        const QString runtime = base + QStringLiteral("/Tavex-panel/runtime");
        const QString www = runtime + QStringLiteral("/www");
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
        makeLayout(www,
                   {"index.php=v1", "old.php=old", "Data/mine.txt=mine", "Data/d1/n1.txt=user"});
        const auto sitePart = [](QMap<QString, QString> state) {
            state.removeIf([](const auto &item) {
                return underTopData(item.key()) || item.value().startsWith(QLatin1String("D:"));
            });
            return state;
        };
        const auto dataOf = [](QMap<QString, QString> state) {
            state.removeIf([](const auto &item) { return !underTopData(item.key()); });
            return state;
        };
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), base + QStringLiteral("/config"));
        const auto run = [&](const QStringList &args) {
            QProcess p;
            p.setProcessEnvironment(env);
            p.start(program, args);
            p.waitForFinished(120000);
            return std::make_pair(p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()));
        };
        const auto leftovers = [&] {
            QStringList found;
            const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
            for (const QString &pid : pids) {
                const QByteArray cmd = readFile(QStringLiteral("/proc/") + pid + "/cmdline");
                if (cmd.contains(QFile::encodeName(base)) && !cmd.startsWith("setpriv"))
                    found << QString::fromUtf8(cmd).replace(QChar(0), QChar(' '));
            }
            return found;
        };
        const QStringList phases = {"进度: 10%", "进度: 35%", "第一步", "第二步"};
        QRandomGenerator rng(20261207);
        auto whole = sitePart(treeState(www));
        for (int i = 0; i < 20; ++i) {
            const QString version = i % 2 ? QStringLiteral("b") : QStringLiteral("a");
            const QString context = QStringLiteral("kill %1 in %2").arg(i).arg(phases[i % 4]);
            const auto dataBefore = dataOf(treeState(www));
            QProcess p;
            p.setProcessEnvironment(env);
            p.start(program,
                    {QStringLiteral("update"), QStringLiteral("--url"),
                     m_http->url(QStringLiteral("slow/killed-") + version + ".zip").toString()});
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
            const auto data = dataOf(treeState(www));
            for (auto it = dataBefore.cbegin(); it != dataBefore.cend(); ++it)
                QVERIFY2(data.value(it.key()) == it.value(), qPrintable(context + it.key()));
            for (auto it = data.cbegin(); it != data.cend(); ++it)
                QVERIFY2(dataBefore.contains(it.key()) ||
                             it.value().startsWith(QLatin1String("D:")) ||
                             it.value().endsWith(QStringLiteral("package ") + version),
                         qPrintable(context + it.key()));
            // Ctrl-C, unless the run had ended by itself already.
            if (interrupt && p.exitCode() != 0) {
                // Ctrl-C cleans up at once: the site is whole, no marker stays.
                QCOMPARE(sitePart(treeState(www)), whole);
                QCOMPARE(typeOf(runtime + QStringLiteral("/backup/www-before-update.running")),
                         mode_t(0));
            } else {
                const auto [status, out] = run({QStringLiteral("rollback")});
                QVERIFY2(status == 0, qPrintable(context + out));
                const auto now = sitePart(treeState(www));
                QStringList differs;
                for (auto it = whole.cbegin(); it != whole.cend(); ++it) {
                    if (now.value(it.key()) != it.value())
                        differs << it.key() + QLatin1Char('=') + now.value(it.key()).left(20);
                }
                for (auto it = now.cbegin(); it != now.cend(); ++it) {
                    if (!whole.contains(it.key()))
                        differs << QStringLiteral("extra ") + it.key();
                }
                QVERIFY2(differs.isEmpty(), qPrintable(context + differs.mid(0, 3).join(' ') + out +
                                                       QString::fromUtf8(err)));
            }
            const auto [status, out] =
                run({QStringLiteral("update"), QStringLiteral("--url"),
                     m_http->url(QStringLiteral("killed-") + version + ".zip").toString()});
            QVERIFY2(status == 0, qPrintable(context + out));
            QCOMPARE(readFile(www + QStringLiteral("/index.php")), version.toUtf8());
            whole = sitePart(treeState(www));
        }
    }
};

QTEST_GUILESS_MAIN(TestUpdate)
#include "tst_update.moc"
