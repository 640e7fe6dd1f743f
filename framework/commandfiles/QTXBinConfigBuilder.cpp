// The configuration image builder and the reply builder with its entry error lists.
#include "QTXBinConfig.h"

#include "nyDebug.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace
{

// Missing bytes at the end of an image that Generate still makes up with zeros.
constexpr uint64_t MAX_FILLER = 408;

void TraceError(const char* text, uint32_t first, uint32_t second)
{
    if (nyDebugInterfaceGlobalFlags & NYDEBUG_FLAG_ERROR)
    {
        nyDebugSavePrintf(NYDEBUG_LEVEL_ERROR, "%s %u %u", text, first, second);
    }
}

// Writes `length` zero bytes at `offset`, in pieces.
bool WriteZeros(QtxBinWriteCallback write, void* context, uint64_t offset, uint64_t length,
                uint64_t total)
{
    static const unsigned char zeros[4096] = {};
    while (length > 0)
    {
        const uint64_t piece = length < sizeof(zeros) ? length : sizeof(zeros);
        if (!write(context, zeros, static_cast<unsigned int>(offset),
                   static_cast<unsigned int>(piece), static_cast<unsigned int>(total)))
        {
            return false;
        }
        offset += piece;
        length -= piece;
    }
    return true;
}

void WriteBlockHead(unsigned char* block, unsigned int index)
{
    block[0] = 'G';
    block[1] = 'R';
    block[2] = static_cast<unsigned char>('0' + index / 10);
    block[3] = static_cast<unsigned char>('0' + index % 10);
}

} // namespace

// ---- QTXBinConfigPW

QTXBinConfigPW::QTXBinConfigPW() : m_auBlockSize{} {}

QTXBinConfigPW::~QTXBinConfigPW() = default;

_QTXBIN_CONFIGURATION* QTXBinConfigPW::New(unsigned short tag)
{
    Delete();
    m_pImage.reset(new (std::nothrow) Image());
    if (!m_pImage)
    {
        return nullptr;
    }
    m_pImage->head.tag = tag;
    return &m_pImage->config;
}

void QTXBinConfigPW::Delete()
{
    for (unsigned int i = 0; i < QTXBIN_GROUP_COUNT; ++i)
    {
        FreeGroupBlock(i);
    }
    m_pImage.reset();
}

void QTXBinConfigPW::FreeGroupBlock(unsigned int index)
{
    if (index < QTXBIN_GROUP_COUNT)
    {
        m_apBlock[index].reset();
        m_auBlockSize[index] = 0;
    }
}

short QTXBinConfigPW::CreateGroup(unsigned int index, const _QTXBIN_GROUP* descriptor,
                                  const char* name)
{
    if (index >= QTXBIN_GROUP_COUNT || descriptor == nullptr)
    {
        return QTXBIN_ERR_BAD_INDEX;
    }
    // A block must hold the group head and the entries the descriptor announces, or callers
    // and readers would run past it.
    if (descriptor->size != 0 && (descriptor->size < QTXBIN_GROUP_HEAD_SIZE ||
                                  static_cast<uint64_t>(descriptor->count) * descriptor->entrySize >
                                      descriptor->size - QTXBIN_GROUP_HEAD_SIZE))
    {
        return QTXBIN_ERR_BAD_INDEX;
    }
    if (!m_pImage && New(QTXBIN_TAG_CONFIGURATION) == nullptr)
    {
        return QTXBIN_ERR_NO_MEMORY;
    }
    _QTXBIN_GROUP& group = m_pImage->config.group[index];
    group = *descriptor;
    FreeGroupBlock(index);
    if (group.size == 0)
    {
        return 0;
    }
    const uint64_t payload =
        QTXBIN_CONFIGURATION_SIZE + QtxBinCfgCalcGroupsMemSize(&m_pImage->config);
    unsigned char* block = nullptr;
    if (payload <= QTXBIN_MAX_PAYLOAD)
    {
        block = static_cast<unsigned char*>(std::calloc(group.size, 1));
    }
    if (block == nullptr)
    {
        group.size = 0;
        return QTXBIN_ERR_NO_MEMORY;
    }
    m_apBlock[index].reset(block);
    m_auBlockSize[index] = group.size;

    WriteBlockHead(block, index);
    std::memset(block + 4, ' ', QTXBIN_GROUP_NAME_SIZE - 1);
    if (name != nullptr)
    {
        std::memcpy(block + 4, name, strnlen(name, QTXBIN_GROUP_NAME_SIZE - 1));
    }
    block[QTXBIN_GROUP_HEAD_SIZE - 1] = 0;
    return 0;
}

