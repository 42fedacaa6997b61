#pragma once

#include <QString>
#include <optional>
#include <sys/types.h>

namespace tavex {

// The whole file as UTF-8 text; absent when nothing is there or it cannot be read or decoded.
std::optional<QString> readTextFile(const QString &path);

// Creates the directory with its missing parents; an existing directory is no error.
// Empty on success, else the system's description of the error.
QString makeDir(const QString &path);

// Writes UTF-8 text atomically, replacing any regular file there; parents are not created.
// Never writes through a symbolic link: a link at the path or at its folder is refused, and so is
// anything there that is not a regular file. Empty on success, else why not.
QString tryWrite(const QString &path, const QString &content);

// Whether a regular file (not a link) stands at the path and holds exactly the text.
bool holdsExactly(const QString &path, const QString &content);

// A file opened for appending, created when missing. The descriptor belongs to the caller.
struct AppendFile
{
    int fd = -1;
    QString error; // why it could not be opened, when fd is -1
};
// Opens the file for appending without following a symbolic link at the path or at its folder,
// and only when it is a regular file (a FIFO or a device there is refused, never waited on).
AppendFile openForAppend(const QString &path);

// Removes a file, a link or a whole tree. Never follows a symbolic link: a link is unlinked, its
// target left alone. Folders without write or search permission are opened up on the way, so a
// read-only folder (mode 0555) does not stop the removal. Nothing at the path is success.
// Empty on success, else the system's description of the first error.
QString removeTree(const QString &path);

// Whether this user could make a folder at the path (with its missing parents): the folder is
// there and writable, or the nearest folder above it that exists is.
bool canCreateDirectory(const QString &path);

// The type bits (S_IFDIR, S_IFLNK, ...) of what stands at the path, not following a link; 0 when
// nothing is there.
mode_t lstatType(const QString &path);

// Opens a folder without following a link at the path itself. The descriptor belongs to the
// caller; when it is -1, error says why (a link there is refused with symlinkRefusal).
struct OpenedDir
{
    int fd = -1;
    QString error;
};
OpenedDir openDirNoFollow(const QString &path);

// A random suffix for names that must not be guessed (temporary and test files).
QByteArray randomNameSuffix();

// "<path>: 目标是符号链接，已拒绝写入"
QString symlinkRefusal(const QString &path);

// Whether the text holds a line break or another control character (below U+0020, or DEL).
bool hasControlCharacter(const QString &text);

// The text with every control character but line feed and tab (C0, DEL and C1 U+0080..U+009F)
// shown as a visible escape, "\x1b" for ESC, so that names and output from outside cannot move
// the cursor, erase lines or retitle the terminal they are printed to.
QString visibleControlCharacters(const QString &text);

// UTF-8 text as a string, or absent when the bytes are not valid UTF-8.
std::optional<QString> decodeUtf8(const QByteArray &bytes);

// The bytes an ordinary user may still write on the file system that holds the path (what df
// calls available); absent when the path cannot be examined.
std::optional<quint64> freeDiskBytes(const QString &path);

// A size for people, in steps of 1024: "512 B", "2.0 GB", "180 MB" (one decimal below ten).
QString formatByteSize(quint64 bytes);

// "磁盘空间不足，可用 <size>" when the file system that holds the path is (almost) full, so that a
// failed write says why instead of the system's vaguer words; empty while there is room.
QString diskFullText(const QString &path);

} // namespace tavex
