#include "LogBlock.h"

namespace tavex {

QString buildLogBlock(const QString &title, const QStringList &entries, const QStringList &footer)
{
    QStringList lines{title};
    for (const QString &entry : entries) {
        if (!entry.isEmpty())
            lines << entry;
    }
    if (!footer.isEmpty()) {
        lines << QString();
        for (const QString &line : footer) {
            if (!line.isEmpty())
                lines << line;
        }
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace tavex
