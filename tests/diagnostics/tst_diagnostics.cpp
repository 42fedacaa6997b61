// The permission hint (as an unprivileged user), log complaints, exposed ports, error summary.
#include "TestSupport.h"
#include "diagnostics/ErrorSummary.h"
#include "diagnostics/PermissionCheck.h"
#include "model/DoctorReport.h"
#include "services/ServiceDiagnosis.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using namespace tavex;
using namespace tavex::test;
using namespace Qt::StringLiterals;

class TestDiagnostics : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString makeRuntime(const QString &name)
    {
        const QString root = m_dir.filePath(name);
        for (const char *dir : {"/runtime/config", "/runtime/mysql/data"})
            QDir().mkpath(root + QLatin1String(dir));
        return root;
    }

private Q_SLOTS:
    void initTestCase()
    {
        // An unprivileged user must be able to reach the folders under test.
        QFile::setPermissions(m_dir.path(), QFile::permissions(m_dir.path()) |
                                                QFileDevice::ExeOther | QFileDevice::ReadOther);
    }

    void allWritable()
    {
        const QString root = makeRuntime(u"ok"_s);
        QVERIFY(permissionCheckHint(root).isEmpty() && snapshot(root).isEmpty()); // no file left

        // A link planted at the test file's old, predictable name is neither followed nor removed.
        const QString victim = m_dir.filePath(u"victim"_s);
        writeFile(victim, "outside");
        const QString planted = root + u"/runtime/.tavex-write-test"_s;
        QVERIFY(QFile::link(victim, planted));
        QVERIFY(permissionCheckHint(root).isEmpty() && QFileInfo(planted).isSymLink());
        QCOMPARE(readFile(victim), QByteArray("outside"));

        // A runtime folder that is a link elsewhere is not written into.
        const QString config = root + u"/runtime/config"_s;
        QDir(config).removeRecursively();
        QVERIFY(QFile::link(m_dir.path(), config));
        QVERIFY(permissionCheckHint(root).endsWith(u"\n错误: "_s + config +
                                                   u": 目标是符号链接，已拒绝写入"_s));
    }

    void missingFolders()
    {
        const QString root = m_dir.filePath(u"empty"_s), runtime = root + u"/runtime"_s;
        QVERIFY(permissionCheckHint(root).endsWith(runtime));
        // A plain file where the data folder should be, also for the doctor's look ahead.
        QDir().mkpath(runtime + u"/config"_s);
        writeFile(runtime + u"/mysql/data"_s, "");
        QCOMPARE(permissionCheckHint(root),
                 u"权限提示: 目录不存在或不可访问 - "_s + runtime + u"/mysql/data"_s);
        QCOMPARE(checkRuntimePermissions(root, true).failingDir, runtime + u"/mysql/data"_s);
    }

    void readOnlyFolder()
    {
        const QString root = makeRuntime(u"readonly"_s);
        const QString config = root + u"/runtime/config"_s;
        QFile::setPermissions(config, QFileDevice::Permissions(0x5555));
        // The folders above must let the unprivileged user write, so config is the first to fail.
        QFile::setPermissions(root + u"/runtime"_s, QFileDevice::Permissions(0x7777));
        const QString hint = runUnprivileged([root] { return permissionCheckHint(root); });
        QCOMPARE(hint, u"权限提示: 无法写入 "_s + config +
                           u"\n请到 系统设置 -> 隐私与安全性 -> 完全磁盘访问，给 "
                           "Xcode / App 开权限。\n错误: Permission denied"_s);

        // mysql is checked before mysql/data: a read-only mysql is named, its data folder missing.
        QFile::setPermissions(config, QFileDevice::Permissions(0x7777));
        const QString mysql = root + u"/runtime/mysql"_s;
        QDir(mysql + u"/data"_s).removeRecursively();
        QFile::setPermissions(mysql, QFileDevice::Permissions(0x5555));
        QVERIFY(runUnprivileged([root] {
                    return permissionCheckHint(root);
                }).startsWith(u"权限提示: 无法写入 "_s + mysql + QLatin1Char('\n')));
    }

    // The line of a server log that says why its latest start failed. earlier: what the log held
    // when that start began, never quoted; replaced: the log was put anew in its place since.
    void logComplaints_data()
    {
        QTest::addColumn<bool>("database");
        QTest::addColumn<QByteArray>("earlier");
        QTest::addColumn<QByteArray>("log");
        QTest::addColumn<bool>("replaced");
        QTest::addColumn<QString>("complaint");
        const auto row = [](const char *name, bool database, const QByteArray &earlier,
                            const QByteArray &log, const char *complaint, bool replaced = false) {
            QTest::newRow(name) << database << earlier << log << replaced << QString(complaint);
        };
        const QByteArray started =
            "[Sun Dec  6 20:01:02 2026] PHP 8.2.36 Development Server "
            "(http://0.0.0.0:8000) started\n"
            "[Sun Dec  6 20:01:03 2026] 127.0.0.1:50312 [200]: GET /\n"
            "[Sun Dec  6 20:01:04 2026] [::1]:50314 Closed without sending a "
            "request; it was probably just an unused speculative preconnection\n";
        const char *listen = "Failed to listen on 0.0.0.0:900 (reason: Permission denied)";
        const QByteArray refused = "[Sun Dec  6 20:02:00 2026] " + QByteArray(listen) + "\n";
        row("could not listen", false, {}, started + refused + "\n", listen);
        row("failed once, started since", false, {}, refused + started, "");
        const QByteArray ready =
            "2026-12-06 20:01:02 0 [Note] /usr/sbin/mariadbd: ready for connections.\n";
        const char *bind = "Can't start server: Bind on TCP/IP port. Got error: 98: Address "
                           "already in use";
        row("database could not bind", true, {},
            ready + "2026-12-06 20:05:01 0 [ERROR] " + bind +
                "\n2026-12-06 20:05:01 0 [ERROR] Aborting\n",
            bind);
        // The latest start wrote nothing yet: what an earlier run said is over.
        const QByteArray aborted = "2026-12-06 19:00:00 0 [ERROR] Can't start server: old\n"
                                   "2026-12-06 19:00:00 0 [ERROR] Aborting\n";
        row("database: only an earlier run complained", true, ready + aborted, {}, "");
        row("log put anew since the start", true, ready + ready + aborted, aborted,
            "Can't start server: old", true);
    }

    void logComplaints()
    {
        QFETCH(bool, database);
        QFETCH(QByteArray, earlier);
        QFETCH(QByteArray, log);
        QFETCH(bool, replaced);
        QFETCH(QString, complaint);
        const QString path = m_dir.filePath(QStringLiteral("server.log"));
        const QString mark = path + QStringLiteral(".start");
        QFile::remove(mark);
        writeFile(path, earlier);
        noteLogStart(mark, path);
        // The earlier file is moved aside, not deleted, so the new one cannot reuse its inode.
        if (replaced)
            QVERIFY(QFile::rename(path, path + QStringLiteral(".old")));
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append | QIODevice::Unbuffered) &&
                file.write(log) == log.size());
        const qint64 from = logStartOffset(mark, path);
        QCOMPARE(database ? lastDatabaseLogComplaint(path, from) : lastPhpLogComplaint(path, from),
                 complaint);
    }

    // A port that others on the network can reach is named; loopback only, or nothing, is not.
    void exposedPortWarning_data()
    {
        QTest::addColumn<QHostAddress>("address");
        QTest::addColumn<QString>("shown");
        QTest::newRow("all IPv4 addresses") << QHostAddress(QHostAddress::AnyIPv4) << u"0.0.0.0"_s;
        QTest::newRow("all IPv6 addresses") << QHostAddress(QHostAddress::AnyIPv6) << u"::"_s;
        QTest::newRow("loopback only") << QHostAddress(QHostAddress::LocalHost) << QString();
    }

    void exposedPortWarning()
    {
        QFETCH(QHostAddress, address);
        QFETCH(QString, shown);
        QTcpServer server;
        QVERIFY(server.listen(address));
        const QString warning = u"[警告] 端口 %1 在本机所有网络地址上可访问（%2），"
                                "同一网络中的其他人可以打开它；见 SECURITY.md"_s;
        QCOMPARE(tavex::exposedPortWarning(server.serverPort()),
                 shown.isEmpty() ? QString() : warning.arg(server.serverPort()).arg(shown));
    }

    void errorSummarySelection()
    {
        QCOMPARE(errorSummaryOf(u"ERROR in capitals\nan Error\nan error\n\n"
                                "更新/修复失败: 网络\nPermission denied\n"
                                "Operation not permitted\nphp not found\n"
                                "无法写入\n权限错误\nupload failed"_s),
                 u"an Error\nan error\n更新/修复失败: 网络\nPermission denied\n"
                 "Operation not permitted\nphp not found\n无法写入\n权限错误"_s);
    }
};

QTEST_GUILESS_MAIN(TestDiagnostics)
#include "tst_diagnostics.moc"
