// The connection record of the device-message service: its frame buffer, the
// request and reply cursors that handlers use, the dispatch of a command to
// the handler and to the built-in commands, and the end of a connection.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <sched.h>

#include "DevMsgInternal.h"
#include "DeviceIdentity.h"
#include "NySoc.h"
#include "nyDebug.h"

namespace devmsg
{
namespace
{
constexpr uint32_t kPageSize = 4096;
// Value type of the service's values in trace records.
constexpr uint8_t kTraceValueInt = 4;
constexpr uint32_t kInitialBuffer = DEVMSG_HEADER_RESERVE + DEVMSG_INITIAL_PAYLOAD;

std::atomic<TunnelFunction> g_pfnTunnel{TunnelRelay};

uint8_t* ReplyData(tagDEVMSG_HANDLE_STRUCT* record)
{
    return record->pucBuffer + record->uReplyOffset;
}
} // namespace

void Trace(uint32_t flag, uint8_t level, const char* text, int count, uint32_t first,
           uint32_t second)
{
    if ((nyDebugInterfaceGlobalFlags & flag) == 0)
        return;
    const size_t length = strlen(text);
    const uint8_t textLength = static_cast<uint8_t>(length > 254 ? 254 : length);
    if (count <= 0)
        nyDebugSaveMem(NYDEBUG_TYPE(level, NYDEBUG_KIND_TEXT), text, textLength);
    else
        nyDebugSaveMulti(level, text, textLength, kTraceValueInt, 4, count > 2 ? 2 : count, first,
                         second);
}

bool IsTracedCommand(uint16_t command)
{
    switch (command)
    {
    case DEVMSG_CMD_TRACE_FETCH:
    case DEVMSG_CMD_TRACE_SIZE:
    case DEVMSG_CMD_DEVICE_INFO:
    case 3123:
    case 3124:
        return false;
    default:
        return true;
    }
}

int GrowFrameBuffer(tagDEVMSG_HANDLE_STRUCT* record, uint64_t needed)
{
    if (record->pucBuffer != nullptr && needed <= record->uCapacity)
        return 0;
    // Whole pages with a little slack; checked in 64 bits before anything is allocated.
    uint64_t size = (needed + 15 + kPageSize - 1) / kPageSize * kPageSize;
    if (needed > DEVMSG_MAX_FRAME_BUFFER)
    {
        Trace(NYDEBUG_FLAG_ERROR, NYDEBUG_LEVEL_ERROR, "NoMem!!! ", 1,
              static_cast<uint32_t>(needed > UINT32_MAX ? UINT32_MAX : needed));
        return KESTREL_NO_MEMORY;
    }
    if (size > DEVMSG_MAX_FRAME_BUFFER)
        size = DEVMSG_MAX_FRAME_BUFFER;
    uint8_t* grown = static_cast<uint8_t*>(realloc(record->pucBuffer, static_cast<size_t>(size)));
    if (grown == nullptr)
    {
        Trace(NYDEBUG_FLAG_ERROR, NYDEBUG_LEVEL_ERROR, "NoMem!!! ", 1, static_cast<uint32_t>(size));
        return KESTREL_NO_MEMORY;
    }
    // Touch each new page now, so that a shortage shows here and not in the middle of a
    // transfer.
    const uint64_t old = record->pucBuffer != nullptr ? record->uCapacity : 0;
    for (uint64_t page = (old + kPageSize - 1) / kPageSize * kPageSize; page < size;
         page += kPageSize)
        grown[page] = 0;
    record->pucBuffer = grown;
    record->uCapacity = static_cast<uint32_t>(size);
    return 0;
}

void ShrinkFrameBuffer(tagDEVMSG_HANDLE_STRUCT* record)
{
    if (record->pucBuffer == nullptr || record->uCapacity <= kInitialBuffer)
        return;
    uint8_t* shrunk = static_cast<uint8_t*>(realloc(record->pucBuffer, kInitialBuffer));
    if (shrunk == nullptr)
        return; // the larger block stays
    record->pucBuffer = shrunk;
    record->uCapacity = kInitialBuffer;
    if (record->uReceived > kInitialBuffer - DEVMSG_DESCRIPTOR_RESERVE)
        record->uReceived = 0;
    DevMsgResetReply(record);
}

void SetTunnelFunction(TunnelFunction function)
{
    g_pfnTunnel = function;
}

TunnelFunction GetTunnelFunction()
{
    return g_pfnTunnel.load();
}

void CloseProxy(tagDEVMSG_HANDLE_STRUCT* record)
{
    if (record->uProxyHandle != 0)
        NySocStopConnection(record->uProxyHandle);
    record->uProxyHandle = 0;
    record->uProxyIdle = 0;
}
} // namespace devmsg

