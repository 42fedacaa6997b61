#pragma once

#include <QString>
#include <QStringList>
#include <optional>

class QProcess;

namespace tavex {

// Whether a process of that number exists and this program may signal it (signal 0).
bool processExists(qint64 pid);
// The argument list of a process as the kernel shows it; empty when unreadable or a zombie.
QStringList processArguments(qint64 pid);
// SIGTERM to one process; never to a group or to every process. 0 once sent, else the errno
// (EPERM for another user's process).
int terminateProcess(qint64 pid);

// Children must not inherit the panel's descriptors beyond standard input, output and error.
// Marks every other descriptor close-on-exec; async-signal-safe, for use between fork and exec.
void markInheritedDescriptorsCloseOnExec() noexcept;
// For a program that the panel runs as a step of its own (rsync, the archive tool, cp, pkill,
// mysqladmin): it inherits no descriptor beyond standard input, output and error, and it gets
// SIGTERM when the thread that started it ends, so that nothing of a killed panel keeps writing.
// Launched servers use startDetachedProcess instead and outlive the panel.
void prepareStepChild(QProcess &process);

// A process that runs on its own: double fork, new session, so init reaps it and it outlives
// the panel. Standard input stays the panel's; output and error go to outputFd (or /dev/null
// when outputFd is -1). The number returned is the program's own process number.
struct DetachedLaunch
{
    QString program;
    QStringList arguments;
    QString workingDirectory; // empty: the panel's own
    int outputFd = -1;
};

struct DetachedResult
{
    qint64 pid = 0;
    int errorCode = 0; // errno of the failed step; 0 on success

    bool started() const { return errorCode == 0 && pid > 0; }
};

DetachedResult startDetachedProcess(const DetachedLaunch &launch);

// Exists, may be signalled by this program, and is not a zombie waiting to be reaped.
bool processIsAlive(qint64 pid);
// Exists and is not a zombie, whoever owns it: another user's server runs all the same, though
// this program may not signal it.
bool processLives(qint64 pid);

// The user a process runs as, or absent when it is gone.
std::optional<uint> processOwner(qint64 pid);
// The user's login name, or the number when it has none.
QString userName(uint uid);

// How long ago the process started, in milliseconds; absent when it cannot be read.
std::optional<qint64> processAgeMs(qint64 pid);

} // namespace tavex
