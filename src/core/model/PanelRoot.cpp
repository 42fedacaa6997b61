#include "PanelRoot.h"

#include "platform/Settings.h"
#include "process/FileHelpers.h"
#include "process/LockFiles.h"
#include "stack/RuntimeLayout.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMutex>
#include <QSettings>
#include <QTemporaryFile>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace tavex {

namespace fs = std::filesystem;

namespace {

using SettingsEntries = QMap<QString, QVariant>;

SettingsEntries entriesOf(const QSettings &settings)
{
    SettingsEntries entries;
    for (const QString &key : settings.allKeys())
        entries.insert(key, settings.value(key));
    return entries;
}

// What each line of a settings file gives when read on its own, so that a line whose quote or
// continuation runs on cannot swallow the lines after it. Keys and texts holding control
// characters are what such a line makes of its neighbours, and are dropped; so is a line that
// is no setting, but then the file does not read cleanly.
struct LineByLine
{
    SettingsEntries entries;
    bool clean = true;
    bool judged = true; // false when no line could be read apart (no temporary file)
};
LineByLine settingsReadLineByLine(const QString &path)
{
    LineByLine result;
    SettingsEntries &entries = result.entries;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.clean = false;
        return result;
    }
    QByteArray section = "[General]";
    for (const QByteArray &raw : file.readAll().split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[')) {
            section = line;
            continue;
        }
        if (line.isEmpty())
            continue;
        QTemporaryFile single;
        if (!single.open() || single.write(section + '\n' + line + '\n') < 0 || !single.flush()) {
            result.judged = false;
            return result;
        }
        const QSettings alone(single.fileName(), QSettings::IniFormat);
        const bool comment = line.startsWith(';') || line.startsWith('#');
        if (alone.status() != QSettings::NoError || (!comment && alone.allKeys().isEmpty()))
            result.clean = false;
        for (const QString &key : alone.allKeys()) {
            const QVariant value = alone.value(key);
            const bool garbled =
                hasControlCharacter(key) ||
                (value.typeId() == QMetaType::QString && hasControlCharacter(value.toString()));
            if (!garbled)
                entries.insert(key, value);
        }
    }
    return result;
}

// A free name beside the settings file saying when it was found unreadable.
QString unreadableSettingsName(const QString &path)
{
    const QString stem = path + QStringLiteral(".unreadable-") +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString candidate = stem;
    for (int n = 2; lstatType(candidate) != 0; ++n)
        candidate = stem + QLatin1Char('-') + QString::number(n);
    return candidate;
}

QString settingsFailure(const QString &path, const QString &why)
{
    return QStringLiteral("无法保存设置: ") + path + QStringLiteral(": ") + why;
}

// The parts of an installed runtime that belong to the user or to the running stack: moved into a
// fresh copy when an invalid copy is set aside. config holds the PID files and logs of servers
// that may still run; backup the site as it stood before the last update, for a rollback.
const char *const kUserDataParts[] = {"mysql/data", "www", "config", "backup"};

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
    const RuntimeLayout at(path);
    return QFileInfo::exists(at.mysqldPath()) && QFileInfo::exists(at.phpDir()) &&
           QFileInfo::exists(at.phpMyAdminDir());
}

QString readSavedRoot()
{
    return readSetting(kSavedRootKey).toString();
}

QString storedSavedRoot()
{
    return readStoredSetting(kSavedRootKey).toString();
}

QString writeSavedRoot(const QString &root)
{
    const QString path = settingsFilePath();
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return settingsFailure(path, info.isDir() ? QStringLiteral("是一个文件夹，不是文件")
                                                  : QStringLiteral("不是普通文件"));

    // Writing rewrites the whole file from what was read: a file read wrongly would lose keys.
    std::optional<SettingsEntries> recovered;
    if (info.exists()) {
        LineByLine lineByLine = settingsReadLineByLine(path);
        const auto whole = openSettings();
        const bool wrong = !lineByLine.clean || entriesOf(*whole) != lineByLine.entries;
        if (whole->status() != QSettings::NoError || (lineByLine.judged && wrong))
            recovered = std::move(lineByLine.entries);
    }
    if (recovered) {
        const QString aside = unreadableSettingsName(path);
        if (!QFile::rename(path, aside))
            return settingsFailure(path, QStringLiteral("无法读取，也无法另存为 ") + aside);
    }

    const auto settings = openSettings();
    if (recovered) {
        for (auto entry = recovered->cbegin(); entry != recovered->cend(); ++entry)
            settings->setValue(entry.key(), entry.value());
    }
    settings->setValue(kSavedRootKey, root);
    settings->sync();
    if (settings->status() != QSettings::NoError)
        return settingsFailure(path, QStringLiteral("无法写入"));
    if (storedSavedRoot() != root)
        return settingsFailure(path, QStringLiteral("写入后读回的不是所选目录，设置未保存"));
    return {};
}

