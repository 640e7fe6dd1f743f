// The copy-machine tables: slot entries, value placement, slot blocks and the closing of a
// port's program. Every field is read and written through the little-endian helpers.
#include "PnCopyMachine.h"

#include <algorithm>
#include <cstring>

#include "QTXBinConfig.h"

namespace
{
constexpr uint32_t kSlotEntries = 4;
constexpr uint32_t kSlotEntrySize = 52;
constexpr uint32_t kDigitalBits = 3332;
constexpr uint32_t kWordCount = 3334;
constexpr uint32_t kProgram = 3336;
constexpr uint32_t kMaxProgramWords = 4095; // the final 0 word lies behind them
constexpr uint32_t kSpecialCells = 8;

const PnSpecialValue kSpecialValues[] = {
    {0x0000, 1, 0x18, 0x480},  {0x0400, 0, 0x17, 0x880},    {0x1007, 4, 0x820, 0x440},
    {0x1008, 8, 0x880, 0x440}, {0x1000, 8, 0x10F7C0, 0x20}, {0x1001, 4, 0x8, 0x500},
    {0x1002, 4, 0x18, 0x410},  {0x1003, 4, 0x28, 0x410},    {0x1004, 4, 0x38, 0x410},
    {0x1005, 4, 0x58, 0x410},  {0x1006, 4, 0x68, 0x410},    {0x1009, 4, 0x88, 0x410},
};

uint8_t* SlotEntry(uint8_t* table, uint32_t i)
{
    return table + kSlotEntries + i * kSlotEntrySize;
}

// The entry of a slot, or null.
uint8_t* FindSlot(uint8_t* table, uint32_t slot)
{
    for (uint32_t i = 0; i < table[0] && i < PN_CPM_SLOTS; ++i)
        if (SlotEntry(table, i)[0] == slot)
            return SlotEntry(table, i);
    return nullptr;
}

// The entry of a slot, made when it is missing: a free one is reused, else one is appended.
uint8_t* FindOrMakeSlot(uint8_t* table, uint8_t slot)
{
    if (uint8_t* e = FindSlot(table, slot))
        return e;
    uint8_t* e = FindSlot(table, 0);
    if (e == nullptr)
    {
        if (table[0] >= PN_CPM_SLOTS)
            return nullptr;
        e = SlotEntry(table, table[0]++);
    }
    std::memset(e, 0, kSlotEntrySize);
    e[0] = slot;
    e[1] = 255;
    return e;
}

bool Append(uint8_t* table, uint32_t word)
{
    const uint16_t count = CpmWordCount(table);
    if (count >= kMaxProgramWords)
        return false;
    CpmSetWord(table, count, word);
    QtxBinPutU16(table + kWordCount, static_cast<uint16_t>(count + 1));
    return true;
}

// Room for an instruction that puts `bytes` bytes behind the destination position.
int MakeRoom(const uint8_t* table, uint32_t bytes)
{
    if (CpmDestination(table) + bytes > PN_CPM_DESTINATION_SIZE)
        return PN_ERR_CPM_FULL;
    if (CpmWordCount(table) > kMaxProgramWords - 1)
        return PN_ERR_RECORDS_FULL;
    return 0;
}

// Appends an instruction whose value takes `bytes` bytes at the destination position.
int AppendValue(uint8_t* table, uint32_t word, uint32_t bytes, int32_t* position)
{
    const int room = MakeRoom(table, bytes);
    if (room != 0)
        return room;
    const uint16_t destination = CpmDestination(table);
    Append(table, word);
    *position = static_cast<int32_t>(destination) * 8;
    QtxBinPutU16(table + 2, static_cast<uint16_t>(destination + bytes));
    return 0;
}

uint32_t MemoryWord(uint32_t byteAddress, uint32_t bytes, uint32_t area)
{
    return 0x20000000u | ((bytes - 1) & 7u) << 24 | (area & 7u) << 20 | (byteAddress & 0xFFFFFu);
}
} // namespace

const PnSpecialValue* PnFindSpecialValue(uint16_t id)
{
    for (const PnSpecialValue& row : kSpecialValues)
        if (row.usId == id)
            return &row;
    return nullptr;
}

