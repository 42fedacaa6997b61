// Times the status refresh with the stack running, in process, beside the subprocess probe that
// the panel replaced (lsof -ti :3306, then pgrep -f), measured in the same run.
//   refresh_status_bench PANEL_PROGRAM [CALLS]
#include "diagnostics/PermissionCheck.h"
#include "model/PanelViewModel.h"
#include "services/ServiceDiagnosis.h"
#include "services/StatusProbes.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace tavex;

namespace {

struct Stats
{
    double median;
    double p95;
};

Stats statsOf(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        return samples[std::min(samples.size() - 1, static_cast<size_t>(q * samples.size()))];
    };
    return {at(0.5), at(0.95)};
}

template <typename F> std::vector<double> timeCalls(int calls, F &&call)
{
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(calls));
    for (int i = 0; i < calls; ++i) {
        QElapsedTimer clock;
        clock.start();
        call();
        samples.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
    }
    return samples;
}

// What the probe cost as subprocesses: lsof for the port, then pgrep for the command line.
void subprocessProbe(const QString &root)
{
    QProcess lsof;
    lsof.setStandardErrorFile(QProcess::nullDevice());
    lsof.start(QStringLiteral("lsof"), {QStringLiteral("-ti"), QStringLiteral(":3306")});
    lsof.waitForFinished();
    lsof.readAllStandardOutput();
    QProcess pgrep;
    pgrep.setStandardOutputFile(QProcess::nullDevice());
    pgrep.start(QStringLiteral("/usr/bin/pgrep"),
                {QStringLiteral("-f"), root + QStringLiteral("/runtime/mysql/bin/mysqld")});
    pgrep.waitForFinished();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PANEL_PROGRAM [CALLS]\n", argv[0]);
        return 2;
    }
    const int calls = argc > 2 ? std::max(1, std::atoi(argv[2])) : 300;
    PanelViewModel vm(
        PanelRootResolver(AppLocation::forExecutable(QString::fromLocal8Bit(argv[1]))), nullptr);
    vm.refreshStatus();
    if (!vm.status().allRunning()) {
        std::fprintf(stderr, "the stack is not running:\n%s", qPrintable(vm.logs()));
        return 1;
    }
    const QString root = vm.tavexPanelRoot();

    const Stats refresh = statsOf(timeCalls(calls, [&] { vm.refreshStatus(); }));
    // The same work without the diagnosis of the services, for comparison.
    const Stats bare = statsOf(timeCalls(calls, [&] {
        const RuntimeLayout layout = vm.layout();
        permissionCheckHint(layout.root());
        const ServiceStatus status{isMariaDBRunning(layout), isPhpWebRunning(layout),
                                   isPhpMyAdminRunning(layout)};
        vm.setLogs(statusBlock(status, vm.tavexPanelRoot()));
        vm.updateErrorSummary();
    }));
    const Stats diagnosis =
        statsOf(timeCalls(calls, [&] { diagnoseStack(vm.layout(), vm.status()); }));
    const Stats subprocess = statsOf(timeCalls(calls, [&] { subprocessProbe(root); }));
    const Stats permission = statsOf(timeCalls(calls, [&] { vm.permissionCheckHint(); }));
    const Stats database = statsOf(timeCalls(calls, [&] { vm.isMariaDBRunning(); }));
    const Stats web = statsOf(timeCalls(calls, [&] { vm.isPhpWebRunning(); }));
    const Stats resolution = statsOf(timeCalls(calls, [&] { vm.tavexPanelRoot(); }));

    std::printf("| measure (%d calls, stack running) | median ms | p95 ms |\n", calls);
    std::printf("|---|---|---|\n");
    std::printf("| refreshStatus, in process (all probes, permission check, log) | %.3f | %.3f |\n",
                refresh.median, refresh.p95);
    std::printf("| refresh without the diagnosis of the services | %.3f | %.3f |\n", bare.median,
                bare.p95);
    std::printf("| with the diagnosis / without (median; target at most 2) | %.2f | |\n",
                refresh.median / bare.median);
    std::printf("| of which: diagnosis of the three services | %.3f | %.3f |\n", diagnosis.median,
                diagnosis.p95);
    std::printf("| subprocess probe: lsof -ti :3306, then pgrep -f | %.3f | %.3f |\n",
                subprocess.median, subprocess.p95);
    std::printf("| speed-up (median) | %.1fx | |\n", subprocess.median / refresh.median);
    std::printf("| of which: permission check (4 folders) | %.3f | %.3f |\n", permission.median,
                permission.p95);
    std::printf("| of which: database probe (port 3306 owner) | %.3f | %.3f |\n", database.median,
                database.p95);
    std::printf("| of which: one PHP probe (PID file, command line) | %.3f | %.3f |\n", web.median,
                web.p95);
    std::printf("| of which: one panel root resolution | %.3f | %.3f |\n", resolution.median,
                resolution.p95);
    return 0;
}