PanelRootResolver::PanelRootResolver(AppLocation location) : m_location(std::move(location)) {}

namespace {

// A root from the settings file, which anyone may have edited. Its paths go to the programs as
// arguments and into the option file: a relative one ("-x", read from whatever folder the panel
// runs in) could be taken for an option, a line break could add lines.
bool usableSavedRoot(const QString &saved)
{
    return QDir::isAbsolutePath(saved) && !hasControlCharacter(saved) && isValidPanelRoot(saved);
}

} // namespace

QString PanelRootResolver::tavexPanelRoot() const
{
    if (const auto installed = ensureInstalledRuntimeRoot())
        return *installed;
    if (const auto bundled = bundledPanelRoot(); bundled && isValidPanelRoot(*bundled))
        return *bundled;
    const QString saved = readSavedRoot();
    if (usableSavedRoot(saved))
        return saved;
    return autoDetectedPanelRoot();
}

PanelRootResolver::Preview PanelRootResolver::preview() const
{
    const auto installed = appBundleRoot();
    if (installed && isValidPanelRoot(*installed))
        return {*installed, Source::InstalledCopy, false};
    const auto resources = m_location.resourcesDir();
    const bool canInstall =
        installed && resources && isValidPanelRoot(*resources) && canCreateDirectory(*installed);
    if (canInstall)
        return {*installed, Source::InstalledCopy, true};
    if (const auto bundled = bundledPanelRoot(); bundled && isValidPanelRoot(*bundled))
        return {*bundled, Source::ShippedRuntime, false};
    const QString saved = readSavedRoot();
    if (usableSavedRoot(saved))
        return {saved, Source::ChosenRoot, false};
    return {autoDetectedPanelRoot(), Source::Fallback, false};
}

QString PanelRootResolver::sourceText(const Preview &preview)
{
    switch (preview.source) {
    case Source::InstalledCopy:
        return preview.installPending
                   ? QStringLiteral(
                         "安装副本（尚未安装或已失效，下次运行时从随程序提供的运行环境安装）")
                   : QStringLiteral("安装副本");
    case Source::ShippedRuntime:
        return QStringLiteral("随程序提供的运行环境（无法安装副本）");
    case Source::ChosenRoot:
        return QStringLiteral("手动选择的目录");
    case Source::Fallback:
        break;
    }
    return QStringLiteral("默认位置（没有找到可用的目录）");
}

std::optional<QString> PanelRootResolver::appBundleRoot() const
{
    if (m_location.placement() != AppLocation::Placement::BesideProgram) {
        const QString data = AppLocation::userDataFolder();
        if (data.isEmpty() || hasControlCharacter(data))
            return std::nullopt;
        return data + QStringLiteral("/Tavex-panel");
    }
    const auto appDir = m_location.applicationDir();
    if (!appDir || *appDir == QLatin1String("/"))
        return std::nullopt;
    return *appDir + QStringLiteral("/Tavex-panel");
}

QString PanelRootResolver::placementText() const
{
    const QString prefix = m_location.prefixDir().value_or(QString());
    const auto root = appBundleRoot();
    QString why;
    switch (m_location.placement()) {
    case AppLocation::Placement::BesideProgram:
        if (!root)
            return QStringLiteral("无法定位应用程序目录");
        return QStringLiteral("程序目录 ") + prefix +
               QStringLiteral(" 属于当前用户，安装副本放在程序旁边: ") + *root;
    case AppLocation::Placement::SystemPrefix:
        why = QStringLiteral("程序装在系统目录 ") + prefix;
        break;
    case AppLocation::Placement::OthersPrefix:
        why = QStringLiteral("程序目录 ") + prefix + QStringLiteral(" 不属于当前用户");
        break;
    }
    return why + (root ? QStringLiteral("，安装副本放在当前用户的数据目录: ") + *root
                       : QStringLiteral("，但找不到当前用户的主目录，无法安装副本"));
}

QString PanelRootResolver::autoDetectedPanelRoot() const
{
    return appBundleRoot().value_or(QString());
}

std::optional<QString> PanelRootResolver::bundledPanelRoot() const
{
    const auto resources = m_location.resourcesDir();
    if (!resources || !QFileInfo::exists(RuntimeLayout(*resources).mysqldPath()))
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
    const fs::path shipped = toPath(RuntimeLayout(*resources).runtimeDir());
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
    const QDeadlineTimer deadline(m_installWaitMs);
    std::unique_lock threadLock(installMutex(), std::defer_lock);
    if (!threadLock.try_lock_for(std::chrono::milliseconds(deadline.remainingTime())))
        return std::nullopt;
    QLockFile processLock(*installed + QStringLiteral("/.install.lock"));
    if (!tryLockWithin(processLock, static_cast<int>(deadline.remainingTime())))
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