void CpmReset(uint8_t* table, uint8_t port)
{
    std::memset(table, 0, PN_CPM_HEAD_SIZE);
    table[1] = port;
}

uint8_t CpmPort(const uint8_t* table)
{
    return table[1];
}

uint16_t CpmWordCount(const uint8_t* table)
{
    return QtxBinGetU16(table + kWordCount);
}

uint32_t CpmWord(const uint8_t* table, uint32_t index)
{
    return index < PN_CPM_PROGRAM_WORDS ? QtxBinGetU32(table + kProgram + 4 * index) : 0;
}

void CpmSetWord(uint8_t* table, uint32_t index, uint32_t word)
{
    if (index < PN_CPM_PROGRAM_WORDS)
        QtxBinPutU32(table + kProgram + 4 * index, word);
}

uint16_t CpmDestination(const uint8_t* table)
{
    return QtxBinGetU16(table + 2);
}

int CpmRegisterSlotRange(uint8_t* table, uint8_t slot, uint32_t offset, uint32_t length)
{
    if (length == 0)
        return 0;
    if (offset + length > 256)
        return PN_ERR_OUTSIDE_SLOT_RANGE;
    uint8_t* e = FindOrMakeSlot(table, slot);
    if (e == nullptr)
        return PN_ERR_SLOT_TABLE_FULL;
    const uint32_t last = offset + length - 1;
    e[1] = static_cast<uint8_t>(std::min<uint32_t>(e[1], offset));
    e[2] = static_cast<uint8_t>(std::max<uint32_t>(e[2], last));
    for (uint32_t unit = offset / 4; unit <= last / 4; ++unit)
        e[12 + unit / 8] |= static_cast<uint8_t>(1u << (unit % 8));
    return 0;
}

int CpmRegisterSpecialValue(uint8_t* table, uint16_t id, uint32_t slot)
{
    const PnSpecialValue* row = PnFindSpecialValue(id);
    if (row == nullptr)
        return PN_ERR_UNKNOWN_SPECIAL;
    if ((row->ulFlags & PN_SPECIAL_IN_SLOT_BLOCK) == 0)
        return 0;
    if (slot < 1 || slot > 32)
        return PN_ERR_SLOT_NUMBER;
    uint8_t* e = FindOrMakeSlot(table, static_cast<uint8_t>(slot));
    if (e == nullptr)
        return PN_ERR_NO_SLOT_ENTRY;
    for (uint32_t i = 0; i < e[3] && i < kSpecialCells; ++i)
        if (QtxBinGetU16(e + 20 + 4 * i) == id)
            return 0;
    if (e[3] >= kSpecialCells)
        return PN_ERR_TOO_MANY_SPECIALS;
    QtxBinPutU16(e + 20 + 4 * e[3], id);
    QtxBinPutU16(e + 22 + 4 * e[3], 0);
    ++e[3];
    return 0;
}

