#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace tavex {

// The step names of the synchronisation, as the progress shows them.
QString syncStepSiteFiles();
QString syncStepData();
QString syncStepDone();

// The package's data folder: its real folder "Data", else its real folder "data", else none.
// A link or a file of that name is no data folder.
std::optional<QString> packageDataDirectory(const QString &source);

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

// Makes destination a copy of source, except its top-level "Data": the first rsync run mirrors
// everything else with deletion; the second adds the package's data files that the live "Data"
// lacks, changing nothing that is there (no file overwritten, no folder mode, owner or time
// touched). The live "Data" is protected whatever its type; when it is no real folder (a link, a
// file) nothing is merged into it, never through a link. Refused before any change: a destination
// that is a link or no folder, and a package whose links lead outside the source.
SyncResult syncDirectoryContents(const QString &source, const QString &destination,
                                 const SyncProgress &progress);

// Argument vectors of the two runs.
QStringList siteFilesRsyncArguments(const QString &source, const QString &destination);
QStringList dataMergeRsyncArguments(const QString &packageData, const QString &destinationData);

// rsync run with the limit of one synchronisation run; the runner's text.
QString runRsync(const QStringList &arguments);

} // namespace tavex
