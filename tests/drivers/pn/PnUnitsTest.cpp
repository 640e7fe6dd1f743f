// The C-level units of the PROFINET sniffer driver on a simulated bus-monitor device: the
// controller interface, the monitor port's address, the forwarding switch and the reading of
// the FPGA's capture ring, and the wait for a stable interface.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sched.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Cdi.h"
#include "KovePlatform.h"
#include "KoveTestSupport.h"
#include "PnBusTest.h"
#include "PnDrv.h"
#include "PnPort.h"
#include "QTXBinConfig.h"

using namespace kovetest;

namespace
{
class PnUnits : public testing::Test
{
protected:
    void SetUp() override
    {
        pDevice = std::make_unique<CSimDevice>(std::vector<std::string>{"--family", "PNA"});
        setenv("KOVE_SIM", pDevice->Dir().c_str(), 1);
        PlatReloadSimulation();
    }
    void TearDown() override
    {
        while (!PNDrvIsNotOpen())
            PNDrvClose();
        while (!CdiIsNotOpen())
            CdiClose();
        unsetenv("KOVE_SIM");
        PlatReloadSimulation();
    }
    std::string Requests() const { return ReadFile(pDevice->Dir() + "/dev/pndrv.log"); }

    std::unique_ptr<CSimDevice> pDevice;
};

TEST_F(PnUnits, ControllerRequestsOnAClosedAndAnOpenDevice)
{
    uint8_t word[4] = {};
    std::vector<uint8_t> big(PNDRV_READ_CR_MIN_SIZE, 0);
    // Closed: every request fails without reaching the controller.
    EXPECT_EQ(PNDrvSReset(PNDRV_RESET_TO_DEFAULTS), -1);
    EXPECT_EQ(PNDrvSReadCR(big.data(), PNDRV_READ_CR_MIN_SIZE), -1);
    EXPECT_EQ(PNDrvQueryValue(), static_cast<uint32_t>(PNDRV_VALUE_FAILED));
    EXPECT_EQ(PNDrvCall(PNDRV_IOCTL_GET_VALUE, word, 4), -1);

    ASSERT_EQ(PNDrvOpen(), 0);
    // A data read below its least size is refused before the call.
    EXPECT_EQ(PNDrvSReadCR(big.data(), PNDRV_READ_CR_MIN_SIZE - 1), PNDRV_BUFFER_TOO_SMALL);
    EXPECT_EQ(PNDrvSReadCR(big.data(), PNDRV_READ_CR_MIN_SIZE), 0);
    EXPECT_EQ(PNDrvSReset(PNDRV_RESET_TO_DEFAULTS), 0);
    EXPECT_EQ(PNDrvSSetFactoryMode(0), 0);
    EXPECT_EQ(Requests(), "0xC0046951\n0xC0046926 35\n0xC0046929 0\n");

    // The data exchange gives the controller's status and leaves the caller's word alone.
    uint8_t record[32] = {};
    QtxBinPutU32(record + 8, 8);
    QtxBinPutU32(record + 16, 0x1234);
    EXPECT_EQ(PNDrvDataExchange(PNDRV_IOCTL_EXCHANGE, record), 0);
    EXPECT_EQ(QtxBinGetU32(record + 16), 0x1234u);

    // The version text fits the room the caller gives.
    uint8_t version[24 + 4] = {};
    QtxBinPutU16(version, 4);
    EXPECT_EQ(PNDrvSGetVersion(version), 0);
    EXPECT_EQ(QtxBinGetU16(version), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(version + 8), 4), "V1.0");

    // A request the controller refuses fails; the list answer follows the state.
    pDevice->Tool("pndrv", {"fail=26", "answer=10"});
    EXPECT_EQ(PNDrvSReset(PNDRV_RESET_TO_DEFAULTS), -1);
    uint8_t state[PNDRV_STATE_SIZE] = {};
    QtxBinPutU16(state + 2, PNDRV_ANSWER_PENDING);
    EXPECT_EQ(PNDrvSGetState(state), 0);
    EXPECT_EQ(QtxBinGetU16(state + 2), PNDRV_ANSWER_NOT_AVAILABLE);