int CpmPlaceValue(uint8_t* table, const uint8_t* entry, uint32_t widthBits, int32_t* position)
{
    const uint32_t kind = (entry[3] >> 4) & 3u;
    switch (kind)
    {
    case 0:
    {
        const uint8_t* e = FindSlot(table, entry[4]);
        if (entry[4] == 0 || e == nullptr)
            return PN_ERR_NO_SLOT_ENTRY;
        const uint32_t offset = QtxBinGetU16(entry + 6);
        const uint32_t first = offset / 8;
        const uint32_t last = (offset + std::max<uint32_t>(widthBits, 1) - 1) / 8;
        if (e[1] > e[2] || first < e[1] || last > e[2])
            return PN_ERR_OUTSIDE_SLOT_RANGE;
        *position = static_cast<int32_t>((QtxBinGetU16(e + 6) + first - e[1]) * 8 + offset % 8);
        return 0;
    }
    case 1:
    {
        const uint32_t address = QtxBinGetU32(entry + 4);
        const uint32_t byteAddress = address / 8;
        if (widthBits >= 8)
        {
            // Each value takes its whole size in the destination, 64-bit values included.
            const uint32_t bytes = std::min<uint32_t>(widthBits / 8, 8);
            return AppendValue(table, MemoryWord(byteAddress, bytes, byteAddress >> 20), bytes,
                               position);
        }
        const uint16_t digital = QtxBinGetU16(table + kDigitalBits);
        const uint16_t destination = CpmDestination(table);
        if (destination + (digital + 1u) / 8 > PN_CPM_DESTINATION_SIZE)
            return PN_ERR_CPM_FULL;
        if (!Append(table, 0x28000000u | (address & 7u) << 24 | ((byteAddress >> 20) & 7u) << 20 |
                               (byteAddress & 0xFFFFFu)))
            return PN_ERR_RECORDS_FULL;
        *position = static_cast<int32_t>(destination) * 8 + digital;
        QtxBinPutU16(table + kDigitalBits, static_cast<uint16_t>(digital + 1));
        return 0;
    }
    case 2:
    {
        const PnSpecialValue* row = PnFindSpecialValue(QtxBinGetU16(entry + 6));
        if (row == nullptr)
            return PN_ERR_UNKNOWN_SPECIAL;
        if ((row->ulFlags & PN_SPECIAL_BITS_ONLY) != 0
                ? widthBits != 1
                : (widthBits % 8 != 0 && (row->ulFlags & PN_SPECIAL_PART_BYTES) == 0))
            return PN_ERR_WIDTH;
        if ((row->ulFlags & (PN_SPECIAL_IN_SLOT_BLOCK | PN_SPECIAL_IN_STATUS_WORD)) != 0)
        {
            if (entry[4] < 1 || entry[4] > 32)
                return PN_ERR_SLOT_NUMBER;
            const uint8_t* e = FindSlot(table, entry[4]);
            if (e == nullptr)
                return PN_ERR_NO_SLOT_ENTRY;
            if ((row->ulFlags & PN_SPECIAL_IN_STATUS_WORD) != 0)
            {
                *position = static_cast<int32_t>(QtxBinGetU16(e + 8) * 8 + row->ulAddress);
                return 0;
            }
            for (uint32_t i = 0; i < e[3] && i < kSpecialCells; ++i)
                if (QtxBinGetU16(e + 20 + 4 * i) == row->usId)
                {
                    *position = QtxBinGetU16(e + 22 + 4 * i);
                    return 0;
                }
            return PN_ERR_SPECIAL_NOT_LISTED;
        }
        if ((row->ulFlags & PN_SPECIAL_FROM_SOURCE) != 0)
            return AppendValue(
                table, 0x50000000u | ((row->ucSize - 1u) & 7u) << 24 | (row->ulAddress & 0xFFFFu),
                row->ucSize, position);
        if ((row->ulFlags & PN_SPECIAL_END_POSITION) != 0)
        {
            *position = PN_CPM_END_MARKER;
            return 0;
        }
        return AppendValue(table, MemoryWord(row->ulAddress / 8, row->ucSize, row->ulFlags & 0xF),
                           row->ucSize, position);
    }
    default:
        return PN_ERR_SOURCE_KIND;
    }
}

void CpmSort(uint8_t* table)
{
    const uint32_t count = std::min<uint32_t>(table[0], PN_CPM_SLOTS);
    uint8_t copy[PN_CPM_SLOTS * kSlotEntrySize];
    std::memcpy(copy, SlotEntry(table, 0), count * kSlotEntrySize);
    uint32_t order[PN_CPM_SLOTS];
    for (uint32_t i = 0; i < count; ++i)
        order[i] = i;
    std::stable_sort(order, order + count,
                     [&copy](uint32_t a, uint32_t b)
                     {
                         const uint32_t sa = copy[a * kSlotEntrySize];
                         const uint32_t sb = copy[b * kSlotEntrySize];
                         return (sa == 0 ? 256 : sa) < (sb == 0 ? 256 : sb);
                     });
    for (uint32_t i = 0; i < count; ++i)
        std::memcpy(SlotEntry(table, i), copy + order[i] * kSlotEntrySize, kSlotEntrySize);
}

