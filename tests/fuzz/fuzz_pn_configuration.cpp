// Fuzz target: a binary sniffer configuration as the PROFINET sniffer driver takes it from a
// request: loaded, checked, parsed into the image, the copy-machine tables and the remap areas,
// described for the routing driver, accepted and applied (the controller and the FPGA are
// closed here, so every device call fails the way a missing device does).
//
// Whatever the bytes, the parser stays inside them and inside its tables: no area grows beyond
// its 4096 words, no copy-machine program beyond its room, and a refused configuration leaves
// the active areas as they were.
#include "FuzzSupport.h"
#include "PnCopyMachine.h"
#include "PnSnifferConfig.h"
#include "QTXBin.h"
#include "QTXGenerateForDuf.h"

#include <cstring>
#include <vector>

using kovefuzz::Fail;

namespace
{
std::vector<uint32_t> Snapshot(const PnRemapArea& area)
{
    return std::vector<uint32_t>(area.pWords, area.pWords + area.ulCount);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static kovefuzz::CMemoryFile request("pn-configuration");
    static kovefuzz::CMemoryFile description("pn-description");
    static CPnSnifferConfig* config = []
    {
        auto* c = new CPnSnifferConfig;
        if (!c->Allocate())
            Fail("no memory for the sniffer configuration");
        return c;
    }();
    request.Set(data, size);
    CQTXBin bin;
    if (!bin.LoadFile(request.Path(), QTXBIN_TAG_CONFIGURATION) || !bin.Cfg_1st_Check(0))
        return 0;

    const std::vector<uint32_t> before = Snapshot(config->ActiveArea(0));
    int result = 0;
    int subslots = 0;
    try
    {
        CQTXGenerateForDuf writer(description.Path(), "qorQB-PN", false);
        result = config->Parse(bin, size % 2 == 0, &writer, &subslots);
    }
    catch (CQTXError&)
    {
        result = -1;
    }
    if (result == 0)
    {
        config->Accept();
        PnBusAccess bus;
        bus.writeWord = [](int32_t, uint32_t) {};
        bus.writeBuffer = [](int32_t, const uint32_t* words, uint32_t count)
        {
            if (count > PN_REMAP_WORDS)
                Fail("a bus write longer than an area or a program");
            volatile uint32_t sum = 0;
            for (uint32_t i = 0; i < count; ++i)
                sum = sum + words[i];
        };
        config->Apply(bus, false);
    }
    else if (Snapshot(config->ActiveArea(0)) != before)
    {
        Fail("a refused configuration changed the active input area");
    }
    for (int i = 0; i < 3; ++i)
        if (config->ActiveArea(i).ulCount > PN_REMAP_WORDS)
            Fail("a remap area beyond its words");
    for (int port = 0; port < 2; ++port)
        if (CpmWordCount(config->ActiveCopyTable(port)) >= PN_CPM_PROGRAM_WORDS)
            Fail("a copy-machine program beyond its room");
    if (subslots < 0 || subslots > 17)
        Fail("a subslot marker outside the groups");
    return 0;
}
