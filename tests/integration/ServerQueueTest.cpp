// The servers of the socket layer in the real programs, seen by clients that come while every
// server thread of a port is busy: the device-message ports of the hub, the fiber-optic driver
// and the sniffer driver, and the sniffer's diagnostic port 999, each on a simulated device with
// the real hub. A client that comes while every thread holds a client of its own is not
// refused: it waits and is served as soon as one of them lets its client go; clients one after
// another are each served.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "KoveTestSupport.h"
#include "QTXPnDiagFrame.h"

using namespace kovetest;

namespace
{
using Bytes = std::vector<uint8_t>;

constexpr int kHubPort = 62000;

enum class Protocol
{
    DevMsg, // framed messages with the empty greeting; the trace-size command
    PnDiag, // the diagnostic frames of port 999; module information
};

struct Target
{
    const char* name;
    std::vector<std::string> device; // kovesim create arguments
    const char* driver;              // started beside the hub; null: the hub itself
    int driverPort;
    int port;
    int threads;
    Protocol protocol;
};

void PrintTo(const Target& target, std::ostream* out)
{
    *out << target.name;
}

const Target kTargets[] = {
    {"HubDevMsg", {}, nullptr, kHubPort, 63100, 8, Protocol::DevMsg},
    {"FiberOpticDevMsg", {}, "fodriver", 62002, 63002, 2, Protocol::DevMsg},
    {"SnifferDevMsg", {"--family", "PNA"}, "pndriver", 62101, 63101, 2, Protocol::DevMsg},
    {"SnifferDiag", {"--family", "PNA"}, "pndriver", 62101, PNDIAG_PORT, 12, Protocol::PnDiag},
};

uint32_t Le(const uint8_t* p, int bytes)
{
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

// A client on a plain socket. Connect does not retry: a refused connection is a failure.
class CClient
{
public:
    CClient(int port, Protocol protocol) : m_protocol(protocol)
    {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        {
            m_iError = errno;
            close(m_fd);
            m_fd = -1;
        }
    }
    ~CClient() { Close(); }
    CClient(const CClient&) = delete;
    CClient& operator=(const CClient&) = delete;

    bool Connected() const { return m_fd >= 0; }
    std::string Error() const { return strerror(m_iError); }
    void Close()
    {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
    }

    bool Send()
    {
        Bytes request;
        if (m_protocol == Protocol::DevMsg)
            request = {'S', 'i', 0, 0, 4, 0, 0, 0, 3, 0, 0, 0}; // trace size
        else
            request = {
                PNDIAG_MAGIC & 0xFF, PNDIAG_MAGIC >> 8, PNDIAG_CMD_MODULE_INFO, 0, 8, 0, 0, 0};
        return send(m_fd, request.data(), request.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(request.size());
    }

    // True when the reply to the request sent came within the time.
    bool Answered(std::chrono::milliseconds wait)
    {
        m_tDeadline = std::chrono::steady_clock::now() + wait;
        uint8_t head[8];
        if (m_protocol == Protocol::PnDiag)
        {
            if (!Read(head, 8) || Le(head, 2) != PNDIAG_MAGIC ||
                Le(head + 2, 2) != PNDIAG_CMD_MODULE_INFO || Le(head + 4, 2) < 8)
                return false;
            Bytes rest(Le(head + 4, 2) - 8);
            return Read(rest.data(), rest.size()) && Le(head + 6, 2) == PNDIAG_OK;
        }
        // The greeting (an empty frame) comes first, when a thread takes the connection.
        for (;;)
        {
            if (!Read(head, 8) || head[0] != 'S' || head[1] != 'i')
                return false;
            Bytes payload(Le(head + 4, 4));
            if (payload.size() > 64 || !Read(payload.data(), payload.size()))
                return false;
            if (!payload.empty())
                return payload.size() == 6 && Le(payload.data(), 2) == 3 &&
                       Le(payload.data() + 2, 2) == 0;
        }
    }

    // An answer takes a request's round trip; the bound leaves room for a loaded machine and an
    // emulator.
    bool Ask(std::chrono::milliseconds wait = std::chrono::seconds(20))
    {
        return Send() && Answered(wait);
    }

private:
    bool Read(uint8_t* out, size_t count)
    {
        size_t at = 0;
        while (at < count)
        {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                m_tDeadline - std::chrono::steady_clock::now());
            pollfd p{m_fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return false;
            const ssize_t n = recv(m_fd, out + at, count - at, 0);
            if (n <= 0)
                return false;
            at += static_cast<size_t>(n);
        }
        return true;
    }

    Protocol m_protocol;
    int m_fd = -1;
    int m_iError = 0;
    std::chrono::steady_clock::time_point m_tDeadline;
};

class ServerQueue : public ::testing::TestWithParam<Target>
{
protected:
    void SetUp() override
    {
        m_pDevice = std::make_unique<CSimDevice>(GetParam().device);
        m_pHub = std::make_unique<CTestProcess>(*m_pDevice, "systemdriver");
        ASSERT_TRUE(m_pHub->WaitForPort(kHubPort)) << m_pHub->Output();
        if (GetParam().driver != nullptr)
        {
            m_pDriver = std::make_unique<CTestProcess>(*m_pDevice, GetParam().driver);
            ASSERT_TRUE(m_pDriver->WaitForPort(GetParam().driverPort)) << m_pDriver->Output();
        }
        ASSERT_TRUE(Program().WaitForPort(GetParam().port)) << Program().Output();
    }
    CTestProcess& Program() { return m_pDriver ? *m_pDriver : *m_pHub; }

    std::unique_ptr<CSimDevice> m_pDevice;
    std::unique_ptr<CTestProcess> m_pHub;
    std::unique_ptr<CTestProcess> m_pDriver;
};

TEST_P(ServerQueue, AClientWaitsWhileEveryThreadIsBusyAndIsServedWhenOneFrees)
{
    const Target& t = GetParam();
    // Each thread of the port serves a client of its own.
    std::vector<std::unique_ptr<CClient>> holders;
    for (int i = 0; i < t.threads; ++i)
    {
        holders.push_back(std::make_unique<CClient>(t.port, t.protocol));
        ASSERT_TRUE(holders.back()->Connected()) << i << ": " << holders.back()->Error();
        ASSERT_TRUE(holders.back()->Ask()) << "client " << i << " not served\n"
                                           << Program().Output();
    }
    // One more is not refused; it waits while every thread is busy.
    CClient waiting(t.port, t.protocol);
    ASSERT_TRUE(waiting.Connected()) << waiting.Error();
    ASSERT_TRUE(waiting.Send());
    EXPECT_FALSE(waiting.Answered(std::chrono::milliseconds(300)));
    // A thread frees: the waiting client is served.
    holders.front()->Close();
    EXPECT_TRUE(waiting.Answered(std::chrono::seconds(20))) << Program().Output();
    // The others are still served on their connections.
    for (size_t i = 1; i < holders.size(); ++i)
        EXPECT_TRUE(holders[i]->Ask()) << "client " << i;
}

TEST_P(ServerQueue, ClientsOneAfterAnotherAreEachServed)
{
    const Target& t = GetParam();
    for (int i = 0; i < 40; ++i)
    {
        CClient client(t.port, t.protocol);
        ASSERT_TRUE(client.Connected()) << "client " << i << ": " << client.Error();
        ASSERT_TRUE(client.Ask()) << "client " << i << " not served\n" << Program().Output();
    }
}

INSTANTIATE_TEST_SUITE_P(Ports, ServerQueue, ::testing::ValuesIn(kTargets),
                         [](const ::testing::TestParamInfo<Target>& info)
                         { return std::string(info.param.name); });
} // namespace
