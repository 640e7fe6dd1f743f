// The compatibility list, the firmware version from the boot image's stamp, and the switch
// inputs per hardware family.
#include "SystemTestSupport.h"

#include <cstdio>
#include <fcntl.h>

#include "Cdi.h"

namespace
{
void Write(const std::string& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary) << data;
}

// Writes the version stamp into the last 128 bytes of a partition file, keeping its size.
void WriteStamp(const std::string& partition, const std::string& stamp)
{
    std::fstream file(partition, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(-128, std::ios::end);
    file.write(stamp.data(), static_cast<std::streamsize>(stamp.size()));
}

TEST(SystemVersions, FirmwareVersionFromTheStamp)
{
    const struct
    {
        std::string stamp;
        const char* version;
    } cases[] = {
        {"0102003-004xxxx", "v01.02.003-RC4"},
        {"0102003-010xxxx", "v01.02.003-RC10"},
        {"0102003-000xxxx", "v01.02.003-RC0"},
        {"0203004 image s", "v02.03.004"},
        {"010200x-004xxxx", ""},
        {std::string(15, '\xFF'), ""},
        {"0102003", ""}, // fewer than 15 bytes were read
    };
    for (const auto& c : cases)
        EXPECT_EQ(FirmwareVersionFromStamp(c.stamp.data(), c.stamp.size()), c.version) << c.stamp;
}

TEST_F(SystemUnit, WithoutAListEveryModuleFitsAndTheBootImageGivesTheVersion)
{
    CTestSystem& system = System();
    WriteStamp(DevicePath("/dev/mtd_boot"), "0102003-004");
    LoadCompatibilityList(&system, "/tmp/Compatibility.xml");
    EXPECT_FALSE(system.bCompatibilityListLoaded);
    EXPECT_EQ(GetCompatibilityVersion(&system, ""), "v01.02.003-RC4");
    EXPECT_TRUE(IsCompatible(&system, "AI", "v0.0.1"));

    // A malformed list counts as none.
    Write(DevicePath("/tmp/Compatibility.xml"), "<Compatibility><Modules>");
    LoadCompatibilityList(&system, "/tmp/Compatibility.xml");
    EXPECT_FALSE(system.bCompatibilityListLoaded);
    EXPECT_TRUE(IsCompatible(&system, "AI", "v0.0.1"));
}

TEST_F(SystemUnit, ListGivesTheFirmwareVersionAndTheCompatibleModuleVersions)
{
    CTestSystem& system = System();
    Write(DevicePath("/tmp/Compatibility.xml"),
          "<?xml version=\"1.0\"?>\n<Compatibility>\n"
          "<OverallRelease><Version>3</Version><SubVersion>4</SubVersion><Build>5</Build>"
          "</OverallRelease>\n<Modules>\n"
          "<Module><Name>AI</Name><Version>v1.0.0</Version><Version>v1.1.0</Version></Module>\n"
          "<Module><Name>DO</Name><Version>v2.0.0</Version></Module>\n"
          "</Modules></Compatibility>\n");
    LoadCompatibilityList(&system, "/tmp/Compatibility.xml");
    EXPECT_TRUE(system.bCompatibilityListLoaded);
    EXPECT_EQ(GetCompatibilityVersion(&system, ""), "v3.4.5");
    EXPECT_EQ(GetCompatibilityVersion(&system, "do"), "v2.0.0");
    EXPECT_EQ(GetCompatibilityVersion(&system, "XX"), "");
    EXPECT_TRUE(IsCompatible(&system, "ai", "V1.1.0"));
    EXPECT_FALSE(IsCompatible(&system, "AI", "v2.0.0"));
    EXPECT_FALSE(IsCompatible(&system, "XX", "v1.0.0"));
    EXPECT_TRUE(IsCompatible(&system, "qorKOVE-Z-TM", "v9.9.9"));

    // Without OverallRelease the overall entry is there with an empty version.
    Write(DevicePath("/tmp/Compatibility.xml"),
          "<Compatibility><Modules><Module><Name>AI</Name><Version>v1</Version></Module>"
          "</Modules></Compatibility>");
    LoadCompatibilityList(&system, "/tmp/Compatibility.xml");
    EXPECT_TRUE(system.bCompatibilityListLoaded);
    ASSERT_FALSE(system.vCompatibilityList.empty());
    EXPECT_EQ(system.vCompatibilityList[0].sName, "");
    EXPECT_EQ(system.vCompatibilityList[0].sVersion, "");
    EXPECT_TRUE(IsCompatible(&system, "AI", "v1"));
}

TEST_F(SystemUnit, SwitchInputsFollowTheWiringOfEachFamily)
{
    m_pSystem.reset(); // each case below is a device of its own
    const struct
    {
        const char* family;
        const char* hex;
        uint32_t unit, second, nibble3, word4;
    } cases[] = {
        {"0x00880000", "9,6,0,0", 6, 9, 0, 0}, {"WAG", "9,6,0,0", 6, 9, 0, 0},
        {"KV4", "9,6,0,0", 6, 0, 0, 0},        {"PDP", "9,6,0,0", 6, 9, 0, 0},
        {"VME", "9,6,3,200", 6, 9, 3, 200},    {"LIO", "9,6,3,0", 6, 0, 3, 0},
        {"KV8", "9,6,0,0", 6, 9, 0, 0},        {"PNA", "9,6,0,0", 6, 0, 0, 0},
        {"DAQ", "9,6,0,0", 0, 0, 0, 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.family);
        kovetest::CSimDevice device({"--family", c.family, "--hex", c.hex});
        setenv("KOVE_SIM", device.Dir().c_str(), 1);
        PlatReloadSimulation();
        {
            CTestSystem system(device.Path("/Applications/tmp/Driver"));
            // The hub opens the CDI device at start: the hex-switch record and the button
            // input of several families come from there.
            ASSERT_EQ(CdiOpen(), 0);
            system.iGPIOFile = PlatOpen("/dev/gpio", O_RDWR);
            ASSERT_GE(system.iGPIOFile, 0);
            EXPECT_EQ(ReadUnitNumber(&system), c.unit);
            EXPECT_EQ(ReadSecondHexSwitch(&system), c.second);
            EXPECT_EQ(ReadSwitchNibble3(&system), c.nibble3);
            EXPECT_EQ(ReadSwitchWord4(&system), c.word4);
            EXPECT_EQ(ReadFactoryButton(&system), 0u);
            device.Tool("button", {"on"});
            EXPECT_EQ(ReadFactoryButton(&system), 1u);
            PlatClose(system.iGPIOFile);
            system.iGPIOFile = -1;
            CdiClose();
        }
    }

    // Family 8 wires its second switch in its own order: line 84 alone is switch value 4.
    kovetest::CSimDevice device({"--family", "KV8"});
    setenv("KOVE_SIM", device.Dir().c_str(), 1);
    PlatReloadSimulation();
    device.Tool("switch", {"84", "on"});
    CTestSystem system(device.Path("/Applications/tmp/Driver"));
    EXPECT_EQ(ReadSecondHexSwitch(&system), 0xFFFFFFFFu); // no GPIO device open
    system.iGPIOFile = PlatOpen("/dev/gpio", O_RDWR);
    EXPECT_EQ(ReadSecondHexSwitch(&system), 4u);
    EXPECT_EQ(GpioReadBits(system.iGPIOFile, 84, 4), 1u);
    PlatClose(system.iGPIOFile);
    system.iGPIOFile = -1;
    setenv("KOVE_SIM", DevicePath("").c_str(), 1);
    PlatReloadSimulation();
}
} // namespace
