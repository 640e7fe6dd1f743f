// The module actions of qtx: single commands to the controller of a module slot (SrwCmd: its
// SPI flash, RAM and EEPROM, and a reset), temperatures of the CPU and the modules, the counter
// word for timing tests and the relays of the factory test cards.
//
// Every command goes through SrwCommand, which reserves the module on first use; each action
// lets the module go again at its end. Addresses and lengths are checked against the memory
// before anything is sent, so no command reaches past the end of a memory.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "ModuleMemory.h"
#include "QTXConvert.h"
#include "QTXTools.h"

namespace
{
enum SrwWord
{
    SRW_HELP = 0,
    SRW_RESET = SRW_MODULE_RESET,
    SRW_UNKNOWN = -1
};

// The commands SrwCmd sends, with the arguments they take and the memory they reach.
struct CSrwRow
{
    const char* pWord;
    int iCode;
    int iMinArgs;
    int iMaxArgs;
    int32_t iLimit; // size of the memory (exclusive end of the addresses); 0: none
};

const CSrwRow aSrwRows[] = {
    {"Help", SRW_HELP, 0, 3, 0},
    {"FlashErase", SRW_FLASH_ERASE, 2, 2, 0x400000},
    {"FlashRead", SRW_FLASH_READ, 2, 3, 0x400000},
    {"FlashWrite", SRW_FLASH_WRITE, 2, 2, 0x400000},
    {"RamRead", SRW_RAM_READ, 2, 3, 0x900},
    {"RamWrite", SRW_RAM_WRITE, 2, 2, 0x900},
    {"EepromRead", SRW_EEPROM_READ, 2, 3, 0x400},
    {"EepromWrite", SRW_EEPROM_WRITE, 2, 2, 0x400},
    {"Reset", SRW_RESET, 0, 0, 0},
};

const char* const aSrwHelp[] = {
    "<Commands> for SrwCmd:",
    "  Help to show this text",
    "  FlashErase <Addr> <Len> to erase <len> bytes of the SPI flash starting at <Addr>",
    "  FlashRead <Addr> <Len> <File> to read from the AVR RAM and store it to <File>.",
    "  FlashWrite <Addr> <File> to write the <file> to the SPI flash",
    "  RamRead <Addr> <Len> <File> to read from the AVR RAM and store it to <File>",
    "  RamWrite <Addr> <File> to write the <file> to the AVR RAM",
    "  EepromRead <Addr> <Len> <File> to read from the AVR EEPROM and store it to <File>",
    "  EepromWrite <Addr> <File> to write the <file> to the AVR RAM",
    "  Reset to reset the AVR of this module U(including reload of the FPGA",
    ("For all \"*Read\" commands: <File> can be omitted to get the data output on the screen as "
     "hex dump"),
    "For all \"*Write\" commands: if <File> starts with \"*;\" followed by a sequence of numbers",
    "seperated by semicolon, then this byte sequency is used i.s.o. the file data",
};

constexpr int kSrwBudgetMs = 3;
constexpr int kRelayBudgetMs = 1;
constexpr int kDumpLineBytes = 16;
constexpr int kHexDumpMaxCount = 250;
constexpr int kLastModuleSlot = 4;
// Where a module controller keeps the relay mask of a factory test card (then a zero word).
constexpr uint32_t kRamRelays = 0x1F0;

// The result of a command, said when it failed.
bool Sent(bool done)
{
    if (!done)
        ToolError("ERROR while executing ravelin command!\n");
    return done;
}

void PutLe32(unsigned char* out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(value >> (8 * i));
}

bool Release(int slot)
{
    return SrwCommand(-1, nullptr, 0, nullptr, 0, 0, kSrwBudgetMs, slot);
}

// A memory range of a command: 1 or more bytes from the address, all within the memory.
bool RangeFits(int64_t address, int64_t length, int32_t limit)
{
    if (length >= 1 && address + length <= limit)
        return true;
    ToolError("ERROR: wrong length. Allowed values are between 1 and 0x%X (including the start "
              "address)\n",
              static_cast<unsigned>(limit));
    return false;
}

// Reads a file whole, refusing one that has no byte or more than maxBytes.
bool ReadDataFile(const std::string& name, std::vector<unsigned char>* data, size_t maxBytes)
{
    ToolFile file(OpenToolFile(name, "rb"));
    if (!file)
        return false;
    unsigned char piece[65536];
    size_t n;
    while ((n = std::fread(piece, 1, sizeof piece, file.get())) > 0)
    {
        if (data->size() + n > maxBytes)
        {
            ToolError("ERROR: file \"%s\" holds more than %zu bytes\n", name.c_str(), maxBytes);
            return false;
        }
        data->insert(data->end(), piece, piece + n);
    }
    return !std::ferror(file.get()) && !data->empty();
}

// Shows bytes as dump lines of 16, offsets counted from 0; each line followed by an empty one.
void PrintHexDump(const std::vector<unsigned char>& data)
{
    for (size_t at = 0; at < data.size(); at += kDumpLineBytes)
    {
        const size_t count = data.size() - at < kDumpLineBytes ? data.size() - at : kDumpLineBytes;
        std::puts(
            HexDumpLine(data.data(), static_cast<int32_t>(at), static_cast<int>(count)).c_str());
    }
}

// One command of SrwCmd, after its arguments were checked; false when it failed.
bool SendSrwCommand(const CSrwRow& row, int slot, const std::vector<std::string>& args,
                    std::vector<unsigned char>& data)
{
    unsigned char address[4];
    PutLe32(address, static_cast<uint32_t>(StringToInt(args.empty() ? "" : args[0])));
    switch (row.iCode)
    {
    case SRW_FLASH_ERASE:
    {
        unsigned char length[4];
        PutLe32(length, static_cast<uint32_t>(StringToInt(args[1])));
        return Sent(SrwCommand(row.iCode, address, 4, length, 4, 0, kSrwBudgetMs, slot));
    }
    case SRW_FLASH_READ:
    case SRW_RAM_READ:
    case SRW_EEPROM_READ:
    {
        const int length = static_cast<int>(data.size());
        if (!Sent(
                SrwCommand(row.iCode, address, 4, data.data(), length, length, kSrwBudgetMs, slot)))
            return false;
        if (args.size() < 3 || args[2].empty())
        {
            PrintHexDump(data);
            return true;
        }
        ToolFile file(OpenToolFile(args[2], "wb"));
        if (!file)
            return false;
        if (std::fwrite(data.data(), 1, data.size(), file.get()) != data.size() ||
            std::fflush(file.get()) != 0)
        {
            ToolError("ERROR while writing to file\n");
            return false;
        }
        return true;
    }
    case SRW_FLASH_WRITE:
    case SRW_RAM_WRITE:
    case SRW_EEPROM_WRITE:
        return Sent(SrwCommand(row.iCode, data.data(), static_cast<int>(data.size()), address, 4, 0,
                               kSrwBudgetMs, slot));
    default:
    {
        // A reset as the system driver sends it.
        unsigned char reset[2] = {0xFF, 0x00};
        return Sent(SrwCommand(SRW_RESET, reset, 2, nullptr, 0, 0, kSrwBudgetMs, slot));
    }
    }
}
} // namespace

