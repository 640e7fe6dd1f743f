// Bus access of a driver on a simulated device: without -Simulate the driver reaches the
// simulated FPGA (its identification word and its bus words), with -Simulate its own
// simulation buffer.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "FakeHub.h"
#include "KovePlatform.h"
#include "KoveTestSupport.h"
#include "QTX.h"
#include "QTXVersion.h"

using namespace kovetest;

namespace
{
TEST(BusAccess, TheDriverUsesTheSimulatedFpgaUnlessItSimulates)
{
    const struct
    {
        std::vector<std::string> arguments;
        const char* report;
        const char* written; // the bus word at 0x1004 afterwards
    } cases[] = {
        {{"-Slot=3", "-Startup=bus"}, "HWFamily=3 Bus[0x1000]=0x12345678\n", "5A5A0001"},
        {{"-Slot=3", "-Startup=bus", "-Simulate"},
         "HWFamily=11 Bus[0x1000]=0xDEADCAFE\n",
         "00000000"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.report);
        CFakeHub hub; // a driver on real hardware must reach the system driver
        ASSERT_TRUE(hub.Start());
        CSimDevice device({"--family", "WAG"});
        std::filesystem::create_directories(device.Path("/Applications/tmp/Driver/log"));
        device.Tool("poke", {"0x1000", "0x12345678"});

        CTestProcess driver(device, "qtxtestdriver", c.arguments);
        ASSERT_TRUE(driver.WaitForPort(62103)) << driver.Output();
        EXPECT_NE(driver.Output().find(c.report), std::string::npos) << driver.Output();
        const std::string word = device.Tool("peek", {"0x1004"});
        EXPECT_NE(word.find(c.written), std::string::npos) << word;
        driver.Signal(SIGTERM);
        driver.WaitExit();
    }
}

// A driver object of this process on the FPGA device of a simulated device; no system driver
// answers.
class CVersionDriver : public CQTX
{
public:
    std::string GetModuleName() override { return "qorQM8xICP"; }
    void InitCQTX() override {}
    void BootHardware() override {}
    bool ParseAndCheckConfiguration(int& /*setIndex*/) override { return true; }
    void SetHardwareConfiguration() override {}

    void Prepare(const std::string& directory, uint32_t base)
    {
        sDirectory = directory;
        sModuleName = GetModuleName();
        ulBpbBaseAddress = base;
    }
    void Calibrated(const std::string& calibration, const std::string& calibrator)
    {
        sCalibration = calibration;
        sCalibrator = calibrator;
    }
};

class VersionWithoutSystem : public testing::Test
{
protected:
    VersionWithoutSystem()
    {
        setenv("KOVE_SIM", tDevice.Dir().c_str(), 1);
        PlatReloadSimulation();
    }
    ~VersionWithoutSystem() override
    {
        unsetenv("KOVE_SIM");
        PlatReloadSimulation();
    }

    CSimDevice tDevice;
    CTempDir tDir;
};

TEST_F(VersionWithoutSystem, OnlyTheFpgaVersionWordIsKnown)
{
    const struct
    {
        uint32_t base;
        const char* versionAddress;
    } cases[] = {
        {0x00400000, "0x00400004"}, // relative word 4
        {0xA0400000, "0xBFF00000"}, // upper bus range: (base AND 0xE0000000) OR 0x1FF00000
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.versionAddress);
        tDevice.Tool("poke", {c.versionAddress, "0x0102ABCD"});
        CVersionDriver driver;
        driver.Prepare(tDir.Path() + "/", c.base);
        _QTXVersionInfo info;
        memset(&info, 0x77, sizeof info);
        driver.GetVersionInfo(&info);
        EXPECT_EQ(0x0102ABCDu, info.ulFpgaVersion);
        EXPECT_EQ(0u, info.ulSwVersion);
        EXPECT_EQ(0u, info.ulSerialNumber);
        EXPECT_EQ('\0', info.acName[0]);

        CQTXXml reply;
        ASSERT_TRUE(reply.New("Diagnostic", nullptr));
        reply.GetXMLNodeRoot().addChild("DeviceVersion").addChild("Old");
        ASSERT_TRUE(driver.AddDeviceVersionToXml(&reply, 0));
        XMLNode root = reply.GetXMLNodeRoot();
        ASSERT_EQ(1, root.nChildNode("DeviceVersion"));
        XMLNode version = root.getChildNode("DeviceVersion");
        EXPECT_STREQ("v00.00.000", version.getChildNode("VersionSW").getText());
        EXPECT_EQ(nullptr, version.getChildNode("VersionHW").getText());
        EXPECT_STREQ("0x0102ABCD", version.getChildNode("VersionFPGA").getText());
        EXPECT_STREQ("000000", version.getChildNode("SerialNumber").getText());
        EXPECT_TRUE(version.getChildNode("CalibrationInfo").isEmpty());
        EXPECT_TRUE(version.getChildNode("Old").isEmpty());
    }
}

TEST_F(VersionWithoutSystem, CalibrationInfoNamesTheCalibratorWhenThereIsOne)
{
    CVersionDriver driver;
    driver.Prepare(tDir.Path() + "/", 0);
    const struct
    {
        const char* calibration;
        const char* calibrator;
        const char* text; // null: no element
    } cases[] = {
        {"", "Lab", nullptr},
        {"2024-01-05", "", "2024-01-05"},
        {"2024-01-05", "Lab", "2024-01-05 by Lab"},
    };
    for (const auto& c : cases)
    {
        driver.Calibrated(c.calibration, c.calibrator);
        CQTXXml reply;
        ASSERT_TRUE(reply.New("Diagnostic", nullptr));
        ASSERT_TRUE(driver.AddDeviceVersionToXml(&reply, 0));
        XMLNode info =
            reply.GetXMLNodeRoot().getChildNode("DeviceVersion").getChildNode("CalibrationInfo");
        if (c.text == nullptr)
            EXPECT_TRUE(info.isEmpty());
        else
            EXPECT_STREQ(c.text, info.getText());
    }
    CQTXXml empty;
    EXPECT_FALSE(driver.AddDeviceVersionToXml(&empty, 0));
}
} // namespace
