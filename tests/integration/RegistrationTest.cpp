// A driver's messages to the system driver, received by a fake hub on 127.0.0.1:62000:
// registration, module errors, the user configuration and the removal at the end.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <future>
#include <sys/wait.h>

#include "FakeHub.h"
#include "KoveSimConfig.h"
#include "KoveTestSupport.h"
#include "QTX.h"

using namespace kovetest;

namespace
{
std::vector<std::string> Roots(const std::vector<CHubRequest>& requests)
{
    std::vector<std::string> roots;
    for (const auto& request : requests)
        roots.push_back(request.sRoot);
    return roots;
}

TEST(Registration, TestDriverRegistersReportsFetchesAndUnregisters)
{
    CFakeHub hub;
    ASSERT_TRUE(hub.Start());
    hub.SetReply("GetUserConfig", sXmlStart + "<GetUserConfig Value=\";hex=0x5;"
                                              "SamplingPeriodInUs=10;\" />\n");
    CSimDevice device;
    CTestProcess driver(device, "qtxtestdriver", {"-Slot=3", "-Startup=messages"});

    ASSERT_TRUE(hub.WaitForRequests("GetUserConfig", 1))
        << ::testing::PrintToString(Roots(hub.Requests())) << driver.Output();
    ASSERT_TRUE(WaitFor([&] { return driver.Output().find("UserConfig=") != std::string::npos; }));
    EXPECT_NE(driver.Output().find("UserConfig=;hex=0x5;SamplingPeriodInUs=10;\n"),
              std::string::npos)
        << driver.Output();
    EXPECT_EQ(Roots(hub.Requests()),
              (std::vector<std::string>{"RegisterModule", "SetModuleError", "ClearModuleError",
                                        "GetUserConfig"}));

    const std::vector<CHubRequest> requests = hub.Requests();
    EXPECT_EQ(requests[0].Attribute("Name"), "TestDriver:62103");
    EXPECT_EQ(requests[1].Attribute("Slot"), "62103");
    EXPECT_EQ(requests[1].Attribute("Error"), "TestFault: Pump <1> & \"valve\"");
    // The texts are escaped in the document, so that it stays well-formed.
    EXPECT_NE(requests[1].sDocument.find("Pump &lt;1&gt; &amp; &quot;valve&quot;"),
              std::string::npos)
        << requests[1].sDocument;
    EXPECT_EQ(requests[2].Attribute("Slot"), "62103");

    driver.Signal(SIGTERM);
    ASSERT_TRUE(hub.WaitForRequests("RemoveModule", 1)) << driver.Output();
    EXPECT_EQ(hub.Requests("RemoveModule")[0].Attribute("Name"), "TestDriver:62103");
    int status = driver.WaitExit();
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 255) << status;
}

// A driver object of this process with the identity the test gives it; it is not started.
class CRegisteringDriver : public CQTX
{
public:
    CRegisteringDriver(const std::string& name, uint32_t port, bool simulate)
    {
        sModuleName = name;
        sFileName = "Registering";
        ulPort = port;
        bSimulate = simulate;
    }
    // Nothing more to remove at the release.
    ~CRegisteringDriver() override { ulPort = 0; }

    std::string GetModuleName() override { return sModuleName; }
    void InitCQTX() override {}
    void BootHardware() override {}
    bool ParseAndCheckConfiguration(int&) override { return true; }
    void SetHardwareConfiguration() override {}

    void SetStamp(const std::string& order, const std::string& serial, const std::string& hw,
                  const std::string& sw)
    {
        sOrderNumber = order;
        sSerialNumber = serial;
        sHwVersion = hw;
        sSwVersion = sw;
    }
};

// In-process drivers write their log and event files into a simulated device of their own.
class InProcessRegistration : public testing::Test
{
protected:
    void SetUp() override
    {
        sSavedRoot = sQTXRootDirectory;
        setenv("KOVE_SIM", tDevice.Path().c_str(), 1);
        SimConfigReload();
    }
    // The device goes with the test: the tests after it see the paths of the host again.
    void TearDown() override
    {
        sQTXRootDirectory = sSavedRoot;
        unsetenv("KOVE_SIM");
        SimConfigReload();
    }

