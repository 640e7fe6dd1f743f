// The hub on the hardware families of the device, seen from outside: systemdriver on a simulated
// device of each family. What its hardware start writes, what a reboot does to the modules, and
// the status record to the peer at the far end of the fiber-optic link, which leaves only while
// the link is up. (Family 1 has no FPGA identification of its own: its hardware start is tested
// on a driver object, in tests/drivers/system.)
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "KoveSimState.h"
#include "KoveTestSupport.h"
#include "RequestClient.h"

using namespace kovetest;

namespace
{
const std::string kHead = "<?xml version=\"1.0\"?>\n";

// The FPGA identification words of the families (kovesim create --family).
const char kFamily2[] = "0x00880000";
const char kNoHardware[] = "DAQ";

// Bus words that the start and the reboot write: the bus master's control word, which is the
// reset word too; the timer control and the first timer interval; the LED word.
constexpr uint32_t kBusMasterControl = 0x170004;
constexpr uint32_t kTimerControl = 0x1100B0;
constexpr uint32_t kFirstTimerInterval = 0x1100B4;
constexpr uint32_t kLedWord = 12;
// What those words hold before the hub starts; a word it leaves alone keeps it.
constexpr uint32_t kBefore = 0x5A5A0F01u;

// Bus words of the simulated FPGA, read and written from this process at once (kovesim would
// take a program start, which under an emulator takes long).
class CBus
{
public:
    explicit CBus(const CSimDevice& device) : m_pState(CSimState::Open(device.Dir())) {}
    bool Usable() const { return m_pState != nullptr; }
    bool Write(uint32_t address, uint32_t value)
    {
        const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                  static_cast<uint8_t>(value >> 16),
                                  static_cast<uint8_t>(value >> 24)};
        return m_pState->BusWrite(address, bytes, 4) == kSimBusOk;
    }
    uint32_t Read(uint32_t address)
    {
        uint8_t bytes[4] = {};
        if (m_pState->BusRead(address, bytes, 4) != kSimBusOk)
            return 0xDEADDEAD;
        return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    }

private:
    std::shared_ptr<CSimState> m_pState;
};

std::unique_ptr<CTestProcess> StartHub(const CSimDevice& device)
{
    auto hub = std::make_unique<CTestProcess>(device, "systemdriver");
    EXPECT_TRUE(hub->WaitForPort(62000)) << hub->Output();
    return hub;
}

CReply Request(const CSimDevice& device, const std::string& request)
{
    return SendRequest(62000, kHead + request, device.Dir() + "/reply.xml");
}

TEST(SystemDriverBoot, TheHardwareStartOfEachFamily)
{
    const struct
    {
        const char* family;
        uint32_t busMasterControl;
        uint32_t timerControl;
        uint32_t firstTimerInterval;
    } cases[] = {
        // The FPGA units start: bus master enabled, timers 0 to 3 enabled and running.
        {kFamily2, 0xC0000000u, 0x00000F0Fu, 1599},
        // Without hardware only the reset word is cleared.
        {kNoHardware, 0, kBefore, kBefore},
        {"WAG", kBefore, kBefore, kBefore},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.family);
        CSimDevice device({"--family", c.family});
        CBus bus(device);
        ASSERT_TRUE(bus.Usable());
        for (uint32_t word : {kBusMasterControl, kTimerControl, kFirstTimerInterval, kLedWord})
            ASSERT_TRUE(bus.Write(word, kBefore));

        const std::unique_ptr<CTestProcess> hub = StartHub(device);
        // The start is over before the hub serves.
        EXPECT_EQ(Request(device, "<Ping/>").sRoot, "Ping");
        EXPECT_EQ(bus.Read(kBusMasterControl), c.busMasterControl);
        EXPECT_EQ(bus.Read(kTimerControl), c.timerControl);
        EXPECT_EQ(bus.Read(kFirstTimerInterval), c.firstTimerInterval);
        // Every family clears bits 8 to 11 of the LED word and keeps the others.
        EXPECT_EQ(bus.Read(kLedWord), kBefore & ~0x00000F00u);
        // The GPIO device of the front panel is open.
        EXPECT_TRUE(
            std::regex_search(hub->Output(), std::regex("End Of BootHardware, iGPIOFile [0-9]+\n")))
            << hub->Output();
    }
}