std::string HexDumpLine(const unsigned char* buffer, int32_t offset, int count)
{
    if (buffer == nullptr || offset < 0 || count < 0 || count > kHexDumpMaxCount)
        return "<ERROR: Can not generate hex dump>";
    char head[16];
    std::snprintf(head, sizeof head, "[0x%08X]  ", static_cast<uint32_t>(offset));
    std::string line = head;
    std::string shown;
    for (int i = 0; i < count; ++i)
    {
        const unsigned char byte = buffer[offset + i];
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X ", byte);
        line += hex;
        shown += byte >= 0x20 && byte <= 0x7F ? static_cast<char>(byte) : ' ';
    }
    return line + "  \"" + shown + "\"\n";
}

bool ReadInputData(const std::string& text, std::vector<unsigned char>* data, size_t* length,
                   size_t maxBytes)
{
    if (data == nullptr || length == nullptr)
    {
        ToolError("ERROR: wrong buffer or length!\n");
        return false;
    }
    data->clear();
    *length = 0;
    if (text.empty())
        return false;
    if (text.compare(0, 2, "*;") == 0)
    {
        // "*;1;2;255": the fields after the star are the bytes.
        const int count = GetNumberOfArguments(text, ';') - 1;
        if (count < 1 || static_cast<size_t>(count) > maxBytes)
            return false;
        for (int k = 1; k <= count; ++k)
        {
            const std::string field = GetArgument(text, ';', k);
            if (!ParseToolInt(field, nullptr))
            {
                ToolError("ERROR: \"%s\" is not a number\n", field.c_str());
                data->clear();
                return false;
            }
            data->push_back(static_cast<unsigned char>(StringToInt(field) & 0xFF));
        }
    }
    else if (!ReadDataFile(text, data, maxBytes))
    {
        data->clear();
        return false;
    }
    *length = data->size();
    return true;
}

