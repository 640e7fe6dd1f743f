// Byte layout of binary configurations, the in-place functions on received documents, the
// in-place group writer and the table of signal types.
#include "QTXBinConfig.h"

#include <cstring>

namespace
{

const char sLabel[6] = {'<', '?', 'b', 'i', 'n', '\0'};

// Where a descriptor lies in the configuration bytes.
inline unsigned char* DescriptorBytes(QtxBinCfgView config, unsigned int index)
{
    return config.data + QTXBIN_CFG_GROUPS_OFFSET + index * QTXBIN_GROUP_SIZE;
}

inline bool HasConfiguration(QtxBinCfgView config)
{
    return config.data != nullptr && config.length >= QTXBIN_CONFIGURATION_SIZE;
}

// Offset of group `index`'s block from the configuration's start: 328 plus the sizes of the
// descriptors before it.
uint64_t BlockOffset(QtxBinCfgView config, unsigned int index)
{
    uint64_t offset = QTXBIN_CONFIGURATION_SIZE;
    for (unsigned int i = 0; i < index; ++i)
    {
        offset += QtxBinGetU32(DescriptorBytes(config, i));
    }
    return offset;
}

// True when the entries fit behind the group head of a block of the descriptor's size.
inline bool EntriesFit(const _QTXBIN_GROUP& group)
{
    return group.size >= QTXBIN_GROUP_HEAD_SIZE &&
           static_cast<uint64_t>(group.count) * group.entrySize <=
               static_cast<uint64_t>(group.size) - QTXBIN_GROUP_HEAD_SIZE;
}

// True when the block at `offset` and its entries lie inside the view.
inline bool BlockFits(QtxBinCfgView config, const _QTXBIN_GROUP& group, uint64_t offset)
{
    return EntriesFit(group) && offset + group.size <= config.length;
}

enum class Search
{
    NotFound,
    Found,    // block and entries inside the view
    BadBlock, // the descriptor's block or entries reach beyond the view
};

Search FindGroup(QtxBinCfgView config, unsigned short type, unsigned int* index,
                 _QTXBIN_GROUP* group, uint64_t* offset)
{
    if (!HasConfiguration(config))
    {
        return Search::NotFound;
    }
    uint64_t blockOffset = QTXBIN_CONFIGURATION_SIZE;
    for (unsigned int i = 0; i < QTXBIN_GROUP_COUNT; ++i)
    {
        _QTXBIN_GROUP g;
        QtxBinReadGroup(DescriptorBytes(config, i), &g);
        if (g.type == type && g.size >= QTXBIN_GROUP_HEAD_SIZE)
        {
            *index = i;
            *group = g;
            *offset = blockOffset;
            return BlockFits(config, g, blockOffset) ? Search::Found : Search::BadBlock;
        }
        blockOffset += g.size;
    }
    return Search::NotFound;
}

void SetOutputs(unsigned char** entries, unsigned char* entriesValue, unsigned int* index,
                unsigned int indexValue, _QTXBIN_GROUP* group, const _QTXBIN_GROUP* groupValue)
{
    if (entries != nullptr)
    {
        *entries = entriesValue;
    }
    if (index != nullptr)
    {
        *index = indexValue;
    }
    if (group != nullptr)
    {
        if (groupValue != nullptr)
        {
            *group = *groupValue;
        }
        else
        {
            *group = _QTXBIN_GROUP{};
        }
    }
}

constexpr unsigned int NOT_FOUND = 0xFFFFFFFFu;

} // namespace

// ---- Byte layout

void QtxBinReadFirstHead(const unsigned char* bytes, _QTXBIN_FIRST_HEAD* head)
{
    std::memcpy(head->label, bytes, sizeof(head->label));
    head->tag = QtxBinGetU16(bytes + 6);
    head->error = QtxBinGetI16(bytes + 8);
    head->reserved = QtxBinGetU16(bytes + 10);
    head->length = QtxBinGetU32(bytes + 12);
}

void QtxBinWriteFirstHead(unsigned char* bytes, const _QTXBIN_FIRST_HEAD* head)
{
    std::memcpy(bytes, head->label, sizeof(head->label));
    QtxBinPutU16(bytes + 6, head->tag);
    QtxBinPutI16(bytes + 8, head->error);
    QtxBinPutU16(bytes + 10, head->reserved);
    QtxBinPutU32(bytes + 12, head->length);
}

