// Tests of the device identity: number and tag parsing, production data, the
// boot version and its sources, the device information record and the
// product table. Flash partitions and files are written into a fresh
// simulated device for each test.

#include "DeviceIdentity.h"
#include "DevMem.h"
#include "KovePlatform.h"
#include "KoveTestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

void Put(Bytes& image, size_t offset, const std::string& text)
{
    ASSERT_LE(offset + text.size(), image.size());
    memcpy(image.data() + offset, text.data(), text.size());
}

std::string Field(const uint8_t* bytes, size_t size)
{
    return std::string(reinterpret_cast<const char*>(bytes), size);
}

// A field's text, zero-padded to its size.
std::string Padded(const std::string& text, size_t size)
{
    std::string out = text.substr(0, size);
    out.resize(size, '\0');
    return out;
}

class DeviceIdentityTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setenv("KOVE_SIM", m_tDir.Path().c_str(), 1);
        PlatReloadSimulation();
        char probe[PATH_MAX];
        ASSERT_EQ(PlatPath("/", probe, sizeof probe), 0); // sets the device up
    }

    std::string Sim(const std::string& devicePath) const { return m_tDir.Path() + devicePath; }

    // Writes a file of the device; at an offset, into what is there.
    void Write(const std::string& devicePath, const Bytes& bytes, uint64_t offset = 0) const
    {
        const int flags = O_WRONLY | O_CREAT | (offset == 0 ? O_TRUNC : 0);
        const int fd = open(Sim(devicePath).c_str(), flags, 0644);
        ASSERT_GE(fd, 0) << devicePath;
        if (!bytes.empty())
        {
            ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
                      static_cast<ssize_t>(bytes.size()));
        }
        close(fd);
    }

    void Remove(const std::string& devicePath) const { std::filesystem::remove(Sim(devicePath)); }

    // 512 bytes of binary production data with every byte telling its offset
    // (so a misplaced copy shows), then the text, if any.
    static Bytes ProductionImage(const std::string& text = "")
    {
        Bytes image(DEVID_PRODUCTION_SIZE);
        for (size_t i = 0; i < image.size(); ++i)
            image[i] = static_cast<uint8_t>(i * 7 + 3);
        image.insert(image.end(), text.begin(), text.end());
        return image;
    }

    kovetest::CTempDir m_tDir;
};

