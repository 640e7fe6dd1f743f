// Parsing, accepting and applying a binary sniffer configuration: the entry checks of the
// signal groups, the remap words of inputs and outputs, the description of the module's
// signals for the signal-routing driver, and the programming of FPGA and controller.
#include "PnSnifferConfig.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "Cdi.h"
#include "PnCopyMachine.h"
#include "PnDrv.h"
#include "QTXBin.h"
#include "QTXGenerateForDuf.h"
#include "QTXGlobal.h"
#include "nyDebug.h"

namespace
{
// Signal types the driver takes: 1 to 24, 26 and 27.
const unsigned char kSignalTypes[] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13,
                                      14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 26, 27};
const QtxBinSignalTypesAvailable kTypesAvailable(kSignalTypes, sizeof kSignalTypes);

constexpr uint32_t kCopyTableHalf = 19720;
constexpr uint32_t kCopyImageHalf = 49152;
constexpr uint32_t kSubslotHead = 16;
constexpr uint32_t kSubslotEntry = 16;
// Entries the subslot list has room for behind its head.
constexpr uint32_t kMaxSubslots = (PN_SUBSLOT_LIST_SIZE - kSubslotHead) / kSubslotEntry;
constexpr uint32_t kMaxDigitalOutputs = 1024;
constexpr int32_t kBusInputArea = 0x8000;
constexpr int32_t kBusProgram[2] = {0x40000, 0x60000};
constexpr int32_t kBusOutputArea[2] = {0x48000, 0x68000};
constexpr int32_t kBusStop1 = 0x201C;
constexpr int32_t kBusStop2 = 0x2018;
constexpr uint32_t kRemanentWord = 0x2102C;

#define PN_TRACE(...) nyDebugSavePrintf(NYDEBUG_LEVEL_INFO, __VA_ARGS__)

bool InUse(const uint8_t* entry)
{
    return (entry[2] & 0x80) != 0;
}

// The remap word of a memory address a (bits, signed) of widthBits bits.
uint32_t MemoryWord(int32_t a, uint32_t widthBits)
{
    const uint32_t w = std::max<uint32_t>(widthBits / 8, 1);
    if (a >= 0)
        return (widthBits == 8 ? 0x90000000u : 0xB0000000u) |
               ((static_cast<uint32_t>(a) / 8) & 0x0FFFFFFFu);
    const uint32_t u = static_cast<uint32_t>(a);
    if (u > 0x801FFFFFu)
        return 0xC0000000u | ((w - 1) & 3u) << 24;
    if (widthBits == 1)
        return 0xC8000000u | (u & 7u) << 24 | ((u / 8) & 0x3FFFFu);
    return 0xC0000000u | ((w - 1) & 3u) << 24 | ((u / 8) & 0x3FFFFu);
}

int InUseCount(const uint8_t* entries, uint32_t count)
{
    int n = 0;
    for (uint32_t i = 0; i < count; ++i)
        n += InUse(entries + PN_SIGNAL_ENTRY_SIZE * i) ? 1 : 0;
    return n;
}

// Opens the description's list of a group: one signal per entry in use.
void AddList(CQTXGenerateForDuf* writer, const _QTXBIN_GROUP& group, const uint8_t* entries)
{
    if (writer == nullptr)
        return;
    _GFDSignalListProperties list;
    if (!InitGFDSignalListProperties(&list, &group))
        return;
    QtxBinPutU16(list.head + 6, static_cast<uint16_t>(InUseCount(entries, group.count)));
    writer->AddSignalList(&list);
}
} // namespace

CPnSnifferConfig::CPnSnifferConfig()
{
    m_apImages[0].reset(new (std::nothrow) PnSnifferSignalRemap);
    m_apImages[1].reset(new (std::nothrow) PnSnifferSignalRemap);
    NyMutexCreatePrivate(&m_tMutex);
}

CPnSnifferConfig::~CPnSnifferConfig()
{
    m_apImages[1].reset();
    m_apImages[0].reset();
    pthread_mutex_destroy(&m_tMutex);
}

