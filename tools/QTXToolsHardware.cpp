// The bus actions of qtx, run on the device itself: bus words and blocks read, written and
// copied to and from files, memory tested behind the bus, ring buffers saved, and the internal
// memories of a module's controller dumped. The transfers go through the tool's driver object.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "ModuleMemory.h"
#include "QTXConvert.h"
#include "QTXGlobal.h"
#include "QTXTools.h"

namespace
{
int32_t IntParam(const CToolsCall& call, size_t i)
{
    return StringToInt(call.Param(i));
}

// A word buffer of the given size; false (with the tool's message) when it cannot be had.
bool MakeWords(std::vector<uint32_t>& words, uint64_t count, int64_t shownBytes)
{
    try
    {
        if (shownBytes < 0 || count > SIZE_MAX / sizeof(uint32_t))
            throw std::bad_alloc();
        words.assign(static_cast<size_t>(count), 0);
        return true;
    }
    catch (const std::bad_alloc&)
    {
        ToolError("ERROR: Can not allocate buffer for %d bytes\n", static_cast<int>(shownBytes));
        return false;
    }
}

// Words kept in memory as their bytes on the bus: little-endian on every host.
void WordsToBytes(const uint32_t* words, size_t bytes, unsigned char* out)
{
    for (size_t i = 0; i < bytes; ++i)
        out[i] = static_cast<unsigned char>(words[i / 4] >> (8 * (i % 4)));
}

void BytesToWords(const unsigned char* bytes, size_t count, uint32_t* words)
{
    for (size_t i = 0; i < count; ++i)
        words[i / 4] |= static_cast<uint32_t>(bytes[i]) << (8 * (i % 4));
}

const int kMemTestChunk = 499;

void FillChunk(const std::vector<uint32_t>& pattern, uint32_t first, uint32_t n, uint32_t* out)
{
    for (uint32_t j = 0; j < n; ++j)
        out[j] = pattern[j] ^ (4u * (first + j));
}

// One pass over the range: write and compare each chunk (write true) or compare only. False at
// the first difference.
bool MemTestPass(CTools* device, uint32_t address, uint32_t words,
                 const std::vector<uint32_t>& pattern, bool write)
{
    uint32_t chunk[kMemTestChunk];
    for (uint32_t first = 0; first < words; first += kMemTestChunk)
    {
        const uint32_t n = words - first < kMemTestChunk ? words - first : kMemTestChunk;
        FillChunk(pattern, first, n, chunk);
        const int32_t at = static_cast<int32_t>(address + 4u * first);
        if (write)
            device->BPBWriteBuffer(at, chunk, n, true);
        if (!device->BPBCompareBuffer(at, chunk, n, true))
            return false;
    }
    return true;
}

enum DebugSource
{
    DEBUG_UNKNOWN = 0,
    DEBUG_FPGA = 1,
    DEBUG_AVR_FLASH = 2,
    DEBUG_AVR_RAM = 3,
    DEBUG_PLV = 4,
    DEBUG_EEPROM = 5
};

const struct
{
    const char* pName;
    int iSource;
} aDebugSources[] = {{"FPGA", DEBUG_FPGA},
                     {"AVR-RAM", DEBUG_AVR_RAM},
                     {"AVR-FLASH", DEBUG_AVR_FLASH},
                     {"EEPROM", DEBUG_EEPROM},
                     {"PLV", DEBUG_PLV}};

// One read of the module controller's memory: the start address (4 bytes) in, length bytes
// out; the module is released in either case.
bool ReadController(int code, uint32_t address, std::vector<unsigned char>& data, int slot)
{
    unsigned char in[4] = {
        static_cast<unsigned char>(address), static_cast<unsigned char>(address >> 8),
        static_cast<unsigned char>(address >> 16), static_cast<unsigned char>(address >> 24)};
    const bool ok =
        SrwCommand(code, in, 4, data.data(), static_cast<int>(data.size()), 0, 1000, slot);
    SrwCommand(-1, nullptr, 0, nullptr, 0, 0, 1000, slot);
    return ok;
}
} // namespace

bool BusWrite(CToolsCall& call)
{
    CTools* device = GetToolsDevice(true);
    const uint32_t address = static_cast<uint32_t>(IntParam(call, 0));
    for (size_t i = 1; i < call.vsParams.size(); ++i)
        device->BPBWriteWord(static_cast<int32_t>(address + 4u * (i - 1)),
                             static_cast<uint32_t>(IntParam(call, i)), true);
    return true;
}