TEST(DevParseNumberText, Cases)
{
    struct Case
    {
        std::string text;
        uint32_t length;
        uint32_t value;
    };
    const Case cases[] = {
        {"52.374012", 32, 52374012u},
        {"12345", 16, 12345u},
        {std::string("\xFF\xFF\xFF", 3), 3, 0xFFFFFFFFu}, // erased flash
        {"12a", 16, 0},
        {"1 2", 16, 0},
        {"123456", 3, 123u},                // ends at the length
        {std::string("42\0x9", 5), 5, 42u}, // ends at a zero byte
        {"", 16, 0},
        {"4294967295", 16, 4294967295u},
        {"4294967296", 16, 0}, // beyond 32 bits
        {"99999999999999999999", 32, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DevParseNumberText(c.text.data(), c.length), c.value) << c.text;
    EXPECT_EQ(DevParseNumberText("\xFF", 0), 0u);
    EXPECT_EQ(DevParseNumberText(nullptr, 4), 0u);
}

TEST(DevFindTagValue, MatchesTheWholeTagOnly)
{
    struct Case
    {
        const char* text;
        const char* value; // null: not found
    };
    const Case cases[] = {
        {"<Name>CU8</Name>", "CU8"},
        {"<NameX>bad</NameX><Name>good</Name>", "good"}, // a longer tag with the same start
        {"<ProductName>bad</ProductName>", nullptr},     // a longer tag with the same end
        {"<Name>a</Name><Name>b</Name>", "a"},           // the first counts
        {"<Name></Name>", ""},
        {"<Name>no end", nullptr},
        {"Name>x</Name>", nullptr},
        {"<name>x</name>", nullptr},
        {"", nullptr},
    };
    for (const Case& c : cases)
    {
        int length = -1;
        const char* value = DevFindTagValue(c.text, "Name", &length);
        if (c.value == nullptr)
        {
            EXPECT_EQ(value, nullptr) << c.text;
            EXPECT_EQ(length, 0) << c.text;
        }
        else
        {
            ASSERT_NE(value, nullptr) << c.text;
            EXPECT_EQ(std::string(value, static_cast<size_t>(length)), c.value) << c.text;
        }
    }
    EXPECT_EQ(DevFindTagValue("<>x</>", "", nullptr), nullptr);
    EXPECT_EQ(DevFindTagValue(nullptr, "Name", nullptr), nullptr);
}

TEST(DevBootVersionText, Format)
{
    const std::pair<const char*, const char*> cases[] = {
        {"0102003 ", "v01.02.003"},
        {"0102003", "v01.02.003"},
        {"0102003r004", "v01.02.003-rc004"},
        {"0102003-004\nmore", "v01.02.003-rc004"},
        {"0102003-0", "v01.02.003-rc0"}, // stops at the end of the text
        {"010200", ""},                  // too short
    };
    for (const auto& c : cases)
    {
        char text[DEVID_BOOT_TEXT_SIZE];
        memset(text, 'X', sizeof text);
        EXPECT_EQ(DevFormatBootVersion(text, c.first), static_cast<int>(strlen(c.second)))
            << c.first;
        EXPECT_STREQ(text, c.second);
    }
}

TEST(DevBootVersionText, Parse)
{
    const uint32_t v010203 = (1u * 100000 + 2 * 1000 + 3) << 8;
    const std::pair<const char*, uint32_t> cases[] = {
        {"0102003-004", v010203 | 4},
        {"0102003 004", v010203 | 4},
        {"0102003\t300", v010203 | (300 & 0xFF)},
        {"9999999-000", 9999999u << 8},
        {"0102003", v010203},
        {"0102003-04", v010203},   // not longer than 10 characters
        {"0102003r004", v010203},  // separator neither white space nor "-"
        {"0102003-004x", v010203}, // not all digits behind the separator
        {"01020a3-004", 0},
        {"010200", 0},
        {"", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DevParseBootVersion(c.first), c.second) << c.first;
    EXPECT_EQ(DevParseBootVersion(nullptr), 0u);
}

TEST_F(DeviceIdentityTest, ProductionDataFromTheBinaryRecord)
{
    const Bytes image = ProductionImage();
    Write("/dev/mtd_production", image);

    uint8_t block[DEVID_PRODUCTION_BLOCK_SIZE];
    ASSERT_EQ(DevReadProductionData(block), KESTREL_OK);
    EXPECT_EQ(Bytes(block, block + sizeof block), Bytes(image.begin() + 4, image.begin() + 160));

    uint8_t raw[DEVID_PRODUCTION_SIZE];
    ASSERT_EQ(DevReadProductionRaw(raw), KESTREL_OK);
    EXPECT_EQ(Bytes(raw, raw + sizeof raw), image);
}

// Text values behind the binary record take the place of the binary fields.
TEST_F(DeviceIdentityTest, ProductionTextReplacesFields)
{
    struct Case
    {
        std::string text;
        std::string name; // expected fields; "-" keeps the binary one
        std::string order;
        std::string serial;
    };
    const std::string longName(40, 'N');
    const Case cases[] = {
        {"<Name>CU8</Name><OrderingNumber>52.374012</OrderingNumber>"
         "<SerialNumber>98765</SerialNumber>",
         "CU8", "52.374012", "98765"},
        {"<OrderingNumber>1.000001</OrderingNumber>", "-", "-", "-"}, // 8 characters: too short
        {"<Name></Name><SerialNumber></SerialNumber>", "-", "-", "-"},
        {"<Name>" + longName + "</Name>", longName, "-", "-"}, // cut to the field
        {"<SerialNumber>12345678901234567890</SerialNumber>", "-", "-", "12345678901234567890"},
        {"<ProductName>X</ProductName><NameX>Y</NameX>", "-", "-", "-"},
        {std::string(511, '\xFF'), "-", "-", "-"}, // erased, without a terminator
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text.substr(0, 60));
        const Bytes image = ProductionImage(c.text + std::string(1, '\0'));
        Write("/dev/mtd_production", image);
        uint8_t block[DEVID_PRODUCTION_BLOCK_SIZE];
        ASSERT_EQ(DevReadProductionData(block), KESTREL_OK);

        Bytes expected(image.begin() + 4, image.begin() + 160);
        auto expect = [&](const std::string& value, size_t offset, size_t size)
        {
            if (value != "-")
                Put(expected, offset - 4, Padded(value, size));
        };
        expect(c.name, DEVID_NAME_OFFSET, DEVID_NAME_SIZE);
        expect(c.order, DEVID_ORDER_OFFSET, DEVID_ORDER_SIZE);
        expect(c.serial, DEVID_SERIAL_OFFSET, DEVID_SERIAL_SIZE);
        EXPECT_EQ(Bytes(block, block + sizeof block), expected);
    }
}

// Only bytes up to 1022 count: an element whose end lies further on is not
// taken, and a text that fills the area without a terminator is read safely.
TEST_F(DeviceIdentityTest, ProductionTextStaysWithinItsArea)
{
    // "<Name>Cut" ends at byte 1022, its closing tag begins at 1023.
    std::string text(DEVID_PRODUCTION_READ - DEVID_PRODUCTION_SIZE - 9, 'A');
    text += "<Name>Cut";
    ASSERT_EQ(DEVID_PRODUCTION_SIZE + text.size(), static_cast<size_t>(DEVID_PRODUCTION_READ));
    text += "</Name>" + std::string(100, 'B');
    Write("/dev/mtd_production", ProductionImage(text));

    uint8_t block[DEVID_PRODUCTION_BLOCK_SIZE];
    ASSERT_EQ(DevReadProductionData(block), KESTREL_OK);
    const Bytes image = ProductionImage();
    EXPECT_EQ(Field(block + DEVID_NAME_OFFSET - 4, DEVID_NAME_SIZE),
              Field(image.data() + DEVID_NAME_OFFSET, DEVID_NAME_SIZE));
}

TEST_F(DeviceIdentityTest, ProductionDataErrors)
{
    uint8_t block[DEVID_PRODUCTION_BLOCK_SIZE];
    uint8_t raw[DEVID_PRODUCTION_SIZE];

    Write("/dev/mtd_production", Bytes(300, 0x11));
    memset(block, 0x5A, sizeof block);
    EXPECT_EQ(DevReadProductionData(block), KESTREL_NOT_INITIALISED);
    EXPECT_EQ(Bytes(block, block + sizeof block), Bytes(sizeof block, 0));
    EXPECT_EQ(DevReadProductionRaw(raw), KESTREL_NOT_INITIALISED);

    Remove("/dev/mtd_production");
    EXPECT_EQ(DevReadProductionData(block), -KESTREL_CANNOT_OPEN);
    EXPECT_EQ(DevReadProductionRaw(raw), -KESTREL_CANNOT_OPEN);

    EXPECT_EQ(DevReadProductionData(nullptr), KESTREL_FAILED);
    EXPECT_EQ(DevReadProductionRaw(nullptr), KESTREL_FAILED);
}

TEST(DevProductionNumbers, SerialAndOrderingNumber)
{
    Bytes raw(DEVID_PRODUCTION_SIZE, 0);
    Put(raw, DEVID_SERIAL_OFFSET, "12345");
    Put(raw, DEVID_ORDER_OFFSET, "10.000001");
    uint32_t order = 0;
    uint32_t serial = 0;
    DevProductionNumbers(raw.data(), &order, &serial);
    EXPECT_EQ(order, 10000001u);
    EXPECT_EQ(serial, 12345u);

    // A serial number that fills its field stops there, not in the name.
    Put(raw, DEVID_SERIAL_OFFSET, "0000000000012345");
    Put(raw, DEVID_NAME_OFFSET, "7");
    DevProductionNumbers(raw.data(), nullptr, &serial);
    EXPECT_EQ(serial, 12345u);

    Bytes erased(DEVID_PRODUCTION_SIZE, 0xFF);
    DevProductionNumbers(erased.data(), &order, &serial);
    EXPECT_EQ(order, 0xFFFFFFFFu);
    EXPECT_EQ(serial, 0xFFFFFFFFu);
}

TEST_F(DeviceIdentityTest, BootVersionFromTheFirstSourceThatHoldsIt)
{
    auto stamp = [](const std::string& text)
    {
        Bytes block(DEVID_BOOT_VERSION_SIZE, 0);
        memcpy(block.data(), text.data(), text.size());
        block.back() = '#'; // forced to 0 when read
        return block;
    };
    const Bytes fileStamp = stamp("0102003-004\nfile");
    const Bytes imageStamp = stamp("0203004 image stamp longer than 15");
    const Bytes bootStamp = stamp("0304005");
    Bytes image(300, 0x33);
    std::copy(imageStamp.begin(), imageStamp.end(), image.end() - DEVID_BOOT_VERSION_SIZE);

    struct Case
    {
        bool file, shortFile, image, shortImage, boot;
        const Bytes* expected; // null: no version
        const char* shortText;
    };
    const Case cases[] = {
        {true, false, true, false, true, &fileStamp, "0102003-004"},
        {false, true, true, false, true, &imageStamp, "0203004 image s"},
        {false, false, false, true, true, &bootStamp, "0304005"},
        {false, true, false, true, false, nullptr, ""},
        {false, false, false, false, false, nullptr, ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "file " << c.file << c.shortFile << " image " << c.image
                                        << c.shortImage << " boot " << c.boot);
        Remove("/tmp/BootFlash.version");
        Remove("/dev/mtd_bootimg");
        Remove("/dev/mtd_boot");
        if (c.file || c.shortFile)
            Write("/tmp/BootFlash.version", c.shortFile ? Bytes(100, '1') : fileStamp);
        if (c.image || c.shortImage)
            Write("/dev/mtd_bootimg", c.shortImage ? Bytes(100, '2') : image);
        if (c.boot)
            Write("/dev/mtd_boot", bootStamp, DEVID_BOOT_VERSION_OFFSET);

        uint8_t block[DEVID_BOOT_VERSION_SIZE];
        char shortText[DEVID_BOOT_SHORT_SIZE];
        memset(block, 0x5A, sizeof block);
        memset(shortText, 0x5A, sizeof shortText);
        if (c.expected == nullptr)
        {
            EXPECT_EQ(DevReadBootVersion(block, shortText), -1);
            EXPECT_EQ(Bytes(block, block + sizeof block), Bytes(sizeof block, 0));
        }
        else
        {
            EXPECT_EQ(DevReadBootVersion(block, shortText), 0);
            Bytes expected = *c.expected;
            expected.back() = 0;
            EXPECT_EQ(Bytes(block, block + sizeof block), expected);
        }
        EXPECT_EQ(Field(reinterpret_cast<uint8_t*>(shortText), sizeof shortText),
                  Padded(c.shortText, DEVID_BOOT_SHORT_SIZE));
    }

    // A stamp that begins with zero is no version, even where another source has one.
    Write("/tmp/BootFlash.version", Bytes(DEVID_BOOT_VERSION_SIZE, 0));
    Write("/dev/mtd_boot", bootStamp, DEVID_BOOT_VERSION_OFFSET);
    uint8_t block[DEVID_BOOT_VERSION_SIZE];
    char shortText[DEVID_BOOT_SHORT_SIZE];
    EXPECT_EQ(DevReadBootVersion(block, shortText), -1);
}

TEST_F(DeviceIdentityTest, ReadFileHelpers)
{
    Bytes data(200);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i);
    Write("/tmp/Update/data.bin", data);
    const std::string path = "/tmp/Update/data.bin"; // a fixed path of the device

    uint8_t buffer[256];
    EXPECT_EQ(ReadFileBlock(path.c_str(), buffer, 50, 10), 50);
    EXPECT_EQ(Bytes(buffer, buffer + 50), Bytes(data.begin() + 10, data.begin() + 60));
    EXPECT_EQ(ReadFileBlock(path.c_str(), buffer, 100, 150), 50); // up to the end
    EXPECT_EQ(ReadFileBlock(path.c_str(), buffer, 10, 300), 0);
    EXPECT_EQ(ReadFileBlock("/tmp/Update/none", buffer, 10, 0), -86);
    EXPECT_EQ(ReadFileBlock(path.c_str(), buffer, -1, 0), -70);
    EXPECT_EQ(ReadFileBlock(path.c_str(), nullptr, 10, 0), -70);

    EXPECT_EQ(ReadFileTail(path.c_str(), buffer, 16, 20), 16);
    EXPECT_EQ(Bytes(buffer, buffer + 16), Bytes(data.begin() + 180, data.begin() + 196));
    EXPECT_EQ(ReadFileTail(path.c_str(), buffer, 16, 200), 16);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(ReadFileTail(path.c_str(), buffer, 16, 201), -87);
    EXPECT_EQ(ReadFileTail(path.c_str(), buffer, 16, 15), -70);
    EXPECT_EQ(ReadFileTail("/tmp/Update/none", buffer, 16, 20), -86);
}