    // One open per user: the device stays open until the last one closes it.
    ASSERT_EQ(PNDrvOpen(), 0);
    PNDrvClose();
    EXPECT_EQ(PNDrvIsNotOpen(), 0);
    PNDrvClose();
    EXPECT_EQ(PNDrvIsNotOpen(), 1);

    // A device without the controller cannot be opened.
    pDevice->Tool("pndrv", {"present=off"});
    EXPECT_EQ(PNDrvOpen(), -1);
}

TEST_F(PnUnits, TextsWrittenToTheControllerAreKept)
{
    const int fd = PlatOpen("/dev/pndrv", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(PlatWrite(fd, "prodmodeon", 11), 11);
    EXPECT_EQ(PlatWrite(fd, "factorydefall", 14), 14);
    PlatClose(fd);
    EXPECT_EQ(ReadFile(pDevice->Dir() + "/dev/pndrv.texts"), "prodmodeon\nfactorydefall\n");
    const std::string state = pDevice->Tool("pndrv");
    EXPECT_NE(state.find("production-mode=on\n"), std::string::npos) << state;
    EXPECT_NE(state.find("factory-defaults=on\n"), std::string::npos) << state;
}

TEST(PnPortAddress, MonitorMacIsTheServiceMacPlusTheFpgaIncrement)
{
    const struct
    {
        uint32_t fpgaId;
        uint8_t service[6];
        uint8_t monitor[6];
    } cases[] = {
        {0x414E50, {0x02, 0, 0, 0, 0, 0xFE}, {0x02, 0, 0, 0, 0x01, 0x05}},
        {0x123456, {0x02, 0, 0, 0, 0, 0xFE}, {0x02, 0, 0, 0, 0, 0xFF}},
        {0x504945, {0x02, 0, 0, 0, 0, 0xFE}, {0x02, 0, 0, 0, 0, 0xFF}},
        // Bytes 2 to 5 wrap within themselves; bytes 0 and 1 stay.
        {0x414E50, {0x02, 0x11, 0xFF, 0xFF, 0xFF, 0xFF}, {0x02, 0x11, 0, 0, 0, 0x06}},
    };
    for (const auto& c : cases)
    {
        uint8_t monitor[6] = {};
        ComputeMonitorMacForId(monitor, c.service, c.fpgaId);
        EXPECT_EQ(memcmp(monitor, c.monitor, 6), 0) << std::hex << c.fpgaId;
    }
}

TEST_F(PnUnits, ForwardingIsWrittenOnlyWhenItChanges)
{
    ASSERT_EQ(CdiOpen(), 0);
    WriteCdiWord(PN_FPGA_FORWARDING, 0x4001);
    EnableForwarding();
    EXPECT_EQ(ReadCdiWord(PN_FPGA_FORWARDING), 0x8001u);
    // Already on: nothing is written, so the off bit set beside it stays.
    WriteCdiWord(PN_FPGA_FORWARDING, 0xC001);
    EnableForwarding();
    EXPECT_EQ(ReadCdiWord(PN_FPGA_FORWARDING), 0xC001u);
    DisableForwarding();
    EXPECT_EQ(ReadCdiWord(PN_FPGA_FORWARDING), 0x4001u);
    EXPECT_EQ(GetMonitorPortStatus(), 0);
}

// A capture ring of header records and frame data, as the FPGA leaves it.
struct CRing
{
    std::vector<uint8_t> header = std::vector<uint8_t>(512, 0);
    std::vector<uint8_t> data = std::vector<uint8_t>(4096, 0);
    void Add(uint32_t counter, uint16_t length, uint32_t position, const char* text)
    {
        uint8_t* record = header.data() + counter;
        QtxBinPutU16(record, length);
        QtxBinPutU32(record + 4, position);
        QtxBinPutU32(record + 28, counter);
        memcpy(data.data() + position + 16, text, strlen(text));
    }
    uint32_t Read(uint32_t* counter, uint8_t* frame)
    {
        return ReadNextFrame(frame, counter, header.data(), static_cast<uint32_t>(header.size()),
                             data.data(), static_cast<uint32_t>(data.size()));
    }
};

TEST(PnCaptureRing, FramesAreReadWithinTheBuffersOnly)
{
    uint8_t frame[PN_FRAME_BUFFER_SIZE];
    {
        CRing ring;
        ring.Add(0, 64, 0, "Monitor-->Service");
        ring.Add(32, 64, 2048, "Service-->Monitor");
        uint32_t counter = 0;
        EXPECT_EQ(ring.Read(&counter, frame), 64u);
        EXPECT_EQ(memcmp(frame + 16, "Monitor-->Service", 17), 0);
        EXPECT_EQ(ring.Read(&counter, frame), 64u);
        EXPECT_EQ(memcmp(frame + 16, "Service-->Monitor", 17), 0);
        EXPECT_EQ(counter, 64u);
        // The next header does not carry the counter: the end.
        EXPECT_EQ(ring.Read(&counter, frame), 0u);
    }
    {
        // A header with length 0 and a matching sequence ends the reading too.
        CRing ring;
        uint32_t counter = 0;
        EXPECT_EQ(ring.Read(&counter, frame), 0u);
    }
    {
        // A frame whose data would lie past the data buffer, and a counter past the header
        // buffer, are not read.
        CRing ring;
        ring.Add(0, 2048, 4096 - 64, "");
        uint32_t counter = 0;
        EXPECT_EQ(ring.Read(&counter, frame), 0u);
        counter = 512;
        EXPECT_EQ(ring.Read(&counter, frame), 0u);
        counter = 512 - 16;
        EXPECT_EQ(ring.Read(&counter, frame), 0u);
    }
}
// Runs `body` in a child process with a network namespace of its own (only "lo", down); the
// child's exit code, or 77 where no namespace can be made.
int InOwnNetworkNamespace(const std::function<int()>& body)
{
    const pid_t child = fork();
    if (child == 0)
    {
        if (unshare(CLONE_NEWNET) != 0)
        {
            const std::string uid = std::to_string(getuid());
            const std::string gid = std::to_string(getgid());
            if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
                _exit(77);
            const auto write = [](const char* path, const std::string& text)
            {
                const int fd = open(path, O_WRONLY);
                const bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) ==
                                               static_cast<ssize_t>(text.size());
                if (fd >= 0)
                    close(fd);
                return ok;
            };
            write("/proc/self/setgroups", "deny");
            if (!write("/proc/self/uid_map", "0 " + uid + " 1\n") ||
                !write("/proc/self/gid_map", "0 " + gid + " 1\n"))
                _exit(77);
        }
        _exit(body());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// An interface counts as stable after two ready checks in a row; one that never gets there, or
// cannot be asked at all, is not. The checks run on a veth pair whose far end ("eth0") is up,
// down, or comes up during the wait.
TEST(PnPort, WaitInterfaceStableWantsTwoReadyChecksInARow)
{
    const struct
    {
        const char* what;
        const char* name;
        bool peerUp;
        int peerUpAfterMs; // 0: stays as it is
        int result;
    } cases[] = {
        {"both ends up", "eth1", true, 0, 0},
        {"far end down: no carrier", "eth1", false, 0, -1},
        {"far end comes up during the wait", "eth1", false, 300, 0},
        {"no such interface", "eth9", true, 0, -1},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        const int code = InOwnNetworkNamespace(
            [&c]
            {
                std::string tool;
                for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
                    if (tool.empty() && access(path, X_OK) == 0)
                        tool = path;
                const auto ip = [&tool](std::vector<std::string> arguments)
                {
                    arguments.insert(arguments.begin(), tool);
                    return !tool.empty() && RunCommand(arguments) == 0;
                };
                if (!ip({"link", "add", "eth0", "type", "veth", "peer", "name", "eth1"}))
                    return 77;
                if (!ip({"link", "set", "eth1", "up"}) ||
                    (c.peerUp && !ip({"link", "set", "eth0", "up"})))
                    return 78;
                std::thread later;
                if (c.peerUpAfterMs > 0)
                    later = std::thread(
                        [&]
                        {
                            PnSleepMs(c.peerUpAfterMs);
                            ip({"link", "set", "eth0", "up"});
                        });
                const int result = WaitInterfaceStable(c.name);
                if (later.joinable())
                    later.join();
                return result + 1;
            });
        if (code == 77)
            GTEST_SKIP() << "no network namespace with a veth pair here";
        ASSERT_NE(code, 78) << "cannot bring the veth pair up";
        EXPECT_EQ(code - 1, c.result);
    }
}
} // namespace
