// The window, headless, over the real view model and a panel root of the test's own with stand-in
// programs: every button reaches its operation (through the accessibility interface, as a screen
// reader presses it, and by keyboard), a package on disk chosen or dropped updates the site, the
// warnings and the progress card follow the view model, the log is edited both ways and shown as
// typed, the grids at the minimum size, long paths, and the label tables under several locales.
#include "ContentView.h"
#include "IconButton.h"
#include "Localization.h"
#include "PanelApplication.h"
#include "StackRoot.h"
#include "WarningCard.h"
#include "model/PanelViewModel.h"
#include "update/UpdateLock.h"

#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLockFile>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QTranslator>

using namespace tavex;
using namespace tavex::test;
using tavex::ui::ContentView;
using tavex::ui::IconButton;

namespace {

const QStringList kButtonKeys = {
    "action.start_all",        "action.stop_all",       "action.refresh_status",
    "action.choose_directory", "action.open_directory", "action.privacy_settings",
    "action.open_website",     "action.database_admin", "action.start_phpmyadmin",
    "action.update_repair",    "action.copy_logs"};

// What a label key looks like when no table answered it.
const QRegularExpression kRawKey(QStringLiteral("^[a-z_]+(\\.[a-z_]+)+$"));

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::optional<StackRoot> m_stack;
    QString m_root;
    std::shared_ptr<RecordingDesktop> m_desktop;
    std::unique_ptr<ContentView> m_view;

    PanelViewModel *vm() const { return m_view->viewModel(); }
    IconButton *button(const QString &key) const { return m_view->findChild<IconButton *>(key); }
    template <typename T> T *part(const QString &name) const
    {
        return m_view->findChild<T *>(name);
    }

    // A window over the installed root beside a program location of the test's own.
    std::unique_ptr<ContentView> makeView() const
    {
        auto view = std::make_unique<ContentView>(m_stack->resolver(), m_desktop);
        view->resize(820, 740);
        return view;
    }

    bool shownAndRefreshed(ContentView &view) const
    {
        view.show();
        return QTest::qWaitForWindowExposed(&view) && QTest::qWaitFor([&] {
                   return view.viewModel()->logs().startsWith("=== 服务状态 ===");
               });
    }

private Q_SLOTS:
    void initTestCase()
    {
        // The settings file of the test's own (Qt's test mode would share one between programs).
        qputenv("XDG_CONFIG_HOME", m_dir.filePath("config").toUtf8());
        // Stand-in database programs: start-all runs them and they do nothing.
        m_stack.emplace(m_dir.filePath("app"));
        m_stack->makeFolders();
        m_stack->installDatabase();
        m_root = m_stack->root;
        // Updates come from a port where nothing listens: the run fails at once, offline.
        QSettings("Tavex", "tavex-panel")
            .setValue("updateZipBaseURL", "http://127.0.0.1:9/tavex-update.zip");
    }

    void init()
    {
        m_desktop = std::make_shared<RecordingDesktop>();
        m_view = makeView();
        QVERIFY(shownAndRefreshed(*m_view));
    }

    void cleanup() { m_view.reset(); }