bool BusRead(CToolsCall& call)
{
    CTools* device = GetToolsDevice(true);
    const uint32_t address = static_cast<uint32_t>(IntParam(call, 0));
    const int64_t bytes = IntParam(call, 1);
    for (int64_t i = 0; i < (bytes + 3) / 4; ++i)
    {
        const uint32_t at = address + 4u * static_cast<uint32_t>(i);
        const uint32_t word = device->BPBReadWord(static_cast<int32_t>(at), true);
        unsigned char b[4];
        WordsToBytes(&word, 4, b);
        char shown[4];
        for (int k = 0; k < 4; ++k)
            shown[k] = b[k] >= 0x20 && b[k] < 0x7F ? static_cast<char>(b[k]) : ' ';
        float asFloat;
        std::memcpy(&asFloat, &word, sizeof asFloat);
        std::printf("[0x%08lX] = 0x%08lX = %12ld = {%3ld %3ld %3ld %3ld} = \"%c%c%c%c\" = %f\n",
                    static_cast<unsigned long>(at), static_cast<unsigned long>(word),
                    static_cast<long>(static_cast<int32_t>(word)), static_cast<long>(b[0]),
                    static_cast<long>(b[1]), static_cast<long>(b[2]), static_cast<long>(b[3]),
                    shown[0], shown[1], shown[2], shown[3], static_cast<double>(asFloat));
    }
    return true;
}

bool File2PCI(CToolsCall& call)
{
    CTools* device = GetToolsDevice(true);
    const uint32_t address = static_cast<uint32_t>(IntParam(call, 0));
    ToolFile f(OpenToolFile(call.Param(1), "rb"));
    if (!f)
        return false;
    std::vector<unsigned char> bytes;
    unsigned char block[65536];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, f.get())) > 0)
        bytes.insert(bytes.end(), block, block + n);
    if (std::ferror(f.get()))
    {
        ToolError("ERROR: can not read file \"%s\"\n", call.Param(1).c_str());
        return false;
    }
    std::vector<uint32_t> words;
    if (!MakeWords(words, (bytes.size() + 3) / 4, static_cast<int64_t>(bytes.size())))
        return false;
    BytesToWords(bytes.data(), bytes.size(), words.data());
    if (!words.empty())
        device->BPBWriteBuffer(static_cast<int32_t>(address), words.data(),
                               static_cast<uint32_t>(words.size()), true);
    return true;
}

bool PCI2File(CToolsCall& call)
{
    CTools* device = GetToolsDevice(true);
    const uint32_t address = static_cast<uint32_t>(IntParam(call, 0));
    const int32_t bytes = IntParam(call, 1);
    std::vector<uint32_t> words;
    if (!MakeWords(words, bytes < 0 ? 0 : (static_cast<uint64_t>(bytes) + 3) / 4, bytes))
        return false;
    ToolFile f(OpenToolFile(call.Param(2), "wb"));
    if (!f)
        return false;
    device->BPBReadBuffer(static_cast<int32_t>(address), words.data(),
                          static_cast<uint32_t>(words.size()), true);
    std::vector<unsigned char> data(static_cast<size_t>(bytes));
    WordsToBytes(words.data(), data.size(), data.data());
    if (std::fwrite(data.data(), 1, data.size(), f.get()) != data.size())
    {
        ToolError("ERROR: can not write file \"%s\"\n", call.Param(2).c_str());
        return false;
    }
    return true;
}

bool RingBuffer2File(CToolsCall& call)
{
    CTools* device = GetToolsDevice(true);
    const uint32_t start = static_cast<uint32_t>(IntParam(call, 0));
    const int32_t length = IntParam(call, 1);
    const uint32_t offset = static_cast<uint32_t>(IntParam(call, 2));
    const int32_t blocks = IntParam(call, 3);
    const int32_t pointerRegister = IntParam(call, 4);
    const std::string name = call.Param(5);
    if (length < 1 || blocks < 1)
    {
        ToolError("ERROR: <BlockLength> and <NumberOfBlogks> must be greater than 0\n");
        return false;
    }
    const uint64_t rounded = (static_cast<uint64_t>(length) + 3) & ~uint64_t(3);
    const uint64_t total = rounded * static_cast<uint64_t>(blocks);
    std::vector<uint32_t> words;
    if (!MakeWords(words, total / 4, total > INT32_MAX ? -1 : static_cast<int64_t>(total)))
        return false;
    uint32_t before = 0, after = 0;
    if (pointerRegister != 0)
        before = device->BPBReadWord(pointerRegister, true);
    const uint32_t blockWords = static_cast<uint32_t>(rounded / 4);
    for (int32_t i = 0; i < blocks; ++i)
        device->BPBReadBuffer(static_cast<int32_t>(start + offset * static_cast<uint32_t>(i)),
                              words.data() + static_cast<size_t>(i) * blockWords, blockWords, true);
    if (pointerRegister != 0)
        after = device->BPBReadWord(pointerRegister, false);

    ToolFile f(OpenToolFile(name, "wb"));
    if (!f)
        return false;
    std::vector<unsigned char> data(static_cast<size_t>(rounded));
    int32_t written = 0;
    for (int32_t i = 0; i < blocks; ++i)
    {
        WordsToBytes(words.data() + static_cast<size_t>(i) * blockWords, data.size(), data.data());
        if (std::fwrite(data.data(), data.size(), 1, f.get()) == 1)
            ++written;
    }
    if (std::fflush(f.get()) != 0 || written != blocks)
    {
        ToolError("ERROR: Dan not store data.\n");
        return false;
    }
    std::printf("\nWrote %d blocks of %d bytes each to file %s.\nPointer before reading the first "
                "block: 0x%08lX, after reading the last block: 0x%08lX\n",
                blocks, static_cast<int>(rounded), name.c_str(), static_cast<unsigned long>(before),
                static_cast<unsigned long>(after));
    return true;
}

