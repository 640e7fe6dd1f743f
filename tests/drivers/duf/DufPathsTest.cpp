// Programming all paths, unit by unit: the kind of a port, the chain of unit calls each pair of
// path kinds makes, chained output requests, the units' limits, and the host buffers of local
// applications. The runs here record their unit calls (CRecordingUnits) instead of programming
// the device; the register words on the simulated FPGA are checked with the real driver in
// tests/integration.
#include "DufTestSupport.h"

#include <algorithm>

#include "QTXMessages.h"

namespace
{
// The copy-machine request with a module-to-module target.
DufRequest Path(uint16_t requester, uint16_t partner, uint8_t direction, const std::string& name)
{
    DufRequest r = CopyMachinePath(requester, partner, direction, name);
    r.M2MBase = 0x231000;
    r.M2MRegister = 0x230040;
    r.M2MEvent = 9;
    return r;
}

class DufPaths : public DufUnit
{
protected:
    void SetUp() override
    {
        DufUnit::SetUp();
        Duf().SetUnits(true, true, true);
    }
    // The unit calls of one trial over the list, without the units' set-up.
    std::vector<std::string> Trial(bool* result = nullptr)
    {
        Duf().vUnitCalls.clear();
        const bool ok = Duf().SetupAllPaths(false);
        if (result != nullptr)
            *result = ok;
        std::vector<std::string> calls = Duf().vUnitCalls;
        EXPECT_GE(calls.size(), 3u);
        EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 3),
                  (std::vector<std::string>{"DI", "BI 0", "PI"}));
        return std::vector<std::string>(calls.begin() + 3, calls.end());
    }
};

TEST(DufPathKind, KindOfAPortAsSourceAndAsDestination)
{
    const struct
    {
        uint32_t port;
        int kind;
    } cases[] = {{62101, 0}, {62104, 0}, {62100, 3}, {62105, 5}, {62200, 5}, {62201, 1},
                 {62204, 1}, {62205, 5}, {62002, 2}, {62301, 4}, {62300, 5}, {65535, 5}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.port);
        EXPECT_EQ(GetPathKind(c.port, 1), c.kind);
        EXPECT_EQ(GetPathKind(c.port, 0x101), c.kind); // only the low byte counts
        EXPECT_EQ(GetPathKind(c.port, 0), c.kind * 6);
    }
}

TEST_F(DufPaths, EachPairOfKindsProgramsItsChain)
{
    const struct
    {
        uint16_t requester, partner;
        uint8_t direction;
        std::vector<std::string> calls;
    } cases[] = {
        // module -> module: reading channel, then the writing channel on its done event
        {62102, 62101, 1,
         {"BA 0 3 5 2 c00 210000 210040 0", "BT 0 1008 c 0 0 ff", "BA 1 40 0 0 c00 231000 230040 1",
          "BT 0 0 c 0 ff 9"}},
        // module -> memory
        {62201, 62101, 1,
         {"BA 0 3 5 2 c00 210000 210040 0", "BT 0 1008 c 0 0 ff", "DA 0 40 0",
          "DT 160c00 120100 c 0 0 1", "PA 2 1 0 0 100 c 1000 c 4 1"}},
        // module -> fiber optic: first output event 33
        {62002, 62101, 1,
         {"BA 0 3 5 2 c00 210000 210040 0", "BT 0 1008 c 0 0 ff", "DA 0 40 0",
          "DT 160c00 148000 c 0 15000c 21"}},
        // module -> FPGA unit
        {62301, 62101, 1,
         {"BA 0 3 5 2 c00 210000 210040 0", "BT 0 1008 c 0 0 ff", "DA 0 40 0",
          "DT 160c00 1a0040 c 0 0 0"}},
        // memory -> module: no predecessor (selector 7); the write relays module event 1
        {62201, 62101, 0,
         {"PA 2 0 7 1 100 c 1000 c 4 0", "DA 0 72 0", "DT 120100 160c00 c 0 0 1",
          "BA 0 1 0 0 c00 210000 210040 1", "BT 0 1008 c 0 0 1"}},
        // fiber optic -> module
        {62002, 62101, 0,
         {"DA 0 0 7", "DT 140020 160c00 c 150008 0 1", "BA 0 1 0 0 c00 210000 210040 1",
          "BT 0 1008 c 0 0 1"}},
        // fiber optic -> memory
        {62201, 62002, 1, {"DA 0 0 7", "DT 140020 120100 c 150008 0 1", "PA 2 1 0 0 100 c 1000 c 4 1"}},
        // local module -> fiber optic
        {62002, 62100, 1, {"DA 0 3 2", "DT 210000 148000 c 210040 15000c 21"}},
        // FPGA unit -> fiber optic: 4 bytes more, from 4 bytes before the data
        {62002, 62301, 1, {"DA 0 3 2", "DT 1a1004 148000 10 0 15000c 21"}},
        // other -> memory (an application's offered list)
        {62201, 65535, 1, {"PA 2 3 2 0 100 c 1000 c 4 1"}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.requester) + (c.direction ? " from " : " to ") +
                     std::to_string(c.partner));
        Duf().Requests().RemoveDufRequest(0, 0, "");
        Duf().Requests().AddDufRequest(Path(c.requester, c.partner, c.direction, "Data"));
        bool ok = false;
        EXPECT_EQ(Trial(&ok), c.calls);
        EXPECT_TRUE(ok);
        EXPECT_EQ(Duf().Requests().Records().front().DfcmLenIn, 12);
    }
}

