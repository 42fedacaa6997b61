#pragma once

#include "stack/RuntimeLayout.h"

#include <QString>

namespace tavex {

// The database's option file for a root: thirteen lines, no final line feed.
QString mysqlOptionFileText(const QString &root);

// Writes the option file for the layout's root. A root whose path holds a line break or another
// control character is refused: it would add lines of its own to the file.
QString writeMysqlOptionFile(const RuntimeLayout &layout);

// Empty when the option file is a regular file holding exactly the text for the root. Otherwise
// the message that the step (the initialiser or the server start) gives instead of running: a
// database started without its option file would fall back to the system's own data.
QString mysqlOptionFileProblem(const RuntimeLayout &layout, const QString &step);

// The path with line breaks and other control characters written as escapes, for the log.
QString printablePath(const QString &path);

// Runs the initialiser once, when the data directory has no system database yet. Returns its
// whole output (or why it could not start); empty when nothing had to be done.
QString ensureMysqlInitialized(const RuntimeLayout &layout, const QString &defaultsFile);

// Launches the server, which detaches itself. Empty once launched, else the launch error.
QString startMysql(const RuntimeLayout &layout, const QString &defaultsFile);

// Asks the server to shut down and waits, bounded, for the tool. Empty once it ran, else the
// launch error, or a message when it had to be ended after the time limit.
QString stopMysql(const RuntimeLayout &layout, int timeoutMs = 60000);

// The path with every character that means something in an extended regular expression escaped,
// so it matches only itself.
QString escapeExtendedRegex(const QString &text);

// Ends exactly this root's database server, whatever characters the root holds.
QString mysqlKillPattern(const QString &root);

} // namespace tavex
