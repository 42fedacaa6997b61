#pragma once

#include <QStringList>

namespace tavex {

// The commands that drive the stack from a terminal or a script, with the same view model as the
// window. Returns the process exit status.
int runStatusCommand();
int runStartAllCommand();
int runStopAllCommand();
int runChooseRootCommand(const QString &directory);
int runDoctorCommand();
// Updates or repairs the site; url, when not empty, replaces the base address for this run;
// packageFile, when not empty, is a package on disk that is read instead of a download.
int runUpdateCommand(const QString &url, const QString &packageFile);
// Puts back the site as it stood before the last update.
int runRollbackCommand();

} // namespace tavex
