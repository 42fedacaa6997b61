#include "PanelRoot.h"

#include "process/FileHelpers.h"

#include <QDateTime>
#include <QFileInfo>
#include <QLockFile>
#include <QMutex>
#include <QSettings>

#include <filesystem>
#include <system_error>

namespace tavex {

namespace fs = std::filesystem;

namespace {

const QString kSettingsKey = QStringLiteral("tavexPanelRoot");

// The parts of an installed runtime that belong to the user or to the running stack: moved into a
// fresh copy when an invalid copy is set aside. config holds the PID files and logs of servers
// that may still run.
const char *const kUserDataParts[] = {"mysql/data", "www", "config"};

// A copy of the shipped runtime is made under this prefix beside "runtime" and renamed into place
// only when whole, so a copy cut short is never taken as the runtime.
const std::string kStagingPrefix = ".runtime-install-";

fs::path toPath(const QString &path)
{
    return fs::path(path.toStdString());
}

QString fromPath(const fs::path &path)
{
    return QString::fromStdString(path.string());
}

bool somethingAt(const fs::path &path)
{
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

QMutex &installMutex()
{
    static QMutex mutex;
    return mutex;
}

// A free name under the installed root saying when the invalid copy was set aside.
fs::path setAsideName(const fs::path &installedRoot)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    fs::path candidate = installedRoot / ("runtime.invalid-" + stamp.toStdString());
    for (int n = 2; somethingAt(candidate); ++n)
        candidate =
            installedRoot / ("runtime.invalid-" + stamp.toStdString() + "-" + std::to_string(n));
    return candidate;
}

// Moves the user's database and site from the set-aside copy into the fresh one, in place of the
// shipped ones. Nothing of the user's is deleted: each part is either still in the set-aside
// copy or in the fresh one. Only shipped files are removed.
bool moveUserDataInto(const fs::path &fresh, const fs::path &aside)
{
    for (const char *part : kUserDataParts) {
        const fs::path from = aside / part;
        const fs::path to = fresh / part;
        if (!somethingAt(from))
            continue;
        std::error_code error;
        const fs::path shipped = fresh / (std::string(part) + ".shipped");
        const bool hadShipped = somethingAt(to);
        if (hadShipped) {
            fs::rename(to, shipped, error);
            if (error)
                return false;
        } else {
            fs::create_directories(to.parent_path(), error);
            if (error)
                return false;
        }
        fs::rename(from, to, error);
        if (error) {
            if (hadShipped)
                fs::rename(shipped, to, error);
            return false;
        }
        if (hadShipped)
            removeTree(fromPath(shipped));
    }
    return true;
}

bool copyShippedRuntime(const fs::path &shipped, const fs::path &target)
{
    std::error_code error;
    fs::copy(shipped, target, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
    if (error) {
        removeTree(fromPath(target)); // only shipped files can be there
        return false;
    }
    return true;
}

// Copies that an installation killed halfway left behind hold only shipped files.
void removeLeftoverCopies(const fs::path &installedRoot)
{
    std::error_code error;
    for (const fs::directory_entry &entry : fs::directory_iterator(installedRoot, error)) {
        if (entry.path().filename().string().starts_with(kStagingPrefix))
            removeTree(fromPath(entry.path()));
    }
}

} // namespace

bool isValidPanelRoot(const QString &path)
{
    return QFileInfo::exists(path + QStringLiteral("/runtime/mysql/bin/mysqld")) &&
           QFileInfo::exists(path + QStringLiteral("/runtime/php")) &&
           QFileInfo::exists(path + QStringLiteral("/runtime/phpmyadmin"));
}

QString readSavedRoot()
{
    return QSettings(QStringLiteral("Tavex"), QStringLiteral("tavex-panel"))
        .value(kSettingsKey)
        .toString();
}

void writeSavedRoot(const QString &root)
{
    QSettings settings(QStringLiteral("Tavex"), QStringLiteral("tavex-panel"));
    settings.setValue(kSettingsKey, root);
    settings.sync();
}

PanelRootResolver::PanelRootResolver(AppLocation location) : m_location(std::move(location)) {}

QString PanelRootResolver::tavexPanelRoot() const
{
    if (const auto installed = ensureInstalledRuntimeRoot())
        return *installed;
    if (const auto bundled = bundledPanelRoot(); bundled && isValidPanelRoot(*bundled))
        return *bundled;
    const QString saved = readSavedRoot();
    if (!saved.isEmpty() && !hasControlCharacter(saved) && isValidPanelRoot(saved))
        return saved;
    return autoDetectedPanelRoot();
}

PanelRootResolver::Preview PanelRootResolver::preview() const
{
    const auto installed = appBundleRoot();
    if (installed && isValidPanelRoot(*installed))
        return {*installed, Source::InstalledCopy, false};
    const auto resources = m_location.resourcesDir();
    const bool canInstall = installed && resources && isValidPanelRoot(*resources);
    if (canInstall)
        return {*installed, Source::InstalledCopy, true};
    if (const auto bundled = bundledPanelRoot(); bundled && isValidPanelRoot(*bundled))
        return {*bundled, Source::ShippedRuntime, false};
    const QString saved = readSavedRoot();
    if (!saved.isEmpty() && !hasControlCharacter(saved) && isValidPanelRoot(saved))
        return {saved, Source::ChosenRoot, false};
    return {autoDetectedPanelRoot(), Source::Fallback, false};
}

std::optional<QString> PanelRootResolver::appBundleRoot() const
{
    const auto appDir = m_location.applicationDir();
    if (!appDir)
        return std::nullopt;
    if (*appDir == QLatin1String("/"))
        return QStringLiteral("/Tavex-panel");
    return *appDir + QStringLiteral("/Tavex-panel");
}

QString PanelRootResolver::autoDetectedPanelRoot() const
{
    return appBundleRoot().value_or(QString());
}

std::optional<QString> PanelRootResolver::bundledPanelRoot() const
{
    const auto resources = m_location.resourcesDir();
    if (!resources || !QFileInfo::exists(*resources + QStringLiteral("/runtime/mysql/bin/mysqld")))
        return std::nullopt;
    return resources;
}

std::optional<QString> PanelRootResolver::ensureInstalledRuntimeRoot() const
{
    const auto installed = appBundleRoot();
    if (!installed)
        return std::nullopt;
    if (isValidPanelRoot(*installed))
        return installed;

    const auto resources = m_location.resourcesDir();
    if (!resources)
        return std::nullopt;
    const fs::path shipped = toPath(*resources + QStringLiteral("/runtime"));
    if (!somethingAt(shipped))
        return std::nullopt;
    // A copy of an incomplete shipped runtime could never be valid; making one would only set
    // the user's installed copy aside for nothing.
    if (!isValidPanelRoot(*resources))
        return std::nullopt;

    const fs::path root = toPath(*installed);
    std::error_code error;
    fs::create_directories(root, error);
    if (error)
        return std::nullopt;

    // One installer at a time: threads of this process through the mutex, other panel processes
    // through a lock file in the installed root, where the installation itself writes (the
    // application directory may belong to the system).
    QMutexLocker threadLock(&installMutex());
    QLockFile processLock(*installed + QStringLiteral("/.install.lock"));
    processLock.setStaleLockTime(0);
    if (!processLock.lock())
        return std::nullopt;

    // Another thread or process may have finished the copy while this one waited.
    if (isValidPanelRoot(*installed))
        return installed;

    removeLeftoverCopies(root);
    const fs::path staging = root / (kStagingPrefix + randomNameSuffix().toStdString());
    if (!copyShippedRuntime(shipped, staging))
        return std::nullopt;

    const fs::path runtime = root / "runtime";
    std::optional<fs::path> aside;
    if (somethingAt(runtime)) {
        aside = setAsideName(root);
        fs::rename(runtime, *aside, error);
        if (error) {
            removeTree(fromPath(staging));
            return std::nullopt;
        }
    }
    fs::rename(staging, runtime, error);
    if (error) {
        if (aside) {
            std::error_code ignored;
            fs::rename(*aside, runtime, ignored);
        }
        removeTree(fromPath(staging));
        return std::nullopt;
    }

    if (aside && !moveUserDataInto(runtime, *aside))
        return std::nullopt;

    if (!isValidPanelRoot(*installed))
        return std::nullopt;
    return installed;
}

} // namespace tavex
