// Driver threads: started through one trampoline that keeps the count of running threads,
// which the release of the driver waits for; thread priorities; the event-message queue.
#include "QTXThread.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "QTX.h"
#include "nyDebug.h"

namespace
{
// Allocated with malloc by StartThread, freed by the trampoline (or by StartThread when the
// thread cannot be created).
struct QTXThreadStartBlock
{
    CQTX* driver;
    QTXThreadFunction function;
    void* argument;
    int intArgument;
    // Round-robin priority the thread gives itself before it runs the function; 0 keeps the
    // inherited scheduling.
    int priority;
};

// Trace record types of the thread records.
constexpr uint8_t TRACE_TEXT = 5;
constexpr uint8_t TRACE_INT32 = 9;
constexpr uint8_t TRACE_POINTER = 11;
constexpr uint8_t TRACE_TIME = 18;
constexpr uint8_t TRACE_END_OF_LINE = 0x40;

void TraceText(const char* text)
{
    nyDebugSaveMem(TRACE_TEXT, text, static_cast<uint8_t>(strlen(text)));
}

// "[T= <software time>]: <what>" followed by the function, both arguments and the end mark.
void TraceThread(const char* what, const QTXThreadStartBlock* block)
{
    if ((nyDebugInterfaceGlobalFlags & NYDEBUG_FLAG_PROGRESS) == 0)
        return;
    double now = GetSoftwareTime();
    uint64_t timeBits = 0;
    memcpy(&timeBits, &now, sizeof timeBits);
    TraceText("[T= ");
    nyDebugSave64(TRACE_TIME, timeBits);
    TraceText("]: ");
    TraceText(what);
    // Pointers are 32 bits wide on the device; here only their low half is kept.
    nyDebugSave32(TRACE_POINTER,
                  static_cast<uint32_t>(reinterpret_cast<uintptr_t>(block->function)));
    nyDebugSave32(TRACE_POINTER,
                  static_cast<uint32_t>(reinterpret_cast<uintptr_t>(block->argument)));
    nyDebugSave32(TRACE_INT32, static_cast<uint32_t>(block->intArgument));
    nyDebugSaveOpcode8(TRACE_END_OF_LINE);
}

// Runs the body of a driver thread. The thread was counted by StartThread; the count goes
// down only after the last access to the driver object, since a release waiting for the count
// may destroy it right afterwards.
void* QTXThreadStart(void* parameter)
{
    QTXThreadStartBlock* block = static_cast<QTXThreadStartBlock*>(parameter);
    if (block == nullptr)
    {
        if (nyDebugInterfaceGlobalFlags & NYDEBUG_FLAG_PROGRESS)
            TraceText("Can not start thread: no parameters");
        return reinterpret_cast<void*>(2);
    }
    if (block->priority > 0)
    {
        struct sched_param parameters = {};
        parameters.sched_priority = block->priority;
        pthread_setschedparam(pthread_self(), SCHED_RR, &parameters);
    }

    CQTX* driver = block->driver;
    TraceThread("Starting Thread ", block);
    bool result = false;
    try
    {
        result = block->function(driver, block->argument, block->intArgument);
    }
    catch (CQTXError& error)
    {
        // An error leaving the thread would end the whole process.
        driver->SendErrorMessage(error, false);
    }
    catch (std::exception& error)
    {
        driver->SendErrorMessage(CQTXError("ThreadFailed", error.what(), __FILE__, __LINE__, Error),
                                 false);
    }
    TraceThread("Ending Thread ", block);
    free(block);
    driver->ThreadCounter(-1);
    return reinterpret_cast<void*>(result ? 0 : 1);
}

// The round-robin priority a new thread gets: the caller's priority (which the new thread
// inherits) plus the delta, within 1..99; 0 (keep the inherited scheduling) for a delta
// below -99 or when the caller's priority cannot be read.
int PriorityForNewThread(int priorityDelta)
{
    if (priorityDelta < -99)
        return 0;
    int policy = 0;
    struct sched_param parameters = {};
    if (pthread_getschedparam(pthread_self(), &policy, &parameters) != 0)
        return 0;
    long priority = static_cast<long>(parameters.sched_priority) + priorityDelta;
    return static_cast<int>(priority < 1 ? 1 : (priority > 99 ? 99 : priority));
}
} // namespace

// ---- Driver threads

