// The framework's life cycle seen from outside: qtxtestdriver started on a simulated device.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <netinet/in.h>
#include <regex>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "FakeHub.h"
#include "KoveTestSupport.h"

using namespace kovetest;

namespace
{
class TestDriver : public testing::Test
{
protected:
    void SetUp() override
    {
        // The log directory belongs to the device's installation.
        std::filesystem::create_directories(tDevice.Path("/Applications/tmp/Driver/log"));
        // A driver on hardware must register with the hub at start.
        ASSERT_TRUE(tHub.Start());
    }

    std::string LogFile(int port) const
    {
        return tDevice.Path("/Applications/tmp/Driver/log/Slot" + std::to_string(port) +
                            "_log.txt");
    }

    static bool ExitedWith(int status, int code)
    {
        return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
    }

    // True when a request to the port is answered, or its connection closed, by the driver.
    static bool ConnectionIsServed(int port)
    {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool served = false;
        if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
        {
            const char request[] = "<?xml version=\"1.0\"?>\n<Ping/>\n";
            send(s, request, sizeof request - 1, MSG_NOSIGNAL);
            timeval timeout{15, 0};
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            char byte;
            ssize_t n = recv(s, &byte, 1, 0);
            served = n >= 0 || errno == ECONNRESET; // anything but a time-out
        }
        close(s);
        return served;
    }

    CSimDevice tDevice;
    CFakeHub tHub;
};

TEST_F(TestDriver, StartsOnItsSlotPortLogsTheStartAndEndsOnSigterm)
{
    CTestProcess driver(tDevice, "qtxtestdriver",
                        {"-Dir=" + tDevice.Dir() + "/drv", "-Slot=3", "-Delay=1"});
    ASSERT_TRUE(driver.WaitForPort(62103)) << driver.Output();
    EXPECT_TRUE(ConnectionIsServed(62103));

    const std::regex started(R"(\[\d+\.\d{6}\] --->Driver started on slot 3<---\n)");
    const std::regex ready(
        R"(\[\d+\.\d{6}\] --->Driver TestDriver started on slot 3 without errors<---\n)");
    ASSERT_TRUE(WaitFor([&] { return std::regex_search(ReadFile(LogFile(62103)), ready); }))
        << ReadFile(LogFile(62103));
    EXPECT_TRUE(std::regex_search(ReadFile(LogFile(62103)), started));

    driver.Signal(SIGTERM);
    int status = driver.WaitExit();
    EXPECT_TRUE(ExitedWith(status, 255)) << status << "\n" << driver.Output();
}

TEST_F(TestDriver, CommunicationThreadEndsWithTheDriver)
{
    CTestProcess driver(tDevice, "qtxtestdriver", {"-Slot=x16", "-Startup=thread"});
    ASSERT_TRUE(driver.WaitForPort(62115)) << driver.Output();
    EXPECT_TRUE(ConnectionIsServed(62115));

    driver.Signal(SIGTERM);
    int status = driver.WaitExit();
    EXPECT_TRUE(ExitedWith(status, 255)) << status << "\n" << driver.Output();
    // The communication thread, blocked in accept, was woken and ended within the release.
    EXPECT_EQ(ReadFile(LogFile(62115)).find("Some threads are still active"), std::string::npos)
        << ReadFile(LogFile(62115));
}

TEST_F(TestDriver, HelpAndUnknownArgumentsEndTheStartWithOne)
{
    const struct
    {
        std::vector<std::string> arguments;
        std::vector<std::string> output;
    } cases[] = {
        {{"-Help"},
         {"Syntax: " + BinPath("qtxtestdriver") +
              " -Debug=<IP-Address> -Dir=<Directory> -Slot=<Number> -Delay=<ms> -Simulate -Help\n",
          "All arguments are optional.\n", "HelpText"}},
        {{"-Slot=3", "-Bogus=1"}, {"IllegalArguments", "Unknown argument Bogus"}},
        {{"-Simulate=yes"}, {"IllegalArguments", "Unknown argument Simulate"}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.arguments.front());
        CTestProcess driver(tDevice, "qtxtestdriver", c.arguments);
        int status = driver.WaitExit();
        EXPECT_TRUE(ExitedWith(status, 1)) << status;
        std::string output = driver.Output();
        for (const auto& text : c.output)
            EXPECT_NE(output.find(text), std::string::npos) << text << "\n" << output;
    }
}
} // namespace

namespace
{
TEST_F(TestDriver, WithoutAPortItWaitsQuietlyUntilStopped)
{
    CTestProcess driver(tDevice, "qtxtestdriver", {"-Slot=-1"});
    const std::string log = tDevice.Path("/Applications/tmp/Driver/log/TestDriver_log.txt");
    ASSERT_TRUE(WaitFor([&] { return ReadFile(log).find("waiting to be stopped") != std::string::npos; }))
        << driver.Output() << ReadFile(log);
    // Still running, and not failing over and over to open a server socket.
    EXPECT_EQ(driver.WaitExit(std::chrono::milliseconds(300)), -1);
    EXPECT_EQ(ReadFile(log).find("NoNetwork"), std::string::npos) << ReadFile(log);

    driver.Signal(SIGTERM);
    int status = driver.WaitExit();
    EXPECT_TRUE(ExitedWith(status, 255)) << status << "\n" << driver.Output();
}
} // namespace
