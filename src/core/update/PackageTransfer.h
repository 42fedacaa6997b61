#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <functional>

class QIODevice;

namespace tavex {

struct DownloadOptions
{
    // Certificates (PEM) trusted beside the system's authorities; certificate checks are never
    // turned off.
    QByteArray extraCaCertificatesPem;
    // A transfer that brings fewer than minBytesPerSecond on average over any window of this
    // length is abandoned as a download error; a trickle would otherwise keep it alive for ever.
    int rateWindowMs = 60000;
    qint64 minBytesPerSecond = 1024;
};

// One transfer of a package over HTTP or HTTPS. It runs in a module of its own,
// <prefix>/lib/tavex-panel/tavex-download.so, the one part of the panel that needs Qt's network
// library: the window starts without loading that library and the ones it brings along, and the
// module is loaded when the first download begins.
struct PackageTransfer
{
    QUrl url;
    // The body goes here as it arrives.
    QIODevice *sink = nullptr;
    DownloadOptions options;
    // The failure when a cancellation request ends the transfer.
    QString cancelledText;
    std::function<bool()> cancellationRequested;
    // The failure when the sink refuses a write.
    std::function<QString()> writeFailure;
};

// The module's entry: failure is left empty when the whole body arrived (the body of an HTTP
// error status included), else it says why not. Must run on a thread without a running event
// loop of its own (it runs a local one).
using TransferPackageFunction = void (*)(const PackageTransfer &transfer, QString &failure);
inline constexpr char kTransferPackageSymbol[] = "tavex_transfer_package";

} // namespace tavex