void QtxBinReadGroup(const unsigned char* bytes, _QTXBIN_GROUP* group)
{
    group->size = QtxBinGetU32(bytes);
    group->type = QtxBinGetU16(bytes + 4);
    group->entrySize = QtxBinGetU16(bytes + 6);
    group->count = QtxBinGetU16(bytes + 8);
    group->status = bytes[10];
    group->reserved = bytes[11];
}

void QtxBinWriteGroup(unsigned char* bytes, const _QTXBIN_GROUP* group)
{
    QtxBinPutU32(bytes, group->size);
    QtxBinPutU16(bytes + 4, group->type);
    QtxBinPutU16(bytes + 6, group->entrySize);
    QtxBinPutU16(bytes + 8, group->count);
    bytes[10] = group->status;
    bytes[11] = group->reserved;
}

void QtxBinReadConfiguration(const unsigned char* bytes, _QTXBIN_CONFIGURATION* config)
{
    config->count = bytes[0];
    config->reserved1 = bytes[1];
    config->type = QtxBinGetU16(bytes + 2);
    config->flags = QtxBinGetU32(bytes + 4);
    for (unsigned int i = 0; i < QTXBIN_GROUP_COUNT; ++i)
    {
        QtxBinReadGroup(bytes + QTXBIN_CFG_GROUPS_OFFSET + i * QTXBIN_GROUP_SIZE,
                        &config->group[i]);
    }
    std::memcpy(config->reserved200, bytes + 200, sizeof(config->reserved200));
    config->version = QtxBinGetU32(bytes + QTXBIN_CFG_VERSION_OFFSET);
    config->reserved276 = QtxBinGetU16(bytes + 276);
    config->checkResult = QtxBinGetI16(bytes + QTXBIN_CFG_CHECK_RESULT_OFFSET);
    std::memcpy(config->application, bytes + QTXBIN_CFG_APPLICATION_OFFSET,
                sizeof(config->application));
}

void QtxBinWriteConfiguration(unsigned char* bytes, const _QTXBIN_CONFIGURATION* config)
{
    bytes[0] = config->count;
    bytes[1] = config->reserved1;
    QtxBinPutU16(bytes + 2, config->type);
    QtxBinPutU32(bytes + 4, config->flags);
    for (unsigned int i = 0; i < QTXBIN_GROUP_COUNT; ++i)
    {
        QtxBinWriteGroup(bytes + QTXBIN_CFG_GROUPS_OFFSET + i * QTXBIN_GROUP_SIZE,
                         &config->group[i]);
    }
    std::memcpy(bytes + 200, config->reserved200, sizeof(config->reserved200));
    QtxBinPutU32(bytes + QTXBIN_CFG_VERSION_OFFSET, config->version);
    QtxBinPutU16(bytes + 276, config->reserved276);
    QtxBinPutI16(bytes + QTXBIN_CFG_CHECK_RESULT_OFFSET, config->checkResult);
    std::memcpy(bytes + QTXBIN_CFG_APPLICATION_OFFSET, config->application,
                sizeof(config->application));
}

uint32_t QtxBinGroupBlockSize(unsigned short entrySize, unsigned short count)
{
    // At most 65535 * 65535 + 3 + 32, which still fits in 32 bits.
    const uint32_t entries = static_cast<uint32_t>(entrySize) * count;
    return (entries + 3u) / 4u * 4u + QTXBIN_GROUP_HEAD_SIZE;
}

// ---- Head

void QtxBinSetInit_FIRST_HEAD(_QTXBIN_FIRST_HEAD* head, unsigned short tag, unsigned int length)
{
    if (head == nullptr)
    {
        return;
    }
    std::memcpy(head->label, sLabel, sizeof(sLabel));
    head->tag = tag;
    head->error = 0;
    head->reserved = 0;
    head->length = length;
}

void QtxBinSetInit_FIRST_HEAD(unsigned char* bytes, unsigned short tag, unsigned int length)
{
    if (bytes == nullptr)
    {
        return;
    }
    _QTXBIN_FIRST_HEAD head;
    QtxBinSetInit_FIRST_HEAD(&head, tag, length);
    QtxBinWriteFirstHead(bytes, &head);
}

int QtxBinCheckLabel(const _QTXBIN_FIRST_HEAD* head)
{
    return head != nullptr && std::memcmp(head->label, sLabel, sizeof(sLabel)) == 0 ? 0 : -1;
}

int QtxBinCheckLabel(const unsigned char* bytes)
{
    return bytes != nullptr && std::memcmp(bytes, sLabel, sizeof(sLabel)) == 0 ? 0 : -1;
}

