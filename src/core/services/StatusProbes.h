#pragma once

#include "platform/PortProbe.h"
#include "stack/RuntimeLayout.h"
#include "stack/ServiceStatus.h"

#include <QString>
#include <optional>

namespace tavex {

// A process number as PID files and probes hold it: white space around it is ignored, then an
// optional sign and decimal digits only, within 32 bits.
std::optional<qint32> parsePid(const QString &text);

// The process listening on port 3306, or absent.
std::optional<qint32> mysqlPidFromPort3306();

// The listener on port 3306 when there is one, else a process whose command line holds the
// root's mysqld path.
bool isMariaDBRunning(const RuntimeLayout &layout);
// The same, given what the port probe already found on port 3306.
bool isMariaDBRunning(const RuntimeLayout &layout, std::optional<qint32> portOwner);

// A PID file stands for a running server only while that process is this service's own PHP
// server: its command line holds "-S" followed by "0.0.0.0:" and the service's port. A number
// reused by an unrelated process reads as stopped.
bool isOwnPhpServer(qint64 pid, const QString &port);
bool isPhpServerRunning(const QString &pidPath, const QString &port);

// This root's server of the port, found through the port's listener: its command line holds
// "-S 0.0.0.0:<port>" and "-t <documentRoot>". For a PID file that cannot be read (another
// user's folder) or names no server: a site that is served is never shown as stopped. When the
// listener's process cannot be seen, the servers of the listener's user are looked at.
std::optional<qint32> rootsPhpServerOnPort(const std::optional<PortListener> &listener,
                                           const QString &port, const QString &documentRoot);
bool isPhpWebRunning(const RuntimeLayout &layout);
bool isPhpMyAdminRunning(const RuntimeLayout &layout);

QString statusBlock(const ServiceStatus &status, const QString &root);

} // namespace tavex
