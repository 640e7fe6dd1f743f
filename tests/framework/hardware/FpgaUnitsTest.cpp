// The FPGA unit drivers (platform set-up, synchronizer unit, bus-master and PCI-master channel
// units) against the simulated FPGA: the register words each set-up writes, the limits of the
// reservations, and the bounded waits on busy bits.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Bpbm.h"
#include "Dfcm.h"
#include "FpgaPlatform.h"
#include "KestrelStatus.h"
#include "KovePlatform.h"
#include "KoveTestSupport.h"
#include "Pcim.h"
#include "QTX.h"
#include "QTXBus.h"
#include "QTXGlobal.h"

namespace
{
class CUnitDriver : public CQTX
{
public:
    std::string GetModuleName() override { return "Units"; }
    void InitCQTX() override {}
    void BootHardware() override {}
    bool ParseAndCheckConfiguration(int& /*setIndex*/) override { return true; }
    void SetHardwareConfiguration() override {}
};

uint32_t* At(uint32_t address)
{
    return reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(address));
}

// A driver object on the FPGA of a fresh simulated device, reachable by the units' bus bridge.
class FpgaUnits : public testing::Test
{
protected:
    FpgaUnits() : sSavedRoot(sQTXRootDirectory)
    {
        setenv("KOVE_SIM", tDevice.Dir().c_str(), 1);
        PlatReloadSimulation();
        pDriver = std::make_unique<CUnitDriver>();
        SetGlobalQTX(pDriver.get());
        TesraInit(0);
    }
    ~FpgaUnits() override
    {
        ClearGlobalQTX(pDriver.get());
        pDriver.reset();
        unsetenv("KOVE_SIM");
        PlatReloadSimulation();
        sQTXRootDirectory = sSavedRoot;
    }
    static uint32_t Word(uint32_t address)
    {
        uint32_t value = 0xDEADBEEF;
        read_u32(At(address), &value);
        return value;
    }
    static void Poke(uint32_t address, uint32_t value) { store_u32(At(address), value); }

    std::string sSavedRoot;
    kovetest::CSimDevice tDevice;
    std::unique_ptr<CUnitDriver> pDriver;
};

struct SRegisterCase
{
    const char* szSetting;
    std::function<void()> fSetUp;
    std::vector<std::pair<uint32_t, uint32_t>> vExpected; // bus address, word
};