// The simulated device notes the reboot command and stays up; each filled module slot notes the
// resets it got.
TEST(SystemDriverBoot, ModulesAreResetBeforeARebootOnFamily2Only)
{
    // A pass of the reboot sequence pauses 2 s; this allows several on a loaded machine or under
    // an emulator.
    constexpr std::chrono::seconds kRebootWait(30);
    const struct
    {
        const char* family;
        const char* resetOfSlots1And3;
    } cases[] = {
        {kFamily2, "FF 00\n"},
        {kNoHardware, ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.family);
        // Slot 0 is the central unit's own; slots 2 and 4 are empty.
        CSimDevice device({"--family", c.family, "--slots", "0,1,3"});
        CBus bus(device);
        ASSERT_TRUE(bus.Usable());
        const std::unique_ptr<CTestProcess> hub = StartHub(device);
        ASSERT_TRUE(bus.Write(kBusMasterControl, 0));

        EXPECT_EQ(Request(device, "<Reboot/>").sRoot, "Reboot");
        ASSERT_TRUE(WaitFor(
            [&] {
                return ReadFile(device.Path("/commands.log")).find("reboot\n") != std::string::npos;
            },
            kRebootWait))
            << hub->Output();
        // The resets come before the reboot command, with the device reset word set.
        EXPECT_EQ(bus.Read(kBusMasterControl), 1u);
        for (int slot = 0; slot <= 4; ++slot)
        {
            SCOPED_TRACE(slot);
            const std::string resets =
                ReadFile(device.Path("/dev/module" + std::to_string(slot) + "/resets.log"));
            EXPECT_EQ(resets, slot == 1 || slot == 3 ? c.resetOfSlots1And3 : "");
        }
    }
}

// ---- The status record

// Seconds of the wall clock, as the kernel stamps the datagrams it takes in.
double WallSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct SRecord
{
    std::vector<uint8_t> vBytes;
    // When the kernel took it in (seconds of the wall clock); when it gives no stamp (an
    // emulator may not pass it on), when this process took it.
    double dArrival = 0;

    int Sequence() const { return vBytes[2] | vBytes[3] << 8; }
    int HexSwitch() const { return vBytes[12]; }
    int DeviceCount() const { return vBytes[13]; }
};

// The peer at the far end of the link: the address the fiber-optic driver gives it, port 62010.
class CLinkPeer
{
public:
    ~CLinkPeer()
    {
        if (m_iSocket >= 0)
            close(m_iSocket);
        if (m_bAddressAdded)
            RunCommand({"/usr/bin/env", "ip", "addr", "del", "169.254.0.100/32", "dev", "lo"});
    }

