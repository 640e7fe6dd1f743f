// The hub's identity at start-up (EEPROM image and the SystemInfo block made from it) and the
// LED test steps.
#include "SystemTestSupport.h"

#include <cstring>
#include <vector>

namespace
{
const char kCentralModuleBlock[] =
    "\n\t<SystemInfo>\n"
    "\t\t<Name>qorKOVE-Z-TM</Name>\n"
    "\t\t<OrderingNumber>(see modules)</OrderingNumber>\n"
    "\t\t<SerialNumber>(see modules)</SerialNumber>\n"
    "\t\t<VersionHW>--</VersionHW>\n"
    "\t\t<NumberOfModuleSlots>4</NumberOfModuleSlots> <!-- CPU does not count here-->\n"
    "\t</SystemInfo>\n";

// A valid image with the given name; text bytes follow when given (without them the file is
// the image alone).
std::vector<unsigned char> Eeprom(const std::string& name, const std::string& text = "",
                                  size_t textBytes = 0)
{
    std::vector<unsigned char> file(512 + textBytes, 0xFF);
    std::fill(file.begin(), file.begin() + 512, 0);
    memcpy(&file[16], "123456789012345", 15);
    memcpy(&file[32], name.data(), name.size() < 32 ? name.size() : 32);
    memcpy(&file[64], "52.230010", 9);
    memcpy(&file[128], "B3xyz", 5);
    const unsigned char mac[6] = {0x00, 0x10, 0xC4, 0x01, 0x02, 0x03};
    memcpy(&file[144], mac, 6);
    memcpy(&file[512], text.data(), text.size() < textBytes ? text.size() : textBytes);
    return file;
}

TEST(SystemEeprom, ImageFieldsAndTheSystemInfoBlock)
{
    // Image alone: no text follows, so the block of the central-module variant.
    std::vector<unsigned char> file = Eeprom("qorKOVE-8");
    SystemEepromIdentity identity = DecodeSystemEeprom(file.data(), file.size(), true);
    EXPECT_TRUE(identity.bImageValid);
    EXPECT_FALSE(identity.bTextRead);
    EXPECT_EQ(identity.sName, "qorKOVE-8");
    EXPECT_EQ(identity.sSerialNumber, "123456789012345");
    EXPECT_EQ(identity.sOrderingNumber, "52.230010");
    EXPECT_EQ(identity.sHardwareVersion, "B3xyz");
    EXPECT_TRUE(identity.bMacUsable);
    EXPECT_EQ(BuildSystemInfoBlock(identity), kCentralModuleBlock);

    // Erased text behind the image: a block of the image's fields, escaped, version cut to 2.
    file = Eeprom("qor<KOVE>&8", "", 510);
    identity = DecodeSystemEeprom(file.data(), file.size(), true);
    EXPECT_TRUE(identity.bTextRead);
    EXPECT_EQ(identity.sText, "");
    EXPECT_EQ(BuildSystemInfoBlock(identity), "\n\t<SystemInfo>\n"
                                              "\t\t<Name>qor&lt;KOVE&gt;&amp;8</Name>\n"
                                              "\t\t<OrderingNumber>52.230010</OrderingNumber>\n"
                                              "\t\t<SerialNumber>123456789012345</SerialNumber>\n"
                                              "\t\t<VersionHW>B3</VersionHW>\n"
                                              "\t\t<NumberOfModuleSlots>1</NumberOfModuleSlots>\n"
                                              "\t</SystemInfo>\n");
    // ... except for the "qorKOVE-S" devices.
    file = Eeprom("QORkove-S2", "", 20);
    EXPECT_EQ(BuildSystemInfoBlock(DecodeSystemEeprom(file.data(), file.size(), true)),
              kCentralModuleBlock);

    // A text with a Name element is the block itself; it ends at the first 0xFF.
    const std::string own = "\n\t<SystemInfo>\n\t\t<Name>qorQB-DP</Name>\n\t</SystemInfo>\n";
    file = Eeprom("qorKOVE-8", own, 510);
    identity = DecodeSystemEeprom(file.data(), file.size(), true);
    EXPECT_EQ(identity.sText, own);
    EXPECT_EQ(BuildSystemInfoBlock(identity), own);
    // Not kept (family 3): the block is made of the image.
    identity = DecodeSystemEeprom(file.data(), file.size(), false);
    EXPECT_EQ(identity.sText, "");
    EXPECT_NE(BuildSystemInfoBlock(identity).find("<Name>qorKOVE-8</Name>"), std::string::npos);

    // Fields without their terminating zero end with their field.
    file = Eeprom(std::string(40, 'N'), "", 0);
    memset(&file[16], '7', 16);
    memset(&file[128], 'h', 40);
    identity = DecodeSystemEeprom(file.data(), file.size(), true);
    EXPECT_EQ(identity.sName, std::string(31, 'N'));
    EXPECT_EQ(identity.sSerialNumber, std::string(15, '7'));
    EXPECT_EQ(identity.sHardwareVersion, std::string(16, 'h'));
}

TEST(SystemEeprom, InvalidImagesAndUnusableMacAddresses)
{
    const auto invalid = [](std::vector<unsigned char> file, size_t count)
    {
        const SystemEepromIdentity identity = DecodeSystemEeprom(file.data(), count, true);
        EXPECT_FALSE(identity.bImageValid);
        EXPECT_FALSE(identity.bMacUsable);
        EXPECT_EQ(identity.sName, "unknown");
        EXPECT_EQ(identity.sOrderingNumber, "unknown");
        EXPECT_EQ(identity.sSerialNumber, "000000000000000");
        return identity;
    };
    std::vector<unsigned char> file = Eeprom("qorKOVE-8");
    invalid(file, 511);
    invalid(file, 0);
    EXPECT_FALSE(DecodeSystemEeprom(nullptr, 100, true).bImageValid);
    for (size_t offset : {16u, 32u, 64u, 65u, 66u})
    {
        SCOPED_TRACE(offset);
        std::vector<unsigned char> broken = file;
        broken[offset] = '-';
        const SystemEepromIdentity identity = invalid(broken, broken.size());
        EXPECT_TRUE(identity.bImageComplete);
    }
    EXPECT_EQ(invalid(file, 100).aucCheckedBytes[0], '5');

    const struct
    {
        unsigned char mac[6];
        bool usable;
    } macs[] = {
        {{0x00, 0x10, 0xC4, 0x01, 0x02, 0x03}, true},
        {{0x01, 0x10, 0xC4, 0x01, 0x02, 0x03}, false}, // multicast
        {{0, 0, 0, 0, 0, 0}, false},
        {{' ', ' ', ' ', ' ', ' ', ' '}, false},
        {{' ', ' ', ' ', ' ', ' ', 0}, true},
    };
    for (const auto& m : macs)
    {
        memcpy(&file[144], m.mac, 6);
        EXPECT_EQ(DecodeSystemEeprom(file.data(), file.size(), true).bMacUsable, m.usable);
    }
}

TEST(SystemInfoBlock, VersionsOrderingNumberAndValues)
{
    std::string hardware = "stale";
    EXPECT_EQ(AddVersionsToSystemInfo(kCentralModuleBlock, "", hardware),
              "\n\t<SystemInfo>\n"
              "\t\t<Name>qorKOVE-Z-TM</Name>\n"
              "\t\t<OrderingNumber>(see modules)</OrderingNumber>\n"
              "\t\t<SerialNumber>(see modules)</SerialNumber>\n"
              "\t\t<VersionHW>--</VersionHW>\n"
              "\t\t<NumberOfModuleSlots>4</NumberOfModuleSlots> <!-- CPU does not count here-->\n"
              "\t\t<VersionSW Status=\"missing\"></VersionSW>\n"
              "\t</SystemInfo>\n");
    EXPECT_EQ(hardware, "--");

    // Without a VersionHW line before the end, one of "--" follows the VersionSW line.
    const std::string bare = "\n\t<SystemInfo>\n\t\t<Name>x</Name>\n\t</SystemInfo>\n"
                             "<VersionHW>AB</VersionHW>";
    EXPECT_EQ(AddVersionsToSystemInfo(bare, "v1.2.3", hardware),
              "\n\t<SystemInfo>\n\t\t<Name>x</Name>\n"
              "\t\t<VersionSW Status=\"OK\">v1.2.3</VersionSW>\n"
              "\t\t<VersionHW>--</VersionHW>\n"
              "\t</SystemInfo>\n<VersionHW>AB</VersionHW>");
    EXPECT_EQ(hardware, "");

    hardware = "kept";
    EXPECT_EQ(AddVersionsToSystemInfo("</SystemInfo>", "v1.0.0", hardware), "</SystemInfo>");
    EXPECT_EQ(hardware, "kept");
    AddVersionsToSystemInfo("<VersionHW>1</VersionHW></SystemInfo>", "", hardware);
    EXPECT_EQ(hardware, "1");

    const struct
    {
        const char* text;
        int32_t number;
    } numbers[] = {
        {"52.230010", 52230010}, {"5.2230010", 0}, {"(see modules)", 0},
        {"12.3", 12000003},      {"", 0},          {"53.400000xyz", 53400000},
    };
    for (const auto& n : numbers)
        EXPECT_EQ(OrderingNumberFromText(n.text), n.number) << n.text;

    std::string value;
    EXPECT_TRUE(GetSystemInfoValue(kCentralModuleBlock, "Name", value));
    EXPECT_EQ(value, "qorKOVE-Z-TM");
    EXPECT_FALSE(GetSystemInfoValue("<Name>open", "Name", value));
    EXPECT_FALSE(GetSystemInfoValue("</Name><Name>", "Name", value));
}

TEST_F(SystemUnit, LedTestStepsThroughTheRowsOfTheFamilySequence)
{
    CTestSystem& system = System();
    // The simulated device is a KV8: rows of eight steps; its LEDs are on bus word 28.
    ASSERT_EQ(system.GetHWFamily(), QTX_HW_FAMILY_KV8);
    system.LedTestStep(false);
    EXPECT_EQ(system.BPBReadWord(12, true), 0x80000000u);

    const uint32_t expected[] = {0x00440101, 0x00890404, 0x01121010, 0x02204040,
                                 0x00440202, 0x00890808, 0x01122020, 0x02208080};
    for (int round = 0; round < 2; ++round)
        for (uint32_t leds : expected)
        {
            system.LedTestStep(true);
            EXPECT_EQ(system.BPBReadWord(28, true), leds);
            EXPECT_EQ(system.BPBReadWord(12, true), 0x40000000u);
        }
    EXPECT_EQ(system.iLedTestSteps, 8);
}
} // namespace