bool CPnSnifferConfig::Allocate()
{
    m_pRemapWords.reset(new (std::nothrow) uint32_t[PN_REMAP_AREAS * PN_REMAP_WORDS]());
    m_pCopyTables.reset(new (std::nothrow) uint8_t[PN_COPY_TABLES_SIZE]());
    m_pSubslotList.reset(new (std::nothrow) uint8_t[PN_SUBSLOT_LIST_SIZE]());
    m_pCopyImages.reset(new (std::nothrow) uint8_t[PN_COPY_IMAGES_SIZE]());
    if (!m_pRemapWords || !m_pCopyTables || !m_pSubslotList || !m_pCopyImages || !m_apImages[0] ||
        !m_apImages[1] || m_apImages[0]->Status() != 0 || m_apImages[1]->Status() != 0)
        return false;
    for (int i = 0; i < PN_REMAP_AREAS; ++i)
        m_atAreas[i] = PnRemapArea{m_pRemapWords.get() + i * PN_REMAP_WORDS, 0, 0, 0, 0};
    m_pSubslotList[PN_SUBSLOT_LIST_SIZE - 1] = 0;
    for (int port = 0; port < 2; ++port)
        for (int half = 0; half < 2; ++half)
            CpmReset(m_pCopyTables.get() + (2 * port + half) * kCopyTableHalf,
                     static_cast<uint8_t>(port));
    return true;
}

uint8_t* CPnSnifferConfig::BuildingCopyTable(int port)
{
    return m_pCopyTables.get() + (2 * port + (m_aulCopySelector[port] & 1)) * kCopyTableHalf;
}

const uint8_t* CPnSnifferConfig::ActiveCopyTable(int port) const
{
    return m_pCopyTables.get() + (2 * port + ((m_aulCopySelector[port] & 1) ^ 1)) * kCopyTableHalf;
}

uint32_t CPnSnifferConfig::PortFlag() const
{
    return m_ulFpgaVersion < PN_FPGA_NEW_PORT_FLAG ? 0x4000u : 0x400000u;
}

int CPnSnifferConfig::TakeImageGroups(CQTXBin& bin, bool stored)
{
    const QtxBinCfgView view = bin.GetConfiguration();
    PnSnifferSignalRemap& image = BuildingImage();
    struct Kind
    {
        uint16_t type;
        uint16_t size;
        const char* none;
        const char* errors;
    };
    const Kind kinds[] = {{PN_GROUP_DEVICES, 256, "NoSniffDevs", "DEVICEs_ERRs"},
                          {PN_GROUP_CONTROLLERS, 256, "NoSniffCtrls", "CONTROLLERs_ERRs"},
                          {PN_GROUP_RAW_RELATIONS, 16, "NoRawCRs", nullptr}};
    for (const Kind& kind : kinds)
    {
        unsigned char* entries = nullptr;
        unsigned int index = 0;
        _QTXBIN_GROUP group{};
        const int taken =
            QtxBinCfgGetAndCheckGroup(view, kind.type, &entries, &index, kind.size, &group);
        if (taken != 0)
            return taken;
        if (entries == nullptr || group.count == 0)
        {
            PN_TRACE("%s", kind.none);
            continue;
        }
        int result;
        if (kind.type == PN_GROUP_DEVICES)
            result = image.AddDevices(entries, group.count, !stored);
        else if (kind.type == PN_GROUP_CONTROLLERS)
            result = image.AddControllers(entries, group.count);
        else
            result = image.AddRawRelations(entries, group.count);
        if (result == PN_ERR_ENTRIES && kind.errors != nullptr)
        {
            const std::vector<int16_t>& codes = image.Errors();
            bin.Cfg_AddEntriesErrorList(codes.data(), static_cast<unsigned short>(codes.size()),
                                        static_cast<unsigned char>(index), kind.errors);
        }
        if (result != 0)
            return result;
    }
    return 0;
}

