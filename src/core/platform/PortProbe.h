#pragma once

#include <QtGlobal>
#include <optional>

namespace tavex {

// The process that listens on a TCP port (IPv4 or IPv6), found without starting a program: the
// listening socket's inode from the kernel's socket diagnostics (or /proc/net/tcp{,6}), then the
// process holding it through /proc/<pid>/fd. Absent when nothing listens or the owner cannot be
// seen (another user's process, for an unprivileged panel).
std::optional<qint32> listeningProcessId(quint16 port);

} // namespace tavex