int QtxBinCheckConfigurationTag(unsigned short tag)
{
    if ((tag & 0x7FFF) == QTXBIN_TAG_CONFIGURATION || tag == (QTXBIN_TAG_REPLY | 0x100))
    {
        return 0;
    }
    return -1;
}

const char* QtxBinEntryErrorListName(unsigned short type)
{
    switch (type & 0x0FFF)
    {
    case 2:
        return "ANALOG_I_ERR";
    case 3:
        return "ANALOG_O_ERR";
    case 4:
        return "DIGITAL_I_ERR";
    case 5:
        return "DIGITAL_O_ERR";
    default:
        return "ERRList";
    }
}

// ---- A received configuration, in place

QtxBinCfgView QtxBinGetConfiguration(unsigned char* document, size_t documentLength)
{
    QtxBinCfgView view;
    if (document == nullptr || documentLength < QTXBIN_FIRST_HEAD_SIZE ||
        QtxBinCheckLabel(document) != 0)
    {
        return view;
    }
    _QTXBIN_FIRST_HEAD head;
    QtxBinReadFirstHead(document, &head);
    const uint64_t present = static_cast<uint64_t>(documentLength) - QTXBIN_FIRST_HEAD_SIZE;
    if (QtxBinCheckConfigurationTag(head.tag) != 0 || head.length < QTXBIN_CONFIGURATION_SIZE ||
        head.length > present)
    {
        return view;
    }
    view.data = document + QTXBIN_FIRST_HEAD_SIZE;
    view.length = head.length;
    return view;
}

int QtxBinCfgPlausibleCheck(QtxBinCfgView config)
{
    if (!HasConfiguration(config))
    {
        return QTXBIN_ERR_SHORT;
    }
    uint64_t total = QTXBIN_CONFIGURATION_SIZE;
    for (unsigned int i = 0; i < QTXBIN_GROUP_COUNT; ++i)
    {
        _QTXBIN_GROUP group;
        QtxBinReadGroup(DescriptorBytes(config, i), &group);
        total += group.size;
        if (group.size == 0)
        {
            continue;
        }
        if (group.size < QTXBIN_GROUP_HEAD_SIZE)
        {
            QtxBinCfgSetGroupStatus(config, i, QTXBIN_STATUS_IMPLAUSIBLE);
            return QTXBIN_CHECK_GROUP_SIZE;
        }
        if (total > config.length)
        {
            return QTXBIN_CHECK_BEYOND_DATA;
        }
        // A bare 32-byte block passes only without entries: otherwise a reader would take
        // entries from behind the block.
        if (!EntriesFit(group))
        {
            QtxBinCfgSetGroupStatus(config, i, QTXBIN_STATUS_IMPLAUSIBLE);
            return QTXBIN_CHECK_GROUP_SIZE;
        }
    }
    return QTXBIN_CHECK_OK;
}

uint64_t QtxBinCfgCalcGroupsMemSize(const _QTXBIN_CONFIGURATION* config)
{
    uint64_t sum = 0;
    if (config != nullptr)
    {
        for (const _QTXBIN_GROUP& group : config->group)
        {
            sum += group.size;
        }
    }
    return sum;
}

uint64_t QtxBinCfgCalcGroupsMemSize(QtxBinCfgView config)
{
    if (!HasConfiguration(config))
    {
        return 0;
    }
    return BlockOffset(config, QTXBIN_GROUP_COUNT) - QTXBIN_CONFIGURATION_SIZE;
}

bool QtxBinCfgGetGroup(QtxBinCfgView config, unsigned int index, _QTXBIN_GROUP* group)
{
    if (!HasConfiguration(config) || index >= QTXBIN_GROUP_COUNT || group == nullptr)
    {
        return false;
    }
    QtxBinReadGroup(DescriptorBytes(config, index), group);
    return true;
}

bool QtxBinCfgSetGroupStatus(QtxBinCfgView config, unsigned int index, uint8_t status)
{
    if (!HasConfiguration(config) || index >= QTXBIN_GROUP_COUNT)
    {
        return false;
    }
    DescriptorBytes(config, index)[10] = status;
    return true;
}

int16_t QtxBinCfgGetCheckResult(QtxBinCfgView config)
{
    return HasConfiguration(config) ? QtxBinGetI16(config.data + QTXBIN_CFG_CHECK_RESULT_OFFSET)
                                    : 0;
}