int CPnSnifferConfig::CheckEntry(uint8_t* entry, uint32_t number, bool analog, bool output)
{
    const uint32_t type = entry[2] & 0x3F;
    const uint32_t access = entry[3] & 3;
    uint32_t kind = (entry[3] >> 4) & 3;
    uint32_t width = 1;
    if (analog)
    {
        width = static_cast<uint32_t>(QtxBinGetSizeOfType_Bits(static_cast<unsigned char>(type)));
        if (width < 8 || width > 64 || !kTypesAvailable.IsAvailable(type))
            return PN_ERR_TYPE;
        if (VraOrigType2ForDufVraType(static_cast<unsigned char>(type)) == VraNone)
            return PN_ERR_NO_ROUTING_TYPE;
    }
    if (output && access > 1)
        return PN_ERR_ACCESS;
    switch (access)
    {
    case 0:
    case 1:
    {
        const uint32_t slot = QtxBinGetU16(entry + 4);
        uint32_t offset = QtxBinGetU16(entry + 6);
        if (kind == 0 && slot == 64)
        {
            // The module's special values, addressed by their byte position.
            kind = 2;
            entry[3] = static_cast<uint8_t>((entry[3] & ~0x30) | 0x20);
            offset = offset / 8 + (analog ? 4096 : 8192);
            QtxBinPutU16(entry + 6, static_cast<uint16_t>(offset));
        }
        if (kind == 1)
            return 0;
        if (kind == 2)
            return output ? 0
                          : CpmRegisterSpecialValue(BuildingCopyTable(static_cast<int>(access)),
                                                    static_cast<uint16_t>(offset), entry[4]);
        if (kind == 3)
            return PN_ERR_SOURCE_KIND;
        if (slot < 1 || slot > 64)
            return PN_ERR_SLOT_NUMBER;
        if (offset + width > 2032)
            return PN_ERR_BIT_OFFSET;
        if (output)
            return 0;
        return CpmRegisterSlotRange(BuildingCopyTable(static_cast<int>(access)),
                                    static_cast<uint8_t>(slot), offset / 8,
                                    (offset % 8 + width + 7) / 8);
    }
    case 2:
        if (kind == 1)
        {
            const int32_t address = static_cast<int32_t>(QtxBinGetU32(entry + 4));
            if (address >= 0)
            {
                if (width != 8 && width != 32)
                    return PN_ERR_TYPE;
                if (static_cast<uint64_t>(address) + width > 0x80000000ull)
                    return PN_ERR_MEMORY_RANGE;
                return 0;
            }
            if (static_cast<uint64_t>(static_cast<uint32_t>(address)) + width > 0x80200000ull)
                return PN_ERR_MEMORY_RANGE;
            return 0;
        }
        return BuildingImage().AddSnifferSignal(entry, number, width);
    default:
        return PN_ERR_ACCESS;
    }
}

int CPnSnifferConfig::CheckGroup(CQTXBin& bin, Group& g, bool analog, bool output)
{
    bool failed = false;
    for (uint32_t i = 0; i < g.tGroup.count; ++i)
    {
        uint8_t* entry = g.pEntries + PN_SIGNAL_ENTRY_SIZE * i;
        if (!InUse(entry))
            continue;
        const int code = CheckEntry(entry, i, analog, output);
        if (code == 0)
            continue;
        bin.Cfg_AddEntryError(static_cast<short>(code), static_cast<unsigned char>(g.uIndex),
                              static_cast<unsigned short>(i));
        if (code <= -1000 && code >= -16999)
            return code;
        failed = failed || code < 0;
    }
    return failed ? PN_ERR_ENTRIES : 0;
}

