// The signal-routing driver with 10, 100 and 1000 paths, in this process on a simulated device:
//   BM_CheckDocument     the whole check of one fiber-optic routing document of N lists, from
//                        four module drivers (fake ones on 62101..62104 in this process, each
//                        describing N/4 lists), trial run of all paths included;
//   BM_TrialRun          the trial of programming N completed paths (counts, writes nothing);
//   BM_ConfigurationRun  programming N completed paths on the driver's bus (the -Simulate
//                        memory bus, so the units' registers cost what memory writes cost).
// Beyond 15 module paths the units are out of channels: the check refuses such documents and a
// run stops after programming every path, before enabling; the work measured is the same.
// Half the paths are outputs whose names end in "Out", chained per partner.
//
// Run it in a network namespace of its own (the fake module drivers take the device's ports):
//   build/bin/kove_netns_run build/bin/bench_DufRouting
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "FakeModuleDriver.h"
#include "KovePlatform.h"
#include "KoveTestSupport.h"
#include "QTXDuf.h"
#include "QTXGlobal.h"
#include "QTXMessages.h"

namespace
{
constexpr int kModules = 4;

class CBenchDuf : public CDuf
{
public:
    explicit CBenchDuf(const std::string& directory)
    {
        sDirectory = directory + "/";
        sModuleName = sFileName = GetModuleName();
        bBooting = false;
        DfcmPresent = BpbmPresent = true;
        PcimPresent = false;
        bSimulate = true;
        m_vBus.resize(4u << 20);
        SetBPBSimulationBuffer(m_vBus.data(), static_cast<uint32_t>(m_vBus.size()));
        SetGlobalQTX(this);
    }
    ~CBenchDuf() override { ClearGlobalQTX(this); }
    using CDuf::CheckRoutingDocument;

private:
    std::vector<unsigned char> m_vBus;
};

std::string ListName(int i)
{
    return "L" + std::to_string(i) + (i % 2 ? "Out" : "In");
}

// The simulated device, the fake module drivers and the driver object, once per process.
struct SWorld
{
    kovetest::CTempDir tDevice;
    std::vector<std::unique_ptr<kovetest::CFakeModuleDriver>> vModules;
    std::unique_ptr<CBenchDuf> pDuf;
    int iDescribedLists = 0;

    SWorld()
    {
        setenv("KOVE_SIM", tDevice.Path().c_str(), 1);
        PlatReloadSimulation();
        sQTXRootDirectory = "/Applications/tmp/Driver/";
        const std::string directory = tDevice.Path() + "/Applications/tmp/Driver";
        kovetest::RunCommand({"/bin/mkdir", "-p", directory + "/log"});
        pDuf = std::make_unique<CBenchDuf>(directory);
        for (int slot = 1; slot <= kModules; ++slot)
        {
            vModules.push_back(std::make_unique<kovetest::CFakeModuleDriver>(slot));
            if (!vModules.back()->Start())
                std::abort();
        }
    }

    // Each module describes every list i with i % 4 == its slot - 1.
    void Describe(int lists)
    {
        if (lists == iDescribedLists)
            return;
        for (int slot = 1; slot <= kModules; ++slot)
        {
            std::string merged;
            for (int i = slot - 1; i < lists; i += kModules)
            {
                const std::string one = kovetest::ForDufXml(
                    ListName(i), 0x200000, 0x10000, 10, {{1, 0, 32, "DINT"}, {2, 64, 16, "INT"}},
                    i % 2 ? "Output" : "Input");
                if (merged.empty())
                    merged = one;
                else
                {
                    const size_t from = one.find("<Signals");
                    merged.insert(merged.find("</Module>"),
                                  one.substr(from, one.find("</Module>") - from));
                }
            }
            vModules[slot - 1]->SetAddressTable(merged);
        }
        iDescribedLists = lists;
    }
};

SWorld& World()
{
    static SWorld world;
    return world;
}

std::string Document(int lists)
{
    std::string text = sXmlStart + "<Module Name=\"DUF\"><Properties><Property Name=\"Target\" "
                                   "Value=\"FiberOptic\"/></Properties>";
    for (int i = 0; i < lists; ++i)
        text += "<Signals Name=\"" + ListName(i) + "\" ModuleSlot=\"" +
                std::to_string(1 + i % kModules) +
                "\"><NumberOfSignals><Value>2</Value></NumberOfSignals><Signal Number=\"1\">"
                "<Properties/></Signal><Signal Number=\"2\"><Properties/></Signal></Signals>";
    return text + "</Module>\n";
}

void BM_CheckDocument(benchmark::State& state)
{
    SWorld& world = World();
    const int lists = static_cast<int>(state.range(0));
    world.Describe(lists);
    const std::string text = Document(lists);
    for (auto _ : state)
    {
        CQTXXml document;
        document.LoadBuffer(text.data(), text.size(), QTX_TAG_MODULE);
        int set = 0;
        benchmark::DoNotOptimize(world.pDuf->CheckRoutingDocument(document, set));
    }
    state.SetComplexityN(lists);
}

// N completed module-to-fiber-optic and fiber-optic-to-module paths over four modules.
void FillPaths(CDuf& duf, int paths)
{
    duf.Requests().RemoveDufRequest(0, 0, "");
    for (int i = 0; i < paths; ++i)
    {
        DufRequest r;
        r.Valid = 1;
        r.Requester = 62002;
        r.Partner = static_cast<uint16_t>(62101 + i % kModules);
        r.Direction = i % 2 ? 0 : 1;
        r.Name = ListName(i);
        CDufRequestList::AddSignal(&r, 1, 32, 0, "DINT");
        r.Opponent.front().Addr = 0x200000 + 0x10000 * (i % kModules);
        r.Opponent.front().Register = r.Opponent.front().Addr + 0x40;
        r.Opponent.front().Transfers.front() = {0x1000, 0, 8};
        r.DfcmLenIn = r.DfcmLenOut = 8;
        duf.Requests().AddDufRequest(r);
    }
}

void BM_TrialRun(benchmark::State& state)
{
    SWorld& world = World();
    FillPaths(*world.pDuf, static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(world.pDuf->SetupAllPaths(false));
    state.SetComplexityN(state.range(0));
}

void BM_ConfigurationRun(benchmark::State& state)
{
    SWorld& world = World();
    FillPaths(*world.pDuf, static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(world.pDuf->SetupAllPaths(true));
    state.SetComplexityN(state.range(0));
}
} // namespace

BENCHMARK(BM_CheckDocument)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK(BM_TrialRun)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK(BM_ConfigurationRun)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond)->Complexity();
