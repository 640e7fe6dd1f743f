// Handle table, keeper thread and life cycle of the socket connection layer,
// and the entry points that open, stop and drive handles.
#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <new>
#include <time.h>
#include <unistd.h>

#include "KestrelLock.h"
#include "NySocInternal.h"
#include "nyDebug.h"

static_assert(sizeof(NySocOpenRecord) == 512, "the open record has 512 bytes");
static_assert(sizeof(NySocFrameDescriptor) == NYSOC_DESCRIPTOR_HEAD_SIZE,
              "the payload of a frame descriptor starts at byte 24");
static_assert(offsetof(NySocFrameDescriptor, tPeer) == 16, "peer area at byte 16");

namespace nysoc
{
namespace
{
struct Slot
{
    int iState;
    Connection* pConn;
};

constexpr int kKeeperPeriodMs = 100;
constexpr int kKeeperRun = 1;
constexpr int kKeeperStop = 2;
constexpr int kOpenSteps = 4;
constexpr int kRestartSteps = 12;
constexpr int kServerPauseMs = 10;
constexpr int kClientPauseMs = 50;
constexpr int kDatagramTimeoutMs = 100;
// Value type of the layer's values in error records.
constexpr uint8_t kTraceValueInt = 4;

Slot g_atSlots[NYSOC_MAX_HANDLES];
int g_iHighestHandle = 0;
std::atomic<bool> g_bStarted{false};
int g_iReferences = 0;

pthread_once_t g_tOnce = PTHREAD_ONCE_INIT;
pthread_mutex_t g_tTableMutex;
pthread_mutex_t g_tLifeMutex;
pthread_mutex_t g_tKeeperMutex;
pthread_cond_t g_tKeeperCond;
int g_iKeeperCommand = 0;
bool g_bKeeperRunning = false;
bool g_bKeeperValid = false;
pthread_t g_tKeeperThread;

void InitOnce()
{
    CreateMutex(&g_tTableMutex);
    CreateMutex(&g_tLifeMutex);
    CreateMutex(&g_tKeeperMutex);
    pthread_condattr_t tAttr;
    pthread_condattr_init(&tAttr);
    pthread_condattr_setclock(&tAttr, CLOCK_MONOTONIC);
    pthread_cond_init(&g_tKeeperCond, &tAttr);
    pthread_condattr_destroy(&tAttr);
}

void EnsureInit()
{
    pthread_once(&g_tOnce, InitOnce);
}

using kestrel::CLock;

void Destroy(Connection* c)
{
    // No call uses the connection any more: nothing waits on its sockets.
    if (c->iListener >= 0)
        ReleaseListener(c);
    c->iSendFd = -1;
    c->iRecvFd = -1;
    CloseSocket(c);
    for (int& deferred : c->aiDeferredClose)
    {
        if (deferred >= 0)
            close(deferred);
        deferred = -1;
    }
    c->tRemainder.Clear();
    if (c->bMutexCreated)
        pthread_mutex_destroy(&c->tMutex);
    delete c;
}

// Ages stopped slots and frees those whose time is up.
void AgeSlots()
{
    Connection* apFreed[NYSOC_MAX_HANDLES];
    int freed = 0;
    {
        CLock tLock(&g_tTableMutex);
        for (int i = 0; i < g_iHighestHandle; ++i)
        {
            Slot& slot = g_atSlots[i];
            if (slot.iState < kSlotStopped)
                continue;
            if (++slot.iState >= kSlotReclaim)
            {
                if (slot.pConn)
                    apFreed[freed++] = slot.pConn;
                slot.pConn = nullptr;
                slot.iState = kSlotFree;
            }
        }
    }
    for (int i = 0; i < freed; ++i)
        Release(apFreed[i]); // the table's reference; a call still running keeps it alive
}

void AddMs(struct timespec& t, int ms)
{
    t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    t.tv_sec += ms / 1000 + t.tv_nsec / 1000000000L;
    t.tv_nsec %= 1000000000L;
}

void* NySocKeeperThread(void*)
{
    CLock tLock(&g_tKeeperMutex);
    g_bKeeperRunning = true;
    struct timespec tNext = Now();
    while (g_iKeeperCommand == kKeeperRun)
    {
        AddMs(tNext, kKeeperPeriodMs);
        while (g_iKeeperCommand == kKeeperRun &&
               pthread_cond_timedwait(&g_tKeeperCond, &g_tKeeperMutex, &tNext) != ETIMEDOUT)
        {
        }
        if (g_iKeeperCommand != kKeeperRun)
            break;
        pthread_mutex_unlock(&g_tKeeperMutex);
        AgeSlots();
        pthread_mutex_lock(&g_tKeeperMutex);
    }
    g_bKeeperRunning = false;
    return nullptr;
}

void StopKeeper()
{
    {
        CLock tLock(&g_tKeeperMutex);
        g_iKeeperCommand = kKeeperStop;
        pthread_cond_broadcast(&g_tKeeperCond);
    }
    if (g_bKeeperValid)
    {
        pthread_join(g_tKeeperThread, nullptr);
        g_bKeeperValid = false;
    }
}

int StopHandle(uint32_t handle)
{
    if (handle < 1 || handle > NYSOC_MAX_HANDLES)
        return KESTREL_INVALID_HANDLE;
    Slot& slot = g_atSlots[handle - 1];
    Connection* c;
    {
        CLock tLock(&g_tTableMutex);
        if (slot.iState != kSlotOpen || !slot.pConn)
            return KESTREL_INVALID_HANDLE;
        slot.iState = kSlotStopping;
        c = slot.pConn;
        AddReference(c);
    }
    {
        CLock tLock(&c->tMutex);
        ShutConnection(c);
    }
    {
        CLock tLock(&g_tTableMutex);
        if (slot.pConn == c)
            slot.iState = kSlotStopped;
    }
    Release(c);
    return 0;
}

void StopAll()
{
    for (uint32_t handle = 1; handle <= NYSOC_MAX_HANDLES; ++handle)
        StopHandle(handle);
}

// Under the life-cycle mutex.
void CloseForceLocked()
{
    StopAll();
    {
        CLock tLock(&g_tTableMutex);
        g_bStarted = false;
    }
    StopKeeper();
    Connection* apFreed[NYSOC_MAX_HANDLES];
    int freed = 0;
    {
        CLock tLock(&g_tTableMutex);
        for (Slot& slot : g_atSlots)
        {
            if (slot.pConn)
                apFreed[freed++] = slot.pConn;
            slot.pConn = nullptr;
            slot.iState = kSlotFree;
        }
        g_iHighestHandle = 0;
    }
    for (int i = 0; i < freed; ++i)
        Release(apFreed[i]);
    ResetListeners();
    g_iReferences = 0;
}

bool HostNameTerminated(const NySocOpenRecord& record)
{
    return memchr(record.uRemote.acHostName, '\0', sizeof record.uRemote.acHostName) != nullptr;
}

uint32_t OpenHandle(NySocOpenRecord& record)
{
    return NySocOpen(&record) == 0 ? record.uHandle : 0;
}

void SetRemoteAddress(NySocOpenRecord& record, uint32_t address)
{
    memcpy(record.uRemote.acHostName + NYSOC_REMOTE_ADDRESS_OFFSET, &address, sizeof address);
}
} // namespace

int CreateMutex(pthread_mutex_t* mutex)
{
    return kestrel::CreateMutex(mutex);
}

struct timespec Now()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

int64_t NowMs()
{
    const struct timespec t = Now();
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

int64_t ElapsedMs(const struct timespec& since)
{
    const struct timespec t = Now();
    return (static_cast<int64_t>(t.tv_sec) - since.tv_sec) * 1000 +
           (t.tv_nsec - since.tv_nsec) / 1000000;
}

int64_t DeadlineFromTimeout(int32_t timeoutMs)
{
    return timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
}

int RemainingMs(int64_t deadline)
{
    if (deadline < 0)
        return -1;
    const int64_t left = deadline - NowMs();
    if (left <= 0)
        return 0;
    return left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

void TraceError(const char* text, int32_t value)
{
    if (nyDebugInterfaceGlobalFlags & NYDEBUG_FLAG_ERROR)
        nyDebugSaveMulti(NYDEBUG_LEVEL_ERROR, text, static_cast<uint8_t>(strlen(text)),
                         kTraceValueInt, 4, 1, value);
}

void TraceErrorText(const char* text)
{
    if (nyDebugInterfaceGlobalFlags & NYDEBUG_FLAG_ERROR)
        nyDebugSavePrintf(NYDEBUG_LEVEL_ERROR, "%s", text);
}

Connection* NewConnection(const NySocOpenRecord& record)
{
    Connection* c = new (std::nothrow) Connection();
    if (!c)
        return nullptr;
    c->iRefs = 1;
    c->tRecord = record;
    c->tRecord.uHandle = 0;
    c->tRecord.acInterface[sizeof c->tRecord.acInterface - 1] = '\0';
    c->iSocket = -1;
    c->iListener = -1;
    c->iSendFd = -1;
    c->iRecvFd = -1;
    c->aiDeferredClose[0] = c->aiDeferredClose[1] = -1;
    if (CreateMutex(&c->tMutex) != 0)
    {
        delete c;
        return nullptr;
    }
    c->bMutexCreated = true;
    return c;
}

void AddReference(Connection* c)
{
    c->iRefs.fetch_add(1);
}

void Release(Connection* c)
{
    if (c->iRefs.fetch_sub(1) == 1)
        Destroy(c);
}

int AcquireHandle(uint32_t handle, Connection** connection)
{
    if (handle < 1 || handle > NYSOC_MAX_HANDLES)
        return KESTREL_INVALID_HANDLE;
    EnsureInit();
    CLock tLock(&g_tTableMutex);
    const Slot& slot = g_atSlots[handle - 1];
    if (!slot.pConn)
        return KESTREL_INVALID_HANDLE;
    if (slot.iState != kSlotOpen)
        return KESTREL_STOPPED;
    AddReference(slot.pConn);
    *connection = slot.pConn;
    return 0;
}
} // namespace nysoc

using namespace nysoc;

extern "C"
{
    NYSOC_EXPORT int NySocStartLayer(void)
    {
        EnsureInit();
        CLock tLock(&g_tLifeMutex);
        if (g_iReferences++ > 0)
            return 0;
        {
            CLock tTable(&g_tTableMutex);
            memset(g_atSlots, 0, sizeof g_atSlots);
            g_iHighestHandle = 0;
        }
        ResetListeners();
        g_iKeeperCommand = kKeeperRun;
        g_bStarted = true;
        if (pthread_create(&g_tKeeperThread, nullptr, NySocKeeperThread, nullptr) != 0)
        {
            g_bStarted = false;
            g_iReferences = 0;
            return KESTREL_FAILED;
        }
        g_bKeeperValid = true;
        return 0;
    }

    NYSOC_EXPORT int NySocReleaseLayer(void)
    {
        EnsureInit();
        CLock tLock(&g_tLifeMutex);
        if (g_iReferences <= 0)
            return KESTREL_NOT_INITIALISED;
        if (--g_iReferences == 0)
            CloseForceLocked();
        return 0;
    }

    NYSOC_EXPORT void NySocCloseForce(void)
    {
        EnsureInit();
        CLock tLock(&g_tLifeMutex);
        CloseForceLocked();
    }

    NYSOC_EXPORT int NySocOpen(NySocOpenRecord* record)
    {
        if (!record)
            return KESTREL_INVALID_ARGUMENT;
        if (!g_bStarted)
            return KESTREL_NOT_INITIALISED;
        if (!HostNameTerminated(*record))
            return KESTREL_INVALID_ARGUMENT;
        record->uHandle = 0;
        Connection* c = NewConnection(*record);
        if (!c)
            return KESTREL_NO_MEMORY;
        if (IsTcpServer(c) && TakeListener(c) != 0)
        {
            Release(c);
            return KESTREL_TABLE_FULL;
        }
        uint32_t handle = 0;
        bool refused = false;
        {
            CLock tLock(&g_tTableMutex);
            refused = !g_bStarted;
            for (int i = 0; i < NYSOC_MAX_HANDLES && handle == 0 && !refused; ++i)
            {
                if (g_atSlots[i].iState != kSlotFree)
                    continue;
                g_atSlots[i].iState = kSlotOpen;
                g_atSlots[i].pConn = c;
                AddReference(c);
                handle = static_cast<uint32_t>(i + 1);
                c->uHandle = handle;
                if (i + 1 > g_iHighestHandle)
                    g_iHighestHandle = i + 1;
            }
        }
        if (refused)
        {
            Release(c);
            return KESTREL_NOT_INITIALISED;
        }
        if (handle == 0)
        {
            Release(c);
            return KESTREL_TABLE_FULL;
        }
        int status;
        int error;
        {
            CLock tLock(&c->tMutex);
            status = RunMachine(c, kOpenSteps);
            error = c->iLastError;
            if (c->tRecord.uFlags & NYSOC_SERVER)
                record->usPort = c->tRecord.usPort;
            else if (c->iSocket >= 0)
                record->usLocalPort = SocketLocalPort(c->iSocket);
        }
        Release(c);
        if (status == 0 || status == KESTREL_NOT_CONNECTED)
        {
            record->uHandle = handle;
            return 0;
        }
        StopHandle(handle);
        if (status == KESTREL_FAILED &&
            (error == KESTREL_INVALID_ARGUMENT || error == KESTREL_NOT_INITIALISED))
            return error;
        return status;
    }

    NYSOC_EXPORT uint32_t NySocStartTcpServer(uint16_t port, int framed)
    {
        NySocOpenRecord tRecord;
        memset(&tRecord, 0, sizeof tRecord);
        tRecord.uFlags = NYSOC_REUSE_ADDRESS | NYSOC_SERVER | (framed ? NYSOC_FRAMED : 0);
        tRecord.usPort = port;
        return OpenHandle(tRecord);
    }

    NYSOC_EXPORT uint32_t NySocStartTcpClient(uint32_t address, uint16_t port, int framed)
    {
        NySocOpenRecord tRecord;
        memset(&tRecord, 0, sizeof tRecord);
        tRecord.uFlags = framed ? NYSOC_FRAMED : 0;
        tRecord.usPort = port;
        SetRemoteAddress(tRecord, address);
        return OpenHandle(tRecord);
    }

    NYSOC_EXPORT uint32_t NySocStartTcpClientByName(const char* host, uint16_t port, int framed)
    {
        if (!host || strlen(host) >= sizeof(NySocOpenRecord::uRemote.acHostName))
            return 0;
        NySocOpenRecord tRecord;
        memset(&tRecord, 0, sizeof tRecord);
        tRecord.uFlags = framed ? NYSOC_FRAMED : 0;
        tRecord.usPort = port;
        strcpy(tRecord.uRemote.acHostName, host);
        return OpenHandle(tRecord);
    }

    NYSOC_EXPORT int NySocSendDatagram(uint32_t address, uint32_t localAddress, uint16_t port,
                                       int framed, NySocFrameDescriptor* descriptor)
    {
        if (!descriptor)
            return KESTREL_INVALID_ARGUMENT;
        NySocOpenRecord tRecord;
        memset(&tRecord, 0, sizeof tRecord);
        tRecord.uFlags =
            NYSOC_KIND_UDP | (framed ? NYSOC_FRAMED : 0) | (localAddress ? NYSOC_LOCAL_BIND : 0);
        tRecord.usPort = port;
        tRecord.uLocalAddress = localAddress;
        SetRemoteAddress(tRecord, address);
        const int status = NySocOpen(&tRecord);
        if (status != 0)
            return status;
        const uint32_t callerHandle = descriptor->uHandle;
        descriptor->uHandle = tRecord.uHandle;
        const int result = NySocSend(descriptor, kDatagramTimeoutMs);
        descriptor->uHandle = callerHandle;
        NySocStopConnection(tRecord.uHandle);
        return result;
    }

    NYSOC_EXPORT int NySocStopConnection(uint32_t handle)
    {
        if (!g_bStarted)
            return KESTREL_NOT_INITIALISED;
        return StopHandle(handle);
    }

    NYSOC_EXPORT int NySocStopAllConnections(void)
    {
        if (!g_bStarted)
            return KESTREL_NOT_INITIALISED;
        StopAll();
        return 0;
    }

    NYSOC_EXPORT int NySocRestart(uint32_t handle, int32_t timeoutMs)
    {
        if (timeoutMs < -1)
            return KESTREL_INVALID_ARGUMENT;
        Connection* c = nullptr;
        int status = AcquireHandle(handle, &c);
        if (status != 0)
            return status;
        const int64_t deadline = DeadlineFromTimeout(timeoutMs);
        const int pauseMs = (c->tRecord.uFlags & NYSOC_SERVER) ? kServerPauseMs : kClientPauseMs;
        // A connected handle stays connected (a server keeps its client): the machine reports
        // it at once. Callers that are done with a client drop it with NySocDisconnect.
        for (;;)
        {
            {
                CLock tLock(&c->tMutex);
                status = RunMachine(c, kRestartSteps);
                if (status == KESTREL_NOT_CONNECTED && c->iState == kStateReset)
                    status = RunMachine(c, kRestartSteps); // a peer just went: start over
            }
            if (status != KESTREL_NOT_CONNECTED)
                break;
            const int remaining = RemainingMs(deadline);
            if (remaining == 0)
                break;
            struct timespec tPause = {0, 0};
            AddMs(tPause, (remaining < 0 || remaining > pauseMs) ? pauseMs : remaining);
            clock_nanosleep(CLOCK_MONOTONIC, 0, &tPause, nullptr);
        }
        Release(c);
        return status;
    }

    NYSOC_EXPORT int NySocDisconnect(uint32_t handle, uint32_t stop)
    {
        Connection* c = nullptr;
        int status = AcquireHandle(handle, &c);
        if (status != 0)
            return status;
        {
            CLock tLock(&c->tMutex);
            ++c->uStopCounter;
            SetStopRequest(c, (stop & 1) != 0);
            status = RunMachine(c, kOpenSteps);
            if (c->iState == kStateReset)
                status = RunMachine(c, c->bStopRequest ? 2 : kOpenSteps);
        }
        Release(c);
        return status;
    }

    NYSOC_EXPORT int NySocAddressToText(char* buffer, int size, uint32_t address)
    {
        if (!buffer || size <= 0)
            return -1;
        char acText[INET_ADDRSTRLEN];
        struct in_addr tAddress;
        tAddress.s_addr = address;
        if (!inet_ntop(AF_INET, &tAddress, acText, sizeof acText))
            return -1;
        strncpy(buffer, acText, static_cast<size_t>(size) - 1);
        buffer[size - 1] = '\0';
        return 0;
    }

    NYSOC_EXPORT int NySocTextToAddress(uint32_t* address, const char* text)
    {
        struct in_addr tAddress;
        if (!address || !text || inet_pton(AF_INET, text, &tAddress) != 1)
            return KESTREL_INVALID_ARGUMENT;
        *address = tAddress.s_addr;
        return 0;
    }

    NYSOC_EXPORT int NySocListenerSnapshot(NySocListenerSnapshotRecord* record)
    {
        if (!record)
            return KESTREL_INVALID_ARGUMENT;
        if (!g_bStarted)
        {
            memset(record, 0, sizeof *record);
            return KESTREL_NOT_INITIALISED;
        }
        return SnapshotListeners(record);
    }
}
