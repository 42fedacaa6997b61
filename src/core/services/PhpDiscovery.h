#pragma once

#include "stack/RuntimeLayout.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace tavex {

// The executable PHP programs of the known versions, in order of preference.
QStringList phpBinCandidates(const RuntimeLayout &layout);

// The first candidate, or the PHP 8.5 path when there is none.
QString phpBinDisplay(const RuntimeLayout &layout);

// The printable description of a failed launch: the error number, its text in the C locale (so
// the mismatch words are found whatever the user's language) and the program.
QString launchErrorDescription(int errorCode, const QString &program);

// The CPU-type mismatch message when the failure's description holds one of the mismatch words
// (in any letter case), else absent.
std::optional<QString> phpArchMismatchMessage(const QString &path, const QString &errorDescription);

} // namespace tavex
