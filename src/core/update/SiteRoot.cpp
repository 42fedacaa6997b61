#include "SiteRoot.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace tavex {

namespace {

constexpr int kMaxWrapperLevels = 5;

bool holds(const QString &dir, const char *entry)
{
    return QFileInfo::exists(dir + QLatin1Char('/') + QLatin1String(entry));
}

// Real, visible subfolders in name order; symbolic links to folders are left out.
QStringList subfolders(const QString &dir, bool *listed = nullptr)
{
    QDir directory(dir);
    if (listed)
        *listed = directory.isReadable();
    return directory.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name);
}

void collectWww(const QString &dir, QStringList &candidates)
{
    for (const QString &name : subfolders(dir)) {
        const QString path = dir + QLatin1Char('/') + name;
        if (name == QLatin1String("www") && holds(path, "index.php"))
            candidates << path;
        collectWww(path, candidates);
    }
}

} // namespace

int wwwCompleteness(const QString &candidate)
{
    int score = 0;
    if (holds(candidate, "install/index.php"))
        score += 800;
    if (holds(candidate, "include"))
        score += 200;
    if (holds(candidate, "LibTavex"))
        score += 200;
    if (holds(candidate, "Data") || holds(candidate, "data"))
        score += 50;
    return score;
}

std::optional<QString> wwwWithIndex(const QString &dir)
{
    QStringList found;
    collectWww(dir, found);
    // A www inside another one (a vendor's demo in the site) never wins over the outer one.
    QStringList candidates;
    for (const QString &candidate : std::as_const(found)) {
        const bool nested = std::any_of(found.cbegin(), found.cend(), [&](const QString &outer) {
            return candidate.startsWith(outer + QLatin1Char('/'));
        });
        if (!nested)
            candidates << candidate;
    }
    if (candidates.isEmpty())
        return std::nullopt;
    QString best = candidates.first();
    int bestScore = wwwCompleteness(best);
    for (qsizetype i = 1; i < candidates.size(); ++i) {
        const int score = wwwCompleteness(candidates.at(i));
        if (score > bestScore || (score == bestScore && best.size() < candidates.at(i).size())) {
            best = candidates.at(i);
            bestScore = score;
        }
    }
    return best;
}

bool looksLikeWebRoot(const QString &dir)
{
    return holds(dir, "index.php") && (holds(dir, "include") || holds(dir, "LibTavex") ||
                                       holds(dir, "Data") || holds(dir, "data"));
}

std::optional<QString> resolveUpdateWebSource(const QString &root)
{
    QString current = root;
    for (int level = 0; level <= kMaxWrapperLevels; ++level) {
        if (auto candidate = wwwWithIndex(current))
            return candidate;
        if (looksLikeWebRoot(current))
            return current;
        bool listed = false;
        const QStringList folders = subfolders(current, &listed);
        if (!listed || holds(current, "index.php") || folders.size() != 1)
            return std::nullopt;
        current += QLatin1Char('/') + folders.first();
    }
    return std::nullopt;
}

} // namespace tavex
