#include "Cancellation.h"

#include <atomic>

namespace tavex {

namespace {

std::atomic<bool> g_cancelled{false};
static_assert(std::atomic<bool>::is_always_lock_free);

} // namespace

void requestCancellation() noexcept
{
    g_cancelled.store(true);
}

bool cancellationRequested() noexcept
{
    return g_cancelled.load();
}

void clearCancellation() noexcept
{
    g_cancelled.store(false);
}

QString cancelledPrefix()
{
    return QStringLiteral("已取消: ");
}

} // namespace tavex
