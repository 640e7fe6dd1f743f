// The process-level tests run in a network namespace of their own: the
// device's fixed ports are free there, whatever else runs on the host.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

TEST(Netns, DevicePortsAreOursAndLoopbackIsUp)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(62000);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(listen(s, 1), 0);
    int c = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    close(c);
    close(s);
}
