#pragma once

#include <QDateTime>
#include <QList>
#include <QSslCertificate>
#include <QString>
#include <QUrl>

namespace tavex {

struct DownloadOptions
{
    // Trusted beside the system's authorities; certificate checks are never turned off.
    QList<QSslCertificate> extraCaCertificates;
    // A transfer that receives nothing for this long is abandoned as a download error.
    int stallTimeoutMs = 60000;
};

// The base address + "?t=" + the local date as yyyyMMdd in ASCII digits (Gregorian, whatever the
// user's locale). The base unchanged when the result does not parse.
QUrl updateZipDownloadURL(const QUrl &base, const QDateTime &now = QDateTime::currentDateTime());

// Downloads the address into packagePath. The body goes, as it arrives, to a fresh temporary file
// beside packagePath, which replaces what stood there (a file, a link, or a folder with its
// contents) only once the transfer is whole; on every other path the temporary file is removed.
// An answer with an HTTP error status is no download error: its body becomes the package. Must run
// on a thread without a running event loop of its own (it runs a local one). Empty on success,
// else the description of the error.
QString downloadPackage(const QUrl &url, const QString &packagePath,
                        const DownloadOptions &options = {});

} // namespace tavex
