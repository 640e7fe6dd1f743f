// Start of the trace buffer and the base library's device-message service on the driver's
// debug port, and its stop when the driver releases its resources; the framework's command
// handler with file access and forwarding to local services (QTXDevMsgCommands.h).
#include "QTX.h"

#include <arpa/inet.h>
#include <cstring>

#include "DevMsg.h"
#include "DevMsgFile.h"
#include "KovePlatform.h"
#include "NySoc.h"
#include "QTXDevMsgCommands.h"
#include "QTXGlobal.h"
#include "nyDebug.h"

namespace
{
uint16_t GetLe16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// Takes the message behind the forwarding head to the front of the block, where the message in
// hand lies, and returns the port it is meant for; 0 when the request is not one.
uint16_t TakeForwardedMessage(tagDEVMSG_HANDLE_STRUCT* record)
{
    uint32_t length = 0;
    uint8_t* data = DevMsgGetRequest(record, &length);
    // A message to pass on is taken whole, in one part.
    if (data == nullptr || length < QTX_DEVMSG_FORWARD_HEAD + DEVMSG_COMMAND_HEAD_SIZE ||
        record->iLastReceiveStatus == KESTREL_MORE_FRAGMENTS)
        return 0;
    const uint16_t port = GetLe16(data);
    const uint32_t message = length - QTX_DEVMSG_FORWARD_HEAD;
    memmove(record->pucBuffer + DEVMSG_DESCRIPTOR_RESERVE, data + QTX_DEVMSG_FORWARD_HEAD, message);
    record->uReceived = message;
    record->uFrameLength = message - DEVMSG_COMMAND_HEAD_SIZE;
    return port;
}

uint32_t OpenTunnel(tagDEVMSG_HANDLE_STRUCT* record, uint16_t port)
{
    uint32_t proxy = 0;
    if (StartProxyConnection(&proxy, htonl(INADDR_LOOPBACK), port) != 0)
    {
        if (proxy != 0)
            NySocStopConnection(proxy);
        DevMsgResetReply(record);
        return KESTREL_CANNOT_OPEN;
    }
    if (record->uProxyHandle != 0)
        NySocStopConnection(record->uProxyHandle);
    record->uProxyHandle = proxy;
    record->usProxyPort = port;
    record->uProxyIdle = 0;
    record->uToDo = DEVMSG_TODO_TUNNEL;
    return 0;
}
} // namespace

uint32_t QTXDevMsgCommand(uint16_t command, tagDEVMSG_HANDLE_STRUCT* record)
{
    if (record == nullptr)
        return KESTREL_INVALID_ARGUMENT;
    const std::string root = PlatPath(sQTXRootDirectory);
    switch (command)
    {
    case QTX_DEVMSG_FILE_WRITE:
        return static_cast<uint32_t>(
            DevMsgFileWriteCommand(record, command, root.c_str(), nullptr));
    case QTX_DEVMSG_FILE_READ:
        return static_cast<uint32_t>(DevMsgFileReadRequest(record, root.c_str()));
    case QTX_DEVMSG_FORWARD:
    case QTX_DEVMSG_TUNNEL:
    {
        const uint16_t port = TakeForwardedMessage(record);
        if (port == 0)
        {
            DevMsgResetReply(record);
            return KESTREL_BAD_REQUEST;
        }
        return command == QTX_DEVMSG_FORWARD ? DevMsgSrvForwardMessage(record, port)
                                             : OpenTunnel(record, port);
    }
    default:
        return DEVMSG_NOT_HANDLED;
    }
}

bool CQTX::InitDevMsgDebug(uint16_t port, uint32_t traceBytes, uint32_t threadCount,
                           QTXDevMsgCommandHandler commandHandler,
                           QTXDevMsgReleaseHandler releaseHandler)
{
    if (iDevMsgServiceStarted)
        return true;
    DevMsgServiceDescriptor descriptor;
    memset(&descriptor, 0, sizeof descriptor);
    descriptor.usPort = port;
    // 0 lets the service choose its default number of threads.
    descriptor.usThreads = static_cast<uint16_t>(threadCount > 0xFFFF ? 0xFFFF : threadCount);
    // Without a handler of its own the driver answers the framework's commands.
    descriptor.uFlags |= DEVMSG_FLAG_HANDLERS;
    descriptor.pfnHandler = commandHandler != nullptr ? commandHandler : QTXDevMsgCommand;
    descriptor.pfnRelease = releaseHandler;
    nyDebugInit(0, traceBytes & 0xFFFF, nullptr);
    const int status = DevMsgServiceStart(&descriptor);
    if (status != 0)
    {
        // A start that got only some of its threads going is taken back, so that nothing of
        // the service runs unless the driver knows it started it.
        if (status == -1)
            DevMsgServiceStop();
        return false;
    }
    iDevMsgServiceStarted = 1;
    return true;
}

void CQTX::StopDevMsgService()
{
    if (!iDevMsgServiceStarted)
        return;
    iDevMsgServiceStarted = 0;
    DevMsgServiceStop();
}
