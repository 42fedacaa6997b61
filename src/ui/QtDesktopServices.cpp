#include "QtDesktopServices.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>

namespace tavex::ui {

QtDesktopServices::QtDesktopServices(QWidget *window) : m_window(window) {}

void QtDesktopServices::setClipboardText(const QString &text)
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(text);
}

void QtDesktopServices::openUrl(const QUrl &url)
{
    QDesktopServices::openUrl(url);
}

std::optional<QString> QtDesktopServices::chooseDirectory(const QString &message,
                                                          const QString &acceptLabel)
{
    QFileDialog dialog(m_window, message, QDir::homePath());
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setLabelText(QFileDialog::Accept, acceptLabel);
    dialog.setWindowModality(Qt::WindowModal);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    // The path as chosen, without a trailing "/" (except for the root itself).
    return QDir::cleanPath(dialog.selectedFiles().constFirst());
}

} // namespace tavex::ui