    CTempDir tDevice;
    std::string sSavedRoot;
};

TEST_F(InProcessRegistration, DocumentsCarryTheStampAndEscapedTexts)
{
    CFakeHub hub;
    ASSERT_TRUE(hub.Start());
    unsigned char bus[16] = {0, 0, 0, 0, 0xCD, 0x12, 0xAB, 0x00};

    const struct
    {
        const char* order;
        const char* expectedName;
    } cases[] = {
        {"", "A&B<1>:62105"}, // no stamp: name and port only
        {"12.345678", "A&B<1>:62105*12.345678#4711+01,v1.2.3!0x00AB12CD"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.order);
        CRegisteringDriver driver("A&B<1>", 62105, true);
        driver.SetBPBSimulationBuffer(bus, sizeof bus);
        driver.SetStamp(c.order, "4711", "01", "v1.2.3");
        driver.RegisterDevice();
        ASSERT_FALSE(hub.Requests("RegisterModule").empty());
        const CHubRequest request = hub.Requests("RegisterModule").back();
        EXPECT_EQ(request.Attribute("Name"), c.expectedName);
        EXPECT_NE(request.sDocument.find("Name=\"A&amp;B&lt;1&gt;:62105"), std::string::npos)
            << request.sDocument;
        EXPECT_EQ(request.sDocument,
                  sXmlStart + "<RegisterModule Name=\"" + EscapeXmlValue(c.expectedName) + "\" />");
    }

    CRegisteringDriver driver("A&B<1>", 62105, true);
    driver.SetModuleError(CQTXError("Overload", "Channel \"3\" > 10 V", nullptr, 0, Warning));
    driver.ClearModuleError();
    driver.UnregisterDevice();
    const std::vector<CHubRequest> requests = hub.Requests();
    ASSERT_EQ(Roots(requests),
              (std::vector<std::string>{"RegisterModule", "RegisterModule", "SetModuleError",
                                        "ClearModuleError", "RemoveModule"}));
    EXPECT_EQ(requests[2].Attribute("Slot"), "62105");
    EXPECT_EQ(requests[2].Attribute("Error"), "Overload: Channel \"3\" > 10 V");
    EXPECT_EQ(requests[3].sDocument, sXmlStart + "<ClearModuleError Slot=\"62105\" />");
    EXPECT_EQ(requests[4].Attribute("Name"), "A&B<1>:62105");
}

TEST_F(InProcessRegistration, WithoutHubRegistrationFailsOnlyWithHardware)
{
    CRegisteringDriver simulating("Sim", 62106, true);
    CRegisteringDriver hardware("Hw", 62107, false);
    CRegisteringDriver leaving("Gone", 62108, true);
    auto expectSystemError = [](CQTX& driver, void (CQTX::*step)(), const char* parameter)
    {
        try
        {
            (driver.*step)();
            ADD_FAILURE() << "no error for " << parameter;
        }
        catch (CQTXError& error)
        {
            EXPECT_EQ(error.ErrorText(), "SystemError");
            EXPECT_EQ(error.ErrorParameter(), parameter);
            EXPECT_EQ(error.ErrorType(), "CommunicationError");
        }
    };
    // Each waits for the full time-out of 5 s, so they run side by side.
    auto simulated = std::async(std::launch::async, [&] { simulating.RegisterDevice(); });
    auto withHardware = std::async(
        std::launch::async,
        [&] { expectSystemError(hardware, &CQTX::RegisterDevice, "Can not register device"); });
    auto removal = std::async(
        std::launch::async,
        [&] { expectSystemError(leaving, &CQTX::UnregisterDevice, "Can not unregister device"); });
    EXPECT_NO_THROW(simulated.get());
    withHardware.get();
    removal.get();
}

TEST_F(InProcessRegistration, ClearModuleErrorGivesUpAfterFiftyUnansweredTries)
{
    CFakeHub hub;
    ASSERT_TRUE(hub.Start());
    hub.SetNoReply("ClearModuleError");
    CRegisteringDriver driver("Clear", 62109, true);
    driver.ClearModuleError();
    EXPECT_EQ(hub.Count("ClearModuleError"), 50);
}
} // namespace
