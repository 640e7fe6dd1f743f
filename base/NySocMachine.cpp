// Connection machine of the socket layer: one step per call, driven by the
// calls made on a handle. Sockets are made, bound, connected or accepted here,
// and TCP servers of one port share a listener entry.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "NySocInternal.h"
#include "nyDebug.h"

namespace nysoc
{
namespace
{
struct Listener
{
    bool bInUse;
    uint32_t uFlags;
    int iSocket;
    char acInterface[44];
    uint32_t uLocalAddress;
    uint8_t aucLocalAddress6[16];
    uint16_t usPort;
    int iBacklog;
    int iWaiting;
    int iHolders;
    int iServing; // holders without a stop request: while there are any, the port listens
    int iBusy;
    int iState;
    int iLastError;
};

enum : int
{
    kListenerNone = 0,
    kListenerFailed = 1,
    kListenerSocket = 2,
    kListenerListening = 3,
    kListenerAccepting = 4,
};

// Status of the listener set-up: 0, or the error the handle fails with.
constexpr int kListenerTransient = KESTREL_TABLE_FULL; // no socket could be made: try again

// Clients that may wait for a server of the port while all its handles are busy with others.
constexpr int kListenBacklog = 128;

// Connect attempts before a connection that never gets writable is given up.
constexpr int kMaxConnectAttempts = 81;
constexpr int64_t kConnectWindowMs = 750;
constexpr int kStepsToStop = 8;

Listener g_atListeners[NYSOC_MAX_LISTENERS];
pthread_mutex_t g_tListenerMutex;
pthread_once_t g_tListenerOnce = PTHREAD_ONCE_INIT;

void InitListenerMutex()
{
    CreateMutex(&g_tListenerMutex);
}

class CListenerLock
{
public:
    CListenerLock()
    {
        pthread_once(&g_tListenerOnce, InitListenerMutex);
        pthread_mutex_lock(&g_tListenerMutex);
    }
    ~CListenerLock() { pthread_mutex_unlock(&g_tListenerMutex); }
    CListenerLock(const CListenerLock&) = delete;
    CListenerLock& operator=(const CListenerLock&) = delete;
};

bool IsTransient(int error)
{
    return error == EINTR || error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS;
}

void SetOption(int fd, int level, int name, int value)
{
    setsockopt(fd, level, name, &value, sizeof value);
}

// Options of a socket; client tells whether keep-alive probes are sped up.
void ApplyOptions(int fd, uint32_t flags, bool client)
{
    if ((flags & NYSOC_KIND_MASK) == NYSOC_KIND_UDP)
    {
        SetOption(fd, SOL_SOCKET, SO_BROADCAST, 1);
        return;
    }
    SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    SetOption(fd, SOL_SOCKET, SO_BROADCAST, 0);
    SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    if (!(flags & NYSOC_GRACEFUL))
    {
        // A close then resets the connection instead of lingering.
        struct linger tLinger = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &tLinger, sizeof tLinger);
    }
    SetOption(fd, SOL_SOCKET, SO_OOBINLINE, 1);
    if (client)
        SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, 1);
    if (flags & NYSOC_PRIORITY)
        SetOption(fd, SOL_SOCKET, SO_PRIORITY, 1);
}

bool SetReuseAddress(int fd)
{
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0)
        return true;
    TraceErrorText("setsockopt(SO_REUSEADDR) failed");
    return false;
}

bool BindToDevice(int fd, const char* interfaceName)
{
    char acName[16];
    strncpy(acName, interfaceName, 15);
    acName[15] = '\0';
    if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, acName, strlen(acName) + 1) == 0)
        return true;
    // Said on standard output too: a wrong interface name in a configuration shows at once.
    std::printf("can't bind to interface %s\n", acName);
    std::fflush(stdout);
    if (nyDebugInterfaceGlobalFlags & NYDEBUG_FLAG_ERROR)
        nyDebugSavePrintf(NYDEBUG_LEVEL_ERROR, "can't bind to interface %s\n", acName);
    return false;
}

bool IsZero(const uint8_t* bytes, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        if (bytes[i] != 0)
            return false;
    return true;
}

int TraceBindFailure(int error)
{
    TraceError("NySocSub_Bind failed! err: ", KESTREL_NOT_INITIALISED);
    TraceError(" NySocSub_Bind err: ", error);
    return KESTREL_NOT_INITIALISED;
}