QTXThreadHandle CQTX::StartThread(QTXThreadFunction function, void* argument, int intArgument,
                                  int priorityDelta)
{
    QTXThreadHandle handle{};
    handle.bValid = false;

    QTXThreadStartBlock* block =
        static_cast<QTXThreadStartBlock*>(malloc(sizeof(QTXThreadStartBlock)));
    if (block == nullptr)
        throw CQTXECommunicationError("ThreadFailed", "Can not start thread due to missing memory",
                                      __FILE__, __LINE__, Error);
    block->driver = this;
    block->function = function;
    block->argument = argument;
    block->intArgument = intArgument;
    block->priority = PriorityForNewThread(priorityDelta);
    bContinueThreads = true;

    // Counted before it exists, so that a release right after the start waits for it too.
    ThreadCounter(1);
    // Nobody joins a driver thread: it is detached, and the count tells when it has ended.
    pthread_attr_t attributes;
    bool created = pthread_attr_init(&attributes) == 0;
    if (created)
    {
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        created = pthread_create(&handle.tThread, &attributes, QTXThreadStart, block) == 0;
        pthread_attr_destroy(&attributes);
    }
    if (!created)
    {
        ThreadCounter(-1);
        free(block);
        return handle;
    }
    handle.bValid = true;

    // Gives the new thread a moment to get going before the caller goes on.
    usleep(10000);
    return handle;
}

int CQTX::ThreadCounter(int delta)
{
    LockGuard guard(&tThreadCountMutex);
    guard.Lock();
    iThreadCount += delta;
    return iThreadCount;
}

// ---- Priorities

int GetPrioOfCurThread()
{
    int policy = 0;
    struct sched_param parameters = {};
    if (pthread_getschedparam(pthread_self(), &policy, &parameters) != 0)
        throw CQTXError("GetPrioError", "Could not read the thread priority", __FILE__, __LINE__,
                        Error, "GeneralError");
    return parameters.sched_priority;
}

void SetPrioOfCurThread(int priority)
{
    struct sched_param parameters = {};
    parameters.sched_priority = priority;
    pthread_setschedparam(pthread_self(), priority == 0 ? SCHED_OTHER : SCHED_RR, &parameters);
}

int GetThreadID()
{
    return static_cast<int>(syscall(SYS_gettid));
}

int NyEventCreatePrivate(sem_t* semaphore)
{
    return sem_init(semaphore, 0, 0);
}

// ---- Plain FIFO of entries

int NYQUE_InQueueWithId(tagNY_QUEUE_HEAD* head, tagNY_QUEUE_ENTRY* entry, void* object, int id)
{
    if (head == nullptr || entry == nullptr || entry->iId != 0 || id == 0)
        return 0;
    entry->pNext = nullptr;
    entry->pObject = object;
    entry->iId = id;
    if (head->pFirst == nullptr)
        head->pFirst = entry;
    else
        head->pLast->pNext = entry;
    head->pLast = entry;
    return 1;
}

tagNY_QUEUE_ENTRY* NYQUE_OutQueue(tagNY_QUEUE_HEAD* head)
{
    if (head == nullptr || head->pFirst == nullptr)
        return nullptr;
    tagNY_QUEUE_ENTRY* entry = head->pFirst;
    head->pFirst = entry->pNext;
    if (head->pFirst == nullptr)
        head->pLast = nullptr;
    entry->pNext = nullptr;
    entry->iId = 0;
    return entry;
}

NyQueueHead::NyQueueHead()
{
    tHead.pFirst = nullptr;
    tHead.pLast = nullptr;
}

int NyQueueHead::InWithId(tagNY_QUEUE_ENTRY* entry, void* object, int id)
{
    return NYQUE_InQueueWithId(&tHead, entry, object, id);
}

int NyQueueHead::In_NewEntry(tagNY_QUEUE_ENTRY* entry, void* object)
{
    if (entry == nullptr)
        return 0;
    entry->iId = 0;
    return NYQUE_InQueueWithId(&tHead, entry, object, 1);
}

tagNY_QUEUE_ENTRY* NyQueueHead::Out()
{
    return NYQUE_OutQueue(&tHead);
}

void* NyQueueHead::OutObj()
{
    tagNY_QUEUE_ENTRY* entry = Out();
    return entry == nullptr ? nullptr : entry->pObject;
}

// ---- Event messages

CEventMsg::CEventMsg(uint8_t kind) : ucKind(kind), tEntry{nullptr, nullptr, 0}, iWaitState(0)
{
    memset(&tSemaphore, 0, sizeof tSemaphore);
}

