#pragma once

#include <QString>
#include <memory>

class QLockFile;

namespace tavex {

// Start-all and stop-all run one at a time: two at once start two database servers on one data
// directory and overwrite each other's PID files. Threads of this panel wait on a mutex, panel
// processes on a lock file beside the runtime (root + "/.tavex-sequence.lock").
class SequenceLock
{
public:
    // How long a sequence waits for the one before it: longer than any sequence takes unless a
    // program of the runtime hangs.
    static constexpr int kWaitMs = 180000;

    // Whether a sequence runs now, in this panel or in another panel process on the root.
    static bool busy(const QString &root);

    // Waits, at most timeoutMs, until no other sequence runs, then holds the lock until destroyed.
    SequenceLock(const QString &root, int timeoutMs = kWaitMs);
    ~SequenceLock();
    SequenceLock(const SequenceLock &) = delete;
    SequenceLock &operator=(const SequenceLock &) = delete;

    bool acquired() const { return m_acquired; }

    // Marks a sequence as announced (pressed, not yet holding the lock), so busy() sees it.
    class Pending
    {
    public:
        Pending();
        ~Pending();
        Pending(const Pending &) = delete;
        Pending &operator=(const Pending &) = delete;
    };

private:
    bool m_acquired = false;
    bool m_holdsMutex = false;
    std::unique_ptr<QLockFile> m_file;
};

// The line a sequence's first block carries when it has to wait for another.
QString sequenceWaitLine();
// The result entry of a sequence that gave up waiting; action is "启动" or "停止".
QString sequenceTimeoutEntry(const QString &action);

} // namespace tavex
