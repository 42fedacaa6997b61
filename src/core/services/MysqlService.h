#pragma once

#include "model/RuntimeLayout.h"

#include <QString>

namespace tavex {

// The database's option file for a root: thirteen lines, no final line feed.
QString mysqlOptionFileText(const QString &root);

// Runs the initialiser once, when the data directory has no system database yet. Returns its
// whole output (or why it could not start); empty when nothing had to be done.
QString ensureMysqlInitialized(const RuntimeLayout &layout, const QString &defaultsFile);

// Launches the server, which detaches itself. Empty once launched, else the launch error.
QString startMysql(const RuntimeLayout &layout, const QString &defaultsFile);

// Asks the server to shut down and waits for the tool. Empty once it ran, else the launch error.
QString stopMysql(const RuntimeLayout &layout);

// The path with every character that means something in an extended regular expression escaped,
// so it matches only itself.
QString escapeExtendedRegex(const QString &text);

// Ends exactly this root's database server, whatever characters the root holds.
QString mysqlKillPattern(const QString &root);

} // namespace tavex
