// The fiber-optic driver on a simulated device, with a fake hub on 127.0.0.1:62000 that hands
// out the user settings (hex switches) and records what the driver tells it.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sys/stat.h>
#include <sys/wait.h>

#include "FakeHub.h"
#include "KoveTestSupport.h"
#include "QTXConvert.h"
#include "QTXXml.h"
#include "RequestClient.h"

using namespace kovetest;

namespace
{
constexpr int kPort = 62002;
// Unit base of the fiber-optic unit on a device of a family without its own base.
constexpr uint32_t kBase = 0x40000;

std::string UserConfig(const std::string& hex)
{
    return sXmlStart + "<GetUserConfig Value=\";hex=" + hex + ";SamplingPeriodInUs=1000;\"/>\n";
}

std::string Properties(const std::vector<std::pair<std::string, std::string>>& properties)
{
    std::string text;
    for (const auto& p : properties)
        text += "<Property Name=\"" + p.first + "\" Value=\"" + p.second + "\"/>";
    return text;
}

std::string ModuleRequest(const std::vector<std::pair<std::string, std::string>>& properties)
{
    return sXmlStart + "<Module Name=\"FiberOptic\"><Properties>" + Properties(properties) +
           "</Properties></Module>\n";
}

std::string RootRequest(const std::string& root,
                        const std::vector<std::pair<std::string, std::string>>& properties)
{
    return sXmlStart + "<" + root + "><Properties>" + Properties(properties) + "</Properties></" +
           root + ">\n";
}

// e08 both ways, 1000 µs, slot 0.
const std::vector<std::pair<std::string, std::string>> kE08 = {
    {"InputSpeed", "32"},  {"InputFrames", "8"},     {"OutputSpeed", "32"},
    {"OutputFrames", "8"}, {"OutputPeriod", "1000"}, {"Slot", "0"}};

class FiberOpticDriver : public testing::Test
{
protected:
    explicit FiberOpticDriver(const std::vector<std::string>& device = {"--family", "DAQ"})
        : tDevice(device)
    {
    }

    void SetUp() override
    {
        ASSERT_TRUE(tHub.Start());
        tHub.SetReply("GetUserConfig", UserConfig("0x0"));
        tHub.SetReply("StoreConfiguration", sXmlStart + "<StoreConfiguration Status=\"Done\"/>\n");
    }

    void Start(const std::vector<std::string>& args = {})
    {
        pDriver = std::make_unique<CTestProcess>(tDevice, "fodriver", args);
        ASSERT_TRUE(pDriver->WaitForPort(kPort)) << pDriver->Output();
    }

    CReply Send(const std::string& request)
    {
        return SendRequest(kPort, request, tDevice.Dir() + "/reply.xml");
    }

    uint32_t Peek(uint32_t address) const
    {
        return static_cast<uint32_t>(
            std::stoul(tDevice.Tool("peek", {std::to_string(address)}), nullptr, 16));
    }
    uint32_t Register(uint32_t offset) const { return Peek(kBase + offset); }

    std::string Commands() const { return ReadFile(tDevice.Dir() + "/commands.log"); }
    std::string Driver() const { return tDevice.Path("/Applications/tmp/Driver/fodriver/"); }
    std::string Stored() const
    {
        return tDevice.Path("/Applications/tmp/Driver/Configuration/Config_62002_FiberOptic.xml");
    }

    int SamplingPeriodsSent(const std::string& period) const
    {
        int count = 0;
        for (const CHubRequest& request : tHub.Requests("SetSamplingPeriodInUs"))
            count += request.Attribute("FiberOptic") == period ? 1 : 0;
        return count;
    }

