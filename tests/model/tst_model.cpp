// The view model's state and log: initial values, log blocks, the status block, choosing a root.
#include "TestSupport.h"
#include "model/PanelViewModel.h"
#include "stack/LogBlock.h"

#include <QSettings>
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

    // A program location with no installed root: the resolution falls to the saved root.
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
        QVERIFY(vm.status() == ServiceStatus{} && vm.logs().isEmpty() &&
                vm.errorSummary().isEmpty());
        QCOMPARE(vm.updateZipBaseURL.scheme(), QString("https"));
    }

    void buildLogBlock_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QStringList>("footer");
        QTest::addColumn<QString>("expected");
        using L = QStringList; // a title alone is stop-all's block in the stack test
        QTest::newRow("empty entries vanish, footer after an empty line")
            << "T" << L{"E1", "", "E2"} << L{"F1", "F2"} << "T\nE1\nE2\n\nF1\nF2";
        QTest::newRow("footer of one empty string ends in a line feed")
            << "T" << L{"a"} << L{""} << "T\na\n";
    }

    void buildLogBlock()
    {
        QFETCH(QString, title);
        QFETCH(QStringList, entries);
        QFETCH(QStringList, footer);
        QFETCH(QString, expected);
        QCOMPARE(tavex::buildLogBlock(title, entries, footer), expected);
    }

    // Choosing a root by hand and the status block of the chosen root.
    void choosingTheRoot()
    {
        const StackRoot good(m_dir.filePath("面板 根"));
        const StackRoot bad(m_dir.filePath("no-phpmyadmin"));
        QDir(bad.layout.phpMyAdminDir()).removeRecursively();
        const auto desktop = good.desktop;
        PanelViewModel vm(emptyLocation(), desktop);
        desktop->nextChoice = good.root;
        vm.choosePanelRoot();
        QCOMPARE(vm.logs(), "已设置目录: " + good.root);
        QVERIFY(vm.savedRoot() == good.root && vm.tavexPanelRoot() == good.root);
        // The refresh ran against the chosen root: its missing folders are hinted at.
        QVERIFY(vm.permissionHint().contains(good.layout.cfgDir()));

        vm.refreshStatus();
        // Whatever listens on 3306 counts as the database; none of this root's PHP servers runs.
        const QString mysql = vm.status().mysqlRunning ? "运行中" : "已停止";
        QCOMPARE(vm.logs(), "=== 服务状态 ===\nMySQL: " + mysql +
                                "\nPHP Web: 已停止\nMySQL Web: 已停止\n目录: " + good.root + "\n");
        QVERIFY(vm.errorSummary().isEmpty());
        // A root without phpMyAdmin is refused, and the saved one stays.
        desktop->nextChoice = bad.root;
        vm.choosePanelRoot();
        QCOMPARE(vm.logs(), QString("选择的目录不是有效的 Tavex-panel 根目录"));
        QCOMPARE(vm.savedRoot(), good.root);
    }
};

QTEST_GUILESS_MAIN(TestModel)
#include "tst_model.moc"
