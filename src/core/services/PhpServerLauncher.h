#pragma once

#include "stack/RuntimeLayout.h"

#include <QString>
#include <functional>

namespace tavex {

// One PHP built-in server of the stack.
struct PhpServerSpec
{
    QString port;
    QString documentRoot;
    QString pidPath;
    QString logPath;
    QString label; // heads every message: "PHP Web", "phpMyAdmin"
};

PhpServerSpec phpWebServer(const RuntimeLayout &layout);
PhpServerSpec phpMyAdminServer(const RuntimeLayout &layout);

// Receives the CPU-type mismatch message of a candidate that could not run here; the caller
// hands it to the log.
using ArchMismatchSink = std::function<void(const QString &message)>;

// Starts "php -S 0.0.0.0:<port> -t <documentRoot>" from the root, with output appended to the
// server log, trying the PHP programs in order, and records the server's number in the PID file.
// Empty once a server was launched, else the message of the last candidate tried.
QString launchPhpServer(const RuntimeLayout &layout, const PhpServerSpec &server,
                        const ArchMismatchSink &onArchMismatch);

// Ends the server that the PID file names, when that process is this service's own server, and
// removes the file. A file that names no live server of this service is removed without any
// signal; content that is not a positive number signals nothing and stays, and so does the file
// of a server that cannot be signalled (another user's). Always empty.
QString stopPhpServer(const QString &pidPath, const QString &port);

QString startPhpWeb(const RuntimeLayout &layout, const ArchMismatchSink &onArchMismatch);
QString stopPhpWeb(const RuntimeLayout &layout);

} // namespace tavex