    void buttonsReachTheirOperations_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("logStart");   // the log's first line afterwards
        QTest::addColumn<QString>("finalTitle"); // the block that ends a long operation
        QTest::addColumn<QUrl>("opened");
        // The desktop's answer: a directory that the chooser gives, or "cannot open" for a
        // desktop without a browser or file manager; empty: the chooser is cancelled.
        QTest::addColumn<QString>("desktop");
        QTest::addColumn<QString>("logEnd"); // the log's last line afterwards
        const auto row = [](const char *name, const char *key, const QString &logStart = {},
                            const char *finalTitle = "", const QUrl &opened = {},
                            const QString &desktop = {}, const QString &logEnd = {}) {
            QTest::newRow(name) << key << logStart << finalTitle << opened << desktop << logEnd;
        };
        const QUrl runtime = QUrl::fromLocalFile(m_root + "/runtime");
        row("start all", "action.start_all", "=== 启动中 ===", "=== 启动完成 ===");
        row("stop all", "action.stop_all", "=== 停止中 ===", "=== 停止完成 ===");
        row("refresh", "action.refresh_status", "=== 服务状态 ===");
        row("choose, cancelled", "action.choose_directory");
        row("choose, a root chosen", "action.choose_directory", "已设置目录: " + m_root, "", {},
            m_root);
        row("runtime folder", "action.open_directory", "", "", runtime);
        row("runtime folder, no file manager", "action.open_directory", "<b>before</b>", "",
            runtime, "cannot open", "无法打开: " + m_root + "/runtime（没有可用的文件管理器）");
        row("privacy", "action.privacy_settings", "", "", runtime);
        row("website", "action.open_website", "", "", QUrl("http://localhost:8000"));
        row("website, no browser", "action.open_website", "<b>before</b>", "",
            QUrl("http://localhost:8000"), "cannot open",
            "无法打开: http://localhost:8000（没有可用的浏览器）");
        row("database", "action.database_admin", "", "", QUrl("http://localhost:900"));
        row("phpmyadmin", "action.start_phpmyadmin", "", "", QUrl("http://localhost:900"));
        row("update", "action.update_repair",
            "=== 更新/修复TAVEX文件 ===", "=== 更新/修复完成 ===");
        row("copy", "action.copy_logs");
    }

    // Pressed as a screen reader presses it; its accessible name is its visible title.
    void buttonsReachTheirOperations()
    {
        QFETCH(QString, key);
        QFETCH(QString, logStart);
        QFETCH(QString, finalTitle);
        QFETCH(QUrl, opened);
        QFETCH(QString, desktop);
        QFETCH(QString, logEnd);
        m_desktop->opens = desktop != "cannot open";
        if (m_desktop->opens && !desktop.isEmpty())
            m_desktop->nextChoice = desktop;
        IconButton *pressed = button(key);
        QVERIFY(pressed);
        QVERIFY(pressed->isEnabled());
        QVERIFY(pressed->toolTip().isEmpty());
        QVERIFY(pressed->shortcut().isEmpty());
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(pressed);
        QCOMPARE(accessible->role(), QAccessible::Button);
        QCOMPARE(accessible->text(QAccessible::Name), pressed->title());

        vm()->setLogs("<b>before</b> & after");
        QSignalSpy sequence(vm(), &PanelViewModel::sequenceFinished);
        QSignalSpy update(vm(), &PanelViewModel::updateFinished);
        accessible->actionInterface()->doAction(QAccessibleActionInterface::pressAction());

        if (!logStart.isEmpty())
            QTRY_VERIFY2(vm()->logs().startsWith(logStart) ||
                             (!finalTitle.isEmpty() && vm()->logs().startsWith(finalTitle)),
                         qPrintable(vm()->logs()));
        if (!finalTitle.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(sequence.size() + update.size(), 1, 60000);
            QVERIFY2(vm()->logs().startsWith(finalTitle), qPrintable(vm()->logs()));
            // The update fails offline; its progress text says so.
            if (!update.isEmpty())
                QCOMPARE(vm()->updateProgressText(),
                         update.first().first().toBool() ? "完成" : "失败");
        }
        if (!opened.isEmpty())
            QTRY_COMPARE(m_desktop->opened.value(m_desktop->opened.size() - 1), opened);
        if (!logEnd.isEmpty())
            QTRY_VERIFY2(vm()->logs().endsWith("\n" + logEnd + "\n"), qPrintable(vm()->logs()));
        if (key == "action.choose_directory") {
            QTRY_COMPARE(m_desktop->chooserMessage, QString("请选择 Tavex-panel 目录"));
            QCOMPARE(m_desktop->chooserAccept, QString("选择"));
            if (desktop.isEmpty()) // cancelled: nothing changes
                QCOMPARE(vm()->logs(), QString("<b>before</b> & after"));
        }
        if (key == "action.copy_logs")
            QTRY_COMPARE(m_desktop->clipboard, std::optional<QString>("<b>before</b> & after"));
        // With an update address set, the update button downloads: it asks for no file.
        QVERIFY(m_desktop->packageChooserTitles.isEmpty() && m_desktop->questions.isEmpty());
    }

    // Tab walks the eleven buttons in order, Space presses the focused one, the focus is drawn.
    void keyboardReachesEveryButton()
    {
        m_view->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_view.get()));
        QStringList reached;
        for (int i = 0; i < 16 && reached.size() < kButtonKeys.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget()
                                                        : m_view.get(),
                            Qt::Key_Tab);
            if (auto *focused = qobject_cast<IconButton *>(QApplication::focusWidget()))
                reached << focused->objectName();
        }
        QCOMPARE(reached, kButtonKeys);
        QVERIFY(button("action.copy_logs")->hasFocus());
        vm()->setLogs("typed & kept");
        QTest::keyClick(button("action.copy_logs"), Qt::Key_Space);
        QTRY_COMPARE(m_desktop->clipboard, std::optional<QString>("typed & kept"));
    }

    void progressCardFollowsTheRun_data()
    {
        QTest::addColumn<double>("fraction");
        QTest::addColumn<QString>("line"); // empty: no card
        QTest::newRow("not started") << 0.0 << QString();
        QTest::newRow("half way") << 0.5 << QString("正在下载更新包 50%");
        QTest::newRow("almost") << 0.999 << QString("正在下载更新包 99%");
        QTest::newRow("done") << 1.0 << QString();
    }

    void progressCardFollowsTheRun()
    {
        QFETCH(double, fraction);
        QFETCH(QString, line);
        vm()->showUpdateProgressForTesting(fraction, "正在下载更新包");
        auto *card = part<QWidget>("progressCard");
        QCOMPARE(card->isVisible(), !line.isEmpty());
        if (!line.isEmpty())
            QCOMPARE(card->findChild<QLabel *>("progressText")->text(), line);
        QCOMPARE(card->accessibleDescription(), line);
        // A run that ends leaves nothing for a screen reader to read.
        vm()->showUpdateProgressForTesting(0.5, "正在下载更新包");
        vm()->showUpdateProgressForTesting(fraction, "失败");
        QCOMPARE(card->accessibleDescription().isEmpty(), line.isEmpty());
        vm()->showUpdateProgressForTesting(0.0, QString());
        QVERIFY(!card->isVisible());
        QVERIFY(card->accessibleDescription().isEmpty());
    }

    // The permission hint and the error summary each bring their warning, and take it away;
    // markup shows as typed, and a long path does not widen the window.
    void warningsFollowTheViewModel()
    {
        auto *permission = part<QWidget>("permissionWarning");
        auto *errors = part<QWidget>("errorWarning");
        auto *readiness = part<QLabel>("readiness");
        QVERIFY(!permission->isVisible());
        QVERIFY(!errors->isVisible());
        QCOMPARE(readiness->text(), ui::localized("app.ready"));

        const QString data = m_root + "/runtime/mysql/data";
        QVERIFY(QDir().rename(data, data + ".away"));
        vm()->refreshStatus();
        QVERIFY(permission->isVisible());
        QCOMPARE(permission->findChild<QLabel *>("body")->text(), vm()->permissionHint());
        QVERIFY(vm()->permissionHint().contains(data));
        QCOMPARE(readiness->text(), ui::localized("app.attention"));
        QVERIFY(QDir().rename(data + ".away", data));
        vm()->refreshStatus();
        QVERIFY(!permission->isVisible());
        QCOMPARE(readiness->text(), ui::localized("app.ready"));

        vm()->setLogs("line one\nMySQL: <b>启动失败</b> & more\nfine");
        vm()->updateErrorSummary();
        QVERIFY(errors->isVisible());
        auto *body = errors->findChild<QLabel *>("body");
        QCOMPARE(body->text(), QString("MySQL: <b>启动失败</b> & more"));
        QCOMPARE(body->textFormat(), Qt::PlainText);
        // An unbroken path wider than the window wraps inside its warning.
        vm()->setLogs("错误: /srv/" + QString(400, 'x') + "/runtime");
        vm()->updateErrorSummary();
        // The warning was up already: its new height settles over a few rounds of layout.
        QTRY_VERIFY(body->height() > 2 * body->fontMetrics().height());
        QCOMPARE(m_view->width(), 820);
        QVERIFY(m_view->minimumSizeHint().width() <= 820);
        QVERIFY(errors->geometry().right() < m_view->width());
        vm()->setLogs("all fine");
        vm()->updateErrorSummary();
        QVERIFY(!errors->isVisible());
    }

    // The first start copies the shipped runtime (held here by another installer's lock): the
    // header and the log say so, the buttons wait visibly, and no press is queued meanwhile.
    void firstStartSaysItInstalls()
    {
        const QString prefix = m_dir.filePath("first/tavex");
        const QString installed = m_dir.filePath("first/Tavex-panel");
        makeValidRoot(prefix + "/share/tavex-panel");
        QVERIFY(QDir().mkpath(installed));
        QLockFile other(installed + "/.install.lock");
        QVERIFY(other.lock());
        ContentView view(PanelRootResolver(AppLocation::forExecutable(prefix + "/bin/tavex-panel")),
                         m_desktop);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QCOMPARE(view.findChild<QLabel *>("readiness")->text(), ui::localized("app.installing"));
        QVERIFY(
            view.viewModel()->logs().startsWith("正在安装运行环境…\n目标: " + installed + "\n"));
        auto *startAll = view.findChild<IconButton *>("action.start_all");
        QVERIFY(!startAll->isEnabled());
        QVERIFY(view.findChild<IconButton *>("action.copy_logs")->isEnabled());
        QTest::mouseClick(startAll, Qt::LeftButton);
        // A refresh meanwhile neither installs nor waits for the installation: it reads the root
        // that the installation makes.
        view.viewModel()->refreshStatus();
        QVERIFY(view.viewModel()->logs().endsWith("目录: " + installed + "\n"));
        QVERIFY(!isValidPanelRoot(installed));
        other.unlock();
        QVERIFY(QTest::qWaitFor([&] { return view.viewModel()->logs().contains("目录来源: "); }));
        QVERIFY(isValidPanelRoot(installed));
        QVERIFY(startAll->isEnabled());
        QVERIFY(view.findChild<QLabel *>("readiness")->text() != ui::localized("app.installing"));
        QVERIFY(view.viewModel()->logs().startsWith("=== 服务状态 ===\n"));
        QVERIFY(view.viewModel()->logs().contains("安装位置: "));
        QTest::qWait(200);
        QVERIFY(!view.viewModel()->logs().contains("=== 启动中 ==="));
    }

    void statusCardsSayWhy_data()
    {
        QTest::addColumn<bool>("startAll"); // else a refresh
        QTest::newRow("refresh") << false;
        QTest::newRow("start-all") << true;
    }

    // A service that does not run as started says why on its own card, until the cause is gone.
    // A site server that cannot listen is not shown as running after start-all.
    void statusCardsSayWhy()
    {
        QFETCH(bool, startAll);
        QTcpServer other;
        QVERIFY2(other.listen(QHostAddress::Any, 8000), "port 8000 is taken");
        if (startAll) {
            // PHP's built-in server, as far as listening goes: it says why it cannot, and ends.
            const QString php = m_root + "/runtime/php/PHP8.5/bin/php";
            writeScript(php, "exec python3 -c 'import os,socket,sys\n"
                             "host, port = sys.argv[2].rsplit(\":\", 1)\n"
                             "try:\n"
                             "    socket.create_server((host, int(port)))\n"
                             "except OSError as e:\n"
                             "    sys.exit(f\"[Mon Dec  7 06:00:00 2026] Failed to listen on "
                             "{sys.argv[2]} (reason: {os.strerror(e.errno)})\")\n' \"$@\"\n");
            const auto removeFiles = qScopeGuard([&] {
                for (const QString &file : {php, m_root + "/runtime/config/php-web.pid",
                                            m_root + "/runtime/config/phpmyadmin.pid"})
                    QFile::remove(file);
            });
            QSignalSpy finished(vm(), &PanelViewModel::sequenceFinished);
            vm()->startAll();
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 60000);
            QVERIFY2(vm()->logs().contains("\nPHP Web: 启动失败: Failed to listen on 0.0.0.0:8000 "
                                           "(reason: Address already in use)\n"),
                     qPrintable(vm()->logs()));
            QVERIFY(!vm()->status().phpWebRunning);
            const QString running =
                ui::localized("status.php_web") + "  " + ui::localized("common.running");
            for (const QLabel *label : m_view->findChildren<QLabel *>())
                QVERIFY2(label->text() != running, qPrintable(label->text()));
            QCOMPARE(part<QWidget>("status.php_web")->findChild<QLabel *>("value")->text(),
                     ui::localized("common.stopped"));
        } else {
            vm()->refreshStatus();
        }
        const QString caption =
            QString("端口 8000 已被 %1（PID %2，")
                .arg(QFileInfo(QCoreApplication::applicationFilePath()).fileName().left(15))
                .arg(QCoreApplication::applicationPid());
        for (const char *card : {"status.mysql", "status.php_web", "status.phpmyadmin"}) {
            auto *reason = part<QWidget>(card)->findChild<QLabel *>("reason");
            const bool expected = QByteArray(card) == "status.php_web";
            // The stand-in PHP does not serve phpMyAdmin either.
            if (!startAll || expected)
                QCOMPARE(reason->isVisible(), expected);
            if (expected)
                QVERIFY2(reason->text().startsWith(caption), qPrintable(reason->text()));
        }
        other.close();
        vm()->refreshStatus();
        QVERIFY(!part<QWidget>("status.php_web")->findChild<QLabel *>("reason")->isVisible());
    }

    // Typing edits the log without the cursor jumping; the next write replaces the edit; markup
    // and "&" show as typed.
    void logEditorIsBoundBothWays()
    {
        auto *editor = part<QPlainTextEdit>("logEditor");
        QCOMPARE(editor->toPlainText(), vm()->logs());
        QCOMPARE(QAccessible::queryAccessibleInterface(editor)->role(), QAccessible::EditableText);

        vm()->setLogs("<b>bold?</b> & <i>x</i>");
        QCOMPARE(editor->toPlainText(), QString("<b>bold?</b> & <i>x</i>"));
        editor->setFocus();
        QTextCursor cursor = editor->textCursor();
        cursor.setPosition(3);
        editor->setTextCursor(cursor);
        QTest::keyClicks(editor, "xyz");
        QCOMPARE(vm()->logs(), QString("<b>xyzbold?</b> & <i>x</i>"));
        QCOMPARE(editor->textCursor().position(), 6);

        vm()->refreshStatus();
        QVERIFY(editor->toPlainText().startsWith("=== 服务状态 ==="));
        QCOMPARE(editor->toPlainText(), vm()->logs());
    }

    // At the minimum size: three status cards in one row of four columns, three buttons in the
    // first two panels, four and one in the third. The window never gets smaller.
    void gridsAtTheMinimumSize()
    {
        m_view->resize(600, 500);
        QTRY_COMPARE(m_view->size(), QSize(820, 740));
        QApplication::processEvents();

        const auto rowsOf = [](const QList<QWidget *> &items) {
            QList<int> perRow;
            int lastY = -1;
            for (QWidget *item : items) {
                if (item->y() != lastY)
                    perRow << 0;
                ++perRow.last();
                lastY = item->y();
            }
            return perRow;
        };
        const QList<QWidget *> cards = {part<QWidget>("status.mysql"),
                                        part<QWidget>("status.php_web"),
                                        part<QWidget>("status.phpmyadmin")};
        QCOMPARE(rowsOf(cards), QList<int>{3});
        // A fourth column stays empty.
        QVERIFY(cards.last()->geometry().right() + cards.first()->width() <=
                cards.first()->parentWidget()->width());

        QList<QWidget *> buttons;
        for (const QString &key : kButtonKeys)
            buttons << button(key);
        QCOMPARE(rowsOf(buttons.mid(0, 3)), QList<int>{3});
        QCOMPARE(rowsOf(buttons.mid(3, 3)), QList<int>{3});
        QCOMPARE(rowsOf(buttons.mid(6, 5)), (QList<int>{4, 1}));
        QCOMPARE(buttons.at(10)->x(), buttons.at(6)->x());
        QVERIFY(buttons.at(3)->geometry().right() + buttons.first()->width() <=
                buttons.first()->parentWidget()->width());
    }

    // The window goes while start-all works: the work still runs to its end, and its last steps,
    // meant for the window, are dropped.
    void closingTheWindowLetsTheWorkFinish()
    {
        const QString optionFile = m_root + "/runtime/mysql/my_runtime.cnf";
        QFile::remove(optionFile);
        button("action.start_all")->click();
        m_view.reset();
        QThreadPool::globalInstance()->waitForDone();
        QVERIFY(QFileInfo::exists(optionFile));
        QCoreApplication::processEvents();
    }

    // A package on disk: chosen with the update button while no update address is set, or
    // dropped on the window or its log. The run updates the test's own root with the real tools.
    void packageFromDisk_data()
    {
        QTest::addColumn<QString>("how");  // "press", "drop" on the window, "drop on log"
        QTest::addColumn<QString>("name"); // the package's file name
        QTest::addColumn<bool>("agrees");  // a file chosen, or the drop confirmed
        QTest::addColumn<bool>("busy");    // another run works meanwhile
        QTest::addColumn<bool>("runs");
        const auto row = [](const char *name, const char *how, const char *file, bool agrees,
                            bool busy, bool runs) {
            QTest::newRow(name) << how << file << agrees << busy << runs;
        };
        row("press, chooser cancelled", "press", "pkg.zip", false, false, false);
        row("press, a file chosen", "press", "pkg.zip", true, false, true);
        row("press while a run works", "press", "pkg.zip", true, true, false);
        row("drop declined", "drop", "pkg.zip", false, false, false);
        row("drop on the log, confirmed", "drop on log", "Site Package.ZIP", true, false, true);
        row("drop while a run works", "drop", "pkg.zip", true, true, false);
        row("a dropped file that is no zip", "drop", "pkg.txt", true, false, false);
    }

    void packageFromDisk()
    {
        QFETCH(QString, how);
        QFETCH(QString, name);
        QFETCH(bool, agrees);
        QFETCH(bool, busy);
        QFETCH(bool, runs);
        const QString source = m_dir.filePath("package-source");
        writeFile(source + "/www/index.php", "<?php echo 'from disk';");
        const QString package = m_dir.filePath("downloads/") + name;
        QVERIFY(QDir().mkpath(QFileInfo(package).path()));
        QFile::remove(package);
        QCOMPARE(QProcess::execute("/usr/bin/bsdtar",
                                   {"--format", "zip", "-cf", package, "-C", source, "www"}),
                 0);
        const QByteArray packageBytes = readFile(package);

        // The window of a panel without an update address.
        {
            QSettings settings("Tavex", "tavex-panel");
            const QVariant address = settings.value("updateZipBaseURL");
            settings.remove("updateZipBaseURL");
            settings.sync();
            m_view = makeView();
            settings.setValue("updateZipBaseURL", address);
        }
        QVERIFY(!vm()->hasUpdateAddress());
        QVERIFY(shownAndRefreshed(*m_view));
        m_desktop->nextFile = agrees ? std::optional<QString>(package) : std::nullopt;
        m_desktop->nextAnswer = agrees;
        const auto claim = busy ? UpdateLock::claim() : nullptr;
        QSignalSpy update(vm(), &PanelViewModel::updateFinished);
        const QString logsBefore = vm()->logs();

        if (how == "press") {
            button("action.update_repair")->click();
            if (!busy)
                QTRY_COMPARE(m_desktop->packageChooserTitles, QStringList{"选择 zip 更新包"});
        } else {
            QWidget *target = how == "drop" ? static_cast<QWidget *>(m_view.get())
                                            : part<QPlainTextEdit>("logEditor")->viewport();
            QMimeData mime;
            mime.setUrls({QUrl::fromLocalFile(package)});
            QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton,
                                  Qt::NoModifier);
            QApplication::sendEvent(target, &enter);
            QCOMPARE(enter.isAccepted(), name.endsWith(".zip", Qt::CaseInsensitive));
            QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(target, &drop);
            // The path never lands in the log as dropped text.
            QCOMPARE(vm()->logs(), logsBefore);
            if (enter.isAccepted() && !busy) {
                QTRY_COMPARE(m_desktop->questions.size(), 1);
                QVERIFY(m_desktop->questions.first().contains(package));
                QVERIFY(m_desktop->questions.first().contains("runtime/www"));
                QVERIFY(m_desktop->questions.first().contains("Data/data"));
            }
        }
        if (busy)
            QTRY_VERIFY(vm()->logs().endsWith("更新/修复正在进行，本次点击未启动新的更新\n"));

        if (runs) {
            QTRY_COMPARE_WITH_TIMEOUT(update.size(), 1, 60000);
            QVERIFY2(update.first().first().toBool(), qPrintable(vm()->logs()));
            QVERIFY(vm()->logs().contains("\n下载包: " + package + "\n"));
            QCOMPARE(readFile(m_root + "/runtime/www/index.php"),
                     QByteArray("<?php echo 'from disk';"));
        } else {
            // Whatever was asked, nothing starts.
            QTest::qWait(300);
            QVERIFY(update.isEmpty());
            QVERIFY(!vm()->logs().startsWith("=== 更新/修复"));
        }
        QCOMPARE(m_desktop->questions.size(),
                 how != "press" && !busy && name.endsWith(".zip", Qt::CaseInsensitive) ? 1 : 0);
        if (how != "press")
            QVERIFY(m_desktop->packageChooserTitles.isEmpty());
        QCOMPARE(readFile(package), packageBytes);
    }

    void noRawKeyIsShown_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("startAll");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("cancel"); // Qt's own text, as its choosers show it
        QTest::newRow("zh_CN") << "zh_CN" << QString("全部启动") << QString("简体中文（中国）")
                               << QString("取消");
        QTest::newRow("en_US") << "en_US" << QString("Start all")
                               << QString("American English (United States)") << QString("Cancel");
        QTest::newRow("C") << "C" << QString("全部启动") << QString() << QString("取消");
        QTest::newRow("de_DE, shown in Chinese")
            << "de_DE" << QString("全部启动") << QString("Deutsch (Deutschland)")
            << QString("取消");
    }

    void noRawKeyIsShown()
    {
        QFETCH(QString, locale);
        QFETCH(QString, startAll);
        QFETCH(QString, caption);
        QFETCH(QString, cancel);
        m_view.reset();
        const QLocale previous;
        QLocale::setDefault(QLocale(locale));
        const auto translator = ui::loadTranslations(QLocale());
        QVERIFY(translator);
        const auto qtTable = ui::loadQtTranslations(*translator);
        // The tables that the set-up installed for the test's own locale stand aside meanwhile.
        const QList<QTranslator *> setUp = qApp->findChildren<QTranslator *>();
        for (QTranslator *table : setUp)
            QCoreApplication::removeTranslator(table);
        QCoreApplication::installTranslator(translator.get());
        if (qtTable)
            QCoreApplication::installTranslator(qtTable.get());
        const auto restore = qScopeGuard([&] {
            QCoreApplication::removeTranslator(translator.get());
            if (qtTable)
                QCoreApplication::removeTranslator(qtTable.get());
            for (QTranslator *table : setUp)
                QCoreApplication::installTranslator(table);
            QLocale::setDefault(previous);
        });
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), cancel);

        m_view = makeView();
        QVERIFY(shownAndRefreshed(*m_view));
        QCOMPARE(button("action.start_all")->title(), startAll);
        QCOMPARE(part<QLabel>("localeCaption")->text(), caption);
        for (QWidget *widget : m_view->findChildren<QWidget *>()) {
            QStringList texts = {widget->accessibleName(), widget->accessibleDescription()};
            if (auto *label = qobject_cast<QLabel *>(widget))
                texts << label->text();
            if (auto *iconButton = qobject_cast<IconButton *>(widget)) {
                QVERIFY(!iconButton->title().isEmpty());
                texts << iconButton->title();
            }
            for (const QString &text : texts)
                QVERIFY2(!kRawKey.match(text).hasMatch(), qPrintable(text));
        }
    }
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    ui::setUpWindowApplication(app);
    TestWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_window.moc"
