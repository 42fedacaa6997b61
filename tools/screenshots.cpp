// Paints the window in one of the states the README shows and saves it as a PNG:
//   tavex_screenshots STATE WIDTH HEIGHT FILE
// STATE is "stopped" or "running" (the build's own panel root, as the panel sees it), "start-all"
// (全部启动 pressed in the window, pictured once the sequence has ended), "update" (an update at
// 50 %), "warnings" (a root with a missing folder and a failed start in the log) or "installing"
// (the first start while the runtime is copied).
#include "ContentView.h"
#include "PanelApplication.h"
#include "model/PanelViewModel.h"
#include "platform/DesktopServices.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

using namespace tavex;

namespace {

const QString kFailedStart = QStringLiteral(
    "=== 启动完成 ===\n"
    "MySQL: 启动失败: exit(1): mysqld: Can't create directory '%1/runtime/mysql/data' (Errcode: 13 "
    "\"Permission denied\")\n"
    "PHP Web: 已启动 (PID 48213) -> http://localhost:8000\n"
    "phpMyAdmin: 无法写入配置文件 %1/runtime/phpmyadmin/config.inc.php\n"
    "\n"
    "网站: http://localhost:8000\n"
    "phpMyAdmin: http://localhost:900\n"
    "MySQL: localhost:3306\n"
    "PHP: %1/runtime/php/PHP8.2/bin/php\n"
    "目录: %1");

// A panel root as the resolution sees one: a database program, a PHP folder and phpMyAdmin.
void makeValidRoot(const QString &root)
{
    QDir().mkpath(root + QStringLiteral("/runtime/mysql/bin"));
    QDir().mkpath(root + QStringLiteral("/runtime/php"));
    QDir().mkpath(root + QStringLiteral("/runtime/phpmyadmin"));
    QFile mysqld(root + QStringLiteral("/runtime/mysql/bin/mysqld"));
    if (mysqld.open(QIODevice::WriteOnly))
        mysqld.write("#!/bin/sh\nexit 0\n");
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Tavex"));
    QCoreApplication::setApplicationName(QStringLiteral("tavex-panel"));
    ui::setUpWindowApplication(app);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 5) {
        std::fputs("usage: tavex_screenshots "
                   "stopped|running|busy-port|start-all|update|warnings|installing WIDTH HEIGHT "
                   "FILE\n",
                   stderr);
        return 2;
    }
    const QString state = args.at(1);
    const QString file = args.at(4);

    QTemporaryDir scratch;
    AppLocation location = AppLocation::forExecutable(QStringLiteral(TAVEX_PANEL_PROGRAM));
    if (state == QLatin1String("warnings")) {
        // A root of its own, chosen by hand, whose database folder is missing.
        const QString root = scratch.filePath(QStringLiteral("Tavex-panel"));
        makeValidRoot(root);
        QDir().mkpath(root + QStringLiteral("/runtime/config"));
        qputenv("XDG_CONFIG_HOME", scratch.filePath(QStringLiteral("config")).toUtf8());
        writeSavedRoot(root);
        location =
            AppLocation::forExecutable(scratch.filePath(QStringLiteral("app/bin/tavex-panel")));
    }

    // The first start: another installer holds the lock, so the copy waits while the picture is
    // taken.
    std::unique_ptr<QLockFile> installing;
    if (state == QLatin1String("installing")) {
        location =
            AppLocation::forExecutable(scratch.filePath(QStringLiteral("tavex/bin/tavex-panel")));
        makeValidRoot(scratch.filePath(QStringLiteral("tavex/share/tavex-panel")));
        QDir().mkpath(scratch.filePath(QStringLiteral("Tavex-panel")));
        installing = std::make_unique<QLockFile>(
            scratch.filePath(QStringLiteral("Tavex-panel/.install.lock")));
        installing->lock();
    }
    PanelRootResolver resolver(location);
    resolver.setInstallWaitMs(2000);
    ui::ContentView view(resolver, std::make_shared<NullDesktopServices>());
    view.resize(args.at(2).toInt(), args.at(3).toInt());
    PanelViewModel *vm = view.viewModel();
    bool staged = false;
    const auto shoot = [&] {
        // Let layouts and effects settle before the picture.
        QTimer::singleShot(400, &view, [&] {
            const bool saved = view.grab().save(file);
            QCoreApplication::exit(saved ? 0 : 1);
        });
    };
    QObject::connect(vm, &PanelViewModel::sequenceFinished, &view, shoot);
    QObject::connect(vm, &PanelViewModel::logsChanged, &view, [&] {
        // Once the refresh that showing the window brings has written its status block.
        if (staged || !vm->logs().startsWith(QStringLiteral("=== 服务状态 ===")))
            return;
        staged = true;
        QTimer::singleShot(0, &view, [&] {
            if (state == QLatin1String("update")) {
                vm->setLogs(
                    QStringLiteral("=== 更新/修复TAVEX文件 ===\n正在下载更新包...\n目录: ") +
                    vm->tavexPanelRoot());
                vm->updateErrorSummary();
                vm->showUpdateProgressForTesting(0.5, QStringLiteral("正在下载更新包"));
            } else if (state == QLatin1String("warnings")) {
                vm->setLogs(kFailedStart.arg(vm->tavexPanelRoot()));
                vm->updateErrorSummary();
            }
            // The cards the state is about come into view, as a user would scroll to them.
            if (state == QLatin1String("update") || state == QLatin1String("warnings")) {
                QTimer::singleShot(100, &view, [&] {
                    auto *scroll = view.findChild<QScrollArea *>();
                    auto *panel = view.findChild<QWidget *>(QStringLiteral("panel.site_logs"));
                    const int top = panel->mapTo(scroll->widget(), QPoint(0, 0)).y() - 18;
                    scroll->verticalScrollBar()->setValue(top);
                });
            }
            if (state == QLatin1String("start-all"))
                vm->startAll();
            else
                shoot();
        });
    });
    if (installing) {
        QTimer::singleShot(600, &view,
                           [&] { QCoreApplication::exit(view.grab().save(file) ? 0 : 1); });
    }
    view.show();
    return QApplication::exec();
}
