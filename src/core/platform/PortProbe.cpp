#include "PortProbe.h"
#include "PortProbeParsing.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace tavex {

std::vector<ListeningSocket> parseProcNetTcp(const QByteArray &text)
{
    constexpr const char *kListenState = "0A";
    std::vector<ListeningSocket> sockets;
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines[i].simplified().split(' ');
        if (fields.size() < 10 || fields[3] != kListenState)
            continue;
        const QByteArray &local = fields[1];
        const qsizetype colon = local.lastIndexOf(':');
        if (colon < 0)
            continue;
        bool ok = false;
        const uint localPort = local.mid(colon + 1).toUInt(&ok, 16);
        if (ok && fields[9] != "0")
            sockets.push_back({static_cast<quint16>(localPort), fields[9], fields[7].toUInt()});
    }
    return sockets;
}

SockDiagReply parseSockDiagReply(const char *data, size_t size,
                                 std::vector<ListeningSocket> &sockets)
{
    // NLMSG_OK and NLMSG_NEXT, spelt out on an unsigned count.
    for (size_t at = 0; size - at >= sizeof(nlmsghdr);) {
        const auto *message = reinterpret_cast<const nlmsghdr *>(data + at);
        if (message->nlmsg_len < sizeof(nlmsghdr) || message->nlmsg_len > size - at)
            break;
        if (message->nlmsg_type == NLMSG_DONE)
            return SockDiagReply::Done;
        if (message->nlmsg_type == NLMSG_ERROR)
            return SockDiagReply::Error;
        // A message too short for its record is not read past its end.
        if (message->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
            const auto *socket = static_cast<const inet_diag_msg *>(NLMSG_DATA(message));
            if (socket->idiag_inode != 0)
                sockets.push_back({ntohs(socket->id.idiag_sport),
                                   QByteArray::number(socket->idiag_inode), socket->idiag_uid});
        }
        at += std::min<size_t>(NLMSG_ALIGN(message->nlmsg_len), size - at);
    }
    return SockDiagReply::More;
}

namespace {

QByteArray readWholeFile(const char *path)
{
    QByteArray data;
    FILE *file = std::fopen(path, "re");
    if (!file)
        return data;
    char buffer[16384];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        data.append(buffer, static_cast<qsizetype>(got));
    std::fclose(file);
    return data;
}

struct ListeningSockets
{
    std::vector<QByteArray> inodes; // "socket:[<inode>]", as /proc/<pid>/fd shows them
    std::optional<uint> uid;        // the owner of the first one
};

using SocketsByPort = std::map<quint16, ListeningSockets>;

void noteSocket(SocketsByPort &found, quint16 port, const QByteArray &inode, uint uid)
{
    const auto it = found.find(port);
    if (it == found.end())
        return;
    it->second.inodes.push_back("socket:[" + inode + "]");
    if (!it->second.uid)
        it->second.uid = uid;
}

// Inodes of the sockets listening on the ports, from one /proc/net/tcp-style table.
void collectListeningInodes(const char *table, SocketsByPort &found)
{
    for (const ListeningSocket &socket : parseProcNetTcp(readWholeFile(table)))
        noteSocket(found, socket.port, socket.inode, socket.uid);
}

// The same from the kernel's socket diagnostics over netlink, as ss does: far cheaper than
// having the kernel print its whole TCP table. False when netlink is not available.
bool collectListeningInodesByNetlink(SocketsByPort &found)
{
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return false;
    bool complete = true;
    for (const int family : {AF_INET, AF_INET6}) {
        struct
        {
            nlmsghdr header;
            inet_diag_req_v2 request;
        } query{};
        query.header.nlmsg_len = sizeof query;
        query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
        query.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        query.request.sdiag_family = static_cast<__u8>(family);
        query.request.sdiag_protocol = IPPROTO_TCP;
        query.request.idiag_states = 1U << TCP_LISTEN;
        if (::send(fd, &query, sizeof query, 0) != static_cast<ssize_t>(sizeof query)) {
            complete = false;
            break;
        }
        bool done = false;
        alignas(nlmsghdr) char buffer[16384];
        while (!done) {
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) {
                complete = false;
                break;
            }
            std::vector<ListeningSocket> sockets;
            const SockDiagReply reply =
                parseSockDiagReply(buffer, static_cast<size_t>(got), sockets);
            for (const ListeningSocket &socket : sockets)
                noteSocket(found, socket.port, socket.inode, socket.uid);
            if (reply == SockDiagReply::Error)
                complete = false;
            done = reply != SockDiagReply::More;
        }
        if (!complete)
            break;
    }
    ::close(fd);
    return complete;
}

