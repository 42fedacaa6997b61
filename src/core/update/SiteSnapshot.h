#pragma once

#include <QString>

namespace tavex {

class BackgroundRemoval;

// The site as it stood before an update, kept so that the update can be undone. One snapshot,
// replaced by each run; the top-level "Data" is never part of it.
struct SnapshotResult
{
    bool taken = false;
    QString note; // why there is no snapshot this time, when there is none
};

// Keeps a copy of site (without its top-level Data) at snapshotDir: hard links where the file
// system allows them (an update replaces files by renaming, so the links keep the old contents),
// else a full copy. A missing site gives an empty snapshot. The previous snapshot is replaced only
// by a whole new one.
// The old snapshot is handed to removals, when given, to be freed beside the rest of the run.
SnapshotResult takeSiteSnapshot(const QString &site, const QString &snapshotDir,
                                BackgroundRemoval *removals = nullptr);

// Puts the snapshot back: every file of the site but its top-level Data becomes as in the
// snapshot. Empty on success, else why not.
QString restoreSiteSnapshot(const QString &snapshotDir, const QString &site);

} // namespace tavex
