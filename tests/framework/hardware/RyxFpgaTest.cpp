// The FPGA device interface against the simulated FPGA.
#include "RyxFpga.h"

#include "KovePlatform.h"
#include "KoveTestSupport.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <thread>

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

class RyxFpga : public ::testing::Test
{
protected:
    RyxFpga()
    {
        setenv("KOVE_SIM", m_tDevice.Dir().c_str(), 1);
        PlatReloadSimulation();
    }
    ~RyxFpga() override
    {
        while (HRyx != -1)
            RyxFpgaClose();
        strcpy(RyxFpgaName, "/dev/ryxfpga");
        unsetenv("KOVE_SIM");
        PlatReloadSimulation();
    }

    // A one-word raw access; returns the request's result, the status word in *status.
    static int Raw(bool write, uint32_t address, uint32_t* value, uint32_t* status)
    {
        uint8_t block[16];
        Put32(block, write ? 0 : 0xDEAD);
        Put32(block + 4, address);
        Put32(block + 8, 4);
        Put32(block + 12, write ? *value : 0xAFFEDEAD);
        int r = write ? RyxFpgaRawWrite(block) : RyxFpgaRawRead(block);
        *status = Get32(block);
        if (!write)
            *value = Get32(block + 12);
        return r;
    }

    kovetest::CSimDevice m_tDevice;
};
} // namespace

TEST_F(RyxFpga, OpensAreCountedAndTheLastCloseCloses)
{
    int handle = 0;
    unsigned count = 99;
    RyxFpgaClose(); // closed: nothing happens
    RyxFpgaGetInternals(&handle, &count);
    EXPECT_EQ(-1, handle);
    EXPECT_EQ(0u, count);

    ASSERT_EQ(0, RyxFpgaOpen());
    ASSERT_EQ(0, RyxFpgaOpen());
    RyxFpgaGetInternals(&handle, nullptr);
    RyxFpgaGetInternals(nullptr, &count);
    EXPECT_NE(-1, handle);
    EXPECT_EQ(2u, count);
    RyxFpgaClose();
    EXPECT_EQ(handle, HRyx);
    EXPECT_EQ(1u, RyxFpgaOpenCnt);
    RyxFpgaClose();
    EXPECT_EQ(-1, HRyx);
    EXPECT_EQ(0u, RyxFpgaOpenCnt);

    // Another node than the simulation has: the open fails and counts nothing.
    strcpy(RyxFpgaName, "/dev/ryxfpga9");
    EXPECT_EQ(-1, RyxFpgaOpen());
    EXPECT_EQ(-1, HRyx);
    EXPECT_EQ(0u, RyxFpgaOpenCnt);
    strcpy(RyxFpgaName, "/dev/cdi");
    EXPECT_EQ(0, RyxFpgaOpen());
}

TEST_F(RyxFpga, ClosedDeviceGivesTheFailureValues)
{
    uint8_t record[600] = {};
    uint32_t value = 0;
    uint32_t status = 0;
    EXPECT_EQ(-1, Raw(false, 0, &value, &status));
    EXPECT_EQ(-1, RyxFpgaCall(record, RYXFPGA_REQUEST(0x5D), 4));
    EXPECT_EQ(-1, RyxFpgaLedControl(1));
    EXPECT_EQ(-1, RyxFpgaWatchInterruptsWakeUp());
    EXPECT_EQ(0x80000000u, RyxFpgaCfgTransWait());
    EXPECT_EQ(0u, RyxFpgaGetUpdateStatus());
    EXPECT_EQ(0u, RyxFpgaIsSetToFactoryDef());
    EXPECT_EQ(0u, RyxFpgaGetFactoryDefCurrent());
    EXPECT_EQ(0, RyxFpgaGetDebugSize());
    EXPECT_EQ(-1, RyxFpgaGetTimeStamp());
    record[0] = 3;
    EXPECT_EQ(-1, DPdpramGetBusState(3, record));
    EXPECT_EQ(0, record[0]);
    uint8_t in[4] = {}, out[4] = {};
    EXPECT_EQ(0, VIM2KBF_DeviceIoControl(nullptr, 2, in, 4, out, 4, nullptr));
}

TEST_F(RyxFpga, RawAccessReportsRefusalInTheStatusWord)
{
    ASSERT_EQ(0, RyxFpgaOpen());
    uint32_t value = 0xBEEF;
    uint32_t status = 1;
    EXPECT_EQ(0, Raw(true, 0x800, &value, &status));
    EXPECT_EQ(0u, status);
    value = 0;
    EXPECT_EQ(0, Raw(false, 0x800, &value, &status));
    EXPECT_EQ(0u, status);
    EXPECT_EQ(0xBEEFu, value);

    m_tDevice.Tool("refuse", {"0x800"});
    value = 1;
    EXPECT_EQ(0, Raw(true, 0x800, &value, &status)); // the request succeeds ...
    EXPECT_NE(0u, status);                           // ... the access does not
    EXPECT_EQ(0, Raw(false, 0x800, &value, &status));
    EXPECT_NE(0u, status);
    m_tDevice.Tool("refuse", {"0x800", "off"});
    EXPECT_EQ(0, Raw(false, 0x800, &value, &status));
    EXPECT_EQ(0xBEEFu, value);
}

