#include "ErrorSummary.h"

#include <QStringList>

namespace tavex {

QString errorSummaryOf(const QString &logs)
{
    static const QStringList keywords = {QStringLiteral("error"),
                                         QStringLiteral("Error"),
                                         QStringLiteral("错误"),
                                         QStringLiteral("failed"),
                                         QStringLiteral("denied"),
                                         QStringLiteral("not found"),
                                         QStringLiteral("无法"),
                                         QStringLiteral("失败"),
                                         QStringLiteral("Operation not permitted")};
    constexpr qsizetype kMaxLines = 8;

    QStringList selected;
    for (const QString &line : logs.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const bool matches = std::any_of(keywords.cbegin(), keywords.cend(), [&](const QString &k) {
            return line.contains(k, Qt::CaseSensitive);
        });
        if (matches) {
            selected << line;
            if (selected.size() == kMaxLines)
                break;
        }
    }
    return selected.join(QLatin1Char('\n'));
}

} // namespace tavex
