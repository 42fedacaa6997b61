#pragma once

#include <QString>
#include <chrono>

class QLockFile;

namespace tavex {

// How old a lock file must be before an owner that cannot be read from it marks it as left
// behind: a process that has just created its lock file writes itself into it well within this.
inline constexpr std::chrono::milliseconds kStaleLockFileAge{5000};

// Removes the lock file when no live process can be holding it: a file that names no owner
// (empty, garbled or unreadable, as a power cut leaves it) once it is older than minAge, or
// something that is no regular file at all (a link, a FIFO; a folder is left alone). A file
// naming a process that is gone is QLockFile's own business (staleLockTime 0). Returns whether
// something was removed.
bool clearStaleLockFile(QLockFile &lock, std::chrono::milliseconds minAge = kStaleLockFileAge);

// Takes the lock within timeoutMs (0: one attempt), clearing a lock file left behind on the way.
// Sets staleLockTime 0: a lock held for long by a live process is never stolen.
bool tryLockWithin(QLockFile &lock, int timeoutMs);

} // namespace tavex
