// Plays the child process that a test needs, chosen by the first argument:
//   exit N [TEXT]       print TEXT (escapes \n understood) and exit with status N
//   flood BYTES         write BYTES bytes of 'x' to stdout, then "END" to stderr, exit 0
//   invalid-utf8 [N]    write bytes that are not UTF-8, exit N (default 0)
//   ignore-term TEXT    print TEXT, ignore SIGTERM and sleep forever
//   hang TEXT           print TEXT and sleep until killed
//   fds                 list this process's open descriptors, one per line
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <unistd.h>

static std::string unescape(const char *text)
{
    std::string out;
    for (const char *p = text; *p; ++p) {
        if (p[0] == '\\' && p[1] == 'n') {
            out += '\n';
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

static void say(const char *text)
{
    const std::string out = unescape(text);
    fwrite(out.data(), 1, out.size(), stdout);
    fflush(stdout);
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return 64;
    const std::string mode = argv[1];
    if (mode == "exit") {
        if (argc > 3)
            say(argv[3]);
        return argc > 2 ? std::atoi(argv[2]) : 0;
    }
    if (mode == "flood" && argc > 2) {
        long remaining = std::atol(argv[2]);
        char block[65536];
        std::memset(block, 'x', sizeof block);
        while (remaining > 0) {
            const long n = remaining < long(sizeof block) ? remaining : long(sizeof block);
            fwrite(block, 1, static_cast<size_t>(n), stdout);
            remaining -= n;
        }
        fflush(stdout);
        fputs("END", stderr);
        return 0;
    }
    if (mode == "invalid-utf8") {
        const unsigned char bytes[] = {'o', 'k', 0xff, 0xfe, '\n'};
        fwrite(bytes, 1, sizeof bytes, stdout);
        fflush(stdout);
        return argc > 2 ? std::atoi(argv[2]) : 0;
    }
    if (mode == "ignore-term" || mode == "hang") {
        if (mode == "ignore-term")
            signal(SIGTERM, SIG_IGN);
        if (argc > 2)
            say(argv[2]);
        for (;;)
            pause();
    }
    if (mode == "fds") {
        DIR *dir = opendir("/proc/self/fd");
        if (!dir)
            return 1;
        const int own = dirfd(dir);
        while (const dirent *entry = readdir(dir)) {
            if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own)
                continue;
            printf("%s\n", entry->d_name);
        }
        closedir(dir);
        return 0;
    }
    return 64;
}
