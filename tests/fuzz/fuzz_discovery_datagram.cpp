// Fuzz target: the system driver's discovery port, which takes one request document per UDP
// datagram.
//
// Input: byte 0 says where the second of two datagrams begins in the rest. Both are handled in
// turn, as the discovery thread would; the second must come out as it does on its own (nothing
// of the first carries over), a recognised request has been stored, and the code is one the
// command-tag table or a binary head can give.
#include "FuzzSupport.h"
#include "QTXCommandTags.h"
#include "QTXConvert.h"
#include "QTXSystem.h"

#include <string>
#include <sys/stat.h>

using kovefuzz::Fail;

namespace
{
void Check(unsigned int code, const std::string& file, size_t length)
{
    if (code == 0)
        return;
    struct stat status;
    if (stat(file.c_str(), &status) != 0 || status.st_size == 0 ||
        static_cast<uint64_t>(status.st_size) > length + 5)
        Fail("a recognised request was not stored as it came");
    if ((code & 0x80000000u) == 0 &&
        ItemIntToString(aCommandTags, static_cast<int>(code)) == sItemNotFound)
        Fail("an XML request code that is no command tag");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static kovefuzz::CMemoryFile file("udp_request");
    if (size == 0)
        return 0;
    const size_t rest = size - 1;
    const size_t split = rest * data[0] / 255;
    const uint8_t* first = data + 1;
    const uint8_t* second = first + split;
    const size_t secondLength = rest - split;

    Check(DiscoveryRequestCode(first, split, file.Path()), file.Path(), split);
    const unsigned int after = DiscoveryRequestCode(second, secondLength, file.Path());
    Check(after, file.Path(), secondLength);
    if (DiscoveryRequestCode(second, secondLength, file.Path()) != after)
        Fail("a datagram reads differently after another one");
    return 0;
}
