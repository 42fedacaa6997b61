#pragma once

#include "platform/DesktopServices.h"

#include <QPointer>
#include <QWidget>

namespace tavex::ui {

// The desktop's clipboard, default handlers and a directory chooser in the window's own dark look
// and texts (Qt's dialog, not the desktop's, so the texts are the same on every desktop).
class QtDesktopServices : public DesktopServices
{
public:
    explicit QtDesktopServices(QWidget *window);

    void setClipboardText(const QString &text) override;
    void openUrl(const QUrl &url) override;
    std::optional<QString> chooseDirectory(const QString &message,
                                           const QString &acceptLabel) override;

private:
    QPointer<QWidget> m_window;
};

} // namespace tavex::ui
