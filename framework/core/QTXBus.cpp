// Backplane-bus access of the driver: single words and runs of words through the FPGA device,
// or through the simulation buffer while the driver simulates; comparisons against the bus;
// the driver's time base and its hardware family; the C entry points of the hardware units.
//
// Every access can be traced: as a text to the debug receiver (while bus tracing is on and a
// receiver is open) and, for reads and writes, as records in the trace buffer (while bus
// tracing is on and bit 0x01 of the trace flag word is set). Reads that the framework makes
// for its own purposes (comparisons, the bus clock) are never traced; they do not touch the
// tracing switch, so accesses of other threads are traced as before.
#include "QTXBus.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "QTX.h"
#include "QTXConvert.h"
#include "QTXProduct.h"
#include "RyxFpga.h"
#include "nyDebug.h"

uint32_t tHWTime[4] = {0, 0, 0, 0};

namespace
{
// Tag of a raw access record: the device puts 0 there when the access succeeded.
constexpr uint32_t kRawTagRead = 0x0000DEAD;
constexpr uint32_t kRawTagWordWrite = 0;
// Data word of a single-word read before the device fills it.
constexpr uint32_t kRawReadPreload = 0xAFFEDEAD;
// What a failed read shows: the word, and each byte of a failed run.
constexpr uint32_t kFailedReadWord = 0x45454545;
constexpr int kFailedReadByte = 0x45;
// Each byte of a run whose access record could not be allocated.
constexpr int kNoRecordByte = 0x65;
// A simulated single-word read outside the simulation buffer.
constexpr uint32_t kUnservedSimulatedRead = 0xDEADCAFE;
// Longest run shown in a trace text.
constexpr uint32_t kTracedWords = 256;
// Bus clock of families 0 and 2: whole seconds, then the fraction in units of 2^-32 s.
constexpr int32_t kHardwareClockAddress = 0x110018;
// Trace record types of an access.
constexpr uint8_t kTraceText = 5;
constexpr uint8_t kTraceTime = 0x12;
constexpr uint8_t kTraceAccessOpcode = 0x40;
constexpr size_t kTraceTextMax = 254;

// Guards tHWTime while the clock is read.
pthread_mutex_t* HardwareTimeMutex()
{
    static pthread_mutex_t mutex;
    static const bool created = (NyMutexCreatePrivate(&mutex), true);
    (void)created;
    return &mutex;
}

void PutU32(uint8_t* p, uint32_t value)
{
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t GetU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::string Hex(uint32_t value)
{
    return IntToString(static_cast<int32_t>(value), 16, 8);
}

const char* AddressKind(bool absolute)
{
    return absolute ? "(Abs.)" : "(Rel.)";
}

// "0x..; 0x..; ..." of the first 256 words, 16 to a line.
std::string WordListText(const uint32_t* words, uint32_t count)
{
    std::string text;
    const uint32_t shown = std::min(count, kTracedWords);
    for (uint32_t i = 0; i < shown; ++i)
    {
        text += Hex(words[i]);
        if (i + 1 == shown)
            break;
        if ((i + 1) % 16 == 0)
            text += "\n    [0x" + Hex(i + 1) + "] ";
        else
            text += "; ";
    }
    if (count > kTracedWords)
        text += " ... ";
    return text;
}

void SaveAccessTrace(const std::string& text)
{
    nyDebugSaveMem(kTraceText, "[T= ", 4);
    const double now = GetSoftwareTime();
    uint64_t bits = 0;
    static_assert(sizeof bits == sizeof now, "the software time is stored as 64 bits");
    memcpy(&bits, &now, sizeof bits);
    nyDebugSave64(kTraceTime, bits);
    nyDebugSaveMem(kTraceText, "]: ", 3);
    nyDebugSaveMem(kTraceText, text.data(),
                   static_cast<uint8_t>(std::min(text.size(), kTraceTextMax)));
    nyDebugSaveOpcode8(kTraceAccessOpcode);
}

// ---- The simulation buffer

// Number of words of a run at byte offset `address` that lie inside a buffer of `size` bytes.
uint32_t SimulatedWords(const unsigned char* buffer, uint32_t size, uint32_t address,
                        uint32_t words)
{
    if (buffer == nullptr || address >= size)
        return 0;
    const uint64_t fit = (static_cast<uint64_t>(size) - address) / 4;
    return static_cast<uint32_t>(std::min<uint64_t>(words, fit));
}

// ---- The FPGA device

uint32_t DeviceReadWord(uint32_t address)
{
    uint8_t record[RYXFPGA_RAW_HEAD_BYTES + 4];
    PutU32(record, kRawTagRead);
    PutU32(record + 4, address);
    PutU32(record + 8, 4);
    PutU32(record + 12, kRawReadPreload);
    if (RyxFpgaRawRead(record) == 0 && GetU32(record) == 0)
        return GetU32(record + 12);
    return kFailedReadWord;
}

void DeviceReadBuffer(uint32_t address, uint32_t* buffer, uint32_t words)
{
    const uint64_t dataBytes = static_cast<uint64_t>(words) * 4;
    // The record's byte count is a 32-bit field: a longer run cannot be expressed.
    uint8_t* record = nullptr;
    if (dataBytes <= UINT32_MAX - RYXFPGA_RAW_HEAD_BYTES)
        record =
            static_cast<uint8_t*>(malloc(static_cast<size_t>(dataBytes) + RYXFPGA_RAW_HEAD_BYTES));
    if (record == nullptr)
    {
        memset(buffer, kNoRecordByte, static_cast<size_t>(dataBytes));
        return;
    }
    PutU32(record, kRawTagRead);
    PutU32(record + 4, address);
    PutU32(record + 8, static_cast<uint32_t>(dataBytes));
    memset(record + RYXFPGA_RAW_HEAD_BYTES, 0, static_cast<size_t>(dataBytes));
    if (RyxFpgaRawRead(record) == 0 && GetU32(record) == 0)
    {
        for (uint32_t i = 0; i < words; ++i)
            buffer[i] = GetU32(record + RYXFPGA_RAW_HEAD_BYTES + 4 * static_cast<size_t>(i));
    }
    else
    {
        memset(buffer, kFailedReadByte, static_cast<size_t>(dataBytes));
    }
    free(record);
}

void DeviceWriteWord(uint32_t address, uint32_t value)
{
    uint8_t record[RYXFPGA_RAW_HEAD_BYTES + 4];
    PutU32(record, kRawTagWordWrite);
    PutU32(record + 4, address);
    PutU32(record + 8, 4);
    PutU32(record + 12, value);
    RyxFpgaRawWrite(record);
}

void DeviceWriteBuffer(uint32_t address, const uint32_t* buffer, uint32_t words)
{
    const uint64_t dataBytes = static_cast<uint64_t>(words) * 4;
    if (dataBytes > UINT32_MAX - RYXFPGA_RAW_HEAD_BYTES)
        return;
    uint8_t* record =
        static_cast<uint8_t*>(malloc(static_cast<size_t>(dataBytes) + RYXFPGA_RAW_HEAD_BYTES));
    if (record == nullptr)
        return;
    PutU32(record, kRawTagRead);
    PutU32(record + 4, address);
    PutU32(record + 8, static_cast<uint32_t>(dataBytes));
    for (uint32_t i = 0; i < words; ++i)
        PutU32(record + RYXFPGA_RAW_HEAD_BYTES + 4 * static_cast<size_t>(i), buffer[i]);
    RyxFpgaRawWrite(record);
    free(record);
}

// ---- Untraced accesses

uint32_t EffectiveAddress(int32_t address, bool absolute, uint32_t base)
{
    uint32_t effective = static_cast<uint32_t>(address);
    if (!absolute)
        effective += base;
    return effective & ~3u;
}
// The bus as the driver sees it: the FPGA device, or the simulation buffer while simulating.
struct SBusView
{
    bool bSimulate;
    unsigned char* pBuffer;
    uint32_t ulSize;

    uint32_t ReadWord(uint32_t address) const
    {
        if (!bSimulate)
            return DeviceReadWord(address);
        if (SimulatedWords(pBuffer, ulSize, address, 1) == 0)
            return kUnservedSimulatedRead;
        return GetU32(pBuffer + address);
    }

    void ReadBuffer(uint32_t address, uint32_t* buffer, uint32_t words) const
    {
        if (!bSimulate)
        {
            DeviceReadBuffer(address, buffer, words);
            return;
        }
        const uint32_t n = SimulatedWords(pBuffer, ulSize, address, words);
        for (uint32_t i = 0; i < n; ++i)
            buffer[i] = GetU32(pBuffer + address + 4 * static_cast<size_t>(i));
    }

    void WriteWord(uint32_t address, uint32_t value) const
    {
        if (!bSimulate)
            DeviceWriteWord(address, value);
        else if (SimulatedWords(pBuffer, ulSize, address, 1) == 1)
            PutU32(pBuffer + address, value);
    }

    void WriteBuffer(uint32_t address, const uint32_t* buffer, uint32_t words) const
    {
        if (!bSimulate)
        {
            DeviceWriteBuffer(address, buffer, words);
            return;
        }
        const uint32_t n = SimulatedWords(pBuffer, ulSize, address, words);
        for (uint32_t i = 0; i < n; ++i)
            PutU32(pBuffer + address + 4 * static_cast<size_t>(i), buffer[i]);
    }
};
} // namespace

uint32_t CQTX::BPBReadWord(int32_t address, bool absolute)
{
    const uint32_t effective = EffectiveAddress(address, absolute, ulBpbBaseAddress);
    const uint32_t value =
        SBusView{bSimulate, pBpbSimulationBuffer, ulBpbSimulationSize}.ReadWord(effective);

    const bool toReceiver = bHWAccessDebug && tDebugReceiver.Available();
    const bool toRecord = bHWAccessDebug && (nyDebugInterfaceGlobalFlags & NYDEBUG_FLAG_PROGRESS);
    if (toReceiver || toRecord)
    {
        const std::string text = std::string(bSimulate ? "Dummy" : "") +
                                 "ReadFromBpb: Address=" + Hex(effective) + ", Data=" + Hex(value);
        if (toReceiver)
            DebugOutput(text);
        if (toRecord)
            SaveAccessTrace(text);
    }
    return value;
}

void CQTX::BPBReadBuffer(int32_t address, uint32_t* buffer, uint32_t words, bool absolute)
{
    if (buffer == nullptr)
        return;
    const uint32_t effective = EffectiveAddress(address, absolute, ulBpbBaseAddress);
    SBusView{bSimulate, pBpbSimulationBuffer, ulBpbSimulationSize}.ReadBuffer(effective, buffer,
                                                                              words);

    const bool toReceiver = bHWAccessDebug && tDebugReceiver.Available();
    const bool toRecord = bHWAccessDebug && (nyDebugInterfaceGlobalFlags & NYDEBUG_FLAG_PROGRESS);
    if (toReceiver || toRecord)
    {
        const std::string text =
            std::string(bSimulate ? "Dummy" : "") + "ReadFromBpb: Address=" + Hex(effective) +
            ", Length=" + std::to_string(words) + ", Data=" + WordListText(buffer, words);
        if (toReceiver)
            DebugOutput(text);
        if (toRecord)
            SaveAccessTrace(text);
    }
}

void CQTX::BPBWriteWord(int32_t address, uint32_t value, bool absolute)
{
    const uint32_t effective = EffectiveAddress(address, absolute, ulBpbBaseAddress);
    SBusView{bSimulate, pBpbSimulationBuffer, ulBpbSimulationSize}.WriteWord(effective, value);

    const bool toReceiver = bHWAccessDebug && tDebugReceiver.Available();
    const bool toRecord = bHWAccessDebug && (nyDebugInterfaceGlobalFlags & NYDEBUG_FLAG_PROGRESS);
    if (toReceiver || toRecord)
    {
        const std::string text = std::string(bSimulate ? "Dummy" : "") +
                                 "WriteToBpb: Address=" + Hex(effective) + ", Data=" + Hex(value);
        if (toReceiver)
            DebugOutput(text);
        if (toRecord)
            SaveAccessTrace(text);
    }
}

void CQTX::BPBWriteBuffer(int32_t address, const uint32_t* buffer, uint32_t words, bool absolute)
{
    if (buffer == nullptr)
        return;
    const uint32_t effective = EffectiveAddress(address, absolute, ulBpbBaseAddress);
    SBusView{bSimulate, pBpbSimulationBuffer, ulBpbSimulationSize}.WriteBuffer(effective, buffer,
                                                                               words);

    const bool toReceiver = bHWAccessDebug && tDebugReceiver.Available();
    const bool toRecord = bHWAccessDebug && (nyDebugInterfaceGlobalFlags & NYDEBUG_FLAG_PROGRESS);
    if (toReceiver || toRecord)
    {
        const std::string text =
            std::string(bSimulate ? "Dummy" : "") + "WriteToBpb: Address=" + Hex(effective) +
            ", Length=" + std::to_string(words) + ", Data=" + WordListText(buffer, words);
        if (toReceiver)
            DebugOutput(text);
        if (toRecord)
            SaveAccessTrace(text);
    }
}

bool CQTX::BPBCompareWord(int32_t address, uint32_t wanted, uint32_t mask, bool absolute)
{
    const uint32_t value = SBusView{bSimulate, pBpbSimulationBuffer, ulBpbSimulationSize}.ReadWord(
        EffectiveAddress(address, absolute, ulBpbBaseAddress));
    const bool result = bSimulate || (value & mask) == wanted;
    if (!result)
    {
        ulBpbCompareAddress = static_cast<uint32_t>(address) + (absolute ? 0 : ulBpbBaseAddress);
        ulBpbCompareRead = value & mask;
        ulBpbCompareWanted = wanted;
    }
    if (bHWAccessDebug && tDebugReceiver.Available())
        DebugOutput(std::string(bSimulate ? "Dummy" : "") +
                    "CompareWithBpb [Result=" + (result ? "true" : "false") +
                    "]: Address=" + Hex(static_cast<uint32_t>(address)) + AddressKind(absolute) +
                    " Wanted=" + Hex(wanted) + " Read=" + Hex(value) + "Mask=" + Hex(mask));
    return result;
}

bool CQTX::BPBCompareBuffer(int32_t address, const uint32_t* buffer, uint32_t words, bool absolute)
{
    const bool trace = bHWAccessDebug && tDebugReceiver.Available();
    const std::string prefix = bSimulate ? "Dummy" : "";
    const uint32_t start = static_cast<uint32_t>(address);
    uint32_t compared = 0;
    if (!bSimulate && buffer != nullptr)
    {
        const SBusView bus{bSimulate, pBpbSimulationBuffer, ulBpbSimulationSize};
        for (; compared < words; ++compared)
        {
            const uint32_t wordAddress = start + 4 * compared;
            const uint32_t value = bus.ReadWord(
                EffectiveAddress(static_cast<int32_t>(wordAddress), absolute, ulBpbBaseAddress));
            if (value == buffer[compared])
                continue;
            ulBpbCompareAddress = wordAddress + (absolute ? 0 : ulBpbBaseAddress);
            ulBpbCompareRead = value;
            ulBpbCompareWanted = buffer[compared];
            if (trace)
                DebugOutput(prefix + "CompareBufferWithBpb [Result=false]: Error at address " +
                            Hex(wordAddress) + AddressKind(absolute) + ", read " + Hex(value) +
                            ", expected " + Hex(buffer[compared]));
            return false;
        }
    }
    if (trace)
        DebugOutput(prefix + "CompareBufferWithBpb [Result=true], last checked address was " +
                    Hex(start + 4 * compared - 4) + AddressKind(absolute));
    return true;
}

double CQTX::GetHardwareTime()
{
    if (bSimulate || GetHWFamily() >= QTX_HW_FAMILY_WAG)
        return GetSoftwareTime();

    const SBusView bus{bSimulate, pBpbSimulationBuffer, ulBpbSimulationSize};
    LockGuard guard(HardwareTimeMutex());
    guard.Lock();
    bus.ReadBuffer(kHardwareClockAddress, &tHWTime[0], 2);
    bus.ReadBuffer(kHardwareClockAddress, &tHWTime[2], 2);
    // The seconds may have turned between the two words of the first reading: then the second
    // reading is the consistent one.
    const uint32_t* reading = (tHWTime[0] == tHWTime[2]) ? &tHWTime[0] : &tHWTime[2];
    return static_cast<double>(reading[0]) + static_cast<double>(reading[1]) / 4294967296.0;
}

int CQTX::GetHWFamily()
{
    const int cached = __atomic_load_n(&iHWFamily, __ATOMIC_ACQUIRE);
    if (cached != QTX_HW_FAMILY_UNKNOWN)
        return cached;
    const int family = SelectHWFamily(BPBReadWord(0, true), bSimulate);
    // An unknown family is determined again on the next request.
    if (family != QTX_HW_FAMILY_UNKNOWN)
        __atomic_store_n(&iHWFamily, family, __ATOMIC_RELEASE);
    return family;
}

// ---- C entry points of the hardware units

namespace
{
int32_t BusAddressOf(const uint32_t* address)
{
    return static_cast<int32_t>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address)));
}
} // namespace

