// The site-root search over a tree built from the input. Each entry is one byte for its kind
// (file, folder or symbolic link) and depth, then one byte per name from a small list of the
// names the search cares about; a link takes one more byte for its target. Links lead inside
// the tree or to a canary folder beside it that holds a site of its own.
#include "FuzzSupport.h"
#include "update/SiteRoot.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace {

const char *const kNames[] = {"www",     "index.php", "include", "LibTavex", "Data",     "data",
                              "install", "site",      "a",       ".hidden",  "__MACOSX", "b"};
const char *const kTargets[] = {"..",    ".",     "www", "index.php", "../outside", "../../outside",
                                "a/www", "../www"};

bool isLink(const QString &path)
{
    struct stat st
    {
    };
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISLNK(st.st_mode);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QTemporaryDir scratch;
    if (!scratch.isValid())
        std::abort();
    const QString outside = scratch.path() + QStringLiteral("/outside");
    const QString root = scratch.path() + QStringLiteral("/tree");
    QDir().mkpath(outside + QStringLiteral("/include"));
    QFile(outside + QStringLiteral("/index.php")).open(QIODevice::WriteOnly);
    QDir().mkpath(root);

    size_t at = 0;
    for (int entries = 0; at < size && entries < 48; ++entries) {
        const uint8_t head = data[at++];
        const int kind = head % 3;
        const int depth = 1 + (head / 3) % 5;
        QString path = root;
        for (int i = 0; i < depth && at < size; ++i)
            path += QLatin1Char('/') + QLatin1String(kNames[data[at++] % std::size(kNames)]);
        if (path == root)
            break;
        QDir().mkpath(QFileInfo(path).path()); // fails quietly below a file or a link
        if (kind == 0)
            QFile(path).open(QIODevice::WriteOnly);
        else if (kind == 1)
            QDir().mkpath(path);
        else if (at < size)
            QFile::link(QLatin1String(kTargets[data[at++] % std::size(kTargets)]), path);
    }

    const std::optional<QString> found = tavex::resolveUpdateWebSource(root);
    if (found) {
        fuzz::check(*found == root || found->startsWith(root + QLatin1Char('/')),
                    "the site root lies in the tree");
        fuzz::check(QFileInfo::exists(*found + QStringLiteral("/index.php")),
                    "the site root holds index.php");
        for (QString step = *found; step != root; step = QFileInfo(step).path()) {
            fuzz::check(!isLink(step), "no link on the way to the site root");
            fuzz::check(!QFileInfo(step).fileName().startsWith(QLatin1Char('.')),
                        "no hidden folder on the way to the site root");
        }
    }
    // The canary is left as it was.
    fuzz::check(QFileInfo::exists(outside + QStringLiteral("/index.php")), "canary intact");
    return 0;
}
