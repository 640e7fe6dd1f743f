// The tool's driver object, the helpers every action shares, the two number conversions and the
// temperature reading.
#include "QTXTools.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>

#include "KovePlatform.h"
#include "ModuleMemory.h"
#include "QTXConvert.h"

std::string sDefaultDirectory;

namespace
{
CTools* pToolsDevice = nullptr;
} // namespace

CTools* GetToolsDevice(bool exitOnError)
{
    if (pToolsDevice != nullptr)
        return pToolsDevice;
    try
    {
        pToolsDevice = new CTools();
        pToolsDevice->Init(sDefaultDirectory, -1, "", true);
    }
    catch (const CQTXError& error)
    {
        if (error.ErrorParameter().empty())
            ToolError("Error initializing device\n");
        else
            ToolError("Error initializing device: %s\n", error.ErrorParameter().c_str());
        std::fflush(stdout);
        if (exitOnError)
            std::exit(QTX_EXIT_NO_DEVICE);
        // The object stays alive: the framework may still point at it.
        pToolsDevice = nullptr;
    }
    return pToolsDevice;
}

void ToolError(const char* format, ...)
{
    // Both streams often end in the same terminal or file: what came before comes first.
    std::fflush(stdout);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
}

namespace
{
// The text without the blanks and tabs around it.
std::string Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Digits of the base from text[at] to the end, single '_' between them. False for no digit,
// any other character or a value above limit (at most 2^32).
bool ReadDigits(const std::string& text, size_t at, unsigned base, uint64_t limit, uint64_t* value)
{
    uint64_t number = 0;
    bool afterDigit = false;
    for (size_t i = at; i < text.size(); ++i)
    {
        const char c = text[i];
        if (c == '_' && afterDigit)
        {
            afterDigit = false;
            continue;
        }
        const unsigned digit = c >= '0' && c <= '9'   ? static_cast<unsigned>(c - '0')
                               : c >= 'a' && c <= 'f' ? static_cast<unsigned>(c - 'a' + 10)
                               : c >= 'A' && c <= 'F' ? static_cast<unsigned>(c - 'A' + 10)
                                                      : 99u;
        if (digit >= base)
            return false;
        number = number * base + digit;
        if (number > limit)
            return false;
        afterDigit = true;
    }
    *value = number;
    return afterDigit;
}
} // namespace

bool ParseToolInt(const std::string& text, int32_t* value)
{
    const std::string number = Trimmed(text);
    size_t at = 0;
    const bool negative = !number.empty() && number[0] == '-';
    if (negative)
        ++at;
    unsigned base = 10;
    if (number.size() > at + 1 && number[at] == '0')
    {
        switch (number[at + 1])
        {
        case 'x':
        case 'X':
            base = 16;
            break;
        case 'b':
        case 'B':
            base = 2;
            break;
        case 'o':
        case 'O':
            base = 8;
            break;
        case 'd':
        case 'D':
            base = 10;
            break;
        default:
            base = 0;
            break;
        }
        if (base != 0)
            at += 2;
        else
            base = 10;
    }
    uint64_t magnitude;
    if (!ReadDigits(number, at, base, negative ? 0x80000000u : 0xFFFFFFFFu, &magnitude))
        return false;
    const uint32_t bits = static_cast<uint32_t>(magnitude);
    if (value != nullptr)
        *value = static_cast<int32_t>(negative ? 0u - bits : bits);
    return true;
}

bool ParseToolFloat(const std::string& text, double* value)
{
    const std::string number = Trimmed(text);
    if (number.empty())
        return false;
    char* end = nullptr;
    const double parsed = std::strtod(number.c_str(), &end);
    if (end != number.c_str() + number.size())
        return false;
    if (value != nullptr)
        *value = parsed;
    return true;
}

