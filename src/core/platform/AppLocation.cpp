#include "AppLocation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavex {

AppLocation AppLocation::current()
{
    return forExecutable(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath());
}

AppLocation AppLocation::forExecutable(const QString &executablePath)
{
    AppLocation location;
    if (!executablePath.isEmpty())
        location.m_executablePath = QDir::cleanPath(QFileInfo(executablePath).absoluteFilePath());
    return location;
}

std::optional<QString> AppLocation::prefixDir() const
{
    if (m_executablePath.isEmpty())
        return std::nullopt;
    const QFileInfo exe(m_executablePath);
    const QString ownDir = exe.absolutePath();
    if (QFileInfo(ownDir).fileName() == QLatin1String("bin"))
        return QFileInfo(ownDir).absolutePath();
    return ownDir;
}

std::optional<QString> AppLocation::applicationDir() const
{
    const auto prefix = prefixDir();
    if (!prefix || *prefix == QLatin1String("/"))
        return std::nullopt;
    return QFileInfo(*prefix).absolutePath();
}

std::optional<QString> AppLocation::resourcesDir() const
{
    const auto prefix = prefixDir();
    if (!prefix)
        return std::nullopt;
    QString dir = *prefix + QStringLiteral("/share/tavex-panel");
    if (*prefix == QLatin1String("/"))
        dir = QStringLiteral("/share/tavex-panel");
    if (!QFileInfo(dir).isDir())
        return std::nullopt;
    return dir;
}

AppLocation::Placement AppLocation::placement() const
{
    const auto prefix = prefixDir();
    if (!prefix)
        return Placement::BesideProgram;
    const QString &p = *prefix;
    if (p == QLatin1String("/") || p == QLatin1String("/usr") || p == QLatin1String("/usr/local") ||
        p == QLatin1String("/opt") || p.startsWith(QLatin1String("/opt/")))
        return Placement::SystemPrefix;
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(p).constData(), &info) == 0 && info.st_uid != ::geteuid())
        return Placement::OthersPrefix;
    return Placement::BesideProgram;
}

QString AppLocation::userDataFolder()
{
    const auto absolute = [](const QByteArray &value) {
        const QString path = QFile::decodeName(value);
        return path.startsWith(QLatin1Char('/')) ? QDir::cleanPath(path) : QString();
    };
    if (const QString data = absolute(qgetenv("XDG_DATA_HOME")); !data.isEmpty())
        return data;
    QString home = absolute(qgetenv("HOME"));
    if (home.isEmpty()) {
        passwd entry{};
        passwd *found = nullptr;
        char buffer[4096];
        if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found &&
            found->pw_dir)
            home = absolute(QByteArray(found->pw_dir));
    }
    if (home.isEmpty() || home == QLatin1String("/"))
        return {};
    return home + QStringLiteral("/.local/share");
}

} // namespace tavex
