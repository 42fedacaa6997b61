#pragma once

#include <QString>
#include <QUrl>
#include <optional>

namespace tavex {

// What the platform does for a person: the clipboard, opening an address or a folder, the
// directory and package file choosers, and a yes-or-no question. The window implements it; headless
// runs and tests supply their own.
class DesktopServices
{
public:
    virtual ~DesktopServices() = default;

    // Replaces the clipboard's contents with plain text.
    virtual void setClipboardText(const QString &text) = 0;
    // Opens a web address or a local folder with the system's default handler; failures are
    // ignored.
    virtual void openUrl(const QUrl &url) = 0;
    // A modal chooser for one directory; absent when the user cancels.
    virtual std::optional<QString> chooseDirectory(const QString &message,
                                                   const QString &acceptLabel) = 0;
    // A modal chooser for one existing update package (zip files first); absent when the user
    // cancels.
    virtual std::optional<QString> choosePackageFile(const QString &title) = 0;
    // Asks the user to confirm an action; false unless the user agrees.
    virtual bool confirm(const QString &title, const QString &text) = 0;
};

// For runs without a display: nothing to copy to, nothing to open, nobody to ask.
class NullDesktopServices : public DesktopServices
{
public:
    void setClipboardText(const QString &) override {}
    void openUrl(const QUrl &) override {}
    std::optional<QString> chooseDirectory(const QString &, const QString &) override
    {
        return std::nullopt;
    }
    std::optional<QString> choosePackageFile(const QString &) override { return std::nullopt; }
    bool confirm(const QString &, const QString &) override { return false; }
};

} // namespace tavex
