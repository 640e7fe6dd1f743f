// Inner parts of the socket connection layer, shared by its source files.
//
// Locks, in the order they may be taken: the life-cycle mutex (start, release,
// forced close), a connection's mutex, the listener mutex. The table mutex and
// the keeper mutex are taken alone. Every mutex uses priority inheritance.
//
// A connection is reference counted: the table holds one reference while the
// slot is in use, and every call that works on the handle holds one more.
// The last reference frees it, so the keeper never frees a connection that a
// call is still using.
//
// A send and a receive run without the connection mutex while they wait. Each
// marks the descriptor it uses (iSendFd, iRecvFd); a descriptor that the
// machine closes while a transfer uses it is only shut down (which wakes the
// transfer) and closed when the last transfer on it ends, so that its number
// cannot be reused under a running transfer. A transfer that ends on a socket
// that is no longer the current one (the generation changed) leaves the
// connection alone.
#ifndef NYSOC_INTERNAL_H
#define NYSOC_INTERNAL_H

#include <atomic>
#include <netinet/in.h>
#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include "NySoc.h"

namespace nysoc
{
// Step results of the connection machine.
constexpr int kStepGoOn = 6;
constexpr int kStepWait = 2;
constexpr int kStepIdle = 0;
constexpr int kStepConnected = 256;
constexpr int kStepPeerGone = 257;

// Machine states.
enum : int
{
    kStateReset = 0,
    kStateStopped = 1,
    kStateCreate = 2,
    kStateResolve = 3,
    kStateConnect = 4,
    kStateConnecting = 5,
    kStateAccepting = 8,
    kStateNewlyConnected = 9,
    kStateConnected = 10,
    kStateRelease = 11,
    kStateClose = 12,
    kStateFailed = 20,
};

// Slot states of the handle table.
constexpr int kSlotFree = 0;
constexpr int kSlotOpen = 1;
constexpr int kSlotStopping = 9;
constexpr int kSlotStopped = 10;
constexpr int kSlotReclaim = 30;

// Unsupported socket kind, recorded as the connection's error.
constexpr int kErrorBadKind = 1000;
// Listener errors: system error * 65536 + one of these.
constexpr int kErrorAccept = 95;
constexpr int kErrorListen = 71;

constexpr uint32_t kListenerFlagMask = 0xC0F;
constexpr int kInlineRemainder = 14;

// Bytes that a send could not get out, sent first by the next send.
struct Remainder
{
    uint8_t aucInline[kInlineRemainder];
    uint8_t* pHeap; // malloc'ed, or null when the bytes are inline
    uint32_t uLength;

    const uint8_t* Data() const { return pHeap ? pHeap : aucInline; }
    void Clear();
};

// Reassembly of a framed stream message across receive calls.
struct Reassembly
{
    uint8_t aucHeader[NYSOC_FRAME_HEADER_SIZE];
    uint32_t uHeaderBytes;
    uint32_t uPayloadBytes;
};

struct Connection
{
    std::atomic<int> iRefs;
    uint32_t uHandle;
    pthread_mutex_t tMutex;
    bool bMutexCreated;
    NySocOpenRecord tRecord;

    // Machine state, under tMutex.
    int iSocket;
    int iLastError;
    int iState;
    bool bStopRequest;
    uint32_t uStopCounter;
    uint32_t uStopCounterSeen;
    struct timespec tConnectStart;
    int iAttempts;
    struct sockaddr_in tRemote;
    std::atomic<uint32_t> uGeneration; // raised whenever the socket is closed
    int iListener;                     // listener entry held (TCP servers), -1 none
    bool bWaiting;                     // counted among the entry's waiting handles

    // Transfers, under tMutex.
    int iSendFd; // descriptor a running send uses, -1: no send running
    int iRecvFd; // the same for receives
    int aiDeferredClose[2];
    Remainder tRemainder;
    Reassembly tReassembly;
};

// Connection objects.
Connection* NewConnection(const NySocOpenRecord& record);
void AddReference(Connection* connection);
void Release(Connection* connection);

// Looks a handle up and takes a reference. 0, KESTREL_INVALID_HANDLE, or
// KESTREL_STOPPED for a handle stopped but not yet reclaimed.
int AcquireHandle(uint32_t handle, Connection** connection);

// Connection machine; the caller holds the connection mutex.
int RunMachine(Connection* connection, int maxSteps);
// Sets or clears the connection's stop request. A TCP server's port listens while at least one
// of its handles has none.
void SetStopRequest(Connection* connection, bool stop);
// Drives a stopped connection until its socket is closed and gives up its
// listener entry.
void ShutConnection(Connection* connection);
// Drops the connection after a socket error (release and close steps).
void DropConnection(Connection* connection);
// Closes the socket, or only shuts it down while a transfer uses it.
void CloseSocket(Connection* connection);
// Closes a descriptor that a transfer has stopped using, if the machine let go of it.
void EndTransferOn(Connection* connection, int fd);
bool IsTcpServer(const Connection* connection);
uint32_t Kind(const Connection* connection);

// Listener entries (take at open, release at stop or destruction).
int TakeListener(Connection* connection);
void ReleaseListener(Connection* connection);
void ResetListeners();
int SnapshotListeners(NySocListenerSnapshotRecord* record);

// Priority-inheritance mutex and monotonic-clock helpers.
int CreateMutex(pthread_mutex_t* mutex);
struct timespec Now();
int64_t ElapsedMs(const struct timespec& since);
// Deadline in ms of the monotonic clock from now; -1 for no limit.
int64_t DeadlineFromTimeout(int32_t timeoutMs);
// Remaining ms until the deadline (0 when passed), -1 without limit.
int RemainingMs(int64_t deadline);
int64_t NowMs();

// Error records of the layer in the trace buffer.
void TraceError(const char* text, int32_t value);
void TraceErrorText(const char* text);

// Local port of a socket, 0 when it has none.
uint16_t SocketLocalPort(int fd);

// Result of a transfer on a socket.
struct Outcome
{
    int iStatus;
    bool bDrop; // a socket error or a bad peer: the connection is dropped
};

// Framed stream: header and payload may arrive in any pieces and across calls;
// the reassembly state keeps how far the current frame has come. Receives into
// the descriptor behind uLength, up to uCapacity, until a message is whole (with
// NYSOC_FRAME_WHOLE) or a frame has ended, the buffer is full or the deadline
// passes. A frame that does not start with "Si" or announces more than
// NYSOC_FRAME_MAX_PAYLOAD bytes drops the connection. c may be null (no
// connection that could let go of the socket meanwhile).
Outcome ReceiveFrames(int fd, NySocFrameDescriptor* d, Reassembly* st, int64_t deadline,
                      Connection* c, uint32_t generation);
} // namespace nysoc

#endif
