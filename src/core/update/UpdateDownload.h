#pragma once

#include "PackageTransfer.h"

#include <QDateTime>
#include <QString>
#include <QUrl>

namespace tavex {

// The base address with the query item t = the local date as yyyyMMdd in ASCII digits (Gregorian,
// whatever the user's locale), beside any query the base already has. The base unchanged when
// the result is not valid.
QUrl updateZipDownloadURL(const QUrl &base, const QDateTime &now = QDateTime::currentDateTime());

// Downloads the address into packagePath. The body goes, as it arrives, to a fresh temporary file
// beside packagePath, which replaces what stood there (a file, a link, or a folder with its
// contents) only once the transfer is whole; on every other path the temporary file is removed.
// An answer with an HTTP error status is no download error: its body becomes the package. Must run
// on a thread without a running event loop of its own (it runs a local one). A cancellation
// request ends it early; the text then begins cancelledPrefix(). Empty on success, else the
// description of the error (a download module that cannot be loaded included).
QString downloadPackage(const QUrl &url, const QString &packagePath,
                        const DownloadOptions &options = {});

} // namespace tavex
