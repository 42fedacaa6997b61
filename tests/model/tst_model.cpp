// The view model's state and log: initial values, log blocks, the clipboard, the status block, and
// choosing the panel root by hand.
#include "TestSupport.h"
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
        return PanelRootResolver(AppLocation::forExecutable(
            m_dir.path() + QStringLiteral("/app/tavex/bin/tavex-panel")));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        qputenv("XDG_CONFIG_HOME", m_dir.path().toUtf8() + "/config");
    }

    void freshViewModelHasInitialState()
    {
        // Test programs share the test-mode settings file; the default address is wanted here.
        QSettings(QStringLiteral("Tavex"), QStringLiteral("tavex-panel"))
            .remove(QStringLiteral("updateZipBaseURL"));
        PanelViewModel vm(emptyLocation(), nullptr);
        QCOMPARE(vm.status(), ServiceStatus{});
        QVERIFY(vm.logs().isEmpty());
        QVERIFY(vm.errorSummary().isEmpty());
        QVERIFY(vm.permissionHint().isEmpty());
        QVERIFY(vm.updateProgressText().isEmpty());
        QCOMPARE(vm.updateProgress(), 0.0);
        QCOMPARE(vm.updateZipBaseURL.scheme(), QStringLiteral("https"));
        QVERIFY(vm.updateZipBaseURL.path().endsWith(QStringLiteral("/tavex-update.zip")));
    }

    void buildLogBlock_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QStringList>("footer");
        QTest::addColumn<QString>("expected");
        QTest::newRow("title alone")
            << "=== T ===" << QStringList{} << QStringList{} << "=== T ===";
        QTest::newRow("empty entries vanish, footer after an empty line")
            << "T" << QStringList{"E1", "", "E2"} << QStringList{"F1", "F2"}
            << "T\nE1\nE2\n\nF1\nF2";
        QTest::newRow("a blank entry stays") << "T" << QStringList{" "} << QStringList{} << "T\n ";
        QTest::newRow("footer of one empty string ends in a line feed")
            << "T" << QStringList{"a"} << QStringList{""} << "T\na\n";
        QTest::newRow("empty footer lines vanish")
            << "T" << QStringList{} << QStringList{"", "F"} << "T\n\nF";
        QTest::newRow("empty title keeps its line")
            << "" << QStringList{"a"} << QStringList{} << "\na";
    }

    void buildLogBlock()
    {
        QFETCH(QString, title);
        QFETCH(QStringList, entries);
        QFETCH(QStringList, footer);
        QFETCH(QString, expected);
        QCOMPARE(tavex::buildLogBlock(title, entries, footer), expected);
    }

    void copyLogsPutsTheLogEvenWhenEmpty()
    {
        auto desktop = std::make_shared<RecordingDesktop>();
        desktop->clipboard = QStringLiteral("earlier contents");
        PanelViewModel vm(emptyLocation(), desktop);
        vm.copyLogs();
        QCOMPARE(desktop->clipboard, QString());
        vm.setLogs(QStringLiteral("=== 服务状态 ===\nMySQL: 运行中\n"));
        vm.copyLogs();
        QCOMPARE(desktop->clipboard, vm.logs());
    }

    void choosingTheRoot()
    {
        auto desktop = std::make_shared<RecordingDesktop>();
        PanelViewModel vm(emptyLocation(), desktop);
        const QString good = m_dir.path() + QStringLiteral("/面板 根");
        makeValidRoot(good);
        const QString bad = m_dir.path() + QStringLiteral("/no-phpmyadmin");
        makeValidRoot(bad);
        QDir(bad + QStringLiteral("/runtime/phpmyadmin")).removeRecursively();

        // Cancelling changes nothing, not even the log.
        vm.setLogs(QStringLiteral("before"));
        vm.choosePanelRoot();
        QCOMPARE(vm.logs(), QStringLiteral("before"));
        QCOMPARE(desktop->chooserMessage, QStringLiteral("请选择 Tavex-panel 目录"));
        QCOMPARE(desktop->chooserAccept, QStringLiteral("选择"));

        desktop->nextChoice = good;
        vm.choosePanelRoot();
        QCOMPARE(vm.savedRoot(), good);
        QCOMPARE(vm.logs(), QStringLiteral("已设置目录: ") + good);
        QCOMPARE(vm.tavexPanelRoot(), good);
        // The refresh ran against the chosen root: its missing folders are hinted at.
        QVERIFY(vm.permissionHint().contains(good + QStringLiteral("/runtime/config")));

        desktop->nextChoice = bad;
        vm.choosePanelRoot();
        QCOMPARE(vm.logs(), QStringLiteral("选择的目录不是有效的 Tavex-panel 根目录"));
        QVERIFY(vm.errorSummary().isEmpty());
        QCOMPARE(vm.savedRoot(), good);
    }

    void refreshWritesTheStatusBlock()
    {
        const QString root = m_dir.path() + QStringLiteral("/stopped");
        makeValidRoot(root);
        auto desktop = std::make_shared<RecordingDesktop>();
        desktop->nextChoice = root;
        PanelViewModel vm(emptyLocation(), desktop);
        vm.choosePanelRoot();
        QSignalSpy statusChanges(&vm, &PanelViewModel::statusChanged);
        vm.refreshStatus();
        QCOMPARE(statusChanges.size(), 3);
        // Whatever listens on 3306 on this machine counts as the database; the PHP servers are
        // this root's own, and none runs.
        const QString mysql =
            vm.status().mysqlRunning ? QStringLiteral("运行中") : QStringLiteral("已停止");
        QCOMPARE(vm.logs(), QStringLiteral("=== 服务状态 ===\nMySQL: ") + mysql +
                                QStringLiteral("\nPHP Web: 已停止\nMySQL Web: 已停止\n目录: ") +
                                root + QStringLiteral("\n"));
        QVERIFY(vm.errorSummary().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestModel)
#include "tst_model.moc"