// Binds a socket that is not a shared listener: 0, or the status the handle fails with.
int BindSocket(Connection* c, int fd)
{
    const NySocOpenRecord& r = c->tRecord;
    const bool server = (r.uFlags & NYSOC_SERVER) != 0;
    if (r.uFlags & NYSOC_REUSE_ADDRESS)
        SetReuseAddress(fd);

    struct sockaddr_in tAddress;
    memset(&tAddress, 0, sizeof tAddress);
    tAddress.sin_family = AF_INET;
    tAddress.sin_addr.s_addr = htonl(INADDR_ANY);
    tAddress.sin_port = htons(server ? r.usPort : 0);
    if (r.uFlags & NYSOC_LOCAL_BIND)
    {
        if (r.acInterface[0] != '\0')
        {
            if (!BindToDevice(fd, r.acInterface))
                return KESTREL_FAILED;
        }
        else if (r.uLocalAddress != 0 || r.usLocalPort != 0)
        {
            tAddress.sin_addr.s_addr = r.uLocalAddress;
        }
        else if (!IsZero(r.aucLocalAddress6, sizeof r.aucLocalAddress6))
        {
            return KESTREL_INVALID_ARGUMENT;
        }
        if (!server)
            tAddress.sin_port = htons(r.usLocalPort);
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&tAddress), sizeof tAddress) != 0)
        return TraceBindFailure(errno);
    if (server && r.usPort == 0)
        c->tRecord.usPort = SocketLocalPort(fd); // a later socket binds the same port again
    return 0;
}

bool ResolveRemote(Connection* c)
{
    const NySocOpenRecord& r = c->tRecord;
    uint32_t address = 0;
    if (r.uRemote.acHostName[0] != '\0')
    {
        struct addrinfo tHints;
        memset(&tHints, 0, sizeof tHints);
        tHints.ai_family = AF_INET;
        tHints.ai_socktype = SOCK_STREAM;
        struct addrinfo* pList = nullptr;
        if (getaddrinfo(r.uRemote.acHostName, nullptr, &tHints, &pList) != 0 || !pList)
            return false;
        for (struct addrinfo* p = pList; p; p = p->ai_next) // the last address wins
            if (p->ai_family == AF_INET)
                address = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
        freeaddrinfo(pList);
    }
    else
    {
        memcpy(&address, r.uRemote.acHostName + NYSOC_REMOTE_ADDRESS_OFFSET, sizeof address);
    }
    memset(&c->tRemote, 0, sizeof c->tRemote);
    c->tRemote.sin_family = AF_INET;
    c->tRemote.sin_port = htons(r.usPort);
    c->tRemote.sin_addr.s_addr = address;
    return true;
}

// --- listener entries (under the listener mutex) ---

void CloseListenerSocket(Listener& l)
{
    if (l.iSocket >= 0)
        close(l.iSocket);
    l.iSocket = -1;
    l.iBacklog = 0;
    l.iState = kListenerNone;
}

bool SameListener(const Listener& l, const NySocOpenRecord& r, uint32_t masked)
{
    if (!l.bInUse || l.uFlags != masked || l.usPort != r.usPort)
        return false;
    if (!(masked & NYSOC_LOCAL_BIND))
        return true;
    return strncmp(l.acInterface, r.acInterface, sizeof l.acInterface) == 0 &&
           l.uLocalAddress == r.uLocalAddress &&
           memcmp(l.aucLocalAddress6, r.aucLocalAddress6, sizeof l.aucLocalAddress6) == 0;
}

