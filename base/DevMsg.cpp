// Device-message service: the table of up to eight services, their service
// threads, start and stop, and the frame loop that serves one client.
//
// Each service entry owns its threads. The server handles of the socket layer
// are opened when the entry starts (so a port that cannot be opened is
// reported to the caller), one per thread, all sharing the port's listener.
// A thread stops its own handle when it ends; until then the stop may wake it
// through the handle, under the entry's handle mutex, so that it never touches
// a handle number the layer has reclaimed.
//
// Stopping is orderly: the stop marks the entries, wakes their threads, waits
// for every thread to end (with the connection's release callback run), and
// only then destroys the locks and drops the service's reference on the
// socket layer.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <malloc.h>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include "DevMsgInternal.h"
#include "KestrelLock.h"
#include "NySoc.h"
#include "nyDebug.h"

namespace devmsg
{
namespace
{
enum : int
{
    kEntryIdle = 0,
    kEntryRunning = 1,
    kEntryStopping = 2,
};

// Pause of a service thread between two passes of its connection wait.
constexpr long kThreadPauseMs = 100;

struct ServiceEntry;

struct ServiceThread
{
    ServiceEntry* pEntry;
    pthread_t tThread;
    bool bThreadValid;
    uint32_t uHandle;
    bool bHandleLive; // under the entry's handle mutex
};

struct ServiceEntry
{
    std::atomic<int> iState{kEntryIdle};
    pthread_mutex_t tMutex;
    bool bMutexCreated;
    pthread_mutex_t tHandleMutex;
    bool bHandleMutexCreated;
    uint16_t usPort;
    uint16_t usThreads;
    uint32_t uFlags;
    DevMsgCommandHandler pfnHandler;
    DevMsgReleaseCallback pfnRelease;
    int8_t cPriority;
    uint8_t ucRights;
    ServiceThread* ptThreads;
};

ServiceEntry g_atEntries[DEVMSG_MAX_SERVICES];
bool g_bStarted = false; // under g_tLifeMutex
std::atomic<uint32_t> g_uSequence{0};
pthread_mutex_t g_tLifeMutex;
pthread_once_t g_tOnce = PTHREAD_ONCE_INIT;
thread_local bool t_bServiceThread = false;

using kestrel::CreateMutex;

void InitOnce()
{
    CreateMutex(&g_tLifeMutex);
}

using kestrel::CLock;

// The life-cycle lock for a start. A service thread (a handler starting a service) only tries
// it: a stop that holds it may be waiting for that very thread.
class CStartLock
{
public:
    CStartLock()
    {
        pthread_once(&g_tOnce, InitOnce);
        m_bLocked = t_bServiceThread ? pthread_mutex_trylock(&g_tLifeMutex) == 0
                                     : pthread_mutex_lock(&g_tLifeMutex) == 0;
    }
    ~CStartLock()
    {
        if (m_bLocked)
            pthread_mutex_unlock(&g_tLifeMutex);
    }
    CStartLock(const CStartLock&) = delete;
    CStartLock& operator=(const CStartLock&) = delete;
    bool Locked() const { return m_bLocked; }

private:
    bool m_bLocked;
};

// The life of the service threads and their connections is also shown on standard output,
// line by line as it happens (a driver's output usually goes to a pipe or a file).
void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

void SleepMs(long ms)
{
    struct timespec tPause = {ms / 1000, (ms % 1000) * 1000000L};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &tPause, nullptr);
}

uint32_t NextSequence()
{
    uint32_t sequence;
    do
        sequence = g_uSequence.fetch_add(1) + 1;
    while (sequence == 0);
    return sequence;
}

void ApplyPriority(int8_t offset)
{
    if (offset == 0 || offset < -99 || offset > 99)
        return;
    int policy;
    struct sched_param tParam;
    if (pthread_getschedparam(pthread_self(), &policy, &tParam) != 0)
        return;
    int priority = tParam.sched_priority + offset;
    priority = priority < 1 ? 1 : (priority > 99 ? 99 : priority);
    tParam.sched_priority = priority;
    pthread_setschedparam(pthread_self(), SCHED_RR, &tParam); // refused without the right
}

// ---- frame loop ----

enum : int
{
    kNewMessage = 0,
    kReceiveStart = 1,
    kReceive = 2,
    kDispatch = 3,
    kReply = 4,
    kReplySent = 5,
    kReplyPending = 6,
    kDrain = 7,
    kTunnel = 9,
};

NySocFrameDescriptor* DescriptorAt(tagDEVMSG_HANDLE_STRUCT* record, uint32_t offset)
{
    return reinterpret_cast<NySocFrameDescriptor*>(record->pucBuffer + offset);
}

void BeginMessage(tagDEVMSG_HANDLE_STRUCT* record)
{
    record->uToDo = DEVMSG_TODO_REPLY;
    free(record->pucFileHeader);
    record->pucFileHeader = nullptr;
    record->usPendingFileCommand = 0;

    // A large block shrinks back after a few messages that did not need it.
    if (record->uFrameLength > kLargeBuffer)
        record->uSmallMessages = 0;
    else
        ++record->uSmallMessages;
    if (record->uCapacity > kLargeBuffer && record->uSmallMessages > kShrinkAfterMessages)
    {
        ShrinkFrameBuffer(record);
        record->uSmallMessages = 0;
    }

    // A proxy that no message has used for a while is let go.
    if (record->uProxyHandle != 0 && ++record->uProxyIdle > 4)
        CloseProxy(record);

    DevMsgResetReply(record);
    record->uReplyPart = 0;
    record->uReceived = 0;
    record->uRequestOffset = DEVMSG_HEADER_RESERVE;
    record->uFrameLength = 0;
}

// One receive into the block behind what is there.
int ReceiveInto(tagDEVMSG_HANDLE_STRUCT* record)
{
    NySocFrameDescriptor* d = DescriptorAt(record, 0);
    d->uHandle = record->uSocketHandle;
    d->uFlags = NYSOC_FRAME_WHOLE;
    d->uCapacity = record->uCapacity - DEVMSG_DESCRIPTOR_RESERVE;
    d->uLength = record->uReceived;
    memset(&d->tPeer, 0, sizeof d->tPeer);
    const int status = NySocReceive(d, kSocketWaitMs);
    // Only what the layer says it put into the block counts.
    if (d->uLength <= d->uCapacity)
        record->uReceived = d->uLength;
    return status;
}

// A message (or the next part of one) is in the block: notes the command and
// the request data. Returns the next state.
int TakeMessage(tagDEVMSG_HANDLE_STRUCT* record, uint32_t* status)
{
    if (record->uToDo == DEVMSG_TODO_REPLY)
    {
        // First part: the command head. Only bytes that arrived are read.
        const uint32_t length = record->uReceived;
        const uint8_t* payload = record->pucBuffer + DEVMSG_DESCRIPTOR_RESERVE;
        record->usCommand = length >= 2 ? GetLe16(payload) : (length == 1 ? payload[0] : 0);
        if (length < DEVMSG_COMMAND_HEAD_SIZE)
        {
            Trace(NYDEBUG_FLAG_ERROR, NYDEBUG_LEVEL_ERROR, "SRLOOP: Frame too short", 1, length);
            DevMsgResetReply(record);
            record->uFrameLength = 0;
            *status = KESTREL_BAD_REQUEST;
            return kReply;
        }
        record->uRequestOffset = DEVMSG_HEADER_RESERVE;
    }
    record->uFrameLength = record->uReceived + DEVMSG_DESCRIPTOR_RESERVE - record->uRequestOffset;
    if (record->uFrameLength > record->uLargestFrame)
        record->uLargestFrame = record->uFrameLength;
    return kDispatch;
}

int AfterDispatch(tagDEVMSG_HANDLE_STRUCT* record, uint32_t* status)
{
    const bool more = record->iLastReceiveStatus == KESTREL_MORE_FRAGMENTS;
    switch (record->uToDo)
    {
    case DEVMSG_TODO_TUNNEL:
        return kTunnel;
    case DEVMSG_TODO_REST:
        // The rest goes behind the data; a full block cannot take it.
        if (more && record->uReceived < record->uCapacity - DEVMSG_DESCRIPTOR_RESERVE)
            return kReceiveStart;
        break;
    case DEVMSG_TODO_NEXT_PART:
        if (more)
        {
            record->uReceived = 0;
            record->uRequestOffset = DEVMSG_DESCRIPTOR_RESERVE;
            return kReceiveStart;
        }
        break;
    default:
        return kReply;
    }
    // The handler asked for a part that will not come.
    DevMsgResetReply(record);
    *status = KESTREL_BAD_REQUEST;
    return kReply;
}

// Sends the reply part at the cursor. Returns the next state, or -1 to end the loop.
int SendReply(tagDEVMSG_HANDLE_STRUCT* record, uint32_t* status)
{
    const bool first = record->uReplyPart == 0;
    const uint32_t head = first ? DEVMSG_COMMAND_HEAD_SIZE : 0;
    uint64_t start = record->uReplyOffset;
    uint64_t length = record->uReplyLength;
    if (start < DEVMSG_HEADER_RESERVE || start + length > record->uCapacity)
    {
        // A cursor that a handler left outside the block sends nothing of it.
        DevMsgResetReply(record);
        start = DEVMSG_HEADER_RESERVE;
        length = 0;
        *status = KESTREL_FAILED;
    }
    // The descriptor goes in front of the data and must be aligned: the data move down
    // by up to 3 bytes when they are not (the cursor stays, for the next part).
    uint64_t descriptor = start - head - DEVMSG_DESCRIPTOR_RESERVE;
    const uint64_t shift = descriptor % 4;
    if (shift != 0)
    {
        memmove(record->pucBuffer + start - shift, record->pucBuffer + start,
                static_cast<size_t>(length));
        start -= shift;
        descriptor -= shift;
    }
    uint8_t* payload = record->pucBuffer + descriptor + DEVMSG_DESCRIPTOR_RESERVE;
    if (first)
    {
        PutLe16(payload, record->usCommand);
        PutLe16(payload + 2, static_cast<uint16_t>(*status));
    }
    NySocFrameDescriptor* d = DescriptorAt(record, static_cast<uint32_t>(descriptor));
    d->uHandle = record->uSocketHandle;
    d->uFlags = record->uToDo == DEVMSG_TODO_STREAM ? NYSOC_FRAME_MORE : 0;
    d->uLength = static_cast<uint32_t>(length + head);
    d->uCapacity = d->uLength;
    memset(&d->tPeer, 0, sizeof d->tPeer);
    const int sent = NySocSend(d, kSocketWaitMs);
    if (sent == 0)
        return kReplySent;
    if (sent == KESTREL_TIMEOUT)
        return kReplyPending;
    Trace(NYDEBUG_FLAG_ERROR, NYDEBUG_LEVEL_ERROR, "SendStatus:", 1, static_cast<uint32_t>(sent));
    return -1;
}

// Flushes what the last send could not get out. Next state, or -1.
int FlushReply(tagDEVMSG_HANDLE_STRUCT* record)
{
    NySocFrameDescriptor d;
    memset(&d, 0, sizeof d);
    d.uHandle = record->uSocketHandle;
    const int sent = NySocSend(&d, kSocketWaitMs);
    if (sent == 0)
        return kReplySent;
    if (sent == KESTREL_BUSY)
        return kReplyPending;
    Trace(NYDEBUG_FLAG_ERROR, NYDEBUG_LEVEL_ERROR, "SendWaitStatus:", 1,
          static_cast<uint32_t>(sent));
    return -1;
}

// Serves the connected client until the connection ends or the service stops.
void SendReceiveLoop(tagDEVMSG_HANDLE_STRUCT* record)
{
    int state = kNewMessage;
    uint32_t status = 0;
    record->iLastReceiveStatus = 0;
    while (ServiceRunning(record) && state >= 0)
    {
        switch (state)
        {
        case kNewMessage:
            BeginMessage(record);
            state = record->iLastReceiveStatus == KESTREL_MORE_FRAGMENTS ? kDrain : kReceiveStart;
            break;
        case kReceiveStart:
            state = kReceive;
            break;
        case kReceive:
        case kDrain:
        {
            const bool draining = state == kDrain;
            const uint32_t room = record->uCapacity - DEVMSG_DESCRIPTOR_RESERVE;
            // A full block is taken as it is.
            const int received =
                record->uReceived < room ? ReceiveInto(record) : KESTREL_MORE_FRAGMENTS;
            if (received == KESTREL_TIMEOUT)
                break;
            if (received != 0 && received != KESTREL_MORE_FRAGMENTS)
            {
                Trace(NYDEBUG_FLAG_ERROR, NYDEBUG_LEVEL_ERROR, "RecStatus:", 1,
                      static_cast<uint32_t>(received));
                state = -1;
                break;
            }
            record->iLastReceiveStatus = received;
            if (draining)
            {
                // The rest of a message nobody takes: dropped part by part.
                record->uReceived = 0;
                if (received == 0)
                    state = kNewMessage;
                break;
            }
            if (received == KESTREL_MORE_FRAGMENTS && record->uReceived < room)
                break; // more of it fits
            state = TakeMessage(record, &status);
            break;
        }
        case kDispatch:
            record->uToDo = DEVMSG_TODO_REPLY;
            status = DevMsgDispatchCommand(record->usCommand, record);
            if (IsTracedCommand(record->usCommand))
            {
                Trace(kTraceCommands, NYDEBUG_LEVEL_INFO, "Handle returns ", 1, status);
                Trace(kTraceCommands, NYDEBUG_LEVEL_INFO, "ToDo ", 1, record->uToDo);
            }
            state = AfterDispatch(record, &status);
            break;
        case kReply:
            state = SendReply(record, &status);
            break;
        case kReplySent:
            record->uReplyLength = 0;
            ++record->uReplyPart;
            state = record->uToDo == DEVMSG_TODO_STREAM ? kDispatch : kNewMessage;
            break;
        case kReplyPending:
            state = FlushReply(record);
            break;
        case kTunnel:
        {
            const TunnelFunction tunnel = GetTunnelFunction();
            if (tunnel == nullptr)
            {
                CloseProxy(record);
                DevMsgResetReply(record);
                status = KESTREL_CANNOT_OPEN;
                state = kReply;
            }
            else
            {
                state = tunnel(record) ? kNewMessage : -1;
            }
            break;
        }
        default:
            state = -1;
            break;
        }
    }
}

void EndConnection(tagDEVMSG_HANDLE_STRUCT* record)
{
    CloseProxy(record);
    DevMsgFreeFrameBuff(record);
#ifndef KOVE_FOREIGN_ALLOCATOR
    // Gives the frame buffer's pages back to the system. Under a sanitizer the allocator is
    // not glibc's, and glibc's trim would walk an arena that was never set up.
    malloc_trim(0);
#endif
    record->uUserRights = 0;
    record->iLastReceiveStatus = 0;
    record->uSmallMessages = 0;
}

void* ServiceThreadMain(void* argument)
{
    t_bServiceThread = true;
    ServiceThread* self = static_cast<ServiceThread*>(argument);
    ServiceEntry* entry = self->pEntry;
    ApplyPriority(entry->cPriority);
    Trace(NYDEBUG_FLAG_PROGRESS, NYDEBUG_LEVEL_INFO, "ServiceThread NySocHandle ", 1,
          self->uHandle);
    Say("ServiceThread NySocHandle %d\n", static_cast<int>(self->uHandle));

    tagDEVMSG_HANDLE_STRUCT record;
    memset(&record, 0, sizeof record);
    record.uHeaderReserve = DEVMSG_HEADER_RESERVE;
    record.uRequestOffset = DEVMSG_HEADER_RESERVE;
    record.uReplyOffset = DEVMSG_HEADER_RESERVE;
    record.pMutex = &entry->tMutex;
    record.pfnHandler = entry->pfnHandler;
    record.pfnRelease = entry->pfnRelease;
    record.uSocketHandle = self->uHandle;
    record.pService = entry;

    int last = -1;
    while (entry->iState.load() == kEntryRunning)
    {
        const int status = NySocRestart(self->uHandle, 0);
        if (status == 0)
        {
            if (last != 0)
                Trace(NYDEBUG_FLAG_PROGRESS, NYDEBUG_LEVEL_INFO, "Status Ok ", 1, self->uHandle);
            if (DevMsgAllocFrameBuff(&record) != 0)
            {
                Trace(NYDEBUG_FLAG_ERROR, NYDEBUG_LEVEL_ERROR,
                      "DevMsgAllocFrameBuff returns ERROR");
                Say("DevMsgAllocFrameBuff returns ERROR\n");
                NySocDisconnect(self->uHandle, 0);
            }
            else
            {
                record.uUserRights = entry->ucRights != 0 ? DEVMSG_RIGHTS_FULL : 0;
                record.uSequence = NextSequence();
                Trace(NYDEBUG_FLAG_PROGRESS, NYDEBUG_LEVEL_INFO, "B4_SendReciveLoop UserRights ", 1,
                      record.uUserRights);
                Say("B4_SendReciveLoop UserRights %x\n", record.uUserRights);
                SendReceiveLoop(&record);
                DMS_Destructor(&record);
                EndConnection(&record);
                // A connection the loop gave up on while the socket still stands (a failed
                // relay) ends here too; the next pass waits for a new client.
                if (entry->iState.load() == kEntryRunning)
                    NySocDisconnect(self->uHandle, 0);
            }
        }
        else if (status != KESTREL_NOT_CONNECTED)
        {
            break;
        }
        last = status;
        SleepMs(kThreadPauseMs);
    }
    EndConnection(&record);
    {
        CLock tLock(&entry->tHandleMutex);
        NySocStopConnection(self->uHandle);
        self->bHandleLive = false;
    }
    Trace(NYDEBUG_FLAG_PROGRESS, NYDEBUG_LEVEL_INFO, "End of ServiceThread");
    Say("End of ServiceThread\n");
    return nullptr;
}

// Frees what an entry holds once none of its threads runs.
void ClearEntry(ServiceEntry& entry)
{
    if (entry.bMutexCreated)
        pthread_mutex_destroy(&entry.tMutex);
    if (entry.bHandleMutexCreated)
        pthread_mutex_destroy(&entry.tHandleMutex);
    entry.bMutexCreated = false;
    entry.bHandleMutexCreated = false;
    delete[] entry.ptThreads;
    entry.ptThreads = nullptr;
    entry.usThreads = 0;
    entry.iState = kEntryIdle;
}

// Under g_tLifeMutex.
int StartEntry(int index, DevMsgServiceDescriptor* descriptor)
{
    if (descriptor == nullptr)
        return KESTREL_INVALID_ARGUMENT;
    if (!g_bStarted)
    {
        srand(static_cast<unsigned>(time(nullptr)));
        if (NySocStartLayer() != 0)
            return KESTREL_FAILED;
        for (ServiceEntry& entry : g_atEntries)
        {
            entry.bMutexCreated = false;
            entry.bHandleMutexCreated = false;
        }
        g_bStarted = true;
    }
    ServiceEntry& entry = g_atEntries[index];
    if (entry.iState.load() != kEntryIdle)
        return KESTREL_BUSY;

    if (descriptor->usThreads == 0)
        descriptor->usThreads = DEVMSG_DEFAULT_THREADS;
    entry.ptThreads = new (std::nothrow) ServiceThread[descriptor->usThreads]();
    if (entry.ptThreads == nullptr)
        return KESTREL_NO_MEMORY;
    entry.usThreads = descriptor->usThreads;
    entry.uFlags = descriptor->uFlags;
    entry.pfnHandler = nullptr;
    entry.pfnRelease = nullptr;
    if (descriptor->uFlags & DEVMSG_FLAG_HANDLERS)
    {
        entry.pfnHandler = descriptor->pfnHandler;
        entry.pfnRelease = descriptor->pfnRelease;
    }
    entry.cPriority = descriptor->cPriority;
    entry.ucRights = descriptor->ucRights;
    entry.bMutexCreated = CreateMutex(&entry.tMutex) == 0;
    entry.bHandleMutexCreated = CreateMutex(&entry.tHandleMutex) == 0;
    if (!entry.bMutexCreated || !entry.bHandleMutexCreated)
    {
        ClearEntry(entry);
        return KESTREL_FAILED;
    }
    entry.iState = kEntryRunning;

    int result = 0;
    int running = 0;
    uint16_t port = descriptor->usPort;
    for (uint32_t i = 0; i < entry.usThreads; ++i)
    {
        ServiceThread& thread = entry.ptThreads[i];
        thread.pEntry = &entry;
        NySocOpenRecord tRecord;
        memset(&tRecord, 0, sizeof tRecord);
        tRecord.uFlags = NYSOC_REUSE_ADDRESS | NYSOC_SERVER | NYSOC_FRAMED;
        tRecord.usPort = port;
        if (NySocOpen(&tRecord) != 0)
        {
            result = -1;
            continue;
        }
        if (port == 0)
            port = tRecord.usPort; // the threads share the port the kernel picked
        thread.uHandle = tRecord.uHandle;
        thread.bHandleLive = true;
        if (pthread_create(&thread.tThread, nullptr, ServiceThreadMain, &thread) != 0)
        {
            NySocStopConnection(thread.uHandle);
            thread.bHandleLive = false;
            result = -1;
            continue;
        }
        thread.bThreadValid = true;
        ++running;
    }
    entry.usPort = port;
    descriptor->usPort = port;
    if (running == 0)
        ClearEntry(entry);
    return result;
}
} // namespace

