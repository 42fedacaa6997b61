#include "QtDesktopServices.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>

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

std::optional<QString> QtDesktopServices::choosePackageFile(const QString &title)
{
    // A downloaded package most likely waits in the downloads folder.
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    QFileDialog dialog(m_window, title,
                       QFileInfo(downloads).isDir() ? downloads : QDir::homePath());
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilters(
        {QStringLiteral("zip 更新包 (*.zip *.ZIP)"), QStringLiteral("所有文件 (*)")});
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("选择"));
    dialog.setWindowModality(Qt::WindowModal);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return QDir::cleanPath(dialog.selectedFiles().constFirst());
}

bool QtDesktopServices::confirm(const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::Cancel,
                    m_window);
    box.button(QMessageBox::Yes)->setText(QStringLiteral("继续"));
    box.button(QMessageBox::Cancel)->setText(QStringLiteral("取消"));
    box.setDefaultButton(QMessageBox::Cancel);
    box.setWindowModality(Qt::WindowModal);
    return box.exec() == QMessageBox::Yes;
}

} // namespace tavex::ui
