#pragma once

#include <QString>
#include <optional>

namespace tavex {

// Where the program lives. The installed program is a prefix folder P holding P/bin/tavex-panel
// and the resources P/share/tavex-panel; P plays the application bundle, so the application
// directory is P's parent. A program not in a "bin" folder takes its own folder as P.
class AppLocation
{
public:
    // The running program's location (from /proc/self/exe).
    static AppLocation current();
    static AppLocation forExecutable(const QString &executablePath);

    // Empty when the program's own path could not be determined.
    const QString &executablePath() const { return m_executablePath; }

    std::optional<QString> prefixDir() const;
    std::optional<QString> applicationDir() const;
    // The resources directory, when it exists.
    std::optional<QString> resourcesDir() const;

private:
    QString m_executablePath;
};

} // namespace tavex
