// The device-message service of a driver seen from a PC tool: the driver started on a
// simulated device with its debug port, a framed client on loopback. Greeting, built-in
// commands, request errors, the trace buffer and the device information, and the stop; on the
// debug port of every driver of the device, file and forwarding commands are unknown.
//
// The driver under test is a row of kTargets: every driver that starts the service through
// InitDevMsgDebug answers the same way on its debug port.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "DevMsgClient.h"
#include "KoveTestSupport.h"

using namespace kovetest;
using Clock = std::chrono::steady_clock;

namespace
{
using Bytes = std::vector<uint8_t>;

constexpr auto kEvent = std::chrono::seconds(10);

// Production data of the simulated device, as the record must show them.
const std::string kSerial = "4711";
const std::string kOrder = "52.374012";

struct Target
{
    const char* name;
    const char* program;
    std::vector<std::string> arguments;
    uint16_t debugPort;
    // The driver has started when its log file (a path of the device) shows this text.
    const char* logFile;
    const char* readyText;
};

// Test names show the target's name only.
void PrintTo(const Target& target, std::ostream* out)
{
    *out << target.name;
}

const Target kTargets[] = {
    // The test driver without a command port, serving the service as the system driver does.
    {"TestDriver",
     "qtxtestdriver",
     {"-Slot=-1", "-Startup=devmsg=63100"},
     63100,
     "/Applications/tmp/Driver/log/TestDriver_log.txt",
     "without errors<---"},
    // The hub itself: debug port 63100, a trace buffer of 8160 bytes, 8 service threads.
    {"SystemDriver",
     "systemdriver",
     {},
     63100,
     "/Applications/tmp/Driver/log/Slot62000_log.txt",
     "without errors<---"},
};

using Reply = DevMsgReply;

class DevMsgServiceProcess : public ::testing::TestWithParam<Target>
{
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(m_tDevice.Path("/Applications/tmp/Driver/log"));
        // kovesim writes the production image; a device without one gets it here.
        const std::string production = m_tDevice.Path("/dev/mtd_production");
        if (!std::filesystem::exists(production))
        {
            std::string image(512, '\0');
            image.replace(16, kSerial.size(), kSerial);
            image.replace(64, kOrder.size(), kOrder);
            std::ofstream(production, std::ios::binary) << image;
        }
        m_pDriver =
            std::make_unique<CTestProcess>(m_tDevice, GetParam().program, GetParam().arguments);
        // The service runs before the driver's start ends; the tests begin after it, when
        // nothing else is traced and SIGTERM takes the driver's own path.
        const std::string log = m_tDevice.Path(GetParam().logFile);
        ASSERT_TRUE(WaitFor(
            [&] { return ReadFile(log).find(GetParam().readyText) != std::string::npos; }, kEvent))
            << m_pDriver->Output() << ReadFile(log);
        ASSERT_TRUE(m_tClient.Connect(GetParam().debugPort)) << m_pDriver->Output();
    }

    CSimDevice m_tDevice{{"--serial", kSerial, "--order", kOrder}};
    std::unique_ptr<CTestProcess> m_pDriver;
    CDevMsgClient m_tClient;
};

TEST_P(DevMsgServiceProcess, AnswersTraceSizeAndRequestErrorsOnOneConnection)
{
    Reply reply;
    ASSERT_TRUE(m_tClient.Ask(3, reply));
    EXPECT_EQ(reply.command, 3);
    EXPECT_EQ(reply.status, 0);
    ASSERT_EQ(reply.data.size(), 2u);
    EXPECT_EQ(reply.data[0] | (reply.data[1] << 8), 8160);

    ASSERT_TRUE(m_tClient.Ask(5, reply));
    EXPECT_EQ(reply.command, 5);
    EXPECT_EQ(reply.status, 72);
    EXPECT_TRUE(reply.data.empty());

    // A payload shorter than the command head, and the connection goes on.
    ASSERT_TRUE(m_tClient.SendFrame({3, 0}));
    ASSERT_TRUE(m_tClient.ReadReply(reply));
    EXPECT_EQ(reply.command, 3);
    EXPECT_EQ(reply.status, 84);
    EXPECT_TRUE(reply.data.empty());

    ASSERT_TRUE(m_tClient.Ask(3, reply));
    EXPECT_EQ(reply.status, 0);
    EXPECT_EQ(reply.data.size(), 2u);
}

TEST_P(DevMsgServiceProcess, TraceFetchEmptiesTheTraceBuffer)
{
    Reply first;
    ASSERT_TRUE(m_tClient.Ask(2, first));
    EXPECT_EQ(first.status, 0);
    ASSERT_GE(first.data.size(), 12u);
    const uint32_t fetched = GetLe32(first.data.data() + 8);
    EXPECT_EQ(fetched, first.data.size() - 12);
    EXPECT_GT(fetched, 0u) << "the connection itself is traced";
    EXPECT_LE(fetched, 8160u);
    EXPECT_EQ(first.data[0], fetched == 8160 ? 1 : 0);

    // The fetch emptied the buffer: the next one is empty, unless one of the driver's own
    // threads (the hub's polling threads) traced in between; then one of the next few is.
    Reply second;
    bool empty = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!empty && std::chrono::steady_clock::now() < deadline)
    {
        ASSERT_TRUE(m_tClient.Ask(2, second));
        EXPECT_EQ(second.status, 0);
        ASSERT_GE(second.data.size(), 12u);
        EXPECT_EQ(GetLe32(second.data.data() + 8), second.data.size() - 12);
        empty = second.data.size() == 12u;
    }
    ASSERT_TRUE(empty) << "the trace never came back empty";
    EXPECT_EQ(GetLe32(second.data.data() + 8), 0u);
    EXPECT_EQ(second.data[0], 0);
}

