// Backplane-bus access of the driver: the simulation buffer, the FPGA device of a simulated
// device, comparisons, tracing, the hardware family and clock, and the C entry points.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "KovePlatform.h"
#include "KoveTestSupport.h"
#include "QTX.h"
#include "QTXBus.h"
#include "RyxFpga.h"
#include "nyDebug.h"

namespace
{
class CBusDriver : public CQTX
{
public:
    std::string GetModuleName() override { return "Bus"; }
    void InitCQTX() override {}
    void BootHardware() override {}
    bool ParseAndCheckConfiguration(int& /*setIndex*/) override { return true; }
    void SetHardwareConfiguration() override {}

    void Simulate(bool on) { bSimulate = on; }
    void SetBase(uint32_t base) { ulBpbBaseAddress = base; }
    uint32_t CompareAddress() const { return ulBpbCompareAddress; }
    uint32_t CompareRead() const { return ulBpbCompareRead; }
    uint32_t CompareWanted() const { return ulBpbCompareWanted; }
};

uint32_t LittleEndianWord(const unsigned char* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// A driver that simulates, with a 64-byte simulation buffer placed in the middle of a larger
// block, so that an access outside the buffer shows in the guard bytes around it.
class QTXBusSimulated : public testing::Test
{
protected:
    static constexpr size_t kGuard = 64;
    static constexpr uint32_t kSize = 64;

    QTXBusSimulated() : vBlock(kGuard + kSize + kGuard, 0xA5)
    {
        tDriver.Simulate(true);
        tDriver.SetBPBSimulationBuffer(Buffer(), kSize);
    }
    unsigned char* Buffer() { return vBlock.data() + kGuard; }
    bool GuardsIntact() const
    {
        for (size_t i = 0; i < kGuard; ++i)
            if (vBlock[i] != 0xA5 || vBlock[kGuard + kSize + i] != 0xA5)
                return false;
        return true;
    }

    std::vector<unsigned char> vBlock;
    CBusDriver tDriver;
};

TEST_F(QTXBusSimulated, WordsGoToTheBufferAtTheRoundedEffectiveAddress)
{
    memset(Buffer(), 0, kSize);
    tDriver.BPBWriteWord(0x13, 0x11223344, true); // rounded down to 0x10
    EXPECT_EQ(0x11223344u, LittleEndianWord(Buffer() + 0x10));
    EXPECT_EQ(0x44, Buffer()[0x10]); // little-endian, as on the device
    EXPECT_EQ(0x11223344u, tDriver.BPBReadWord(0x12, true));

    tDriver.SetBase(0x20);
    tDriver.BPBWriteWord(4, 0xCAFE0001, false); // relative: 0x20 + 4
    EXPECT_EQ(0xCAFE0001u, LittleEndianWord(Buffer() + 0x24));
    EXPECT_EQ(0xCAFE0001u, tDriver.BPBReadWord(0x24, true));
    EXPECT_EQ(0x11223344u, tDriver.BPBReadWord(-0x10, false)); // 0x20 - 0x10
}

TEST_F(QTXBusSimulated, AccessesOutsideTheBufferAreNotServed)
{
    memset(Buffer(), 0, kSize);
    // Offsets at and beyond the end, and "negative" ones that wrap to high unsigned offsets.
    for (int32_t address : {64, 68, 0x7FFFFFFC, -4, -64, static_cast<int32_t>(0x80000000)})
    {
        SCOPED_TRACE(address);
        EXPECT_EQ(0xDEADCAFEu, tDriver.BPBReadWord(address, true));
        tDriver.BPBWriteWord(address, 0xFFFFFFFF, true);
        uint32_t words[4] = {1, 2, 3, 4};
        tDriver.BPBWriteBuffer(address, words, 4, true);
        tDriver.BPBReadBuffer(address, words, 4, true);
        EXPECT_EQ(1u, words[0]);
        EXPECT_EQ(4u, words[3]);
    }
    EXPECT_TRUE(GuardsIntact());
    for (uint32_t i = 0; i < kSize; ++i)
        ASSERT_EQ(0, Buffer()[i]) << i;
}

TEST_F(QTXBusSimulated, RunsThatPassTheEndCopyOnlyTheWordsThatFit)
{
    memset(Buffer(), 0, kSize);
    const uint32_t words[4] = {0x10, 0x20, 0x30, 0x40};
    tDriver.BPBWriteBuffer(56, words, 4, true); // two words fit
    EXPECT_EQ(0x10u, LittleEndianWord(Buffer() + 56));
    EXPECT_EQ(0x20u, LittleEndianWord(Buffer() + 60));
    EXPECT_TRUE(GuardsIntact());

    uint32_t read[4] = {7, 7, 7, 7};
    tDriver.BPBReadBuffer(56, read, 4, true);
    EXPECT_EQ(0x10u, read[0]);
    EXPECT_EQ(0x20u, read[1]);
    EXPECT_EQ(7u, read[2]); // not served: left as it was
    EXPECT_EQ(7u, read[3]);
}

TEST(QTXBusSimulation, WithoutABufferReadsShowTheFillAndComparesSucceed)
{
    CBusDriver driver;
    driver.Simulate(true);
    EXPECT_FALSE(driver.BPBRealHardwareAvailable());
    EXPECT_EQ(0xDEADCAFEu, driver.BPBReadWord(0, true));
    uint32_t words[2] = {5, 6};
    driver.BPBReadBuffer(0, words, 2, true);
    EXPECT_EQ(5u, words[0]);
    driver.BPBWriteWord(0, 1, true);
    EXPECT_TRUE(driver.BPBCompareWord(0, 0x12345678, 0xFFFFFFFF, true));
    EXPECT_TRUE(driver.BPBCompareBuffer(0, words, 2, true));
    EXPECT_EQ(0u, driver.CompareAddress());
    // Every simulating driver is of the data-acquisition family.
    EXPECT_EQ(11, driver.GetHWFamily());
    EXPECT_GT(driver.GetHardwareTime(), 1.0e9);
}

TEST(QTXBusC, EntryPointsNeedTheDriverObject)
{
    // The C entry points and the C++ functions behind them behave alike.
    const struct
    {
        const char* what;
        int (*store)(uint32_t*, uint32_t);
        int (*read)(uint32_t*, uint32_t*);
        int (*check)(uint32_t*, uint32_t);
    } names[] = {
        {"C", store_u32, read_u32, check_u32},
        {"C++", CppStoreU32, CppReadU32, CppCheckU32},
    };
    uint32_t* const at16 = reinterpret_cast<uint32_t*>(uintptr_t{16});
    for (const auto& n : names)
    {
        SCOPED_TRACE(n.what);
        ASSERT_EQ(nullptr, ptGlobalQTX);
        uint32_t value = 99;
        EXPECT_EQ(-1, n.store(at16, 1));
        EXPECT_EQ(-1, n.read(at16, &value));
        EXPECT_EQ(99u, value);
        EXPECT_EQ(0, n.check(at16, 0));

        unsigned char buffer[32] = {};
        CBusDriver driver;
        driver.Simulate(true);
        driver.SetBPBSimulationBuffer(buffer, sizeof buffer);
        driver.SetBase(8); // the entry points address the bus absolutely
        SetGlobalQTX(&driver);
        EXPECT_EQ(0, n.store(at16, 0xA1B2C3D4));
        EXPECT_EQ(0xA1B2C3D4u, LittleEndianWord(buffer + 16));
        EXPECT_EQ(0, n.read(at16, &value));
        EXPECT_EQ(0xA1B2C3D4u, value);
        EXPECT_EQ(1, n.check(at16, 0xA1B2C3D4));
        driver.Simulate(false); // without a device every word reads as the fill word
        EXPECT_EQ(0, n.check(at16, 0xA1B2C3D4));
        EXPECT_EQ(1, n.check(at16, 0x45454545));
        ClearGlobalQTX(&driver);
    }
}

// A driver on the FPGA device of a simulated device (without -Simulate).
class QTXBusDevice : public testing::Test
{
protected:
    explicit QTXBusDevice(const std::vector<std::string>& create = {"--family", "WAG"})
        : sSavedRoot(sQTXRootDirectory), tDevice(create), pDriver(Open(tDevice))
    {
    }
    ~QTXBusDevice() override
    {
        pDriver.reset();
        unsetenv("KOVE_SIM");
        PlatReloadSimulation();
        sQTXRootDirectory = sSavedRoot; // the driver placed it in the simulated device
    }
    static std::unique_ptr<CBusDriver> Open(const kovetest::CSimDevice& device)
    {
        setenv("KOVE_SIM", device.Dir().c_str(), 1);
        PlatReloadSimulation();
        return std::make_unique<CBusDriver>();
    }
    std::string Peek(uint32_t address) const
    {
        std::string out = tDevice.Tool("peek", {std::to_string(address)});
        while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
            out.pop_back();
        return out;
    }
    void Poke(uint32_t address, uint32_t value) const
    {
        tDevice.Tool("poke", {std::to_string(address), std::to_string(value)});
    }

    std::string sSavedRoot;
    kovetest::CSimDevice tDevice;
    std::unique_ptr<CBusDriver> pDriver;
};

TEST_F(QTXBusDevice, WordsAndRunsReachTheSimulatedBus)
{
    CBusDriver& driver = *pDriver;
    EXPECT_TRUE(driver.BPBRealHardwareAvailable());
    Poke(0x2000, 0x01020304);
    EXPECT_EQ(0x01020304u, driver.BPBReadWord(0x2003, true));

    driver.BPBWriteWord(0x2008, 0xFEEDBEEF, true);
    EXPECT_NE(Peek(0x2008).find("FEEDBEEF"), std::string::npos) << Peek(0x2008);

    // Relative addressing in the upper bus range.
    driver.SetBase(0x80000000);
    Poke(0x80000004, 0x0BADF00D);
    EXPECT_EQ(0x0BADF00Du, driver.BPBReadWord(4, false));

    const uint32_t run[3] = {0x11, 0x22, 0x33};
    driver.BPBWriteBuffer(0x100, run, 3, false);
    uint32_t back[3] = {};
    driver.BPBReadBuffer(0x80000100, back, 3, true);
    EXPECT_EQ(0x11u, back[0]);
    EXPECT_EQ(0x33u, back[2]);
}

TEST_F(QTXBusDevice, RefusedAccessesShowTheFillWords)
{
    CBusDriver& driver = *pDriver;
    tDevice.Tool("refuse", {"0x3004"});
    EXPECT_EQ(0x45454545u, driver.BPBReadWord(0x3004, true));
    uint32_t words[3] = {};
    driver.BPBReadBuffer(0x3000, words, 3, true); // one refused word fails the whole run
    for (uint32_t word : words)
        EXPECT_EQ(0x45454545u, word);
}

TEST_F(QTXBusDevice, FailedComparisonsAreRecorded)
{
    CBusDriver& driver = *pDriver;
    driver.SetBase(0x4000);
    Poke(0x4010, 0x12345678);
    EXPECT_TRUE(driver.BPBCompareWord(0x10, 0x00005678, 0x0000FFFF, false));
    EXPECT_EQ(0u, driver.CompareAddress());

    // The record holds the address as given plus the base, unrounded, and the masked value.
    EXPECT_FALSE(driver.BPBCompareWord(0x12, 0x00001111, 0x0000FFFF, false));
    EXPECT_EQ(0x4012u, driver.CompareAddress());
    EXPECT_EQ(0x5678u, driver.CompareRead());
    EXPECT_EQ(0x1111u, driver.CompareWanted());

    Poke(0x4014, 0xAAAA0001);
    const uint32_t expected[3] = {0x12345678, 0xAAAA0002, 0};
    EXPECT_FALSE(driver.BPBCompareBuffer(0x10, expected, 3, false));
    EXPECT_EQ(0x4014u, driver.CompareAddress());
    EXPECT_EQ(0xAAAA0001u, driver.CompareRead());
    EXPECT_EQ(0xAAAA0002u, driver.CompareWanted());
    const uint32_t equal[2] = {0x12345678, 0xAAAA0001};
    EXPECT_TRUE(driver.BPBCompareBuffer(0x4010, equal, 2, true));
}

TEST_F(QTXBusDevice, TheFamilyComesFromTheIdentificationAndIsCachedOnceKnown)
{
    // The identification word reads as "EEE" (the fill word) while address 0 is refused.
    tDevice.Tool("refuse", {"0"});
    CBusDriver& driver = *pDriver;
    EXPECT_EQ(0, driver.GetHWFamily());
    // An unknown family is determined again on the next request; a known one is kept.
    tDevice.Tool("refuse", {"0", "off"});
    EXPECT_EQ(3, driver.GetHWFamily()); // "WAG"
    tDevice.Tool("refuse", {"0"});
    EXPECT_EQ(3, driver.GetHWFamily());
}

class QTXBusClockDevice : public QTXBusDevice
{
protected:
    QTXBusClockDevice() : QTXBusDevice({"--family", "0x00880000"}) {}
};

TEST_F(QTXBusClockDevice, TheClockOfFamilyTwoIsReadFromTheBusWithoutTouchingTracing)
{
    CBusDriver& driver = *pDriver;
    ASSERT_EQ(2, driver.GetHWFamily());
    Poke(0x110018, 1000);
    Poke(0x11001C, 0x80000000);
    for (bool tracing : {false, true})
    {
        driver.AllowHWAccessDebug(tracing);
        EXPECT_DOUBLE_EQ(1000.5, driver.GetHardwareTime());
        EXPECT_EQ(tracing, driver.AllowHWAccessDebug(tracing));
    }
    EXPECT_EQ(1000u, tHWTime[0]);
    EXPECT_EQ(0x80000000u, tHWTime[3]);
}

// A UDP socket on loopback standing in for the debug receiver.
class CDebugReceiver
{
public:
    CDebugReceiver() : m_iSocket(kovetest::LoopbackSocket(SOCK_DGRAM, &m_iPort, 2)) {}
    ~CDebugReceiver() { close(m_iSocket); }
    std::string Address() const { return "127.0.0.1:" + std::to_string(m_iPort); }
    // Datagrams until one contains `text`; empty when none does within the time-out.
    std::string WaitFor(const std::string& text)
    {
        char buffer[65536];
        for (;;)
        {
            ssize_t n = recv(m_iSocket, buffer, sizeof buffer, 0);
            if (n < 0)
                return "";
            std::string datagram(buffer, static_cast<size_t>(n));
            if (datagram.find(text) != std::string::npos)
                return datagram;
        }
    }

private:
    int m_iPort = 0; // before the socket: the constructor fills it
    int m_iSocket = -1;
};

TEST(QTXBusTrace, AccessesAreReportedToTheDebugReceiverAndTheTraceBuffer)
{
    CDebugReceiver receiver;
    std::vector<unsigned char> bus(2048, 0);
    CBusDriver driver;
    driver.Simulate(true);
    driver.SetBPBSimulationBuffer(bus.data(), static_cast<uint32_t>(bus.size()));
    driver.SetDebugSocket(receiver.Address());

    driver.BPBWriteWord(0x10, 0x12345678, true);
    EXPECT_NE("", receiver.WaitFor("DummyWriteToBpb: Address=0x00000010, Data=0x12345678"));

    std::vector<uint32_t> words(300);
    for (uint32_t i = 0; i < words.size(); ++i)
        words[i] = i;
    driver.BPBWriteBuffer(0, words.data(), 300, true);
    std::string run = receiver.WaitFor("DummyWriteToBpb: Address=0x00000000, Length=300, Data=");
    EXPECT_NE(run.find("0x00000000; 0x00000001; "), std::string::npos) << run;
    EXPECT_NE(run.find("0x0000000F\n    [0x0x00000010] 0x00000010; "), std::string::npos) << run;
    EXPECT_NE(run.find("0x000000FF ... "), std::string::npos) << run; // 256 words shown
    EXPECT_EQ(run.find("0x00000100"), std::string::npos) << run;

    driver.Simulate(false); // the closed device: compares fail on the fill word
    EXPECT_FALSE(driver.BPBCompareWord(0x10, 5, 0xFF, true));
    EXPECT_NE("", receiver.WaitFor("CompareWithBpb [Result=false]: Address=0x00000010(Abs.) "
                                   "Wanted=0x00000005 Read=0x45454545Mask=0x000000FF"));
    const uint32_t wanted[2] = {0x45454545, 0};
    EXPECT_FALSE(driver.BPBCompareBuffer(8, wanted, 2, false));
    EXPECT_NE("", receiver.WaitFor("CompareBufferWithBpb [Result=false]: Error at address "
                                   "0x0000000C(Rel.), read 0x45454545, expected 0x00000000"));

    // With tracing off nothing is sent; the trace buffer records reads and writes only.
    driver.Simulate(true);
    std::vector<char> trace(4096);
    ASSERT_EQ(0, nyDebugInit(0, static_cast<uint32_t>(trace.size()), trace.data()));
    const uint32_t savedFlags = nyDebugInterfaceGlobalFlags;
    nyDebugInterfaceGlobalFlags |= NYDEBUG_FLAG_PROGRESS;
    driver.AllowHWAccessDebug(false);
    driver.BPBReadWord(0x10, true);
    driver.AllowHWAccessDebug(true);
    driver.BPBCompareWord(0x10, 0, 0, true);
    driver.BPBReadWord(0x14, true);
    nyDebugInterfaceGlobalFlags = savedFlags;
    std::vector<char> fetched(4096);
    int n = nyDebugFetch(fetched.data(), static_cast<uint32_t>(fetched.size()));
    nyDebugExit();
    ASSERT_GT(n, 0);
    const std::string records(fetched.data(), static_cast<size_t>(n));
    EXPECT_NE(records.find("DummyReadFromBpb: Address=0x00000014, Data=0x00000005"),
              std::string::npos);
    EXPECT_EQ(records.find("Address=0x00000010"), std::string::npos);
    EXPECT_EQ(records.find("Compare"), std::string::npos);
    EXPECT_NE(records.find("[T= "), std::string::npos);
    driver.SetDebugSocket("off");
}
} // namespace