TEST_F(FpgaUnits, SetUpsWriteTheirRegisterWords)
{
    const uint32_t data[2] = {0xD0D0D0D0, 0xD1D1D1D1};
    const std::vector<SRegisterCase> cases = {
        {"platform start values",
         []
         {
             Poke(0x1101FC, 5);
             Poke(0x1102FC, 5);
             TesraInit(0);
         },
         {{0x1101FC, 0},
          {0x1102FC, 0},
          {0x1100B0, 0},
          {0x1100B4, 1599},
          {0x1100B8, 3199},
          {0x1100BC, 63999},
          {0x110090, 1125899906}}},
        {"synchronizer unit init",
         [] { DfcmInit(0x1234, 1); },
         {{0x110080, 0xC0000000},
          {0x110084, 0x1234},
          {0x110280, 0},
          {0x11027C, 0xC0000000},
          {0x110000, 0x08000000}}},
        {"synchronizer 3",
         [] { EXPECT_EQ(0x100080u, DfcmAllocateSynchronizer(3, 0x7F, 5, 10)); },
         {{0x10000C, 0x100080}, {0x11028C, 0x057F0009}}},
        {"transfer of 65 units with data and one option",
         [&] { EXPECT_EQ(0x100098u, DfcmPrgTransfer(0x1000, 0x2000, 65, 0, 7, data, 1, 0, 0x45)); },
         {{0x100080, 0x98050041},
          {0x100084, 0x1000},
          {0x100088, 0x2000},
          {0x10008C, 7},
          {0x100090, 0xD0D0D0D0},
          {0x100094, 0xD1D1D1D1}}},
        {"link",
         [] { EXPECT_EQ(0x1000A4u, DfcmPrgLink(0x100080)); },
         {{0x100098, 0x20000000}, {0x10009C, 0x100080}, {0x1000A0, 0}}},
        {"synchronizer 3 enabled",
         [] { EXPECT_EQ(0, DfcmEnableSynchronizer(3, 1)); },
         {{0x11028C, 0x857F0009}}},
        {"user LED 2, state cut to two bits",
         []
         {
             Poke(0x8, 0x00000001);
             DfcmSetUserLed(2, 7);
         },
         {{0x8, 0x31}}},
        {"timer intervals: timers 1 and 2 at 0x1100B4 + 4t in counts; 0 and 3 on refused",
         []
         {
             EXPECT_EQ(1599u, DfcmReadTimerInterval(0));
             EXPECT_EQ(3199u, DfcmReadTimerInterval(1));
             EXPECT_EQ(63999u, DfcmReadTimerInterval(2));
             Poke(0x1100C0, 0x12345678); // the first data-valid input, behind the timers
             const struct
             {
                 uint32_t timer, interval;
                 int result;
             } cases[] = {{0, 800, 1}, {1, 800, 0}, {2, 0, 0}, {3, 100, 1}, {4, 100, 1}};
             for (const auto& c : cases)
                 EXPECT_EQ(c.result, DfcmSetTimerInterval(c.timer, c.interval)) << c.timer;
             EXPECT_EQ(799u, DfcmReadTimerInterval(1));
             EXPECT_EQ(0u, DfcmReadTimerInterval(3));
         },
         {{0x1100B4, 1599}, {0x1100B8, 799}, {0x1100BC, 0xFFFFFFFF}, {0x1100C0, 0x12345678}}},
        {"timers (15, 15) keep the clock value",
         []
         {
             Poke(0x1100B0, 0x00AB0000);
             DfcmControlTimer(15, 15);
         },
         {{0x1100B0, 0x00AB0F0F}}},
        {"data-valid input 1 with count 0",
         [] { EXPECT_EQ(0u, DfcmInDataValid(1, 3, 0)); },
         {{0x1100C0, 0x3FF}}},
        {"debug pin through multiplexer 12",
         [] { EXPECT_EQ(0, DfcmProgramDebugPin(2, 1, 12, 1, 0x55, 3)); },
         {{0x1101A4, 0x5500}, {0x1101C8, 0x80003C01}}},
        {"debug pin without multiplexer",
         [] { EXPECT_EQ(0, DfcmProgramDebugPin(0, 0, 3, 1, 0x55, 0)); },
         {{0x1101C0, 0x355}}},
        {"debug pin 16 refused (would hit a synchronizer reset word)",
         [] { EXPECT_EQ(1, DfcmProgramDebugPin(16, 1, 3, 0, 1, 0)); },
         {{0x110200, 0xC0000000}}},
        {"watchdog 1", [] { EXPECT_EQ(0u, DfcmSetWatchdog(1, 100)); }, {{0x11009C, 0x80000063}}},
        {"digital input 7",
         [] { EXPECT_EQ(0u, DfcmConfigDigIn(7, 2, 0x1234)); },
         {{0x11019C, 0x20001234}}},
        {"bus-master unit init",
         [] { EXPECT_EQ(0, BpbmInit(0x12, 0x3, 1)); },
         {{0x170004, 0xC0001230},
          {0x171000, 0x0C000000},
          {0x171008, 0xC0000000},
          {0x1711E8, 0xC0000000},
          {0x170008, 0x0C000000}}},
        {"bus-master channel 2",
         [] { EXPECT_EQ(0x160100u, BpbmAllocateChannel(2, 5, 3, 1, 4, 100, 7, 0x11, 0x22, 1)); },
         {{0x160020, 0x160100},
          {0x160024, 0x11},
          {0x160028, 0x22},
          {0x171044, 0x19050003},
          {0x171040, 0xC0642007}}},
        {"bus-master transfer without ports",
         [] { EXPECT_EQ(0x160108u, BpbmPrgTransfer(0x3FFF, 0x1234, 0x100, 1, 1, 255, 255)); },
         {{0x160100, 0xCF0F0100}, {0x160104, 0x3FFF1234}}},
        {"bus-master transfer with ports",
         [] { EXPECT_EQ(0x160110u, BpbmPrgTransfer(1, 2, 3, 0, 0, 4, 5)); },
         {{0x160108, 0x15140003}, {0x16010C, 0x00010002}}},
        {"PCI-master unit init",
         [] { PcimInit(0x1234, 0x56); },
         {{0x0E0008, 0x80123456}, {0x0E1028, 0xC0000000}, {0x0E000C, 0x08000000}}},
        {"PCI-master channel 1 of length 0",
         [] {
             EXPECT_EQ(0,
                       PcimAllocateChannel(1, 2, 3, 8, 1, 0x8001, 0x7FFF, 0xAAAA, 0xBBBB, 0, 1, 1));
         },
         {{0x0C0010, 0xAAAA},
          {0x0C0014, 0xBBBB},
          {0x0C0018, 0x7FFF0001},
          {0x0E1024, 0x03020007},
          {0x0E1020, 0xE00003FF}}},
        {"PCI-master detector 9 is detector 1",
         [] { PcimProgramDetector(9, 0x7F, 2); },
         {{0x0E0024, 0x027F0000}}},
        {"PCI-master polling", [] { PcimSetPolling(1); }, {{0x0E0004, 0x40000000}}},
    };
    for (const SRegisterCase& c : cases)
    {
        SCOPED_TRACE(c.szSetting);
        c.fSetUp();
        for (const auto& expected : c.vExpected)
            EXPECT_EQ(expected.second, Word(expected.first)) << std::hex << expected.first;
    }
    // The words are on the device's bus, for every process of the device.
    EXPECT_NE(std::string::npos, tDevice.Tool("peek", {"0x11028C"}).find("857F0009"));
}

