// Fuzz target: the configuration archive as the hub takes it from flash. The bytes are read both
// as the compressed archive (uncompressed within its bound, then checked) and as the tar itself.
// Whatever the bytes, the check answers without reading past them; an accepted archive holds
// only plain names, and once prepared it still passes the check and keeps no set-ID bit.
#include "FuzzSupport.h"
#include "QTXConfigArchive.h"

#include <string>
#include <vector>

namespace
{
void CheckTar(std::string tar)
{
    std::string why;
    const bool ok =
        CheckConfigurationTar(reinterpret_cast<const unsigned char*>(tar.data()), tar.size(), why);
    if (!ok && why.empty())
        kovefuzz::Fail("a refused archive without a reason");
    std::vector<std::string> names;
    if (PrepareConfigurationTar(tar, names, why) != ok)
        kovefuzz::Fail("the check and the preparation disagree");
    if (!ok)
        return;
    for (const std::string& name : names)
        if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
            kovefuzz::Fail("an accepted member leaves the directory");
    if (!CheckConfigurationTar(reinterpret_cast<const unsigned char*>(tar.data()), tar.size(), why))
        kovefuzz::Fail("a prepared archive no longer passes the check");
    // Preparing again changes nothing: no mode is left with bits to clear.
    std::string again = tar;
    std::vector<std::string> namesAgain;
    if (!PrepareConfigurationTar(again, namesAgain, why) || again != tar || namesAgain != names)
        kovefuzz::Fail("a prepared archive still had bits to clear");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CheckTar(std::string(reinterpret_cast<const char*>(data), size));

    std::string tar = "stale";
    std::string why;
    if (InflateConfigurationArchive(data, size, tar, why))
    {
        if (tar.size() > QTX_CONFIG_ARCHIVE_MAX_UNPACKED)
            kovefuzz::Fail("uncompressed beyond the bound");
        CheckTar(tar);
    }
    else if (why.empty() || !tar.empty())
        kovefuzz::Fail("a refused archive without a reason, or with data");
    return 0;
}
