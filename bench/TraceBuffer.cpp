// Throughput of the common trace records, with the call site's class bit on
// (the record is written) and off (the call site's flag test skips it).
//
// The buffer is emptied every 512 records so that the write path is measured,
// not the drop path of a full buffer; the emptying is part of the cost.

#include "nyDebug.h"

#include <benchmark/benchmark.h>

#include <cstdint>

namespace
{

constexpr uint32_t kClassBit = 0x20;
constexpr uint32_t kBufferSize = 65532;

class TraceSetUp
{
public:
    explicit TraceSetUp(benchmark::State& state)
        : m_saved(nyDebugInterfaceGlobalFlags), m_owner(state.thread_index() == 0)
    {
        if (m_owner)
        {
            nyDebugInit(0, kBufferSize, nullptr);
            const bool on = state.range(0) != 0;
            nyDebugInterfaceGlobalFlags = on ? (m_saved | kClassBit) : (m_saved & ~kClassBit);
        }
    }
    ~TraceSetUp()
    {
        if (m_owner)
        {
            nyDebugInterfaceGlobalFlags = m_saved;
            nyDebugExit();
        }
    }

private:
    uint32_t m_saved;
    bool m_owner;
};

// Runs one call site per iteration: flag test, then the record.
template <typename Record> void RunCallSite(benchmark::State& state, Record record)
{
    TraceSetUp setUp(state);
    uint32_t n = 0;
    for (auto _ : state)
    {
        benchmark::ClobberMemory(); // the flag word is read afresh, as at a real call site
        if (nyDebugInterfaceGlobalFlags & kClassBit)
        {
            record(n);
        }
        if ((++n & 511) == 0)
        {
            nyDebugReset();
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Save32(benchmark::State& state)
{
    RunCallSite(state, [](uint32_t n) { nyDebugSave32(0x29, n); });
}

void BM_Save64(benchmark::State& state)
{
    RunCallSite(state, [](uint32_t n) { nyDebugSave64(0x2E, static_cast<uint64_t>(n) << 20); });
}

void BM_SaveMem16(benchmark::State& state)
{
    static const char bytes[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    RunCallSite(state, [](uint32_t) { nyDebugSaveMem(0x24, bytes, sizeof bytes); });
}

void BM_SaveMulti4(benchmark::State& state)
{
    RunCallSite(state, [](uint32_t n)
                { nyDebugSaveMulti(5, "Status ", 7, 9, 4, 4, n, n + 1, n + 2, n + 3); });
}

void BM_SavePrintf(benchmark::State& state)
{
    RunCallSite(state, [](uint32_t n) { nyDebugSavePrintf(5, "CMD: %u len %u", n & 0xFFF, n); });
}

BENCHMARK(BM_Save32)->ArgName("on")->Arg(1)->Arg(0);
BENCHMARK(BM_Save32)->ArgName("on")->Arg(1)->Threads(2)->Threads(4)->UseRealTime();
BENCHMARK(BM_Save64)->ArgName("on")->Arg(1)->Arg(0);
BENCHMARK(BM_SaveMem16)->ArgName("on")->Arg(1)->Arg(0);
BENCHMARK(BM_SaveMulti4)->ArgName("on")->Arg(1)->Arg(0);
BENCHMARK(BM_SavePrintf)->ArgName("on")->Arg(1)->Arg(0);

} // namespace