bool ServiceRunning(const tagDEVMSG_HANDLE_STRUCT* record)
{
    const ServiceEntry* entry = static_cast<const ServiceEntry*>(record->pService);
    return entry == nullptr || entry->iState.load() == kEntryRunning;
}
} // namespace devmsg

using namespace devmsg;

extern "C"
{
    DEVMSG_EXPORT int DevMsgServiceStart(DevMsgServiceDescriptor* descriptor)
    {
        CStartLock tLock;
        if (!tLock.Locked())
            return KESTREL_BUSY;
        return StartEntry(0, descriptor);
    }

    DEVMSG_EXPORT int DevMsgServiceStartMulti(DevMsgServiceDescriptor* descriptors, uint32_t count)
    {
        if (descriptors == nullptr)
            return KESTREL_INVALID_ARGUMENT;
        CStartLock tLock;
        if (!tLock.Locked())
            return KESTREL_BUSY;
        const uint32_t n = count < DEVMSG_MAX_SERVICES ? count : DEVMSG_MAX_SERVICES;
        for (uint32_t i = 0; i < n; ++i)
        {
            const int status = StartEntry(static_cast<int>(i), &descriptors[i]);
            if (status != 0)
                return status;
        }
        return count > DEVMSG_MAX_SERVICES ? KESTREL_TOO_MANY_SERVICES : 0;
    }

    DEVMSG_EXPORT int DevMsgServiceStop(void)
    {
        // A service thread cannot wait for itself.
        if (t_bServiceThread)
            return KESTREL_BUSY;
        pthread_once(&g_tOnce, InitOnce);
        CLock tLock(&g_tLifeMutex);
        if (!g_bStarted)
            return KESTREL_NOT_INITIALISED;
        for (ServiceEntry& entry : g_atEntries)
            if (entry.iState.load() != kEntryIdle)
                entry.iState = kEntryStopping;
        // Wake every thread: its socket calls return at once instead of at their time-out.
        for (ServiceEntry& entry : g_atEntries)
        {
            if (entry.ptThreads == nullptr)
                continue;
            CLock tHandles(&entry.tHandleMutex);
            for (uint32_t i = 0; i < entry.usThreads; ++i)
                if (entry.ptThreads[i].bHandleLive)
                    NySocDisconnect(entry.ptThreads[i].uHandle, 1);
        }
        for (ServiceEntry& entry : g_atEntries)
        {
            if (entry.ptThreads == nullptr)
                continue;
            for (uint32_t i = 0; i < entry.usThreads; ++i)
            {
                ServiceThread& thread = entry.ptThreads[i];
                if (thread.bThreadValid)
                    pthread_join(thread.tThread, nullptr);
                thread.bThreadValid = false;
            }
        }
        for (ServiceEntry& entry : g_atEntries)
            if (entry.iState.load() != kEntryIdle)
                ClearEntry(entry);
        const int status = NySocReleaseLayer();
        g_bStarted = false;
        return status;
    }
}
