#pragma once

#include <QString>
#include <memory>

class QLockFile;

namespace tavex {

// One update, repair or rollback at a time: a second one would work on the same package,
// extraction folder and site at once, and its "--delete" could empty the site. Within this
// process a run is claimed when it is requested; across panel processes (the window and a
// headless command) a lock file in the runtime folder is held while the run works.
class UpdateLock
{
public:
    // Claims the run for this process; null when one is already claimed here. The claim ends
    // when the last copy of the pointer goes.
    class Claim;
    static std::shared_ptr<Claim> claim();
    // Whether a run is claimed in this process now.
    static bool claimedHere();
    // Whether another panel process holds the lock of the runtime folder now.
    static bool busy(const QString &runtimeDir);

    // Takes the lock file in the runtime folder without waiting.
    explicit UpdateLock(const QString &runtimeDir);
    ~UpdateLock();
    UpdateLock(const UpdateLock &) = delete;
    UpdateLock &operator=(const UpdateLock &) = delete;

    bool acquired() const { return m_acquired; }

private:
    bool m_acquired = false;
    std::unique_ptr<QLockFile> m_file;
};

class UpdateLock::Claim
{
public:
    Claim();
    ~Claim();
    Claim(const Claim &) = delete;
    Claim &operator=(const Claim &) = delete;
};

// The message of a run that did not start because another one is working.
QString updateBusyMessage();

} // namespace tavex
