// Thread helpers of the framework: priorities of the calling thread, priority-inheritance
// semaphores, and a small event-message queue through which threads hand work to one
// processing loop (optionally waiting until it has run).
//
// The driver threads themselves are started with CQTX::StartThread (QTX.h).
#ifndef QTX_THREAD_H
#define QTX_THREAD_H

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <semaphore.h>

class CQTX;

// ---- Priorities

// Priority of the calling thread (0 for the normal scheduling, 1..99 for real time). Throws
// CQTXError "GetPrioError" when it cannot be read.
int GetPrioOfCurThread();
// 0 sets the normal scheduling (SCHED_OTHER); any other value round-robin real time
// (SCHED_RR) with that priority. The result is not checked: without the right to use real-time
// scheduling the thread keeps what it had.
void SetPrioOfCurThread(int priority);
// Kernel thread id of the caller.
int GetThreadID();

// A process-private semaphore with the count 0; returns the result of sem_init.
int NyEventCreatePrivate(sem_t* semaphore);

// ---- Plain FIFO of entries

// An entry lives inside the object it queues. An id of 0 means the entry is in no queue.
struct tagNY_QUEUE_ENTRY
{
    tagNY_QUEUE_ENTRY* pNext;
    void* pObject;
    int iId;
};

struct tagNY_QUEUE_HEAD
{
    tagNY_QUEUE_ENTRY* pFirst;
    tagNY_QUEUE_ENTRY* pLast;
};

// Appends the entry with the object and the id. 1 when queued; 0 when the entry is already in
// a queue (its id is not 0), for the id 0 (which would mark a queued entry as free) or for a
// null head or entry. No lock: the owner of the head serialises.
int NYQUE_InQueueWithId(tagNY_QUEUE_HEAD* head, tagNY_QUEUE_ENTRY* entry, void* object, int id);
// Takes the first entry out (its id reset to 0); null when the queue is empty.
tagNY_QUEUE_ENTRY* NYQUE_OutQueue(tagNY_QUEUE_HEAD* head);

class NyQueueHead
{
public:
    NyQueueHead();
    virtual ~NyQueueHead() {}

    int InWithId(tagNY_QUEUE_ENTRY* entry, void* object, int id);
    // For an entry that is known to be in no queue: clears its id and queues it with id 1.
    int In_NewEntry(tagNY_QUEUE_ENTRY* entry, void* object);
    tagNY_QUEUE_ENTRY* Out();
    // The object of the first entry, taken out; null when the queue is empty.
    void* OutObj();

protected:
    tagNY_QUEUE_HEAD tHead;
};

// ---- Event messages

// Wait states of a message.
constexpr int EVENTMSG_NO_WAIT = 0;
constexpr int EVENTMSG_WAITING = 1;
constexpr int EVENTMSG_EXECUTED = 2;
// The queue was destroyed (or closed) before the message ran.
constexpr int EVENTMSG_DROPPED = 3;

// A piece of work for a processing loop. Messages are heap objects: once added to a queue
// the queue owns a plain message and deletes it after it ran; a message in wait mode stays
// its sender's, who deletes it after Wait.
class CEventMsg
{
public:
    // Kinds of message.
    static constexpr uint8_t KIND_PLAIN = 0;
    static constexpr uint8_t KIND_END_OF_LOOP = 1;

    explicit CEventMsg(uint8_t kind = KIND_PLAIN);
    // Releases a sender that still waits.
    virtual ~CEventMsg();
    virtual void Execute(CQTX* driver) = 0;

    // Puts the message in wait mode; call before adding it to the queue.
    void SetWaitOfExecuteMode();
    // Blocks until the message has run. -1 when the message is not in wait mode, 0 after it ran,
    // 1 when the queue dropped it without running it.
    int Wait();

    uint8_t GetKind() const { return ucKind; }
    int GetWaitState() const { return iWaitState; }

private:
    CEventMsg(const CEventMsg&) = delete;
    CEventMsg& operator=(const CEventMsg&) = delete;

    // Ends the wait of the sender with the given state; the message may be gone afterwards.
    void Release(int state);

    friend class CEventMsgQueue;

    uint8_t ucKind;
    tagNY_QUEUE_ENTRY tEntry;
    std::atomic<int> iWaitState;
    sem_t tSemaphore;
};

// Ends a processing loop; the queue keeps its value.
class CEventMsgEndOfLoop : public CEventMsg
{
public:
    explicit CEventMsgEndOfLoop(int value) : CEventMsg(KIND_END_OF_LOOP), iValue(value) {}
    void Execute(CQTX*) override {}
    int GetValue() const { return iValue; }

private:
    int iValue;
};

// A FIFO of event messages for one processing loop. Any thread may add; the loop calls
// ExecuteNext until it returns 2 and then reads GetEndOfLoopValue.
//
// Adding never waits for another thread: a message is pushed onto a list of arrivals with one
// compare-and-swap, so senders of any priority never queue up behind one another on a lock.
// Taking out holds the mutex (the loops that take from one queue wait for each other): when the
// FIFO is empty, it moves the arrivals over in the order they came.
class CEventMsgQueue : private NyQueueHead
{
public:
    CEventMsgQueue();
    // Closes the queue, deletes the plain messages still in it and releases the senders that
    // wait for the others.
    ~CEventMsgQueue() override;

    // The driver object handed to Execute (null unless set).
    void SetDriver(CQTX* driver) { pDriver = driver; }

    // Takes the message. False when it was not queued: it is already in a queue, or this queue
    // is closed (a plain message is then deleted, a waiting sender released).
    bool AddEventMsg(CEventMsg* message);
    bool AddEndOfLoopEventMsg(int value);
    // The first message, taken out; null when the queue is empty.
    CEventMsg* GetNextEventMsg();
    // Runs the first message: 0 when the queue is empty, 1 after a plain message, 2 after an
    // end-of-loop message. An error thrown by Execute is passed on after the message was
    // finished as if it had run.
    int ExecuteNext();

    int GetEndOfLoopValue() const { return iEndOfLoopValue; }

private:
    CEventMsgQueue(const CEventMsgQueue&) = delete;
    CEventMsgQueue& operator=(const CEventMsgQueue&) = delete;

    // Deletes a plain message; hands a waited one back to its sender with the state.
    static void FinishMessage(CEventMsg* message, int state);

    // Moves the arrivals to the end of the FIFO, oldest first; with the mutex held.
    void TakeArrivals();

    pthread_mutex_t tMutex;
    std::atomic<int> iClosed{0};
    // Messages added and not yet moved to the FIFO, the newest first (linked by their entries).
    std::atomic<tagNY_QUEUE_ENTRY*> pArrivals{nullptr};
    CQTX* pDriver = nullptr;
    int iEndOfLoopValue = 0;
};

#endif
