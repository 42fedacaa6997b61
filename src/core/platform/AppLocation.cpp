#include "AppLocation.h"

#include <QDir>
#include <QFileInfo>

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

} // namespace tavex
