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
// Updates or repairs the site; url, when not empty, replaces the base address for this run.
int runUpdateCommand(const QString &url);
// Puts back the site as it stood before the last update.
int runRollbackCommand();

} // namespace tavex