int CPnSnifferConfig::InputWord(const uint8_t* entry, uint32_t number, bool analog,
                                uint32_t remapIndex, uint32_t* word, uint32_t* bytes,
                                uint32_t* widthBits, uint8_t* type)
{
    const uint32_t access = entry[3] & 3;
    const uint32_t kind = (entry[3] >> 4) & 3;
    *type = entry[2] & 0x3F;
    uint32_t width = analog ? static_cast<uint32_t>(QtxBinGetSizeOfType_Bits(*type)) : 1;
    uint32_t w = analog ? width / 8 : 0;
    switch (access)
    {
    case 0:
    case 1:
    {
        int32_t position = 0;
        const int placed =
            CpmPlaceValue(BuildingCopyTable(static_cast<int>(access)), entry, width, &position);
        if (placed != 0)
            return placed;
        const uint32_t port = access == 1 ? PortFlag() : 0;
        if (kind == 2 && QtxBinGetU16(entry + 6) == PN_SPECIAL_SLOT_DIAGNOSIS)
            *word = 0x20000FFFu | ((std::max<uint32_t>(w, 1) - 1) & 7u) << 24 | port;
        else if (analog)
            *word = 0x20000000u | ((w - 1) & 7u) << 24 | port |
                    ((static_cast<uint32_t>(position) / 8) & 0xFFFu);
        else
            *word = 0x28000000u | (static_cast<uint32_t>(position) & 7u) << 24 | port |
                    ((static_cast<uint32_t>(position) / 8) & 0xFFFu);
        break;
    }
    case 2:
        if (kind == 1)
        {
            const int32_t address = static_cast<int32_t>(QtxBinGetU32(entry + 4));
            if (address >= 0 && analog && width != 8)
            {
                // Read as a 32-bit value.
                width = 32;
                w = 4;
                if (*type != 5 && *type != 6 && *type != 7)
                    *type = 6;
            }
            *word = MemoryWord(address, width);
        }
        else if (kind == 2)
        {
            BuildingImage().MarkDiagnosisValue(number, !analog, remapIndex);
            *word = 0xB0000000u;
        }
        else
        {
            const int64_t v = BuildingImage().FindSnifferValue(number, !analog);
            if (v < 0)
                return PN_ERR_NO_PLACE;
            const uint32_t u = static_cast<uint32_t>(v);
            if (v >= 0x80000000LL)
            {
                if (analog)
                    return PN_ERR_STATUS_ANALOG;
                *word = 0x58000000u | (u & 7u) << 24 | (((u + 0x80000000u) / 8) & 0x7Fu);
            }
            else if (analog)
                *word = 0x20C00000u | ((w - 1) & 7u) << 24 | ((u >> 16) & 0x3FFu) << 12 |
                        ((u & 0x7FFFu) / 8);
            else
                *word =
                    0x28C00000u | (u & 7u) << 24 | ((u >> 16) & 0x3FFu) << 12 | ((u & 0x7FFFu) / 8);
        }
        break;
    default:
        return PN_ERR_ACCESS;
    }
    *bytes = w;
    *widthBits = analog ? width : 1;
    return 0;
}

int CPnSnifferConfig::FillInputs(CQTXBin& bin, Group& g, bool analog, CQTXGenerateForDuf* writer)
{
    PnRemapArea& area = m_atAreas[3];
    AddList(writer, g.tGroup, g.pEntries);
    int first = 0;
    for (uint32_t i = 0; i < g.tGroup.count; ++i)
    {
        const uint8_t* entry = g.pEntries + PN_SIGNAL_ENTRY_SIZE * i;
        if (!InUse(entry))
            continue;
        if (area.ulCount > PN_REMAP_WORDS - 2)
        {
            first = first != 0 ? first : PN_ERR_TOO_MANY_REMAP;
            bin.Cfg_AddEntryError(PN_ERR_TOO_MANY_REMAP, static_cast<unsigned char>(g.uIndex),
                                  static_cast<unsigned short>(i));
            break;
        }
        uint32_t word = 0;
        uint32_t bytes = 0;
        uint32_t width = 0;
        uint8_t type = 0;
        const int code = InputWord(entry, i, analog, area.ulCount, &word, &bytes, &width, &type);
        if (code != 0)
        {
            first = first != 0 ? first : code;
            bin.Cfg_AddEntryError(static_cast<short>(code), static_cast<unsigned char>(g.uIndex),
                                  static_cast<unsigned short>(i));
            if (writer != nullptr)
                writer->AddSignal(static_cast<int>(i), 0, 0, VraNone);
            continue;
        }
        uint32_t offset;
        if (analog)
        {
            offset = area.ulBytes * 8;
            area.ulBytes += bytes;
            ++area.ulCounterA;
        }
        else
        {
            offset = area.ulBytes * 8 + area.ulCounterB;
            ++area.ulCounterB;
        }
        area.pWords[area.ulCount++] = word;
        if (writer != nullptr)
            writer->AddSignal(static_cast<int>(i), static_cast<int>(offset),
                              static_cast<int>(width),
                              analog ? VraOrigType2ForDufVraType(type) : VraDigital);
    }
    return first;
}

