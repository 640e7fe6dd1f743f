// Plain socket functions on descriptors.
#include "SocPlain.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
constexpr int kErrInvalid = 70;
constexpr int kErrOpen = 73;
constexpr int kErrSend = 84;
constexpr int kMaxInterruptions = 31;

sockaddr_in Address(uint16_t port, uint32_t address)
{
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = address;
    return a;
}

int Failed(int* error)
{
    if (error != nullptr)
        *error = errno;
    return -1;
}

double Now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

// One octet: 1 to 3 digits up to the end of its text.
int Octet(const char* text, size_t length, unsigned* value)
{
    if (length == 0)
        return -4;
    if (length > 3)
        return -3;
    *value = 0;
    for (size_t i = 0; i < length; ++i)
    {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        *value = *value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return *value > 255 ? -2 : 0;
}
} // namespace

extern "C"
{
    int soc_socket_udpserver(uint16_t port, int /*unused*/, int* error)
    {
        if (error != nullptr)
            *error = 0;
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return Failed(error);
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in a = Address(port, htonl(INADDR_ANY));
        if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        {
            const int e = errno;
            close(fd);
            errno = e;
            return Failed(error);
        }
        return fd;
    }

    int soc_socket_tcpserver(uint16_t port, uint32_t address, int* error)
    {
        if (error != nullptr)
            *error = 0;
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return Failed(error);
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in a = Address(port, address);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || listen(fd, 1) != 0)
        {
            const int e = errno;
            close(fd);
            errno = e;
            return Failed(error);
        }
        return fd;
    }

    int soc_accept(int fd, int* error, uint16_t* peerPort, uint32_t* peerAddress)
    {
        if (error != nullptr)
            *error = 0;
        sockaddr_in a;
        socklen_t length = sizeof a;
        const int client = accept4(fd, reinterpret_cast<sockaddr*>(&a), &length, SOCK_CLOEXEC);
        if (client < 0)
            return Failed(error);
        if (peerPort != nullptr)
            *peerPort = a.sin_port;
        if (peerAddress != nullptr)
            *peerAddress = a.sin_addr.s_addr;
        return client;
    }

    int soc_connect(int fd, uint16_t port, uint32_t address)
    {
        const sockaddr_in a = Address(port, address);
        return connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? 0 : errno;
    }

    int soc_socket_tcpclient(uint16_t port, uint32_t address, int* error)
    {
        if (error != nullptr)
            *error = 0;
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return Failed(error);
        const int r = soc_connect(fd, port, address);
        if (r != 0)
        {
            close(fd);
            if (error != nullptr)
                *error = r;
            return -1;
        }
        return fd;
    }

    int soc_send_raw(const void* frame, size_t length, const char* interfaceName, size_t nameLength)
    {
        if (interfaceName == nullptr || nameLength >= 64 || strnlen(interfaceName, 64) >= 64)
            return kErrInvalid;
        const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(0x0003 /* ETH_P_ALL */));
        if (fd < 0)
            return kErrOpen;
        char name[IF_NAMESIZE] = {};
        strncpy(name, interfaceName, sizeof name - 1);
        sockaddr_ll a;
        memset(&a, 0, sizeof a);
        a.sll_family = AF_PACKET;
        a.sll_ifindex = static_cast<int>(if_nametoindex(name));
        const bool sent =
            a.sll_ifindex != 0 && sendto(fd, frame, length, MSG_NOSIGNAL,
                                         reinterpret_cast<const sockaddr*>(&a), sizeof a) ==
                                      static_cast<ssize_t>(length);
        close(fd);
        return sent ? 0 : kErrSend;
    }

    int soc_select_timeout(int fd, int timeoutMs, int mode)
    {
        if ((mode & 3) == 0)
            return 0;
        pollfd p;
        p.fd = fd;
        p.events = static_cast<short>(((mode & 1) ? POLLOUT : 0) | ((mode & 2) ? POLLIN : 0));
        p.revents = 0;
        const int r = poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
        if (r < 0)
            return -errno;
        if (r == 0)
            return 0;
        if (p.revents & POLLNVAL)
            return -EBADF;
        int ready = 0;
        if ((mode & 1) && (p.revents & (POLLOUT | POLLERR | POLLHUP)))
            ready |= 1;
        if ((mode & 2) && (p.revents & (POLLIN | POLLERR | POLLHUP)))
            ready |= 2;
        return ready;
    }

    int soc_accept_timeout(int fd, void* address, unsigned* addressLength, int timeoutMs,
                           int* error)
    {
        const int r = soc_select_timeout(fd, timeoutMs, 2);
        if (r <= 0)
        {
            if (error != nullptr)
                *error = r == 0 ? 110 : r;
            return -1;
        }
        socklen_t length = addressLength != nullptr ? *addressLength : 0;
        const int client = accept4(fd, static_cast<sockaddr*>(address),
                                   address != nullptr ? &length : nullptr, SOCK_CLOEXEC);
        if (addressLength != nullptr)
            *addressLength = length;
        if (error != nullptr)
            *error = client < 0 ? errno : 0;
        return client;
    }

    int soc_recv_timeout(int fd, void* buffer, size_t size, int timeoutMs)
    {
        const int r = soc_select_timeout(fd, timeoutMs, 2);
        if (r == 0)
            return -110;
        if (r < 0)
            return r;
        const ssize_t n = recv(fd, buffer, size, 0);
        return n < 0 ? -errno : static_cast<int>(n);
    }

    int soc_send_timeout(int fd, const void* buffer, size_t length, int timeoutMs)
    {
        size_t sent = 0;
        double start = -1;
        int interruptions = 0;
        while (interruptions < kMaxInterruptions)
        {
            const ssize_t n = send(fd, static_cast<const char*>(buffer) + sent, length - sent,
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == EINTR)
            {
                ++interruptions;
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                return -errno;
            if (n > 0)
                sent += static_cast<size_t>(n);
            if (sent >= length)
                return static_cast<int>(sent);
            if (start < 0)
                start = Now();
            const double spent = Now() - start;
            if (timeoutMs >= 0 && spent >= timeoutMs)
                return static_cast<int>(sent);
            const int r = soc_select_timeout(
                fd, timeoutMs < 0 ? -1 : static_cast<int>(timeoutMs - spent), 1);
            if (r < 0)
                return r;
            if (r == 0)
                return static_cast<int>(sent);
        }
        return static_cast<int>(sent);
    }

    int soc_ipaddr_check_cpy(char* out, const char* text)
    {
        if (out == nullptr || text == nullptr)
            return -1;
        unsigned octets[4] = {};
        const char* part = text;
        for (int i = 0; i < 3; ++i)
        {
            const char* dot = strchr(part, '.');
            if (dot == nullptr)
                return -(i + 1);
            const int code = Octet(part, static_cast<size_t>(dot - part), &octets[i]);
            if (code != 0)
                return -(i + 1) * 10 + code;
            part = dot + 1;
        }
        const int code = Octet(part, strlen(part), &octets[3]);
        if (code != 0)
            return code - 40;
        return snprintf(out, 16, "%u.%u.%u.%u", octets[0], octets[1], octets[2], octets[3]);
    }
}
