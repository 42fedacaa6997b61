#pragma once

#include "process/FileHelpers.h"

#include <QString>
#include <optional>
#include <sys/types.h>

namespace tavex {

// What the zip's central directory says about its entries, read before anything is unpacked.
struct ZipDirectory
{
    bool isZip = false;
    // Some name without the UTF-8 flag is not valid UTF-8: Chinese Windows tools write GBK so.
    bool hasNonUtf8UnflaggedName = false;
    // The first entry that must not be unpacked: an absolute path or a ".." component, or a type
    // other than file, folder and symbolic link (devices, FIFOs). Empty when there is none.
    QString unsafeEntry;
    QString unsafeReason;
    // The sum of the sizes the entries say they unpack to (Zip64 sizes included); the largest
    // value when the sum does not fit.
    quint64 declaredSize = 0;
};
ZipDirectory readZipDirectory(const QString &packagePath);

// Unpacks the package into the folder with /usr/bin/bsdtar. Entries never get another owner or
// set-id bits. Unflagged names are read as GBK when one of them is not valid UTF-8. A package
// whose declared size, twice over (the site's copy follows), does not fit on the folder's file
// system is refused before anything is unpacked. A failure or a cancellation request removes
// what was unpacked, so the folder is left empty. Empty on success, else "解压失败: ..." (the
// tool's failure as "解压失败: ditto 退出码 N，output"), or cancelledPrefix() + ... when cancelled.
QString unzipUpdateArchive(const QString &packagePath, const QString &destination);

// Removes "__MACOSX" entries and "._" companion files below the folder, longest path first,
// without following links and through read-only folders. Empty on success, else the first error.
QString removeMacOSXArtifacts(const QString &directory);

// Why the unpacked tree must not be used: a symbolic link that leads outside it (it would reach
// the served site), an entry that is no file, folder or link, or one that cannot be examined (a
// path too long for the system). Empty when the tree is fine.
QString extractedTreeProblem(const QString &root);

// The first symbolic link under the folder that leads outside it, as "relative path -> target":
// an absolute target, a relative one that climbs out, or one that resolves to a place outside.
// Empty when no link leaves.
QString firstLinkLeaving(const QString &root);

} // namespace tavex