TEST_F(DeviceIdentityTest, DeviceInfoRecord)
{
    const Bytes production = ProductionImage("<Name>CU8</Name>" + std::string(1, '\0'));
    Write("/dev/mtd_production", production);
    Bytes boot(DEVID_BOOT_VERSION_SIZE, 'b');
    Put(boot, 0, "0102003-004\n");
    Write("/tmp/BootFlash.version", boot);
    Write("/dev/mem", {0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55},
          DEVMEM_HARDWARE_WORDS_ADDRESS);

    Bytes expected(DEVMSG_DEVICE_INFO_SIZE, 0);
    expected[0] = 9;
    auto copy = [&](size_t to, size_t from, size_t count) {
        std::copy(production.begin() + from, production.begin() + from + count,
                  expected.begin() + to);
    };
    copy(4, 4, 124);
    Put(expected, DEVID_NAME_OFFSET, Padded("CU8", DEVID_NAME_SIZE));
    copy(128, 128, 2);
    copy(130, 144, 4);
    copy(134, 148, 2);
    Put(expected, 140, "0102003-004");
    std::copy(boot.begin(), boot.end(), expected.begin() + 156);
    expected[283] = 0;
    Put(expected, 284, "\x44\x33\x22\x11\x88\x77\x66\x55");
    copy(292, 152, 4);
    copy(296, 156, 4);

    Bytes record(DEVMSG_DEVICE_INFO_SIZE, 0xEE);
    DevMsgDeviceInfo(record.data());
    EXPECT_EQ(record, expected);

    // Nothing readable: the version byte and the fill word of the hardware.
    Remove("/dev/mtd_production");
    Remove("/tmp/BootFlash.version");
    Remove("/dev/mtd_bootimg");
    Remove("/dev/mtd_boot");
    Remove("/dev/mem");
    Bytes empty(DEVMSG_DEVICE_INFO_SIZE, 0);
    empty[0] = 9;
    Put(empty, 284, std::string("\xFF\xFF\xFF\x00", 4));
    DevMsgDeviceInfo(record.data());
    EXPECT_EQ(record, empty);
}

