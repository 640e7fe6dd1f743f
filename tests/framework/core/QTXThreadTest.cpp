// Driver threads (counting, detaching, priorities, trace records) and the event-message queue.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KoveTestSupport.h"
#include "QTX.h"
#include "nyDebug.h"

namespace
{
class CThreadDriver : public CQTX
{
public:
    std::string GetModuleName() override { return "Threads"; }
    void InitCQTX() override {}
    void BootHardware() override {}
    bool ParseAndCheckConfiguration(int&) override { return true; }
    void SetHardwareConfiguration() override {}
};

// What a thread body saw, and a gate that holds it until the test opens it.
struct CThreadProbe
{
    std::mutex tMutex;
    std::condition_variable tChanged;
    bool bRunning = false;
    bool bOpen = false;
    CQTX* pDriver = nullptr;
    int iIntArgument = 0;
    int iDetachState = -1;
    int iPolicy = -1;
    int iPriority = -1;

    void Open()
    {
        std::lock_guard<std::mutex> lock(tMutex);
        bOpen = true;
        tChanged.notify_all();
    }
    bool WaitRunning()
    {
        std::unique_lock<std::mutex> lock(tMutex);
        return tChanged.wait_for(lock, std::chrono::seconds(10), [&] { return bRunning; });
    }
};

bool ProbeThread(CQTX* driver, void* argument, int intArgument)
{
    CThreadProbe* probe = static_cast<CThreadProbe*>(argument);
    std::unique_lock<std::mutex> lock(probe->tMutex);
    probe->pDriver = driver;
    probe->iIntArgument = intArgument;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0)
    {
        pthread_attr_getdetachstate(&attributes, &probe->iDetachState);
        pthread_attr_destroy(&attributes);
    }
    sched_param parameters{};
    pthread_getschedparam(pthread_self(), &probe->iPolicy, &parameters);
    probe->iPriority = parameters.sched_priority;
    probe->bRunning = true;
    probe->tChanged.notify_all();
    probe->tChanged.wait(lock, [&] { return probe->bOpen; });
    return true;
}

bool WaitForNoThreads(CQTX& driver)
{
    return kovetest::WaitFor([&] { return driver.ThreadCounter(0) == 0; });
}

TEST(DriverThreads, ThreadIsDetachedAndCountedUntilItEnds)
{
    CThreadDriver driver;
    CThreadProbe probe;
    QTXThreadHandle handle = driver.StartThread(ProbeThread, &probe, 42, -1000000);
    ASSERT_TRUE(handle.bValid);
    EXPECT_TRUE(driver.ContinueThread());
    ASSERT_TRUE(probe.WaitRunning());
    EXPECT_EQ(driver.ThreadCounter(0), 1);
    EXPECT_EQ(probe.pDriver, &driver);
    EXPECT_EQ(probe.iIntArgument, 42);
    EXPECT_EQ(probe.iDetachState, PTHREAD_CREATE_DETACHED);

    probe.Open();
    EXPECT_TRUE(WaitForNoThreads(driver));
}

TEST(DriverThreads, FailedCreateLeavesNoCountAndNoBlock)
{
    // A default stack as large as the address space makes every new thread fail.
    pthread_attr_t saved;
    ASSERT_EQ(pthread_getattr_default_np(&saved), 0);
    pthread_attr_t huge;
    pthread_attr_init(&huge);
    pthread_attr_setstacksize(&huge, ~size_t(0) & ~size_t(0xFFFF));
    if (pthread_setattr_default_np(&huge) != 0)
        GTEST_SKIP() << "the default thread attributes cannot be changed here";

    CThreadDriver driver;
    CThreadProbe probe;
    probe.Open();
    QTXThreadHandle handle = driver.StartThread(ProbeThread, &probe, 0, -1000000);
    pthread_setattr_default_np(&saved);
    pthread_attr_destroy(&huge);
    pthread_attr_destroy(&saved);

    EXPECT_FALSE(handle.bValid);
    if (handle.bValid)
        WaitForNoThreads(driver);
    EXPECT_EQ(driver.ThreadCounter(0), 0);
    EXPECT_FALSE(probe.bRunning);
    // The start block is freed: the leak check of the sanitizer build would report it.
}