// Makes the listening socket when there is none. It keeps listening while a handle of the port
// may still serve, waiting or busy with a client, so that clients queue up while every handle is
// busy and the next handle that frees takes the first of them. 0, or the status the handle
// fails with.
int EnsureListening(Listener& l)
{
    if (l.iSocket >= 0)
        return 0;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
    {
        l.iState = kListenerFailed;
        l.iLastError = errno;
        TraceError("NySocSub_CreateSocket = INVALID_SOCKET, err: ", kListenerTransient);
        return kListenerTransient;
    }
    l.iState = kListenerSocket;
    SetReuseAddress(fd);
    struct sockaddr_in tAddress;
    memset(&tAddress, 0, sizeof tAddress);
    tAddress.sin_family = AF_INET;
    tAddress.sin_port = htons(l.usPort);
    tAddress.sin_addr.s_addr = htonl(INADDR_ANY);
    if (l.uFlags & NYSOC_LOCAL_BIND)
    {
        if (l.acInterface[0] != '\0' && !BindToDevice(fd, l.acInterface))
        {
            close(fd);
            l.iState = kListenerFailed;
            return KESTREL_FAILED;
        }
        tAddress.sin_addr.s_addr = l.uLocalAddress;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&tAddress), sizeof tAddress) != 0)
    {
        l.iLastError = errno;
        close(fd);
        l.iState = kListenerFailed;
        return TraceBindFailure(l.iLastError);
    }
    if (l.usPort == 0)
        l.usPort = SocketLocalPort(fd); // the port is kept for every later socket of the entry
    ApplyOptions(fd, l.uFlags, false);
    if (listen(fd, kListenBacklog) != 0)
    {
        const int error = errno;
        l.iLastError = error * 65536 + kErrorListen;
        close(fd);
        l.iState = kListenerFailed;
        return error == EADDRINUSE ? KESTREL_NOT_INITIALISED : KESTREL_FAILED;
    }
    l.iSocket = fd;
    l.iBacklog = kListenBacklog;
    l.iState = kListenerListening;
    return 0;
}

void StopWaiting(Connection* c, Listener& l)
{
    if (!c->bWaiting)
        return;
    c->bWaiting = false;
    if (--l.iWaiting < 0)
        l.iWaiting = 0;
}

// Counts the handle among the waiting ones and makes sure the port listens.
int StartWaiting(Connection* c)
{
    CListenerLock tLock;
    Listener& l = g_atListeners[c->iListener];
    if (!c->bWaiting)
    {
        c->bWaiting = true;
        ++l.iWaiting;
    }
    const int status = EnsureListening(l);
    if (status != 0)
        StopWaiting(c, l);
    else
        c->tRecord.usPort = l.usPort;
    return status;
}

