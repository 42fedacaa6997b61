#include "HeadlessCommands.h"

#include "model/PanelViewModel.h"

#include <QCoreApplication>
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

// Runs start-all or stop-all through the event loop as the window would: every block written on
// the way goes to standard error, the final result block to standard output.
int runSequence(void (PanelViewModel::*operation)(), const QString &finalTitle)
{
    PanelViewModel viewModel;
    QObject::connect(&viewModel, &PanelViewModel::logsChanged, &viewModel, [&viewModel, finalTitle] {
        const QString logs = viewModel.logs();
        const bool isFinal = logs == finalTitle || logs.startsWith(finalTitle + QLatin1Char('\n'));
        if (!isFinal)
            writeText(stderr, logs);
    });
    int status = Failure;
    QObject::connect(&viewModel, &PanelViewModel::sequenceFinished, &viewModel, [&] {
        writeText(stdout, viewModel.logs());
        status = viewModel.errorSummary().isEmpty() ? Success : Failure;
        QCoreApplication::exit(status);
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
    return runSequence(&PanelViewModel::startAll, QStringLiteral("=== 启动完成 ==="));
}

int runStopAllCommand()
{
    return runSequence(&PanelViewModel::stopAll, QStringLiteral("=== 停止完成 ==="));
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
