#pragma once

#include <QString>
#include <QStringList>

namespace tavex {

// A title line, the non-empty entries, and (when a footer is given at all) an empty line
// followed by the non-empty footer lines, joined by line feeds without a final one.
QString buildLogBlock(const QString &title, const QStringList &entries, const QStringList &footer);

// One line: the title, then the items joined by ", "; past twenty, the count of all.
QString listedLine(const QString &title, const QStringList &items);

} // namespace tavex
