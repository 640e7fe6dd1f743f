// A framed client of the device-message service for tests, on plain sockets (so that the tests
// do not lean on the socket layer they test): frames "S", "i", flags (bit 0: more fragments
// follow), 0, u32 little-endian payload length; requests u16 command, u16 0, data; replies
// u16 command, u16 status, data. Header-only, for test programs that use GoogleTest.
#ifndef KOVE_DEVMSG_CLIENT_H
#define KOVE_DEVMSG_CLIENT_H

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace kovetest
{
using DevMsgBytes = std::vector<uint8_t>;

inline void PutLe16(DevMsgBytes& b, uint16_t v)
{
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

inline void PutLe32(DevMsgBytes& b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline uint32_t GetLe32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

struct DevMsgFrame
{
    bool more = false;
    DevMsgBytes payload;
};

struct DevMsgReply
{
    uint16_t command = 0;
    uint16_t status = 0;
    DevMsgBytes data;
};

class CDevMsgClient
{
public:
    using Clock = std::chrono::steady_clock;
    ~CDevMsgClient() { Close(); }

    // Connects (retrying while the port does not listen yet) and reads the greeting.
    ::testing::AssertionResult Connect(uint16_t port)
    {
        const auto deadline = Clock::now() + m_tWait;
        for (;;)
        {
            Close();
            m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
                break;
            if (Clock::now() > deadline)
                return ::testing::AssertionFailure() << "no connection to port " << port;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        int on = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        DevMsgFrame greeting;
        if (!ReadFrame(greeting))
            return ::testing::AssertionFailure() << "no greeting";
        if (!greeting.payload.empty() || greeting.more)
            return ::testing::AssertionFailure() << "the greeting is not an empty frame";
        return ::testing::AssertionSuccess();
    }

    void Close()
    {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
    }

    bool SendRaw(const DevMsgBytes& bytes)
    {
        size_t at = 0;
        while (at < bytes.size())
        {
            const ssize_t n = send(m_fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            at += static_cast<size_t>(n);
        }
        return true;
    }

    bool SendFrame(const DevMsgBytes& payload, bool more = false)
    {
        DevMsgBytes frame{'S', 'i', static_cast<uint8_t>(more ? 1 : 0), 0};
        PutLe32(frame, static_cast<uint32_t>(payload.size()));
        frame.insert(frame.end(), payload.begin(), payload.end());
        return SendRaw(frame);
    }

    bool SendRequest(uint16_t command, const DevMsgBytes& data = {}, bool more = false)
    {
        DevMsgBytes payload;
        PutLe16(payload, command);
        PutLe16(payload, 0);
        payload.insert(payload.end(), data.begin(), data.end());
        return SendFrame(payload, more);
    }

    // Reads count bytes; false on a time-out, an error or the end of the connection.
    bool ReadExact(uint8_t* out, size_t count)
    {
        const auto deadline = Clock::now() + m_tWait;
        size_t at = 0;
        while (at < count)
        {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            const ssize_t n = recv(m_fd, out + at, count - at, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            at += static_cast<size_t>(n);
        }
        return true;
    }

    bool ReadFrame(DevMsgFrame& frame)
    {
        uint8_t head[8];
        if (!ReadExact(head, sizeof head) || head[0] != 'S' || head[1] != 'i')
            return false;
        frame.more = (head[2] & 1) != 0;
        const uint32_t length = GetLe32(head + 4);
        if (length > (64u << 20))
            return false;
        frame.payload.assign(length, 0);
        return frame.payload.empty() || ReadExact(frame.payload.data(), frame.payload.size());
    }

    // Reads a reply; without more, a reply marked "more fragments" is a failure.
    ::testing::AssertionResult ReadReply(DevMsgReply& reply, bool* more = nullptr)
    {
        DevMsgFrame frame;
        if (!ReadFrame(frame))
            return ::testing::AssertionFailure() << "no reply frame";
        if (frame.payload.size() < 4)
            return ::testing::AssertionFailure() << "reply of " << frame.payload.size() << " bytes";
        reply.command = static_cast<uint16_t>(frame.payload[0] | (frame.payload[1] << 8));
        reply.status = static_cast<uint16_t>(frame.payload[2] | (frame.payload[3] << 8));
        reply.data.assign(frame.payload.begin() + 4, frame.payload.end());
        if (more)
            *more = frame.more;
        else if (frame.more)
            return ::testing::AssertionFailure() << "unexpected more-fragments bit";
        return ::testing::AssertionSuccess();
    }

    // Sends a request and reads its reply.
    ::testing::AssertionResult Ask(uint16_t command, DevMsgReply& reply,
                                   const DevMsgBytes& data = {})
    {
        if (!SendRequest(command, data))
            return ::testing::AssertionFailure() << "send failed";
        return ReadReply(reply);
    }

    // True when the peer ends the connection (instead of answering) within the deadline.
    bool ClosedByPeer()
    {
        uint8_t byte;
        const auto deadline = Clock::now() + m_tWait;
        while (Clock::now() < deadline)
        {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t n = recv(m_fd, &byte, 1, 0);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
                return true;
            if (n > 0)
                return false;
        }
        return false;
    }

    // How long a read or a connect may wait (10 s unless set).
    void SetWait(std::chrono::milliseconds wait) { m_tWait = wait; }

private:
    int m_fd = -1;
    std::chrono::milliseconds m_tWait{10000};
};
} // namespace kovetest

#endif
