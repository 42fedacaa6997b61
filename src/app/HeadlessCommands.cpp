#include "HeadlessCommands.h"

#include "model/DoctorReport.h"
#include "model/PanelRoot.h"
#include "model/PanelViewModel.h"
#include "process/Cancellation.h"
#include "process/FileHelpers.h"
#include "services/SequenceLock.h"
#include "services/ServiceDiagnosis.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <unistd.h>
#include <utility>

namespace tavex {

namespace {

enum ExitStatus { Success = 0, Failure = 1, NotAllRunning = 3 };

// Package names, paths and server logs come from outside: their control characters are shown,
// never sent to the terminal.
void writeText(FILE *stream, const QString &text)
{
    QByteArray bytes = visibleControlCharacters(text).toUtf8();
    if (!bytes.endsWith('\n'))
        bytes.append('\n');
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

// The chooser answers with the directory given on the command line.
class GivenDirectory : public NullDesktopServices
{
public:
    explicit GivenDirectory(QString directory) : m_directory(std::move(directory)) {}
    void chooseDirectory(const QString &, const QString &, ChosenPath answer) override
    {
        answer(m_directory);
    }

private:
    QString m_directory;
};

// The services that are not as a finished sequence should leave them, one line each. Final when
// waiting longer cannot help: every such service has a cause that does not go away by itself (a
// port held by another program, a server that died), not a server of its own still starting.
struct Problems
{
    QStringList lines;
    bool final = false;
};
// wantRunning: after start-all, every service should run as started and answer; after
// stop-all, none should run.
Problems stackProblems(const RuntimeLayout &layout, bool wantRunning)
{
    const StackState state = probeStack(layout);
    Problems problems{{}, true};
    for (int i = 0; i < 3; ++i) {
        const ServiceDiagnosis &service = *state.diagnosis.services()[i];
        const bool running = state.running(i);
        const bool fine = wantRunning ? running && answersAsStarted(service) : !running;
        if (fine)
            continue;
        problems.lines << serviceProblemLine(service, running);
        if (!service.lasting)
            problems.final = false;
    }
    return problems;
}

// Runs start-all or stop-all through the event loop as the window would: every block written on
// the way goes to standard error, the final result block to standard output. Success needs a
// sequence whose steps all succeeded and, within a bounded wait, no problem left by the check;
// otherwise the problems follow on standard error, one line per service.
int runSequence(void (PanelViewModel::*operation)(), bool wantRunning, int settleMs)
{
    PanelViewModel viewModel;
    // Blocks go out once the event that wrote them is over: the one the sequence finishes with is
    // its result, for standard output; every other one is progress.
    QStringList written;
    const auto writeProgressBlocks = [&written] {
        for (const QString &block : std::as_const(written))
            writeText(stderr, block);
        written.clear();
    };
    QObject::connect(&viewModel, &PanelViewModel::logsChanged, &viewModel, [&] {
        written << viewModel.logs();
        if (written.size() == 1)
            QTimer::singleShot(0, &viewModel, writeProgressBlocks);
    });
    int status = Failure;
    QDeadlineTimer deadline;
    QTimer settle;
    settle.setInterval(100);
    const auto finish = [&](const QStringList &problems, int exitStatus) {
        settle.stop();
        if (!problems.isEmpty())
            writeText(stderr, problems.join(QLatin1Char('\n')));
        status = exitStatus;
        QCoreApplication::exit(status);
    };
    QObject::connect(&settle, &QTimer::timeout, &viewModel, [&] {
        // Another start or stop of the stack decides what runs at the end: wait for it.
        if (SequenceLock::busy(viewModel.tavexPanelRoot())) {
            deadline.setRemainingTime(settleMs);
            return;
        }
        const Problems problems = stackProblems(viewModel.layout(), wantRunning);
        if (problems.lines.isEmpty())
            finish({}, Success);
        else if (problems.final || deadline.hasExpired())
            finish(problems.lines, Failure);
    });
    QObject::connect(&viewModel, &PanelViewModel::sequenceFinished, &viewModel,
                     [&](bool succeeded) {
                         if (!written.isEmpty())
                             written.removeLast();
                         writeProgressBlocks();
                         writeText(stdout, viewModel.logs());
                         if (!succeeded) {
                             finish(stackProblems(viewModel.layout(), wantRunning).lines, Failure);
                             return;
                         }
                         deadline.setRemainingTime(settleMs);
                         settle.start();
                     });
    (viewModel.*operation)();
    QCoreApplication::exec();
    return status;
}

// One progress step on standard error: a bar redrawn in place on a terminal, else one line each.
void writeProgress(double fraction, const QString &text, bool live)
{
    const int percent = static_cast<int>(fraction * 100.0);
    if (!live) {
        writeText(stderr, QStringLiteral("进度: %1% ").arg(percent) + text);
        return;
    }
    constexpr int kWidth = 24;
    const int filled = std::clamp(percent * kWidth / 100, 0, kWidth);
    const QString bar =
        QString(filled, QLatin1Char('#')) + QString(kWidth - filled, QLatin1Char('-'));
    const QByteArray line = "\r\033[K[" + bar.toUtf8() + "] " +
                            QByteArray::number(percent).rightJustified(3) + "% " +
                            visibleControlCharacters(text).toUtf8();
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
}

} // namespace

int runUpdateCommand(const QString &url, const QString &packageFile)
{
    // Ctrl-C or SIGTERM stops the run: the program it waits on ends, the site is put back from
    // the snapshot when it was touched, and the final block says so.
    struct sigaction stop
    {
    };
    stop.sa_handler = [](int) { requestCancellation(); };
    sigemptyset(&stop.sa_mask);
    ::sigaction(SIGINT, &stop, nullptr);
    ::sigaction(SIGTERM, &stop, nullptr);
    UpdateConfig config;
    if (!url.isEmpty()) {
        config.baseURL = QUrl(url, QUrl::StrictMode);
        if (!isUsableUpdateBaseURL(config.baseURL)) {
            writeText(stderr, QStringLiteral("tavex-panel: 不是可用的 http/https 地址: ") + url);
            return 2;
        }
    }
    PanelViewModel viewModel(PanelRootResolver(), std::make_shared<NullDesktopServices>(), config);
    const bool live = ::isatty(STDERR_FILENO) == 1;
    // Steps go out once the event that set them is over: the run's last one only marks the end,
    // which the final block says.
    QList<std::pair<double, QString>> steps;
    const auto writeSteps = [&steps, live] {
        for (const auto &[fraction, text] : std::as_const(steps))
            writeProgress(fraction, text, live);
        steps.clear();
    };
    QObject::connect(&viewModel, &PanelViewModel::updateProgressTextChanged, &viewModel, [&] {
        steps.append({viewModel.updateProgress(), viewModel.updateProgressText()});
        if (steps.size() == 1)
            QTimer::singleShot(0, &viewModel, writeSteps);
    });
    int status = Failure;
    QObject::connect(&viewModel, &PanelViewModel::updateFinished, &viewModel,
                     [&viewModel, &status, &steps, &writeSteps, live](bool succeeded) {
                         if (!steps.isEmpty())
                             steps.removeLast();
                         writeSteps();
                         if (live)
                             std::fputc('\n', stderr);
                         writeText(stdout, viewModel.logs());
                         status = succeeded ? Success : Failure;
                         QCoreApplication::exit(status);
                     });
    // Never a chooser here: without a file the address is used, set or not.
    if (packageFile.isEmpty())
        viewModel.updateOrRepairFromDownload();
    else
        viewModel.updateOrRepairFromFile(packageFile);
    QCoreApplication::exec();
    return status;
}

int runRollbackCommand()
{
    const PanelRootResolver resolver;
    const UpdateOutcome outcome = rollbackLastUpdate(resolver);
    writeText(stdout, rollbackFinishBlock(outcome, resolver.tavexPanelRoot()));
    return outcome.succeeded ? Success : Failure;
}

int runStatusCommand()
{
    // The view model never installs the shipped runtime; without a window to do it first, the
    // command does.
    PanelRootResolver().tavexPanelRoot();
    PanelViewModel viewModel;
    viewModel.refreshStatus();
    writeText(stdout, viewModel.logs());
    return viewModel.status().allRunning() ? Success : NotAllRunning;
}

int runStartAllCommand()
{
    return runSequence(&PanelViewModel::startAll, true, 20000);
}

int runStopAllCommand()
{
    return runSequence(&PanelViewModel::stopAll, false, 5000);
}

int runDoctorCommand()
{
    const PanelViewModel viewModel;
    const DoctorReport report = doctorReport(PanelRootResolver(), viewModel.updateZipBaseURL);
    writeText(stdout, report.text);
    return report.problems == 0 ? Success : Failure;
}

int runChooseRootCommand(const QString &directory)
{
    const QString path = QDir::cleanPath(QFileInfo(directory).absoluteFilePath());
    PanelViewModel viewModel(PanelRootResolver(), std::make_shared<GivenDirectory>(path));
    viewModel.choosePanelRoot();
    writeText(stdout, viewModel.logs());
    // Success only for what the settings file itself now holds.
    return storedSavedRoot() == path && viewModel.logs().startsWith(QStringLiteral("已设置目录: "))
               ? Success
               : Failure;
}

} // namespace tavex
