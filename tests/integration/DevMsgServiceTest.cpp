// The device-message service of a driver seen from a PC tool: the driver started on a
// simulated device with its debug port, a framed client on loopback. Greeting, built-in
// commands, request errors, the trace buffer and the device information, and the stop.
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

uint32_t GetLe32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

struct Reply
{
    uint16_t command = 0;
    uint16_t status = 0;
    Bytes data;
};

// A framed client: "S", "i", flags, 0, u32 little-endian length, payload.
class CDevMsgClient
{
public:
    ~CDevMsgClient()
    {
        if (m_fd >= 0)
            close(m_fd);
    }

    // Connects while the port comes up, and checks the greeting (an empty frame).
    ::testing::AssertionResult Connect(uint16_t port)
    {
        const auto deadline = Clock::now() + kEvent;
        for (;;)
        {
            m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
                break;
            close(m_fd);
            m_fd = -1;
            if (Clock::now() > deadline)
                return ::testing::AssertionFailure() << "port " << port << " does not answer";
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        int on = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        bool more = true;
        Bytes greeting;
        if (!ReadFrame(greeting, more))
            return ::testing::AssertionFailure() << "no greeting";
        if (!greeting.empty() || more)
            return ::testing::AssertionFailure() << "the greeting is not an empty frame";
        return ::testing::AssertionSuccess();
    }

    bool SendFrame(const Bytes& payload)
    {
        Bytes frame{'S', 'i', 0, 0};
        for (int i = 0; i < 4; ++i)
            frame.push_back(static_cast<uint8_t>(payload.size() >> (8 * i)));
        frame.insert(frame.end(), payload.begin(), payload.end());
        return send(m_fd, frame.data(), frame.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(frame.size());
    }

    // Sends a request {command, 0} and reads its reply.
    ::testing::AssertionResult Ask(uint16_t command, Reply& reply)
    {
        if (!SendFrame({static_cast<uint8_t>(command), static_cast<uint8_t>(command >> 8), 0, 0}))
            return ::testing::AssertionFailure() << "send failed";
        return ReadReply(reply);
    }

    ::testing::AssertionResult ReadReply(Reply& reply)
    {
        Bytes payload;
        bool more = false;
        if (!ReadFrame(payload, more))
            return ::testing::AssertionFailure() << "no reply";
        if (payload.size() < 4 || more)
            return ::testing::AssertionFailure() << "malformed reply of " << payload.size();
        reply.command = static_cast<uint16_t>(payload[0] | (payload[1] << 8));
        reply.status = static_cast<uint16_t>(payload[2] | (payload[3] << 8));
        reply.data.assign(payload.begin() + 4, payload.end());
        return ::testing::AssertionSuccess();
    }

private:
    bool ReadExact(uint8_t* out, size_t count)
    {
        const auto deadline = Clock::now() + kEvent;
        size_t at = 0;
        while (at < count && Clock::now() < deadline)
        {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t n = recv(m_fd, out + at, count - at, 0);
            if (n == 0 || (n < 0 && errno != EINTR))
                return false;
            if (n > 0)
                at += static_cast<size_t>(n);
        }
        return at == count;
    }

    bool ReadFrame(Bytes& payload, bool& more)
    {
        uint8_t head[8];
        if (!ReadExact(head, sizeof head) || head[0] != 'S' || head[1] != 'i')
            return false;
        more = (head[2] & 1) != 0;
        const uint32_t length = GetLe32(head + 4);
        if (length > (1u << 20))
            return false;
        payload.assign(length, 0);
        return length == 0 || ReadExact(payload.data(), length);
    }

    int m_fd = -1;
};

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
} // namespace
