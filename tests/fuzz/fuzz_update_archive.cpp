// Fuzz target: update archives. Whatever the bytes, opening, checking and unpacking the members
// answer without a crash or an overrun; a member whose name could leave the update directory is
// never unpacked, a member is only unpacked whole and matching its CRC, and never beyond the
// bound it is unpacked with.
#include "FuzzSupport.h"
#include "UpdateArchive.h"

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
const std::string& WorkDirectory()
{
    static std::string directory;
    if (directory.empty())
    {
        char pattern[] = "/tmp/fuzz_update_archive.XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            kovefuzz::Fail("no work directory");
        directory = pattern;
        static struct SRemove
        {
            ~SRemove() { std::system(("rm -rf '" + directory + "'").c_str()); }
        } remove;
    }
    return directory;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static kovefuzz::CMemoryFile file("update_archive");
    file.Set(data, size);
    const std::string& work = WorkDirectory();
    CUpdateArchive archive;
    if (!archive.Open(file.Path()))
    {
        if (archive.Why().empty())
            kovefuzz::Fail("a refused archive without a reason");
        return 0;
    }
    std::string bad;
    const bool whole = archive.CheckAll(bad);
    if (!whole && bad.empty())
        kovefuzz::Fail("a damaged archive without the member's name");
    const std::string out = work + "/member";
    for (const SArchiveMember& member : archive.Members())
    {
        const bool unpacked = archive.Extract(member.sName, out);
        if (unpacked && !IsSafeMemberName(member.sName))
            kovefuzz::Fail("a member with an unsafe name was unpacked");
        struct stat st;
        if (unpacked &&
            (stat(out.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) != member.uSize))
            kovefuzz::Fail("an unpacked member differs from its size");
        if (!unpacked && access(out.c_str(), F_OK) == 0)
            kovefuzz::Fail("a refused member left a file");
        if (!unpacked && archive.Why().empty())
            kovefuzz::Fail("a refused member without a reason");
        unlink(out.c_str());

        // Within a bound: never more is written, and a larger member is not unpacked at all.
        constexpr uint64_t kBound = 1024;
        const bool bounded = archive.Extract(member.sName, out, kBound);
        if (bounded && (member.uSize > kBound || stat(out.c_str(), &st) != 0 ||
                        static_cast<uint64_t>(st.st_size) > kBound))
            kovefuzz::Fail("a member beyond the bound was unpacked");
        if (!bounded && access(out.c_str(), F_OK) == 0)
            kovefuzz::Fail("a refused member left a file");
        unlink(out.c_str());
    }
    return 0;
}
