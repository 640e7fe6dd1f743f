// Fuzz target: the numbers that qtx takes on its command line, alone and as the byte lists of
// its module write commands ("*;1;2;255").
//
// Input: byte 0 is the most bytes the memory takes from the address; the rest is the list
// after "*;", and the same text is read as each kind of number parameter. A list that is taken
// gives one byte per field, at least one and no more than the memory takes; a list that is
// refused leaves nothing behind. A number that is taken has the value the actions read from
// it (StringToInt, StringToFloat).
#include "FuzzSupport.h"
#include "QTXConvert.h"
#include "QTXTools.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

using kovefuzz::Fail;

namespace
{
void CheckNumbers(const std::string& text)
{
    int32_t whole = 12345;
    if (ParseToolInt(text, &whole))
    {
        if (whole != StringToInt(text))
            Fail("a whole number taken with another value than StringToInt gives");
    }
    else if (whole != 12345)
        Fail("a refused whole number changed the value");

    double value = 0.5;
    if (ParseToolFloat(text, &value))
    {
        const double read = StringToFloat(text);
        if (!(std::isnan(value) && std::isnan(read)) &&
            std::memcmp(&value, &read, sizeof value) != 0)
            Fail("a floating-point number taken with another value than StringToFloat gives");
    }
    else if (value != 0.5)
        Fail("a refused floating-point number changed the value");

    // The checks of the dispatcher agree with the parsers (their messages go to standard error).
    if (CheckToolParam(TOOL_PARAM_INT, "Data", text) != ParseToolInt(text, nullptr) ||
        CheckToolParam(TOOL_PARAM_FLOAT, "Fs", text) != ParseToolFloat(text, nullptr))
        Fail("a parameter check that differs from its parser");
    const size_t colon = text.find(':');
    const bool range =
        ParseToolInt(text.substr(0, colon), nullptr) &&
        (colon == std::string::npos || ParseToolInt(text.substr(colon + 1), nullptr));
    if (CheckToolParam(TOOL_PARAM_REGISTERS, "ListOfRegisters", text) != range)
        Fail("a register range check that differs from its two numbers");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t maxBytes = data[0];
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string text = "*;" + rest;
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
    CheckNumbers(rest);
    return 0;
}
