// The view model's state and log: initial values, log blocks, the clipboard, the status block, and
// choosing the panel root by hand.
#include "StackRoot.h"
#include "model/PanelViewModel.h"
#include "stack/LogBlock.h"

#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace tavex;
using namespace tavex::test;

class TestModel : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    // A program location whose installed root and resources do not exist, so the resolution
    // falls to the saved root.
    PanelRootResolver emptyLocation() const
    {
        return PanelRootResolver(
            AppLocation::forExecutable(m_dir.filePath("app/tavex/bin/tavex-panel")));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        qputenv("XDG_CONFIG_HOME", m_dir.filePath("config").toUtf8());
    }

    void freshViewModelHasInitialState()
    {
        // Test programs share the test-mode settings file; the default address is wanted here.
        QSettings("Tavex", "tavex-panel").remove("updateZipBaseURL");
        PanelViewModel vm(emptyLocation(), nullptr);
        QCOMPARE(vm.status(), ServiceStatus{});
        QVERIFY(vm.logs().isEmpty() && vm.errorSummary().isEmpty());
        QVERIFY(vm.permissionHint().isEmpty() && vm.updateProgressText().isEmpty());
        QCOMPARE(vm.updateProgress(), 0.0);
        QCOMPARE(vm.updateZipBaseURL.scheme(), QString("https"));
        QVERIFY(vm.updateZipBaseURL.path().endsWith("/tavex-update.zip"));
    }

    void buildLogBlock_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QStringList>("footer");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, const QString &title, const QStringList &entries,
                            const QStringList &footer, const QString &expected) {
            QTest::newRow(name) << title << entries << footer << expected;
        };
        row("title alone", "=== T ===", {}, {}, "=== T ===");
        row("empty entries vanish, footer after an empty line", "T", {"E1", "", "E2"}, {"F1", "F2"},
            "T\nE1\nE2\n\nF1\nF2");
        row("a blank entry stays", "T", {" "}, {}, "T\n ");
        row("footer of one empty string ends in a line feed", "T", {"a"}, {""}, "T\na\n");
        row("empty footer lines vanish", "T", {}, {"", "F"}, "T\n\nF");
        row("empty title keeps its line", "", {"a"}, {}, "\na");
    }

    void buildLogBlock()
    {
        QFETCH(QString, title);
        QFETCH(QStringList, entries);
        QFETCH(QStringList, footer);
        QFETCH(QString, expected);
        QCOMPARE(tavex::buildLogBlock(title, entries, footer), expected);
    }

    // Choosing a root by hand, the status block of the chosen root, and copying the log.
    void choosingTheRoot()
    {
        const StackRoot good(m_dir.filePath("面板 根"));
        const StackRoot bad(m_dir.filePath("no-phpmyadmin"));
        QDir(bad.layout.phpMyAdminDir()).removeRecursively();
        const auto desktop = good.desktop;
        desktop->clipboard = "earlier contents";
        PanelViewModel vm(emptyLocation(), desktop);
        // An empty log is copied as it is.
        vm.copyLogs();
        QCOMPARE(desktop->clipboard, QString());

        // Cancelling changes nothing, not even the log.
        vm.setLogs("before");
        vm.choosePanelRoot();
        QCOMPARE(vm.logs(), QString("before"));
        QCOMPARE(desktop->chooserMessage, QString("请选择 Tavex-panel 目录"));
        QCOMPARE(desktop->chooserAccept, QString("选择"));

        desktop->nextChoice = good.root;
        vm.choosePanelRoot();
        QCOMPARE(vm.savedRoot(), good.root);
        QCOMPARE(vm.logs(), "已设置目录: " + good.root);
        QCOMPARE(vm.tavexPanelRoot(), good.root);
        // The refresh ran against the chosen root: its missing folders are hinted at.
        QVERIFY(vm.permissionHint().contains(good.layout.cfgDir()));

        QSignalSpy statusChanges(&vm, &PanelViewModel::statusChanged);
        vm.refreshStatus();
        QCOMPARE(statusChanges.size(), 3);
        // Whatever listens on 3306 on this machine counts as the database; the PHP servers are
        // this root's own, and none runs.
        const QString mysql = vm.status().mysqlRunning ? "运行中" : "已停止";
        QCOMPARE(vm.logs(), "=== 服务状态 ===\nMySQL: " + mysql +
                                "\nPHP Web: 已停止\nMySQL Web: 已停止\n目录: " + good.root + "\n");
        QVERIFY(vm.errorSummary().isEmpty());
        vm.copyLogs();
        QCOMPARE(desktop->clipboard, vm.logs());

        desktop->nextChoice = bad.root;
        vm.choosePanelRoot();
        QCOMPARE(vm.logs(), QString("选择的目录不是有效的 Tavex-panel 根目录"));
        QVERIFY(vm.errorSummary().isEmpty());
        QCOMPARE(vm.savedRoot(), good.root);
    }
};

QTEST_GUILESS_MAIN(TestModel)
#include "tst_model.moc"
