// Tests of the socket connection layer over loopback, on ports the kernel picks:
// handle life cycle and status codes, the connection machine of clients and
// servers, shared listeners, framed messages with the greeting, bad frames from
// a peer, busy transfers, datagrams, and reclaiming handles that other threads
// still use.

#include "NySoc.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "KoveTestSupport.h"
#include "StdoutCapture.h"

namespace
{
using namespace std::chrono_literals;

constexpr int kEventMs = 5000; // deadline for anything that should happen soon

uint32_t Loopback()
{
    return htonl(INADDR_LOOPBACK);
}

// A frame descriptor with its payload room.
class CFrame
{
public:
    explicit CFrame(uint32_t handle, uint32_t capacity = 4096)
        : m_buffer(NYSOC_DESCRIPTOR_HEAD_SIZE + capacity)
    {
        d()->uHandle = handle;
        d()->uCapacity = capacity;
    }
    NySocFrameDescriptor* d() { return reinterpret_cast<NySocFrameDescriptor*>(m_buffer.data()); }
    NySocFrameDescriptor* operator->() { return d(); }
    void Set(const std::string& text, uint32_t flags = 0)
    {
        memcpy(d()->aucPayload, text.data(), text.size());
        d()->uLength = static_cast<uint32_t>(text.size());
        d()->uFlags = flags;
    }
    std::string Text()
    {
        return std::string(reinterpret_cast<char*>(d()->aucPayload), d()->uLength);
    }

private:
    std::vector<uint8_t> m_buffer;
};

int Send(uint32_t handle, const std::string& text, uint32_t flags = 0, int32_t timeoutMs = kEventMs)
{
    CFrame f(handle, static_cast<uint32_t>(text.size()) + 1);
    f.Set(text, flags);
    return NySocSend(f.d(), timeoutMs);
}

// Receives until the frame holds length bytes, or a status other than 0 or
// "nothing yet" ends it; returns the last status.
int ReceiveUntil(CFrame& f, uint32_t length)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kEventMs);
    int status = KESTREL_TIMEOUT;
    while (f->uLength < length && std::chrono::steady_clock::now() < end)
    {
        status = NySocReceive(f.d(), 100);
        if (status != 0 && status != KESTREL_TIMEOUT)
            break;
    }
    return status;
}

std::string Header(uint32_t length, uint8_t flags = 0, char first = 'S', char second = 'i')
{
    const char bytes[8] = {first,
                           second,
                           static_cast<char>(flags),
                           0,
                           static_cast<char>(length & 0xFF),
                           static_cast<char>((length >> 8) & 0xFF),
                           static_cast<char>((length >> 16) & 0xFF),
                           static_cast<char>((length >> 24) & 0xFF)};
    return std::string(bytes, sizeof bytes);
}

// --- plain sockets for the far side ---

