// Start of the trace buffer and the base library's device-message service on the driver's
// debug port, and its stop when the driver releases its resources.
#include "QTX.h"

#include <cstring>

#include "DevMsg.h"
#include "nyDebug.h"

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
    // Without a handler the service answers its built-in commands only.
    if (commandHandler != nullptr || releaseHandler != nullptr)
    {
        descriptor.uFlags |= DEVMSG_FLAG_HANDLERS;
        descriptor.pfnHandler = commandHandler;
        descriptor.pfnRelease = releaseHandler;
    }
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
