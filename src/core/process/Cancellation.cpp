#include "Cancellation.h"

#include <atomic>

namespace tavex {

namespace {

std::atomic<bool> g_cancelled{false};
std::atomic<int> g_shields{0};
static_assert(std::atomic<bool>::is_always_lock_free);

} // namespace

void requestCancellation() noexcept
{
    g_cancelled.store(true);
}

bool cancellationRequested() noexcept
{
    return g_cancelled.load() && g_shields.load() == 0;
}

void clearCancellation() noexcept
{
    g_cancelled.store(false);
}

CancellationShield::CancellationShield() noexcept
{
    ++g_shields;
}

CancellationShield::~CancellationShield()
{
    --g_shields;
}

QString cancelledPrefix()
{
    return QStringLiteral("已取消: ");
}

} // namespace tavex
