// The window, headless, over the real view model and a root of the test's own with stand-ins.
#include "ContentView.h"
#include "IconButton.h"
#include "Localization.h"
#include "PanelApplication.h"
#include "Theme.h"
#include "TestSupport.h"
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
#include <QTextLayout>
#include <QThreadPool>
#include <QTranslator>

using namespace tavex;
using namespace tavex::test;
using tavex::ui::ContentView;
using tavex::ui::IconButton;

// Updates come from a port where nothing listens: a run fails at once, offline.
const char *const kOffline = "http://127.0.0.1:9/tavex-update.zip";
// What a label key looks like when no table answered it.
const QRegularExpression kRawKey(QStringLiteral("^[a-z_]+(\\.[a-z_]+)+$"));

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
    template <typename T> T *part(const QString &name) const
    {
        return m_view->findChild<T *>(name);
    }

    // A window over the test's root, once it shows its first status; none when it never does.
    std::unique_ptr<ContentView> shownView() const
    {
        auto view = std::make_unique<ContentView>(m_stack->resolver(), m_desktop);
        view->resize(820, 740);
        view->show();
        const bool shown = QTest::qWaitForWindowExposed(view.get()) && QTest::qWaitFor([&] {
                               return view->viewModel()->logs().startsWith("=== 服务状态 ===");
                           });
        return shown ? std::move(view) : nullptr;
    }