short QTXBinConfigPW::CreateGroup(unsigned int index, unsigned short type, unsigned short entrySize,
                                  unsigned short count, const char* name)
{
    _QTXBIN_GROUP descriptor{};
    descriptor.size = QtxBinGroupBlockSize(entrySize, count);
    descriptor.type = type;
    descriptor.entrySize = entrySize;
    descriptor.count = count;
    return CreateGroup(index, &descriptor, name);
}

unsigned char* QTXBinConfigPW::GetGroupMem(unsigned int index)
{
    if (index >= QTXBIN_GROUP_COUNT || !m_pImage || !m_apBlock[index])
    {
        return nullptr;
    }
    return m_apBlock[index].get() + QTXBIN_GROUP_HEAD_SIZE;
}

uint32_t QTXBinConfigPW::GetGroupMemSize(unsigned int index) const
{
    if (index >= QTXBIN_GROUP_COUNT || !m_pImage || !m_apBlock[index])
    {
        return 0;
    }
    return m_auBlockSize[index] - QTXBIN_GROUP_HEAD_SIZE;
}

_QTXBIN_GROUP* QTXBinConfigPW::GetGroup(unsigned int index)
{
    if (index >= QTXBIN_GROUP_COUNT || !m_pImage)
    {
        return nullptr;
    }
    return &m_pImage->config.group[index];
}

_QTXBIN_FIRST_HEAD* QTXBinConfigPW::GetFirstHead()
{
    return m_pImage ? &m_pImage->head : nullptr;
}

_QTXBIN_CONFIGURATION* QTXBinConfigPW::GetConfig()
{
    return m_pImage ? &m_pImage->config : nullptr;
}

bool QTXBinConfigPW::Generate(QtxBinWriteCallback write, void* context)
{
    if (!m_pImage || write == nullptr)
    {
        return false;
    }
    const uint64_t payload =
        QTXBIN_CONFIGURATION_SIZE + QtxBinCfgCalcGroupsMemSize(&m_pImage->config);
    if (payload > QTXBIN_MAX_PAYLOAD)
    {
        TraceError("QTXBinConfigPW::Generate too long", static_cast<uint32_t>(payload >> 32),
                   static_cast<uint32_t>(payload));
        return false;
    }
    const uint64_t total = payload + QTXBIN_FIRST_HEAD_SIZE;
    const unsigned short tag = m_pImage->head.tag;
    const int16_t error = m_pImage->head.error;
    QtxBinSetInit_FIRST_HEAD(&m_pImage->head, tag, static_cast<uint32_t>(payload));
    m_pImage->head.error = error;

    unsigned char first[QTXBIN_IMAGE_HEAD_SIZE];
    QtxBinWriteFirstHead(first, &m_pImage->head);
    QtxBinWriteConfiguration(first + QTXBIN_FIRST_HEAD_SIZE, &m_pImage->config);
    if (!write(context, first, 0, QTXBIN_IMAGE_HEAD_SIZE, static_cast<unsigned int>(total)))
    {
        return false;
    }

    uint64_t offset = QTXBIN_IMAGE_HEAD_SIZE;
    for (unsigned int i = 0; i < QTXBIN_GROUP_COUNT; ++i)
    {
        const uint32_t size = m_pImage->config.group[i].size;
        unsigned char* block = m_apBlock[i].get();
        if (block == nullptr || size == 0)
        {
            continue;
        }
        WriteBlockHead(block, i);
        // The descriptor may have been changed through GetGroup after the block was made:
        // never read past the block, and keep the following groups where the sizes say.
        const uint32_t stored = size < m_auBlockSize[i] ? size : m_auBlockSize[i];
        if (!write(context, block, static_cast<unsigned int>(offset), stored,
                   static_cast<unsigned int>(total)) ||
            !WriteZeros(write, context, offset + stored, size - stored, total))
        {
            return false;
        }
        offset += size;
    }

    if (offset != total)
    {
        TraceError("GenerateAnswer at End", static_cast<uint32_t>(offset),
                   static_cast<uint32_t>(total));
        std::printf("GenerateAnswer at End: offset %d, len %d\n", static_cast<int>(offset),
                    static_cast<int>(total));
        if (offset < total)
        {
            if (total - offset > MAX_FILLER)
            {
                return false;
            }
            return WriteZeros(write, context, offset, total - offset, total);
        }
    }
    return true;
}

// ---- QTXBinConfigReplyPW

QTXBinConfigReplyPW::QTXBinConfigReplyPW() : m_uRequestGroups(0) {}

