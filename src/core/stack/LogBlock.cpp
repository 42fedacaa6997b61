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

QString listedLine(const QString &title, const QStringList &items)
{
    constexpr qsizetype kShown = 20;
    QString line = title + items.mid(0, kShown).join(QStringLiteral(", "));
    if (items.size() > kShown)
        line += QStringLiteral(" 等 %1 项").arg(items.size());
    return line;
}

} // namespace tavex
