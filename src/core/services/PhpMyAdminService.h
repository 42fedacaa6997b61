#pragma once

#include "PhpServerLauncher.h"
#include "stack/RuntimeLayout.h"

#include <QString>

namespace tavex {

// phpMyAdmin's configuration as the panel writes it when none exists: ten lines, 317 bytes.
QString phpMyAdminConfigText();

// Writes the configuration when missing (a user's file is never touched) and starts the server
// on port 900. "phpMyAdmin: 未找到目录 <dir>" when phpMyAdmin is not there.
QString startPhpMyAdmin(const RuntimeLayout &layout, const ArchMismatchSink &onArchMismatch);
QString stopPhpMyAdmin(const RuntimeLayout &layout);

} // namespace tavex
