// How long the window's thread is kept from its event loop while the panel works: a 1 ms timer
// on that thread notes the largest gap between its ticks during each phase. The phases are a first
// start that copies the shipped runtime, start-all, stop-all, an update from a package file and
// opening phpMyAdmin, on a root of the program's own in a temporary folder (stand-in database
// programs, the machine's PHP). Prints one line per phase: name, largest gap in wall time and in
// CPU time, and duration, in milliseconds. The phases start and stop PHP servers on the panel's
// fixed ports.
#include "ContentView.h"
#include "IconButton.h"
#include "PanelApplication.h"
#include "model/PanelViewModel.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <time.h>

using namespace tavex;

namespace {

bool writeFile(const QString &path, const QByteArray &content, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return false;
    file.close();
    return !executable || file.setPermissions(file.permissions() | QFile::ExeOwner);
}

// A shipped runtime of some bulk, so that the first start's copy takes a while.
bool shipRuntime(const QString &resources, int files)
{
    const QString runtime = resources + QStringLiteral("/runtime");
    bool ok =
        writeFile(runtime + QStringLiteral("/mysql/bin/mysqld"), "#!/bin/sh\nexit 0\n", true) &&
        writeFile(runtime + QStringLiteral("/mysql/bin/mysql_install_db"), "#!/bin/sh\nexit 0\n",
                  true) &&
        writeFile(runtime + QStringLiteral("/mysql/bin/mysqladmin"), "#!/bin/sh\nexit 0\n", true) &&
        writeFile(runtime + QStringLiteral("/php/PHP8.2/bin/php"),
                  "#!/bin/sh\nexec /usr/bin/php \"$@\"\n", true) &&
        writeFile(runtime + QStringLiteral("/phpmyadmin/index.php"), "<?php echo 'pma';") &&
        writeFile(runtime + QStringLiteral("/www/index.php"), "<?php echo 'site';");
    const QByteArray filler(16 * 1024, 'x');
    for (int i = 0; ok && i < files; ++i)
        ok = writeFile(runtime + QStringLiteral("/php/lib/part%1/file%2.php").arg(i / 100).arg(i),
                       filler);
    return ok;
}

bool makePackage(const QString &scratch, const QString &package, int files)
{
    const QString source = scratch + QStringLiteral("/package-source");
    bool ok = writeFile(source + QStringLiteral("/www/index.php"), "<?php echo 'updated';");
    const QByteArray filler(4 * 1024, 'y');
    for (int i = 0; ok && i < files; ++i)
        ok = writeFile(source + QStringLiteral("/www/include/part%1/f%2.php").arg(i / 100).arg(i),
                       filler);
    return ok && QDir().mkpath(QFileInfo(package).path()) &&
           QProcess::execute(QStringLiteral("/usr/bin/bsdtar"),
                             {QStringLiteral("--format"), QStringLiteral("zip"),
                              QStringLiteral("-cf"), package, QStringLiteral("-C"), source,
                              QStringLiteral("www")}) == 0;
}

// CPU time this thread has used, in microseconds.
qint64 threadCpuMicroseconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// The largest gap between the ticks of a 1 ms timer on this thread, per phase: in wall time, and
// in this thread's CPU time. On a loaded machine the wall gap also holds the time the thread waited
// for a processor; the CPU gap holds only the work that kept it from its loop. A wait on a lock or
// a program shows in the wall gap alone.
class GapMeter : public QObject
{
public:
    GapMeter()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        connect(&m_timer, &QTimer::timeout, this, [this] { tick(); });
    }
    void begin()
    {
        m_largestWall = 0;
        m_largestCpu = 0;
        m_sinceTick.start();
        m_cpuAtTick = threadCpuMicroseconds();
        m_phase.start();
        m_timer.start();
    }
    void end(const char *phase)
    {
        tick();
        std::printf("%s\t%.1f\t%.1f\t%lld\n", phase, m_largestWall / 1000.0, m_largestCpu / 1000.0,
                    static_cast<long long>(m_phase.elapsed()));
        std::fflush(stdout);
    }

private:
    void tick()
    {
        const qint64 cpu = threadCpuMicroseconds();
        const qint64 wall = m_sinceTick.nsecsElapsed() / 1000;
        if (m_trace && wall > 16000)
            std::fprintf(stderr, "gap at %lld ms: wall %.1f ms, cpu %.1f ms\n",
                         static_cast<long long>(m_phase.elapsed()), wall / 1000.0,
                         (cpu - m_cpuAtTick) / 1000.0);
        m_largestWall = std::max(m_largestWall, wall);
        m_largestCpu = std::max(m_largestCpu, cpu - m_cpuAtTick);
        m_sinceTick.restart();
        m_cpuAtTick = cpu;
    }

