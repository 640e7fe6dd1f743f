// Fuzz target: the byte lists that qtx's module write commands take on the command line
// ("*;1;2;255").
//
// Input: byte 0 is the most bytes the memory takes from the address; the rest is the list
// after "*;". A list that is taken gives one byte per field, at least one and no more than the
// memory takes; a list that is refused leaves nothing behind.
#include "FuzzSupport.h"
#include "QTXConvert.h"
#include "QTXTools.h"

#include <string>
#include <vector>

using kovefuzz::Fail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t maxBytes = data[0];
    const std::string text = "*;" + std::string(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<unsigned char> bytes{1, 2, 3};
    size_t length = 99;
    if (ReadInputData(text, &bytes, &length, maxBytes))
    {
        const size_t fields = static_cast<size_t>(GetNumberOfArguments(text, ';') - 1);
        if (bytes.empty() || bytes.size() > maxBytes || length != bytes.size() ||
            bytes.size() != fields)
            Fail("a byte list taken with the wrong number of bytes");
    }
    else if (!bytes.empty() || length != 0)
        Fail("a refused byte list that left bytes behind");
    return 0;
}