int CpmGenerateSlotBlocks(uint8_t* table)
{
    for (uint32_t i = 0; i < table[0] && i < PN_CPM_SLOTS; ++i)
    {
        uint8_t* e = SlotEntry(table, i);
        const uint32_t slot = e[0];
        if (slot == 0)
            continue;
        const uint32_t lo = e[1];
        const uint32_t hi = e[2];
        const uint32_t length = hi >= lo ? hi - lo + 1 : 0;
        const uint32_t listed = std::min<uint32_t>(e[3], kSpecialCells);
        const uint32_t words = length / 8 + (length % 8 != 0 ? 1 : 0) + listed + 6;
        const uint32_t room = kMaxProgramWords - CpmWordCount(table);
        uint32_t blockBytes = 8 + length;
        for (uint32_t c = 0; c < listed; ++c)
        {
            const PnSpecialValue* row = PnFindSpecialValue(QtxBinGetU16(e + 20 + 4 * c));
            if (row != nullptr && (row->ulFlags & PN_SPECIAL_IN_SLOT_BLOCK) != 0)
                blockBytes += row->ucSize;
        }
        const uint32_t p = CpmDestination(table);
        if (room < words || p + blockBytes > PN_CPM_DESTINATION_SIZE)
            return PN_ERR_CPM_FULL;

        Append(table, 0x10000000u | 'S');
        Append(table, 0x10000000u | ('0' + slot / 10 % 10));
        Append(table, 0x10000000u | ('0' + slot % 10));
        Append(table, 0x10000000u | (length & 0xFF));
        const uint32_t record = 0x10040u + 2048u * (slot - 1);
        Append(table, 0x43000000u | record);
        Append(table, 0x23000000u | record);
        const uint32_t statusPosition = p + 4;
        const uint32_t dataPosition = p + 8;
        uint32_t offset = lo;
        uint32_t rest = length;
        for (; rest >= 8; rest -= 8, offset += 8)
            Append(table, 0x37000000u | offset);
        if (rest > 0)
            Append(table, 0x30000000u | (rest - 1) << 24 | offset);
        uint32_t done = length;
        for (uint32_t c = 0; c < listed; ++c)
        {
            const PnSpecialValue* row = PnFindSpecialValue(QtxBinGetU16(e + 20 + 4 * c));
            if (row == nullptr || (row->ulFlags & PN_SPECIAL_IN_SLOT_BLOCK) == 0)
                continue;
            QtxBinPutU16(e + 22 + 4 * c, static_cast<uint16_t>((dataPosition + done) * 8));
            done += row->ucSize;
            Append(table, 0x60000000u | ((row->ucSize - 1u) & 7u) << 24 |
                              ((row->ulAddress / 8) & 0xFFFFFu));
        }
        QtxBinPutU16(e + 4, static_cast<uint16_t>(done));
        QtxBinPutU16(e + 6, static_cast<uint16_t>(dataPosition));
        QtxBinPutU16(e + 8, static_cast<uint16_t>(statusPosition));
        QtxBinPutU16(e + 10, static_cast<uint16_t>(8 + done));
        QtxBinPutU16(table + 2, static_cast<uint16_t>(p + 8 + done));
    }
    return 0;
}

int CpmClose(uint8_t* table, int32_t* endBits)
{
    const PnSpecialValue* row = PnFindSpecialValue(PN_SPECIAL_SLOT_DIAGNOSIS);
    const int result = AppendValue(
        table, 0x50000000u | ((row->ucSize - 1u) & 7u) << 24 | (row->ulAddress & 0xFFFFu),
        row->ucSize, endBits);
    if (result != 0)
        return result;
    // The end word lies behind the counted words.
    CpmSetWord(table, CpmWordCount(table), 0);
    return 0;
}

void CpmWriteSlotLengths(const uint8_t* table, uint8_t* imageHalf)
{
    std::memset(imageHalf + 256, 0, 256);
    for (uint32_t i = 0; i < table[0] && i < PN_CPM_SLOTS; ++i)
    {
        const uint8_t* e = table + kSlotEntries + i * kSlotEntrySize;
        if (e[0] >= 1 && e[0] <= 32 && e[1] <= e[2])
            QtxBinPutU32(imageHalf + 4 * (64u + e[0]), e[2] + 1u);
    }
}