TEST(DriverThreads, PriorityDeltaGivesRoundRobinWithinOneTo99OrKeepsTheScheduling)
{
    {
        // Real-time scheduling needs a right that a test machine may not give.
        bool allowed = false;
        std::thread(
            [&]
            {
                SetPrioOfCurThread(1);
                allowed = GetPrioOfCurThread() == 1;
            })
            .join();
        if (!allowed)
            GTEST_SKIP() << "no right to use real-time scheduling";
    }
    const struct
    {
        int creatorPriority;
        int delta;
        int policy;
        int priority;
    } cases[] = {
        {0, 0, SCHED_RR, 1},           // the inherited 0 is raised to 1
        {0, -1000000, SCHED_OTHER, 0}, // left alone
        {90, 20, SCHED_RR, 99},        {90, -99, SCHED_RR, 1},
        {50, -100, SCHED_RR, 50}, // below -99: inherited as it is
        {50, 5, SCHED_RR, 55},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.creatorPriority) + " " + std::to_string(c.delta));
        CThreadDriver driver;
        CThreadProbe probe;
        probe.Open();
        std::thread(
            [&]
            {
                SetPrioOfCurThread(c.creatorPriority);
                EXPECT_EQ(GetPrioOfCurThread(), c.creatorPriority);
                EXPECT_TRUE(driver.StartThread(ProbeThread, &probe, 0, c.delta).bValid);
            })
            .join();
        ASSERT_TRUE(probe.WaitRunning());
        ASSERT_TRUE(WaitForNoThreads(driver));
        EXPECT_EQ(probe.iPolicy, c.policy);
        EXPECT_EQ(probe.iPriority, c.priority);
    }
}

bool QuickThread(CQTX*, void*, int)
{
    return true;
}

TEST(DriverThreads, StartAndEndAreTracedWhenProgressTracingIsOn)
{
    ASSERT_EQ(nyDebugInit(0, 8160, nullptr), 0);
    const uint32_t savedFlags = nyDebugInterfaceGlobalFlags;
    CThreadDriver driver;
    int argument = 0;

    nyDebugInterfaceGlobalFlags = savedFlags & ~NYDEBUG_FLAG_PROGRESS;
    ASSERT_TRUE(driver.StartThread(QuickThread, &argument, 7, -1000000).bValid);
    ASSERT_TRUE(WaitForNoThreads(driver));
    EXPECT_EQ(nyDebugGetPosition(), 0);

    nyDebugInterfaceGlobalFlags = savedFlags | NYDEBUG_FLAG_PROGRESS;
    ASSERT_TRUE(driver.StartThread(QuickThread, &argument, 0x01020304, -1000000).bValid);
    ASSERT_TRUE(WaitForNoThreads(driver));
    nyDebugInterfaceGlobalFlags = savedFlags;

    std::vector<char> buffer(8160);
    int length = nyDebugFetch(buffer.data(), static_cast<uint32_t>(buffer.size()));
    ASSERT_GT(length, 0);
    const std::string trace(buffer.data(), static_cast<size_t>(length));

    // Function and argument as 32-bit records of type 11, the int argument as type 9, the end
    // mark 0x40.
    auto word = [](uint32_t value)
    {
        std::string bytes;
        for (int i = 0; i < 4; ++i)
            bytes += static_cast<char>(value >> (8 * i));
        return bytes;
    };
    const std::string values =
        std::string("\0\x0B", 2) +
        word(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&QuickThread))) +
        std::string("\0\x0B", 2) +
        word(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&argument))) +
        std::string("\0\x09", 2) + word(0x01020304) + std::string("\0\x40", 2);
    for (const std::string what : {"Starting Thread ", "Ending Thread "})
    {
        SCOPED_TRACE(what);
        const std::string record = std::string("\x05", 1) + static_cast<char>(what.size()) + what;
        size_t at = trace.find(record);
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(trace.substr(at + record.size(), values.size()), values);
        // In front: "[T= ", the software time as a 64-bit record of type 18, "]: " (with
        // the pad byte of an odd length).
        const std::string head = std::string("\x05\x04[T= \0\x12", 8);
        const std::string separator = std::string("\0\x05\x03]: ", 6);
        ASSERT_GE(at, head.size() + 8 + separator.size());
        EXPECT_EQ(trace.substr(at - separator.size() - 8 - head.size(), head.size()), head);
        EXPECT_EQ(trace.substr(at - separator.size(), separator.size()), separator);
    }
    nyDebugExit();
}

// ---- Event messages

TEST(EventQueue, PlainFifoKeepsOrderAndRefusesQueuedEntries)
{
    tagNY_QUEUE_HEAD head{nullptr, nullptr};
    tagNY_QUEUE_ENTRY a{}, b{};
    int objectA = 1, objectB = 2;
    EXPECT_EQ(NYQUE_OutQueue(&head), nullptr);
    EXPECT_EQ(NYQUE_InQueueWithId(&head, &a, &objectA, 5), 1);
    EXPECT_EQ(NYQUE_InQueueWithId(&head, &a, &objectA, 5), 0); // already queued
    EXPECT_EQ(NYQUE_InQueueWithId(&head, &b, &objectB, 0), 0); // id 0 would mark it free
    EXPECT_EQ(NYQUE_InQueueWithId(&head, &b, &objectB, 9), 1);
    tagNY_QUEUE_ENTRY* first = NYQUE_OutQueue(&head);
    ASSERT_EQ(first, &a);
    EXPECT_EQ(first->iId, 0);
    EXPECT_EQ(first->pObject, &objectA);
    EXPECT_EQ(NYQUE_OutQueue(&head), &b);
    EXPECT_EQ(NYQUE_OutQueue(&head), nullptr);

    NyQueueHead queue;
    EXPECT_EQ(queue.In_NewEntry(&a, &objectA), 1);
    EXPECT_EQ(a.iId, 1);
    EXPECT_EQ(queue.OutObj(), &objectA);
    EXPECT_EQ(queue.OutObj(), nullptr);
}

