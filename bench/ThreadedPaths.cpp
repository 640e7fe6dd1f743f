// Paths that many threads of a driver take at once, each with 1, 2 and 4 threads (real time per
// call and thread): a bus word read through the FPGA device of a simulated device, a line to the
// driver's log file (a report function), and event messages added to a processing loop's queue
// while its loop runs on a thread of its own.
//
// The simulated device lies in a fresh temporary directory, made into the default device on
// first use; the driver's log folder lies beside it.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

#include "KovePlatform.h"
#include "QTX.h"
#include "QTXGlobal.h"
#include "QTXThread.h"

namespace
{
class CBenchDriver : public CQTX
{
public:
    std::string GetModuleName() override { return "Bench"; }
    void InitCQTX() override {}
    void BootHardware() override {}
    bool ParseAndCheckConfiguration(int& /*setIndex*/) override { return true; }
    void SetHardwareConfiguration() override {}
    void NameLogFile(const std::string& name) { sLogFileName = name; }
};

// One driver on one simulated device for the whole program, made by the first thread that asks.
class CBenchDevice
{
public:
    static CBenchDevice& Get()
    {
        static CBenchDevice device;
        return device;
    }
    CBenchDriver& Driver() { return *m_pDriver; }

private:
    CBenchDevice()
    {
        char pattern[] = "/tmp/kove-bench-XXXXXX";
        m_sDir = mkdtemp(pattern);
        setenv("KOVE_SIM", (m_sDir + "/device").c_str(), 1);
        PlatReloadSimulation();
        m_pDriver = std::make_unique<CBenchDriver>();
        m_pDriver->NameLogFile(m_sDir + "/Bench_log.txt");
    }
    ~CBenchDevice()
    {
        m_pDriver.reset();
        std::error_code ignored;
        std::filesystem::remove_all(m_sDir, ignored);
    }

    std::string m_sDir;
    std::unique_ptr<CBenchDriver> m_pDriver;
};

void BM_BusReadWord(benchmark::State& state)
{
    CBenchDriver& driver = CBenchDevice::Get().Driver();
    const int32_t address = 0x100 + 4 * state.thread_index();
    for (auto _ : state)
        benchmark::DoNotOptimize(driver.BPBReadWord(address, true));
    state.SetItemsProcessed(state.iterations());
}

void BM_WriteToLogfile(benchmark::State& state)
{
    CBenchDriver& driver = CBenchDevice::Get().Driver();
    const std::string text = "Thread " + std::to_string(state.thread_index()) + " reports";
    for (auto _ : state)
        driver.WriteToLogfile(text);
    state.SetItemsProcessed(state.iterations());
}

class CCountMsg : public CEventMsg
{
public:
    void Execute(CQTX*) override { benchmark::ClobberMemory(); }
};

// The queue and its loop live for the run of one benchmark; the first thread starts the loop
// and the last one to leave ends it and waits until every message has run.
class CQueueLoop
{
public:
    CQueueLoop()
        : m_tLoop(
              [this]
              {
                  while (m_tQueue.ExecuteNext() != 2)
                  {
                  }
              })
    {
    }
    ~CQueueLoop()
    {
        m_tQueue.AddEndOfLoopEventMsg(0);
        m_tLoop.join();
    }
    CEventMsgQueue& Queue() { return m_tQueue; }

private:
    CEventMsgQueue m_tQueue;
    std::thread m_tLoop;
};

std::unique_ptr<CQueueLoop> g_pQueueLoop;

void BM_EventMsgAdd(benchmark::State& state)
{
    if (state.thread_index() == 0)
        g_pQueueLoop = std::make_unique<CQueueLoop>();
    // Google Benchmark starts the timing of all threads together, after every thread got here.
    for (auto _ : state)
        g_pQueueLoop->Queue().AddEventMsg(new CCountMsg);
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0)
        g_pQueueLoop.reset();
}

BENCHMARK(BM_BusReadWord)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();
BENCHMARK(BM_WriteToLogfile)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();
// A fixed number of messages a thread, so that the queue's backlog stays bounded.
BENCHMARK(BM_EventMsgAdd)->Iterations(300000)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();
} // namespace