using namespace devmsg;

extern "C"
{
    DEVMSG_EXPORT int DevMsgAllocFrameBuff(tagDEVMSG_HANDLE_STRUCT* record)
    {
        if (record == nullptr)
            return KESTREL_INVALID_ARGUMENT;
        if (record->pucBuffer != nullptr)
            return 0;
        uint8_t* buffer = static_cast<uint8_t*>(calloc(1, kInitialBuffer));
        if (buffer == nullptr)
            return KESTREL_NO_MEMORY;
        record->pucBuffer = buffer;
        record->uCapacity = kInitialBuffer;
        record->uHeaderReserve = DEVMSG_HEADER_RESERVE;
        record->uReceived = 0;
        record->uRequestOffset = DEVMSG_HEADER_RESERVE;
        DevMsgResetReply(record);
        return 0;
    }

    DEVMSG_EXPORT void DevMsgFreeFrameBuff(tagDEVMSG_HANDLE_STRUCT* record)
    {
        if (record == nullptr)
            return;
        if (record->pucBuffer != nullptr)
        {
            Trace(NYDEBUG_FLAG_PROGRESS, NYDEBUG_LEVEL_INFO, "free ", 1, record->uCapacity);
            free(record->pucBuffer);
        }
        if (record->pucFileHeader != nullptr)
        {
            Trace(NYDEBUG_FLAG_PROGRESS, NYDEBUG_LEVEL_INFO, "freeCMD ");
            free(record->pucFileHeader);
        }
        record->pucBuffer = nullptr;
        record->pucFileHeader = nullptr;
        record->usPendingFileCommand = 0;
        record->uCapacity = 0;
        record->uReceived = 0;
        record->uReplyOffset = DEVMSG_HEADER_RESERVE;
        record->uReplyLength = 0;
    }

    DEVMSG_EXPORT uint8_t* DevMsgGetRequest(tagDEVMSG_HANDLE_STRUCT* record, uint32_t* length)
    {
        if (length != nullptr)
            *length = 0;
        if (record == nullptr || record->pucBuffer == nullptr)
            return nullptr;
        const uint64_t end = static_cast<uint64_t>(DEVMSG_DESCRIPTOR_RESERVE) + record->uReceived;
        if (record->uRequestOffset < DEVMSG_DESCRIPTOR_RESERVE || end <= record->uRequestOffset ||
            end > record->uCapacity)
            return nullptr;
        if (length != nullptr)
            *length = static_cast<uint32_t>(end - record->uRequestOffset);
        return record->pucBuffer + record->uRequestOffset;
    }

    DEVMSG_EXPORT uint8_t* DevMsgReserveReply(tagDEVMSG_HANDLE_STRUCT* record, uint32_t length,
                                              uint32_t offset)
    {
        if (record == nullptr)
            return nullptr;
        const uint64_t needed = static_cast<uint64_t>(DEVMSG_HEADER_RESERVE) + offset + length;
        if (GrowFrameBuffer(record, needed) != 0)
            return nullptr;
        record->uReplyOffset = DEVMSG_HEADER_RESERVE;
        record->uReplyLength = length;
        return ReplyData(record) + offset;
    }

    DEVMSG_EXPORT uint8_t* DevMsgReserveReplyAt(tagDEVMSG_HANDLE_STRUCT* record, uint32_t length,
                                                uint32_t offset)
    {
        if (record == nullptr)
            return nullptr;
        const uint64_t current = record->uReplyOffset < DEVMSG_HEADER_RESERVE
                                     ? DEVMSG_HEADER_RESERVE
                                     : record->uReplyOffset;
        const uint64_t start = current + offset;
        if (GrowFrameBuffer(record, start + length) != 0)
            return nullptr;
        record->uReplyOffset = static_cast<uint32_t>(start);
        record->uReplyLength = length;
        return ReplyData(record);
    }

    DEVMSG_EXPORT uint8_t* DevMsgReserveReplyFallback(tagDEVMSG_HANDLE_STRUCT* record,
                                                      uint32_t length, uint32_t offset,
                                                      uint32_t maximum)
    {
        uint8_t* reply = DevMsgReserveReply(record, length, offset);
        if (reply != nullptr || record == nullptr || length <= 4096)
            return reply;
        uint32_t tried = length < maximum ? length : maximum;
        while (tried > 4095)
        {
            reply = DevMsgReserveReply(record, tried, offset);
            if (reply != nullptr)
                return reply;
            tried /= 4;
        }
        return nullptr;
    }

    DEVMSG_EXPORT void DevMsgResetReply(tagDEVMSG_HANDLE_STRUCT* record)
    {
        if (record == nullptr)
            return;
        record->uReplyOffset = DEVMSG_HEADER_RESERVE;
        record->uReplyLength = 0;
    }

    DEVMSG_EXPORT void DevMsgTrimReply(tagDEVMSG_HANDLE_STRUCT* record, uint32_t length)
    {
        if (record != nullptr && record->uReplyLength > length)
            record->uReplyLength = length;
    }

    DEVMSG_EXPORT int DevMsgGrowRequestBuffer(tagDEVMSG_HANDLE_STRUCT* record, uint32_t length)
    {
        if (record == nullptr)
            return KESTREL_INVALID_ARGUMENT;
        return GrowFrameBuffer(record, static_cast<uint64_t>(DEVMSG_HEADER_RESERVE) + length);
    }

    DEVMSG_EXPORT uint32_t DevMsgBuiltinCommand(uint16_t command, tagDEVMSG_HANDLE_STRUCT* record)
    {
        if (record == nullptr)
            return KESTREL_INVALID_ARGUMENT;
        switch (command)
        {
        case DEVMSG_CMD_TRACE_FETCH:
        {
            uint32_t room = nyDebugGetSize() + DEVMSG_TRACE_HEAD_SIZE;
            uint8_t* reply = DevMsgReserveReply(record, room, 0);
            if (reply == nullptr)
            {
                // Whatever room the block has.
                const uint32_t have = record->uCapacity > DEVMSG_HEADER_RESERVE
                                          ? record->uCapacity - DEVMSG_HEADER_RESERVE
                                          : 0;
                room = have;
                reply =
                    room >= DEVMSG_TRACE_HEAD_SIZE ? DevMsgReserveReply(record, room, 0) : nullptr;
                if (reply == nullptr)
                {
                    DevMsgResetReply(record);
                    return KESTREL_TRACE_TOO_LARGE;
                }
            }
            const uint32_t dataRoom = room - DEVMSG_TRACE_HEAD_SIZE;
            const int fetched =
                nyDebugFetch(reinterpret_cast<char*>(reply + DEVMSG_TRACE_HEAD_SIZE), dataRoom);
            if (fetched < 0)
            {
                DevMsgResetReply(record);
                return KESTREL_TRACE_TOO_LARGE;
            }
            memset(reply, 0, DEVMSG_TRACE_HEAD_SIZE);
            reply[0] = static_cast<uint32_t>(fetched) == dataRoom ? 1 : 0;
            PutLe32(reply + 8, static_cast<uint32_t>(fetched));
            record->uReplyLength = static_cast<uint32_t>(fetched) + DEVMSG_TRACE_HEAD_SIZE;
            if (fetched == 0)
                sched_yield();
            return 0;
        }
        case DEVMSG_CMD_TRACE_SIZE:
        {
            uint8_t* reply = DevMsgReserveReply(record, 2, 0);
            if (reply == nullptr)
            {
                DevMsgResetReply(record);
                return KESTREL_NO_MEMORY;
            }
            PutLe16(reply, nyDebugGetSize());
            return 0;
        }
        case DEVMSG_CMD_DEVICE_INFO:
        {
            uint8_t* reply = DevMsgReserveReply(record, DEVMSG_DEVICE_INFO_SIZE, 0);
            if (reply == nullptr)
            {
                DevMsgResetReply(record);
                return KESTREL_NO_MEMORY;
            }
            DevMsgDeviceInfo(reply);
            return 0;
        }
        default:
            DevMsgResetReply(record);
            return KESTREL_INVALID_ARGUMENT;
        }
    }

    DEVMSG_EXPORT uint32_t DevMsgDispatchCommand(uint16_t command, tagDEVMSG_HANDLE_STRUCT* record)
    {
        if (record == nullptr)
            return KESTREL_INVALID_ARGUMENT;
        if (IsTracedCommand(command))
            Trace(kTraceCommands, NYDEBUG_LEVEL_INFO, "CMD:", 2, command, record->uFrameLength);
        uint32_t status = DEVMSG_NOT_HANDLED;
        const uint32_t frameLength = record->uFrameLength;
        if (record->pfnHandler != nullptr)
            status = record->pfnHandler(command, record);
        if (record->uFrameLength != frameLength)
            Trace(kTraceCommands, NYDEBUG_LEVEL_INFO, "FrameLen changed!!!", 2, frameLength,
                  record->uFrameLength);
        if (status != DEVMSG_NOT_HANDLED)
            return status;
        // The service answers the whole message itself.
        record->uToDo = DEVMSG_TODO_REPLY;
        if (command <= DEVMSG_LAST_BUILTIN)
            return DevMsgBuiltinCommand(command, record);
        DevMsgResetReply(record);
        return KESTREL_INVALID_ARGUMENT;
    }

    DEVMSG_EXPORT void DMS_Destructor(tagDEVMSG_HANDLE_STRUCT* record)
    {
        if (record == nullptr)
            return;
        Trace(kTraceCommands, NYDEBUG_LEVEL_INFO, "DMS_Destructor:", 1, record->uSequence);
        if (record->pfnRelease != nullptr)
            record->pfnRelease(record);
    }

    DEVMSG_EXPORT int DevMsgRightsText(char* buffer, int size)
    {
        if (buffer == nullptr || size <= 0)
            return 0;
        static const struct
        {
            uint32_t uBit;
            const char* pszName;
        } kRights[] = {{DEVMSG_RIGHT_STD_RO, "StdRo"},
                       {DEVMSG_RIGHT_STD, "Std"},
                       {DEVMSG_RIGHT_PROD, "Prod"},
                       {DEVMSG_RIGHT_SYS, "Sys"}};
        const uint32_t granted = DEVMSG_RIGHT_STD_RO;
        size_t length = 0;
        buffer[0] = '\0';
        for (const auto& right : kRights)
        {
            if ((granted & right.uBit) == 0)
                continue;
            const size_t separator = length > 0 ? 1 : 0;
            const size_t name = strlen(right.pszName);
            if (length + separator + name + 1 > static_cast<size_t>(size))
                continue;
            if (separator)
                buffer[length++] = ' ';
            memcpy(buffer + length, right.pszName, name + 1);
            length += name;
        }
        return static_cast<int>(length);
    }
}