TEST_P(DevMsgServiceProcess, DeviceInformationShowsTheProductionData)
{
    Reply reply;
    ASSERT_TRUE(m_tClient.Ask(4, reply));
    EXPECT_EQ(reply.status, 0);
    ASSERT_EQ(reply.data.size(), 512u);
    EXPECT_EQ(reply.data[0], 9);
    auto field = [&](size_t offset, size_t size)
    {
        const char* start = reinterpret_cast<const char*>(reply.data.data() + offset);
        return std::string(start, strnlen(start, size));
    };
    EXPECT_EQ(field(16, 16), kSerial);
    EXPECT_EQ(field(64, 32), kOrder);
}

TEST_P(DevMsgServiceProcess, SigtermEndsTheDriverWhileAClientIsConnected)
{
    Reply reply;
    ASSERT_TRUE(m_tClient.Ask(3, reply));
    m_pDriver->Signal(SIGTERM);
    const int status = m_pDriver->WaitExit();
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 255)
        << status << "\n"
        << m_pDriver->Output();
}

INSTANTIATE_TEST_SUITE_P(Drivers, DevMsgServiceProcess, ::testing::ValuesIn(kTargets),
                         [](const ::testing::TestParamInfo<Target>& info)
                         { return std::string(info.param.name); });

// The debug port of each driver of the device, started beside the real hub.
struct DriverPort
{
    const char* name;
    std::vector<std::string> device; // kovesim create arguments
    const char* program;             // started beside the hub; null: the hub itself
    uint16_t debugPort;
};

void PrintTo(const DriverPort& target, std::ostream* out)
{
    *out << target.name;
}

const DriverPort kDriverPorts[] = {
    {"SystemDriver", {}, nullptr, 63100},
    {"FiberOpticDriver", {}, "fodriver", 63002},
    {"SnifferDriver", {"--family", "PNA"}, "pndriver", 63101},
};

class DevMsgDriverPort : public ::testing::TestWithParam<DriverPort>
{
protected:
    void SetUp() override
    {
        m_pDevice = std::make_unique<CSimDevice>(GetParam().device);
        m_pHub = std::make_unique<CTestProcess>(*m_pDevice, "systemdriver");
        if (GetParam().program != nullptr)
            m_pDriver = std::make_unique<CTestProcess>(*m_pDevice, GetParam().program);
        ASSERT_TRUE(m_tClient.Connect(GetParam().debugPort))
            << (m_pDriver ? m_pDriver : m_pHub)->Output();
    }

    std::unique_ptr<CSimDevice> m_pDevice;
    std::unique_ptr<CTestProcess> m_pHub;
    std::unique_ptr<CTestProcess> m_pDriver;
    CDevMsgClient m_tClient;
};

// File header of a file command: flags, chunk, offset, 0, size, 0, 512-byte name.
Bytes FileHeader(uint32_t flags, uint32_t size, const std::string& name)
{
    Bytes h;
    for (uint32_t v : {flags, 0u, 0u, 0u, size, 0u})
        PutLe32(h, v);
    Bytes field(512, 0);
    std::copy(name.begin(), name.end(), field.begin());
    h.insert(h.end(), field.begin(), field.end());
    return h;
}

// The drivers install no command handler: file access and forwarding are not offered to
// whoever reaches the port, and the commands that other tools use for them are unknown.
TEST_P(DevMsgDriverPort, FileAndForwardingCommandsAreUnknown)
{
    Bytes write = FileHeader(0x08, 1, "remote.txt");
    write.push_back('x');
    Bytes toOwnPort;
    PutLe16(toOwnPort, GetParam().debugPort);
    PutLe16(toOwnPort, 0);
    PutLe16(toOwnPort, 3);
    PutLe16(toOwnPort, 0);
    const struct
    {
        uint16_t command;
        Bytes data;
    } cases[] = {
        {1100, write},
        {1101, FileHeader(0, 100, "log/Slot62000_log.txt")},
        {1102, toOwnPort},
        {1103, toOwnPort},
    };
    for (const auto& c : cases)
    {
        Reply reply;
        ASSERT_TRUE(m_tClient.Ask(c.command, reply, c.data)) << c.command;
        EXPECT_EQ(reply.command, c.command);
        EXPECT_EQ(reply.status, 72) << c.command;
        EXPECT_TRUE(reply.data.empty()) << c.command;
    }
    EXPECT_FALSE(std::filesystem::exists(m_pDevice->Path("/Applications/tmp/Driver/remote.txt")));
    // The connection is the driver's own still: no tunnel was opened.
    Reply reply;
    ASSERT_TRUE(m_tClient.Ask(3, reply));
    EXPECT_EQ(reply.command, 3);
    EXPECT_EQ(reply.status, 0);
    EXPECT_EQ(reply.data.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Drivers, DevMsgDriverPort, ::testing::ValuesIn(kDriverPorts),
                         [](const ::testing::TestParamInfo<DriverPort>& info)
                         { return std::string(info.param.name); });
} // namespace