bool CheckToolParam(ToolParamKind kind, const char* name, const std::string& text)
{
    switch (kind)
    {
    case TOOL_PARAM_TEXT:
        return true;
    case TOOL_PARAM_INT:
        if (ParseToolInt(text, nullptr))
            return true;
        ToolError("ERROR: <%s> must be a 32-bit whole number, not \"%s\"\n", name, text.c_str());
        return false;
    case TOOL_PARAM_FLOAT:
        if (ParseToolFloat(text, nullptr))
            return true;
        ToolError("ERROR: <%s> must be a number, not \"%s\"\n", name, text.c_str());
        return false;
    case TOOL_PARAM_REGISTERS:
    {
        const size_t colon = text.find(':');
        if (ParseToolInt(text.substr(0, colon), nullptr) &&
            (colon == std::string::npos || ParseToolInt(text.substr(colon + 1), nullptr)))
            return true;
        ToolError("ERROR: <%s> must be <Address> or <Address>:<NumberOfWords>, not \"%s\"\n", name,
                  text.c_str());
        return false;
    }
    }
    return false;
}

std::string ToolArgToString(const char* argument)
{
    return TCHARPointerToString(argument);
}

FILE* OpenToolFile(const std::string& path, const char* mode)
{
    FILE* file = std::fopen(path.c_str(), mode);
    const char* purpose = mode[0] == 'r' ? "reading" : "writing";
    if (file != nullptr)
        std::printf("Opened file \"%s\" for %s\n", path.c_str(), purpose);
    else
        ToolError("ERROR: can not open file \"%s\" for %s!\n", path.c_str(), purpose);
    return file;
}

void ReadConsoleLine(char* buffer, int size)
{
    if (buffer == nullptr || size < 1)
        return;
    int c = std::getchar();
    while (c == ' ' || c == '\t' || c == '\n' || c == '\r')
        c = std::getchar();
    int n = 0;
    while (c != EOF && c != '\n')
    {
        if (n < size - 1)
            buffer[n++] = static_cast<char>(c);
        c = std::getchar();
    }
    buffer[n] = '\0';
}

std::string ReadConsoleString()
{
    std::string text;
    for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar())
        text += static_cast<char>(c);
    return text;
}

void ToolsSleepMs(int ms)
{
    if (ms <= 0)
        return;
    timespec pause{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR)
    {
    }
}

bool FloatToHex(CToolsCall& call)
{
    float value = static_cast<float>(StringToFloat(call.Param(0)));
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    std::printf("%lf = 0x%08X\n", static_cast<double>(value), bits);
    return true;
}

bool HexToFloat(CToolsCall& call)
{
    // The dispatcher let only a whole number through: its 32 bits are the pattern.
    int32_t number = 0;
    ParseToolInt(call.Param(0), &number);
    const uint32_t bits = static_cast<uint32_t>(number);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    std::printf("0x%08lX = %lf\n", static_cast<unsigned long>(bits), static_cast<double>(value));
    return true;
}

namespace
{
bool bTemperatureSlotKnown = false;
int iTemperatureSlot = 0;
int iSensorHandle = -1;

void CloseSensor()
{
    if (iSensorHandle >= 0)
        PlatClose(iSensorHandle);
    iSensorHandle = -1;
}
} // namespace

double GetTemperature(int slot, bool keepOpen)
{
    if (!bTemperatureSlotKnown || slot != iTemperatureSlot)
    {
        if (slot > 0)
            SrwCommand(-1, nullptr, 0, nullptr, 0, 0, 0, slot);
        CloseSensor();
        bTemperatureSlotKnown = true;
        iTemperatureSlot = slot;
    }
    if (slot == 0)
    {
        if (iSensorHandle < 0)
            iSensorHandle = PlatOpen("/dev/LM75", O_RDWR);
        if (iSensorHandle < 0)
            return -1000.0;
        uint32_t word = 0;
        int result = PlatIoctl(iSensorHandle, 0, &word);
        if (!keepOpen)
            CloseSensor();
        if (result < 0)
            return -1000.0;
        return static_cast<int16_t>(word & 0xFFFF) / 256.0;
    }
    if (slot >= 1 && slot <= 4)
    {
        unsigned char address[4] = {0xAE, 0, 0, 0};
        unsigned char value[2] = {0, 0};
        bool ok = SrwCommand(SRW_RAM_READ, address, 4, value, 2, 0, 3, slot);
        if (!keepOpen && !SrwCommand(-1, nullptr, 0, nullptr, 0, 0, 0, slot))
            ok = false;
        if (!ok)
            return -1000.0;
        return static_cast<int16_t>(value[0] | (value[1] << 8)) / 100.0;
    }
    return -1000.0;
}
