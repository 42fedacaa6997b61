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

namespace {

// Qt's own chooser, whose options are set before anything else.
QFileDialog *newChooser(QWidget *window, const QString &title, const QString &folder)
{
    auto *dialog = new QFileDialog(window, title, folder);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    return dialog;
}

// Shows the chooser without a nested event loop and answers with its path, as chosen and without
// a trailing "/" (except for the root itself), when it closes.
void openChooser(QFileDialog *dialog, DesktopServices::ChosenPath answer)
{
    QObject::connect(dialog, &QDialog::finished, dialog,
                     [dialog, answer = std::move(answer)](int result) {
                         const QStringList chosen = dialog->selectedFiles();
                         if (result != QDialog::Accepted || chosen.isEmpty())
                             answer(std::nullopt);
                         else
                             answer(QDir::cleanPath(chosen.constFirst()));
                     });
    dialog->open();
}

} // namespace

QtDesktopServices::QtDesktopServices(QWidget *window) : m_window(window) {}

void QtDesktopServices::setClipboardText(const QString &text)
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(text);
}

bool QtDesktopServices::openUrl(const QUrl &url)
{
    return QDesktopServices::openUrl(url);
}

void QtDesktopServices::chooseDirectory(const QString &message, const QString &acceptLabel,
                                        ChosenPath answer)
{
    auto *dialog = newChooser(m_window, message, QDir::homePath());
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    dialog->setLabelText(QFileDialog::Accept, acceptLabel);
    openChooser(dialog, std::move(answer));
}

void QtDesktopServices::choosePackageFile(const QString &title, ChosenPath answer)
{
    // A downloaded package most likely waits in the downloads folder.
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    auto *dialog =
        newChooser(m_window, title, QFileInfo(downloads).isDir() ? downloads : QDir::homePath());
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setNameFilters(
        {QStringLiteral("zip 更新包 (*.zip *.ZIP)"), QStringLiteral("所有文件 (*)")});
    dialog->setLabelText(QFileDialog::Accept, QStringLiteral("选择"));
    openChooser(dialog, std::move(answer));
}

void QtDesktopServices::confirm(const QString &title, const QString &text, Answer answer)
{
    auto *box = new QMessageBox(QMessageBox::Question, title, text,
                                QMessageBox::Yes | QMessageBox::Cancel, m_window);
    QAbstractButton *agree = box->button(QMessageBox::Yes);
    agree->setText(QStringLiteral("继续"));
    box->button(QMessageBox::Cancel)->setText(QStringLiteral("取消"));
    box->setDefaultButton(QMessageBox::Cancel);
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box, &QDialog::finished, box, [box, agree, answer = std::move(answer)] {
        answer(box->clickedButton() == agree);
    });
    box->open();
}

} // namespace tavex::ui