// Accepts a waiting client without blocking: its descriptor, or -1. A failure
// that the handle cannot recover from is left in *status.
int AcceptClient(Connection* c, int* status)
{
    CListenerLock tLock;
    Listener& l = g_atListeners[c->iListener];
    if (!c->bWaiting)
    {
        c->bWaiting = true;
        ++l.iWaiting;
    }
    *status = EnsureListening(l);
    if (*status != 0)
    {
        StopWaiting(c, l);
        return -1;
    }
    l.iState = kListenerAccepting;
    ++l.iBusy;
    const int fd = accept4(l.iSocket, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    const int error = errno;
    --l.iBusy;
    l.iState = kListenerListening;
    if (fd >= 0)
    {
        StopWaiting(c, l);
        return fd;
    }
    if (!IsTransient(error) && error != ECONNABORTED)
    {
        l.iLastError = error * 65536 + kErrorAccept;
        c->iLastError = l.iLastError;
    }
    return -1;
}

void LeaveWaiting(Connection* c)
{
    if (c->iListener < 0 || !c->bWaiting)
        return;
    CListenerLock tLock;
    StopWaiting(c, g_atListeners[c->iListener]);
}

// --- the machine ---

void ResetConnection(Connection* c)
{
    CloseSocket(c);
    c->iLastError = 0;
    c->tRemainder.Clear();
    memset(&c->tReassembly, 0, sizeof c->tReassembly);
    c->iAttempts = 0;
    LeaveWaiting(c);
}

void SendGreeting(Connection* c)
{
    // An empty frame tells a framed client that the server is there.
    static const uint8_t aucGreeting[NYSOC_FRAME_HEADER_SIZE] = {'S', 'i', 0, 0, 0, 0, 0, 0};
    ssize_t sent = send(c->iSocket, aucGreeting, sizeof aucGreeting, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0)
    {
        if (!IsTransient(errno))
        {
            c->iLastError = errno; // the next transfer finds the broken socket
            return;
        }
        sent = 0;
    }
    const uint32_t rest = static_cast<uint32_t>(sizeof aucGreeting - static_cast<size_t>(sent));
    if (rest == 0)
        return;
    if (rest > kInlineRemainder)
    {
        c->iLastError = KESTREL_REMAINDER_TOO_LARGE;
        return;
    }
    c->tRemainder.Clear();
    memcpy(c->tRemainder.aucInline, aucGreeting + sent, rest);
    c->tRemainder.uLength = rest;
}

int StepCreate(Connection* c)
{
    if (IsTcpServer(c))
    {
        if (c->iListener < 0)
        {
            c->iLastError = KESTREL_FAILED;
            c->iState = kStateFailed;
            return kStepGoOn;
        }
        const int status = StartWaiting(c);
        if (status == kListenerTransient)
        {
            c->iLastError = status;
            c->iState = kStateReset;
            return kStepWait;
        }
        if (status != 0)
        {
            c->iLastError = status;
            c->iState = kStateFailed;
            return kStepGoOn;
        }
        c->iState = kStateAccepting;
        return kStepGoOn;
    }
    const uint32_t kind = Kind(c);
    if (kind != NYSOC_KIND_TCP && kind != NYSOC_KIND_UDP)
    {
        c->iLastError = kErrorBadKind;
        c->iState = kStateFailed;
        return kStepGoOn;
    }
    const int type = kind == NYSOC_KIND_TCP ? SOCK_STREAM : SOCK_DGRAM;
    const int fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
    {
        c->iLastError = KESTREL_TABLE_FULL;
        TraceError("NySocSub_CreateSocket = INVALID_SOCKET, err: ", KESTREL_TABLE_FULL);
        c->iState = kStateReset;
        return kStepWait;
    }
    const int status = BindSocket(c, fd);
    if (status != 0)
    {
        close(fd);
        c->iLastError = status;
        c->iState = kStateFailed;
        return kStepGoOn;
    }
    ApplyOptions(fd, c->tRecord.uFlags, !(c->tRecord.uFlags & NYSOC_SERVER));
    c->iSocket = fd;
    c->iState = kStateResolve;
    return kStepGoOn;
}

int StepConnect(Connection* c)
{
    if (c->tRecord.uFlags & NYSOC_SERVER)
    {
        c->iState = kStateNewlyConnected;
        return kStepGoOn;
    }
    c->tConnectStart = Now();
    ++c->iAttempts;
    if (connect(c->iSocket, reinterpret_cast<const sockaddr*>(&c->tRemote), sizeof c->tRemote) ==
            0 ||
        errno == EISCONN)
    {
        c->iState = kStateNewlyConnected;
        return kStepGoOn;
    }
    if (IsTransient(errno) || errno == EALREADY)
    {
        c->iState = kStateConnecting;
        return kStepGoOn;
    }
    c->iLastError = errno;
    c->iState = kStateReset;
    return kStepWait;
}

int StepConnecting(Connection* c)
{
    if (c->bStopRequest)
    {
        c->iState = kStateReset;
        return kStepGoOn;
    }
    if (ElapsedMs(c->tConnectStart) >= kConnectWindowMs)
    {
        c->iState = kStateConnect; // connect again: the attempt is counted
        return kStepGoOn;
    }
    struct pollfd tPoll = {c->iSocket, POLLOUT, 0};
    const int ready = poll(&tPoll, 1, 0);
    if (ready < 0)
    {
        c->iLastError = errno;
        c->iState = kStateReset;
        return kStepWait;
    }
    if (ready == 0)
    {
        if (c->iAttempts < kMaxConnectAttempts)
            return kStepWait;
        c->iLastError = KESTREL_NOT_CONNECTED;
        c->iState = kStateReset;
        return kStepWait;
    }
    // Writable also means a failed connect: only a socket without error is connected.
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(c->iSocket, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    if (error != 0)
    {
        c->iLastError = error;
        c->iState = kStateReset;
        return kStepWait;
    }
    c->iState = kStateNewlyConnected;
    return kStepGoOn;
}

int StepAccepting(Connection* c)
{
    if (c->bStopRequest)
    {
        c->iState = kStateReset;
        return kStepGoOn;
    }
    int status = 0;
    const int fd = AcceptClient(c, &status);
    if (fd < 0)
    {
        if (status == 0 || status == kListenerTransient)
            return kStepWait;
        c->iLastError = status;
        c->iState = kStateFailed;
        return kStepGoOn;
    }
    ApplyOptions(fd, c->tRecord.uFlags, false);
    c->iSocket = fd;
    c->iState = kStateNewlyConnected;
    return kStepGoOn;
}

int StepNewlyConnected(Connection* c)
{
    c->iLastError = 0;
    c->tRemainder.Clear();
    c->uStopCounterSeen = c->uStopCounter;
    if (c->tRecord.uFlags & NYSOC_SERVER)
        c->tRecord.usPort = SocketLocalPort(c->iSocket);
    else
        c->tRecord.usLocalPort = SocketLocalPort(c->iSocket);
    if (c->bStopRequest)
    {
        c->iState = kStateRelease;
        return kStepGoOn;
    }
    c->iState = kStateConnected;
    return kStepConnected;
}

int Step(Connection* c)
{
    switch (c->iState)
    {
    case kStateReset:
        ResetConnection(c);
        c->iState = kStateStopped;
        return kStepGoOn;
    case kStateStopped:
        if (c->bStopRequest)
        {
            c->iLastError = KESTREL_STOPPED;
            return kStepWait;
        }
        c->iState = kStateCreate;
        return kStepGoOn;
    case kStateCreate:
        return StepCreate(c);
    case kStateResolve:
        if (!ResolveRemote(c))
        {
            if (!c->bStopRequest)
                return kStepWait;
            c->iState = kStateReset;
            return kStepGoOn;
        }
        c->iState = kStateConnect;
        return kStepGoOn;
    case kStateConnect:
        return StepConnect(c);
    case kStateConnecting:
        return StepConnecting(c);
    case kStateAccepting:
        return StepAccepting(c);
    case kStateNewlyConnected:
        return StepNewlyConnected(c);
    case kStateConnected:
        if (c->uStopCounter == c->uStopCounterSeen && !c->bStopRequest)
            return kStepIdle;
        c->iState = kStateRelease;
        return kStepGoOn;
    case kStateRelease:
        memset(&c->tReassembly, 0, sizeof c->tReassembly);
        c->iState = kStateClose;
        return kStepGoOn;
    case kStateClose:
        CloseSocket(c);
        c->iState = kStateReset;
        return (c->tRecord.uFlags & NYSOC_SERVER) ? kStepPeerGone : kStepConnected;
    case kStateFailed:
        CloseSocket(c);
        return kStepWait;
    default:
        c->iLastError = KESTREL_NO_SOCKET;
        c->iState = kStateReset;
        return kStepGoOn;
    }
}
} // namespace

uint16_t SocketLocalPort(int fd)
{
    struct sockaddr_in tAddress;
    socklen_t length = sizeof tAddress;
    if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&tAddress), &length) != 0)
        return 0;
    return ntohs(tAddress.sin_port);
}

