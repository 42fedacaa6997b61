#pragma once

#include <QStringList>
#include <QtGlobal>
#include <optional>
#include <vector>

namespace tavex {

// The process that listens on a TCP port (IPv4 or IPv6), found without starting a program: the
// listening socket's inode from the kernel's socket diagnostics (or /proc/net/tcp{,6}), then the
// process holding it through /proc/<pid>/fd. Absent when nothing listens or the owner cannot be
// seen (another user's process, for an unprivileged panel).
std::optional<qint32> listeningProcessId(quint16 port);

// Who listens on a TCP port; absent when nothing does. The socket's user is always known; the
// process only when the panel may look at the owner's descriptors. likelyOwner, when given, is
// tried first (a PID file's number), which spares a walk through every process.
struct PortListener
{
    std::optional<qint32> pid;
    uint uid = 0;
};
std::optional<PortListener> portListener(quint16 port, qint64 likelyOwner = 0);
// The same for several ports, with one question to the kernel.
struct PortQuery
{
    quint16 port;
    qint64 likelyOwner = 0;
};
std::vector<std::optional<PortListener>> portListeners(const std::vector<PortQuery> &queries);

// The addresses other than loopback on which a TCP port listens ("0.0.0.0" and "::" for all of
// them), read from the kernel's tables: no connection is made, so the answer does not hang on a
// firewall or a busy server and is the same every time. Empty when nothing listens or only
// loopback does.
QStringList exposedListenAddresses(quint16 port);

// Whether a connection to the local port is accepted.
bool portAccepts(quint16 port, int timeoutMs = 500);
// Whether a server on the local port sends its first bytes unasked, as a database that is ready
// greets a new connection.
bool portGreets(quint16 port, int timeoutMs = 500);

} // namespace tavex