TEST_F(RyxFpga, DeviceIoControlAdaptsSingleWordAccesses)
{
    ASSERT_EQ(0, RyxFpgaOpen());
    struct
    {
        uint32_t code;
        uint32_t inLength;
        uint32_t outLength;
        int result;
        uint32_t returned;  // bytesReturned after the call (starts at 77)
        uint32_t wordAfter; // bus word 0x900 after the call (starts at 5)
    } cases[] = {
        {2, 0, 0, 1, 4, 5},  // read
        {3, 4, 4, 1, 4, 5},  // read, out length 4
        {3, 4, 8, 0, 77, 5}, // read with another out length: no access
        {6, 0, 0, 1, 0, 9},  // write
        {7, 4, 4, 1, 0, 9},  // write, in length 4
        {7, 8, 4, 0, 77, 5}, // write with another in length: no access
        {4, 4, 4, 0, 77, 5}, // codes 4, 5 and those outside 2..7 do nothing
        {5, 4, 4, 0, 77, 5}, {1, 4, 4, 0, 77, 5}, {8, 4, 4, 0, 77, 5},
    };
    for (const auto& c : cases)
    {
        uint32_t five = 5;
        uint32_t status = 0;
        ASSERT_EQ(0, Raw(true, 0x900, &five, &status));
        bool write = c.code >= 6;
        uint8_t in[4], out[4];
        Put32(in, write ? 9 : 0x900);  // value to write, or address to read
        Put32(out, write ? 0x900 : 0); // address to write, or the word read
        uint32_t returned = 77;
        EXPECT_EQ(c.result, VIM2KBF_DeviceIoControl(nullptr, c.code, in, c.inLength, out,
                                                    c.outLength, &returned))
            << c.code << "/" << c.inLength << "/" << c.outLength;
        EXPECT_EQ(c.returned, returned) << c.code;
        uint32_t word = 0;
        ASSERT_EQ(0, Raw(false, 0x900, &word, &status));
        EXPECT_EQ(c.wordAfter, word) << c.code;
        if (c.result == 1 && !write)
        {
            EXPECT_EQ(5u, Get32(out));
        }
    }

    // A refused read fails and leaves bytesReturned alone.
    m_tDevice.Tool("refuse", {"0x900"});
    uint8_t in[4], out[4] = {};
    Put32(in, 0x900);
    uint32_t returned = 77;
    EXPECT_EQ(0, VIM2KBF_DeviceIoControl(nullptr, 2, in, 4, out, 4, &returned));
    EXPECT_EQ(77u, returned);
    EXPECT_EQ(0, VIM2KBF_DeviceIoControl(nullptr, 2, nullptr, 4, out, 4, &returned));
}

TEST_F(RyxFpga, HexSwitchesLedsAndFactoryButton)
{
    ASSERT_EQ(0, RyxFpgaOpen());
    m_tDevice.Tool("hex", {"2,6,1,0"});
    uint8_t record[16];
    memset(record, 0xEE, sizeof record);
    ASSERT_EQ(0, RyxFpgaGetHexSwitchesDebounced(record));
    const uint8_t expected[16] = {2, 6, 1, 0};
    EXPECT_EQ(0, memcmp(expected, record, sizeof record));
    const uint8_t published[16] = {255, 255, 255, 255};
    EXPECT_EQ(0, RyxFpgaSetHexSwitches(const_cast<uint8_t*>(published)));

    EXPECT_EQ(0, RyxFpgaLedControl(0x50000000));
    EXPECT_EQ(0, RyxFpgaLedTestStart());
    EXPECT_EQ("leds=0x50000000 test=on shown=0x50000000\n", m_tDevice.Tool("leds"));
    EXPECT_EQ(0, RyxFpgaLedTestStop());
    EXPECT_EQ("leds=0x50000000 test=off shown=0x50000000\n", m_tDevice.Tool("leds"));

    EXPECT_EQ(0u, RyxFpgaGetFactoryDefCurrent());
    m_tDevice.Tool("button", {"on"});
    EXPECT_EQ(1u, RyxFpgaGetFactoryDefCurrent());
    EXPECT_EQ(0u, RyxFpgaIsSetToFactoryDef());
    EXPECT_EQ(0u, RyxFpgaGetUpdateStatus());
    EXPECT_EQ(0, RyxFpgaSetUpdateError(3));
    EXPECT_EQ(0, RyxFpgaGetDebugSize());
}

TEST_F(RyxFpga, TimeStampFollowsTheMonotonicClockInMicroseconds)
{
    ASSERT_EQ(0, RyxFpgaOpen());
    auto now = []
    {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    };
    int64_t before = now();
    int64_t stamp = RyxFpgaGetTimeStamp();
    int64_t after = now();
    EXPECT_LE(before, stamp);
    EXPECT_GE(after, stamp);
}

TEST_F(RyxFpga, WaitsEndAndCanBeWokenUp)
{
    ASSERT_EQ(0, RyxFpgaOpen());
    EXPECT_EQ(0x80000000u, RyxFpgaCfgTransWait());
    uint8_t bus[520] = {};
    EXPECT_EQ(0, DPdpramGetBusState(1, bus));
    EXPECT_EQ(1, bus[0]);

    std::atomic<bool> done{false};
    int result = 0;
    std::thread waiter(
        [&]
        {
            uint8_t record[36];
            result = RyxFpgaWatchInterruptsWait(record);
            done = true;
        });
    while (!done)
    {
        EXPECT_EQ(0, RyxFpgaWatchInterruptsWakeUp());
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    waiter.join();
    EXPECT_EQ(-1, result);
}
