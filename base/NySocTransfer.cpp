// Sending and receiving on a handle: plain and framed, stream and datagram.
//
// A transfer takes what it needs under the connection mutex (descriptor,
// pending remainder, reassembly state), marks itself busy, and waits without
// the mutex. At its end it gives the state back under the mutex, unless the
// connection was closed meanwhile: then everything it carried belongs to a
// socket that is gone and is dropped.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include "NySocInternal.h"

namespace nysoc
{
namespace
{
// Send calls in one pass before waiting for the socket to take more.
constexpr int kSendCallsPerPass = 20;
// Longest single poll: a transfer looks at its connection at least this often.
constexpr int kPollSliceMs = 500;
// Empty frames skipped in a row before a receive gives up for this call.
constexpr int kMaxEmptyFrames = 3;

enum class Wait
{
    Ready,
    TimeUp,
    Dropped,
};

bool WouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

// Waits until the descriptor is ready for the events, the deadline passes, or
// the connection lets go of the socket.
Wait WaitFor(int fd, short events, int64_t deadline, Connection* c, uint32_t generation)
{
    for (;;)
    {
        if (c != nullptr && c->uGeneration.load() != generation)
            return Wait::Dropped;
        const int remaining = RemainingMs(deadline);
        if (remaining == 0)
            return Wait::TimeUp;
        const int slice = (remaining < 0 || remaining > kPollSliceMs) ? kPollSliceMs : remaining;
        struct pollfd tPoll = {fd, events, 0};
        const int ready = poll(&tPoll, 1, slice);
        if (ready > 0 || (ready < 0 && errno != EINTR))
            return c == nullptr || c->uGeneration.load() == generation ? Wait::Ready
                                                                       : Wait::Dropped;
    }
}

uint32_t ReadLe32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void MakeHeader(uint8_t* header, uint32_t flags, uint32_t length)
{
    header[0] = 'S';
    header[1] = 'i';
    header[2] = (flags & NYSOC_FRAME_MORE) ? NYSOC_FRAME_FLAG_MORE : 0;
    header[3] = 0;
    header[4] = static_cast<uint8_t>(length);
    header[5] = static_cast<uint8_t>(length >> 8);
    header[6] = static_cast<uint8_t>(length >> 16);
    header[7] = static_cast<uint8_t>(length >> 24);
}

bool IsFrameStart(const uint8_t* header)
{
    return header[0] == 'S' && header[1] == 'i';
}

// Up to two pieces of bytes that go out back to back.
struct Pieces
{
    struct iovec atVec[2];
    int iCount;

