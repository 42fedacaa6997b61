#pragma once

#include <QString>
#include <QUrl>
#include <optional>

namespace tavex {

// What the platform does for a person: the clipboard, opening an address or a folder, and the
// directory chooser. The window implements it; headless runs and tests supply their own.
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
};

} // namespace tavex
