#pragma once

#include "platform/AppLocation.h"
#include "stack/RootSource.h"

#include <QString>
#include <optional>

namespace tavex {

// A directory is a panel root when runtime/mysql/bin/mysqld, runtime/php and
// runtime/phpmyadmin all exist under it (files or directories alike).
bool isValidPanelRoot(const QString &path);

// The root chosen by hand, kept in the user settings under "tavexPanelRoot".
QString readSavedRoot();
// What the settings file on disk holds under "tavexPanelRoot", read past this process's settings
// cache (which keeps a value that could not be written): a choice is confirmed only by this.
QString storedSavedRoot();
// Empty when stored and read back from the file, else "无法保存设置: <settings file>: <why>".
// A settings file that cannot be
// read whole is kept beside itself ("<file>.unreadable-<yyyyMMdd-HHmmss>") and written anew with
// the keys that its lines still give.
QString writeSavedRoot(const QString &root);

// Finds the panel root anew at every call: the installed copy (made from the shipped runtime when
// missing or invalid; beside the program, or in the user's data folder for a system-wide install),
// else the shipped runtime itself, else the saved root, else the installed root's path even though
// it is not valid. Safe to call from any thread; installation is serialised between threads and
// between panel processes.
class PanelRootResolver : public RootSource
{
public:
    explicit PanelRootResolver(AppLocation location = AppLocation::current());

    QString tavexPanelRoot() const override;

    // Which root a resolution takes and why, found without installing anything.
    enum class Source { InstalledCopy, ShippedRuntime, ChosenRoot, Fallback };
    struct Preview
    {
        QString root;
        Source source = Source::Fallback;
        bool installPending = false; // the next resolution installs the shipped runtime first
    };
    Preview preview() const;
    // How the preview's root was found, in words: "安装副本", "手动选择的目录", ...
    static QString sourceText(const Preview &preview);

    // The installed root: the application directory + "/Tavex-panel", or for a system-wide
    // install the user's data folder + "/Tavex-panel" (never a folder at the file system's top).
    std::optional<QString> appBundleRoot() const;
    // Where the installed root is and why, in a line for the doctor and the log.
    QString placementText() const;
    std::optional<QString> ensureInstalledRuntimeRoot() const;
    std::optional<QString> bundledPanelRoot() const;
    QString autoDetectedPanelRoot() const;

    const AppLocation &location() const { return m_location; }

    // How long an installation waits for one that another thread or panel process is making;
    // after that the installed root counts as not installable for this resolution.
    static constexpr int kInstallWaitMs = 300000;
    void setInstallWaitMs(int waitMs) { m_installWaitMs = waitMs; }

private:
    AppLocation m_location;
    int m_installWaitMs = kInstallWaitMs;
};

} // namespace tavex
