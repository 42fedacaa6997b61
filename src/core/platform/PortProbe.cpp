#include "PortProbe.h"

#include <QByteArray>
#include <QList>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
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
    collectListeningInodes("/proc/net/tcp", port, sockets);
    collectListeningInodes("/proc/net/tcp6", port, sockets);
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