    uint64_t Total() const
    {
        uint64_t total = 0;
        for (int i = 0; i < iCount; ++i)
            total += atVec[i].iov_len;
        return total;
    }
    // The pieces behind the first skip bytes.
    int Behind(uint64_t skip, struct iovec* out) const
    {
        int n = 0;
        for (int i = 0; i < iCount; ++i)
        {
            const uint64_t length = atVec[i].iov_len;
            if (skip >= length)
            {
                skip -= length;
                continue;
            }
            out[n].iov_base = static_cast<uint8_t*>(atVec[i].iov_base) + skip;
            out[n].iov_len = static_cast<size_t>(length - skip);
            skip = 0;
            ++n;
        }
        return n;
    }
};

// Sends stream bytes in passes of send calls, waiting for the socket between
// passes until the deadline. *sent tells how far it got; false on a socket error.
bool SendStream(int fd, const Pieces& pieces, int64_t deadline, Connection* c, uint32_t generation,
                uint64_t* sent)
{
    const uint64_t total = pieces.Total();
    *sent = 0;
    for (;;)
    {
        for (int call = 0; call < kSendCallsPerPass && *sent < total; ++call)
        {
            struct iovec atRest[2];
            struct msghdr tMessage;
            memset(&tMessage, 0, sizeof tMessage);
            tMessage.msg_iov = atRest;
            tMessage.msg_iovlen = static_cast<size_t>(pieces.Behind(*sent, atRest));
            const ssize_t n = sendmsg(fd, &tMessage, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n >= 0)
            {
                *sent += static_cast<uint64_t>(n);
                continue;
            }
            if (errno == EINTR)
                continue;
            if (WouldBlock(errno))
                break;
            return false;
        }
        if (*sent >= total)
            return true;
        const Wait w = WaitFor(fd, POLLOUT, deadline, c, generation);
        if (w == Wait::TimeUp)
            return true;
        if (w == Wait::Dropped)
            return false;
    }
}

// Keeps the bytes of the pieces behind sent as a remainder on the heap, and
// returns the given status; KESTREL_NO_MEMORY when they cannot be kept.
int KeepUnsent(int status, const Pieces& pieces, uint64_t sent, Remainder* rest)
{
    const uint64_t length = pieces.Total() - sent;
    if (length > UINT32_MAX)
        return KESTREL_NO_MEMORY;
    uint8_t* copy = static_cast<uint8_t*>(malloc(static_cast<size_t>(length)));
    if (!copy)
        return KESTREL_NO_MEMORY;
    struct iovec atRest[2];
    const int n = pieces.Behind(sent, atRest);
    size_t at = 0;
    for (int i = 0; i < n; ++i)
    {
        memcpy(copy + at, atRest[i].iov_base, atRest[i].iov_len);
        at += atRest[i].iov_len;
    }
    rest->Clear();
    rest->pHeap = copy;
    rest->uLength = static_cast<uint32_t>(length);
    return status;
}

Outcome SendDatagram(int fd, NySocFrameDescriptor* d, bool framed, int64_t deadline, Connection* c,
                     uint32_t generation)
{
    uint8_t aucHeader[NYSOC_FRAME_HEADER_SIZE];
    Pieces pieces = {};
    if (framed)
    {
        MakeHeader(aucHeader, d->uFlags, d->uLength);
        pieces.atVec[pieces.iCount++] = {aucHeader, sizeof aucHeader};
    }
    pieces.atVec[pieces.iCount++] = {d->aucPayload, d->uLength};

    struct sockaddr_in tPeer;
    struct msghdr tMessage;
    memset(&tMessage, 0, sizeof tMessage);
    tMessage.msg_iov = pieces.atVec;
    tMessage.msg_iovlen = static_cast<size_t>(pieces.iCount);
    if (d->uFlags & NYSOC_FRAME_PEER)
    {
        memset(&tPeer, 0, sizeof tPeer);
        tPeer.sin_family = AF_INET;
        tPeer.sin_port = htons(d->tPeer.usPort);
        tPeer.sin_addr.s_addr = htonl(d->tPeer.uAddress);
        tMessage.msg_name = &tPeer;
        tMessage.msg_namelen = sizeof tPeer;
    }
    for (;;)
    {
        if (sendmsg(fd, &tMessage, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0)
            return {0, false};
        if (errno == EINTR)
            continue;
        if (errno == EMSGSIZE)
            return {KESTREL_INVALID_ARGUMENT, false};
        if (!WouldBlock(errno))
            return {KESTREL_NOT_CONNECTED, true};
        const Wait w = WaitFor(fd, POLLOUT, deadline, c, generation);
        if (w == Wait::TimeUp)
            return {KESTREL_TIMEOUT, false};
        if (w == Wait::Dropped)
            return {KESTREL_NOT_CONNECTED, false};
    }
}

// What a failed receive call means: wait and try again, or the end of the call.
enum class RecvError
{
    Again,
    TimeUp,
    Failed,
};

RecvError OnRecvError(int fd, int64_t deadline, Connection* c, uint32_t generation)
{
    if (errno == EINTR)
        return RecvError::Again;
    if (!WouldBlock(errno))
        return RecvError::Failed;
    switch (WaitFor(fd, POLLIN, deadline, c, generation))
    {
    case Wait::Ready:
        return RecvError::Again;
    case Wait::TimeUp:
        return RecvError::TimeUp;
    default:
        return RecvError::Failed;
    }
}

void ReportSender(NySocFrameDescriptor* d, const struct sockaddr_in& from)
{
    if (!(d->uFlags & NYSOC_FRAME_REPORT_SENDER))
        return;
    d->tPeer.ucKind = NYSOC_PEER_IPV4;
    d->tPeer.ucZero = 0;
    d->tPeer.usPort = ntohs(from.sin_port);
    d->tPeer.uAddress = ntohl(from.sin_addr.s_addr);
    d->uFlags |= NYSOC_FRAME_PEER;
}

Outcome ReceiveStream(int fd, NySocFrameDescriptor* d, int64_t deadline, Connection* c,
                      uint32_t generation)
{
    for (;;)
    {
        const ssize_t n =
            recv(fd, d->aucPayload + d->uLength, d->uCapacity - d->uLength, MSG_DONTWAIT);
        if (n > 0)
        {
            d->uLength += static_cast<uint32_t>(n);
            return {0, false};
        }
        if (n == 0)
            return {KESTREL_INVALID_HANDLE, true}; // the peer closed
        switch (OnRecvError(fd, deadline, c, generation))
        {
        case RecvError::Again:
            continue;
        case RecvError::TimeUp:
            return {KESTREL_TIMEOUT, false};
        default:
            return {KESTREL_NOT_CONNECTED, true};
        }
    }
}

// One datagram per call; framed datagrams must hold a whole frame.
Outcome ReceiveDatagram(int fd, NySocFrameDescriptor* d, bool framed, int64_t deadline,
                        Connection* c, uint32_t generation)
{
    const bool whole = (d->uFlags & NYSOC_FRAME_WHOLE) != 0;
    int result = KESTREL_TIMEOUT;
    for (;;)
    {
        uint8_t aucHeader[NYSOC_FRAME_HEADER_SIZE];
        Pieces pieces = {};
        if (framed)
            pieces.atVec[pieces.iCount++] = {aucHeader, sizeof aucHeader};
        pieces.atVec[pieces.iCount++] = {d->aucPayload + d->uLength, d->uCapacity - d->uLength};
        struct sockaddr_in tFrom;
        memset(&tFrom, 0, sizeof tFrom);
        struct msghdr tMessage;
        memset(&tMessage, 0, sizeof tMessage);
        tMessage.msg_name = &tFrom;
        tMessage.msg_namelen = sizeof tFrom;
        tMessage.msg_iov = pieces.atVec;
        tMessage.msg_iovlen = static_cast<size_t>(pieces.iCount);
        const ssize_t n = recvmsg(fd, &tMessage, MSG_DONTWAIT);
        if (n >= 0)
        {
            // A shut-down socket also reads as an empty datagram.
            if (c->uGeneration.load() != generation)
                return {KESTREL_NOT_CONNECTED, false};
            if (!framed)
            {
                d->uLength += static_cast<uint32_t>(n);
                ReportSender(d, tFrom);
                return {0, false};
            }
            // Taken only when the datagram holds the whole frame it announces.
            const uint64_t received = static_cast<uint64_t>(n);
            if (received > NYSOC_FRAME_HEADER_SIZE && IsFrameStart(aucHeader) &&
                received - NYSOC_FRAME_HEADER_SIZE >= ReadLe32(aucHeader + 4))
            {
                d->uLength += ReadLe32(aucHeader + 4);
                ReportSender(d, tFrom);
                result = (aucHeader[2] & NYSOC_FRAME_FLAG_MORE) ? KESTREL_MORE_FRAGMENTS : 0;
                if (result == 0 || !whole || d->uLength >= d->uCapacity)
                    return {result, false};
            }
            continue;
        }
        switch (OnRecvError(fd, deadline, c, generation))
        {
        case RecvError::Again:
            continue;
        case RecvError::TimeUp:
            return {result, false};
        default:
            return {KESTREL_NOT_CONNECTED, true};
        }
    }
}

} // namespace

Outcome ReceiveFrames(int fd, NySocFrameDescriptor* d, Reassembly* st, int64_t deadline,
                      Connection* c, uint32_t generation)
{
    const bool whole = (d->uFlags & NYSOC_FRAME_WHOLE) != 0;
    int result = KESTREL_TIMEOUT;
    int emptyFrames = 0;
    for (;;)
    {
        ssize_t n;
        if (st->uHeaderBytes < NYSOC_FRAME_HEADER_SIZE)
        {
            n = recv(fd, st->aucHeader + st->uHeaderBytes,
                     NYSOC_FRAME_HEADER_SIZE - st->uHeaderBytes, MSG_DONTWAIT);
            if (n > 0)
            {
                st->uHeaderBytes += static_cast<uint32_t>(n);
                if (st->uHeaderBytes < NYSOC_FRAME_HEADER_SIZE)
                    continue;
                const uint32_t length = ReadLe32(st->aucHeader + 4);
                if (!IsFrameStart(st->aucHeader) || length > NYSOC_FRAME_MAX_PAYLOAD)
                    return {KESTREL_NOT_CONNECTED, true}; // not our peer, or out of step
                st->uPayloadBytes = 0;
                if (length == 0)
                {
                    memset(st, 0, sizeof *st);
                    if (++emptyFrames > kMaxEmptyFrames)
                        return {result, false};
                }
                continue;
            }
        }
        else
        {
            const uint32_t length = ReadLe32(st->aucHeader + 4);
            const uint64_t missing = static_cast<uint64_t>(length) - st->uPayloadBytes;
            const uint64_t room = static_cast<uint64_t>(d->uCapacity) - d->uLength;
            if (room == 0)
                return {KESTREL_MORE_FRAGMENTS, false};
            n = recv(fd, d->aucPayload + d->uLength,
                     static_cast<size_t>(missing < room ? missing : room), MSG_DONTWAIT);
            if (n > 0)
            {
                emptyFrames = 0;
                d->uLength += static_cast<uint32_t>(n);
                st->uPayloadBytes += static_cast<uint32_t>(n);
                if (st->uPayloadBytes < length)
                {
                    result = KESTREL_MORE_FRAGMENTS;
                    if (!whole)
                        return {result, false};
                    continue;
                }
                const bool more = (st->aucHeader[2] & NYSOC_FRAME_FLAG_MORE) != 0;
                memset(st, 0, sizeof *st);
                result = more ? KESTREL_MORE_FRAGMENTS : 0;
                if (result == 0 || !whole || d->uLength >= d->uCapacity)
                    return {result, false};
                continue;
            }
        }
        if (n == 0)
            return {KESTREL_INVALID_HANDLE, true}; // the peer closed
        switch (OnRecvError(fd, deadline, c, generation))
        {
        case RecvError::Again:
            continue;
        case RecvError::TimeUp:
            return {result, false};
        default:
            return {KESTREL_NOT_CONNECTED, true};
        }
    }
}

namespace
{
class CConnectionLock
{
public:
    explicit CConnectionLock(Connection* c) : m_c(c) { pthread_mutex_lock(&m_c->tMutex); }
    ~CConnectionLock() { pthread_mutex_unlock(&m_c->tMutex); }
    CConnectionLock(const CConnectionLock&) = delete;
    CConnectionLock& operator=(const CConnectionLock&) = delete;

private:
    Connection* m_c;
};

// Brings the connection up for a transfer; 0 when it is connected.
int PrepareTransfer(Connection* c)
{
    if (c->iState != kStateConnected)
    {
        const int status = RunMachine(c, 2);
        if (status != 0)
            return status;
    }
    return c->iSocket < 0 ? KESTREL_NO_SOCKET : 0;
}

// Status of a transfer whose socket the connection let go of meanwhile.
int StatusAfterClose(Connection* c, int status)
{
    if (status != KESTREL_TIMEOUT && status != KESTREL_INVALID_HANDLE &&
        status != KESTREL_NOT_CONNECTED)
        return status;
    return c->bStopRequest ? KESTREL_STOPPED : KESTREL_NOT_CONNECTED;
}

int SendOn(Connection* c, NySocFrameDescriptor* d, int32_t timeoutMs)
{
    const int64_t deadline = DeadlineFromTimeout(timeoutMs);
    int fd;
    uint32_t generation;
    Remainder pending = {};
    {
        CConnectionLock tLock(c);
        const int status = PrepareTransfer(c);
        if (status != 0)
            return status;
        if (c->iSendFd >= 0)
            return KESTREL_BUSY;
        if (Kind(c) == NYSOC_KIND_UDP && (d->uFlags & NYSOC_FRAME_PEER) &&
            d->tPeer.ucKind != NYSOC_PEER_IPV4)
            return KESTREL_INVALID_ARGUMENT;
        fd = c->iSocket;
        generation = c->uGeneration.load();
        c->iSendFd = fd;
        pending = c->tRemainder; // the transfer owns the remainder now
        c->tRemainder.pHeap = nullptr;
        c->tRemainder.uLength = 0;
    }
    const bool framed = (c->tRecord.uFlags & NYSOC_FRAMED) != 0;
    Outcome outcome = {0, false};
    Remainder rest = {};
    if (pending.uLength > 0)
    {
        Pieces pieces = {};
        pieces.atVec[pieces.iCount++] = {const_cast<uint8_t*>(pending.Data()), pending.uLength};
        uint64_t sent = 0;
        // What still does not go out keeps the handle busy: new data are not taken.
        if (!SendStream(fd, pieces, deadline, c, generation, &sent))
            outcome = {KESTREL_NOT_CONNECTED, true};
        else if (sent < pending.uLength)
            outcome.iStatus = KeepUnsent(KESTREL_BUSY, pieces, sent, &rest);
    }
    if (outcome.iStatus == 0 && !outcome.bDrop && d->uLength > 0)
    {
        if (Kind(c) == NYSOC_KIND_UDP)
        {
            outcome = SendDatagram(fd, d, framed, deadline, c, generation);
        }
        else
        {
            uint8_t aucHeader[NYSOC_FRAME_HEADER_SIZE];
            Pieces pieces = {};
            if (framed)
            {
                MakeHeader(aucHeader, d->uFlags, d->uLength);
                pieces.atVec[pieces.iCount++] = {aucHeader, sizeof aucHeader};
            }
            pieces.atVec[pieces.iCount++] = {d->aucPayload, d->uLength};
            uint64_t sent = 0;
            if (!SendStream(fd, pieces, deadline, c, generation, &sent))
                outcome = {KESTREL_NOT_CONNECTED, true};
            else if (sent < pieces.Total())
                outcome.iStatus = KeepUnsent(KESTREL_TIMEOUT, pieces, sent, &rest);
        }
    }
    pending.Clear();

    CConnectionLock tLock(c);
    c->iSendFd = -1;
    int status = outcome.iStatus;
    if (c->uGeneration.load() == generation)
    {
        if (outcome.bDrop)
        {
            rest.Clear();
            DropConnection(c);
        }
        else
        {
            c->tRemainder.Clear();
            c->tRemainder = rest;
        }
    }
    else
    {
        rest.Clear();
        status = StatusAfterClose(c, status);
    }
    EndTransferOn(c, fd);
    return status;
}

int ReceiveOn(Connection* c, NySocFrameDescriptor* d, int32_t timeoutMs)
{
    const int64_t deadline = DeadlineFromTimeout(timeoutMs);
    int fd;
    uint32_t generation;
    Reassembly state = {};
    {
        CConnectionLock tLock(c);
        const int status = PrepareTransfer(c);
        if (status != 0)
            return status;
        if (c->iRecvFd >= 0)
            return KESTREL_BUSY;
        fd = c->iSocket;
        generation = c->uGeneration.load();
        c->iRecvFd = fd;
        state = c->tReassembly;
    }
    const bool framed = (c->tRecord.uFlags & NYSOC_FRAMED) != 0;
    Outcome outcome;
    if (Kind(c) == NYSOC_KIND_UDP)
        outcome = ReceiveDatagram(fd, d, framed, deadline, c, generation);
    else if (framed)
        outcome = ReceiveFrames(fd, d, &state, deadline, c, generation);
    else
        outcome = ReceiveStream(fd, d, deadline, c, generation);

    CConnectionLock tLock(c);
    c->iRecvFd = -1;
    int status = outcome.iStatus;
    if (c->uGeneration.load() == generation)
    {
        if (outcome.bDrop)
            DropConnection(c);
        else
            c->tReassembly = state;
    }
    else
    {
        status = StatusAfterClose(c, status);
    }
    EndTransferOn(c, fd);
    return status;
}
} // namespace
} // namespace nysoc

using namespace nysoc;

extern "C"
{
    NYSOC_EXPORT int NySocSend(NySocFrameDescriptor* descriptor, int32_t timeoutMs)
    {
        if (!descriptor || timeoutMs < -1)
            return KESTREL_INVALID_ARGUMENT;
        Connection* c = nullptr;
        const int status = AcquireHandle(descriptor->uHandle, &c);
        if (status != 0)
            return status;
        const int result = SendOn(c, descriptor, timeoutMs);
        Release(c);
        return result;
    }

    NYSOC_EXPORT int NySocReceive(NySocFrameDescriptor* descriptor, int32_t timeoutMs)
    {
        if (!descriptor || timeoutMs < -1)
            return KESTREL_INVALID_ARGUMENT;
        Connection* c = nullptr;
        const int status = AcquireHandle(descriptor->uHandle, &c);
        if (status != 0)
            return status;
        const int result = descriptor->uLength >= descriptor->uCapacity
                               ? KESTREL_FAILED
                               : ReceiveOn(c, descriptor, timeoutMs);
        Release(c);
        return result;
    }
}
