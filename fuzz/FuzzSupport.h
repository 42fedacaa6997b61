#pragma once

// Shared by the fuzz targets: a scratch file for parsers that read a path, and a check that
// stops the run with the input kept as a crash.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace fuzz {

// One scratch file per process, rewritten with each input and removed at exit.
inline QString scratchFile(const uint8_t *data, size_t size)
{
    static const QString path = [] {
        QByteArray pattern = QFile::encodeName(QDir::tempPath()) + "/tavex-fuzz-XXXXXX";
        const int fd = ::mkstemp(pattern.data());
        if (fd < 0)
            std::abort();
        ::close(fd);
        static QByteArray remove = pattern;
        std::atexit([] { ::unlink(remove.constData()); });
        return QFile::decodeName(pattern);
    }();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
        std::abort();
    return path;
}

[[noreturn]] inline void fail(const char *what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

inline void check(bool condition, const char *what)
{
    if (!condition)
        fail(what);
}

inline QString text(const uint8_t *data, size_t size)
{
    return QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
}

} // namespace fuzz
