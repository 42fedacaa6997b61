#include "HeadlessCommands.h"

#include "diagnostics/DoctorReport.h"
#include "model/PanelViewModel.h"
#include "services/ServiceDiagnosis.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>
#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace tavex {

namespace {

enum ExitStatus { Success = 0, Failure = 1, NotAllRunning = 3 };

void writeText(FILE *stream, const QString &text)
{
    QByteArray bytes = text.toUtf8();
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
    std::optional<QString> chooseDirectory(const QString &, const QString &) override
    {
        return m_directory;
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
using ProblemCheck = Problems (*)(const RuntimeLayout &);

Problems check(const RuntimeLayout &layout, bool wantRunning)
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
        if (service.reason.isEmpty() || service.pid)
            problems.final = false;
    }
    return problems;
}

Problems notUpAsStarted(const RuntimeLayout &layout)
{
    return check(layout, true);
}

Problems stillRunning(const RuntimeLayout &layout)
{
    return check(layout, false);
}

// Runs start-all or stop-all through the event loop as the window would: every block written on
// the way goes to standard error, the final result block to standard output. Success needs a
// result without error lines and, within a bounded wait, no problem left by the check; otherwise
// the problems follow on standard error, one line per service.
int runSequence(void (PanelViewModel::*operation)(), const QString &finalTitle, ProblemCheck check,
                int settleMs)
{
    PanelViewModel viewModel;
    QObject::connect(&viewModel, &PanelViewModel::logsChanged, &viewModel, [&viewModel, finalTitle] {
        const QString logs = viewModel.logs();
        const bool isFinal = logs == finalTitle || logs.startsWith(finalTitle + QLatin1Char('\n'));
        if (!isFinal)
            writeText(stderr, logs);
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
        const Problems problems = check(viewModel.layout());
        if (problems.lines.isEmpty())
            finish({}, Success);
        else if (problems.final || deadline.hasExpired())
            finish(problems.lines, Failure);
    });
    QObject::connect(&viewModel, &PanelViewModel::sequenceFinished, &viewModel, [&] {
        writeText(stdout, viewModel.logs());
        if (!viewModel.errorSummary().isEmpty()) {
            finish(check(viewModel.layout()).lines, Failure);
            return;
        }
        deadline.setRemainingTime(settleMs);
        settle.start();
    });
    (viewModel.*operation)();
    QCoreApplication::exec();
    return status;
}

} // namespace

int runStatusCommand()
{
    PanelViewModel viewModel;
    viewModel.refreshStatus();
    writeText(stdout, viewModel.logs());
    return viewModel.status().allRunning() ? Success : NotAllRunning;
}

int runStartAllCommand()
{
    return runSequence(&PanelViewModel::startAll, QStringLiteral("=== 启动完成 ==="),
                       &notUpAsStarted, 20000);
}

int runStopAllCommand()
{
    return runSequence(&PanelViewModel::stopAll, QStringLiteral("=== 停止完成 ==="), &stillRunning,
                       5000);
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
    return viewModel.savedRoot() == path && viewModel.logs().startsWith(QStringLiteral("已设置目录: "))
               ? Success
               : Failure;
}

} // namespace tavex