void Remainder::Clear()
{
    free(pHeap);
    pHeap = nullptr;
    uLength = 0;
}

bool IsTcpServer(const Connection* c)
{
    return (c->tRecord.uFlags & NYSOC_SERVER) && Kind(c) == NYSOC_KIND_TCP;
}

uint32_t Kind(const Connection* c)
{
    return c->tRecord.uFlags & NYSOC_KIND_MASK;
}

int RunMachine(Connection* c, int maxSteps)
{
    for (int i = 0; i < maxSteps; ++i)
    {
        const int result = Step(c);
        if (result == kStepConnected && IsTcpServer(c) && (c->tRecord.uFlags & NYSOC_FRAMED) &&
            !(c->tRecord.uFlags & NYSOC_NO_GREETING) && c->iState == kStateConnected)
            SendGreeting(c);
        if (result != kStepGoOn)
            break;
    }
    switch (c->iState)
    {
    case kStateConnected:
        return 0;
    case kStateFailed:
        return KESTREL_FAILED;
    case kStateStopped:
        return c->bStopRequest ? KESTREL_STOPPED : KESTREL_NOT_CONNECTED;
    default:
        return KESTREL_NOT_CONNECTED;
    }
}

void SetStopRequest(Connection* c, bool stop)
{
    if (c->bStopRequest == stop)
        return;
    c->bStopRequest = stop;
    if (c->iListener < 0)
        return;
    CListenerLock tLock;
    Listener& l = g_atListeners[c->iListener];
    if (!stop)
    {
        ++l.iServing;
        return;
    }
    if (--l.iServing <= 0)
    {
        // No handle of the port will take a client: queued clients are refused, not kept.
        l.iServing = 0;
        CloseListenerSocket(l);
    }
}

void ShutConnection(Connection* c)
{
    SetStopRequest(c, true);
    ++c->uStopCounter;
    for (int i = 0; i < kStepsToStop && c->iState != kStateStopped && c->iState != kStateFailed;
         ++i)
        Step(c);
    CloseSocket(c);
    memset(&c->tReassembly, 0, sizeof c->tReassembly);
    if (c->iListener >= 0)
        ReleaseListener(c);
}

void DropConnection(Connection* c)
{
    memset(&c->tReassembly, 0, sizeof c->tReassembly);
    CloseSocket(c);
    c->iState = kStateReset;
}

