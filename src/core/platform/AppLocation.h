#pragma once

#include <QString>
#include <optional>

namespace tavex {

// Where the program lives. The installed program is a prefix folder P holding P/bin/tavex-panel
// and the resources P/share/tavex-panel; P plays the application bundle, so the application
// directory is P's parent. A program not in a "bin" folder takes its own folder as P.
//
// A system-wide install (P is a system prefix such as /usr, /usr/local or /opt/..., or a folder
// that the running user does not own) keeps its working root in the user's data folder instead:
// nobody but the system may write beside such a prefix.
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

    // Where the working root goes for this program and the running user: beside the program, or
    // in the user's data folder because P is a system prefix or belongs to another user.
    enum class Placement { BesideProgram, SystemPrefix, OthersPrefix };
    Placement placement() const;
    // $XDG_DATA_HOME when it is an absolute path, else ~/.local/share (the home from $HOME, or
    // from the user database when $HOME is not an absolute path); empty when there is no home.
    static QString userDataFolder();

private:
    QString m_executablePath;
};

} // namespace tavex