int CPnSnifferConfig::FillOutputs(CQTXBin& bin, Group& g, CQTXGenerateForDuf* writer)
{
    PnRemapArea* areas[2] = {&m_atAreas[4], &m_atAreas[5]};
    uint32_t running[2] = {0, 0};
    uint32_t openSlot[2] = {0, 0};
    uint32_t outputBytes = 0;
    int first = 0;
    if (g.bUse)
        AddList(writer, g.tGroup, g.pEntries);
    for (uint32_t i = 0; g.bUse && i < g.tGroup.count; ++i)
    {
        const uint8_t* entry = g.pEntries + PN_SIGNAL_ENTRY_SIZE * i;
        if (!InUse(entry))
            continue;
        if (areas[0]->ulCount > PN_REMAP_WORDS - 5 || areas[1]->ulCount > PN_REMAP_WORDS - 5)
        {
            first = PN_ERR_TOO_MANY_REMAP;
            bin.Cfg_AddEntryError(PN_ERR_TOO_MANY_REMAP, static_cast<unsigned char>(g.uIndex),
                                  static_cast<unsigned short>(i));
            break;
        }
        const uint32_t w = static_cast<uint32_t>(
            std::max(QtxBinGetSizeOfType_Bytes(static_cast<unsigned char>(entry[2] & 0x3F)), 1));
        const int port = entry[3] & 1;
        PnRemapArea& area = *areas[port];
        const uint32_t slot = entry[4];
        if (running[port] != outputBytes + 32)
        {
            running[port] = outputBytes + 32;
            area.pWords[area.ulCount++] = 0x10000000u | (running[port] & 0xFFFu);
        }
        if (slot != openSlot[port])
        {
            if (openSlot[port] != 0)
                area.pWords[area.ulCount++] =
                    0x53000000u | ((0x10000u + 2048u * (openSlot[port] - 1) + 0x48u) & 0xFFFFFu);
            if (slot != 0)
                area.pWords[area.ulCount++] =
                    0x43000000u | ((0x10000u + 2048u * (slot - 1) + 0x44u) & 0xFFFFFu);
            openSlot[port] = slot;
        }
        area.pWords[area.ulCount++] =
            0x30000000u | ((w - 1) & 7u) << 24 | ((QtxBinGetU16(entry + 6) / 8u) & 0xFFFu);
        if (writer != nullptr)
            writer->AddSignal(static_cast<int>(i), static_cast<int>(outputBytes * 8), 1,
                              VraOrigType2ForDufVraType(entry[2] & 0x3F));
        running[port] += w;
        area.ulBytes += w;
        outputBytes += w;
        const uint32_t digital = std::min<uint32_t>(entry[8], 64);
        if (digital == 0)
            ++area.ulCounterA;
        else
            area.ulCounterB += digital;
    }
    if (first != 0)
        return first;
    if (areas[0]->ulCounterB + areas[1]->ulCounterB > kMaxDigitalOutputs)
    {
        PN_TRACE("TooManyDigOuts");
        return PN_ERR_RECORDS_FULL;
    }
    for (int port = 0; port < 2; ++port)
    {
        PnRemapArea& area = *areas[port];
        if (openSlot[port] != 0)
        {
            if (area.ulCount > PN_REMAP_WORDS - 1)
                return PN_ERR_TOO_MANY_REMAP;
            area.pWords[area.ulCount++] =
                0x53000000u | ((0x10000u + 2048u * (openSlot[port] - 1) + 0x48u) & 0xFFFFFu);
        }
        if (area.ulCount < PN_REMAP_WORDS)
            area.pWords[area.ulCount++] = 0;
    }
    return 0;
}

