// The request list: replacing, removing, signals, links and PCI-master channels of removed
// records, and walks that nest.
#include <gtest/gtest.h>

#include "DufRequest.h"

namespace
{
DufRequest Record(uint16_t requester, uint16_t partner, const std::string& name,
                  const std::vector<int>& numbers)
{
    DufRequest r;
    r.Valid = 1;
    r.Requester = requester;
    r.Partner = partner;
    r.Name = name;
    for (int n : numbers)
        CDufRequestList::AddSignal(&r, n, 8, n * 8, "BYTE");
    return r;
}

std::vector<int> Numbers(const DufRequest& r)
{
    std::vector<int> numbers;
    for (const DufSignal& s : r.Signals)
        numbers.push_back(s.Number);
    return numbers;
}

TEST(DufRequestList, SameRequesterPartnerAndNameReplacesTheSignalsOnly)
{
    CDufRequestList list;
    list.AddDufRequest(Record(62002, 62101, "AnalogIn", {1, 2}));
    DufRequest later = Record(62002, 62101, "analogin", {7});
    later.Direction = 1;
    later.PcimBufferCount = 9;
    list.AddDufRequest(later);
    list.AddDufRequest(Record(62002, 62102, "AnalogIn", {3}));

    ASSERT_EQ(list.Records().size(), 2u);
    const DufRequest* first = list.FindFirstDufRequest(62002, 62101, "ANALOGIN");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Numbers(*first), std::vector<int>{7});
    EXPECT_EQ(first->Name, "AnalogIn");
    EXPECT_EQ(first->Direction, 0);
    EXPECT_EQ(first->PcimBufferCount, 0);
}

TEST(DufRequestList, SignalsOfOneNumberAndTheirEnables)
{
    DufRequest r = Record(62002, 62101, "AnalogIn", {1, 2, 3});
    CDufRequestList::AddSignal(&r, 2, 16, 40, "INT");
    EXPECT_EQ(Numbers(r), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(r.Signals[1].Length, 16);

    r.Signals[1].Enable = 0;
    EXPECT_EQ(CDufRequestList::FindSignal(&r, 2), nullptr);
    CDufRequestList::AddSignal(&r, 2, 8, 0, "");
    EXPECT_EQ(Numbers(r), (std::vector<int>{1, 2, 3, 2}));
    EXPECT_EQ(CDufRequestList::FindSignal(&r, 2), &r.Signals[3]);

    std::vector<int> walked;
    for (DufSignal* s = CDufRequestList::NextEnabledSignal(&r, true); s != nullptr;
         s = CDufRequestList::NextEnabledSignal(&r, false))
        walked.push_back(s->Number);
    EXPECT_EQ(walked, (std::vector<int>{1, 3, 2}));
    EXPECT_EQ(CDufRequestList::FindSignal(nullptr, 1), nullptr);
    CDufRequestList::AddSignal(nullptr, 1, 1, 1, "");
}

TEST(DufRequestList, RemovalCountsAndLeavesNoLinkOrChannelBehind)
{
    CDufRequestList list;
    list.AddDufRequest(Record(62201, 62101, "Out1", {1}));
    list.AddDufRequest(Record(62201, 62101, "Out2", {1}));
    list.AddDufRequest(Record(62002, 62102, "AnalogIn", {1}));
    DufRequest* first = list.FindFirstDufRequest(62201, 0, "Out1");
    DufRequest* second = list.FindFirstDufRequest(62201, 0, "Out2");
    DufRequest* fiber = list.FindFirstDufRequest(62002, 0, "");
    first->Forward = second;
    second->Backward = first;
    fiber->Forward = second;
    second->PcimChannel = 3;
    list.aPcimChannelAllocatedBy[3] = second;
    fiber->PcimChannel = 5;
    list.aPcimChannelAllocatedBy[5] = first;

    EXPECT_EQ(list.RemoveDufRequest(62201, 62101, "OUT2"), 1);
    EXPECT_EQ(first->Forward, nullptr);
    EXPECT_EQ(fiber->Forward, nullptr);
    EXPECT_EQ(list.aPcimChannelAllocatedBy[3], nullptr);

    // A fiber-optic record's channel number frees nothing.
    EXPECT_EQ(list.RemoveDufRequest(62002, 0, ""), 1);
    EXPECT_EQ(list.aPcimChannelAllocatedBy[5], first);

    list.AddDufRequest(Record(62002, 62103, "x", {}));
    EXPECT_EQ(list.RemoveDufRequest(0, 0, ""), 2);
    EXPECT_TRUE(list.Records().empty());
    EXPECT_EQ(list.aPcimChannelAllocatedBy[5], nullptr);
}

TEST(DufRequestList, ReplacingAnApplicationRecordFreesItsChannel)
{
    CDufRequestList list;
    list.AddDufRequest(Record(62202, 62101, "In", {1}));
    DufRequest* held = list.FindFirstDufRequest(62202, 62101, "In");
    held->PcimChannel = 4;
    held->PcimHandle = 17;
    list.aPcimChannelAllocatedBy[4] = held;
    list.AddDufRequest(Record(62202, 62101, "In", {2}));
    EXPECT_EQ(held->PcimChannel, -1);
    EXPECT_EQ(held->PcimHandle, -1);
    EXPECT_EQ(list.aPcimChannelAllocatedBy[4], nullptr);
}

TEST(DufRequestList, NestedWalksKeepTheirOwnPlace)
{
    CDufRequestList list;
    for (const char* name : {"AOut", "BOut", "COut"})
        list.AddDufRequest(Record(62002, 62101, name, {1}));

    std::vector<std::string> pairs;
    CDufRequestCursor outer;
    for (DufRequest* a = list.FindDufRequest(outer, 62002, 0, "", true); a != nullptr;
         a = list.FindDufRequest(outer, 62002, 0, "", false))
    {
        CDufRequestCursor inner;
        for (DufRequest* b = list.FindDufRequest(inner, 62002, 62101, "", true); b != nullptr;
             b = list.FindDufRequest(inner, 62002, 62101, "", false))
            pairs.push_back(a->Name.substr(0, 1) + b->Name.substr(0, 1));
    }
    EXPECT_EQ(pairs,
              (std::vector<std::string>{"AA", "AB", "AC", "BA", "BB", "BC", "CA", "CB", "CC"}));
}

TEST(DufRequestList, DumpOfARecord)
{
    DufRequest r = Record(62002, 62101, "AnalogIn", {1});
    r.Signals[0].StaticEnable = 0;
    r.BpbmChannelMask = 5;
    const std::string text = CDufRequestList::DebugRequestText(r, "Title");
    EXPECT_NE(text.find(" is valid, Requester is 62002, transmitting to 62101(AnalogIn)\n"
                        "   Signals: [1] Start=8 Len=8 Type=BYTE Enable=++-"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Log.Addr.=0x00000000 NoOfBuf=0"), std::string::npos) << text;
    EXPECT_NE(text.find("BPBM=[Start=0x00000000 Len=0 ChannelMask=0b0000000000000101]"),
              std::string::npos)
        << text;
}
} // namespace