void CloseSocket(Connection* c)
{
    const int fd = c->iSocket;
    if (fd < 0)
        return;
    c->iSocket = -1;
    c->uGeneration.fetch_add(1);
    if (fd == c->iSendFd || fd == c->iRecvFd)
    {
        // A transfer still waits on it: wake it, and let it close the descriptor.
        shutdown(fd, SHUT_RDWR);
        for (int& deferred : c->aiDeferredClose)
        {
            if (deferred < 0)
            {
                deferred = fd;
                break;
            }
        }
        return;
    }
    if (c->tRecord.uFlags & NYSOC_GRACEFUL)
        shutdown(fd, SHUT_RDWR);
    close(fd);
}

void EndTransferOn(Connection* c, int fd)
{
    if (fd == c->iSendFd || fd == c->iRecvFd)
        return;
    for (int& deferred : c->aiDeferredClose)
    {
        if (deferred == fd)
        {
            close(fd);
            deferred = -1;
        }
    }
}

int TakeListener(Connection* c)
{
    const NySocOpenRecord& r = c->tRecord;
    const uint32_t masked = r.uFlags & kListenerFlagMask;
    CListenerLock tLock;
    for (int i = 0; i < NYSOC_MAX_LISTENERS; ++i)
    {
        if (SameListener(g_atListeners[i], r, masked))
        {
            ++g_atListeners[i].iHolders;
            if (!c->bStopRequest)
                ++g_atListeners[i].iServing;
            c->iListener = i;
            return 0;
        }
    }
    for (int i = 0; i < NYSOC_MAX_LISTENERS; ++i)
    {
        Listener& l = g_atListeners[i];
        if (l.bInUse)
            continue;
        memset(&l, 0, sizeof l);
        l.bInUse = true;
        l.uFlags = masked;
        l.iSocket = -1;
        l.usPort = r.usPort;
        memcpy(l.acInterface, r.acInterface, sizeof l.acInterface);
        l.acInterface[sizeof l.acInterface - 1] = '\0';
        l.uLocalAddress = r.uLocalAddress;
        memcpy(l.aucLocalAddress6, r.aucLocalAddress6, sizeof l.aucLocalAddress6);
        l.iHolders = 1;
        l.iServing = c->bStopRequest ? 0 : 1;
        c->iListener = i;
        return 0;
    }
    return KESTREL_TABLE_FULL;
}

void ReleaseListener(Connection* c)
{
    if (c->iListener < 0)
        return;
    CListenerLock tLock;
    Listener& l = g_atListeners[c->iListener];
    StopWaiting(c, l);
    if (!c->bStopRequest && --l.iServing <= 0)
    {
        l.iServing = 0;
        CloseListenerSocket(l);
    }
    if (--l.iHolders <= 0)
    {
        CloseListenerSocket(l);
        memset(&l, 0, sizeof l);
        l.iSocket = -1;
    }
    c->iListener = -1;
}

void ResetListeners()
{
    CListenerLock tLock;
    for (Listener& l : g_atListeners)
    {
        if (l.bInUse)
            CloseListenerSocket(l);
        memset(&l, 0, sizeof l);
        l.iSocket = -1;
    }
}

int SnapshotListeners(NySocListenerSnapshotRecord* record)
{
    const uint32_t room = record->uTableSize;
    CListenerLock tLock;
    uint32_t inUse = 0;
    uint32_t copied = 0;
    for (const Listener& l : g_atListeners)
    {
        if (!l.bInUse)
            continue;
        ++inUse;
        if (copied >= room)
            continue;
        NySocListenerInfo& e = record->atEntries[copied++];
        memset(&e, 0, sizeof e);
        e.uFlags = l.uFlags;
        e.iSocket = l.iSocket;
        memcpy(e.acInterface, l.acInterface, sizeof e.acInterface);
        e.uLocalAddress = l.uLocalAddress;
        memcpy(e.aucLocalAddress6, l.aucLocalAddress6, sizeof e.aucLocalAddress6);
        e.usPort = l.usPort;
        e.iBacklog = l.iBacklog;
        e.iWaiting = l.iWaiting;
        e.iHolders = l.iHolders;
        e.iBusy = l.iBusy;
        e.iState = l.iState;
        e.iLastError = l.iLastError;
    }
    record->aucVersion[0] = 2;
    record->aucVersion[1] = record->aucVersion[2] = record->aucVersion[3] = 0;
    record->uTableSize = NYSOC_MAX_LISTENERS;
    record->uInUse = inUse;
    record->uCopied = copied;
    return 0;
}
} // namespace nysoc