bool MemTest(CToolsCall& call)
{
    CTools* device = GetToolsDevice(true);
    const uint32_t address = static_cast<uint32_t>(IntParam(call, 0));
    const int64_t length = IntParam(call, 1);
    const int32_t loops = IntParam(call, 2);
    const int32_t markAddress = call.vsParams.size() > 3 ? IntParam(call, 3) : 0;
    const uint32_t markValue =
        call.vsParams.size() > 4 ? static_cast<uint32_t>(IntParam(call, 4)) : 0;
    const uint32_t words = length <= 0 ? 0 : static_cast<uint32_t>((length + 3) / 4);

    std::vector<uint32_t> pattern(kMemTestChunk);
    for (uint32_t& p : pattern)
        p = (static_cast<uint32_t>(std::rand() & 0xFFFF) << 16) | 0xFFFF;

    int good = 0, failed = 0;
    for (int32_t todo = loops; todo > 0;)
    {
        --todo;
        bool ok = MemTestPass(device, address, words, pattern, true) &&
                  MemTestPass(device, address, words, pattern, false);
        if (!ok)
        {
            if (markAddress != 0)
                device->BPBWriteWord(markAddress, markValue, true);
            ToolFile log(std::fopen((sDefaultDirectory + "MemTestErrors.txt").c_str(), "a"));
            if (log)
                std::fprintf(log.get(),
                             "[%.6lf] Verify error: Address=0x%08lX, read=0x%08lX, "
                             "expected=0x%08lX\n",
                             GetSoftwareTime(),
                             static_cast<unsigned long>(device->MismatchAddress()),
                             static_cast<unsigned long>(device->MismatchRead()),
                             static_cast<unsigned long>(device->MismatchWanted()));
            ++failed;
        }
        else
            ++good;
        std::printf("%c", ok ? '.' : 'E');
        if ((good + failed) % 1000 == 0)
            std::printf("\nIntermediate result: loops todo=%d, OK=%d, error=%d\n", todo, good,
                        failed);
        std::fflush(stdout);
    }
    std::printf("\n\nStatistics: Total loops: %d, loops with errors: %d\n", good + failed, failed);
    if (failed > 0)
    {
        ToolError("\nERROR: Test failed!\n");
        return false;
    }
    std::printf("\nTest passed.\n");
    return true;
}

bool DebugData(CToolsCall& call)
{
    CTools* device = GetToolsDevice(true);
    const std::string which = call.Param(0);
    const int module = static_cast<int>(IntParam(call, 1));
    int source = DEBUG_UNKNOWN;
    for (const auto& s : aDebugSources)
        if (SameString(which, s.pName))
            source = s.iSource;

    std::vector<unsigned char> data;
    switch (source)
    {
    case DEBUG_FPGA:
    {
        const int family = device->GetHWFamily();
        if ((family == 1 || family == 2) && (module < 0 || module > 4))
            ToolError("Error: Only module number 0 to 4 allowed\n");
        ToolError("Error: HW Family %d is not yet supported\n", family);
        return false;
    }
    case DEBUG_AVR_FLASH:
        data.assign(32768, 0);
        if (!ReadController(7, 0, data, module))
        {
            ToolError("Error: can not read AVRs internal flash\n");
            return false;
        }
        break;
    case DEBUG_AVR_RAM:
        data.assign(128, 0);
        if (!ReadController(5, 0x80, data, module))
        {
            ToolError("Error: can not read AVRs internal RAM\n");
            return false;
        }
        break;
    case DEBUG_EEPROM:
    case DEBUG_PLV:
        ToolError("Error: Source %s is not yet implemented\n", which.c_str());
        return false;
    default:
        ToolError("Error: Unknown source: %s\n", which.c_str());
        return false;
    }
    ToolFile f(OpenToolFile(call.Param(2), "wb"));
    if (!f)
        return false;
    if (std::fwrite(data.data(), 1, data.size(), f.get()) != data.size() ||
        std::fflush(f.get()) != 0)
    {
        ToolError("Error while writing file %s\n", call.Param(2).c_str());
        return false;
    }
    std::printf("Debug data stred in file %s\n", call.Param(2).c_str());
    return true;
}
