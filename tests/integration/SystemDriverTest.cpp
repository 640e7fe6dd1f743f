// The system driver seen from outside: systemdriver on a simulated device, port 62000, with
// module drivers (qtxtestdriver) and requests from the test. Registration and removal, module
// errors, the user configuration, the LED test, the start-up mode and the ordered end.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sys/wait.h>
#include <vector>

#include "KoveTestSupport.h"
#include "RequestClient.h"
#include "QTXCommunication.h"

using namespace kovetest;

namespace
{
const std::string kHead = "<?xml version=\"1.0\"?>\n";

bool ExitedWith(int status, int code)
{
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

class SystemDriver : public testing::Test
{
protected:
    void StartHub(const std::vector<std::string>& arguments = {})
    {
        pHub = std::make_unique<CTestProcess>(tDevice, "systemdriver", arguments);
        ASSERT_TRUE(pHub->WaitForPort(62000)) << pHub->Output();
    }

    // One request on a new connection to the hub.
    CReply Request(const std::string& request)
    {
        return SendRequest(62000, request, tDevice.Dir() + "/reply.xml");
    }

    std::string Identify() { return Request(kHead + "<Identify/>").sText; }

    bool Registered(int port) { return Identify().find(Port(port)) != std::string::npos; }

    static std::string Port(int port) { return "<Port>" + std::to_string(port) + "</Port>"; }

    std::string Log() const
    {
        return ReadFile(tDevice.Path("/Applications/tmp/Driver/log/Slot62000_log.txt"));
    }

    std::string Leds() const { return tDevice.Tool("leds"); }
    std::string Peek(const std::string& address) const { return tDevice.Tool("peek", {address}); }

    CSimDevice tDevice;
    std::unique_ptr<CTestProcess> pHub;
};

TEST_F(SystemDriver, DriversRegisterAndRemoveThemselves)
{
    StartHub();
    std::vector<std::unique_ptr<CTestProcess>> drivers;
    for (const char* slot : {"-Slot=0", "-Slot=3", "-Slot=62201"})
        drivers.push_back(std::make_unique<CTestProcess>(
            tDevice, "qtxtestdriver", std::vector<std::string>{slot, "-Startup=thread"}));
    ASSERT_TRUE(WaitFor([&] { return Registered(62100) && Registered(62103) && Registered(62201); },
                        std::chrono::seconds(20)))
        << Identify() << pHub->Output();
    const std::string identify = Identify();
    EXPECT_LT(identify.find(Port(62100)), identify.find(Port(62103)));
    EXPECT_LT(identify.find(Port(62103)), identify.find(Port(62201)));
    EXPECT_NE(identify.find("<Module Name=\"TestDriver\">"), std::string::npos) << identify;

    drivers[1]->Signal(SIGTERM);
    EXPECT_TRUE(ExitedWith(drivers[1]->WaitExit(), 255));
    ASSERT_TRUE(WaitFor([&] { return !Registered(62103); })) << Identify();
    EXPECT_TRUE(Registered(62100));
    EXPECT_TRUE(Registered(62201));
    EXPECT_NE(Log().find("Module list after removing entry of port 62103\n"
                         "   Port=62100, Name=TestDriver"),
              std::string::npos)
        << Log();
}

TEST_F(SystemDriver, RegistrationErrorsKeepTheEarlierEntries)
{
    StartHub();
    const struct
    {
        std::string request;
        const char* error;
    } cases[] = {
        {"<RegisterModule Name=\"NoPort\"/>", "MissingPort"},
        {"<RegisterModule Name=\"AI:62104*1234#5\"/>", "WrongNumber"},
        {"<RegisterModule><Modules>"
         "<Module Name=\"Duf\" Port=\"62001\" VersionSW=\"v1.0.0\"/>"
         "<Module Name=\"AI\" Port=\"62101\" ON=\"12.345678\" SN=\"42\" Status=\"Booting\"/>"
         "<Module Name=\"Bad\" Port=\"0\"/>"
         "<Module Name=\"Late\" Port=\"62102\"/>"
         "</Modules></RegisterModule>",
         "WrongFormat"},
        {"<RemoveModule Name=\"Duf62001\"/>", "WrongName"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.error);
        const CReply reply = Request(kHead + c.request);
        EXPECT_TRUE(reply.Has(std::string("<Error Type=\"XmlError\" Name=\"") + c.error + "\""))
            << reply.sText;
    }
    const std::string identify = Identify();
    EXPECT_NE(identify.find(Port(62001)), std::string::npos) << identify;
    EXPECT_NE(identify.find("<OrderingNumber>12.345678</OrderingNumber>\n"
                            "\t\t\t<SerialNumber>000042</SerialNumber>"),
              std::string::npos)
        << identify;
    EXPECT_EQ(identify.find(Port(62102)), std::string::npos);
    EXPECT_EQ(identify.find(Port(62104)), std::string::npos);

    // Removing under another name keeps the entry; the right name removes it.
    EXPECT_FALSE(Request(kHead + "<RemoveModule Name=\"Other:62101\"/>").Has("<Errors"));
    EXPECT_TRUE(Registered(62101));
    Request(kHead + "<RemoveModule Name=\"AI:62101\"/>");
    EXPECT_FALSE(Registered(62101));
}

TEST_F(SystemDriver, ModuleErrorsChangeTheSlotOfTheirPort)
{
    StartHub();
    for (const char* port : {"62001", "62103", "62202", "62300"})
        EXPECT_EQ(Request(kHead + "<SetModuleError Slot=\"" + port + "\" Error=\"Overload &amp; " +
                          port + "\"/>")
                      .sRoot,
                  "SetModuleError");
    Request(kHead + "<ClearModuleError Slot=\"62103\"/>");
    const std::string log = Log();
    for (const char* line : {"Module error of Duf (port 62001): Overload & 62001",
                             "Module error of Module X4 (port 62103): Overload & 62103",
                             "Module error of Software module (port 62202): Overload & 62202",
                             "Module error of Unknown (port 62300): Overload & 62300",
                             "Module error of Module X4 (port 62103) cleared"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
}

TEST_F(SystemDriver, UserConfigFollowsTheSamplingPeriodPrecedence)
{
    StartHub();
    const struct
    {
        const char* request;
        const char* value;
    } steps[] = {
        {"", "SamplingPeriodInUs=-1;"},
        {"<SetSamplingPeriodInUs FiberOptic=\"50\"/>", "SamplingPeriodInUs=50;"},
        {"<SetSamplingPeriodInUs CPU=\"100\" />", "SamplingPeriodInUs=100;"},
        {"<SetSamplingPeriodInUs FiberOptic=\"25\" CPU=\"1\"/>", "SamplingPeriodInUs=100;"},
        {"<SetSamplingPeriodInUs CPU=\"0\"/>", "SamplingPeriodInUs=25;"},
    };
    for (const auto& step : steps)
    {
        SCOPED_TRACE(step.request);
        if (*step.request != '\0')
        {
            EXPECT_EQ(Request(kHead + step.request).sRoot, "SetSamplingPeriodInUs");
        }
        // The switches of the new device stand at 0 (the hub reads them once it has started).
        CReply reply;
        EXPECT_TRUE(WaitFor(
            [&]
            {
                reply = Request(kHead + "<GetUserConfig/>");
                return reply.Has(std::string("Value=\";hex=0x0;") + step.value + "\"");
            }))
            << reply.sText;
    }
}

TEST_F(SystemDriver, LedTestModesRunTheLedTest)
{
    StartHub();
    EXPECT_NE(Leds().find("test=off"), std::string::npos) << Leds();

    // Any mode but 0x81: the kernel's LED test and the test pattern of bus word 12.
    EXPECT_TRUE(Request(kHead + "<LEDTest Mode=\"1\"/>").Has("ActualValue=\"0x01\""));
    ASSERT_TRUE(WaitFor([&] { return Leds().find("test=on") != std::string::npos; })) << Leds();
    ASSERT_TRUE(WaitFor([&] { return Peek("0xC").find("0x80000000") != std::string::npos; }))
        << Peek("0xC");

    // 0x81: the family's sequence, which switches LED 2 on and off and lights bus word 28.
    Request(kHead + "<LEDTest Mode=\"0x81\"/>");
    // The simulated device keeps the last words shown, so a short step is not missed.
    const auto shownInOrder = [&]
    {
        const std::string leds = Leds();
        const size_t on = leds.find("0x00003000", leds.find("shown="));
        return on != std::string::npos && leds.find("0x00001000", on) != std::string::npos;
    };
    EXPECT_TRUE(WaitFor(shownInOrder)) << Leds();
    EXPECT_EQ(Peek("0x1C").find("0x00000000"), std::string::npos) << Peek("0x1C");

    EXPECT_TRUE(Request(kHead + "<LEDTest Mode=\"-1\"/>").Has("ActualValue=\"0x81\""));
    EXPECT_TRUE(Request(kHead + "<LEDTest Mode=\"300\"/>").Has("Name=\"UnknownMode\""));
    Request(kHead + "<LEDTest Mode=\"0\"/>");
    EXPECT_TRUE(WaitFor([&] { return Leds().find("test=off") != std::string::npos; })) << Leds();
    EXPECT_NE(Peek("0xC").find("0x80000000"), std::string::npos);
}

TEST_F(SystemDriver, StartupModeWritesTheDeviceNameAndEnds)
{
    // A valid EEPROM image with erased text behind it names the device; without one it is
    // the central-module variant.
    std::string image(512 + 510, '\xFF');
    std::fill(image.begin(), image.begin() + 512, '\0');
    image.replace(16, 6, "123456");
    image.replace(32, 9, "qorKOVE-8");
    image.replace(64, 9, "52.230010");
    const struct
    {
        const char* what;
        std::string eeprom;
        const char* name;
    } cases[] = {
        {"no EEPROM", "", "qorKOVE-Z-TM\n"},
        {"EEPROM image", image, "qorKOVE-8\n"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        CSimDevice device;
        const std::string directory = device.Path("/Applications/tmp/Driver/systemdriver");
        if (!c.eeprom.empty())
        {
            std::filesystem::create_directories(directory);
            std::ofstream(directory + "/EEProm.bin", std::ios::binary) << c.eeprom;
        }
        const std::string nameFile = device.Path("/tmp/devicename");
        std::filesystem::create_directories(device.Path("/tmp"));
        CTestProcess hub(device, "systemdriver", {"-Startup=" + nameFile});
        EXPECT_TRUE(ExitedWith(hub.WaitExit(), 0)) << hub.Output();
        EXPECT_EQ(ReadFile(nameFile), c.name) << hub.Output();
        EXPECT_EQ(device.Tool("leds").find("test=on"), std::string::npos);
    }
}

TEST_F(SystemDriver, StartupModeMarksTheDataPartitionWhenTheHardwareAsksForFactoryDefaults)
{
    CSimDevice device({"--factory-button", "on"});
    const std::string partition = device.Path("/dev/mtd_data");
    std::ofstream(partition, std::ios::binary) << "KCFG" << std::string(60, 'x');
    CTestProcess hub(device, "systemdriver", {"-Startup=" + device.Path("/name")});
    EXPECT_TRUE(ExitedWith(hub.WaitExit(), 0)) << hub.Output();
    EXPECT_NE(hub.Output().find("\n****Set Factory Default: Write 32*****\n"), std::string::npos)
        << hub.Output();
    EXPECT_EQ(ReadFile(partition).substr(0, 32),
              std::string(16, '\xFF') + std::string("Factory-Default", 16));
}

// The simulated device records the reboot command and stays up, as a device whose reboot failed.
TEST_F(SystemDriver, APendingRebootIsTriedAfterEveryRequestWhileTheDeviceStaysUp)
{
    // A pass of the reboot sequence pauses 2 s; this allows several on a loaded machine or under
    // an emulator.
    constexpr std::chrono::seconds kRebootWait(30);
    StartHub();
    const auto reboots = [&]
    {
        const std::string commands = ReadFile(tDevice.Path("/commands.log"));
        size_t count = 0;
        for (size_t at = commands.find("reboot\n"); at != std::string::npos;
             at = commands.find("reboot\n", at + 1))
            ++count;
        return count;
    };
    EXPECT_EQ(Request(kHead + "<Reboot/>").sRoot, "Reboot");
    ASSERT_TRUE(WaitFor([&] { return reboots() == 1; }, kRebootWait)) << pHub->Output();
    for (size_t attempt = 2; attempt <= 3; ++attempt)
    {
        EXPECT_EQ(Request(kHead + "<Ping/>").sRoot, "Ping");
        ASSERT_TRUE(WaitFor([&] { return reboots() == attempt; }, kRebootWait));
    }
    EXPECT_NE(Log().find("Rebooting the device, attempt 3"), std::string::npos) << Log();

    // A Reboot request while reboots are forbidden ends the attempts.
    Request(kHead + "<Reboot Config=\"ForbidReboot\"/>");
    ASSERT_TRUE(WaitFor([&] { return reboots() == 4; }, kRebootWait));
    EXPECT_EQ(Request(kHead + "<Reboot/>").sRoot, "Reboot");
    // The hub serves one request at a time: the passes after the Reboot and the first Ping
    // are over once the second Ping is answered.
    for (int ping = 0; ping < 2; ++ping)
        EXPECT_EQ(Request(kHead + "<Ping/>").sRoot, "Ping");
    EXPECT_EQ(reboots(), 4u);
}

TEST_F(SystemDriver, EndDriverEndsInOrder)
{
    StartHub();
    const CReply reply = Request(
        kHead +
        "<Debug><Properties><Property Name=\"EndDriver\" Value=\"\"/></Properties></Debug>");
    EXPECT_TRUE(reply.Has("Name=\"UserBreak\"")) << reply.sText;
    EXPECT_TRUE(ExitedWith(pHub->WaitExit(), 0)) << pHub->Output();
    EXPECT_NE(Log().find("System Communication ERROR"), std::string::npos);
}
} // namespace