_QTXBIN_CONFIGURATION* QTXBinConfigReplyPW::ReplyCreate(const _QTXBIN_CONFIGURATION* request)
{
    m_uRequestGroups = 0;
    if (request == nullptr)
    {
        Delete();
        return nullptr;
    }
    _QTXBIN_CONFIGURATION* reply = New(QTXBIN_TAG_CONFIGURATION_REPLY);
    if (reply == nullptr)
    {
        return nullptr;
    }
    for (unsigned int i = 0; i < QTXBIN_GROUP_COUNT; ++i)
    {
        reply->group[i] = request->group[i];
        if (reply->group[i].size >= QTXBIN_GROUP_HEAD_SIZE)
        {
            m_uRequestGroups |= 1u << i;
        }
        reply->group[i].size = 0;
        reply->group[i].reserved = 0;
    }
    reply->type = request->type;
    std::memcpy(reply->application, request->application, sizeof(reply->application));
    return reply;
}

_QTXBIN_CONFIGURATION* QTXBinConfigReplyPW::ReplyCreate(QtxBinCfgView request)
{
    if (request.data == nullptr || request.length < QTXBIN_CONFIGURATION_SIZE)
    {
        return ReplyCreate(static_cast<const _QTXBIN_CONFIGURATION*>(nullptr));
    }
    _QTXBIN_CONFIGURATION config;
    QtxBinReadConfiguration(request.data, &config);
    return ReplyCreate(&config);
}

short QTXBinConfigReplyPW::GroupToEntryErrorList(unsigned char index, unsigned char** list,
                                                 unsigned short* count, const char* name)
{
    unsigned char* listOut = nullptr;
    unsigned short countOut = 0;
    short result = 0;
    _QTXBIN_GROUP* group = GetGroup(index);
    if (index >= QTXBIN_GROUP_COUNT)
    {
        result = QTXBIN_LIST_BAD_INDEX;
    }
    else if (group == nullptr)
    {
        result = QTXBIN_LIST_NO_REPLY;
    }
    else
    {
        if (group->size < QTXBIN_GROUP_HEAD_SIZE || GetGroupMem(index) == nullptr)
        {
            if ((m_uRequestGroups & (1u << index)) != 0 && group->count != 0)
            {
                const unsigned short type = QTXBIN_TYPE_ENTRY_ERRORS | (group->type & 0x0FFF);
                // The new block is zero-filled: every entry starts without an error.
                result = CreateGroup(index, type, 2, group->count,
                                     name != nullptr ? name : QtxBinEntryErrorListName(type));
            }
        }
        if (result == 0 && group->size >= QTXBIN_GROUP_HEAD_SIZE && group->entrySize == 2 &&
            GetGroupMem(index) != nullptr)
        {
            listOut = GetGroupMem(index);
            const uint32_t room = GetGroupMemSize(index) / 2;
            countOut = group->count < room ? group->count : static_cast<unsigned short>(room);
        }
    }
    if (list != nullptr)
    {
        *list = listOut;
    }
    if (count != nullptr)
    {
        *count = countOut;
    }
    return result;
}

short QTXBinConfigReplyPW::AddEntryError(short code, unsigned char group, unsigned short entry)
{
    unsigned char* list = nullptr;
    unsigned short count = 0;
    const short result = GroupToEntryErrorList(group, &list, &count, nullptr);
    if (result != 0 || list == nullptr)
    {
        TraceError("AddEntryError: no list", group, static_cast<uint16_t>(result));
        return result;
    }
    if (entry >= count)
    {
        TraceError("AddEntryError: entry beyond list", entry, count);
        return 0;
    }
    unsigned char* slot = list + 2u * entry;
    const int16_t current = QtxBinGetI16(slot);
    if (current == 0 || (current > 0 && code < 0))
    {
        QtxBinPutI16(slot, code);
    }
    return 0;
}

short QTXBinConfigReplyPW::AddEntriesErrorList(const short* codes, unsigned short count,
                                               unsigned char group, const char* name)
{
    if (codes == nullptr && count != 0)
    {
        TraceError("AddEntriesErrorList: no codes", group, count);
        return QTXBIN_LIST_BAD_INDEX;
    }
    unsigned char* list = nullptr;
    unsigned short listCount = 0;
    const short result = GroupToEntryErrorList(group, &list, &listCount, name);
    if (result != 0 || list == nullptr)
    {
        TraceError("AddEntriesErrorList: no list", group, static_cast<uint16_t>(result));
        return result;
    }
    if (count > listCount)
    {
        TraceError("AddEntriesErrorList: codes dropped", count, listCount);
        count = listCount;
    }
    for (unsigned short i = 0; i < count; ++i)
    {
        QtxBinPutI16(list + 2u * i, codes[i]);
    }
    return 0;
}
