#pragma once

#include "platform/PortProbe.h"
#include "stack/RuntimeLayout.h"
#include "stack/ServiceStatus.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace tavex {

// What the panel can tell about one service beyond running or stopped: whether it runs as this
// panel started it, who holds its port otherwise, and why it is not running.
struct ServiceDiagnosis
{
    QString label; // "MySQL", "PHP Web", "phpMyAdmin"
    quint16 port = 0;
    bool ownRunning = false;   // this root's own server runs and holds the port
    std::optional<qint32> pid; // the own server's process, when one runs
    QString portOwner;         // the process on the port when it is not the own server
    QString reason;            // empty when it runs as started, or is simply stopped
    bool lasting = false;      // the cause does not go away by waiting: another program holds the
                               // port, or the server died saying why
    QString logPath;
};

struct StackDiagnosis
{
    ServiceDiagnosis mysql;
    ServiceDiagnosis phpWeb;
    ServiceDiagnosis phpMyAdmin;

    QList<const ServiceDiagnosis *> services() const { return {&mysql, &phpWeb, &phpMyAdmin}; }
    // The three reasons in the status order.
    QStringList reasons() const { return {mysql.reason, phpWeb.reason, phpMyAdmin.reason}; }
};

// One look at the system for a status refresh: the PID files and who listens on the three ports,
// so that the status and the diagnosis do not each probe again.
struct StackSnapshot
{
    std::optional<qint32> webPid; // what the PID files hold
    std::optional<qint32> phpMyAdminPid;
    // This root's server found holding the port when the PID file names none (it cannot be
    // read, or was removed by another user's stop).
    std::optional<qint32> webOnPort;
    std::optional<qint32> phpMyAdminOnPort;
    std::optional<PortListener> mysql; // who listens on each port
    std::optional<PortListener> web;
    std::optional<PortListener> phpMyAdmin;
};
StackSnapshot takeStackSnapshot(const RuntimeLayout &layout);

// The status the three probes give, from the snapshot.
ServiceStatus statusFrom(const RuntimeLayout &layout, const StackSnapshot &snapshot);

// Cheap enough for every status refresh: no program is run. The status is the one the probes
// just found.
StackDiagnosis diagnoseStack(const RuntimeLayout &layout, const ServiceStatus &status,
                             const StackSnapshot &snapshot);
StackDiagnosis diagnoseStack(const RuntimeLayout &layout, const ServiceStatus &status);

// The status and the diagnosis from one fresh look at the system.
struct StackState
{
    ServiceStatus status;
    StackDiagnosis diagnosis;

    bool running(int service) const
    {
        return service == 0   ? status.mysqlRunning
               : service == 1 ? status.phpWebRunning
                              : status.phpMyAdminRunning;
    }
};
StackState probeStack(const RuntimeLayout &layout);

// How long a server just launched may run before it is expected to listen: until then it is
// starting, not "running without listening".
constexpr int kPhpServerStartGraceMs = 2000;
constexpr int kDatabaseStartGraceMs = 15000;

// Whether the listener on a port is the process pid (or, when its process cannot be seen, one of
// the same user).
bool listensAs(qint32 pid, const std::optional<PortListener> &listener);

// Whether the service runs as this panel started it and answers on its port (the database with
// its greeting).
bool answersAsStarted(const ServiceDiagnosis &service);

// One line for a service that is not as it should be: "<label>: <why>". running says whether the
// status counts it as running (a stop that left it running, a start that did not bring it up).
QString serviceProblemLine(const ServiceDiagnosis &service, bool running);

// "python3（PID 1234，用户 ann）", or for a process that cannot be looked at, what is known.
QString describeProcess(std::optional<qint32> pid, uint uid);

// The last line of a server log that says why the latest start failed; empty when the latest
// start went well or nothing says so. Only the end of the file is read, and nothing before
// fromOffset (where the latest start began writing).
QString lastPhpLogComplaint(const QString &logPath, qint64 fromOffset = 0);
QString lastDatabaseLogComplaint(const QString &logPath, qint64 fromOffset = 0);

// Where a start begins writing to a server log, kept in a small file (markPath) under
// runtime/config so that a later reason never quotes an earlier run. logPath may be empty or
// missing: the log the start writes is then new, and read from its beginning.
void noteLogStart(const QString &markPath, const QString &logPath);
// The offset noted for that log; 0 when nothing is noted for this very file (another file, a
// file that was replaced or cut short).
qint64 logStartOffset(const QString &markPath, const QString &logPath);
// The mark files of the three services.
QString phpLogStartMarkPath(const QString &logPath);
QString databaseLogStartMarkPath(const RuntimeLayout &layout);

// The database's error log: the newest "*.err" file in the data directory, or empty.
QString databaseErrorLogPath(const RuntimeLayout &layout);

} // namespace tavex
