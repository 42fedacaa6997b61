#include "UpdateLock.h"

#include "process/LockFiles.h"

#include <QLockFile>

#include <atomic>

namespace tavex {

namespace {

std::atomic<bool> &claimed()
{
    static std::atomic<bool> flag{false};
    return flag;
}

} // namespace

UpdateLock::Claim::Claim() = default;

UpdateLock::Claim::~Claim()
{
    claimed() = false;
}

std::shared_ptr<UpdateLock::Claim> UpdateLock::claim()
{
    bool expected = false;
    if (!claimed().compare_exchange_strong(expected, true))
        return nullptr;
    return std::make_shared<Claim>();
}

bool UpdateLock::claimedHere()
{
    return claimed();
}

bool UpdateLock::busy(const QString &runtimeDir)
{
    const UpdateLock probe(runtimeDir);
    return !probe.acquired();
}

UpdateLock::UpdateLock(const QString &runtimeDir)
    : m_file(std::make_unique<QLockFile>(runtimeDir + QStringLiteral("/.tavex-update.lock")))
{
    // A lock left by a panel that was killed, or emptied by a power cut, is taken over.
    m_acquired = tryLockWithin(*m_file, 0);
    // A runtime folder where no lock file can be made cannot take a package either; that step
    // reports why. Only a lock held by another process stops the run here.
    if (!m_acquired && m_file->error() != QLockFile::LockFailedError) {
        m_file.reset();
        m_acquired = true;
    }
}

UpdateLock::~UpdateLock() = default;

QString updateBusyMessage()
{
    return QStringLiteral("另一个更新/修复或回滚正在进行，本次未执行，请等它结束后再试");
}

} // namespace tavex