TEST(OrdFlag, Lookups)
{
    struct Case
    {
        uint32_t number;
        uint32_t flags;
        uint32_t count;
        const char* interface; // first interface
        uint8_t kind;
    };
    const Case cases[] = {
        {57311001, 1, 1, "eth0", 0},  {57310000, 0, 1, "eth0", 0}, {52374021, 1, 0, "", 0},
        {52810000, 0, 0, "", 0},      {59580020, 0, 1, "br0", 2},  {53400000, 0, 1, "hipe0", 8},
        {52880000, 0, 1, "hipe0", 8}, {12345678, 0, 0, "", 0},     {0, 0, 0, "", 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.number);
        EXPECT_EQ(OrdFlagGetFlags(c.number), c.flags);
        EXPECT_EQ(OrdFlagGetInterfaceCount(c.number), c.count);
        OrdFlagInterface interfaces[3] = {};
        ASSERT_EQ(OrdFlagGetInterfaces(c.number, interfaces, 3), c.count);
        EXPECT_STREQ(interfaces[0].szName, c.interface);
        uint8_t kinds[3] = {0xEE, 0xEE, 0xEE};
        ASSERT_EQ(OrdFlagGetInterfaceKinds(c.number, kinds, 3), static_cast<int>(c.count));
        if (c.count > 0)
        {
            EXPECT_EQ(kinds[0], c.kind);
        }
        EXPECT_EQ(kinds[c.count], 0xEE);
    }

    OrdFlagInterface one[1] = {};
    EXPECT_EQ(OrdFlagGetInterfaces(59580020, one, 0), 0u);
    EXPECT_EQ(one[0].szName[0], '\0');
    EXPECT_EQ(OrdFlagGetInterfaces(59580020, nullptr, 2), 0u);
    uint8_t kind = 0;
    EXPECT_EQ(OrdFlagGetInterfaceKinds(59580020, nullptr, 2), -70);
    EXPECT_EQ(OrdFlagGetInterfaceKinds(59580020, &kind, 0), -70);
    EXPECT_EQ(OrdFlag[ORDFLAG_ROWS - 1].uOrderingNumber, 0u);
}

} // namespace
