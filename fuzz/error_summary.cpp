// The error summary of the log.
#include "FuzzSupport.h"
#include "diagnostics/ErrorSummary.h"

#include <QStringList>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString logs = fuzz::text(data, size);
    const QString summary = tavex::errorSummaryOf(logs);
    if (summary.isEmpty())
        return 0;
    const QStringList lines = summary.split(QLatin1Char('\n'));
    fuzz::check(lines.size() <= 8, "at most eight lines");
    const QStringList logLines = logs.split(QLatin1Char('\n'));
    qsizetype from = 0;
    for (const QString &line : lines) {
        fuzz::check(!line.isEmpty(), "no empty line");
        const qsizetype at = logLines.indexOf(line, from);
        fuzz::check(at >= 0, "each line is a line of the log, in log order");
        from = at + 1;
    }
    return 0;
}
