#pragma once

#include "PhpServerLauncher.h"
#include "stack/RuntimeLayout.h"

#include <QString>
#include <QStringList>
#include <functional>

namespace tavex {

// Texts and patterns of the start-all and stop-all sequences.

// Ends every PHP built-in server that listens on all interfaces.
inline const QString kPhpServerKillPattern = QStringLiteral("php -S 0.0.0.0:");

QString startAllFirstText(const QString &root);
// The progress block while the sequence starts the next service: the results so far, one line
// each (empty ones too), then "正在启动 <next>...".
QString startAllProgressText(const QStringList &resultsSoFar, const QString &nextService,
                             const QString &root);
QString startAllResultBlock(const QStringList &results, const QString &phpDisplay,
                            const QString &root);

QString stopAllFirstText(const QString &root);
QString stopAllResultBlock(const QStringList &results);

// The step results as block entries: trimmed, empty ones left out.
QStringList trimmedEntries(const QStringList &results);

// What a start-all or stop-all run gives back: the step results in order, untrimmed, as the
// result block shows them, and whether every step did its part. A sequence that gave up waiting
// for another one has that one entry and did not succeed.
struct SequenceResult
{
    QStringList results;
    bool succeeded = true;
};

// The layout of the panel root as it resolves at the moment of the call: each step reads it anew.
using LayoutSource = std::function<RuntimeLayout()>;
// Told, before each service starts, the results so far and the name of that service.
using StartProgress =
    std::function<void(const QStringList &resultsSoFar, const QString &nextService)>;

// The body of start-all, run on a worker thread: the folders, the leftover servers, the option
// file, the initialisation and the three starts, in that order, each PHP server waited for until
// it listens or ends. Holds the sequence lock while it runs.
SequenceResult runStartAll(const LayoutSource &currentLayout, const StartProgress &progress,
                           const ArchMismatchSink &onArchMismatch);
// The body of stop-all, run on a worker thread: the two PHP stops, the database stop and the two
// kills, then a bounded wait for the signalled servers to end.
SequenceResult runStopAll(const LayoutSource &currentLayout);

// How long start-all waits for a PHP server it launched to listen on its port or end.
constexpr int kPhpListenWaitMs = 2000;
// After a launch that was accepted: empty once the server listens on its port (or still runs
// when the wait ends), else the failure entry with the last complaint of the server's log.
QString waitForPhpServer(const PhpServerSpec &server, int timeoutMs = kPhpListenWaitMs);

} // namespace tavex