bool QtxBinCfgSetCheckResult(QtxBinCfgView config, int16_t result)
{
    if (!HasConfiguration(config))
    {
        return false;
    }
    QtxBinPutI16(config.data + QTXBIN_CFG_CHECK_RESULT_OFFSET, result);
    return true;
}

void QtxBinCfgClearResults(QtxBinCfgView config)
{
    if (!QtxBinCfgSetCheckResult(config, QTXBIN_CHECK_OK))
    {
        return;
    }
    for (unsigned int i = 0; i < QTXBIN_GROUP_COUNT; ++i)
    {
        QtxBinCfgSetGroupStatus(config, i, QTXBIN_STATUS_NONE);
    }
}

bool QtxBinCfgSearchGroup(QtxBinCfgView config, unsigned short type, unsigned char** entries,
                          unsigned int* index, _QTXBIN_GROUP* group)
{
    unsigned int i = 0;
    _QTXBIN_GROUP g{};
    uint64_t offset = 0;
    if (FindGroup(config, type, &i, &g, &offset) != Search::Found)
    {
        SetOutputs(entries, nullptr, index, NOT_FOUND, group, nullptr);
        return false;
    }
    SetOutputs(entries, config.data + offset + QTXBIN_GROUP_HEAD_SIZE, index, i, group, &g);
    return true;
}

int QtxBinGrpCheckEntrySize(_QTXBIN_GROUP* group, unsigned short minimum)
{
    if (group == nullptr)
    {
        return QTXBIN_CHECK_GROUP_SIZE;
    }
    if (group->entrySize < minimum)
    {
        group->status = QTXBIN_STATUS_ENTRY_SHORT;
        return QTXBIN_CHECK_GROUP_SIZE;
    }
    return QTXBIN_CHECK_OK;
}

int QtxBinCfgGetAndCheckGroup(QtxBinCfgView config, unsigned short type, unsigned char** entries,
                              unsigned int* index, unsigned short minimum, _QTXBIN_GROUP* group)
{
    unsigned int i = NOT_FOUND;
    _QTXBIN_GROUP g{};
    uint64_t offset = 0;
    const Search found = FindGroup(config, type, &i, &g, &offset);
    SetOutputs(entries, nullptr, index, found == Search::NotFound ? NOT_FOUND : i, group, nullptr);
    if (found == Search::NotFound)
    {
        return QTXBIN_CHECK_OK;
    }
    if (found == Search::BadBlock)
    {
        QtxBinCfgSetGroupStatus(config, i, QTXBIN_STATUS_IMPLAUSIBLE);
        return QTXBIN_CHECK_GROUP_SIZE;
    }
    if (QtxBinGrpCheckEntrySize(&g, minimum) != QTXBIN_CHECK_OK)
    {
        QtxBinCfgSetGroupStatus(config, i, g.status);
        return QTXBIN_CHECK_GROUP_SIZE;
    }
    g.status = QTXBIN_STATUS_TAKEN;
    QtxBinCfgSetGroupStatus(config, i, g.status);
    if (g.count != 0)
    {
        SetOutputs(entries, config.data + offset + QTXBIN_GROUP_HEAD_SIZE, nullptr, 0, group, &g);
    }
    return QTXBIN_CHECK_OK;
}

unsigned char* QtxBinGetFirstSignal(QtxBinCfgView config, const _QTXBIN_GROUP* group)
{
    if (!HasConfiguration(config) || group == nullptr)
    {
        return nullptr;
    }
    uint64_t offset = QTXBIN_CONFIGURATION_SIZE;
    for (unsigned int i = 0; i < QTXBIN_GROUP_COUNT; ++i)
    {
        _QTXBIN_GROUP g;
        QtxBinReadGroup(DescriptorBytes(config, i), &g);
        if (g.size == group->size && g.type == group->type && g.entrySize == group->entrySize &&
            g.count == group->count && g.status == group->status && g.reserved == group->reserved)
        {
            return BlockFits(config, g, offset) ? config.data + offset + QTXBIN_GROUP_HEAD_SIZE
                                                : nullptr;
        }
        offset += g.size;
    }
    return nullptr;
}

unsigned char* QtxBinGetNextSignal(const _QTXBIN_GROUP* group, unsigned char* entry)
{
    if (group == nullptr || entry == nullptr)
    {
        return nullptr;
    }
    return entry + group->entrySize;
}

