#pragma once

#include <QString>
#include <QStringList>

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

} // namespace tavex
