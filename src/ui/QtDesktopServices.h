#pragma once

#include "platform/DesktopServices.h"

#include <QPointer>
#include <QWidget>

namespace tavex::ui {

// The desktop's clipboard, default handlers, and the choosers and questions in the window's own
// dark look and texts (Qt's dialogs, not the desktop's, so the texts are the same on every
// desktop). Each opens window-modal and returns at once; its answer comes when it closes.
class QtDesktopServices : public DesktopServices
{
public:
    explicit QtDesktopServices(QWidget *window);

    void setClipboardText(const QString &text) override;
    bool openUrl(const QUrl &url) override;
    void chooseDirectory(const QString &message, const QString &acceptLabel,
                         ChosenPath answer) override;
    void choosePackageFile(const QString &title, ChosenPath answer) override;
    void confirm(const QString &title, const QString &text, Answer answer) override;

private:
    QPointer<QWidget> m_window;
};

} // namespace tavex::ui