void QtxBinCopyEntriesToArray(void* destination, unsigned short destinationSize, const void* source,
                              unsigned short sourceSize, unsigned int count)
{
    if (destination == nullptr || source == nullptr)
    {
        return;
    }
    unsigned char* to = static_cast<unsigned char*>(destination);
    const unsigned char* from = static_cast<const unsigned char*>(source);
    const unsigned short copied = destinationSize < sourceSize ? destinationSize : sourceSize;
    for (unsigned int i = 0; i < count; ++i)
    {
        std::memcpy(to, from, copied);
        std::memset(to + copied, 0, destinationSize - copied);
        to += destinationSize;
        from += sourceSize;
    }
}

unsigned char* QtxBinCreateGroup(unsigned int index, QtxBinCfgView config,
                                 const _QTXBIN_GROUP* descriptor, const char* name)
{
    if (index >= QTXBIN_GROUP_COUNT || !HasConfiguration(config) || descriptor == nullptr ||
        !EntriesFit(*descriptor))
    {
        return nullptr;
    }
    const uint64_t offset = BlockOffset(config, index);
    if (offset + descriptor->size > config.length)
    {
        return nullptr;
    }
    // Groups follow each other without gaps: a new size at `index` would move the blocks of
    // later groups that are already written, so it is refused.
    if (QtxBinGetU32(DescriptorBytes(config, index)) != descriptor->size)
    {
        for (unsigned int i = index + 1; i < QTXBIN_GROUP_COUNT; ++i)
        {
            if (QtxBinGetU32(DescriptorBytes(config, i)) != 0)
            {
                return nullptr;
            }
        }
    }
    QtxBinWriteGroup(DescriptorBytes(config, index), descriptor);

    unsigned char* block = config.data + offset;
    block[0] = 'G';
    block[1] = 'R';
    block[2] = static_cast<unsigned char>('0' + index / 10);
    block[3] = static_cast<unsigned char>('0' + index % 10);
    const char* text = name != nullptr ? name : "no_name";
    std::memset(block + 4, 0, descriptor->size - 4);
    std::memcpy(block + 4, text, strnlen(text, QTXBIN_GROUP_NAME_SIZE - 1));
    return block + QTXBIN_GROUP_HEAD_SIZE;
}

// ---- Signal types

const QtxBinSignalType SizeOfType_Bits[QTXBIN_SIGNAL_TYPE_COUNT] = {
    {1, "BOOL"},
    {16, "INT16"},
    {32, "FLOAT"},
    {32, "UINT32"},
    {8, "BYTE"},
    {16, "UINT16"},
    {32, "INT32"},
    {32, "MEASUREX float"},
    {16, "BIG ENDIAN INT16"},
    {16, "BIG ENDIAN UINT16"},
    {32, "BIG ENDIAN INT32"},
    {32, "BIG ENDIAN UINT32"},
    {32, "BIG ENDIAN FLOAT"},
    {32, "COUNTER"},
    {64, "DOUBLE COUNTER "},
    {64, "DOUBLE REAL"},
    {16, "INT16 DUAL SCALE"},
    {32, "SSI COUNTER"},
    {64, "DOUBLE SSI COUNTER"},
    {64, "INT64"},
    {32, "FIXED POINT REAL"},
    {24, "INT24"},
    {32, "S5 REAL"},
    {32, "SIGNED COUNTER"},
    {64, "SIGNED DOUBLE COUNTER"},
    {8, "STRING"},
    {32, "S5 REAL"},
    {8, "SINT8"},
};

int QtxBinGetSizeOfType_Bits(unsigned char code)
{
    return code < QTXBIN_SIGNAL_TYPE_COUNT ? SizeOfType_Bits[code].bits : 0;
}

int QtxBinGetSizeOfType_Bytes(unsigned char code)
{
    return QtxBinGetSizeOfType_Bits(code) / 8;
}

const char* QtxBinGetSignalTypeName(unsigned char code)
{
    return code < QTXBIN_SIGNAL_TYPE_COUNT ? SizeOfType_Bits[code].name : "-";
}

QtxBinSignalTypesAvailable::QtxBinSignalTypesAvailable(const unsigned char* codes,
                                                       unsigned int count)
{
    std::memset(flags, 0, sizeof(flags));
    if (codes != nullptr && count != 0)
    {
        Init(codes, count);
    }
}

void QtxBinSignalTypesAvailable::Init(const unsigned char* codes, unsigned int count)
{
    std::memset(flags, 0, sizeof(flags));
    if (codes == nullptr)
    {
        return;
    }
    for (unsigned int i = 0; i < count; ++i)
    {
        if (codes[i] < sizeof(flags))
        {
            flags[codes[i]] = 1;
        }
    }
}
