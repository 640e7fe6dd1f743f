// The hub's command dispatch and simple commands: which requests it serves, storing the
// configuration, the user-configuration string, the sampling period, the LED test mode, the
// fast blinking, and the lock and message sends between requests.
#include "SystemTestSupport.h"

#include <fstream>

#include "FakeHub.h"

namespace
{
const std::string kHead = "<?xml version=\"1.0\"?>\n";

TEST_F(SystemUnit, DispatchServesTheSystemCommandsOnly)
{
    CTestSystem& system = System();
    // A binary request is refused before the document is looked at.
    EXPECT_EQ(system.ProcessUnknownXmlTag(0x80000000u | 20u), -256);
    EXPECT_EQ(system.ProcessUnknownXmlTag(0x80000000u | 27u), -256);
    for (const char* tag : {"System", "CompatibilityList", "Device", "Version"})
    {
        SCOPED_TRACE(tag);
        EXPECT_EQ(system.Request(kHead + "<" + tag + "/>"), -256);
    }
    EXPECT_EQ(system.Request(kHead + "<GetUserConfig/>"), 0);
}

TEST_F(SystemUnit, StoreConfigurationIsDoneOnlyWhenTheRecordIsWrittenUnlessSavingIsForbidden)
{
    CTestSystem& system = System();
    const std::string partition = DevicePath("/dev/mtd_data");
    const std::string fault = DevicePath("/dev/fail-write.mtd_data");
    std::ofstream(fault) << "";
    EXPECT_EQ(system.Request(kHead + "<StoreConfiguration Status=\"old\"/>"), 0);
    EXPECT_EQ(system.ReplyAttribute("Status"), "ERROR");
    EXPECT_NE(
        system.ReplyText().find("<Error Type=\"GeneralError\" Name=\"CanNotStoreConfiguration\" "
                                "Text=\"Error while trying to store configuration on disk\""),
        std::string::npos)
        << system.ReplyText();
    EXPECT_EQ(kovetest::ReadFile(partition).substr(0, 4), std::string(4, '\xFF'));

    std::remove(fault.c_str());
    system.Request(kHead + "<StoreConfiguration/>");
    EXPECT_EQ(system.ReplyAttribute("Status"), "Done");
    EXPECT_EQ(kovetest::ReadFile(partition).substr(0, 4), "KCFG");

    std::ofstream(fault) << "";
    system.Request(kHead + "<ForbidConfigSave/>");
    EXPECT_EQ(system.ReplyAttribute("Status"), "<none>");
    system.Request(kHead + "<StoreConfiguration/>");
    EXPECT_EQ(system.ReplyAttribute("Status"), "Done");
    EXPECT_EQ(system.ReplyText().find("<Errors"), std::string::npos);
}

TEST_F(SystemUnit, SamplingPeriodPrecedenceSeenThroughGetUserConfig)
{
    CTestSystem& system = System();
    system.iHexSwitchInUse = 5;
    const struct
    {
        const char* attributes;
        const char* value;
    } steps[] = {
        {"", ";hex=0x5;SamplingPeriodInUs=-1;"},
        // Neither period above 0: the effective one stays.
        {"CPU=\"-3\"", ";hex=0x5;SamplingPeriodInUs=-1;"},
        {"FiberOptic=\"50\"", ";hex=0x5;SamplingPeriodInUs=50;"},
        {"CPU=\"100\"", ";hex=0x5;SamplingPeriodInUs=100;"},
        // Both given: only the fiber-optic period is taken, and the CPU period still wins.
        {"FiberOptic=\"20\" CPU=\"7\"", ";hex=0x5;SamplingPeriodInUs=100;"},
        {"CPU=\"0\"", ";hex=0x5;SamplingPeriodInUs=20;"},
        {"CPU=\"12.5\"", ";hex=0x5;SamplingPeriodInUs=12.5;"},
    };
    for (const auto& step : steps)
    {
        SCOPED_TRACE(step.attributes);
        if (*step.attributes != '\0')
            system.Request(kHead + "<SetSamplingPeriodInUs " + step.attributes + "/>");
        EXPECT_EQ(system.Request(kHead + "<GetUserConfig Value=\"old\"/>"), 0);
        EXPECT_EQ(system.ReplyAttribute("Value"), step.value);
    }
    system.iHexSwitchInUse = -1;
    system.Request(kHead + "<GetUserConfig/>");
    EXPECT_EQ(system.ReplyAttribute("Value"), ";hex=0xFFFFFFFF;SamplingPeriodInUs=12.5;");
}

TEST_F(SystemUnit, LedTestModeAndFastBlinking)
{
    CTestSystem& system = System();
    const struct
    {
        const char* mode;
        const char* error;
        int32_t modeAfter;
        const char* actualValue;
    } cases[] = {
        {"Mode=\"15\"", "", 15, "0x0F"},
        {"Mode=\"-1\"", "", 15, "0x0F"},
        {"Mode=\"256\"", "UnknownMode", 15, "<none>"},
        {"Mode=\"-2\"", "UnknownMode", 15, "<none>"},
        {"Mode=\"0x81\"", "", 0x81, "0x81"},
        {"", "", 0, "0x00"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.mode);
        EXPECT_EQ(system.RequestError(kHead + "<LEDTest " + c.mode + "/>"), c.error);
        EXPECT_EQ(system.iLedTestMode, c.modeAfter);
        EXPECT_EQ(system.ReplyAttribute("ActualValue"), c.actualValue);
    }

    const struct
    {
        const char* attribute;
        bool fast;
    } rates[] = {
        {"FastBlinking=\"true\"", true}, {"FastBlinking=\"yes\"", false},
        {"FastBlinking=\"1\"", true},    {"FastBlinking=\"FALSE\"", false},
        {"FastBlinking=\"TRUE\"", true}, {"", false},
    };
    for (const auto& r : rates)
    {
        SCOPED_TRACE(r.attribute);
        system.Request(kHead + "<SetL1Rate " + r.attribute + "/>");
        EXPECT_EQ(system.bFastBlinking, r.fast);
    }
}

TEST_F(SystemUnit, PendingLockIsSentOnceWithTheNameEscaped)
{
    kovetest::CFakeHub module(0);
    ASSERT_TRUE(module.Start());
    CTestSystem& system = System();
    system.iLockPort = module.Port();
    system.sLockName = "AI \"new\" <&>";
    system.SendPendingLock();
    system.SendPendingLock();
    ASSERT_EQ(module.Count("Lock"), 1);
    const kovetest::CHubRequest lock = module.Requests("Lock")[0];
    EXPECT_EQ(lock.sDocument, sXmlStart + "<Lock Name=\"AI &quot;new&quot; &lt;&amp;&gt;\" "
                                          "Value=\"-2\" Signature=\"ZRMonitor\" />");
    EXPECT_EQ(system.iLockPort, 0);
}

TEST_F(SystemUnit, APendingRebootIsTriedAgainUntilTheDeviceGoesDown)
{
    CTestSystem& system = System();
    system.ProcessPendingReboot();
    const std::string log = DevicePath("/commands.log");
    EXPECT_EQ(kovetest::ReadFile(log), "");

    // The simulated device stays up: every pass tries again.
    system.bRebootPending = true;
    system.ProcessPendingReboot();
    system.ProcessPendingReboot();
    EXPECT_EQ(kovetest::ReadFile(log), "reboot\nreboot\n");
    EXPECT_TRUE(system.bRebootPending);
    EXPECT_NE(system.LogText().find("Rebooting the device, attempt 2"), std::string::npos);
}

TEST_F(SystemUnit, AHangingRebootCommandNeitherHoldsTheHubNorRunsTwice)
{
    // A pass of the reboot sequence pauses 2 s before it starts the command. The waits below
    // allow several passes and program starts on a loaded machine, or under an emulator.
    constexpr std::chrono::seconds kPassesWait(30);
    CTestSystem& system = System();
    const std::string started = DevicePath("/started");
    const std::string release = DevicePath("/release");
    // A reboot command that fails after it was let go.
    system.vRebootCommand = {"sh", "-c",
                             "echo x >> '" + started + "'; while [ ! -e '" + release +
                                 "' ]; do sleep 0.05; done; exit 3"};
    system.iRebootWaitMs = 100;
    system.bRebootPending = true;
    system.ProcessPendingReboot();
    EXPECT_NE(system.LogText().find("The reboot command has not ended within 100 ms"),
              std::string::npos);
    ASSERT_TRUE(
        kovetest::WaitFor([&] { return kovetest::ReadFile(started) == "x\n"; }, kPassesWait));
    // While it runs, a pass starts nothing.
    system.ProcessPendingReboot();
    EXPECT_EQ(system.LogText().find("attempt 2"), std::string::npos);

    // Once it has ended, the next pass reaps it and tries again, once.
    std::ofstream(release).close();
    ASSERT_TRUE(kovetest::WaitFor(
        [&]
        {
            system.ProcessPendingReboot();
            return system.LogText().find("Rebooting the device, attempt 2") != std::string::npos;
        },
        kPassesWait));
    EXPECT_NE(system.LogText().find("The reboot command failed"), std::string::npos);
    EXPECT_TRUE(
        kovetest::WaitFor([&] { return kovetest::ReadFile(started) == "x\nx\n"; }, kPassesWait))
        << kovetest::ReadFile(started);
    EXPECT_EQ(system.LogText().find("attempt 3"), std::string::npos);
}

TEST_F(SystemUnit, DetachedSendGoesOutOnceTheCommandConnectionIsFree)
{
    kovetest::CFakeHub receiver(0);
    ASSERT_TRUE(receiver.Start());
    CTestSystem& system = System();
    EXPECT_FALSE(StartDetachedSend(&system, "", 0, static_cast<uint16_t>(receiver.Port())).bValid);
    EXPECT_FALSE(StartDetachedSend(&system, sXmlStart + "<Ping/>", 0, 0).bValid);
    EXPECT_FALSE(SendMessageDetachedThread(&system, nullptr, 1));

    ASSERT_TRUE(StartDetachedSend(&system, sXmlStart + "<Ping Name=\"late\"/>", 0,
                                  static_cast<uint16_t>(receiver.Port()))
                    .bValid);
    ASSERT_TRUE(receiver.WaitForRequests("Ping", 1));
    EXPECT_EQ(receiver.Requests("Ping")[0].Attribute("Name"), "late");
    EXPECT_TRUE(system.StopSystemThreads(5000));
}
} // namespace