TEST_F(FpgaUnits, SynchronizersAreReservedOnceAndOnlyWithinTheUnit)
{
    DfcmSetConfigPointer(0);
    EXPECT_EQ(0u, DfcmAllocateSynchronizer(0, 1, 1, 1)); // no list yet: nothing reserved
    EXPECT_EQ(0u, DfcmPrgLink(0x100080));
    DfcmInit(0, 0);
    EXPECT_EQ(1, DfcmEnableSynchronizer(0, 1));
    for (uint32_t n = 0; n < DFCM_SYNCHRONIZERS; ++n)
        EXPECT_EQ(0x100080u, DfcmAllocateSynchronizer(n, 0, 0, 1)) << n;
    Poke(0x11028C, 0x1234);
    EXPECT_EQ(0u, DfcmAllocateSynchronizer(3, 1, 1, 8)); // reserved: nothing written
    EXPECT_EQ(0x1234u, Word(0x11028C));

    // Synchronizer 32 would write its list start over the first list word.
    Poke(0x100080, 0xABCD);
    EXPECT_EQ(0u, DfcmAllocateSynchronizer(32, 1, 1, 1));
    EXPECT_EQ(1, DfcmEnableSynchronizer(32, 1));
    EXPECT_EQ(1, DfcmFreeSynchronizer(40));
    EXPECT_EQ(0xABCDu, Word(0x100080));

    EXPECT_EQ(0, DfcmFreeSynchronizer(3));
    EXPECT_EQ(0u, Word(0x10000C));
    EXPECT_EQ(0xC0000000u, Word(0x11020C));
    EXPECT_EQ(1, DfcmResetSynchronizer(3));
    EXPECT_NE(0u, DfcmAllocateSynchronizer(3, 1, 1, 1));
}

