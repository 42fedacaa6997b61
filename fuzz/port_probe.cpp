// The port probe's readers of /proc/net/tcp text and of a socket-diagnostics datagram.
#include "FuzzSupport.h"
#include "platform/PortProbeParsing.h"

#include <cstring>
#include <linux/netlink.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    for (const tavex::ListeningSocket &socket : tavex::parseProcNetTcp(bytes))
        fuzz::check(!socket.inode.isEmpty() && socket.inode != "0" && bytes.contains(socket.inode),
                    "an inode is a field of the table");

    // The kernel's buffer is aligned for the header; so is this copy.
    std::vector<nlmsghdr> aligned(size / sizeof(nlmsghdr) + 1);
    std::memcpy(aligned.data(), data, size);
    std::vector<tavex::ListeningSocket> sockets;
    tavex::parseSockDiagReply(reinterpret_cast<const char *>(aligned.data()), size, sockets);
    for (const tavex::ListeningSocket &socket : sockets)
        fuzz::check(socket.inode != "0", "a socket without inode is left out");
    return 0;
}
