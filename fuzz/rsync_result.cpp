// How rsync's result text is classified.
#include "FuzzSupport.h"
#include "process/Cancellation.h"
#include "update/SiteSync.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = fuzz::text(data, size);
    const bool failed = tavex::rsyncOutputIndicatesHardFailure(text);
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        fuzz::check(!failed, "no output is no failure");
    if (trimmed.startsWith(QStringLiteral("执行失败: ")) ||
        trimmed.startsWith(tavex::cancelledPrefix()))
        fuzz::check(failed, "a run that did not start or was cancelled failed");
    return 0;
}