int CPnSnifferConfig::Parse(CQTXBin& bin, bool stored, CQTXGenerateForDuf* writer,
                            int* subslotGroup)
{
    *subslotGroup = 0;
    const QtxBinCfgView view = bin.GetConfiguration();
    if (view.data == nullptr || !m_pCopyTables)
        return PN_ERR_NO_DATA;
    if (QtxBinGetU16(view.data + 2) != 1)
        PN_TRACE("CfgType-NoPN!! %u", QtxBinGetU16(view.data + 2));
    QtxBinCfgSetCheckResult(view, 0);

    for (int port = 0; port < 2; ++port)
        CpmReset(BuildingCopyTable(port), static_cast<uint8_t>(port));
    BuildingImage().Reset();
    for (int i = 3; i < PN_REMAP_AREAS; ++i)
        m_atAreas[i] = PnRemapArea{m_atAreas[i].pWords, 0, 0, 0, 0};
    // Both output areas start with a 0 word.
    for (int i = 4; i < PN_REMAP_AREAS; ++i)
        m_atAreas[i].pWords[m_atAreas[i].ulCount++] = 0;

    int result = TakeImageGroups(bin, stored);
    if (result != 0)
        return result;

    // Signal groups: analog inputs, digital inputs, analog outputs.
    const uint16_t types[3] = {PN_GROUP_ANALOG_IN, PN_GROUP_DIGITAL_IN, PN_GROUP_ANALOG_OUT};
    const char* traces[3] = {"AIErr", "DIErr", "AOErr"};
    Group groups[3];
    for (int k = 0; k < 3; ++k)
    {
        Group& g = groups[k];
        const int taken = QtxBinCfgGetAndCheckGroup(view, types[k], &g.pEntries, &g.uIndex,
                                                    PN_SIGNAL_ENTRY_SIZE, &g.tGroup);
        if (taken != 0)
        {
            result = result != 0 ? result : taken;
            continue;
        }
        if (g.pEntries == nullptr || g.tGroup.count == 0)
            continue;
        g.bUse = true;
        const int checked =
            CheckGroup(bin, g, types[k] != PN_GROUP_DIGITAL_IN, types[k] == PN_GROUP_ANALOG_OUT);
        if (checked != 0)
        {
            PN_TRACE("%s %d", traces[k], checked);
            g.bUse = false;
            result = result != 0 ? result : checked;
        }
    }
    if (result != 0)
        return result;

    for (int port = 0; port < 2; ++port)
    {
        CpmSort(BuildingCopyTable(port));
        result = CpmGenerateSlotBlocks(BuildingCopyTable(port));
        if (result != 0)
        {
            PN_TRACE("CpyM-FpgaBuff-FULL!! %d", result);
            return result;
        }
    }

    result = BuildingImage().Complete();
    if (result != 0)
    {
        PN_TRACE("SN-Create %d", result);
        BuildingImage().WriteLastConfiguration();
        return result;
    }

    for (int k = 0; k < 2; ++k)
        if (groups[k].bUse)
        {
            const int filled = FillInputs(bin, groups[k], k == 0, writer);
            if (filled != 0)
            {
                PN_TRACE("AIRemErr %d", filled);
                result = result != 0 ? result : filled;
            }
        }
    const int outputs = FillOutputs(bin, groups[2], writer);
    if (outputs != 0)
    {
        PN_TRACE("AORemErr %d", outputs);
        result = result != 0 ? result : outputs;
    }
    if (result != 0)
        return result;

    for (int port = 0; port < 2; ++port)
    {
        int32_t endBits = 0;
        result = CpmClose(BuildingCopyTable(port), &endBits);
        if (result != 0)
        {
            PN_TRACE("X-WriteEndErr %d", result);
            return result;
        }
        m_alEndPosition[port] = endBits / 8;
    }

    PnRemapArea& input = m_atAreas[3];
    if (input.ulCount >= PN_REMAP_WORDS)
    {
        PN_TRACE("TooManyRemapEntries!! ");
        return PN_ERR_TOO_MANY_REMAP;
    }
    const uint32_t portFlag = PortFlag();
    for (uint32_t i = 0; i < input.ulCount; ++i)
    {
        uint32_t& word = input.pWords[i];
        if ((word >> 28) == 2 && (word & 0xFFFu) == 0xFFFu)
            word =
                (word & ~0xFFFu) |
                (static_cast<uint32_t>(m_alEndPosition[(word & portFlag) != 0 ? 1 : 0]) & 0xFFFu);
    }

    unsigned int marker = 0;
    if (QtxBinCfgSearchGroup(view, PN_GROUP_SUBSLOT_MARKER, nullptr, &marker))
        *subslotGroup = static_cast<int>(marker) + 1;
    PN_TRACE("end of switch");
    return 0;
}

void CPnSnifferConfig::Accept()
{
    for (uint32_t& selector : m_aulCopySelector)
        ++selector;
    ++m_ulImageSelector;
    for (int i = 3; i < PN_REMAP_AREAS; ++i)
        if (m_atAreas[i].ulCount < PN_REMAP_WORDS)
            m_atAreas[i].pWords[m_atAreas[i].ulCount] = 0;
    pthread_mutex_lock(&m_tMutex);
    for (int i = 0; i < 3; ++i)
        std::swap(m_atAreas[i], m_atAreas[i + 3]);
    pthread_mutex_unlock(&m_tMutex);
}

void CPnSnifferConfig::ActiveCounters(uint32_t counters[4])
{
    pthread_mutex_lock(&m_tMutex);
    counters[0] = m_atAreas[0].ulCounterA;
    counters[1] = m_atAreas[0].ulCounterB;
    counters[2] = m_atAreas[1].ulCounterA + m_atAreas[2].ulCounterA;
    counters[3] = m_atAreas[1].ulCounterB + m_atAreas[2].ulCounterB;
    pthread_mutex_unlock(&m_tMutex);
}

