// The CDI device interface against the simulated device.
#include "Cdi.h"

#include "KovePlatform.h"
#include "KoveTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace
{

void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t Get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Points the platform layer at a device directory (or at the real device with an empty path).
void UseDevice(const std::string& dir)
{
    if (dir.empty())
        unsetenv("KOVE_SIM");
    else
        setenv("KOVE_SIM", dir.c_str(), 1);
    PlatReloadSimulation();
}

// Every test starts and ends with the device closed, on a fresh simulated device.
class CdiTest : public ::testing::Test
{
protected:
    void SetUp() override { MakeDevice({}); }

    void TearDown() override
    {
        while (!CdiIsNotOpen())
            CdiClose();
        strcpy(CdiName, "/dev/cdi");
        UseDevice("");
    }

    void MakeDevice(const std::vector<std::string>& createArgs)
    {
        ASSERT_TRUE(CdiIsNotOpen());
        m_pDevice = std::make_unique<kovetest::CSimDevice>(createArgs);
        UseDevice(m_pDevice->Dir());
    }

    std::string Tool(const std::string& command, const std::vector<std::string>& args = {})
    {
        return m_pDevice->Tool(command, args);
    }

    std::unique_ptr<kovetest::CSimDevice> m_pDevice;
};

TEST_F(CdiTest, ClosedDeviceAnswersEveryRequestWithItsFailureValue)
{
    // A close without an open does no harm and leaves no debt behind.
    CdiClose();
    CdiClose();
    EXPECT_EQ(1, CdiIsNotOpen());

    uint8_t hex[CDI_HEX_SWITCH_RECORD_SIZE];
    memset(hex, 0xEE, sizeof hex);
    uint8_t raw[CDI_RAW_HEAD_SIZE + 4] = {};
    Put32(raw + 8, 4);
    EXPECT_EQ(-1, CdiCall(CDI_IOCTL_LED_CONTROL, raw, 4));
    EXPECT_EQ(-1, CdiRawRead(raw));
    EXPECT_EQ(-1, CdiRawWrite(raw));
    EXPECT_EQ(-1, CdiGetDebug(raw));
    EXPECT_EQ(-1, CdiGetHexSwitches(hex));
    EXPECT_EQ(-1, CdiGetHexSwitchesDebounced(hex));
    EXPECT_EQ(-1, CdiSetHexSwitches(hex));
    EXPECT_EQ(-1, CdiLedControl(3));
    EXPECT_EQ(-1, CdiLedTestStart());
    EXPECT_EQ(-1, CdiLedTestStop());
    EXPECT_EQ(-1, CdiSetUpdateError(1));
    EXPECT_EQ(0u, CdiGetDebugSize());
    EXPECT_EQ(0u, CdiGetUpdateStatus());
    EXPECT_EQ(0u, CdiIsSetToFactoryDef());
    EXPECT_EQ(0u, CdiGetFactoryDefCurrent());
    EXPECT_EQ(UINT64_MAX, CdiGetTimeStamp());
    for (uint8_t b : hex)
        ASSERT_EQ(0xEE, b);

    uint8_t data[4] = {1, 2, 3, 4};
    uint32_t status = 0;
    EXPECT_EQ(-1, CdiCtrlRead(0x100, data, sizeof data, &status));
    EXPECT_EQ(0xFFFFu, status);
    EXPECT_EQ(3, data[2]);
    status = 0;
    EXPECT_EQ(-1, CdiCtrlWriteValue(0x100, 7, &status));
    EXPECT_EQ(0xFFFFu, status);

    ASSERT_EQ(0, CdiOpen());
    CdiClose();
    EXPECT_EQ(1, CdiIsNotOpen());
}

TEST_F(CdiTest, DeviceStaysOpenUntilTheLastUserCloses)
{
    ASSERT_EQ(0, CdiOpen());
    ASSERT_EQ(0, CdiOpen());
    CdiClose();
    EXPECT_EQ(0, CdiIsNotOpen());
    EXPECT_EQ(0, CdiLedControl(0x3000));

    CdiClose();
    EXPECT_EQ(1, CdiIsNotOpen());
    EXPECT_EQ(-1, CdiLedControl(0x1000));
    EXPECT_EQ("leds=0x00003000 test=off shown=0x00003000\n", Tool("leds"));

    // Opened again, one close is enough: the extra closes above counted nothing.
    CdiClose();
    ASSERT_EQ(0, CdiOpen());
    EXPECT_EQ(0, CdiIsNotOpen());
    CdiClose();
    EXPECT_EQ(1, CdiIsNotOpen());
}

TEST_F(CdiTest, RequestsReachTheDevice)
{
    MakeDevice({"--hex", "1,2,3,4", "--factory-button", "on"});
    ASSERT_EQ(0, CdiOpen());

    const uint8_t expected[CDI_HEX_SWITCH_RECORD_SIZE] = {1, 2, 3, 4};
    uint8_t hex[CDI_HEX_SWITCH_RECORD_SIZE];
    memset(hex, 0xEE, sizeof hex);
    ASSERT_EQ(0, CdiGetHexSwitches(hex));
    EXPECT_EQ(0, memcmp(expected, hex, sizeof hex));
    memset(hex, 0xEE, sizeof hex);
    ASSERT_EQ(0, CdiGetHexSwitchesDebounced(hex));
    EXPECT_EQ(0, memcmp(expected, hex, sizeof hex));

    uint8_t published[CDI_HEX_SWITCH_RECORD_SIZE] = {4, 2, 255, 255};
    EXPECT_EQ(0, CdiSetHexSwitches(published));

    EXPECT_EQ(0, CdiLedControl(0x50000000));
    EXPECT_EQ(0, CdiLedTestStart());
    EXPECT_EQ("leds=0x50000000 test=on shown=0x50000000\n", Tool("leds"));
    EXPECT_EQ(0, CdiLedTestStop());
    EXPECT_EQ("leds=0x50000000 test=off shown=0x50000000\n", Tool("leds"));

    // Held at the start and now; released, only the start state stays.
    EXPECT_EQ(1u, CdiIsSetToFactoryDef());
    EXPECT_EQ(1u, CdiGetFactoryDefCurrent());
    Tool("button", {"off"});
    EXPECT_EQ(1u, CdiIsSetToFactoryDef());
    EXPECT_EQ(0u, CdiGetFactoryDefCurrent());

    EXPECT_EQ(0, CdiSetUpdateError(5));
    const uint64_t first = CdiGetTimeStamp();
    const uint64_t second = CdiGetTimeStamp();
    EXPECT_NE(UINT64_MAX, first);
    EXPECT_GE(second, first);
}

TEST_F(CdiTest, RawRecordsKeepToTheirLength)
{
    ASSERT_EQ(0, CdiOpen());
    Tool("poke", {"0x2000100", "0x44332211"});

    // A read of no data is the head alone; a buffer of exactly 12 bytes shows any overrun.
    std::unique_ptr<uint8_t[]> head(new uint8_t[CDI_RAW_HEAD_SIZE]);
    Put32(head.get(), 0xDEAD);
    Put32(head.get() + 4, 0x2000100);
    Put32(head.get() + 8, 0);
    ASSERT_EQ(0, CdiRawRead(head.get()));
    EXPECT_EQ(0u, Get32(head.get()));
    EXPECT_EQ(0x2000100u, Get32(head.get() + 4));
    EXPECT_EQ(0u, Get32(head.get() + 8));
    EXPECT_EQ(0, CdiGetDebug(head.get()));

    // A read of three bytes: the byte zeroed before the call is filled by the driver.
    std::unique_ptr<uint8_t[]> three(new uint8_t[CDI_RAW_HEAD_SIZE + 3]);
    Put32(three.get(), 0xDEAD);
    Put32(three.get() + 4, 0x2000100);
    Put32(three.get() + 8, 3);
    ASSERT_EQ(0, CdiRawRead(three.get()));
    EXPECT_EQ(0u, Get32(three.get()));
    EXPECT_EQ(0x11, three[12]);
    EXPECT_EQ(0x33, three[14]);

    // A length whose record could not exist is refused before anything is touched.
    Put32(head.get() + 8, 0xFFFFFFF8);
    EXPECT_EQ(-1, CdiRawRead(head.get()));
    EXPECT_EQ(-1, CdiRawWrite(head.get()));
    EXPECT_EQ(0xFFFFFFF8u, Get32(head.get() + 8));
}

TEST_F(CdiTest, ControllerMemoryLiesInTheWindowPerPort)
{
    ASSERT_EQ(0, CdiOpen());
    const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint32_t status = 0xFFFFFFFF;
    ASSERT_EQ(0, CdiCtrlWrite(0x100, bytes, sizeof bytes, &status));
    EXPECT_EQ(0u, status);
    status = 0xFFFFFFFF;
    ASSERT_EQ(0, CdiCtrlWriteValue(0x104 | CDI_CTRL_PORT1, 0xCAFEF00D, &status));
    EXPECT_EQ(0u, status);

    EXPECT_EQ("0x04030201\n", Tool("peek", {"0x2000100"}));
    EXPECT_EQ("0x08070605\n", Tool("peek", {"0x2000104"}));
    EXPECT_EQ("0xCAFEF00D\n", Tool("peek", {"0x3000104"}));

    uint8_t back[5] = {};
    ASSERT_EQ(0, CdiCtrlRead(0x100, back, sizeof back, &status));
    EXPECT_EQ(0u, status);
    EXPECT_EQ(0, memcmp(bytes, back, sizeof back));
    uint8_t word[4] = {};
    ASSERT_EQ(0, CdiCtrlRead(0x104 | CDI_CTRL_PORT1, word, sizeof word, nullptr));
    EXPECT_EQ(0xCAFEF00Du, Get32(word));
}

TEST_F(CdiTest, RefusedControllerAccessIsNeverGood)
{
    ASSERT_EQ(0, CdiOpen());
    Tool("poke", {"0x2000200", "0x12345678"});
    Tool("refuse", {"0x2000200"});

    // The request goes through, the driver's status comes back in the upper half.
    uint8_t data[4] = {9, 9, 9, 9};
    uint32_t status = 0;
    ASSERT_EQ(0, CdiCtrlRead(0x200, data, sizeof data, &status));
    EXPECT_EQ(0xDEAD0000u, status);
    EXPECT_EQ(9, data[0]);
    status = 0;
    ASSERT_EQ(0, CdiCtrlWriteValue(0x200, 1, &status));
    EXPECT_EQ(0xDEAD0000u, status);
    Tool("refuse", {"0x2000200", "off"});
    EXPECT_EQ("0x12345678\n", Tool("peek", {"0x2000200"}));

    // Lengths no controller has, and data that is missing, are refused without a request.
    std::vector<uint8_t> big(CDI_CTRL_MAX_LENGTH + 1);
    status = 0;
    EXPECT_EQ(-1, CdiCtrlRead(0, big.data(), CDI_CTRL_MAX_LENGTH + 1, &status));
    EXPECT_EQ(0xFFFFu, status);
    EXPECT_EQ(-1, CdiCtrlWrite(0, nullptr, 4, &status));
    EXPECT_EQ(0xFFFFu, status);
}

TEST(CdiAccessStatusTest, NoFailedAccessReadsAsGood)
{
    struct Case
    {
        int result;
        uint32_t kernel;
        uint32_t status;
    } cases[] = {
        {0, 0, 0},
        {0, 0xDEAD, 0xDEAD0000},
        {0, 0x00010000, 0x00000001}, // upper bits of the driver's status are not lost
        {0, 0x8001FFFF, 0xFFFF8001},
        {-1, 0, 0xFFFF},
        {-1, 0xDEAD, 0xFFFF},
        {0x20005, 0, 0x0005},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.status, CdiAccessStatus(c.result, c.kernel))
            << c.result << " / 0x" << std::hex << c.kernel;
}

TEST_F(CdiTest, FpgaNodeServesWhereThereIsNoCdiNode)
{
    strcpy(CdiName, "/dev/cdi-absent");
    ASSERT_EQ(0, CdiOpen());
    EXPECT_EQ(0, CdiLedControl(0x1000));
    EXPECT_EQ("leds=0x00001000 test=off shown=0x00001000\n", Tool("leds"));
    uint32_t status = 0xFFFFFFFF;
    EXPECT_EQ(0, CdiCtrlWriteValue(0x10, 0xA5, &status));
    EXPECT_EQ(0u, status);

    // The FPGA node answers this request number with a far longer record.
    std::unique_ptr<uint8_t[]> hex(new uint8_t[CDI_HEX_SWITCH_RECORD_SIZE]);
    memset(hex.get(), 0xEE, CDI_HEX_SWITCH_RECORD_SIZE);
    EXPECT_EQ(-1, CdiGetHexSwitches(hex.get()));
    for (uint32_t i = 0; i < CDI_HEX_SWITCH_RECORD_SIZE; ++i)
        ASSERT_EQ(0xEE, hex[i]);
    EXPECT_EQ(0, CdiGetHexSwitchesDebounced(hex.get()));

    // Once the CDI node is there again, the next open uses it.
    CdiClose();
    strcpy(CdiName, "/dev/cdi");
    ASSERT_EQ(0, CdiOpen());
    EXPECT_EQ(0, CdiGetHexSwitches(hex.get()));
}

TEST_F(CdiTest, OpenFailsWhenNeitherNodeOpens)
{
    // A device directory below a plain file cannot be set up: no node opens.
    const std::string file = m_pDevice->Dir() + "/plain";
    std::ofstream(file) << "x";
    UseDevice(file + "/device");
    EXPECT_EQ(-1, CdiOpen());
    EXPECT_EQ(1, CdiIsNotOpen());
    EXPECT_EQ(-1, CdiLedControl(1));

    // The failed open counted no user.
    UseDevice(m_pDevice->Dir());
    ASSERT_EQ(0, CdiOpen());
    CdiClose();
    EXPECT_EQ(1, CdiIsNotOpen());
}

} // namespace