// Records its run in a shared log and its deletion in a counter.
class CLoggingMsg : public CEventMsg
{
public:
    CLoggingMsg(std::vector<std::string>& log, int& deleted, const char* name)
        : rLog(log), rDeleted(deleted), sName(name)
    {
    }
    ~CLoggingMsg() override { ++rDeleted; }
    void Execute(CQTX* driver) override
    {
        rLog.push_back(sName + (driver != nullptr ? "+driver" : ""));
    }

private:
    std::vector<std::string>& rLog;
    int& rDeleted;
    std::string sName;
};

TEST(EventQueue, LoopRunsMessagesInOrderUntilTheEndOfLoop)
{
    std::vector<std::string> log;
    int deleted = 0;
    CThreadDriver driver;
    {
        CEventMsgQueue queue;
        EXPECT_EQ(queue.ExecuteNext(), 0);
        queue.SetDriver(&driver);
        EXPECT_TRUE(queue.AddEventMsg(new CLoggingMsg(log, deleted, "A")));
        EXPECT_TRUE(queue.AddEventMsg(new CLoggingMsg(log, deleted, "B")));
        EXPECT_TRUE(queue.AddEndOfLoopEventMsg(7));
        EXPECT_TRUE(queue.AddEventMsg(new CLoggingMsg(log, deleted, "C")));

        std::vector<int> results;
        int result;
        while ((result = queue.ExecuteNext()) == 1)
            results.push_back(result);
        EXPECT_EQ(result, 2);
        EXPECT_EQ(results.size(), 2u);
        EXPECT_EQ(queue.GetEndOfLoopValue(), 7);
        EXPECT_EQ(log, (std::vector<std::string>{"A+driver", "B+driver"}));
        EXPECT_EQ(deleted, 2); // the queue deletes what it ran
    }
    EXPECT_EQ(deleted, 3); // and what was left in it
    EXPECT_EQ(log.size(), 2u);
}

class CWaitedMsg : public CEventMsg
{
public:
    void Execute(CQTX*) override { bRan = true; }
    bool bRan = false;
};

TEST(EventQueue, WaitingSenderIsReleasedWhenItsMessageRanOrWasDropped)
{
    {
        CWaitedMsg plain;
        EXPECT_EQ(plain.Wait(), -1); // never put in wait mode
    }
    for (bool run : {true, false})
    {
        SCOPED_TRACE(run ? "run" : "queue destroyed");
        auto* queue = new CEventMsgQueue;
        auto* message = new CWaitedMsg;
        message->SetWaitOfExecuteMode();
        ASSERT_TRUE(queue->AddEventMsg(message));
        int waitResult = -5;
        bool ran = false;
        std::thread sender(
            [&]
            {
                waitResult = message->Wait();
                ran = message->bRan;
                delete message; // a waited message stays its sender's
            });
        if (run)
        {
            EXPECT_EQ(queue->ExecuteNext(), 1);
        }
        delete queue;
        sender.join();
        EXPECT_EQ(waitResult, run ? 0 : 1);
        EXPECT_EQ(ran, run);
    }
}

// Records the sender and its sequence number in the loop's log (run by the loop thread only).
class CSequenceMsg : public CEventMsg
{
public:
    CSequenceMsg(std::vector<std::pair<int, int>>& log, int sender, int seq)
        : rLog(log), iSender(sender), iSeq(seq)
    {
    }
    void Execute(CQTX*) override { rLog.emplace_back(iSender, iSeq); }

private:
    std::vector<std::pair<int, int>>& rLog;
    int iSender;
    int iSeq;
};

// Senders on several threads add while the loop runs: every message runs once, each sender's in
// the order it added them, and the end-of-loop message sent after them all comes last.
TEST(EventQueue, SendersOnSeveralThreadsWhileTheLoopRuns)
{
    constexpr int kSenders = 4;
    constexpr int kPerSender = 5000;
    CEventMsgQueue queue;
    std::vector<std::pair<int, int>> log;
    std::thread loop(
        [&]
        {
            while (queue.ExecuteNext() != 2)
            {
            }
        });
    std::vector<std::thread> senders;
    for (int t = 0; t < kSenders; ++t)
        senders.emplace_back(
            [&, t]
            {
                for (int seq = 0; seq < kPerSender; ++seq)
                    ASSERT_TRUE(queue.AddEventMsg(new CSequenceMsg(log, t, seq)));
            });
    for (std::thread& s : senders)
        s.join();
    queue.AddEndOfLoopEventMsg(3);
    loop.join();

    ASSERT_EQ(log.size(), static_cast<size_t>(kSenders * kPerSender));
    int next[kSenders] = {};
    for (const auto& entry : log)
        ASSERT_EQ(entry.second, next[entry.first]++) << "sender " << entry.first;
    EXPECT_EQ(queue.GetEndOfLoopValue(), 3);
}
} // namespace
