#pragma once

#include "model/PanelRoot.h"
#include "platform/DesktopServices.h"
#include "stack/RuntimeLayout.h"

#include <QMap>
#include <QProcess>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>

namespace tavex::test {

// Records what the panel asks of the desktop, and answers with the answers set beforehand.
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
        asked << message + QLatin1Char('\n') + accept;
        answer(nextChoice);
    }
    void choosePackageFile(const QString &title, ChosenPath answer) override
    {
        asked << title;
        answer(nextFile);
    }
    void confirm(const QString &title, const QString &text, Answer answer) override
    {
        asked << title + QLatin1Char('\n') + text;
        answer(nextAnswer);
    }

    std::optional<QString> clipboard;
    QList<QUrl> opened;
    bool opens = true; // false: no browser or file manager takes what is opened
    std::optional<QString> nextChoice;
    std::optional<QString> nextFile;
    bool nextAnswer = false;
    QStringList asked; // each chooser's or question's texts, one line after the other
};

QString childHelper();

// Writes a file, creating its parent folders; fails the test when it cannot.
void writeFile(const QString &path, const QByteArray &content);
QByteArray readFile(const QString &path);
// An executable file: a shell script unless `head` says otherwise.
void writeScript(const QString &path, const QByteArray &body,
                 const QByteArray &head = "#!/bin/sh\n");

// A root that passes the validity test: runtime/mysql/bin/mysqld, runtime/php, runtime/phpmyadmin.
void makeValidRoot(const QString &root);

// Every file under a folder with its content, for byte-for-byte comparison.
QMap<QString, QByteArray> snapshot(const QString &dir);

// Runs work as nobody when the test runs as root (who ignores permissions); returns its answer.
QString runUnprivileged(const std::function<QString()> &work);

bool portAnswers(quint16 port);
// Waits up to a few seconds for a process to end (zombies count as ended).
bool waitUntilGone(qint64 pid, int timeoutMs = 5000);
QByteArray curl(const QStringList &args);

// What a run of the panel program gave back. exitCode is -1 when it crashed or timed out.
struct PanelRun
{
    int exitCode = -1;
    QString out;
    QString err;
};

struct PanelRunOptions
{
    QString home; // with the configuration and data under it, unless extra says otherwise
    QProcessEnvironment extra;
    QString workingDirectory;
    QStringList launcher; // runs the program with its arguments: setpriv, unshare
    int timeoutMs = 120000;
};

// Copies the built panel to path; base/app/bin/tavex-panel finds its root at base/Tavex-panel.
QString installPanelCopy(const QString &path);
// Starts the panel without waiting, for runs that are raced or killed.
void startPanel(QProcess &process, const QString &program, const QStringList &args,
                const PanelRunOptions &options);
PanelRun runPanel(const QString &program, const QStringList &args, const PanelRunOptions &options);

// Every entry under dir without following links: "F:mode:content", "L:target", "D:mode", or
// "T:type:mode" for other types (a FIFO is never opened).
QMap<QString, QString> treeState(const QString &dir);
// "path=content" for every file under dir, sorted.
QStringList fileList(const QString &dir);
// The file type bits of path as lstat gives them (0 when it is missing), and its mode bits.
unsigned typeOf(const QString &path, unsigned *mode = nullptr);
// Creates a layout under root: "dir/", "file=content", "link->target", "dir/@555" for a folder
// made read-only once everything stands.
void makeLayout(const QString &root, const QStringList &layout);

// A valid panel root with a site folder at <app>/Tavex-panel, where the program <app>/tavex/bin/
// tavex-panel finds it installed, and a desktop that records what the panel asks of it.
class StackRoot
{
public:
    explicit StackRoot(const QString &app);

    QString app;
    QString root;
    RuntimeLayout layout;
    std::shared_ptr<RecordingDesktop> desktop = std::make_shared<RecordingDesktop>();

    PanelRootResolver resolver() const;
    // The folders that start-all makes, and a system database so that nothing is initialised.
    void makeFolders(bool initialised = true) const;
    // Debian's PHP under the runtime's name, as the demo runtime does it; `first` runs before.
    void installPhp(const QString &version = QStringLiteral("PHP8.2"),
                    const QByteArray &first = {}) const;
    // A PHP built for another processor.
    void installForeignPhp(const QString &version = QStringLiteral("PHP8.5")) const;
    // Database programs that do nothing (mysqladmin too), or that note in `record` that they ran
    // (and when the initialiser ended).
    void installDatabase(const QString &record = {}) const;
};

} // namespace tavex::test