void CPnSnifferConfig::Apply(const PnBusAccess& bus, bool factoryDefault)
{
    if (!m_pCopyTables)
        return;
    bus.writeWord(kBusStop1, 0);
    bus.writeWord(kBusStop2, 0);
    PNDrvSPreparePort(0);
    PNDrvSPreparePort(1);
    PNDrvSConfigBegin();

    PnRemapArea& input = m_atAreas[0];
    PnSnifferSignalRemap& image = ActiveImage();
    const int started = image.StartAndFinish();
    if (started == 0)
    {
        uint32_t index = 0;
        int32_t address = 0;
        uint32_t width = 0;
        image.FirstDiagnosisValue();
        while (image.NextDiagnosisValue(&index, &address, &width))
        {
            if (index < input.ulCount)
                input.pWords[index] = MemoryWord(address, width);
            else
                PN_TRACE("DiagRemapIdx!! %u", index);
        }
    }
    else
        PN_TRACE("sniff->StartConfig!! %d", started);

    uint32_t wait = 768;
    const int waited = PNDrvSWaitCopyMachine(&wait) != 0 ? PNDRV_EXCHANGE_FAILED
                                                         : static_cast<int>(wait & ~0xFF00u);
    if (waited != 0)
        PN_TRACE("WaitCpyM %d", waited);

    std::vector<uint32_t> words(PN_CPM_PROGRAM_WORDS);
    for (int port = 0; port < 2; ++port)
    {
        uint8_t* table = const_cast<uint8_t*>(ActiveCopyTable(port));
        const uint32_t count = std::min<uint32_t>(CpmWordCount(table), PN_CPM_PROGRAM_WORDS - 1);
        CpmSetWord(table, count, 0);
        for (uint32_t i = 0; i <= count; ++i)
            words[i] = CpmWord(table, i);
        bus.writeBuffer(kBusProgram[port], words.data(), count + 1);
        const PnRemapArea& output = m_atAreas[1 + port];
        bus.writeBuffer(kBusOutputArea[port], output.pWords, output.ulCount);
        uint8_t* half = m_pCopyImages.get() + port * kCopyImageHalf;
        std::memset(half, 0, kCopyImageHalf);
        QtxBinPutU32(half + 4, static_cast<uint32_t>(port));
        CpmWriteSlotLengths(table, half);
        PNDrvSSetCopyImage(half);
    }

    const uint32_t count = std::min<uint32_t>(input.ulCount, PN_REMAP_WORDS - 1);
    input.pWords[count] = 0;
    bus.writeBuffer(kBusInputArea, input.pWords, count + 1);

    CdiCtrlWriteValue(kRemanentWord, 1, nullptr);
    CdiCtrlWriteValue(kRemanentWord | CDI_CTRL_PORT1, 1, nullptr);
    PNDrvSConfigEnd();
    if (factoryDefault)
    {
        PN_TRACE("SniffReset");
        PNDrvSReset(PNDRV_RESET_AFTER_FACTORY_DEFAULT);
        PN_TRACE("SniffReady");
    }
    bus.writeWord(kBusStop1, 1);
    bus.writeWord(kBusStop2, 1);
}

int CPnSnifferConfig::ReplySubslots(CQTXBin& bin, int subslotGroup)
{
    if (subslotGroup <= 0 || !m_pSubslotList)
        return 0;
    uint8_t* list = m_pSubslotList.get();
    std::memset(list, 0, 32);
    list[0] = 7;
    list[4] = 0x40;
    list[5] = 4;
    if (PNDrvSGetSubslots(list) != 0)
        return -1;
    // The controller's count is taken only as far as the list has room for.
    const uint32_t count = std::min<uint32_t>(QtxBinGetU16(list + 6), kMaxSubslots);
    auto* entries = static_cast<uint8_t*>(
        bin.Cfg_ReplyCreateGroupByIdx(subslotGroup - 1, PN_GROUP_SUBSLOT_REPLY, kSubslotEntry,
                                      static_cast<unsigned short>(count), "PN_SUBSLOTS_REPLY"));
    if (entries == nullptr)
        return -1;
    std::memcpy(entries, list + kSubslotHead, count * kSubslotEntry);
    m_pSubslotList[PN_SUBSLOT_LIST_SIZE - 1] = 0;
    return static_cast<int>(count);
}
