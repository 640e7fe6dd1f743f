// Forwarding for device-message command handlers: one message to a local port and its reply
// back, and the relay of a whole connection through the record's proxy connection.
//
// The record's frame buffer keeps the socket layer's frame descriptor in front of the
// message (bytes 0 to 23, the message from byte 24), so a message in hand goes out as it is,
// and a reply received into the same place has its data where this connection's reply data
// lie (byte 28).
#include "DevMsgFile.h"

#include <arpa/inet.h>
#include <cstring>
#include <time.h>

#include "DevMsgInternal.h"
#include "NySoc.h"
#include "nyDebug.h"

namespace
{
using devmsg::Trace;

constexpr uint32_t kTraceProgress = 0x01;
constexpr int kProxyWaits = 20;
constexpr int32_t kProxyWaitMs = 500;
constexpr int32_t kForwardWaitMs = 5000;

void TraceError(const char* text, uint32_t value = 0)
{
    Trace(NYDEBUG_FLAG_ERROR, NYDEBUG_LEVEL_ERROR, text, 1, value);
}

NySocFrameDescriptor* Descriptor(tagDEVMSG_HANDLE_STRUCT* record)
{
    return reinterpret_cast<NySocFrameDescriptor*>(record->pucBuffer);
}

// Sends the length bytes behind the descriptor through handle.
int SendFrame(tagDEVMSG_HANDLE_STRUCT* record, uint32_t handle, uint32_t length, bool more,
              int32_t waitMs)
{
    NySocFrameDescriptor* d = Descriptor(record);
    d->uHandle = handle;
    d->uFlags = more ? NYSOC_FRAME_MORE : 0;
    d->uLength = length;
    d->uCapacity = length;
    memset(&d->tPeer, 0, sizeof d->tPeer);
    int status = NySocSend(d, waitMs);
    // What did not go out in time is flushed before anything else is done.
    while (status == KESTREL_TIMEOUT || status == KESTREL_BUSY)
    {
        if (!devmsg::ServiceRunning(record))
            return KESTREL_STOPPED;
        NySocFrameDescriptor flush;
        memset(&flush, 0, sizeof flush);
        flush.uHandle = handle;
        status = NySocSend(&flush, waitMs);
    }
    return status;
}

// Receives one message or part of one from handle into the block behind the descriptor.
int ReceiveFrame(tagDEVMSG_HANDLE_STRUCT* record, uint32_t handle, uint32_t room, int32_t waitMs)
{
    NySocFrameDescriptor* d = Descriptor(record);
    d->uHandle = handle;
    d->uFlags = NYSOC_FRAME_WHOLE;
    d->uCapacity = room;
    d->uLength = 0;
    memset(&d->tPeer, 0, sizeof d->tPeer);
    const int status = NySocReceive(d, waitMs);
    if (d->uLength > room)
        d->uLength = 0;
    return status;
}

// Receives the next message of a proxy, passing over the empty greeting frame that a framed
// server sends first; waits at most waitMs in all.
int ReceiveFromProxy(tagDEVMSG_HANDLE_STRUCT* record, uint32_t handle, uint32_t room,
                     int32_t waitMs)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t deadline = now.tv_sec * 1000LL + now.tv_nsec / 1000000 + waitMs;
    for (;;)
    {
        clock_gettime(CLOCK_MONOTONIC, &now);
        const int64_t left = deadline - (now.tv_sec * 1000LL + now.tv_nsec / 1000000);
        if (left <= 0)
            return KESTREL_TIMEOUT;
        const int status = ReceiveFrame(record, handle, room, static_cast<int32_t>(left));
        if (status != 0 || Descriptor(record)->uLength != 0)
            return status;
    }
}

// Marks the command head of a message that goes through the tunnel.
void MarkTunnelled(tagDEVMSG_HANDLE_STRUCT* record, uint32_t length)
{
    if (length >= DEVMSG_COMMAND_HEAD_SIZE)
    {
        record->pucBuffer[DEVMSG_DESCRIPTOR_RESERVE + 2] = 0xFF;
        record->pucBuffer[DEVMSG_DESCRIPTOR_RESERVE + 3] = 0xFF;
    }
}

// Waits for the next message or part from handle while the service runs: its status, or
// KESTREL_STOPPED. A proxy's reply starts behind its greeting.
int ReceiveWhileRunning(tagDEVMSG_HANDLE_STRUCT* record, uint32_t handle, uint32_t room,
                        bool replyStart)
{
    int received;
    do
    {
        if (!devmsg::ServiceRunning(record))
            return KESTREL_STOPPED;
        received = replyStart ? ReceiveFromProxy(record, handle, room, devmsg::kSocketWaitMs)
                              : ReceiveFrame(record, handle, room, devmsg::kSocketWaitMs);
    } while (received == KESTREL_TIMEOUT);
    return received;
}

bool Fail(tagDEVMSG_HANDLE_STRUCT* record, const char* text, int status)
{
    TraceError(text, static_cast<uint32_t>(status));
    devmsg::CloseProxy(record);
    return false;
}
} // namespace

