#pragma once

#include <QString>

namespace tavex {

// A request to stop the update or rollback that runs now, made by Ctrl-C or SIGTERM in a headless
// run. The step programs (the download, the archive tool, rsync, cp) look at it while they wait
// and end early; the run then puts the site back as it stood and reports the stop.
void requestCancellation() noexcept; // async-signal-safe
bool cancellationRequested() noexcept;
void clearCancellation() noexcept;

// While one lives, requests are not seen: the clean-up after a stop (putting the site back) runs
// to its end. A request made meanwhile stays for later.
class CancellationShield
{
public:
    CancellationShield() noexcept;
    ~CancellationShield();
    CancellationShield(const CancellationShield &) = delete;
    CancellationShield &operator=(const CancellationShield &) = delete;
};

// The beginning of a runner's text for a program ended by such a request.
QString cancelledPrefix();

} // namespace tavex
