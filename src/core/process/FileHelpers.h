#pragma once

#include <QString>
#include <optional>

namespace tavex {

// The whole file as UTF-8 text; absent when nothing is there or it cannot be read or decoded.
std::optional<QString> readTextFile(const QString &path);

// Creates the directory with its missing parents; an existing directory is no error.
// Empty on success, else the system's description of the error.
QString makeDir(const QString &path);

// Writes UTF-8 text atomically, replacing any file there; parents are not created.
// Empty on success, else the system's description of the error.
QString tryWrite(const QString &path, const QString &content);

// UTF-8 text as a string, or absent when the bytes are not valid UTF-8.
std::optional<QString> decodeUtf8(const QByteArray &bytes);

} // namespace tavex
