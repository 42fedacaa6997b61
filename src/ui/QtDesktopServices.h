#pragma once

#include "platform/DesktopServices.h"

#include <QPointer>
#include <QWidget>

namespace tavex::ui {

// The desktop's clipboard, default handlers, and the choosers and questions in the window's own
// dark look and texts (Qt's dialogs, not the desktop's, so the texts are the same on every
// desktop).
class QtDesktopServices : public DesktopServices
{
public:
    explicit QtDesktopServices(QWidget *window);

    void setClipboardText(const QString &text) override;
    void openUrl(const QUrl &url) override;
    std::optional<QString> chooseDirectory(const QString &message,
                                           const QString &acceptLabel) override;
    std::optional<QString> choosePackageFile(const QString &title) override;
    bool confirm(const QString &title, const QString &text) override;

private:
    QPointer<QWidget> m_window;
};

} // namespace tavex::ui
