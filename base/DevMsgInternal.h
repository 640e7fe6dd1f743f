// Inner parts of the device-message service, shared by its source files.
#ifndef DEVMSG_INTERNAL_H
#define DEVMSG_INTERNAL_H

#include <stdint.h>

#include "DevMsg.h"

namespace devmsg
{
// Trace classes of the service: 0x01 progress (connections, buffers), 0x40
// commands and handler results, 0x80 errors.
constexpr uint32_t kTraceCommands = 0x40;

// Socket calls of the frame loop wait at most this long, so that a stopping
// service is noticed.
constexpr int32_t kSocketWaitMs = 500;

// A frame buffer above this size shrinks back after a few messages that did not
// need it.
constexpr uint32_t kLargeBuffer = 128 * 1024;
constexpr uint32_t kShrinkAfterMessages = 4;

// A text record and up to two 32-bit values (count), when the flag bit is set in
// nyDebugInterfaceGlobalFlags.
void Trace(uint32_t flag, uint8_t level, const char* text, int count = 0, uint32_t first = 0,
           uint32_t second = 0);

// Commands whose traffic is not traced (the trace fetch would trace itself).
bool IsTracedCommand(uint16_t command);

// Grows the frame buffer to hold at least needed bytes: 0 or KESTREL_NO_MEMORY.
int GrowFrameBuffer(tagDEVMSG_HANDLE_STRUCT* record, uint64_t needed);
// Shrinks a large frame buffer back to its initial size.
void ShrinkFrameBuffer(tagDEVMSG_HANDLE_STRUCT* record);

// True while the service entry of the record's connection runs.
bool ServiceRunning(const tagDEVMSG_HANDLE_STRUCT* record);

// Relay of a connection through its proxy handle (the ToDo word
// DEVMSG_TODO_TUNNEL). It runs in the service thread with the message in
// hand and returns when the relay ends: true lets the connection wait for its
// next message, false ends it. TunnelRelay is set from the start; without one a
// request for the relay is answered with KESTREL_CANNOT_OPEN.
typedef bool (*TunnelFunction)(tagDEVMSG_HANDLE_STRUCT* record);
void SetTunnelFunction(TunnelFunction function);
TunnelFunction GetTunnelFunction();

// The relay that DEVMSG_TODO_TUNNEL runs unless another is set (DevMsgForward.cpp).
bool TunnelRelay(tagDEVMSG_HANDLE_STRUCT* record);

// Stops the record's proxy handle, if it has one.
void CloseProxy(tagDEVMSG_HANDLE_STRUCT* record);

inline uint16_t GetLe16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline void PutLe16(uint8_t* p, uint16_t value)
{
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

inline void PutLe32(uint8_t* p, uint32_t value)
{
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}
} // namespace devmsg

#endif
