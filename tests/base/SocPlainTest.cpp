// Plain socket functions: the dotted-quad check and the waits with a time limit.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string>
#include <thread>
#include <sys/socket.h>
#include <unistd.h>

#include "SocPlain.h"

TEST(SocPlain, DottedQuadCheck)
{
    const struct
    {
        const char* text;
        int result;
        const char* written;
    } cases[] = {
        {"010.1.1.1", 8, "10.1.1.1"}, {"255.255.255.255", 15, "255.255.255.255"},
        {"1.2.3", -3, nullptr},       {"1.2.300.4", -32, nullptr},
        {"1.2.3.x", -41, nullptr},    {"1..2.3", -24, nullptr},
        {"1234.1.1.1", -13, nullptr}, {"1.2.3.4 ", -41, nullptr},
        {"", -1, nullptr},            {"1.2.3.", -44, nullptr},
    };
    for (const auto& c : cases)
    {
        char out[16] = {};
        EXPECT_EQ(soc_ipaddr_check_cpy(out, c.text), c.result) << c.text;
        if (c.written != nullptr)
        {
            EXPECT_STREQ(out, c.written);
        }
    }
}

TEST(SocPlain, WaitsEndInTime)
{
    int error = -1;
    const int fd = soc_socket_udpserver(0, 0, &error);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(soc_select_timeout(fd, 1000, 0), 0);
    EXPECT_EQ(soc_select_timeout(fd, 0, 1), 1);
    char buffer[8];
    EXPECT_EQ(soc_recv_timeout(fd, buffer, sizeof buffer, 10), -110);
    close(fd);

    // A send that the peer takes in parts sends each byte once.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const int small = 4096;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::string data(200000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    std::string received;
    std::thread reader(
        [&]
        {
            char chunk[1000];
            ssize_t n;
            while ((n = read(pair[1], chunk, sizeof chunk)) > 0)
                received.append(chunk, static_cast<size_t>(n));
        });
    EXPECT_EQ(soc_send_timeout(pair[0], data.data(), data.size(), 5000),
              static_cast<int>(data.size()));
    close(pair[0]);
    reader.join();
    close(pair[1]);
    EXPECT_EQ(received, data);
}