bool SrwCmd(CToolsCall& call)
{
    const int slot = StringToInt(call.Param(0));
    if (slot < 0 || slot > kLastModuleSlot)
    {
        ToolError("ERROR: <ModuleSlot> must be between 0 and 4!\n");
        return false;
    }
    const std::string& word = call.Param(1);
    std::vector<std::string> args;
    if (call.vsParams.size() > 2)
        args.assign(call.vsParams.begin() + 2, call.vsParams.end());
    const CSrwRow* row = nullptr;
    for (const CSrwRow& candidate : aSrwRows)
        if (SameString(word, candidate.pWord))
            row = &candidate;
    if (row == nullptr)
    {
        ToolError("ERROR: unknown command \"%s\". Use \"qtx SrwCmd Help\" for more "
                  "information.\n",
                  word.c_str());
        return false;
    }
    if (static_cast<int>(args.size()) < row->iMinArgs ||
        static_cast<int>(args.size()) > row->iMaxArgs)
    {
        ToolError("ERROR: wrong number of parameters! Use \"qtx SrwCmd Help\" for more "
                  "information.\n");
        return false;
    }
    if (row->iCode == SRW_HELP)
    {
        for (const char* line : aSrwHelp)
            std::printf("%s\n", line);
        return true;
    }

    // Every check before anything is sent: the forms of the numbers, the address, then the
    // range of the command.
    std::vector<unsigned char> data;
    if (row->iLimit > 0)
    {
        const bool lengthGiven = row->iCode != SRW_FLASH_WRITE && row->iCode != SRW_RAM_WRITE &&
                                 row->iCode != SRW_EEPROM_WRITE;
        if (!CheckToolParam(TOOL_PARAM_INT, "Addr", args[0]) ||
            (lengthGiven && !CheckToolParam(TOOL_PARAM_INT, "Len", args[1])))
        {
            call.bUsageError = true;
            return false;
        }
        const int64_t address = StringToInt(args[0]);
        if (address < 0 || address >= row->iLimit)
        {
            ToolError("ERROR: wrong address. Allowed values are between 0 and 0x400000\n");
            return false;
        }
        const int32_t room = static_cast<int32_t>(row->iLimit - address);
        switch (row->iCode)
        {
        case SRW_FLASH_WRITE:
        case SRW_RAM_WRITE:
        case SRW_EEPROM_WRITE:
        {
            size_t length = 0;
            if (!ReadInputData(args[1], &data, &length, static_cast<size_t>(room)))
            {
                ToolError("ERROR: Can not read inut data\n");
                return false;
            }
            break;
        }
        default:
        {
            const int64_t length = StringToInt(args[1]);
            if (!RangeFits(address, length, row->iLimit))
                return false;
            if (row->iCode != SRW_FLASH_ERASE)
                data.assign(static_cast<size_t>(length), 0);
            break;
        }
        }
    }
    const bool sent = SendSrwCommand(*row, slot, args, data);
    const bool released = Release(slot);
    if (sent && released)
        return true;
    ToolError("ERRORwhile executing Srw command!\n");
    return false;
}

bool Temp(CToolsCall& call)
{
    const int module = StringToInt(call.Param(0));
    const double temperature = GetTemperature(module, false);
    if (temperature >= -274.0)
    {
        std::printf("Temperature on slot %d is %.1lf \xC2\xB0"
                    "C\n",
                    module, temperature);
        return true;
    }
    ToolError("ERROR: Can not read temperature!\n");
    return false;
}

bool Counter(CToolsCall& call)
{
    CTools* device = GetToolsDevice(true);
    const int32_t address = StringToInt(call.Param(0));
    const int delay = StringToInt(call.Param(1));
    uint16_t counter = 0;
    for (;;)
    {
        const double temperature = GetTemperature(0, true);
        ++counter;
        const uint32_t tenths = static_cast<uint32_t>(static_cast<int32_t>(temperature * 10.0));
        device->BPBWriteWord(address, static_cast<uint32_t>(counter) << 16 | (tenths & 0xFFFF),
                             true);
        ToolsSleepMs(delay);
    }
}

bool KoveFactoryRelays(CToolsCall& call)
{
    const int slot = StringToInt(call.Param(0));
    if (slot < 0 || slot > kLastModuleSlot)
    {
        ToolError("ERROR: <Slot> must be between 0 and 4!\n");
        return false;
    }
    unsigned char relays[8] = {0};
    PutLe32(relays, static_cast<uint32_t>(StringToInt(call.Param(1))));
    unsigned char address[4];
    PutLe32(address, kRamRelays);
    const bool written =
        Sent(SrwCommand(SRW_RAM_WRITE, relays, sizeof relays, address, 4, 0, kRelayBudgetMs, slot));
    return Release(slot) && written;
}