class CFd
{
public:
    explicit CFd(int fd = -1) : m_fd(fd) {}
    ~CFd()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    CFd(CFd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    CFd& operator=(CFd&& other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    int Get() const { return m_fd; }

private:
    int m_fd;
};

sockaddr_in LoopbackAddress(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

CFd RawListen(uint16_t* port)
{
    int bound = 0;
    CFd fd(kovetest::LoopbackSocket(SOCK_STREAM, &bound));
    *port = static_cast<uint16_t>(bound);
    return fd;
}

// A port on which nothing listens (for a moment at least).
uint16_t FreePort()
{
    uint16_t port = 0;
    RawListen(&port);
    return port;
}

CFd RawConnect(uint16_t port)
{
    CFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = LoopbackAddress(port);
    if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return CFd();
    return fd;
}

bool WaitReadable(int fd, int timeoutMs)
{
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) > 0;
}

CFd RawAccept(int listener)
{
    if (!WaitReadable(listener, kEventMs))
        return CFd();
    return CFd(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

void RawWrite(int fd, const std::string& bytes)
{
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
}

// Reads exactly count bytes, or what came before the peer closed or time ran out.
std::string RawRead(int fd, size_t count)
{
    std::string out;
    char buffer[4096];
    while (out.size() < count && WaitReadable(fd, kEventMs))
    {
        const ssize_t n = recv(fd, buffer, std::min(sizeof buffer, count - out.size()), 0);
        if (n <= 0)
            break;
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

// True when the peer has closed or reset the connection.
bool RawSeesClose(int fd)
{
    char c;
    return WaitReadable(fd, kEventMs) && recv(fd, &c, 1, 0) <= 0;
}

// --- handles ---

uint32_t OpenServer(uint32_t flags, uint16_t* port)
{
    NySocOpenRecord r;
    memset(&r, 0, sizeof r);
    r.uFlags = flags;
    r.usPort = *port;
    EXPECT_EQ(NySocOpen(&r), 0);
    *port = r.usPort;
    return r.uHandle;
}

uint32_t OpenClient(uint32_t flags, uint16_t port, uint16_t* localPort = nullptr)
{
    NySocOpenRecord r;
    memset(&r, 0, sizeof r);
    r.uFlags = flags;
    r.usPort = port;
    r.uRemote.tAddress.uRemoteAddress = Loopback();
    EXPECT_EQ(NySocOpen(&r), 0);
    if (localPort)
        *localPort = r.usLocalPort;
    return r.uHandle;
}

struct Pair
{
    uint32_t server;
    uint32_t client;
};

Pair ConnectPair(bool framed)
{
    uint16_t port = 0;
    const uint32_t framing = framed ? NYSOC_FRAMED : 0;
    Pair p;
    p.server = OpenServer(NYSOC_SERVER | NYSOC_REUSE_ADDRESS | framing, &port);
    p.client = NySocStartTcpClient(Loopback(), port, framed);
    EXPECT_NE(p.client, 0u);
    EXPECT_EQ(NySocRestart(p.client, kEventMs), 0);
    EXPECT_EQ(NySocRestart(p.server, kEventMs), 0);
    return p;
}

class NySocTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(NySocStartLayer(), 0); }
    void TearDown() override { NySocCloseForce(); }
};

TEST(NySocLayer, RefusesCallsBeforeStartAndCountsReferences)
{
    NySocCloseForce();
    NySocOpenRecord r;
    memset(&r, 0, sizeof r);
    r.uFlags = NYSOC_SERVER;
    EXPECT_EQ(NySocOpen(&r), KESTREL_NOT_INITIALISED);
    EXPECT_EQ(NySocStartTcpServer(0, 0), 0u);
    EXPECT_EQ(NySocStopConnection(1), KESTREL_NOT_INITIALISED);
    EXPECT_EQ(NySocStopAllConnections(), KESTREL_NOT_INITIALISED);
    EXPECT_EQ(NySocReleaseLayer(), KESTREL_NOT_INITIALISED);
    NySocListenerSnapshotRecord head;
    memset(&head, 0xEE, sizeof head);
    EXPECT_EQ(NySocListenerSnapshot(&head), KESTREL_NOT_INITIALISED);
    EXPECT_EQ(head.uTableSize, 0u);

    // Two users: the layer stays up until the second one lets go.
    ASSERT_EQ(NySocStartLayer(), 0);
    ASSERT_EQ(NySocStartLayer(), 0);
    EXPECT_EQ(NySocReleaseLayer(), 0);
    uint16_t port = 0;
    EXPECT_NE(OpenServer(NYSOC_SERVER, &port), 0u);
    EXPECT_EQ(NySocReleaseLayer(), 0);
    EXPECT_EQ(NySocOpen(&r), KESTREL_NOT_INITIALISED);
}

TEST_F(NySocTest, ErrorStatusesOfCallsAndOpens)
{
    uint16_t port = 0;
    const uint32_t server = OpenServer(NYSOC_SERVER, &port);
    ASSERT_NE(server, 0u);
    uint16_t udpPort = 0;
    const uint32_t udp = OpenServer(NYSOC_KIND_UDP | NYSOC_SERVER, &udpPort);
    ASSERT_NE(udp, 0u);
    uint16_t busyPort = 0;
    CFd holder = RawListen(&busyPort);

    auto open = [](uint32_t flags, uint16_t openPort, std::function<void(NySocOpenRecord&)> fill)
    {
        NySocOpenRecord r;
        memset(&r, 0, sizeof r);
        r.uFlags = flags;
        r.usPort = openPort;
        r.uRemote.tAddress.uRemoteAddress = Loopback();
        if (fill)
            fill(r);
        const int status = NySocOpen(&r);
        EXPECT_EQ(r.uHandle, 0u);
        return status;
    };
    struct Case
    {
        const char* what;
        std::function<int()> call;
        int expected;
    };
    const Case cases[] = {
        {"send on a handle never opened", [] { return Send(77, "x"); }, KESTREL_INVALID_HANDLE},
        {"receive on handle 0",
         []
         {
             CFrame f(0);
             return NySocReceive(f.d(), 0);
         },
         KESTREL_INVALID_HANDLE},
        {"restart of handle 257", [] { return NySocRestart(257, 0); }, KESTREL_INVALID_HANDLE},
        {"disconnect of an unknown handle", [] { return NySocDisconnect(99, 0); },
         KESTREL_INVALID_HANDLE},
        {"stop of an unknown handle", [] { return NySocStopConnection(99); },
         KESTREL_INVALID_HANDLE},
        {"send with timeout -2", [&] { return Send(server, "x", 0, -2); },
         KESTREL_INVALID_ARGUMENT},
        {"receive with timeout -2",
         [&]
         {
             CFrame f(server);
             return NySocReceive(f.d(), -2);
         },
         KESTREL_INVALID_ARGUMENT},
        {"restart with timeout -2", [&] { return NySocRestart(server, -2); },
         KESTREL_INVALID_ARGUMENT},
        {"receive into a full buffer",
         [&]
         {
             CFrame f(server, 4);
             f->uLength = 4;
             return NySocReceive(f.d(), 0);
         },
         KESTREL_FAILED},
        {"datagram to a peer that is not IPv4",
         [&]
         {
             CFrame f(udp);
             f.Set("x", NYSOC_FRAME_PEER);
             f->tPeer.ucKind = 2;
             return NySocSend(f.d(), 0);
         },
         KESTREL_INVALID_ARGUMENT},
        {"open of an unsupported socket kind", [&] { return open(5, port, nullptr); },
         KESTREL_FAILED},
        {"open of a server on a port in use",
         [&] { return open(NYSOC_SERVER | NYSOC_REUSE_ADDRESS, busyPort, nullptr); },
         KESTREL_NOT_INITIALISED},
        {"open bound to an IPv6 address only",
         [&]
         {
             return open(NYSOC_KIND_UDP | NYSOC_LOCAL_BIND, port,
                         [](NySocOpenRecord& r) { r.aucLocalAddress6[15] = 1; });
         },
         KESTREL_INVALID_ARGUMENT},
        {"open with an unterminated host name",
         [&]
         {
             return open(NYSOC_KIND_TCP, port,
                         [](NySocOpenRecord& r)
                         { memset(r.uRemote.acHostName, 'a', sizeof r.uRemote.acHostName); });
         },
         KESTREL_INVALID_ARGUMENT},
        {"open without a record", [] { return NySocOpen(nullptr); }, KESTREL_INVALID_ARGUMENT},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.call(), c.expected) << c.what;
}

TEST_F(NySocTest, InterfaceThatCannotBeBoundIsSaidOnStandardOutput)
{
    struct Case
    {
        const char* what;
        uint32_t flags;
    } const cases[] = {
        {"client", NYSOC_KIND_TCP},
        {"server", NYSOC_SERVER | NYSOC_REUSE_ADDRESS},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        kovetest::CStdoutCapture out;
        NySocOpenRecord r;
        memset(&r, 0, sizeof r);
        r.uFlags = c.flags | NYSOC_LOCAL_BIND;
        r.usPort = FreePort();
        r.uRemote.tAddress.uRemoteAddress = Loopback();
        strcpy(r.acInterface, "nosuchif0");
        EXPECT_EQ(NySocOpen(&r), KESTREL_FAILED);
        EXPECT_EQ(r.uHandle, 0u);
        EXPECT_EQ(out.Text(), "can't bind to interface nosuchif0\n");
    }
}

TEST_F(NySocTest, TableFullAndAStoppedHandleIsHeldForTwoSeconds)
{
    // 256 servers on one port share one listening socket.
    uint16_t port = 0;
    std::vector<uint32_t> handles;
    for (int i = 0; i < NYSOC_MAX_HANDLES; ++i)
        handles.push_back(OpenServer(NYSOC_SERVER | NYSOC_REUSE_ADDRESS, &port));
    for (int i = 0; i < NYSOC_MAX_HANDLES; ++i)
        ASSERT_EQ(handles[i], static_cast<uint32_t>(i + 1));

    std::vector<uint8_t> room(sizeof(NySocListenerSnapshotRecord) + 4 * sizeof(NySocListenerInfo));
    auto* snapshot = reinterpret_cast<NySocListenerSnapshotRecord*>(room.data());
    snapshot->uTableSize = 4;
    ASSERT_EQ(NySocListenerSnapshot(snapshot), 0);
    EXPECT_EQ(snapshot->aucVersion[0], 2);
    EXPECT_EQ(snapshot->uTableSize, static_cast<uint32_t>(NYSOC_MAX_LISTENERS));
    EXPECT_EQ(snapshot->uInUse, 1u);
    ASSERT_EQ(snapshot->uCopied, 1u);
    EXPECT_EQ(snapshot->atEntries[0].usPort, port);
    EXPECT_EQ(snapshot->atEntries[0].iHolders, NYSOC_MAX_HANDLES);
    EXPECT_EQ(snapshot->atEntries[0].iWaiting, NYSOC_MAX_HANDLES);
    EXPECT_EQ(snapshot->atEntries[0].iBacklog, 128);
    const int listening = snapshot->atEntries[0].iSocket;
    ASSERT_GE(listening, 0);
    EXPECT_TRUE(fcntl(listening, F_GETFD) & FD_CLOEXEC);
    int reuse = 0;
    socklen_t length = sizeof reuse;
    ASSERT_EQ(getsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &reuse, &length), 0);
    EXPECT_EQ(reuse, 1);

    NySocOpenRecord r;
    memset(&r, 0, sizeof r);
    r.uFlags = NYSOC_SERVER;
    EXPECT_EQ(NySocOpen(&r), KESTREL_TABLE_FULL);
    EXPECT_EQ(NySocStartTcpServer(0, 0), 0u);

    // A stopped handle answers "stopped" and keeps its number until the keeper frees it.
    ASSERT_EQ(NySocStopConnection(5), 0);
    EXPECT_EQ(NySocStopConnection(5), KESTREL_INVALID_HANDLE);
    EXPECT_EQ(Send(5, "x", 0, 0), KESTREL_STOPPED);
    EXPECT_EQ(NySocOpen(&r), KESTREL_TABLE_FULL);
    const auto stopped = std::chrono::steady_clock::now();
    ASSERT_TRUE(kovetest::WaitFor([] { return Send(5, "x", 0, 0) == KESTREL_INVALID_HANDLE; },
                                  std::chrono::milliseconds(kEventMs)));
    EXPECT_GE(std::chrono::steady_clock::now() - stopped, 1500ms);
    EXPECT_EQ(NySocOpen(&r), 0);
    EXPECT_EQ(r.uHandle, 5u);
}

TEST_F(NySocTest, ClientAndServerExchangeAndTheServerWaitsForItsNextClient)
{
    uint16_t port = 0;
    const uint32_t server = OpenServer(NYSOC_SERVER | NYSOC_REUSE_ADDRESS, &port);
    ASSERT_NE(server, 0u);

    // How the server sees its client go: a reset (the default close) drops the
    // connection, an orderly close reads as the peer closing.
    struct Case
    {
        const char* what;
        std::function<uint32_t()> open;
        int expected;
    } const cases[] = {
        {"client by name, reset on close",
         [&] { return NySocStartTcpClientByName("localhost", port, 0); }, KESTREL_NOT_CONNECTED},
        {"graceful client", [&] { return OpenClient(NYSOC_GRACEFUL, port); },
         KESTREL_INVALID_HANDLE},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        const uint32_t client = c.open();
        ASSERT_NE(client, 0u);
        ASSERT_EQ(NySocRestart(client, kEventMs), 0);
        ASSERT_EQ(NySocRestart(server, kEventMs), 0);

        ASSERT_EQ(Send(client, "hello"), 0);
        CFrame atServer(server);
        EXPECT_EQ(ReceiveUntil(atServer, 5), 0);
        EXPECT_EQ(atServer.Text(), "hello");
        ASSERT_EQ(Send(server, "world"), 0);
        CFrame atClient(client);
        EXPECT_EQ(ReceiveUntil(atClient, 5), 0);
        EXPECT_EQ(atClient.Text(), "world");

        ASSERT_EQ(NySocStopConnection(client), 0);
        CFrame gone(server);
        EXPECT_EQ(NySocReceive(gone.d(), kEventMs), c.expected);
        EXPECT_EQ(NySocRestart(server, 0), KESTREL_NOT_CONNECTED);
    }

    // A disconnect with the stop bit keeps the client down; without it, it
    // connects again by itself.
    const uint32_t client = OpenClient(0, port);
    ASSERT_EQ(NySocRestart(client, kEventMs), 0);
    ASSERT_EQ(NySocRestart(server, kEventMs), 0);
    NySocDisconnect(client, 1);
    EXPECT_EQ(NySocRestart(client, 0), KESTREL_STOPPED);
    EXPECT_EQ(Send(client, "x", 0, 0), KESTREL_STOPPED);
    CFrame gone(server);
    EXPECT_EQ(NySocReceive(gone.d(), kEventMs), KESTREL_NOT_CONNECTED);
    EXPECT_EQ(NySocRestart(server, 0), KESTREL_NOT_CONNECTED);
    NySocDisconnect(client, 0);
    ASSERT_EQ(NySocRestart(client, kEventMs), 0);
    ASSERT_EQ(NySocRestart(server, kEventMs), 0);
    ASSERT_EQ(Send(client, "again"), 0);
    CFrame again(server);
    EXPECT_EQ(ReceiveUntil(again, 5), 0);
    EXPECT_EQ(again.Text(), "again");
}

TEST_F(NySocTest, ClientWithoutServerIsNotConnected)
{
    const uint32_t client = NySocStartTcpClient(Loopback(), FreePort(), 0);
    ASSERT_NE(client, 0u);
    EXPECT_EQ(NySocRestart(client, 300), KESTREL_NOT_CONNECTED);
    EXPECT_EQ(Send(client, "x", 0, 0), KESTREL_NOT_CONNECTED);
    CFrame f(client);
    EXPECT_EQ(NySocReceive(f.d(), 0), KESTREL_NOT_CONNECTED);
}

TEST_F(NySocTest, ClientsQueueWhileEveryServerIsBusyAndAStoppedPortRefuses)
{
    uint16_t port = 0;
    const uint32_t first = OpenServer(NYSOC_SERVER | NYSOC_REUSE_ADDRESS, &port);
    ASSERT_NE(first, 0u);

    // The only server is busy: further clients wait in the queue instead of being refused.
    CFd a = RawConnect(port);
    ASSERT_GE(a.Get(), 0);
    ASSERT_EQ(NySocRestart(first, kEventMs), 0);
    std::vector<CFd> queued;
    for (int i = 0; i < 20; ++i)
    {
        queued.push_back(RawConnect(port));
        ASSERT_GE(queued.back().Get(), 0) << "client " << i << ": " << strerror(errno);
        RawWrite(queued.back().Get(), "q" + std::to_string(i));
    }

    // A second server of the port takes the first of them at once.
    uint16_t samePort = port;
    const uint32_t second = OpenServer(NYSOC_SERVER | NYSOC_REUSE_ADDRESS, &samePort);
    EXPECT_EQ(samePort, port);
    ASSERT_EQ(NySocRestart(second, kEventMs), 0);
    CFrame atSecond(second);
    EXPECT_EQ(ReceiveUntil(atSecond, 2), 0);
    EXPECT_EQ(atSecond.Text(), "q0");

    // Restart on a connected server reports it connected and keeps its client; a disconnect
    // drops the client and the server takes the next one in the queue.
    EXPECT_EQ(NySocRestart(first, 0), 0);
    EXPECT_EQ(NySocRestart(first, kEventMs), 0);
    RawWrite(a.Get(), "still a");
    CFrame fromA(first);
    EXPECT_EQ(ReceiveUntil(fromA, 7), 0);
    EXPECT_EQ(fromA.Text(), "still a");
    NySocDisconnect(first, 0);
    EXPECT_TRUE(RawSeesClose(a.Get()));
    ASSERT_EQ(NySocRestart(first, kEventMs), 0);
    CFrame atFirst(first);
    EXPECT_EQ(ReceiveUntil(atFirst, 2), 0);
    EXPECT_EQ(atFirst.Text(), "q1");

    // With every server of the port stopped, waiting clients are let go and new ones refused;
    // a server that starts again listens again.
    NySocDisconnect(first, 1);
    NySocDisconnect(second, 1);
    EXPECT_TRUE(RawSeesClose(queued[2].Get()));
    CFd refused = RawConnect(port);
    EXPECT_LT(refused.Get(), 0);
    EXPECT_EQ(errno, ECONNREFUSED);
    NySocDisconnect(first, 0);
    CFd again = RawConnect(port);
    ASSERT_GE(again.Get(), 0);
    ASSERT_EQ(NySocRestart(first, kEventMs), 0);
    RawWrite(again.Get(), "on");
    CFrame atFirstAgain(first);
    EXPECT_EQ(ReceiveUntil(atFirstAgain, 2), 0);
    EXPECT_EQ(atFirstAgain.Text(), "on");
}

TEST_F(NySocTest, FramedServerGreetsEachNewClientUnlessToldNot)
{
    struct Case
    {
        uint32_t flags;
        bool greets;
    } const cases[] = {
        {NYSOC_SERVER | NYSOC_REUSE_ADDRESS | NYSOC_FRAMED, true},
        {NYSOC_SERVER | NYSOC_REUSE_ADDRESS | NYSOC_FRAMED | NYSOC_NO_GREETING, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.greets ? "greeting" : "no greeting");
        uint16_t port = 0;
        const uint32_t server = OpenServer(c.flags, &port);
        for (int client = 0; client < 2; ++client)
        {
            NySocDisconnect(server, 0); // drops the previous client: the port listens again
            CFd raw = RawConnect(port);
            ASSERT_GE(raw.Get(), 0);
            ASSERT_EQ(NySocRestart(server, kEventMs), 0);
            if (c.greets)
            {
                EXPECT_EQ(RawRead(raw.Get(), 8), Header(0));
            }
            RawWrite(raw.Get(), Header(4) + "ping");
            CFrame f(server);
            f->uFlags = NYSOC_FRAME_WHOLE;
            EXPECT_EQ(NySocReceive(f.d(), kEventMs), 0);
            EXPECT_EQ(f.Text(), "ping");
            ASSERT_EQ(Send(server, "pong"), 0);
            EXPECT_EQ(RawRead(raw.Get(), 12), Header(4) + "pong");
        }
        NySocStopConnection(server);
    }
}

TEST_F(NySocTest, FramedMessagesTravelInFragmentsAndPieces)
{
    const Pair p = ConnectPair(true);

    // Fragments append; 3 until the last one is in.
    ASSERT_EQ(Send(p.client, "abc", NYSOC_FRAME_MORE), 0);
    ASSERT_EQ(Send(p.client, "defg"), 0);
    CFrame f(p.server);
    std::vector<int> statuses;
    for (int status = KESTREL_MORE_FRAGMENTS; status != 0 && statuses.size() < 20;)
    {
        status = NySocReceive(f.d(), kEventMs);
        statuses.push_back(status);
        ASSERT_TRUE(status == 0 || status == KESTREL_MORE_FRAGMENTS) << status;
    }
    EXPECT_EQ(f.Text(), "abcdefg");
    EXPECT_EQ(statuses.front(), KESTREL_MORE_FRAGMENTS);

    // With "whole message" one call collects all fragments.
    ASSERT_EQ(Send(p.client, "abc", NYSOC_FRAME_MORE), 0);
    ASSERT_EQ(Send(p.client, "defg"), 0);
    CFrame whole(p.server);
    whole->uFlags = NYSOC_FRAME_WHOLE;
    EXPECT_EQ(NySocReceive(whole.d(), kEventMs), 0);
    EXPECT_EQ(whole.Text(), "abcdefg");

    // A message longer than the buffer comes in buffer-sized pieces.
    ASSERT_EQ(Send(p.client, "0123456789"), 0);
    CFrame small(p.server, 4);
    std::string pieces;
    for (int status = KESTREL_MORE_FRAGMENTS, calls = 0; status != 0 && calls < 20; ++calls)
    {
        small->uLength = 0;
        status = NySocReceive(small.d(), kEventMs);
        ASSERT_TRUE(status == 0 || status == KESTREL_MORE_FRAGMENTS) << status;
        pieces += small.Text();
    }
    EXPECT_EQ(pieces, "0123456789");

    // The client skips the greeting and gets the server's message.
    ASSERT_EQ(Send(p.server, "ok"), 0);
    CFrame atClient(p.client);
    atClient->uFlags = NYSOC_FRAME_WHOLE;
    EXPECT_EQ(NySocReceive(atClient.d(), kEventMs), 0);
    EXPECT_EQ(atClient.Text(), "ok");
}

TEST_F(NySocTest, BadFrameDropsTheConnectionAndTheClientReconnects)
{
    uint16_t port = 0;
    CFd listener = RawListen(&port);
    ASSERT_GE(listener.Get(), 0);
    const uint32_t client = NySocStartTcpClient(Loopback(), port, 1);
    ASSERT_NE(client, 0u);

    struct Case
    {
        const char* what;
        std::string bytes;
    } const cases[] = {
        {"header without Si", Header(4, 0, 'X', 'i') + "abcd"},
        {"length above the limit", Header(NYSOC_FRAME_MAX_PAYLOAD + 1) + "abcd"},
        {"length 0xFFFFFFFF", Header(0xFFFFFFFFu) + "abcd"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(NySocRestart(client, kEventMs), 0);
        CFd peer = RawAccept(listener.Get());
        ASSERT_GE(peer.Get(), 0);
        RawWrite(peer.Get(), c.bytes);
        CFrame f(client, 64);
        EXPECT_EQ(NySocReceive(f.d(), kEventMs), KESTREL_NOT_CONNECTED);
        EXPECT_EQ(f->uLength, 0u);
        EXPECT_TRUE(RawSeesClose(peer.Get()));
    }

    // Empty frames are skipped, but not endlessly within one call.
    ASSERT_EQ(NySocRestart(client, kEventMs), 0);
    CFd peer = RawAccept(listener.Get());
    ASSERT_GE(peer.Get(), 0);
    RawWrite(peer.Get(), Header(0) + Header(0) + Header(0) + Header(0) + Header(2) + "hi");
    CFrame f(client, 64);
    f->uFlags = NYSOC_FRAME_WHOLE;
    EXPECT_EQ(NySocReceive(f.d(), kEventMs), KESTREL_TIMEOUT);
    EXPECT_EQ(NySocReceive(f.d(), kEventMs), 0);
    EXPECT_EQ(f.Text(), "hi");
}

TEST_F(NySocTest, SecondReceiveIsBusyAndAnUnsentRemainderGoesOutFirst)
{
    const Pair p = ConnectPair(false);

    // A receive that waits makes a second one busy.
    auto waiting =
        std::async(std::launch::async,
                   [&]
                   {
                       CFrame f(p.server);
                       int status;
                       while ((status = NySocReceive(f.d(), -1)) == KESTREL_BUSY)
                       {
                       }
                       return status == 0 ? f.Text() : "status " + std::to_string(status);
                   });
    EXPECT_TRUE(kovetest::WaitFor(
        [&]
        {
            CFrame probe(p.server);
            return NySocReceive(probe.d(), 0) == KESTREL_BUSY;
        }));
    ASSERT_EQ(Send(p.client, "wake"), 0);
    ASSERT_EQ(waiting.wait_for(std::chrono::milliseconds(kEventMs)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), "wake");

    // More than the socket takes at once: the rest stays pending.
    const uint32_t size = 32u << 20;
    std::vector<uint8_t> buffer(NYSOC_DESCRIPTOR_HEAD_SIZE + size);
    auto* big = reinterpret_cast<NySocFrameDescriptor*>(buffer.data());
    big->uHandle = p.client;
    big->uCapacity = size;
    big->uLength = size;
    for (uint32_t i = 0; i < size; ++i)
        big->aucPayload[i] = static_cast<uint8_t>(i * 7 + i / 251);
    ASSERT_EQ(NySocSend(big, 0), KESTREL_TIMEOUT);
    EXPECT_EQ(Send(p.client, "new data", 0, 0), KESTREL_BUSY);
    CFrame flush(p.client, 1);
    EXPECT_EQ(NySocSend(flush.d(), 0), KESTREL_BUSY);

    // The peer drains while empty sends flush the remainder; nothing is lost or reordered.
    auto drained = std::async(
        std::launch::async,
        [&]
        {
            std::vector<uint8_t> in(NYSOC_DESCRIPTOR_HEAD_SIZE + size);
            auto* f = reinterpret_cast<NySocFrameDescriptor*>(in.data());
            f->uHandle = p.server;
            f->uCapacity = size;
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (f->uLength < size && std::chrono::steady_clock::now() < end)
            {
                const int status = NySocReceive(f, 100);
                if (status != 0 && status != KESTREL_TIMEOUT)
                    break;
            }
            return f->uLength == size && memcmp(f->aucPayload, big->aucPayload, size) == 0;
        });
    EXPECT_EQ(NySocSend(flush.d(), -1), 0);
    EXPECT_TRUE(drained.get());
    EXPECT_EQ(Send(p.client, "new data"), 0);
    CFrame after(p.server);
    EXPECT_EQ(ReceiveUntil(after, 8), 0);
    EXPECT_EQ(after.Text(), "new data");
}

TEST_F(NySocTest, DatagramsReportTheirSenderAndFramedOnesMustBeWhole)
{
    uint16_t port = 0;
    const uint32_t server = OpenServer(NYSOC_KIND_UDP | NYSOC_SERVER, &port);
    ASSERT_NE(port, 0);
    uint16_t clientPort = 0;
    const uint32_t client = OpenClient(NYSOC_KIND_UDP, port, &clientPort);
    ASSERT_NE(client, 0u);

    ASSERT_EQ(Send(client, "ping"), 0);
    CFrame request(server);
    request->uFlags = NYSOC_FRAME_REPORT_SENDER;
    ASSERT_EQ(NySocReceive(request.d(), kEventMs), 0);
    EXPECT_EQ(request.Text(), "ping");
    EXPECT_TRUE(request->uFlags & NYSOC_FRAME_PEER);
    EXPECT_EQ(request->tPeer.ucKind, NYSOC_PEER_IPV4);
    EXPECT_EQ(request->tPeer.uAddress, static_cast<uint32_t>(INADDR_LOOPBACK));
    EXPECT_EQ(request->tPeer.usPort, clientPort);

    CFrame reply(server);
    reply.Set("pong", NYSOC_FRAME_PEER);
    reply->tPeer = request->tPeer;
    ASSERT_EQ(NySocSend(reply.d(), kEventMs), 0);
    CFrame atClient(client);
    ASSERT_EQ(NySocReceive(atClient.d(), kEventMs), 0);
    EXPECT_EQ(atClient.Text(), "pong");

    // A framed datagram is taken only when it starts with "Si" and holds its length.
    uint16_t framedPort = 0;
    const uint32_t framed = OpenServer(NYSOC_KIND_UDP | NYSOC_SERVER | NYSOC_FRAMED, &framedPort);
    CFd raw(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const sockaddr_in to = LoopbackAddress(framedPort);
    for (const std::string& bad : {Header(5, 0, 'X', 'i') + "wrong", Header(100) + "short"})
        ASSERT_EQ(sendto(raw.Get(), bad.data(), bad.size(), 0,
                         reinterpret_cast<const sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(bad.size()));
    CFrame message(0);
    message.Set("hello");
    ASSERT_EQ(NySocSendDatagram(Loopback(), 0, framedPort, 1, message.d()), 0);
    CFrame got(framed);
    ASSERT_EQ(NySocReceive(got.d(), kEventMs), 0);
    EXPECT_EQ(got.Text(), "hello");
}

// A receive without time limit; a probe's receive running at that moment is
// waited out.
int ReceiveBlocking(uint32_t handle)
{
    CFrame f(handle);
    int status;
    while ((status = NySocReceive(f.d(), -1)) == KESTREL_BUSY)
    {
    }
    return status;
}

// Holds a thread inside whatever it was doing, as a long preemption would.
std::atomic<bool> gFrozen{false};
std::atomic<bool> gThaw{false};

void FreezeHandler(int)
{
    gFrozen = true;
    while (!gThaw)
    {
        const timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
}

TEST_F(NySocTest, KeeperReclaimsAStoppedHandleWhileAThreadStillHoldsIt)
{
    const Pair p = ConnectPair(false);

    // One thread waits in a receive, another in a send that the client never reads.
    std::atomic<int> received{-1};
    std::thread receiver([&] { received = ReceiveBlocking(p.server); });
    const uint32_t size = 32u << 20;
    std::vector<uint8_t> buffer(NYSOC_DESCRIPTOR_HEAD_SIZE + size);
    auto sending = std::async(
        std::launch::async,
        [&]
        {
            auto* big = reinterpret_cast<NySocFrameDescriptor*>(buffer.data());
            big->uHandle = p.server;
            big->uCapacity = size;
            big->uLength = size;
            int status;
            while ((status = NySocSend(big, -1)) == KESTREL_BUSY) // a probe's send was running
            {
            }
            return status;
        });
    struct CJoin
    {
        std::thread& t;
        uint32_t handle;
        ~CJoin()
        {
            gThaw = true;
            NySocStopConnection(handle); // releases both if the test ended early
            t.join();
        }
    } join{receiver, p.server};
    ASSERT_TRUE(kovetest::WaitFor(
        [&]
        {
            CFrame probe(p.server);
            return NySocReceive(probe.d(), 0) == KESTREL_BUSY &&
                   Send(p.server, "x", 0, 0) == KESTREL_BUSY;
        }));

    // The receiver is held inside its call across the stop and the reclaim.
    struct sigaction freeze = {}, previous = {};
    freeze.sa_handler = FreezeHandler;
    sigemptyset(&freeze.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &freeze, &previous), 0);
    gFrozen = false;
    gThaw = false;
    ASSERT_EQ(pthread_kill(receiver.native_handle(), SIGUSR1), 0);
    ASSERT_TRUE(kovetest::WaitFor([] { return gFrozen.load(); }));

    ASSERT_EQ(NySocStopConnection(p.server), 0);
    ASSERT_EQ(sending.wait_for(std::chrono::milliseconds(kEventMs)), std::future_status::ready);
    EXPECT_EQ(sending.get(), KESTREL_STOPPED);
    EXPECT_TRUE(kovetest::WaitFor([&]
                                  { return Send(p.server, "", 0, 0) == KESTREL_INVALID_HANDLE; },
                                  std::chrono::milliseconds(kEventMs)));

    // The number is free again and works as a new handle, while the old
    // connection lives on until the held call returns.
    uint16_t port = 0;
    EXPECT_EQ(OpenServer(NYSOC_SERVER, &port), p.server);
    gThaw = true;
    EXPECT_TRUE(kovetest::WaitFor([&] { return received.load() != -1; }));
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(received.load(), KESTREL_STOPPED);
}

TEST_F(NySocTest, ForcedCloseReleasesAWaitingCallAndFreesEverything)
{
    const Pair p = ConnectPair(true);
    auto receiving = std::async(std::launch::async, [&] { return ReceiveBlocking(p.server); });
    ASSERT_TRUE(kovetest::WaitFor(
        [&]
        {
            CFrame probe(p.server);
            return NySocReceive(probe.d(), 0) == KESTREL_BUSY;
        }));
    NySocCloseForce();
    ASSERT_EQ(receiving.wait_for(std::chrono::milliseconds(kEventMs)), std::future_status::ready);
    EXPECT_EQ(receiving.get(), KESTREL_STOPPED);
    EXPECT_EQ(Send(p.client, "x", 0, 0), KESTREL_INVALID_HANDLE);

    // The layer starts afresh.
    ASSERT_EQ(NySocStartLayer(), 0);
    uint16_t port = 0;
    EXPECT_EQ(OpenServer(NYSOC_SERVER, &port), 1u);
}

TEST(NySocAddress, TextConversions)
{
    struct Case
    {
        const char* text;
        int status;
        uint32_t address; // host order
    } const cases[] = {
        {"127.0.0.1", 0, 0x7F000001},
        {"255.255.255.255", 0, 0xFFFFFFFF},
        {"192.168.1", KESTREL_INVALID_ARGUMENT, 0},
        {"1.2.3.256", KESTREL_INVALID_ARGUMENT, 0},
        {"", KESTREL_INVALID_ARGUMENT, 0},
    };
    for (const Case& c : cases)
    {
        uint32_t address = 0;
        EXPECT_EQ(NySocTextToAddress(&address, c.text), c.status) << c.text;
        if (c.status == 0)
        {
            EXPECT_EQ(ntohl(address), c.address) << c.text;
        }
    }

    char text[16];
    EXPECT_EQ(NySocAddressToText(text, sizeof text, htonl(0xC0A80101)), 0);
    EXPECT_STREQ(text, "192.168.1.1");
    EXPECT_EQ(NySocAddressToText(text, 6, htonl(0xC0A80101)), 0);
    EXPECT_STREQ(text, "192.1");
    EXPECT_EQ(NySocAddressToText(text, 0, 0), -1);
}
} // namespace
