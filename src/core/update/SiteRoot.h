#pragma once

#include <QString>
#include <optional>

namespace tavex {

// Finding the site root in an unpacked package. Only real folders count (a symbolic link is never
// a "www", a wrapper or a data folder), hidden entries are never looked at, and listings are
// sorted by name so that ties are decided the same way on every run.

// The best "www" folder holding "index.php" anywhere below dir (never dir itself): the highest
// completeness wins, then the longer path, then the first found.
std::optional<QString> wwwWithIndex(const QString &dir);

// 800 for install/index.php, 200 each for include and LibTavex, 50 for Data (or else data).
int wwwCompleteness(const QString &candidate);

// index.php beside one of include, LibTavex, Data, data.
bool looksLikeWebRoot(const QString &dir);

// The site root: a "www" candidate, else dir itself when it looks like a site root, else the same
// search in its single subfolder, at most five levels of wrappers down.
std::optional<QString> resolveUpdateWebSource(const QString &root);

} // namespace tavex