TEST_F(FpgaUnits, ChannelsAreReservedOnceAndOnlyWithinTheUnit)
{
    BpbmSetConfigPointer(0);
    EXPECT_EQ(0u, BpbmAllocateChannel(0, 1, 1, 1, 1, 1, 0, 0, 0, 0));
    ASSERT_EQ(0, BpbmInit(0, 0, 1));
    EXPECT_EQ(1, BpbmEnableChannel(0, 1)); // the earlier call reserved nothing
    PcimInit(0, 0);
    for (uint32_t ch = 0; ch < 16; ++ch)
    {
        EXPECT_EQ(0x160100u, BpbmAllocateChannel(ch, 1, 1, 1, 1, 1, 0, 0, 0, 0)) << ch;
        EXPECT_EQ(0, PcimAllocateChannel(ch, 1, 1, 1, 0, 0, 0, ch, 0, 1, 0, 0)) << ch;
    }
    EXPECT_EQ(0u, BpbmAllocateChannel(5, 1, 1, 1, 1, 1, 0, 0, 0, 0));
    EXPECT_EQ(1, PcimAllocateChannel(5, 1, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0));
    EXPECT_EQ(5u, PcimReadPcAddress(5));

    // Channel 16 would write over the bus-master list and the trace window.
    Poke(0x160100, 0xABCD);
    Poke(0x0C0100, 0xABCE);
    EXPECT_EQ(0u, BpbmAllocateChannel(16, 1, 1, 1, 1, 1, 0, 0x77, 0x77, 0));
    EXPECT_EQ(1, PcimAllocateChannel(16, 1, 1, 1, 0, 0, 0, 0x77, 0x77, 1, 0, 0));
    EXPECT_EQ(1, BpbmEnableChannel(16, 1));
    EXPECT_EQ(1, PcimFreeChannel(16));
    EXPECT_EQ(0u, PcimReadPcAddress(16));
    EXPECT_EQ(0xABCDu, Word(0x160100));
    EXPECT_EQ(0xABCEu, Word(0x0C0100));

    EXPECT_EQ(0, BpbmEnableChannel(5, 1));
    EXPECT_EQ(0x80000000u, Word(0x1710A4) & 0x80000000u);
    EXPECT_EQ(0, BpbmFreeChannel(5));
    EXPECT_EQ(0u, Word(0x1710A4) & 0x80000000u);
    EXPECT_EQ(0u, Word(0x160050));
    EXPECT_EQ(1, BpbmResetChannel(5));
    EXPECT_EQ(0, PcimFreeChannel(5));
    EXPECT_EQ(1, PcimEnableChannel(5, 1));
    EXPECT_EQ(0x160100u, BpbmAllocateChannel(5, 1, 1, 1, 1, 1, 0, 0, 0, 0));
    EXPECT_EQ(0, PcimAllocateChannel(5, 1, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0));
}

TEST_F(FpgaUnits, HardwareWaitsEndWithATimeOut)
{
    Poke(0x170008, 0x80000000); // the bus master stays busy
    EXPECT_EQ(KESTREL_TIMEOUT, BpbmInit(0, 0, 0));
    EXPECT_EQ(0u, Word(0x170004) & 0x80000000u); // left disabled

    Poke(0x004000, 0x80000000); // the SPI master stays busy
    uint32_t read = 7;
    EXPECT_EQ(KESTREL_TIMEOUT, SpiTransferWait(0x5A, &read));
    EXPECT_EQ(7u, read);
    EXPECT_EQ(0x45454545u, SpiTransfer(0x5A));

    Poke(0x004000, 0);
    EXPECT_EQ(0x5Au, SpiTransfer(0x5A)); // the simulated bus hands the data word back
    SpiCs(1);
    SpiByteCount(9);
    EXPECT_EQ(0x1u, Word(0x004000));
    SpiCs(0);
    EXPECT_EQ(0x101u, Word(0x004000));
}

TEST_F(FpgaUnits, TraceCopyGivesTheNewestWordsOldestFirst)
{
    DfcmInit(0, 0);
    DfcmEnableTrace(1, 0); // 128 words ending at the marker word
    EXPECT_EQ(0x2u, Word(0x110080) & 0xE);
    const uint32_t start = 0x0C8000 - 128 * 4;
    for (uint32_t i = 0; i < 5; ++i)
        Poke(start + 4 * i, 100 + i);
    DfcmSetTracePointer(5);
    uint32_t words[8] = {};
    ASSERT_EQ(3u, DfcmCopyTraceData(words, 3));
    EXPECT_EQ(102u, words[0]);
    EXPECT_EQ(104u, words[2]);
    EXPECT_EQ(5u, DfcmCopyTraceData(words, 8)); // not wrapped: only what was written

    Poke(0x0C7FFC, 0x99); // wrapped: the copy reaches back over the ring's end
    ASSERT_EQ(8u, DfcmCopyTraceData(words, 8));
    EXPECT_EQ(0x99u, words[2]);
    EXPECT_EQ(100u, words[3]);
    DfcmEnableTrace(0, 0);
    EXPECT_EQ(0u, DfcmCopyTraceData(words, 8));
}

TEST(FpgaUnitValues, ClockIncrements)
{
    EXPECT_EQ(1125899906u, DfcmCalcTimeStampInc());
    EXPECT_EQ(16384000u, DfcmCalcSysClockInc(0.001));
    EXPECT_EQ(0u, DfcmCalcSysClockInc(-1.0));
}
} // namespace