namespace devmsg
{
// The relay of a tunnelled connection: the message in hand goes to the proxy, then messages
// go from the client to the proxy and replies from the proxy to the client, part by part,
// until an error or the end of the service. The connection ends with it.
bool TunnelRelay(tagDEVMSG_HANDLE_STRUCT* record)
{
    if (record->uProxyHandle == 0 || record->pucBuffer == nullptr)
        return Fail(record, "Tunnel without proxy", 0);
    const uint32_t room = record->uCapacity - DEVMSG_DESCRIPTOR_RESERVE;
    // The client's message (or its first part) is in the block.
    bool firstPart = record->uRequestOffset == DEVMSG_HEADER_RESERVE;
    bool more = record->iLastReceiveStatus == KESTREL_MORE_FRAGMENTS;
    uint32_t length = record->uReceived;
    for (;;)
    {
        if (firstPart)
            MarkTunnelled(record, length);
        const int sent = SendFrame(record, record->uProxyHandle, length, more, kSocketWaitMs);
        if (sent != 0)
            return Fail(record, "Tunnel send to proxy:", sent);
        if (!more)
        {
            // The message is out: its reply goes to the client, part by part.
            bool replyMore = true;
            bool replyStart = true;
            while (replyMore)
            {
                const int received =
                    ReceiveWhileRunning(record, record->uProxyHandle, room, replyStart);
                if (received != 0 && received != KESTREL_MORE_FRAGMENTS)
                    return Fail(record, "Tunnel receive from proxy:", received);
                replyMore = received == KESTREL_MORE_FRAGMENTS;
                replyStart = false;
                const int back = SendFrame(record, record->uSocketHandle,
                                           Descriptor(record)->uLength, replyMore, kSocketWaitMs);
                if (back != 0)
                    return Fail(record, "Tunnel send to client:", back);
            }
        }
        // The next part of the client's message, or its next message.
        firstPart = !more;
        const int received = ReceiveWhileRunning(record, record->uSocketHandle, room, false);
        if (received != 0 && received != KESTREL_MORE_FRAGMENTS)
            return Fail(record, "Tunnel receive from client:", received);
        more = received == KESTREL_MORE_FRAGMENTS;
        length = Descriptor(record)->uLength;
    }
}
} // namespace devmsg

extern "C"
{
    DEVMSG_EXPORT int StartProxyConnection(uint32_t* handle, uint32_t address, uint16_t port)
    {
        if (handle == nullptr)
            return KESTREL_INVALID_ARGUMENT;
        *handle = 0;
        NySocOpenRecord tOpen;
        memset(&tOpen, 0, sizeof tOpen);
        tOpen.uFlags = NYSOC_KIND_TCP | NYSOC_FRAMED;
        tOpen.usPort = port;
        tOpen.uRemote.tAddress.uRemoteAddress = address;
        int status = NySocOpen(&tOpen);
        if (status != 0)
            return status;
        *handle = tOpen.uHandle;
        for (int i = 0; i < kProxyWaits; ++i)
        {
            status = NySocRestart(*handle, kProxyWaitMs);
            if (status != KESTREL_NOT_CONNECTED)
                break;
        }
        return status;
    }

    DEVMSG_EXPORT uint32_t DevMsgSrvForwardMessage(tagDEVMSG_HANDLE_STRUCT* record, uint16_t port)
    {
        Trace(kTraceProgress, NYDEBUG_LEVEL_INFO, " DevMsgSrvForwardMessage start ");
        if (record == nullptr || record->pucBuffer == nullptr)
        {
            TraceError(" DevMsgSrvForwardMessage devmsg! ");
            return KESTREL_NO_SOCKET;
        }
        // The whole message in hand: command head and data.
        const uint32_t message = record->uReceived;
        if (message < DEVMSG_COMMAND_HEAD_SIZE || record->uRequestOffset != DEVMSG_HEADER_RESERVE ||
            static_cast<uint64_t>(DEVMSG_DESCRIPTOR_RESERVE) + message > record->uCapacity)
        {
            TraceError(" DevMsgSrvForwardMessage req! ");
            return KESTREL_BAD_REQUEST;
        }
        if (message > DEVMSG_FORWARD_MAX)
        {
            TraceError(" ForwardMsg lenTooBig! ", message);
            return KESTREL_NO_SOCKET;
        }
        uint32_t proxy = 0;
        int status = StartProxyConnection(&proxy, htonl(INADDR_LOOPBACK), port);
        uint32_t result = 0;
        bool replied = false;
        if (status != 0)
        {
            TraceError(" ForwardMsg StartNetEProxyConnection! ", static_cast<uint32_t>(status));
            result = KESTREL_CANNOT_OPEN;
        }
        else if ((status = SendFrame(record, proxy, message, false, kForwardWaitMs)) != 0)
        {
            TraceError(" ForwardMsg NySocSend! ret ", static_cast<uint32_t>(status));
            result = static_cast<uint32_t>(status);
        }
        else if (DevMsgReserveReply(record, DEVMSG_FORWARD_MAX, 0) == nullptr)
        {
            TraceError(" ForwardMsg resp! ");
            result = KESTREL_NO_SOCKET;
        }
        else
        {
            // The reply lands where this connection's reply is built: its data at byte 28.
            status = ReceiveFromProxy(record, proxy, DEVMSG_FORWARD_MAX + DEVMSG_COMMAND_HEAD_SIZE,
                                      kForwardWaitMs);
            const uint32_t received = Descriptor(record)->uLength;
            if (status != 0)
            {
                TraceError(" ForwardMsg NySocReceive! ret ", static_cast<uint32_t>(status));
                result = static_cast<uint32_t>(status);
            }
            else if (received < DEVMSG_COMMAND_HEAD_SIZE)
            {
                // No room for a status word: nothing of it can be trusted.
                TraceError(" ForwardMsg reply too short ", received);
                result = KESTREL_BAD_REQUEST;
            }
            else
            {
                result = devmsg::GetLe16(record->pucBuffer + DEVMSG_DESCRIPTOR_RESERVE + 2);
                record->uReplyOffset = DEVMSG_HEADER_RESERVE;
                record->uReplyLength = received - DEVMSG_COMMAND_HEAD_SIZE;
                replied = true;
            }
        }
        if (proxy != 0)
            NySocStopConnection(proxy);
        if (!replied)
            DevMsgResetReply(record);
        return result;
    }
}
