#pragma once

#include "PanelRoot.h"
#include "platform/DesktopServices.h"
#include "stack/RuntimeLayout.h"
#include "stack/ServiceStatus.h"
#include "update/UpdateRun.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>

namespace tavex {

// The panel's one state-and-actions object, bound to the GUI thread. Every observable property
// is written there only; the long operations run their work on the thread pool and hand their
// results back through queued calls, which run in the order posted.
class PanelViewModel : public QObject
{
    Q_OBJECT
    Q_PROPERTY(tavex::ServiceStatus status READ status NOTIFY statusChanged)
    Q_PROPERTY(QString logs READ logs WRITE setLogs NOTIFY logsChanged)
    Q_PROPERTY(QString errorSummary READ errorSummary NOTIFY errorSummaryChanged)
    Q_PROPERTY(QString permissionHint READ permissionHint NOTIFY permissionHintChanged)
    Q_PROPERTY(double updateProgress READ updateProgress NOTIFY updateProgressChanged)
    Q_PROPERTY(QString updateProgressText READ updateProgressText NOTIFY updateProgressTextChanged)
    Q_PROPERTY(QStringList serviceReasons READ serviceReasons NOTIFY serviceReasonsChanged)
    Q_PROPERTY(bool installingRuntime READ installingRuntime NOTIFY installingRuntimeChanged)

public:
    explicit PanelViewModel(QObject *parent = nullptr);
    PanelViewModel(PanelRootResolver resolver, std::shared_ptr<DesktopServices> desktop,
                   QObject *parent = nullptr);
    // With the update's base address (for one headless run) and download settings (tests).
    PanelViewModel(PanelRootResolver resolver, std::shared_ptr<DesktopServices> desktop,
                   UpdateConfig update, QObject *parent = nullptr);
    ~PanelViewModel() override;

    // Base address of the site update package, fixed at construction.
    const QUrl updateZipBaseURL;

    ServiceStatus status() const { return m_status; }
    QString logs() const { return m_logs; }
    // The log panel edits the log too.
    void setLogs(const QString &logs);
    QString errorSummary() const { return m_errorSummary; }
    QString permissionHint() const { return m_permissionHint; }
    double updateProgress() const { return m_updateProgress; }
    QString updateProgressText() const { return m_updateProgressText; }
    // Why MySQL, the site and phpMyAdmin (in that order) do not run as this panel started them;
    // an entry is empty when the service runs so, or is simply stopped. Found at every refresh.
    QStringList serviceReasons() const { return m_serviceReasons; }
    QString savedRoot() const;

    void setDesktopServices(std::shared_ptr<DesktopServices> desktop);

    // The panel root, resolved anew at every call, and the paths under it. Never installs the
    // shipped runtime (nor waits for its installation): while it is pending, this is the root that
    // the installation makes.
    QString tavexPanelRoot() const;
    RuntimeLayout layout() const { return RuntimeLayout(tavexPanelRoot()); }
    QString runtimeDir() const { return layout().runtimeDir(); }
    QString mysqlDir() const { return layout().mysqlDir(); }
    QString mysqlDataDir() const { return layout().mysqlDataDir(); }
    QString mysqlCnfPath() const { return layout().mysqlCnfPath(); }
    QString cfgDir() const { return layout().cfgDir(); }
    QString wwwDir() const { return layout().wwwDir(); }
    QString phpMyAdminDir() const { return layout().phpMyAdminDir(); }
    QString phpMyAdminConfigPath() const { return layout().phpMyAdminConfigPath(); }
    QString phpWebPidPath() const { return layout().phpWebPidPath(); }
    QString phpWebLogPath() const { return layout().phpWebLogPath(); }
    QString phpMyAdminPidPath() const { return layout().phpMyAdminPidPath(); }
    QString phpMyAdminLogPath() const { return layout().phpMyAdminLogPath(); }

    // Log and diagnostics.
    void copyLogs();
    void updateErrorSummary();
    QString permissionCheckHint() const;
    void openPrivacySettings();

    // Services.
    void refreshStatus();
    bool isMariaDBRunning() const;
    bool isPhpWebRunning() const;
    bool isPhpMyAdminRunning() const;
    QString phpBinDisplay() const;
    void startAll();
    void stopAll();
    // Starts phpMyAdmin in the background when it does not run, then opens it.
    void openPhpMyAdmin();
    void openSite();

    // Update or repair of the site from the update package.
    QUrl updateZipDownloadURL() const;
    // Whether an update address is set (the setting or the build's), not the built-in placeholder.
    bool hasUpdateAddress() const;
    // The update button: downloads from the update address when one is set; without one it asks
    // for a package file on disk and runs from that (a cancelled chooser changes nothing).
    void updateOrRepairFiles();
    // Downloads from the update address, whatever it is.
    void updateOrRepairFromDownload();
    // Runs from a package file on disk, which is only read.
    void updateOrRepairFromFile(const QString &packageFile);
    // A package dropped on the window: runs from it once the user confirms.
    void updateOrRepairFromDroppedFile(const QString &packageFile);

    // The window's first root resolution may copy the whole shipped runtime. Meanwhile the log
    // says so, with the target and why it lies there; the window shows that it waits.
    bool installingRuntime() const { return m_installingRuntime; }
    // True when the next resolution installs the runtime, which the view model then announces.
    bool announceRuntimeInstallation();
    void endRuntimeInstallation();
    // Appends where the root comes from and why it lies there.
    void showRootPlacement();

    // Panel root chooser and runtime folder. The chooser's answer comes back later: the root is
    // taken then.
    void choosePanelRoot();
    void openRuntimeDirectory();

    // Shows an update's progress without running one: for the window's tests and screenshots.
    void showUpdateProgressForTesting(double fraction, const QString &text);

signals:
    void statusChanged();
    void logsChanged();
    void errorSummaryChanged();
    void permissionHintChanged();
    void updateProgressChanged();
    void updateProgressTextChanged();
    void serviceReasonsChanged();
    void installingRuntimeChanged();
    // After the final step of start-all or stop-all has written its result block; succeeded is
    // false when a step failed or the sequence gave up waiting for another one.
    void sequenceFinished(bool succeeded);
    // After the final block of an update or repair run has been written.
    void updateFinished(bool succeeded);

private:
    class Poster;

    void replaceLogs(const QString &text);
    void appendLogMessage(const QString &message);
    void setPermissionHint(const QString &hint);
    void setStatusFlag(bool ServiceStatus::*flag, bool value);
    void setUpdateProgress(double fraction, const QString &text);
    // Opens with the desktop; when nothing can, the log says so with the address.
    void openWithDesktop(const QUrl &url);
    void takeChosenRoot(const QString &chosen);
    // Whether an update or repair runs in this panel; if so the log says so.
    bool reportsUpdateBusy();
    // Claims and starts a run: a download when packageFile is empty.
    void startUpdate(const QString &packageFile);
    UpdateSource updateSource(const QString &packageFile) const;
    // Appends a launcher's CPU-type mismatch message to the log, on the view model's thread.
    static std::function<void(const QString &)> appendingTo(const std::shared_ptr<Poster> &poster);

    PanelRootResolver m_resolver;
    std::shared_ptr<DesktopServices> m_desktop;
    std::shared_ptr<Poster> m_poster;
    DownloadOptions m_downloadOptions;

    ServiceStatus m_status;
    QString m_logs;
    QString m_errorSummary;
    QString m_permissionHint;
    double m_updateProgress = 0.0;
    QString m_updateProgressText;
    QStringList m_serviceReasons{QString(), QString(), QString()};
    bool m_installingRuntime = false;
};

} // namespace tavex
