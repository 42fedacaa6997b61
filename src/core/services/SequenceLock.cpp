#include "SequenceLock.h"

#include "process/LockFiles.h"

#include <QDeadlineTimer>
#include <QLockFile>
#include <QMutex>

#include <atomic>

namespace tavex {

namespace {

QMutex &sequenceMutex()
{
    static QMutex mutex;
    return mutex;
}

// Sequences of this process that were started and have not finished their work.
std::atomic<int> &activeSequences()
{
    static std::atomic<int> count{0};
    return count;
}

QString lockPath(const QString &root)
{
    return root + QStringLiteral("/.tavex-sequence.lock");
}

} // namespace

SequenceLock::Pending::Pending()
{
    ++activeSequences();
}

SequenceLock::Pending::~Pending()
{
    --activeSequences();
}

bool SequenceLock::busy(const QString &root)
{
    if (activeSequences() > 0)
        return true;
    QLockFile probe(lockPath(root));
    if (tryLockWithin(probe, 0)) {
        probe.unlock();
        return false;
    }
    return probe.error() == QLockFile::LockFailedError;
}

SequenceLock::SequenceLock(const QString &root, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    if (!sequenceMutex().tryLock(static_cast<int>(deadline.remainingTime())))
        return;
    m_holdsMutex = true;
    m_file = std::make_unique<QLockFile>(lockPath(root));
    // A lock left by a panel that was killed, or emptied by a power cut, is taken over.
    if (tryLockWithin(*m_file, static_cast<int>(deadline.remainingTime()))) {
        m_acquired = true;
        return;
    }
    // A root where no lock file can be made (a read-only runtime) is guarded in this panel only.
    if (m_file->error() != QLockFile::LockFailedError) {
        m_file.reset();
        m_acquired = true;
        return;
    }
    m_file.reset();
    sequenceMutex().unlock();
    m_holdsMutex = false;
}

SequenceLock::~SequenceLock()
{
    m_file.reset();
    if (m_holdsMutex)
        sequenceMutex().unlock();
}

QString sequenceWaitLine()
{
    return QStringLiteral("另一个启动或停止操作正在进行，等它结束后继续（最多等待 %1 秒）")
        .arg(SequenceLock::kWaitMs / 1000);
}

QString sequenceTimeoutEntry(const QString &action)
{
    return action + QStringLiteral("失败: 另一个启动或停止操作 %1 秒内没有结束，本次未执行")
                        .arg(SequenceLock::kWaitMs / 1000);
}

} // namespace tavex
