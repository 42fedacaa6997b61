#pragma once

#include "UpdateDownload.h"
#include "stack/RootSource.h"
#include "stack/RuntimeLayout.h"

#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>

namespace tavex {

// What a view model's update runs use: the base address (empty: the configured one) and the
// download's settings.
struct UpdateConfig
{
    QUrl baseURL;
    DownloadOptions download;
};

// The base address of the update package: the setting "updateZipBaseURL" when it holds an
// absolute http or https address, else the address the program was built with, else fallback.
QUrl configuredUpdateZipBaseURL(const QUrl &fallback);

// Whether the text is an absolute http or https address that can serve as a base address.
bool isUsableUpdateBaseURL(const QUrl &url);

struct UpdateOutcome
{
    QString message;   // the result line(s) of the run
    QStringList notes; // further lines for the final block
    bool succeeded = false;
};

using UpdateProgress = std::function<void(double fraction, const QString &text)>;

// Where a run takes its package from: downloaded from the address into runtime/tavex-update.zip,
// or, when packageFile is set (an absolute path), that file on disk, which is only read.
struct UpdateSource
{
    QUrl downloadURL;
    QString packageFile;

    bool isFile() const { return !packageFile.isEmpty(); }
};

// The whole update or repair run, on a worker thread: download into runtime/tavex-update.zip,
// unpack into runtime/update-extract, find the site root, keep a whole snapshot of runtime/www
// (or refuse to go on), synchronise into it, verify; all under the resolved panel root. A marker
// beside the snapshot records a run until the site is whole again. Progress goes to the callback on
// the calling thread. Only one run works at a time across panel processes.
UpdateOutcome downloadUpdateOnly(const RootSource &resolver, const QUrl &downloadURL,
                                 const DownloadOptions &options, const UpdateProgress &progress);

// The same run from a package file on disk instead of a download. The file is never changed,
// moved or removed: one that is no readable regular file, or that lies in a folder the run
// replaces or clears, is refused before anything changes.
UpdateOutcome updateFromPackageFile(const RootSource &resolver, const QString &packageFile,
                                    const UpdateProgress &progress);

// Why the file cannot serve as an update package: nothing there, a folder, a FIFO, a device or a
// socket, or no read permission. A symbolic link to a regular file is the user's own choice and
// is followed. Empty when it can.
QString localPackageProblem(const QString &packageFile);

// Puts back the site as it stood before the last update that changed it (all but its top-level
// data folders). The state it replaces becomes the snapshot, so a second rollback returns to it.
// After an update or rollback that was cut off while changing the site, it puts back the last
// whole site and keeps that snapshot.
UpdateOutcome rollbackLastUpdate(const RootSource &resolver);

// Lines for the status and the doctor when an update or rollback was cut off while it changed
// the site, or the last rollback left files in the snapshot; empty otherwise.
QString interruptedUpdateNote(const RuntimeLayout &layout);

// Log texts of the run. The finish block names the package file that the run read.
QString updateStartText(const UpdateSource &source, const QString &root);
QString updateProgressBlock(double fraction, const QString &text, const UpdateSource &source,
                            const QString &root);
QString updateFinishBlock(const UpdateOutcome &outcome, const QString &root,
                          const QString &packagePath);
// "正在下载更新包", or "正在读取更新包" for a file on disk.
QString updateFirstStepText(const UpdateSource &source);
QString rollbackFinishBlock(const UpdateOutcome &outcome, const QString &root);

} // namespace tavex
