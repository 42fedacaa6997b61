// The zip central-directory reader on any file content.
#include "FuzzSupport.h"
#include "update/UpdateArchive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const tavex::ZipDirectory zip = tavex::readZipDirectory(fuzz::scratchFile(data, size));
    fuzz::check(zip.unsafeEntry.isEmpty() || !zip.unsafeReason.isEmpty(),
                "an unsafe entry comes with its reason");
    return 0;
}
