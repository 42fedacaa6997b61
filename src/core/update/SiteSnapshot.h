#pragma once

#include <QString>
#include <QStringList>

namespace tavex {

class BackgroundRemoval;

// The site as it stood before an update, kept so that the update can be undone. One snapshot,
// replaced only by a whole new one; the top-level data folders are never part of it.

// Makes a whole copy of site (without its data folders) at staging, a fresh folder: hard links
// where the file system allows them (every file that an update delivers is rewritten, so the
// links keep the old contents and modes), else a full copy when there is room for it. Empty on
// success; otherwise why not, naming the files that could not be kept, and nothing is left at
// staging.
QString stageSiteCopy(const QString &site, const QString &staging);

// Puts a whole staged copy in place of the snapshot in one step (the old one is handed to
// removals, when given, to be freed beside the rest of the run). Empty on success.
QString installSnapshot(const QString &staging, const QString &snapshotDir,
                        BackgroundRemoval *removals = nullptr);

// Both of the above: a staging folder beside the snapshot, then the swap. Empty on success, else
// why not; the previous snapshot is then as it was.
QString takeSiteSnapshot(const QString &site, const QString &snapshotDir,
                         BackgroundRemoval *removals = nullptr);

// The staging folder of a new copy beside the given folder.
QString stagingPathFor(const QString &dir);

struct RestoreResult
{
    QString error;           // why the restore could not run at all
    int restored = 0;        // entries that are as in the snapshot afterwards
    QStringList notRestored; // relative paths that are not
    QStringList ownersLost;  // restored, but owned by the running user instead of their owner

    bool complete() const { return error.isEmpty() && notRestored.isEmpty(); }
    // The lines that say what was and was not put back; empty for a complete restore.
    QStringList lines() const;
};

// Puts the snapshot back: every entry of the site but its data folders becomes as in the
// snapshot, each file rewritten (so the site shares no inode with the snapshot), then each is
// checked against the snapshot. Files of the running user that it may not read (mode 000) are
// put back with their mode.
RestoreResult restoreSiteSnapshot(const QString &snapshotDir, const QString &site);

} // namespace tavex