CEventMsg::~CEventMsg()
{
    if (iWaitState != EVENTMSG_NO_WAIT)
    {
        if (iWaitState == EVENTMSG_WAITING)
            iWaitState = EVENTMSG_EXECUTED;
        sem_post(&tSemaphore);
        sem_destroy(&tSemaphore);
    }
}

void CEventMsg::SetWaitOfExecuteMode()
{
    if (iWaitState == EVENTMSG_NO_WAIT)
        NyEventCreatePrivate(&tSemaphore);
    iWaitState = EVENTMSG_WAITING;
}

int CEventMsg::Wait()
{
    if (iWaitState == EVENTMSG_NO_WAIT)
        return -1;
    while (iWaitState == EVENTMSG_WAITING)
    {
        if (sem_wait(&tSemaphore) != 0 && errno != EINTR)
            break;
    }
    return iWaitState == EVENTMSG_DROPPED ? 1 : 0;
}

void CEventMsg::Release(int state)
{
    // The sender may delete the message as soon as the semaphore is posted.
    iWaitState = state;
    sem_post(&tSemaphore);
}

CEventMsgQueue::CEventMsgQueue()
{
    NyMutexCreatePrivate(&tMutex);
}

CEventMsgQueue::~CEventMsgQueue()
{
    pthread_mutex_lock(&tMutex);
    iClosed = 1;
    TakeArrivals();
    while (CEventMsg* message = static_cast<CEventMsg*>(OutObj()))
        FinishMessage(message, EVENTMSG_DROPPED);
    pthread_mutex_unlock(&tMutex);
    pthread_mutex_destroy(&tMutex);
}

void CEventMsgQueue::FinishMessage(CEventMsg* message, int state)
{
    if (message->iWaitState == EVENTMSG_NO_WAIT)
        delete message;
    else
        message->Release(state);
}

bool CEventMsgQueue::AddEventMsg(CEventMsg* message)
{
    if (message == nullptr)
        return false;
    // Only the destructor closes the queue; a sender must not race with it.
    if (iClosed.load(std::memory_order_acquire))
    {
        FinishMessage(message, EVENTMSG_DROPPED);
        return false;
    }
    tagNY_QUEUE_ENTRY* entry = &message->tEntry;
    if (entry->iId != 0)
        return false; // already in a queue
    entry->pObject = message;
    entry->iId = 1;
    entry->pNext = pArrivals.load(std::memory_order_relaxed);
    while (!pArrivals.compare_exchange_weak(entry->pNext, entry, std::memory_order_release,
                                            std::memory_order_relaxed))
    {
    }
    return true;
}

void CEventMsgQueue::TakeArrivals()
{
    tagNY_QUEUE_ENTRY* newest = pArrivals.exchange(nullptr, std::memory_order_acquire);
    if (newest == nullptr)
        return;
    // Reverse the arrivals into a list oldest first, then append it.
    tagNY_QUEUE_ENTRY* oldest = nullptr;
    for (tagNY_QUEUE_ENTRY* entry = newest; entry != nullptr;)
    {
        tagNY_QUEUE_ENTRY* next = entry->pNext;
        entry->pNext = oldest;
        oldest = entry;
        entry = next;
    }
    if (tHead.pFirst == nullptr)
        tHead.pFirst = oldest;
    else
        tHead.pLast->pNext = oldest;
    tHead.pLast = newest;
}

bool CEventMsgQueue::AddEndOfLoopEventMsg(int value)
{
    return AddEventMsg(new CEventMsgEndOfLoop(value));
}

CEventMsg* CEventMsgQueue::GetNextEventMsg()
{
    LockGuard guard(&tMutex);
    guard.Lock();
    if (tHead.pFirst == nullptr)
        TakeArrivals();
    return static_cast<CEventMsg*>(OutObj());
}

int CEventMsgQueue::ExecuteNext()
{
    CEventMsg* message = GetNextEventMsg();
    if (message == nullptr)
        return 0;
    int result = 1;
    if (message->ucKind == CEventMsg::KIND_END_OF_LOOP)
    {
        if (CEventMsgEndOfLoop* end = dynamic_cast<CEventMsgEndOfLoop*>(message))
            iEndOfLoopValue = end->GetValue();
        result = 2;
    }
    try
    {
        message->Execute(pDriver);
    }
    catch (...)
    {
        FinishMessage(message, EVENTMSG_EXECUTED);
        throw;
    }
    FinishMessage(message, EVENTMSG_EXECUTED);
    return result;
}
