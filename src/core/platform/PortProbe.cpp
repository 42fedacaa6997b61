#include "PortProbe.h"

#include <QByteArray>
#include <QList>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace tavex {

namespace {

constexpr const char *kListenState = "0A";

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

// Inodes of the sockets listening on the port, from one /proc/net/tcp-style table.
void collectListeningInodes(const char *table, quint16 port, std::vector<QByteArray> &inodes)
{
    const QByteArray text = readWholeFile(table);
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
        if (ok && localPort == port && fields[9] != "0")
            inodes.push_back("socket:[" + fields[9] + "]");
    }
}

// The same from the kernel's socket diagnostics over netlink, as ss does: far cheaper than
// having the kernel print its whole TCP table. False when netlink is not available.
bool collectListeningInodesByNetlink(quint16 port, std::vector<QByteArray> &inodes)
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
            auto *message = reinterpret_cast<nlmsghdr *>(buffer);
            for (int left = static_cast<int>(got); NLMSG_OK(message, left);
                 message = NLMSG_NEXT(message, left)) {
                if (message->nlmsg_type == NLMSG_DONE) {
                    done = true;
                    break;
                }
                if (message->nlmsg_type == NLMSG_ERROR) {
                    complete = false;
                    done = true;
                    break;
                }
                const auto *socket = static_cast<const inet_diag_msg *>(NLMSG_DATA(message));
                if (ntohs(socket->id.idiag_sport) == port && socket->idiag_inode != 0)
                    inodes.push_back("socket:[" + QByteArray::number(socket->idiag_inode) + "]");
            }
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

// The last owner found; tried first next time and always verified, so the answer is fresh.
std::atomic<long> lastOwner{0};

} // namespace

std::optional<qint32> listeningProcessId(quint16 port)
{
    std::vector<QByteArray> sockets;
    if (!collectListeningInodesByNetlink(port, sockets)) {
        sockets.clear();
        collectListeningInodes("/proc/net/tcp", port, sockets);
        collectListeningInodes("/proc/net/tcp6", port, sockets);
    }
    if (sockets.empty())
        return std::nullopt;

    const long hint = lastOwner.load(std::memory_order_relaxed);
    if (hint > 0 && processHoldsSocket(hint, sockets))
        return static_cast<qint32>(hint);

    DIR *proc = ::opendir("/proc");
    if (!proc)
        return std::nullopt;
    std::optional<qint32> owner;
    while (const dirent *entry = ::readdir(proc)) {
        if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0])))
            continue;
        const long pid = std::strtol(entry->d_name, nullptr, 10);
        if (pid <= 0 || pid == hint)
            continue;
        if (processHoldsSocket(pid, sockets)) {
            owner = static_cast<qint32>(pid);
            lastOwner.store(pid, std::memory_order_relaxed);
            break;
        }
    }
    ::closedir(proc);
    return owner;
}

} // namespace tavex
