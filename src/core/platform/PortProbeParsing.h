#pragma once

// The port probe's readers of what the kernel reports, apart from the reading itself so that
// they can be tried on any bytes.

#include <QByteArray>
#include <QtGlobal>
#include <cstddef>
#include <vector>

namespace tavex {

struct ListeningSocket
{
    quint16 port = 0;
    QByteArray inode; // decimal
    uint uid = 0;
};

// The listening sockets with an inode in a /proc/net/tcp-style table (header line first).
std::vector<ListeningSocket> parseProcNetTcp(const QByteArray &text);

// One datagram of a socket-diagnostics dump: its sockets are appended; More while the dump goes
// on. data must be aligned for nlmsghdr.
enum class SockDiagReply { More, Done, Error };
SockDiagReply parseSockDiagReply(const char *data, size_t size,
                                 std::vector<ListeningSocket> &sockets);

} // namespace tavex
