// Fuzz target: the splitting of a command line that came over the network (a watchdog's start
// command) into the words of an argument vector.
//
// Input: the command line. Every word must be non-empty and free of separators, and the words
// joined by one blank must give the line with its runs of separators made one blank and its ends
// trimmed: no byte is lost, added or moved.
#include "FuzzSupport.h"
#include "QTXShell.h"

#include <string>

using kovefuzz::Fail;

namespace
{
bool IsSeparator(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string line(reinterpret_cast<const char*>(data), size);
    std::string joined;
    for (const std::string& word : SplitCommandWords(line))
    {
        if (word.empty())
            Fail("an empty word");
        for (char c : word)
            if (IsSeparator(c))
                Fail("a separator inside a word");
        joined += (joined.empty() ? "" : " ") + word;
    }
    std::string expected;
    bool gap = false;
    for (char c : line)
    {
        if (IsSeparator(c))
        {
            gap = true;
            continue;
        }
        if (gap && !expected.empty())
            expected += ' ';
        gap = false;
        expected += c;
    }
    if (joined != expected)
        Fail("the words do not give the line back");
    return 0;
}
