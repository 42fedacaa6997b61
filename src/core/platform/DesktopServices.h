#pragma once

#include <QString>
#include <QUrl>
#include <functional>
#include <optional>

namespace tavex {

// What the platform does for a person: the clipboard, opening an address or a folder, the
// directory and package file choosers, and a yes-or-no question. The window implements it; headless
// runs and tests supply their own. The choosers and the question never block their caller: they
// answer through a callback, at once or once the person has decided (the callback may never come
// when the window goes first).
class DesktopServices
{
public:
    using ChosenPath = std::function<void(std::optional<QString>)>;
    using Answer = std::function<void(bool)>;

    virtual ~DesktopServices() = default;

    // Replaces the clipboard's contents with plain text.
    virtual void setClipboardText(const QString &text) = 0;
    // Opens a web address or a local folder with the system's default handler; false when there
    // is none that could open it.
    virtual bool openUrl(const QUrl &url) = 0;
    // A chooser for one directory; answers absent when the user cancels.
    virtual void chooseDirectory(const QString &message, const QString &acceptLabel,
                                 ChosenPath answer) = 0;
    // A chooser for one existing update package (zip files first); answers absent when the user
    // cancels.
    virtual void choosePackageFile(const QString &title, ChosenPath answer) = 0;
    // Asks the user to confirm an action; answers false unless the user agrees.
    virtual void confirm(const QString &title, const QString &text, Answer answer) = 0;
};

// For runs without a display: nothing to copy to, nothing to open, nobody to ask.
class NullDesktopServices : public DesktopServices
{
public:
    void setClipboardText(const QString &) override {}
    bool openUrl(const QUrl &) override { return false; }
    void chooseDirectory(const QString &, const QString &, ChosenPath answer) override
    {
        answer(std::nullopt);
    }
    void choosePackageFile(const QString &, ChosenPath answer) override { answer(std::nullopt); }
    void confirm(const QString &, const QString &, Answer answer) override { answer(false); }
};

} // namespace tavex