TEST_F(DufPaths, PairsWithoutAFunctionAndRefusedPathsFailTheRun)
{
    const struct
    {
        uint16_t requester, partner;
        uint8_t direction;
        int32_t length;
        int index;
    } cases[] = {
        {62002, 62002, 1, 12, 14},     // fiber optic -> fiber optic
        {62201, 62202, 1, 12, 7},      // memory -> memory
        {62201, 62105, 0, 12, 11},     // memory -> other than "no partner"
        {62102, 62101, 1, 0x4000, 0},  // a module write longer than its length field
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.index);
        Duf().Requests().RemoveDufRequest(0, 0, "");
        DufRequest r = Path(c.requester, c.partner, c.direction, "Data");
        r.Opponent.front().Transfers.front().Len = c.length;
        Duf().Requests().AddDufRequest(r);
        bool ok = true;
        const std::vector<std::string> calls = Trial(&ok);
        EXPECT_FALSE(ok);
        EXPECT_NE(Duf().LogText().find("DUF SetupPathFunction[" + std::to_string(c.index) +
                                       "] returned an error"),
                  std::string::npos);
        // Nothing is written with a length cut to its field.
        for (const std::string& call : calls)
            EXPECT_NE(call, "BT 0 0 0 0 ff 9");
    }
}

TEST_F(DufPaths, OutputRequestsToOnePartnerRunBackToBack)
{
    auto& list = Duf().Requests();
    list.AddDufRequest(Path(62201, 62101, 0, "FirstOut"));
    list.AddDufRequest(Path(62201, 62101, 1, "In"));
    DufRequest second = Path(62201, 62101, 0, "secondout");
    second.PcimChannel = 3;
    list.AddDufRequest(second);
    list.AddDufRequest(Path(62201, 62102, 0, "OtherOut"));
    list.AddDufRequest(Path(62201, 62101, 0, "ut"));

    const std::vector<std::string> calls = Trial();
    DufRequest* first = list.FindFirstDufRequest(62201, 62101, "FirstOut");
    DufRequest* chained = list.FindFirstDufRequest(62201, 62101, "secondout");
    EXPECT_EQ(first->Forward, chained);
    EXPECT_EQ(chained->Backward, first);
    EXPECT_EQ(chained->Forward, nullptr);
    EXPECT_EQ(list.FindFirstDufRequest(62201, 62102, "OtherOut")->Backward, nullptr);
    EXPECT_EQ(list.FindFirstDufRequest(62201, 62101, "ut")->Backward, nullptr);
    // The first raises no module event; the second starts on the first's last channel.
    EXPECT_EQ(calls[4], "BT 0 1008 c 0 0 ff");
    EXPECT_EQ(first->ForwardEvent, 0x40);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "PA 3 40 0 1 118 c 1000 c 4 0"), 1)
        << ::testing::PrintToString(calls);

    // A removed request is nobody's link after the next run.
    list.RemoveDufRequest(62201, 62101, "FirstOut");
    Trial();
    EXPECT_EQ(chained->Backward, nullptr);
}