bool processHoldsSocket(long pid, const std::vector<QByteArray> &sockets)
{
    char dirPath[64];
    std::snprintf(dirPath, sizeof dirPath, "/proc/%ld/fd", pid);
    DIR *dir = ::opendir(dirPath);
    if (!dir)
        return false;
    bool found = false;
    char linkPath[384];
    char target[64];
    while (!found) {
        const dirent *entry = ::readdir(dir);
        if (!entry)
            break;
        if (entry->d_name[0] == '.')
            continue;
        std::snprintf(linkPath, sizeof linkPath, "%s/%s", dirPath, entry->d_name);
        const ssize_t length = ::readlink(linkPath, target, sizeof target - 1);
        if (length <= 0 || std::strncmp(target, "socket:[", 8) != 0)
            continue;
        target[length] = '\0';
        for (const QByteArray &socket : sockets) {
            if (socket == target) {
                found = true;
                break;
            }
        }
    }
    ::closedir(dir);
    return found;
}

// The process start time (clock ticks after boot), which tells a process from a later one that
// got the same number.
unsigned long long startTimeOf(long pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    const QByteArray stat = readWholeFile(path);
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0)
        return 0;
    // Fields after the command name, starting with the state (field 3); the start time is 22.
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    return fields.size() > 19 ? fields[19].toULongLong() : 0;
}

// The owner last found for each port, with the sockets it held then. While the port's listening
// sockets are the same ones and that very process still lives, it still holds them: walking its
// descriptors again is spared.
struct KnownOwner
{
    long pid = 0;
    unsigned long long startTime = 0;
    std::vector<QByteArray> sockets;
};
std::mutex knownOwnersMutex;
std::map<quint16, KnownOwner> knownOwners;

KnownOwner knownOwner(quint16 port)
{
    const std::lock_guard lock(knownOwnersMutex);
    const auto it = knownOwners.find(port);
    return it == knownOwners.end() ? KnownOwner{} : it->second;
}

void rememberOwner(quint16 port, long pid, const std::vector<QByteArray> &sockets)
{
    const std::lock_guard lock(knownOwnersMutex);
    knownOwners[port] = {pid, startTimeOf(pid), sockets};
}

} // namespace

namespace {

std::optional<PortListener> ownerOf(quint16 port, const ListeningSockets &sockets,
                                    qint64 likelyOwner)
{
    if (sockets.inodes.empty())
        return std::nullopt;
    PortListener listener;
    listener.uid = sockets.uid.value_or(0);
    const KnownOwner known = knownOwner(port);
    if (known.pid > 0 && known.sockets == sockets.inodes &&
        startTimeOf(known.pid) == known.startTime) {
        listener.pid = static_cast<qint32>(known.pid);
        return listener;
    }
    for (const long hint : {static_cast<long>(likelyOwner), known.pid}) {
        if (hint > 0 && processHoldsSocket(hint, sockets.inodes)) {
            rememberOwner(port, hint, sockets.inodes);
            listener.pid = static_cast<qint32>(hint);
            return listener;
        }
    }

    DIR *proc = ::opendir("/proc");
    if (!proc)
        return listener;
    while (const dirent *entry = ::readdir(proc)) {
        if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0])))
            continue;
        const long pid = std::strtol(entry->d_name, nullptr, 10);
        if (pid > 0 && processHoldsSocket(pid, sockets.inodes)) {
            listener.pid = static_cast<qint32>(pid);
            rememberOwner(port, pid, sockets.inodes);
            break;
        }
    }
    ::closedir(proc);
    return listener;
}

} // namespace

