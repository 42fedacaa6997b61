#include "PanelViewModel.h"

#include "diagnostics/ErrorSummary.h"
#include "diagnostics/PermissionCheck.h"
#include "process/FileHelpers.h"
#include "services/PhpDiscovery.h"
#include "services/PhpMyAdminService.h"
#include "services/PhpServerLauncher.h"
#include "services/SequenceLock.h"
#include "services/ServiceDiagnosis.h"
#include "services/ServicePorts.h"
#include "services/StackSequences.h"
#include "services/StatusProbes.h"
#include "update/UpdateLock.h"

#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QPointer>
#include <QThreadPool>

namespace tavex {

// Hands steps from the background work to the view model on its thread. Once the view model is
// gone, further steps are dropped instead of reaching a dead object.
class PanelViewModel::Poster
{
public:
    explicit Poster(PanelViewModel *viewModel) : m_viewModel(viewModel) {}

    void post(std::function<void(PanelViewModel &)> step)
    {
        QMutexLocker lock(&m_mutex);
        if (!m_viewModel)
            return;
        PanelViewModel *viewModel = m_viewModel;
        QMetaObject::invokeMethod(
            viewModel, [viewModel, step = std::move(step)] { step(*viewModel); },
            Qt::QueuedConnection);
    }

    void detach()
    {
        QMutexLocker lock(&m_mutex);
        m_viewModel = nullptr;
    }

private:
    QMutex m_mutex;
    PanelViewModel *m_viewModel;
};

namespace {

const QUrl kUpdateZipBaseURL(QStringLiteral("https://updates.tavex.example/tavex-update.zip"));
const QString kUpdateBusyLine = QStringLiteral("更新/修复正在进行，本次点击未启动新的更新");

QString withWaitLine(const QString &firstText, bool waits)
{
    return waits ? firstText + QLatin1Char('\n') + sequenceWaitLine() : firstText;
}

} // namespace

PanelViewModel::PanelViewModel(QObject *parent)
    : PanelViewModel(PanelRootResolver(), std::make_shared<NullDesktopServices>(), parent)
{
}

PanelViewModel::PanelViewModel(PanelRootResolver resolver, std::shared_ptr<DesktopServices> desktop,
                               QObject *parent)
    : PanelViewModel(std::move(resolver), std::move(desktop), UpdateConfig(), parent)
{
}

PanelViewModel::PanelViewModel(PanelRootResolver resolver, std::shared_ptr<DesktopServices> desktop,
                               UpdateConfig update, QObject *parent)
    : QObject(parent), updateZipBaseURL(isUsableUpdateBaseURL(update.baseURL)
                                            ? update.baseURL
                                            : configuredUpdateZipBaseURL(kUpdateZipBaseURL)),
      m_resolver(std::move(resolver)),
      m_desktop(desktop ? std::move(desktop) : std::make_shared<NullDesktopServices>()),
      m_poster(std::make_shared<Poster>(this)), m_downloadOptions(std::move(update.download))
{
}

PanelViewModel::~PanelViewModel()
{
    m_poster->detach();
}

void PanelViewModel::setLogs(const QString &logs)
{
    m_logs = logs;
    emit logsChanged();
}

QString PanelViewModel::savedRoot() const
{
    return readSavedRoot();
}

void PanelViewModel::setDesktopServices(std::shared_ptr<DesktopServices> desktop)
{
    if (desktop)
        m_desktop = std::move(desktop);
}

QString PanelViewModel::tavexPanelRoot() const
{
    // The root that a resolution takes, found without installing: the copy waits on the shipped
    // runtime's installation, which the background work makes.
    return m_resolver.preview().root;
}

void PanelViewModel::replaceLogs(const QString &text)
{
    setLogs(text);
    updateErrorSummary();
}

void PanelViewModel::appendLogMessage(const QString &message)
{
    setLogs(m_logs + QLatin1Char('\n') + message + QLatin1Char('\n'));
}

void PanelViewModel::setPermissionHint(const QString &hint)
{
    m_permissionHint = hint;
    emit permissionHintChanged();
}

void PanelViewModel::setStatusFlag(bool ServiceStatus::*flag, bool value)
{
    m_status.*flag = value;
    emit statusChanged();
}

void PanelViewModel::setUpdateProgress(double fraction, const QString &text)
{
    m_updateProgress = fraction;
    emit updateProgressChanged();
    m_updateProgressText = text;
    emit updateProgressTextChanged();
}

void PanelViewModel::copyLogs()
{
    m_desktop->setClipboardText(m_logs);
}

void PanelViewModel::updateErrorSummary()
{
    m_errorSummary = errorSummaryOf(m_logs);
    emit errorSummaryChanged();
}

QString PanelViewModel::permissionCheckHint() const
{
    return tavex::permissionCheckHint(tavexPanelRoot());
}

void PanelViewModel::openPrivacySettings()
{
    // Linux has no privacy page: show the folder that the check names (or the nearest part of
    // its path that exists), where the user can fix its owner or permissions.
    const RuntimeLayout at = layout();
    const PermissionCheck check = checkRuntimePermissions(at.root());
    QString folder = check.failingDir.isEmpty() ? at.runtimeDir() : check.failingDir;
    while (!QFileInfo(folder).isDir() && folder != QDir::rootPath())
        folder = QFileInfo(folder).absolutePath();
    openWithDesktop(QUrl::fromLocalFile(folder));
}

void PanelViewModel::openWithDesktop(const QUrl &url)
{
    if (m_desktop->openUrl(url))
        return;
    // Nothing on the screen says that the press did nothing: the log does, with the address to
    // open by hand.
    appendLogMessage(url.isLocalFile() ? QStringLiteral("无法打开: ") + url.toLocalFile() +
                                             QStringLiteral("（没有可用的文件管理器）")
                                       : QStringLiteral("无法打开: ") + url.toString() +
                                             QStringLiteral("（没有可用的浏览器）"));
}

void PanelViewModel::refreshStatus()
{
    // One resolution of the root and one look at the PID files and ports serve the permission
    // check, the three probes and the diagnosis.
    const RuntimeLayout at = layout();
    setPermissionHint(tavex::permissionCheckHint(at.root()));
    const StackSnapshot snapshot = takeStackSnapshot(at);
    const ServiceStatus found = statusFrom(at, snapshot);
    setStatusFlag(&ServiceStatus::mysqlRunning, found.mysqlRunning);
    setStatusFlag(&ServiceStatus::phpWebRunning, found.phpWebRunning);
    setStatusFlag(&ServiceStatus::phpMyAdminRunning, found.phpMyAdminRunning);
    if (const QStringList reasons = diagnoseStack(at, m_status, snapshot).reasons();
        reasons != m_serviceReasons) {
        m_serviceReasons = reasons;
        emit serviceReasonsChanged();
    }
    QString block = statusBlock(m_status, at.root());
    if (const QString note = interruptedUpdateNote(at); !note.isEmpty())
        block += note + QLatin1Char('\n');
    replaceLogs(block);
}

bool PanelViewModel::isMariaDBRunning() const
{
    return tavex::isMariaDBRunning(layout());
}

bool PanelViewModel::isPhpWebRunning() const
{
    return tavex::isPhpWebRunning(layout());
}

bool PanelViewModel::isPhpMyAdminRunning() const
{
    return tavex::isPhpMyAdminRunning(layout());
}

QString PanelViewModel::phpBinDisplay() const
{
    return tavex::phpBinDisplay(layout());
}

void PanelViewModel::startAll()
{
    const bool waits = SequenceLock::busy(tavexPanelRoot());
    auto pending = std::make_shared<SequenceLock::Pending>();
    m_poster->post([waits](PanelViewModel &vm) {
        vm.setPermissionHint(vm.permissionCheckHint());
        vm.replaceLogs(withWaitLine(startAllFirstText(vm.tavexPanelRoot()), waits));
    });

    QThreadPool::globalInstance()->start([poster = m_poster, resolver = m_resolver, pending] {
        const SequenceResult outcome = runStartAll(
            [&resolver] { return RuntimeLayout(resolver.tavexPanelRoot()); },
            [&poster](const QStringList &soFar, const QString &next) {
                poster->post([soFar, next](PanelViewModel &vm) {
                    vm.refreshStatus();
                    vm.replaceLogs(startAllProgressText(soFar, next, vm.tavexPanelRoot()));
                });
            },
            appendingTo(poster));
        poster->post([outcome](PanelViewModel &vm) {
            vm.refreshStatus();
            vm.replaceLogs(
                startAllResultBlock(outcome.results, vm.phpBinDisplay(), vm.tavexPanelRoot()));
            emit vm.sequenceFinished(outcome.succeeded);
        });
    });
}

void PanelViewModel::stopAll()
{
    const bool waits = SequenceLock::busy(tavexPanelRoot());
    auto pending = std::make_shared<SequenceLock::Pending>();
    m_poster->post([waits](PanelViewModel &vm) {
        vm.setPermissionHint(vm.permissionCheckHint());
        vm.refreshStatus();
        vm.replaceLogs(withWaitLine(stopAllFirstText(vm.tavexPanelRoot()), waits));
    });

    QThreadPool::globalInstance()->start([poster = m_poster, resolver = m_resolver, pending] {
        const SequenceResult outcome =
            runStopAll([&resolver] { return RuntimeLayout(resolver.tavexPanelRoot()); });
        poster->post([outcome](PanelViewModel &vm) {
            vm.refreshStatus();
            vm.replaceLogs(stopAllResultBlock(outcome.results));
            emit vm.sequenceFinished(outcome.succeeded);
        });
    });
}

void PanelViewModel::openPhpMyAdmin()
{
    // The probe and the start wait on the server: on the thread pool, never on the window's.
    QThreadPool::globalInstance()->start([poster = m_poster, resolver = m_resolver] {
        const RuntimeLayout at(resolver.tavexPanelRoot());
        if (!tavex::isPhpMyAdminRunning(at)) {
            QStringList mismatches;
            startPhpMyAdmin(at, [&mismatches](const QString &message) { mismatches << message; });
            // The launcher's messages follow the status block that the refresh writes.
            poster->post([mismatches](PanelViewModel &vm) {
                vm.refreshStatus();
                for (const QString &message : mismatches)
                    vm.appendLogMessage(message);
            });
        }
        poster->post([](PanelViewModel &vm) { vm.openWithDesktop(QUrl(kPhpMyAdminAddress)); });
    });
}

void PanelViewModel::openSite()
{
    openWithDesktop(QUrl(kSiteAddress));
}

QUrl PanelViewModel::updateZipDownloadURL() const
{
    return tavex::updateZipDownloadURL(updateZipBaseURL);
}

bool PanelViewModel::hasUpdateAddress() const
{
    return updateZipBaseURL != kUpdateZipBaseURL;
}

void PanelViewModel::updateOrRepairFiles()
{
    if (hasUpdateAddress()) {
        startUpdate(QString());
        return;
    }
    if (reportsUpdateBusy())
        return;
    // Without an address a download could only fail on a name that does not resolve.
    m_desktop->choosePackageFile(QStringLiteral("选择 zip 更新包"),
                                 [self = QPointer(this)](std::optional<QString> chosen) {
                                     if (self && chosen)
                                         self->updateOrRepairFromFile(*chosen);
                                 });
}

void PanelViewModel::updateOrRepairFromDownload()
{
    startUpdate(QString());
}

void PanelViewModel::updateOrRepairFromFile(const QString &packageFile)
{
    // An empty path would mean a download; no chooser and no command line hands one over.
    if (packageFile.isEmpty())
        return;
    startUpdate(QDir::cleanPath(QFileInfo(packageFile).absoluteFilePath()));
}

void PanelViewModel::updateOrRepairFromDroppedFile(const QString &packageFile)
{
    if (reportsUpdateBusy())
        return;
    const QString text = QStringLiteral("用这个更新包更新站点？\n") + packageFile +
                         QStringLiteral("\n\nruntime/www 中的站点（") + wwwDir() +
                         QStringLiteral("）将按更新包更新；Data/data 中的数据保留不变，"
                                        "更新前的站点存入快照，可以回滚。");
    m_desktop->confirm(QStringLiteral("用更新包更新站点"), text,
                       [self = QPointer(this), packageFile](bool agreed) {
                           if (self && agreed)
                               self->updateOrRepairFromFile(packageFile);
                       });
}

bool PanelViewModel::reportsUpdateBusy()
{
    if (!UpdateLock::claimedHere())
        return false;
    appendLogMessage(kUpdateBusyLine);
    return true;
}

UpdateSource PanelViewModel::updateSource(const QString &packageFile) const
{
    return {packageFile.isEmpty() ? updateZipDownloadURL() : QUrl(), packageFile};
}

void PanelViewModel::startUpdate(const QString &packageFile)
{
    // A second press while a run works would race it on the same files: say so and leave it be.
    auto claim = UpdateLock::claim();
    if (!claim) {
        appendLogMessage(kUpdateBusyLine);
        return;
    }
    m_poster->post([packageFile](PanelViewModel &vm) {
        const UpdateSource source = vm.updateSource(packageFile);
        vm.setUpdateProgress(0.05, updateFirstStepText(source));
        vm.replaceLogs(updateStartText(source, vm.tavexPanelRoot()));
    });

    QThreadPool::globalInstance()->start([poster = m_poster, resolver = m_resolver,
                                          url = updateZipDownloadURL(), options = m_downloadOptions,
                                          packageFile, claim] {
        const UpdateProgress progress = [&poster, &packageFile](double fraction, QString text) {
            poster->post([fraction, text = std::move(text), packageFile](PanelViewModel &vm) {
                vm.setUpdateProgress(fraction, text);
                vm.replaceLogs(updateProgressBlock(fraction, text, vm.updateSource(packageFile),
                                                   vm.tavexPanelRoot()));
            });
        };
        const UpdateOutcome outcome = packageFile.isEmpty()
                                          ? downloadUpdateOnly(resolver, url, options, progress)
                                          : updateFromPackageFile(resolver, packageFile, progress);
        poster->post([outcome, packageFile](PanelViewModel &vm) {
            vm.refreshStatus();
            vm.setUpdateProgress(1.0, outcome.succeeded ? QStringLiteral("完成")
                                                        : QStringLiteral("失败"));
            vm.replaceLogs(updateFinishBlock(outcome, vm.tavexPanelRoot(),
                                             packageFile.isEmpty() ? vm.layout().updatePackagePath()
                                                                   : packageFile));
            emit vm.updateFinished(outcome.succeeded);
        });
    });
}

bool PanelViewModel::announceRuntimeInstallation()
{
    const PanelRootResolver::Preview preview = m_resolver.preview();
    if (!preview.installPending)
        return false;
    m_installingRuntime = true;
    emit installingRuntimeChanged();
    replaceLogs(QStringLiteral("正在安装运行环境…\n目标: ") + preview.root +
                QStringLiteral("\n安装位置: ") + m_resolver.placementText() +
                QStringLiteral("\n安装完成前按钮暂不可用。\n"));
    return true;
}

void PanelViewModel::endRuntimeInstallation()
{
    if (!std::exchange(m_installingRuntime, false))
        return;
    emit installingRuntimeChanged();
}

void PanelViewModel::showRootPlacement()
{
    appendLogMessage(QStringLiteral("目录来源: ") +
                     PanelRootResolver::sourceText(m_resolver.preview()) +
                     QStringLiteral("\n安装位置: ") + m_resolver.placementText());
}

void PanelViewModel::choosePanelRoot()
{
    m_desktop->chooseDirectory(QStringLiteral("请选择 Tavex-panel 目录"), QStringLiteral("选择"),
                               [self = QPointer(this)](std::optional<QString> chosen) {
                                   if (self && chosen && !chosen->isEmpty())
                                       self->takeChosenRoot(*chosen);
                               });
}

void PanelViewModel::takeChosenRoot(const QString &chosen)
{
    if (hasControlCharacter(chosen) || !isValidPanelRoot(chosen)) {
        replaceLogs(QStringLiteral("选择的目录不是有效的 Tavex-panel 根目录"));
        return;
    }
    if (const QString failure = writeSavedRoot(chosen); !failure.isEmpty()) {
        replaceLogs(failure);
        return;
    }
    refreshStatus();
    replaceLogs(QStringLiteral("已设置目录: ") + storedSavedRoot());
}

void PanelViewModel::openRuntimeDirectory()
{
    openWithDesktop(QUrl::fromLocalFile(runtimeDir()));
}

void PanelViewModel::showUpdateProgressForTesting(double fraction, const QString &text)
{
    setUpdateProgress(fraction, text);
}

std::function<void(const QString &)>
PanelViewModel::appendingTo(const std::shared_ptr<Poster> &poster)
{
    return [poster](const QString &message) {
        poster->post([message](PanelViewModel &vm) { vm.appendLogMessage(message); });
    };
}

} // namespace tavex