    QTimer m_timer;
    QElapsedTimer m_sinceTick;
    QElapsedTimer m_phase;
    const bool m_trace = qEnvironmentVariableIsSet("GUI_BUSY_TRACE"); // each gap over 16 ms
    qint64 m_cpuAtTick = 0;
    qint64 m_largestWall = 0; // microseconds
    qint64 m_largestCpu = 0;  // microseconds
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Tavex"));
    QCoreApplication::setApplicationName(QStringLiteral("tavex-panel"));
    const int runtimeFiles = argc > 1 ? QByteArray(argv[1]).toInt() : 3000;
    const int packageFiles = argc > 2 ? QByteArray(argv[2]).toInt() : 1000;

    QTemporaryDir scratch;
    qputenv("XDG_CONFIG_HOME", scratch.filePath(QStringLiteral("config")).toUtf8());
    const QString package = scratch.filePath(QStringLiteral("downloads/site.zip"));
    if (!shipRuntime(scratch.filePath(QStringLiteral("tavex/share/tavex-panel")), runtimeFiles) ||
        !makePackage(scratch.path(), package, packageFiles)) {
        std::fputs("gui_busy: cannot prepare the temporary root\n", stderr);
        return 1;
    }
    tavex::ui::setUpWindowApplication(app);

    GapMeter meter;
    tavex::ui::ContentView view(PanelRootResolver(AppLocation::forExecutable(
                                    scratch.filePath(QStringLiteral("tavex/bin/tavex-panel")))),
                                std::make_shared<NullDesktopServices>());
    view.resize(960, 860);
    PanelViewModel *vm = view.viewModel();
    const auto press = [&view](const char *key) {
        view.findChild<tavex::ui::IconButton *>(QString::fromLatin1(key))->click();
    };

    // Each phase starts once the one before has ended and the loop has turned a few times.
    struct Phase
    {
        const char *name;
        std::function<void()> start;
    };
    std::function<void()> finish;
    QList<Phase> phases = {
        // Nothing runs: what the machine alone does to the gaps.
        {"idle (baseline)", [&] { QTimer::singleShot(2000, qApp, [&] { finish(); }); }},
        // The status refresh runs on the window's thread by design: the measure for the rest.
        {"refresh status",
         [&] {
             press("action.refresh_status");
             finish();
         }},
        {"start-all", [&] { press("action.start_all"); }},
        {"stop-all", [&] { press("action.stop_all"); }},
        {"update from a package file", [&] { vm->updateOrRepairFromFile(package); }},
        {"open phpMyAdmin (starts it)", [&] { press("action.database_admin"); }},
        {"stop-all, phpMyAdmin running", [&] { press("action.stop_all"); }},
    };
    const char *current = "first start (runtime copy)";
    finish = [&] {
        meter.end(current);
        QTimer::singleShot(50, qApp, [&] {
            if (phases.isEmpty()) {
                QCoreApplication::quit();
                return;
            }
            const Phase phase = phases.takeFirst();
            current = phase.name;
            meter.begin();
            phase.start();
        });
    };
    bool placed = false;
    const QString unopened = QStringLiteral("无法打开: http://localhost:900");
    QObject::connect(vm, &PanelViewModel::logsChanged, &view, [&] {
        // The first start ends with the first status and where the root lies; opening phpMyAdmin
        // with the line that no browser took it (nothing here opens anything).
        if (!placed && vm->logs().contains(QStringLiteral("目录来源: "))) {
            placed = true;
            finish();
        } else if (vm->logs().contains(unopened) &&
                   QByteArray(current).startsWith("open phpMyAdmin")) {
            vm->setLogs(QString());
            finish();
        }
    });
    QObject::connect(vm, &PanelViewModel::sequenceFinished, &view, finish);
    QObject::connect(vm, &PanelViewModel::updateFinished, &view, [&](bool succeeded) {
        if (!succeeded)
            std::fputs("gui_busy: the update failed\n", stderr);
        finish();
    });

    meter.begin();
    view.show();
    QTimer::singleShot(600000, &app, [] {
        std::fputs("gui_busy: gave up after ten minutes\n", stderr);
        QCoreApplication::exit(1);
    });
    const int status = QApplication::exec();
    QThreadPool::globalInstance()->waitForDone();
    return status;
}
