// Start of the trace buffer and the base library's device-message service on the driver's
// debug port.
//
// Interim state: only the trace buffer is set up; the device-message service itself is not
// started yet.
#include "QTX.h"

#include "nyDebug.h"

bool CQTX::InitDevMsgDebug(uint16_t /*port*/, uint32_t traceBytes, uint32_t /*threadCount*/,
                           QTXDevMsgCommandHandler /*commandHandler*/,
                           QTXDevMsgReleaseHandler /*releaseHandler*/)
{
    if (iDevMsgServiceStarted)
        return true;
    nyDebugInit(0, traceBytes & 0xFFFF, nullptr);
    iDevMsgServiceStarted = 1;
    return false;
}

void CQTX::StopDevMsgService()
{
    if (!iDevMsgServiceStarted)
        return;
    iDevMsgServiceStarted = 0;
}