std::vector<std::optional<PortListener>> portListeners(const std::vector<PortQuery> &queries)
{
    SocketsByPort found;
    for (const PortQuery &query : queries)
        found[query.port];
    if (!collectListeningInodesByNetlink(found)) {
        for (auto &entry : found)
            entry.second = {};
        collectListeningInodes("/proc/net/tcp", found);
        collectListeningInodes("/proc/net/tcp6", found);
    }
    std::vector<std::optional<PortListener>> listeners;
    for (const PortQuery &query : queries)
        listeners.push_back(ownerOf(query.port, found[query.port], query.likelyOwner));
    return listeners;
}

std::optional<PortListener> portListener(quint16 port, qint64 likelyOwner)
{
    return portListeners({{port, likelyOwner}}).front();
}

namespace {

// Connects to 127.0.0.1:port; with wantGreeting, also waits for the server's first byte.
bool connectLocal(quint16 port, int timeoutMs, bool wantGreeting)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = false;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 ||
        errno == EINPROGRESS) {
        if (wantGreeting) {
            pollfd readable{fd, POLLIN, 0};
            char byte;
            ok = ::poll(&readable, 1, timeoutMs) == 1 && (readable.revents & POLLIN) &&
                 ::recv(fd, &byte, 1, 0) == 1;
        } else {
            pollfd writable{fd, POLLOUT, 0};
            int error = 0;
            socklen_t length = sizeof error;
            ok = ::poll(&writable, 1, timeoutMs) == 1 &&
                 ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
        }
    }
    ::close(fd);
    return ok;
}

} // namespace

QStringList exposedListenAddresses(quint16 port)
{
    constexpr const char *kListenState = "0A";
    QStringList exposed;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        const QList<QByteArray> lines = readWholeFile(table).split('\n');
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QList<QByteArray> fields = lines[i].simplified().split(' ');
            if (fields.size() < 4 || fields[3] != kListenState)
                continue;
            const QList<QByteArray> local = fields[1].split(':');
            bool ok = false;
            if (local.size() != 2 || local[1].toUInt(&ok, 16) != port || !ok)
                continue;
            // The kernel prints each 32-bit word of the address as a number in the machine's
            // byte order; stored back as a number, it gives the address's bytes again. An IPv6
            // socket may carry an IPv4 address (::ffff:127.0.0.1): that word alone counts.
            QByteArray hex = local[0];
            if (hex.size() == 32 && hex.startsWith("0000000000000000FFFF0000"))
                hex = hex.right(8);
            if (hex.size() != 8 && hex.size() != 32)
                continue;
            unsigned char bytes[16] = {};
            bool valid = true;
            for (qsizetype w = 0; w < hex.size() / 8; ++w) {
                const quint32 word = hex.mid(w * 8, 8).toUInt(&ok, 16);
                valid = valid && ok;
                std::memcpy(bytes + 4 * w, &word, 4);
            }
            const bool v4 = hex.size() == 8;
            const bool loopback = v4 ? bytes[0] == 127
                                     : std::all_of(bytes, bytes + 15, [](unsigned char b) {
                                           return b == 0;
                                       }) && bytes[15] == 1;
            char printed[INET6_ADDRSTRLEN] = {};
            if (!valid || loopback ||
                !inet_ntop(v4 ? AF_INET : AF_INET6, bytes, printed, sizeof printed))
                continue;
            const QString text = QString::fromLatin1(printed);
            if (!exposed.contains(text))
                exposed << text;
        }
    }
    return exposed;
}

bool portAccepts(quint16 port, int timeoutMs)
{
    return connectLocal(port, timeoutMs, false);
}

bool portGreets(quint16 port, int timeoutMs)
{
    return connectLocal(port, timeoutMs, true);
}

std::optional<qint32> listeningProcessId(quint16 port)
{
    const auto listener = portListener(port);
    return listener ? listener->pid : std::nullopt;
}

} // namespace tavex
