// The reasons read from the end of PHP's and MariaDB's logs.
#include "FuzzSupport.h"
#include "services/ServiceDiagnosis.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = fuzz::scratchFile(data, size);
    for (const QString &reason :
         {tavex::lastPhpLogComplaint(path), tavex::lastDatabaseLogComplaint(path)})
        fuzz::check(!reason.contains(QLatin1Char('\n')), "a reason is one line");
    return 0;
}
