// The signal-routing driver programs what it accepts: the register words of each kind of path
// on the simulated FPGA, refusals that leave the running paths alone, the stored sets that come
// back after a restart, and a device without the unit a path needs.
#include <gtest/gtest.h>

#include <filesystem>

#include "DufDriverFixture.h"

using namespace kovetest;

namespace
{
// The Signals elements of several descriptions in one module description.
std::string MergedDescription(const std::vector<std::string>& descriptions)
{
    std::string merged = descriptions.front();
    for (size_t i = 1; i < descriptions.size(); ++i)
    {
        const std::string& d = descriptions[i];
        const size_t from = d.find("<Signals");
        merged.insert(merged.find("</Module>"), d.substr(from, d.find("</Module>") - from));
    }
    return merged;
}

// The list a target module receives module-to-module data into: destination 0x2000, offset
// register 0x80, module event 21.
std::string ReceiveList(const std::string& name)
{
    std::string text = "<?xml version=\"1.0\"?>\n<Module Name=\"Fake_4Duf\"><Signals Name=\"" +
                       name + "\"><NumberOfSignals><Value>0</Value></NumberOfSignals><Properties>";
    for (const auto& p : std::vector<std::pair<std::string, std::string>>{
             {"NumberOfBpbm", "1"},
             {"Bpbm0NumberOfTransfers", "1"},
             {"BaseAddress", "2097152"},
             {"OffsetPerSlot", "65536"},
             {"Bpbm0OffsetRegister", "128"},
             {"Bpbm0t0SourceAddress", "0"},
             {"Bpbm0t0DestinationAddress", "8192"},
             {"ModuleEvent", "21"}})
        text += Property(p.first, p.second);
    return text + "</Properties></Signals></Module>\n";
}

// A fake module driver in the slot that answers AddressTable with the description.
std::unique_ptr<CFakeModuleDriver> Module(int slot, const std::string& description)
{
    auto module = std::make_unique<CFakeModuleDriver>(slot);
    EXPECT_TRUE(module->Start());
    module->SetAddressTable(description);
    return module;
}

const std::vector<CForDufSignal> kAnalog = {{1, 40, 8, "BYTE"}, {2, 100, 16, "INT"}};

// Module 1 offers AnalogIn and DigitalIn; modules 2 and 4 offer AnalogOut (written by the
// requester) and receive into Receive.
std::string OutputModuleDescription()
{
    return MergedDescription(
        {ForDufXml("AnalogOut", 0x200000, 0x10000, 10, kAnalog, "Output"), ReceiveList("Receive")});
}

std::string Target(const std::string& kind, int slot = 0)
{
    std::string text = Property("Target", kind);
    if (slot != 0)
        text += Property("TargetSlot", std::to_string(slot)) +
                Property("TargetSignals", "Receive");
    return text;
}

struct SPathWords
{
    const char* name;
    std::vector<SList> lists;
    std::string target;
    const char* pathText;
    std::vector<std::pair<uint32_t, uint32_t>> words;
};

void PrintTo(const SPathWords& row, std::ostream* out)
{
    *out << row.name;
}

class DufPathWords : public DufDriver, public testing::WithParamInterface<SPathWords>
{
};

TEST_P(DufPathWords, ProgrammedPathOnTheFpga)
{
    const SPathWords& row = GetParam();
    const auto module1 = Module(1, TwoListDescription());
    const auto module2 = Module(2, OutputModuleDescription());
    auto duf = StartDuf();

    const CReply reply = Send(RoutingDocument(row.lists, row.target));
    EXPECT_FALSE(reply.Has("<Error")) << reply.sText;
    // Signal 2 lies 64 bits into the 12-byte window of the module's data.
    EXPECT_TRUE(reply.Has("Name=\"Offset\" Value=\"68\"")) << reply.sText;
    const std::string paths = ShowPaths();
    EXPECT_NE(paths.find(row.pathText), std::string::npos) << paths;
    for (const auto& word : row.words)
        EXPECT_EQ(Peek(word.first), word.second) << std::hex << "0x" << word.first;
}

// Bus-master channel 0 reading AnalogIn of the module in slot 1: list at 0x160100, remote
// 0x200000, offset register 0x200040, start events global 3 / system 2, one transfer of 12
// bytes from 0x1004 with the channel's done event.
const std::vector<std::pair<uint32_t, uint32_t>> kReadSlot1 = {
    {0x160000, 0x160100}, {0x160004, 0x200000}, {0x160008, 0x200040}, {0x171000, 0x4C000000},
    {0x171004, 0x82030000}, {0x160100, 0x0F10000C}, {0x160104, 0x1004}};

std::vector<std::pair<uint32_t, uint32_t>> With(std::vector<std::pair<uint32_t, uint32_t>> words,
                                                const std::vector<std::pair<uint32_t, uint32_t>>& more)
{
    words.insert(words.end(), more.begin(), more.end());
    return words;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, DufPathWords,
    testing::Values(
        // Synchronizer 0 copies the bus-master buffer into the fiber-optic output window on
        // the channel's done event 64 and raises output event 33: the event mask is bit 1.
        SPathWords{"ModuleToFiberOptic", {{"AnalogIn", 1, {1, 2}}}, Target("FiberOptic"),
                   "Request 62002 from 62101[AnalogIn]:",
                   With(kReadSlot1, {{0x100000, 0x100080}, {0x110280, 0x80400000},
                                     {0x100080, 0x0821000C}, {0x100084, 0x160C00},
                                     {0x100088, 0x148000}, {0x10008C, 0x15000C},
                                     {0x150000, 2}, {0x150010, 2}})},
        // The input window is copied into the bus-master buffer (no start event, selector 7),
        // and channel 0 writes it to slot 2 and relays the module's event 4.
        SPathWords{"FiberOpticToModule", {{"AnalogOut", 2, {1, 2}}}, Target("FiberOptic"),
                   "Request 62002 to 62102[AnalogOut]:",
                   {{0x110280, 0x87000000}, {0x100080, 0x0401000C}, {0x100084, 0x140020},
                    {0x100088, 0x160C00}, {0x10008C, 0x150008}, {0x160004, 0x210000},
                    {0x160008, 0x210040}, {0x171000, 0xCC000000}, {0x171004, 0x80010000},
                    {0x160100, 0x1410000C}, {0x160104, 0x10000004}, {0x150000, 0}}},
        // Channel 1 writes the buffer to slot 2's receive memory (0x212000, register 0x210080)
        // on channel 0's done event and raises the module's event 5; slot 2 relays events.
        SPathWords{"ModuleToModule", {{"AnalogIn", 1, {1, 2}}}, Target("Module", 62102),
                   "Request 62102 from 62101[AnalogIn]:",
                   With(kReadSlot1, {{0x170004, 0xC0000020}, {0x160010, 0x160108},
                                     {0x160014, 0x212000}, {0x160018, 0x210080},
                                     {0x171020, 0xCC000000}, {0x171024, 0x80400000},
                                     {0x160108, 0x150F000C}})},
        // The copy goes into the FPGA unit's input window, without an output event.
        SPathWords{"ModuleToFpga", {{"AnalogIn", 1, {1, 2}}}, Target("FPGA"),
                   "Request 62301 from 62101[AnalogIn]:",
                   With(kReadSlot1, {{0x110280, 0x80400000}, {0x100080, 0x0000000C},
                                     {0x100084, 0x160C00}, {0x100088, 0x1A0040},
                                     {0x150000, 0}})}),
    [](const testing::TestParamInfo<SPathWords>& info) { return std::string(info.param.name); });

TEST_F(DufDriver, ARequestBeyondTheLimitsIsRefusedAndTheRunningPathsStay)
{
    // Sixteen lists of one 32-bit signal each.
    std::string description;
    std::vector<SList> lists;
    for (int i = 0; i < 16; ++i)
    {
        const std::string name = "L" + std::to_string(i);
        const std::string list = ForDufXml(name, 0x200000, 0x10000, 10, {{1, 0, 32, "DINT"}});
        description = description.empty() ? list : MergedDescription({description, list});
        lists.push_back({name, 1, {1}});
    }
    const auto module1 = Module(1, description);
    auto duf = StartDuf();

    ASSERT_FALSE(Send(RoutingDocument({{"L0", 1, {1}}}, Target("FPGA"))).Has("<Error"));
    const std::vector<uint32_t> addresses = {0x160004, 0x171000, 0x171004, 0x110280,
                                             0x100088, 0x160100};
    std::vector<uint32_t> running;
    for (uint32_t address : addresses)
        running.push_back(Peek(address));
    EXPECT_EQ(running[2], 0x82030000u);

    // The fiber-optic driver's sixteen lists and the FPGA unit's one need 17 channels.
    const CReply refused = Send(RoutingDocument(lists));
    EXPECT_TRUE(refused.Has("This XML requests more signals than can be handled by the hardware"))
        << refused.sText;
    EXPECT_TRUE(refused.Has("WrongParameter")) << refused.sText;
    EXPECT_NE(Log().find("DUF OutOfHardware: \nBpbm Channels 17of 15"), std::string::npos);
    for (size_t i = 0; i < addresses.size(); ++i)
        EXPECT_EQ(Peek(addresses[i]), running[i]) << std::hex << addresses[i];
    const std::string paths = ShowPaths();
    EXPECT_NE(paths.find("Request 62301 from 62101[L0]:"), std::string::npos) << paths;
    EXPECT_EQ(paths.find("Request 62002"), std::string::npos) << paths;
    // The stored set is still the empty one of the first start.
    EXPECT_EQ(ReadFile(m_tDevice.Path(kStoredSet0)).find("Signals"), std::string::npos);

    // Fifteen channels fit.
    lists.resize(14);
    EXPECT_FALSE(Send(RoutingDocument(lists)).Has("<Error"));
    EXPECT_EQ(Peek(0x171004 + 32 * 14), 0x82030000u);
}

TEST_F(DufDriver, RefusedDocumentsSayWhy)
{
    const auto module1 = Module(1, TwoListDescription());
    const auto module2 = Module(2, OutputModuleDescription());
    auto duf = StartDuf();
    std::string wrongModule = RoutingDocument({{"AnalogIn", 1, {1}}});
    wrongModule.replace(wrongModule.find("\"DUF\""), 5, "\"FiberOptic\"");

    const struct
    {
        std::string document;
        std::vector<std::string> texts;
    } cases[] = {
        {RoutingDocument({}, Target("Somewhere")),
         {"UnknownTarget", "Property value for Target is wrong", "WrongParameter"}},
        {wrongModule, {"WrongModule", "Module name does not fit"}},
        {RoutingDocument({}, Target("Memory")),
         {"NotSupported", "Target Memory is not supported on this device", "WrongParameter"}},
        {RoutingDocument({{"AnalogIn", 1, {1}}}, Target("Module", 62104)),
         {"UnknownModule", "Can not read data of module 62104", "WrongParameter"}},
        {RoutingDocument({{"AnalogIn", 1, {1}}},
                         Property("Target", "Module") + Property("TargetSlot", "62102") +
                             Property("TargetSignals", "Nothing")),
         {"UnknownSignals", "Can not find signals Nothing on module port 62102"}},
    };
    for (const auto& c : cases)
    {
        const CReply reply = Send(c.document);
        for (const std::string& text : c.texts)
            EXPECT_TRUE(reply.Has(text)) << text << "\n" << reply.sText;
    }
    EXPECT_EQ(ShowPaths().find("Request "), std::string::npos);
}

TEST_F(DufDriver, StoredSetsComeBackAfterARestart)
{
    const auto module1 = Module(1, TwoListDescription());
    const auto module4 = Module(4, OutputModuleDescription());
    m_tHub.SetReply("Identify", IdentifyListing({62001, 62101, 62104}));
    auto duf = StartDuf();

    const CReply fiber = Send(RoutingDocument({{"AnalogIn", 1, {1, 2}}}));
    EXPECT_TRUE(fiber.Has("Name=\"Offset\" Value=\"68\"")) << fiber.sText;
    // The target module in slot 4 is stored as set 4.
    EXPECT_FALSE(Send(RoutingDocument({{"DigitalIn", 1, {5}}}, Target("Module", 62104))).Has("<Error"));
    EXPECT_FALSE(ReadFile(m_tDevice.Path(kStoredSet0)).empty());
    std::vector<std::string> stored;
    for (const auto& entry :
         std::filesystem::directory_iterator(m_tDevice.Path(kDriverDir + "Configuration")))
        stored.push_back(entry.path().filename());
    EXPECT_EQ(stored.size(), 2u) << testing::PrintToString(stored);
    const std::string before = ShowPaths();

    Send(Debug(Property("EndDriver", "")));
    duf->WaitExit();
    duf = std::make_unique<CTestProcess>(m_tDevice, "dufdriver");
    ASSERT_TRUE(duf->WaitForPort(kDufPort)) << duf->Output();
    const std::string after = ShowPaths();
    EXPECT_EQ(after, before);
    EXPECT_NE(after.find("Request 62002 from 62101[AnalogIn]:"), std::string::npos) << after;
    EXPECT_NE(after.find("Request 62104 from 62101[DigitalIn]:"), std::string::npos) << after;
    // Channel 2 writes into slot 4's receive memory: 0x200000 + 3 x 0x10000 + 0x2000.
    EXPECT_EQ(Peek(0x160024), 0x232000u);
    EXPECT_EQ(Peek(0x171044), 0x80410000u);

    // Without a stored fiber-optic set the module-to-module set still comes back.
    Send(Debug(Property("EndDriver", "")));
    duf->WaitExit();
    std::filesystem::remove(m_tDevice.Path(kStoredSet0));
    duf = std::make_unique<CTestProcess>(m_tDevice, "dufdriver");
    ASSERT_TRUE(duf->WaitForPort(kDufPort)) << duf->Output();
    const std::string without = ShowPaths();
    EXPECT_EQ(without.find("Request 62002"), std::string::npos) << without;
    EXPECT_NE(without.find("Request 62104 from 62101[DigitalIn]:"), std::string::npos) << without;
}

TEST_F(DufDriver, AConfigurationThatCannotBeStoredIsAnsweredAsAnError)
{
    const auto module1 = Module(1, TwoListDescription());
    auto duf = StartDuf();
    // A file where the configuration directory was: nothing can be stored in it.
    const std::string configuration = m_tDevice.Path(kDriverDir + "Configuration");
    std::filesystem::remove_all(configuration);
    Store(kDriverDir + "Configuration", "in the way");

    const CReply reply = Send(RoutingDocument({{"AnalogIn", 1, {1}}}));
    EXPECT_TRUE(reply.Has("ErrorWritingConfiguration")) << reply.sText;
    EXPECT_TRUE(reply.Has("Error while writeing the configuration file")) << reply.sText;
    // The driver serves on.
    EXPECT_NE(ShowPaths().find("FoReadyMask"), std::string::npos);
}

// Family 11 has the bus-master unit but no synchronizer.
class DufDriverWithoutSynchronizer : public DufDriver
{
protected:
    DufDriverWithoutSynchronizer() : DufDriver({"--family", "DAQ"}) {}
};

TEST_F(DufDriverWithoutSynchronizer, AFiberOpticPathIsRefusedForTheUnitItNeeds)
{
    const auto module1 = Module(1, TwoListDescription());
    const auto module2 = Module(2, OutputModuleDescription());
    auto duf = StartDuf();
    const CReply fiber = Send(RoutingDocument({{"AnalogIn", 1, {1, 2}}}));
    EXPECT_TRUE(fiber.Has("This XML requests a path through the synchronizer unit, which this "
                          "device does not have"))
        << fiber.sText;
    EXPECT_FALSE(fiber.Has("more signals")) << fiber.sText;
    EXPECT_TRUE(fiber.Has("WrongParameter")) << fiber.sText;
    // A module-to-module path needs the bus-master unit only.
    const CReply module = Send(RoutingDocument({{"AnalogIn", 1, {1, 2}}}, Target("Module", 62102)));
    EXPECT_FALSE(module.Has("<Error")) << module.sText;
}
} // namespace