int CppStoreU32(uint32_t* address, uint32_t value)
{
    const CGlobalQTXUse use;
    CQTX* driver = use.Driver();
    if (driver == nullptr)
        return -1;
    driver->BPBWriteWord(BusAddressOf(address), value, true);
    return 0;
}

int CppReadU32(uint32_t* address, uint32_t* value)
{
    const CGlobalQTXUse use;
    CQTX* driver = use.Driver();
    if (driver == nullptr)
        return -1;
    const uint32_t word = driver->BPBReadWord(BusAddressOf(address), true);
    if (value != nullptr)
        *value = word;
    return 0;
}

int CppCheckU32(uint32_t* address, uint32_t wanted)
{
    const CGlobalQTXUse use;
    CQTX* driver = use.Driver();
    if (driver == nullptr)
        return 0;
    return driver->BPBCompareWord(BusAddressOf(address), wanted, 0xFFFFFFFFu, true) ? 1 : 0;
}

extern "C" int store_u32(uint32_t* address, uint32_t value)
{
    return CppStoreU32(address, value);
}

extern "C" int read_u32(uint32_t* address, uint32_t* value)
{
    return CppReadU32(address, value);
}

extern "C" int check_u32(uint32_t* address, uint32_t wanted)
{
    return CppCheckU32(address, wanted);
}
