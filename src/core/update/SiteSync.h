#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace tavex {

// The step names of the synchronisation, as the progress shows them.
QString syncStepSiteFiles();
QString syncStepData();
QString syncStepDone();

// The site's own data folders at its top: whichever of them exist are never deleted or
// overwritten by an update; the package can only add files that they lack.
const QStringList &protectedDataNames();

// One merge of a package data folder into a live one: package "Data" into the live "Data",
// package "data" into the live "data", and a package that has only "data" into "Data" as well.
struct DataMerge
{
    QString packageDir;
    QString liveDir;
};
QList<DataMerge> dataMerges(const QString &source, const QString &destination);

// The package entries (relative to packageDir) that the merge must leave out, because the live
// entry wins: one of another type stands there (a file where the package has a folder, or the
// other way round, or a link), or it would land in a live folder this user may not write or
// search. A skipped folder's contents go with it.
QStringList dataMergeSkips(const QString &packageDir, const QString &liveDir);

// Whether the runner's result text for rsync means that rsync did not do its work: it could not
// start, ran out of time, exited with a status other than 0 and 24 (with or without output), or
// printed an error phrase.
bool rsyncOutputIndicatesHardFailure(const QString &text);

struct SyncResult
{
    enum Stage { Done, Refused, SiteFiles, Data } stage = Done;
    QString error;     // empty when done
    QStringList notes; // what the user should know although nothing failed
};

using SyncProgress = std::function<void(int done, int total, const QString &name)>;

// Makes destination a copy of source, except its top-level "Data" and "data": the first rsync
// run mirrors everything else with deletion, and rewrites every file whatever its size and time
// (a zip keeps times to two seconds, and a changed setting often keeps its size), so no file of
// the site keeps an inode that a snapshot shares. The second run adds the package's data files
// that the live data folders lack, changing nothing that is there (no file overwritten, no folder
// mode, owner or time touched); entries that conflict with live ones are skipped and named in the
// notes. A live data folder that is no real folder (a link, a file) is left as it is and nothing
// is merged into it. Refused before any change: a destination that is a link or no folder, and a
// package whose links lead outside the source.
SyncResult syncDirectoryContents(const QString &source, const QString &destination,
                                 const SyncProgress &progress);

// Argument vectors of the two runs.
QStringList siteFilesRsyncArguments(const QString &source, const QString &destination);
// excludeFile: rules separated by NUL bytes, read with --from0; empty for none.
QStringList dataMergeRsyncArguments(const QString &packageData, const QString &destinationData,
                                    const QString &excludeFile = {});

// rsync run with the limit of one synchronisation run; the runner's text.
QString runRsync(const QStringList &arguments);

} // namespace tavex