TEST_F(DufPaths, ThirtyOneFiberOpticOutputsFitAThirtySecondDoesNot)
{
    for (int n = 1; n <= 32; ++n)
    {
        DufRequest r = Path(62002, 62100, 1, "Out" + std::to_string(n));
        r.DfcmLenOut = r.DfcmLenIn = 4;
        Duf().Requests().AddDufRequest(r);
        bool ok = false;
        Trial(&ok);
        EXPECT_EQ(ok, n <= 31) << n;
    }
    EXPECT_EQ(Duf().iNextFoOutEvent, 65);
    const std::string log = Duf().LogText();
    EXPECT_NE(log.find("DUF OutOfHardware: \nBpbm Channels 0of 15\n     Data 0 of 13311"),
              std::string::npos);
    EXPECT_NE(log.find("\nDfcm Channels 32of 31\nFoOutData 128 of 4095"), std::string::npos)
        << log;
    EXPECT_NE(log.find("\niNextFoOutEvent=65"), std::string::npos);
}

TEST_F(DufPaths, WithoutTheTransferUnitOnlyTheDataAcquisitionFamilyProgramsPaths)
{
    Duf().SetUnits(false, true, false);
    Duf().Requests().AddDufRequest(Path(62002, 62101, 1, "Data"));
    // The simulated device is of family 8: nothing to program, and nothing is.
    EXPECT_TRUE(Duf().SetupAllPaths(false));
    EXPECT_TRUE(Duf().vUnitCalls.empty());
}

// A local application's document: one offered list of `buffers` buffers.
std::string ApplicationDocument(int buffers)
{
    return sXmlStart + "<Module Name=\"DUF\"><Properties>" +
           "<Property Name=\"Target\" Value=\"Memory\"/><Property Name=\"Port\" Value=\"62201\"/>" +
           "</Properties><Signals Name=\"Samples\" ModuleSlot=\"65535\"><NumberOfSignals><Value>1" +
           "</Value></NumberOfSignals><Properties><Property Name=\"NumberOfBuffers\" Value=\"" +
           std::to_string(buffers) + "\"/><Property Name=\"Direction\" Value=\"Output\"/>" +
           "</Properties><Signal Number=\"1\"><Properties><Property Name=\"Offset\" Value=\"0\"/>" +
           "<Property Name=\"Length\" Value=\"32000\"/></Properties></Signal></Signals></Module>\n";
}

TEST_F(DufPaths, AnApplicationsBuffersGoBackWhenItsRequestIsReplacedOrRemoved)
{
    // 15 buffers of 4000 bytes: four such blocks fill the device's memory pool.
    for (int round = 0; round < 8; ++round)
    {
        SCOPED_TRACE(round);
        CQTXXml document;
        const std::string text = ApplicationDocument(15);
        ASSERT_TRUE(document.LoadBuffer(text.data(), text.size(), QTX_TAG_MODULE));
        int set = 7;
        ASSERT_TRUE(Duf().CheckRoutingDocument(document, set)) << Duf().LogText();
        EXPECT_EQ(set, -1);
        const DufRequest* r = Duf().Requests().FindFirstDufRequest(62201, 65535, "Samples");
        ASSERT_NE(r, nullptr);
        EXPECT_GE(r->PcimHandle, 0);
        EXPECT_EQ(r->PcimChannel, 0);
        EXPECT_EQ(r->PcimBufferLength, 4000);
    }
    EXPECT_EQ(Duf().Requests().RemoveDufRequest(62201, 0, ""), 1);
    uint32_t logical = 0;
    std::vector<int32_t> handles;
    for (int i = 0; i < 4; ++i)
        handles.push_back(Duf().AllocatePcimBuffers(60000, logical));
    EXPECT_EQ(std::count(handles.begin(), handles.end(), -1), 0)
        << ::testing::PrintToString(handles);
    // More than the pool hands out in one block is refused.
    EXPECT_EQ(Duf().AllocatePcimBuffers(65536, logical), -1);
}
} // namespace
