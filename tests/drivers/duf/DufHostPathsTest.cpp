// Paths through host memory and the local module, on a routing driver with all three units (no
// simulated family has the PCI-master unit, so only the unit harness reaches these paths): the
// unit chains they program, the host buffers and PCI-master channels of local applications and
// their refusals, and the fiber-optic link that an application takes for itself.
#include "DufTestSupport.h"

#include <algorithm>

#include "FakeModuleDriver.h"
#include "QTXMessages.h"

using kovetest::CFakeModuleDriver;
using kovetest::ForDufXml;

namespace
{
DufRequest HostPath(uint16_t requester, uint16_t partner, uint8_t direction)
{
    return CopyMachinePath(requester, partner, direction, "Data");
}

class DufHostPaths : public DufUnit
{
protected:
    void SetUp() override
    {
        DufUnit::SetUp();
        Duf().SetUnits(true, true, true);
    }
    // Checks a document as the framework hands it over; its text with the answers and errors.
    std::string Check(const std::string& text, bool expected)
    {
        CQTXXml document;
        EXPECT_TRUE(document.LoadBuffer(text.data(), text.size(), QTX_TAG_MODULE)) << text;
        int set = 7;
        const bool accepted = Duf().CheckRoutingDocument(document, set);
        std::string answer;
        document.StoreBuffer(answer);
        EXPECT_EQ(accepted, expected) << answer;
        return answer;
    }
    std::string Paths() const { return m_pDuf->ShowPathsText(); }
};

TEST_F(DufHostPaths, ChainsOfTheMemoryLocalModuleAndFpgaPaths)
{
    const struct
    {
        const char* path;
        uint16_t requester, partner;
        uint8_t direction;
        std::vector<std::string> calls;
        uint32_t foStart;
    } cases[] = {
        // The application's buffer, from the window start the application offers, is copied
        // into the fiber-optic output window and raises output event 33.
        {"memory -> fiber optic",
         62201,
         62002,
         0,
         {"PA 2 3 2 1 100 c 1000 c 4 0", "DA 0 72 0", "DT 121108 148000 c 0 15000c 21"},
         0x148000},
        // The same pair asked for by the fiber-optic driver.
        {"memory -> fiber optic, asked by the fiber optic",
         62002,
         62201,
         1,
         {"PA 2 3 2 1 100 c 1000 c 4 0", "DA 0 72 0", "DT 121108 148000 c 0 15000c 21"},
         0x148000},
        // No start event of its own (selector 7); the copy writes the local module directly.
        {"memory -> local module",
         62201,
         62100,
         0,
         {"PA 2 0 7 1 100 c 1000 c 4 0", "DA 0 72 0", "DT 120100 210000 c 0 0 0"},
         0},
        // The input window is copied to the local module; the copy is chained (event 1).
        {"fiber optic -> local module",
         62002,
         62100,
         0,
         {"DA 0 0 7", "DT 140020 210000 c 150008 0 1"},
         0x140020},
        // The local module's range, on its own start events, into the PCI-master data memory,
        // whose channel starts on the copy's done event and writes to the host.
        {"local module -> memory",
         62201,
         62100,
         1,
         {"DA 0 3 2", "DT 210000 120100 c 210040 0 1", "PA 2 1 0 0 100 c 1000 c 4 1"},
         0},
        // The FPGA unit's offered list programs nothing and passes.
        {"FPGA unit -> other", 62301, 65535, 0, {}, 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.path);
        Duf().Requests().RemoveDufRequest(0, 0, "");
        Duf().Requests().AddDufRequest(HostPath(c.requester, c.partner, c.direction));
        Duf().vUnitCalls.clear();
        EXPECT_TRUE(Duf().SetupAllPaths(false)) << Duf().LogText();
        const std::vector<std::string>& calls = Duf().vUnitCalls;
        ASSERT_GE(calls.size(), 3u);
        EXPECT_EQ(std::vector<std::string>(calls.begin() + 3, calls.end()), c.calls);
        const DufRequest& r = Duf().Requests().Records().front();
        EXPECT_EQ(r.FoStart, c.foStart);
        EXPECT_EQ(r.DfcmLenIn, 12);
    }
}

// A document of a local application; each list {name, module slot, buffers, direction (empty:
// none), offset and length in bits of its one signal}.
struct SHostList
{
    std::string name;
    int slot;
    int buffers;
    std::string direction;
    int offset;
    int length;
};

std::string ApplicationDocument(int port, const std::vector<SHostList>& lists)
{
    std::string text = sXmlStart + "<Module Name=\"DUF\"><Properties>" +
                       "<Property Name=\"Target\" Value=\"Memory\"/><Property Name=\"Port\" " +
                       "Value=\"" + std::to_string(port) + "\"/></Properties>";
    for (const SHostList& l : lists)
    {
        text += "<Signals Name=\"" + l.name + "\" ModuleSlot=\"" + std::to_string(l.slot) +
                "\"><NumberOfSignals><Value>1</Value></NumberOfSignals><Properties>" +
                "<Property Name=\"NumberOfBuffers\" Value=\"" + std::to_string(l.buffers) + "\"/>";
        if (!l.direction.empty())
            text += "<Property Name=\"Direction\" Value=\"" + l.direction + "\"/>";
        text += "</Properties><Signal Number=\"1\"><Properties><Property Name=\"Offset\" Value=\"" +
                std::to_string(l.offset) + "\"/><Property Name=\"Length\" Value=\"" +
                std::to_string(l.length) + "\"/></Properties></Signal></Signals>";
    }
    return text + "</Module>\n";
}

// An offered list of `buffers` buffers of `bytes` bytes each.
SHostList Offered(const std::string& name, int buffers, int bytes)
{
    return {name, 65535, buffers, "Output", 0, 8 * bytes};
}

TEST_F(DufHostPaths, HostBuffersThePoolCannotGiveAreRefusedAndComeBack)
{
    // Four lists of 15 buffers of 4000 bytes nearly fill the device's memory pool.
    std::vector<SHostList> big;
    for (const char* name : {"A", "B", "C", "D"})
        big.push_back(Offered(name, 15, 4000));
    Check(ApplicationDocument(62201, big), true);

    const struct
    {
        const char* why;
        std::vector<SHostList> lists;
    } refused[] = {
        {"the pool has no such block left", {Offered("E", 15, 4000)}},
        // The first list's buffers are taken before the second one is refused.
        {"more than the pool hands out in one block",
         {Offered("E", 1, 4000), Offered("F", 17, 4000)}},
        {"a window of no bytes", {{"E", 65535, 3, "Output", 0, 0}}},
    };
    // Again and again: buffers a refused document had taken would fill the pool.
    for (int round = 0; round < 6; ++round)
    {
        for (const auto& r : refused)
        {
            SCOPED_TRACE(r.why);
            const std::string answer = Check(ApplicationDocument(62202, r.lists), false);
            EXPECT_NE(answer.find("Can not allocate memory for the PCI master buffers"),
                      std::string::npos)
                << answer;
            EXPECT_NE(answer.find("OutOfMemory"), std::string::npos);
            EXPECT_NE(answer.find("WrongParameter"), std::string::npos);
            EXPECT_EQ(Duf().Requests().FindFirstDufRequest(62202, 0, ""), nullptr);
            // The paths of the other application stay.
            EXPECT_NE(Duf().Requests().FindFirstDufRequest(62201, 65535, "D"), nullptr);
        }
    }

    // Once the first application needs less, the second one gets all the buffers it left.
    Check(ApplicationDocument(62201, {Offered("A", 15, 4000)}), true);
    const std::string answer =
        Check(ApplicationDocument(
                  62202, {Offered("E", 15, 4000), Offered("F", 15, 4000), Offered("G", 15, 4000)}),
              true);
    EXPECT_NE(answer.find("<Property Name=\"BufferLength\" Value=\"4000\"/>"), std::string::npos)
        << answer;
    EXPECT_NE(answer.find("<Property Name=\"PcimChannel\" Value=\"3\"/>"), std::string::npos)
        << answer;
}

TEST_F(DufHostPaths, TheSeventeenthListOfApplicationsGetsNoChannel)
{
    std::vector<SHostList> sixteen;
    for (int n = 0; n < 16; ++n)
        sixteen.push_back(Offered("L" + std::to_string(n), 1, 4));
    Check(ApplicationDocument(62201, sixteen), true);
    for (int channel = 0; channel < DUF_PCIM_CHANNELS; ++channel)
        ASSERT_NE(Duf().Requests().aPcimChannelAllocatedBy[channel], nullptr) << channel;

    // Refused again and again, each time with the buffers it had taken given back: the pool
    // would run dry after five times.
    for (int round = 0; round < 8; ++round)
    {
        SCOPED_TRACE(round);
        const std::string answer =
            Check(ApplicationDocument(62202, {Offered("More", 15, 4000)}), false);
        EXPECT_NE(answer.find("Can not allocate DMA channel"), std::string::npos) << answer;
        EXPECT_NE(answer.find("OutOfHardware"), std::string::npos);
        EXPECT_NE(answer.find("WrongParameter"), std::string::npos);
        EXPECT_EQ(Duf().Requests().FindFirstDufRequest(62202, 0, ""), nullptr);
    }
    EXPECT_EQ(Duf().Requests().aPcimChannelAllocatedBy[15]->Name, "L15");

    // With one list less the first application leaves channel 15 free for the second.
    sixteen.pop_back();
    Check(ApplicationDocument(62201, sixteen), true);
    const std::string answer = Check(ApplicationDocument(62202, {Offered("More", 15, 4000)}), true);
    EXPECT_NE(answer.find("<Property Name=\"PcimChannel\" Value=\"15\"/>"), std::string::npos)
        << answer;
    EXPECT_EQ(Duf().Requests().aPcimChannelAllocatedBy[15]->Name, "More");
}

// A fiber-optic routing document with lists {name, slot} of signal 1.
std::string FiberOpticDocument(const std::vector<std::pair<std::string, int>>& lists)
{
    std::string text = sXmlStart + "<Module Name=\"DUF\"><Properties><Property Name=\"Target\" " +
                       "Value=\"FiberOptic\"/></Properties>";
    for (const auto& l : lists)
        text += "<Signals Name=\"" + l.first + "\" ModuleSlot=\"" + std::to_string(l.second) +
                "\"><NumberOfSignals><Value>1</Value></NumberOfSignals><Signal Number=\"1\">" +
                "<Properties/></Signal></Signals>";
    return text + "</Module>\n";
}

TEST_F(DufHostPaths, AnApplicationThatTakesTheFiberOpticLinkKeepsItFromTheFiberOpticDriver)
{
    // Module 2 has inputs (to the fiber-optic output) and outputs (from the fiber-optic input).
    CFakeModuleDriver module(2);
    ASSERT_TRUE(module.Start());
    std::string description = ForDufXml("AnalogIn", 0x200000, 0x10000, 10, {{1, 0, 16, "INT"}});
    const std::string outputs =
        ForDufXml("AnalogOut", 0x200000, 0x10000, 10, {{1, 0, 16, "INT"}}, "Output");
    const size_t from = outputs.find("<Signals");
    description.insert(description.find("</Module>"),
                       outputs.substr(from, outputs.find("</Module>") - from));
    module.SetAddressTable(description);
    const std::string toModule = FiberOpticDocument({{"AnalogOut", 2}});
    const std::string fromModule = FiberOpticDocument({{"AnalogIn", 2}});

    // Before any application holds the link, both directions are accepted.
    Check(FiberOpticDocument({{"AnalogIn", 2}, {"AnalogOut", 2}}), true);

    // An application takes the input: the fiber-optic driver's path from the input goes out of
    // programming without an error to the application, the one to the output runs on.
    Check(ApplicationDocument(62201, {{"Link", 62002, 2, "Input", 0, 64}}), true);
    std::string paths = Paths();
    EXPECT_NE(paths.find("Request 62002 to 62102[AnalogOut] is invalid"), std::string::npos)
        << paths;
    EXPECT_NE(paths.find("Request 62002 from 62102[AnalogIn]:"), std::string::npos) << paths;
    EXPECT_NE(paths.find("Request 62201 from 62002[Link]:"), std::string::npos) << paths;

    // The fiber-optic driver is told when it asks for the input itself.
    std::string answer = Check(toModule, false);
    EXPECT_NE(answer.find("Fiber optic input is reserved by a software module"), std::string::npos)
        << answer;
    EXPECT_NE(answer.find("ReservedHardware"), std::string::npos);
    EXPECT_NE(answer.find("WrongParameter"), std::string::npos);
    EXPECT_EQ(Duf().Requests().FindFirstDufRequest(62002, 0, ""), nullptr);
    Check(fromModule, true);

    // A second application cannot have the input; it can have the output, which then keeps the
    // fiber-optic driver from it in turn.
    answer = Check(ApplicationDocument(62202, {{"Link", 62002, 2, "Input", 0, 64}}), false);
    EXPECT_NE(answer.find("Fiber optic input is reserved by another application"),
              std::string::npos)
        << answer;
    Check(ApplicationDocument(62202, {{"Link", 62002, 2, "Output", 0, 64}}), true);
    EXPECT_NE(Paths().find("Request 62002 from 62102[AnalogIn] is invalid"), std::string::npos);
    answer = Check(fromModule, false);
    EXPECT_NE(answer.find("Fiber optic output is reserved by a software module"), std::string::npos)
        << answer;

    // Once the applications let the link go, the fiber-optic driver has it back: one asks for
    // other paths, the other for none at all.
    Check(ApplicationDocument(62201, {Offered("Samples", 1, 4)}), true);
    Check(ApplicationDocument(62202, {}), true);
    Check(FiberOpticDocument({{"AnalogIn", 2}, {"AnalogOut", 2}}), true);
    paths = Paths();
    EXPECT_EQ(paths.find("is invalid"), std::string::npos) << paths;
}
} // namespace
