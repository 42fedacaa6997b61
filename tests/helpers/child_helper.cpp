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
#include <dirent.h>
#include <string>
#include <unistd.h>

static void say(const char *text)
{
    std::string out;
    for (const char *p = text; *p; ++p)
        out += (p[0] == '\\' && p[1] == 'n') ? (++p, '\n') : *p;
    fwrite(out.data(), 1, out.size(), stdout);
    fflush(stdout);
}

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    const int status = argc > 2 ? std::atoi(argv[2]) : 0;
    if (mode == "exit" || mode == "invalid-utf8") {
        say(mode == "exit" ? (argc > 3 ? argv[3] : "") : "ok\xff\xfe\\n");
        return status;
    }
    if (mode == "flood" && argc > 2) {
        const std::string block(std::strtoul(argv[2], nullptr, 10), 'x');
        fwrite(block.data(), 1, block.size(), stdout);
        fflush(stdout);
        fputs("END", stderr);
        return 0;
    }
    if (mode == "ignore-term" || mode == "hang") {
        if (mode == "ignore-term")
            signal(SIGTERM, SIG_IGN);
        say(argc > 2 ? argv[2] : "");
        for (;;)
            pause();
    }
    if (mode == "fds") {
        DIR *dir = opendir("/proc/self/fd");
        while (const dirent *entry = dir ? readdir(dir) : nullptr) {
            if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != dirfd(dir))
                printf("%s\n", entry->d_name);
        }
        return dir ? closedir(dir) : 1;
    }
    return 64;
}
