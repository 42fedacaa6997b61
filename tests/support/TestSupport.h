#pragma once

#include "platform/DesktopServices.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <optional>

namespace tavex::test {

// Records what the view model asks of the platform, and answers the choosers and questions at
// once with the answers set beforehand.
class RecordingDesktop : public DesktopServices
{
public:
    void setClipboardText(const QString &text) override { clipboard = text; }
    bool openUrl(const QUrl &url) override
    {
        opened << url;
        return opens;
    }
    void chooseDirectory(const QString &message, const QString &accept, ChosenPath answer) override
    {
        chooserMessage = message;
        chooserAccept = accept;
        answer(nextChoice);
    }
    void choosePackageFile(const QString &title, ChosenPath answer) override
    {
        packageChooserTitles << title;
        answer(nextFile);
    }
    void confirm(const QString &title, const QString &text, Answer answer) override
    {
        questions << title + QLatin1Char('\n') + text;
        answer(nextAnswer);
    }

    std::optional<QString> clipboard;
    QList<QUrl> opened;
    bool opens = true; // false: no browser or file manager takes what is opened
    std::optional<QString> nextChoice;
    QString chooserMessage;
    QString chooserAccept;
    std::optional<QString> nextFile;
    QStringList packageChooserTitles;
    bool nextAnswer = false;
    QStringList questions; // title and text, one line after the other
};

QString childHelper();

// Writes a file, creating its parent folders; fails the test when it cannot.
void writeFile(const QString &path, const QByteArray &content);
QByteArray readFile(const QString &path);
// An executable shell script.
void writeScript(const QString &path, const QByteArray &body);

// A panel root skeleton that passes the validity test: runtime/mysql/bin/mysqld, runtime/php and
// runtime/phpmyadmin.
void makeValidRoot(const QString &root);

// Every file under a folder with its content, for byte-for-byte comparison.
QMap<QString, QByteArray> snapshot(const QString &dir);

// Runs a function as an unprivileged user when the test runs as root (root ignores permissions),
// and returns what it returned. Runs it directly otherwise.
QString runUnprivileged(const std::function<QString()> &work);

// Whether something accepts connections on the local port.
bool portAnswers(quint16 port);

// An executable file built for another processor (an aarch64 ELF header).
void writeForeignExecutable(const QString &path);

// Waits up to a few seconds for a process to end (zombies count as ended).
bool waitUntilGone(qint64 pid, int timeoutMs = 5000);

// What curl prints for the arguments (silent, bounded).
QByteArray curl(const QStringList &args);

} // namespace tavex::test
