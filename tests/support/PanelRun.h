#pragma once

#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace tavex::test {

// What a run of the panel program gave back. exitCode is -1 when it crashed or timed out.
struct PanelRun
{
    int exitCode = -1;
    QString out;
    QString err;
};

struct PanelRunOptions
{
    // A private HOME; the configuration and data go under it (.config, .local/share) unless
    // extra says otherwise.
    QString home;
    QProcessEnvironment extra;
    QString workingDirectory;
    // A command that runs the panel, given the program and its arguments after its own words:
    // setpriv, unshare.
    QStringList launcher;
    int timeoutMs = 120000;
};

// Copies the built panel program to path (its folders made), executable, and returns path. A copy
// at base/app/bin/tavex-panel finds its installed root at base/Tavex-panel.
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

} // namespace tavex::test
