// Fuzz target: the member check of the configuration archive. Whatever the bytes, the check
// answers without reading past them; an accepted archive holds only plain names.
#include "FuzzSupport.h"
#include "QTXConfigArchive.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string why;
    const bool ok = CheckConfigurationTar(data, size, why);
    if (!ok && why.empty())
        kovefuzz::Fail("a refused archive without a reason");
    return 0;
}
