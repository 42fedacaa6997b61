#pragma once

#include "UpdateDownload.h"
#include "model/PanelRoot.h"

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

// The whole update or repair run, on a worker thread: download into runtime/tavex-update.zip,
// unpack into runtime/update-extract, find the site root, keep a snapshot of the installed root's
// runtime/www, synchronise into it, verify. Progress goes to the callback on the calling thread.
// Only one run works at a time across panel processes.
UpdateOutcome downloadUpdateOnly(const PanelRootResolver &resolver, const QUrl &downloadURL,
                                 const DownloadOptions &options, const UpdateProgress &progress);

// Puts back the site as it stood before the last update (all but its top-level Data).
UpdateOutcome rollbackLastUpdate(const PanelRootResolver &resolver);

// The snapshot of the site under the installed root.
QString updateSnapshotDir(const QString &installedRoot);

// Log texts of the run.
QString updateStartText(const QUrl &downloadURL, const QString &root);
QString updateProgressBlock(double fraction, const QString &text, const QUrl &downloadURL,
                            const QString &root);
QString updateFinishBlock(const UpdateOutcome &outcome, const QString &root,
                          const QString &runtimeDir);
QString rollbackFinishBlock(const UpdateOutcome &outcome, const QString &root);

} // namespace tavex