    // False, with the reason, when the address cannot be had in this network namespace.
    bool Open(std::string& why)
    {
        if (RunCommand({"/usr/bin/env", "ip", "addr", "add", "169.254.0.100/32", "dev", "lo"}) != 0)
        {
            why = "the address 169.254.0.100 cannot be added to lo here";
            return false;
        }
        m_bAddressAdded = true;
        m_iSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        if (m_iSocket >= 0)
            setsockopt(m_iSocket, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(62010);
        address.sin_addr.s_addr = htonl(0xA9FE0064); // 169.254.0.100
        if (m_iSocket < 0 ||
            bind(m_iSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        {
            why = std::string("no socket on 169.254.0.100:62010: ") + strerror(errno);
            return false;
        }
        return true;
    }

    // The next record, when one comes within the time.
    bool Receive(SRecord& record, std::chrono::milliseconds within)
    {
        pollfd wait{m_iSocket, POLLIN, 0};
        if (poll(&wait, 1, static_cast<int>(within.count())) != 1)
            return false;
        record.vBytes.assign(64, 0);
        iovec part{record.vBytes.data(), record.vBytes.size()};
        alignas(cmsghdr) char control[2 * CMSG_SPACE(sizeof(timespec))] = {};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t got = recvmsg(m_iSocket, &message, 0);
        record.vBytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
        record.dArrival = WallSeconds();
        if (got <= 0)
            return false;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS &&
                c->cmsg_len == CMSG_LEN(sizeof(timespec)))
            {
                timespec stamp{};
                memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                const double kernel =
                    static_cast<double>(stamp.tv_sec) + static_cast<double>(stamp.tv_nsec) / 1e9;
                // A stamp that is no time of this run is not taken.
                if (kernel <= record.dArrival && kernel > record.dArrival - 60)
                    record.dArrival = kernel;
            }
        return true;
    }

private:
    int m_iSocket = -1;
    bool m_bAddressAdded = false;
};

struct SLinkFamily
{
    const char* family;
    uint32_t statusWord; // the bus word that shows the state of the link
};

void PrintTo(const SLinkFamily& link, std::ostream* out)
{
    *out << link.family;
}

class SystemDriverLink : public testing::TestWithParam<SLinkFamily>
{
};

// The link status word: up (bits 8-11 0xB) with `count` devices (bits 1-4 count - 1, bit 7), or
// down.
uint32_t LinkWord(bool up, int count)
{
    return up ? 0xB00u | 0x80u | static_cast<uint32_t>(count - 1) << 1 : 0;
}

TEST_P(SystemDriverLink, RecordsLeaveEvery4SecondsWhileTheLinkIsUpAndSoonerOnAChange)
{
    // The hub sends every 4 s while the link is up. A record is awaited for several periods and
    // more on a loaded machine; a wait for none lasts a period and a half.
    constexpr double kPeriod = 4.0;
    constexpr std::chrono::seconds kRecordWait(30);
    constexpr std::chrono::milliseconds kQuietWait(6000);

    CLinkPeer peer;
    std::string why;
    if (!peer.Open(why))
        GTEST_SKIP() << why;
    // The hex switches read unit number 5; the link is down.
    CSimDevice device({"--family", GetParam().family, "--hex", "0,5,0,0"});
    CBus bus(device);
    ASSERT_TRUE(bus.Usable());
    const uint32_t status = GetParam().statusWord;
    ASSERT_TRUE(bus.Write(status, LinkWord(false, 1)));
    const std::unique_ptr<CTestProcess> hub = StartHub(device);
    // The hub's threads run once it has read its hex switches.
    ASSERT_TRUE(
        WaitFor([&] { return Request(device, "<GetUserConfig/>").Has(";hex=0x5;"); }, kRecordWait));

    SRecord record;
    EXPECT_FALSE(peer.Receive(record, kQuietWait)) << "a record while the link is down";

    // Up with two devices: the first record comes at once (the hex switch is seen while the
    // link is up for the first time), then one every 4 s.
    ASSERT_TRUE(bus.Write(status, LinkWord(true, 2)));
    ASSERT_TRUE(peer.Receive(record, kRecordWait));
    ASSERT_EQ(record.vBytes.size(), 48u);
    EXPECT_EQ(record.vBytes[0], 'F');
    EXPECT_EQ(record.vBytes[1], 'L');
    EXPECT_EQ(record.Sequence(), 0);
    EXPECT_EQ(record.HexSwitch(), 5);
    EXPECT_EQ(record.DeviceCount(), 2);
    // The rounds between two records sleep 4 s at least, which no load makes shorter: three
    // more records take 12 s at least (less a margin for when this process took the first).
    const double first = record.dArrival;
    for (int next = 1; next <= 3; ++next)
    {
        ASSERT_TRUE(peer.Receive(record, kRecordWait)) << "record " << next;
        EXPECT_EQ(record.Sequence(), next);
        EXPECT_EQ(record.DeviceCount(), 2);
    }
    EXPECT_GE(record.dArrival - first, 3 * kPeriod - 1.0)
        << "records come more often than every 4 s";

    // Another device count cuts the wait for the next record to 2 s. A change made at once
    // after a record is followed by the next one well before the 4 s are over; a change made
    // late (this process held up) does not count, and neither does a record held up by load:
    // a few tries.
    int count = 2;
    bool sooner = false;
    for (int attempt = 0; attempt < 4 && !sooner; ++attempt)
    {
        count = count == 2 ? 3 : 2;
        ASSERT_TRUE(bus.Write(status, LinkWord(true, count)));
        const bool inTime = WallSeconds() - record.dArrival < 1.0;
        SRecord next;
        ASSERT_TRUE(peer.Receive(next, kRecordWait));
        EXPECT_EQ(next.Sequence(), record.Sequence() + 1);
        if (inTime)
        {
            EXPECT_EQ(next.DeviceCount(), count);
            sooner = next.dArrival - record.dArrival < kPeriod - 0.25;
        }
        record = next;
    }
    EXPECT_TRUE(sooner) << "no record came sooner after a change of the device count";

    // Down: nothing leaves; the records that were on their way before may still come.
    ASSERT_TRUE(bus.Write(status, LinkWord(false, 1)));
    const double down = WallSeconds();
    SRecord late;
    for (int records = 0; records < 3 && peer.Receive(late, kQuietWait); ++records)
    {
        EXPECT_LT(late.dArrival, down + 1.0) << "a record while the link is down";
        record = late;
    }

    // Up again with another count: the records go on where they were.
    ASSERT_TRUE(bus.Write(status, LinkWord(true, 5)));
    SRecord again;
    ASSERT_TRUE(peer.Receive(again, kRecordWait));
    EXPECT_EQ(again.Sequence(), record.Sequence() + 1);
    EXPECT_EQ(again.DeviceCount(), 5);
}

INSTANTIATE_TEST_SUITE_P(Families, SystemDriverLink,
                         testing::Values(SLinkFamily{kFamily2, 0x60000},
                                         SLinkFamily{"KV8", 0x30000}),
                         [](const testing::TestParamInfo<SLinkFamily>& info)
                         { return info.param.statusWord == 0x60000 ? "Family2" : "KV8"; });
} // namespace