private Q_SLOTS:
    void initTestCase()
    {
        // The settings file of the test's own (Qt's test mode would share one between programs).
        qputenv("XDG_CONFIG_HOME", m_dir.filePath("config").toUtf8());
        m_stack.emplace(m_dir.filePath("app"));
        m_stack->makeFolders();
        m_stack->installDatabase();
        m_root = m_stack->root;
        QSettings("Tavex", "tavex-panel").setValue("updateZipBaseURL", kOffline);
    }

    void init()
    {
        m_desktop = std::make_shared<RecordingDesktop>();
        m_view = shownView();
        QVERIFY(m_view);
    }

    void cleanup() { m_view.reset(); }

    void buttonsReachTheirOperations_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("logStart");   // the log's first line afterwards
        QTest::addColumn<QString>("finalTitle"); // the block that ends a long operation
        QTest::addColumn<QUrl>("opened");
        QTest::addColumn<QString>("desktop"); // the folder chosen, "cannot open"; empty: cancelled
        QTest::addColumn<QString>("logEnd");  // the log's last line afterwards
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
        IconButton *pressed = part<IconButton>(key);
        QVERIFY(pressed && pressed->isEnabled() && (pressed->focusPolicy() & Qt::TabFocus));
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
            // The update fails offline; its progress says so, and nothing is left for a screen
            // reader to read.
            if (!update.isEmpty()) {
                QCOMPARE(vm()->updateProgressText(),
                         update.first().first().toBool() ? "完成" : "失败");
                QCOMPARE(part<QWidget>("progressCard")->accessibleDescription(), QString());
            }
        }
        if (!opened.isEmpty())
            QTRY_COMPARE(m_desktop->opened.value(m_desktop->opened.size() - 1), opened);
        if (!logEnd.isEmpty())
            QTRY_VERIFY2(vm()->logs().endsWith("\n" + logEnd + "\n"), qPrintable(vm()->logs()));
        const bool chooses = key == "action.choose_directory";
        QTRY_COMPARE(m_desktop->asked,
                     chooses ? QStringList{"请选择 Tavex-panel 目录\n选择"} : QStringList());
        if (chooses && desktop.isEmpty()) // cancelled: nothing changes
            QCOMPARE(vm()->logs(), QString("<b>before</b> & after"));
        if (key == "action.copy_logs")
            QTRY_COMPARE(m_desktop->clipboard, std::optional<QString>("<b>before</b> & after"));
    }

    // The permission hint and the error summary each bring their warning; markup shows as typed.
    void warningsFollowTheViewModel()
    {
        auto *permission = part<QWidget>("permissionWarning");
        auto *errors = part<QWidget>("errorWarning");
        const QString data = m_root + "/runtime/mysql/data";
        QVERIFY(QDir().rename(data, data + ".away"));
        vm()->refreshStatus();
        QVERIFY(permission->isVisible());
        QCOMPARE(permission->findChild<QLabel *>("body")->text(), vm()->permissionHint());
        QVERIFY(QDir().rename(data + ".away", data));

        vm()->setLogs("line one\nMySQL: <b>启动失败</b> & more\nfine");
        vm()->updateErrorSummary();
        auto *body = errors->findChild<QLabel *>("body");
        QVERIFY(errors->isVisible() && body->textFormat() == Qt::PlainText);
        QCOMPARE(body->text(), QString("MySQL: <b>启动失败</b> & more"));
        vm()->setLogs("all fine");
        vm()->updateErrorSummary();
        QVERIFY(!errors->isVisible());
    }

    // The first start copies the shipped runtime (held here by another installer's lock): the
    // window says so, the buttons wait, and no press is queued meanwhile.
    void firstStartSaysItInstalls()
    {
        const QString prefix = m_dir.filePath("first/tavex");
        const QString installed = m_dir.filePath("first/Tavex-panel");
        makeValidRoot(prefix + "/share/tavex-panel");
        QVERIFY(QDir().mkpath(installed));
        QLockFile other(installed + "/.install.lock");
        QVERIFY(other.lock());
        m_view = std::make_unique<ContentView>(
            PanelRootResolver(AppLocation::forExecutable(prefix + "/bin/tavex-panel")), m_desktop);
        m_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
        QCOMPARE(part<QLabel>("readiness")->text(), ui::localized("app.installing"));
        QVERIFY(vm()->logs().startsWith("正在安装运行环境…\n目标: " + installed + "\n"));
        auto *startAll = part<IconButton>("action.start_all");
        QVERIFY(!startAll->isEnabled());
        QTest::mouseClick(startAll, Qt::LeftButton);
        // A refresh meanwhile neither installs nor waits: it reads the root being made.
        vm()->refreshStatus();
        QVERIFY(vm()->logs().endsWith("目录: " + installed + "\n"));
        QVERIFY(!isValidPanelRoot(installed));
        other.unlock();
        QVERIFY(QTest::qWaitFor([&] { return vm()->logs().contains("目录来源: "); }));
        QVERIFY(isValidPanelRoot(installed) && startAll->isEnabled());
        QVERIFY(vm()->logs().startsWith("=== 服务状态 ===\n"));
        QTest::qWait(200);
        QVERIFY(!vm()->logs().contains("=== 启动中 ==="));
    }

    // A site server that cannot listen is not shown as running after start-all, and its card
    // says why until the cause is gone.
    void statusCardsSayWhy()
    {
        QTcpServer other;
        QVERIFY2(other.listen(QHostAddress::Any, 8000), "port 8000 is taken");
        {
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
            QCOMPARE(part<QWidget>("status.php_web")->findChild<QLabel *>("value")->text(),
                     ui::localized("common.stopped"));
        }
        const QString caption =
            QString("端口 8000 已被 %1（PID %2，")
                .arg(QFileInfo(QCoreApplication::applicationFilePath()).fileName().left(15))
                .arg(QCoreApplication::applicationPid());
        auto *reason = part<QWidget>("status.php_web")->findChild<QLabel *>("reason");
        QVERIFY(reason->isVisible());
        QVERIFY2(reason->text().startsWith(caption), qPrintable(reason->text()));
        other.close();
        vm()->refreshStatus();
        QVERIFY(!reason->isVisible());
    }

    // Typing edits the log without the cursor jumping.
    void logEditorIsBoundBothWays()
    {
        auto *editor = part<QPlainTextEdit>("logEditor");
        vm()->setLogs("<b>bold?</b> & <i>x</i>");
        editor->setFocus();
        QTextCursor cursor = editor->textCursor();
        cursor.setPosition(3);
        editor->setTextCursor(cursor);
        QTest::keyClicks(editor, "xyz");
        QCOMPARE(vm()->logs(), QString("<b>xyzbold?</b> & <i>x</i>"));
        QCOMPARE(editor->textCursor().position(), 6);
    }

    // The window goes while start-all works: the work still runs to its end.
    void closingTheWindowLetsTheWorkFinish()
    {
        const QString optionFile = m_root + "/runtime/mysql/my_runtime.cnf";
        QFile::remove(optionFile);
        part<IconButton>("action.start_all")->click();
        m_view.reset();
        QThreadPool::globalInstance()->waitForDone();
        QVERIFY(QFileInfo::exists(optionFile));
        QCoreApplication::processEvents();
    }

    // A package on disk, chosen (no update address set) or dropped on the window or its log; it
    // runs when a file is chosen or the drop confirmed, no other run works and it is a zip.
    void packageFromDisk_data()
    {
        QTest::addColumn<QString>("how");  // "press", "drop" on the window, "drop on log"
        QTest::addColumn<QString>("name"); // the package's file name
        QTest::addColumn<bool>("agrees");
        QTest::addColumn<bool>("busy");
        const auto row = [](const char *name, const char *how, const char *file, bool agrees,
                            bool busy) { QTest::newRow(name) << how << file << agrees << busy; };
        row("press, chooser cancelled", "press", "pkg.zip", false, false);
        row("press, a file chosen", "press", "pkg.zip", true, false);
        row("press while a run works", "press", "pkg.zip", true, true);
        row("drop declined", "drop", "pkg.zip", false, false);
        row("drop on the log", "drop on log", "Site Package.ZIP", true, false);
        row("a dropped file that is no zip", "drop", "pkg.txt", true, false);
    }

    void packageFromDisk()
    {
        QFETCH(QString, how);
        QFETCH(QString, name);
        QFETCH(bool, agrees);
        QFETCH(bool, busy);
        const bool zip = name.endsWith(".zip", Qt::CaseInsensitive);
        const QString source = m_dir.filePath("package-source");
        writeFile(source + "/www/index.php", "<?php echo 'from disk';");
        const QString package = m_dir.filePath(name);
        QCOMPARE(QProcess::execute("/usr/bin/bsdtar",
                                   {"--format", "zip", "-cf", package, "-C", source, "www"}),
                 0);
        const QByteArray packageBytes = readFile(package);

        QSettings("Tavex", "tavex-panel").remove("updateZipBaseURL");
        m_view = shownView();
        QSettings("Tavex", "tavex-panel").setValue("updateZipBaseURL", kOffline);
        QVERIFY(m_view);
        m_desktop->nextFile = agrees ? std::optional<QString>(package) : std::nullopt;
        m_desktop->nextAnswer = agrees;
        const auto claim = busy ? UpdateLock::claim() : nullptr;
        QSignalSpy update(vm(), &PanelViewModel::updateFinished);
        const QString logsBefore = vm()->logs();

        if (how == "press") {
            part<IconButton>("action.update_repair")->click();
            if (!busy)
                QTRY_COMPARE(m_desktop->asked, QStringList{"选择 zip 更新包"});
        } else {
            QWidget *target = how == "drop" ? static_cast<QWidget *>(m_view.get())
                                            : part<QPlainTextEdit>("logEditor")->viewport();
            QMimeData mime;
            mime.setUrls({QUrl::fromLocalFile(package)});
            QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton,
                                  Qt::NoModifier);
            QApplication::sendEvent(target, &enter);
            QCOMPARE(enter.isAccepted(), zip);
            QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(target, &drop);
            // The path never lands in the log as dropped text.
            QCOMPARE(vm()->logs(), logsBefore);
            if (zip)
                QTRY_VERIFY(m_desktop->asked.value(0).contains(package));
        }
        if (busy)
            QTRY_VERIFY(vm()->logs().endsWith("更新/修复正在进行，本次点击未启动新的更新\n"));

        if (agrees && !busy && zip) {
            QTRY_COMPARE_WITH_TIMEOUT(update.size(), 1, 60000);
            QVERIFY2(update.first().first().toBool(), qPrintable(vm()->logs()));
            QCOMPARE(readFile(m_root + "/runtime/www/index.php"),
                     QByteArray("<?php echo 'from disk';"));
        } else {
            QTest::qWait(300);
            QVERIFY(update.isEmpty() && !vm()->logs().startsWith("=== 更新/修复"));
        }
        QCOMPARE(m_desktop->asked.size(), !busy && (how == "press" || zip) ? 1 : 0);
        QCOMPARE(readFile(package), packageBytes);
    }

    void textKeepsItsSimplifiedChineseForms_data()
    {
        QTest::addColumn<int>("face");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("family");
        const int text = int(ui::Theme::Face::Text), mono = int(ui::Theme::Face::Mono);
        QTest::newRow("a label's characters") << text << "全部启动" << "TAVEX Sans SC";
        QTest::newRow("beyond the panel's own") << text << "龘" << "Noto Sans CJK SC";
        QTest::newRow("log, a label's characters") << mono << "已停止" << "TAVEX Mono SC";
        QTest::newRow("log, beyond the panel's own") << mono << "龘" << "Noto Sans Mono CJK SC";
    }

    // The embedded faces draw the panel's own characters; any other comes from the system's face
    // that they were cut from, in its Simplified Chinese forms, whatever the locale.
    void textKeepsItsSimplifiedChineseForms()
    {
        QFETCH(int, face);
        QFETCH(QString, text);
        QFETCH(QString, family);
        QTextLayout layout(text, ui::Theme::font(13, QFont::Normal, ui::Theme::Face(face)));
        layout.beginLayout();
        layout.createLine();
        layout.endLayout();
        const QList<QGlyphRun> runs = layout.glyphRuns();
        QCOMPARE(runs.size(), 1);
        QCOMPARE(runs.first().rawFont().familyName(), family);
    }

    void noRawKeyIsShown_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("startAll");
        QTest::addColumn<QString>("cancel"); // Qt's own text, as its choosers show it
        QTest::newRow("en_US") << "en_US" << QString("Start all") << QString("Cancel");
        QTest::newRow("de_DE, shown in Chinese")
            << "de_DE" << QString("全部启动") << QString("取消");
    }

    void noRawKeyIsShown()
    {
        QFETCH(QString, locale);
        QFETCH(QString, startAll);
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
        QCoreApplication::installTranslator(qtTable.get());
        const auto restore = qScopeGuard([&] {
            QCoreApplication::removeTranslator(translator.get());
            QCoreApplication::removeTranslator(qtTable.get());
            for (QTranslator *table : setUp)
                QCoreApplication::installTranslator(table);
            QLocale::setDefault(previous);
        });
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), cancel);

        m_view = shownView();
        QVERIFY(m_view);
        QCOMPARE(part<IconButton>("action.start_all")->title(), startAll);
        for (QWidget *widget : m_view->findChildren<QWidget *>()) {
            QStringList texts = {widget->accessibleName(), widget->accessibleDescription()};
            if (auto *label = qobject_cast<QLabel *>(widget))
                texts << label->text();
            if (auto *iconButton = qobject_cast<IconButton *>(widget))
                texts << iconButton->title();
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