    CFakeHub tHub;
    CSimDevice tDevice;
    std::unique_ptr<CTestProcess> pDriver;
};

TEST_F(FiberOpticDriver, WrongConfigurationsAreAnsweredWithTheirTexts)
{
    Start();
    const struct
    {
        std::vector<std::pair<std::string, std::string>> properties;
        std::vector<std::string> texts;
    } cases[] = {
        {{}, {"InputSpeed is missing", "OutputSpeed is missing", "OutputPeriod is missing"}},
        {{{"InputSpeed", "10"}, {"OutputSpeed", "32"}, {"OutputPeriod", "0"}},
         {"InputSpeed value is wrong, only 3.3 and 32 allowed", "OutputFrames is missing"}},
        {{{"InputSpeed", "32"},
          {"InputFrames", "3"},
          {"OutputSpeed", "32"},
          {"OutputFrames", "abc"},
          {"OutputPeriod", "0"}},
         {"InputFrames value is wrong, only 1, 2, 16 or 0 allowed",
          "OutputFrames value is wrong, only 1, 2, 16 or 0 allowed"}},
        {{{"InputSpeed", "32"}, {"OutputSpeed", "x"}, {"OutputPeriod", "0"}},
         {"InputFrames is missing", "OutputSpeed value is wrong, only 3.3 and 32 allowed"}},
        {{{"InputSpeed", "0"},
          {"OutputSpeed", "32"},
          {"OutputFrames", "16"},
          {"OutputPeriod", "999"}},
         {"Output period is too low"}},
        {{{"InputSpeed", "3.3"}, {"OutputSpeed", "3.3"}, {"OutputPeriod", "0"}, {"Slot", "8"}},
         {"Slot must be between 0 and 7 for 3M protocols"}},
        {{{"InputSpeed", "0"},
          {"OutputSpeed", "32"},
          {"OutputFrames", "16"},
          {"OutputPeriod", "0"},
          {"Slot", "1"}},
         {"Slot must be 0 for 32M p2p modes"}},
        {{{"InputSpeed", "0"}, {"OutputSpeed", "0"}, {"OutputPeriod", "0"}, {"Slot", "16"}},
         {"Slot is wrong, only 0..15 allowed"}},
        {{{"InputSpeed", "0"}, {"OutputSpeed", "32"}, {"OutputFrames", "0"}, {"OutputPeriod", "0"}},
         {"Length is needed for 32M Flex protocol", "MasterModePeriod is missing",
          "MasterModeLength is missing", "MasterModeClassTimes is missing",
          "MasterModeDeviceClasses is missing"}},
        {{{"InputSpeed", "0"},
          {"OutputSpeed", "32"},
          {"OutputFrames", "0"},
          {"OutputPeriod", "0"},
          {"Length", "100"},
          {"MasterModePeriod", "6"},
          {"MasterModeLength", "1;2"},
          {"MasterModeClassTimes", "1;1"},
          {"MasterModeDeviceClasses", "0"}},
         {"MasterModePeriod value is wrong, only [7 ... 16384] allowed"}},
    };
    for (const auto& c : cases)
    {
        const CReply reply = Send(ModuleRequest(c.properties));
        ASSERT_EQ(reply.sRoot, "Module") << pDriver->Output();
        EXPECT_TRUE(reply.Has("This XMl file contains error messages on wrong or missing "
                              "parameters"))
            << reply.sText;
        for (const std::string& text : c.texts)
            EXPECT_TRUE(reply.Has("ErrorNo=\"" + text + "\"")) << text << "\n" << reply.sText;
    }
    // A document without properties gets exactly its three findings.
    const CReply empty = Send(ModuleRequest({}));
    size_t findings = 0;
    for (size_t at = empty.sText.find("ErrorNo="); at != std::string::npos;
         at = empty.sText.find("ErrorNo=", at + 1))
        ++findings;
    EXPECT_EQ(findings, 3u) << empty.sText;
    // Nothing was taken or stored.
    EXPECT_FALSE(std::filesystem::exists(Stored()));
    EXPECT_EQ(tHub.Count("StoreConfiguration"), 0);
}

TEST_F(FiberOpticDriver, AcceptedConfigurationIsStoredAppliedAndKeptAcrossRestart)
{
    Start();
    // At start the default of slot 0 is in force: Flex, master mode with a period of 1000.
    EXPECT_EQ(Register(0x20040), 0x2000BCu);
    EXPECT_EQ(Register(0x8), 999u);

    const CReply reply = Send(ModuleRequest(kE08));
    ASSERT_EQ(reply.sRoot, "Module") << pDriver->Output();
    EXPECT_FALSE(reply.Has("<Error")) << reply.sText;
    EXPECT_TRUE(std::filesystem::exists(Stored()));
    ASSERT_TRUE(tHub.WaitForRequests("StoreConfiguration", 1));

    const auto expectE08 = [this]
    {
        EXPECT_EQ(Register(0x14), 1u);
        EXPECT_EQ(Register(0x20000), 768u);
        EXPECT_EQ(Register(0x2000C), 0x8708u);
        EXPECT_EQ(Register(0x20040), 0x70831u | 0x200000u);
        EXPECT_EQ(Register(0x8), 999u);
        EXPECT_EQ(Register(0x10), 0u);
        EXPECT_EQ(Register(0x20070), 0x8000u);
    };
    expectE08();
    EXPECT_TRUE(WaitFor([this] { return SamplingPeriodsSent("1000") == 1; }));

    // The same settings again: the hub has the period already.
    EXPECT_FALSE(Send(ModuleRequest(kE08)).Has("<Error"));
    EXPECT_EQ(SamplingPeriodsSent("1000"), 1);

    // The routing driver's description: e08 carries 1152 bytes each way.
    const CReply table = Send(sXmlStart + "<AddressTable/>\n");
    EXPECT_EQ(table.sRoot, "Module");
    EXPECT_TRUE(table.Has("<Module Name=\"Fo2Duf\">")) << table.sText;
    EXPECT_TRUE(table.Has("<Property Name=\"InputLength\" Value=\"1152\"/>")) << table.sText;
    EXPECT_TRUE(table.Has("<Property Name=\"OutputLength\" Value=\"1152\"/>")) << table.sText;
    EXPECT_TRUE(std::filesystem::exists(Driver() + "Fo2Duf.xml"));

    // A restart on a unit that lost its programming programs the stored settings again.
    pDriver.reset();
    tDevice.Tool("poke", {std::to_string(kBase + 0x20040), "0"});
    tDevice.Tool("poke", {std::to_string(kBase + 0x2000C), "0"});
    // The fresh file of a store that was cut short goes at start; other files stay: another
    // driver's fresh file, and a user's files, also those named as the fresh files of earlier
    // versions were.
    const std::string configuration = tDevice.Path("/Applications/tmp/Driver/Configuration/");
    const struct
    {
        const char* name;
        bool stays;
    } leftovers[] = {{"..Store.Config_62002_FiberOptic.xml.Ab12Cd", false},
                     {"..Store.Config_62002_FiberOptic_3.xml.ZZZZZZ", false},
                     {"..Store.Config_62001_Duf.xml.Ab12Cd", true},
                     {"Config_62002_FiberOptic.xml.backup", true},
                     {"Config_62002_FiberOptic.xml.Ab12Cd", true},
                     {"Config_62002_FiberOptic_3.xml.ZZZZZZ", true},
                     {"Config_62002_FiberOptic.xml.old-01", true}};
    for (const auto& leftover : leftovers)
        std::ofstream(configuration + leftover.name) << "<Module";
    Start();
    for (const auto& leftover : leftovers)
        EXPECT_EQ(std::filesystem::exists(configuration + leftover.name), leftover.stays)
            << leftover.name;
    EXPECT_NE(
        ReadFile(tDevice.Path("/Applications/tmp/Driver/log/Slot62002_log.txt"))
            .find(
                "Removed ..Store.Config_62002_FiberOptic.xml.Ab12Cd, left by an interrupted store"),
        std::string::npos);
    expectE08();
    const CReply stored = Send(sXmlStart + "<Configuration/>\n");
    EXPECT_TRUE(stored.Has("Name=\"OutputFrames\" Value=\"8\"")) << stored.sText;
}

// A period the hub did not take is sent again with the next programming; once taken, it is not.
TEST_F(FiberOpticDriver, SamplingPeriodIsSentAgainUntilTheHubHasIt)
{
    tHub.SetNoReply("SetSamplingPeriodInUs");
    Start();
    EXPECT_FALSE(Send(ModuleRequest(kE08)).Has("<Error"));
    ASSERT_TRUE(WaitFor([this] { return SamplingPeriodsSent("1000") >= 1; }));
    const int refused = SamplingPeriodsSent("1000");
    EXPECT_FALSE(Send(ModuleRequest(kE08)).Has("<Error"));
    ASSERT_TRUE(WaitFor([&] { return SamplingPeriodsSent("1000") > refused; }));

    tHub.SetReply("SetSamplingPeriodInUs", sXmlStart + "<SetSamplingPeriodInUs/>\n");
    const int before = SamplingPeriodsSent("1000");
    EXPECT_FALSE(Send(ModuleRequest(kE08)).Has("<Error"));
    ASSERT_TRUE(WaitFor([&] { return SamplingPeriodsSent("1000") > before; }));

    // Taken now: the next programming does not send it (the send goes out before the answer).
    const int taken = SamplingPeriodsSent("1000");
    EXPECT_FALSE(Send(ModuleRequest(kE08)).Has("<Error"));
    EXPECT_EQ(SamplingPeriodsSent("1000"), taken);
}

TEST_F(FiberOpticDriver, RingIsKeptAsSlot0AndRingsRunWithoutSlotWords)
{
    Start();
    const CReply reply = Send(ModuleRequest({{"InputSpeed", "32"},
                                             {"InputFrames", "1608"},
                                             {"OutputSpeed", "32"},
                                             {"OutputFrames", "1608"},
                                             {"OutputPeriod", "0"},
                                             {"Slot", "5"}}));
    EXPECT_FALSE(reply.Has("<Error")) << reply.sText;
    EXPECT_TRUE(std::filesystem::exists(Stored()));
    EXPECT_EQ(Register(0x20040), 0x106F1u | 0x200000u);
    EXPECT_EQ(Register(0x10), 8u);
    // The ring's one slot is the document's slot.
    EXPECT_EQ(Register(0x20B00 + 8 * 5), 0x80000000u);
    EXPECT_EQ(Register(0x20B00 + 8 * 4), 0u);
    // The input row's period, 100 µs, since the output period is 0.
    EXPECT_EQ(SamplingPeriodsSent("100"), 1);
}

// A push of the user settings by the hub (after its own debounce of the switches) moves the
// node to another slot: Flex takes the node's number and IP over fiber follows it.
TEST_F(FiberOpticDriver, NewHexSwitchesReprogramFlexAndIpOverFiber)
{
    tHub.SetReply("GetUserConfig", UserConfig("-1"));
    Start();
    // No switches read: Flex without a node number, and no address for IP over fiber.
    EXPECT_EQ(Register(0x20040), 0x2000BCu);
    EXPECT_EQ(Commands().find("ifconfig"), std::string::npos) << Commands();

    const std::string push =
        sXmlStart + "<SetUserConfig Value=\";hex=0x3;SamplingPeriodInUs=1000;\"/>\n";
    EXPECT_EQ(Send(push).sRoot, "SetUserConfig");
    EXPECT_EQ(Register(0x20800 + 4 * 3), 0x80000000u);
    EXPECT_EQ(Register(0x20800 + 4 * 16 - 4), 0u);
    EXPECT_NE(Commands().find("ifconfig ils0 169.254.0.103 netmask 255.255.255.0 hw ether "
                              "02:10:C4:FF:00:03"),
              std::string::npos)
        << Commands();
    EXPECT_NE(Commands().find("arp -i ils0 -s 169.254.0.100 02:10:C4:FF:00:00"), std::string::npos);
    EXPECT_EQ(ReadFile(tDevice.Dir() + "/dev/ilseth"), "nat 169.254\n");

    // The same node again changes nothing; node 0 takes the payload slot 16.
    const std::string before = Commands();
    Send(push);
    EXPECT_EQ(Commands(), before);
    EXPECT_EQ(
        Send(sXmlStart + "<SetUserConfig Value=\";hex=0x0;SamplingPeriodInUs=1000;\"/>\n").sRoot,
        "SetUserConfig");
    EXPECT_NE(Commands().find("169.254.0.116"), std::string::npos) << Commands();
    EXPECT_EQ(Register(0x20800 + 4 * 3), 0u);
    EXPECT_EQ(Commands().find("169.254.0.103", before.size()), std::string::npos);
}

TEST_F(FiberOpticDriver, DebugCommandsLoopTestAndWatchdog)
{
    Start();
    // Flex on node 0 has switched IP over fiber on already.
    EXPECT_EQ(ReadFile(tDevice.Dir() + "/dev/ilseth"), "nat 169.254\n");
    CReply reply = Send(RootRequest("Debug", {{"DisableFlexInterrupts", ""}}));
    EXPECT_EQ(reply.sRoot, "Debug");
    Send(RootRequest("Debug", {{"EnableFlexInterrupts", ""}}));
    EXPECT_EQ(ReadFile(tDevice.Dir() + "/dev/ilseth"), "nat 169.254\nInterruptOFF\nInterruptON\n");

    // A step below 1 would never end: refused before the unit is touched.
    tDevice.Tool("poke", {std::to_string(kBase + 0x2007C), "7"});
    reply = Send(RootRequest("Debug", {{"TestFiberOpticLoop", "0"}}));
    EXPECT_TRUE(reply.Has("Value=\"ERROR\"")) << reply.sText;
    EXPECT_TRUE(reply.Has("Fiber optic loop test needs a step of 1 or more")) << reply.sText;
    EXPECT_EQ(Register(0x2007C), 7u);

    // Without a fiber loop the readings do not come back.
    reply = Send(RootRequest("Debug", {{"TestFiberOpticLoop", "16.0"}}));
    EXPECT_TRUE(reply.Has("Value=\"ERROR\"")) << reply.sText;
    EXPECT_TRUE(reply.Has("Name=\"LoopTestFailed\"")) << reply.sText;
    EXPECT_TRUE(reply.Has("Fiber optic loop test failed")) << reply.sText;
    EXPECT_EQ(Register(0x2007C), 0u);

    reply =
        Send(sXmlStart + "<Diagnostic><ActivateWatchdog>TRUE</ActivateWatchdog></Diagnostic>\n");
    EXPECT_TRUE(reply.Has("Result=\"Done\"")) << reply.sText;
    reply =
        Send(sXmlStart + "<Diagnostic><ActivateWatchdog>maybe</ActivateWatchdog></Diagnostic>\n");
    EXPECT_FALSE(reply.Has("Result=")) << reply.sText;

    // EndDriver comes first: the loop test does not run, the driver ends in order.
    tDevice.Tool("poke", {std::to_string(kBase + 0x2007C), "7"});
    Send(RootRequest("Debug", {{"EndDriver", ""}, {"TestFiberOpticLoop", "16"}}));
    const int status = pDriver->WaitExit();
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(Register(0x2007C), 7u);
    EXPECT_TRUE(tHub.WaitForRequests("RemoveModule", 1));
}

TEST_F(FiberOpticDriver, StartupArgumentsAndPostConfigCommand)
{
    const std::string script = tDevice.Dir() + "/post.sh";
    std::ofstream(script) << "#!/bin/sh\ntouch \"$(dirname \"$0\")/posted\"\n";
    chmod(script.c_str(), 0755);
    Start({"-Startup=EnableWatchdog,Bogus,PostConfigExe=" + script});
    std::string log;
    for (const auto& entry :
         std::filesystem::directory_iterator(tDevice.Path("/Applications/tmp/Driver/log")))
        log += ReadFile(entry.path().string());
    EXPECT_NE(log.find("IpTxWatchdog enabled"), std::string::npos) << log;
    EXPECT_NE(log.find("Error: unknown startup argument \"Bogus\""), std::string::npos) << log;
    EXPECT_NE(log.find("PostConfigExe = \"" + script + "\""), std::string::npos) << log;
    EXPECT_FALSE(std::filesystem::exists(tDevice.Dir() + "/posted"));
    EXPECT_FALSE(Send(ModuleRequest(kE08)).Has("<Error"));
    EXPECT_TRUE(std::filesystem::exists(tDevice.Dir() + "/posted"));
}

class FiberOpticDriverKove8 : public FiberOpticDriver
{
protected:
    FiberOpticDriverKove8() : FiberOpticDriver({"--family", "KV8"}) {}
};

// The KOVE-8 family holds the mode register at 76 for 2 s after start, then programs the unit
// once more before it serves requests.
TEST_F(FiberOpticDriverKove8, ModeIsHeldAfterStart)
{
    Start();
    EXPECT_EQ(Peek(0x10000 + 0x20040), 76u);
    EXPECT_EQ(Send(sXmlStart + "<Ping/>\n").sRoot, "Ping");
    EXPECT_EQ(Peek(0x10000 + 0x20040), 0x2000BCu);
}
} // namespace
