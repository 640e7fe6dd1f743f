// File access and forwarding of device-message command handlers, through a service of this
// process whose handler offers them below a temporary directory: the name check, files
// written in one message, in one grown message and in fragments (at their offset), reads
// with the end-of-file mark, refused names, the calls on a header as it stands in a request,
// forwarding to a local peer whose connection is let go on every path, and a connection
// tunnelled to a local peer.
#include "DevMsg.h"
#include "DevMsgClient.h"
#include "DevMsgFile.h"
#include "KoveTestSupport.h"
#include "NySoc.h"
#include "nyDebug.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace
{
using Bytes = kovetest::DevMsgBytes;
using Reply = kovetest::DevMsgReply;
using kovetest::CDevMsgClient;
using kovetest::GetLe32;
using kovetest::PutLe32;

enum : uint16_t
{
    kCmdWrite = 1100,
    kCmdRead = 1101,
    kCmdForward = 1102,
    kCmdTunnel = 1103,
};

std::string g_sPrefix;
std::atomic<uint16_t> g_usForwardPort{0};
// What the header in force of the last file write said: bytes still to come, and the offset
// where they go (-1: no write in fragments).
std::atomic<int64_t> g_iPendingSize{-1};
std::atomic<int64_t> g_iPendingOffset{-1};

// A tunnel to the forwarding port: the message in hand goes there, and so does every later one.
uint32_t OpenTunnel(tagDEVMSG_HANDLE_STRUCT* record)
{
    uint32_t proxy = 0;
    if (StartProxyConnection(&proxy, htonl(INADDR_LOOPBACK), g_usForwardPort.load()) != 0)
    {
        if (proxy != 0)
            NySocStopConnection(proxy);
        DevMsgResetReply(record);
        return KESTREL_CANNOT_OPEN;
    }
    record->uProxyHandle = proxy;
    record->usProxyPort = g_usForwardPort.load();
    record->uProxyIdle = 0;
    record->uToDo = DEVMSG_TODO_TUNNEL;
    return 0;
}

uint32_t FileHandler(uint16_t command, tagDEVMSG_HANDLE_STRUCT* record)
{
    switch (command)
    {
    case kCmdWrite:
    {
        const uint8_t* used = nullptr;
        const int status = DevMsgFileWriteCommand(record, command, g_sPrefix.c_str(), &used);
        g_iPendingSize = used != nullptr ? kovetest::GetLe32(used + 16) : -1;
        g_iPendingOffset = used != nullptr ? kovetest::GetLe32(used + 8) : -1;
        return static_cast<uint32_t>(status);
    }
    case kCmdRead:
        return static_cast<uint32_t>(DevMsgFileReadRequest(record, g_sPrefix.c_str()));
    case kCmdForward:
        return DevMsgSrvForwardMessage(record, g_usForwardPort.load());
    case kCmdTunnel:
        return OpenTunnel(record);
    default:
        return DEVMSG_NOT_HANDLED;
    }
}

Bytes Header(uint32_t flags, int32_t offset, uint32_t size, const std::string& name,
             uint32_t chunk = 0)
{
    Bytes h;
    PutLe32(h, flags);
    PutLe32(h, chunk);
    PutLe32(h, static_cast<uint32_t>(offset));
    PutLe32(h, 0);
    PutLe32(h, size);
    PutLe32(h, 0);
    Bytes name512(DEVMSG_FILE_NAME_SIZE, 0);
    memcpy(name512.data(), name.data(), std::min<size_t>(name.size(), DEVMSG_FILE_NAME_SIZE));
    h.insert(h.end(), name512.begin(), name512.end());
    return h;
}

Bytes Pattern(size_t size, uint8_t seed)
{
    Bytes b(size);
    for (size_t i = 0; i < size; ++i)
        b[i] = static_cast<uint8_t>(i * 7 + seed + i / 251);
    return b;
}

Bytes FileBytes(const std::string& path)
{
    const std::string text = kovetest::ReadFile(path);
    return Bytes(text.begin(), text.end());
}

struct ReadResult
{
    uint16_t status = 0xFFFF;
    uint32_t flags = 0, granted = 0, fileStatus = 0, offset = 0, count = 0;
    Bytes data;
};

TEST(DevMsgCheckPath, NamesThatStayBelowTheirRoot)
{
    const struct
    {
        const char* name;
        int status;
    } cases[] = {
        {"a/../b", 0},
        {"a/b/c.txt", 0},
        {"log/Slot62000_log.txt", 0},
        {"a//b", 0},
        {"a/b/../../c", 0},
        {"../x", KESTREL_PATH_OUTSIDE},
        {"..", KESTREL_PATH_OUTSIDE},
        {"a/../../x", KESTREL_PATH_OUTSIDE},
        {"a/../../b/c/d/e", KESTREL_PATH_OUTSIDE}, // climbs out, then deep enough again
        {"a//../../x", KESTREL_PATH_OUTSIDE},
        {"./x", KESTREL_PATH_REFUSED},
        {"a/./x", KESTREL_PATH_REFUSED},
        {"a./x", KESTREL_PATH_REFUSED},
        {"/etc", KESTREL_PATH_REFUSED},
        {"", KESTREL_PATH_REFUSED},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DevMsgCheckPath(c.name, 512), c.status) << c.name;
    // Only the first count characters count.
    EXPECT_EQ(DevMsgCheckPath("ab/../..", 5), 0);
    EXPECT_EQ(DevMsgCheckPath("ab/../..", 8), KESTREL_PATH_OUTSIDE);
}

// A local service the handler forwards to: answers each connection with a scripted reply
// payload (or none), and notes whether the forwarding side let the connection go.
class CPeer
{
public:
    CPeer() : m_fd(kovetest::LoopbackSocket(SOCK_STREAM, &m_iPort)) {}
    ~CPeer()
    {
        if (m_tThread.joinable())
            m_tThread.join();
        close(m_fd);
    }
    uint16_t Port() const { return static_cast<uint16_t>(m_iPort); }

    // Serves one connection: greeting, then up to count requests, each with its reply (when
    // not empty). Then it waits for the forwarding side to close, or with hangUp closes first.
    void ServeOnce(const std::function<Bytes(const Bytes&)>& reply, int count = 1,
                   bool hangUp = false)
    {
        m_bClosedByForwarder = false;
        m_aRequests.clear();
        m_tThread = std::thread(
            [this, reply, count, hangUp]
            {
                const int c = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0)
                    return;
                auto sendFrame = [c](const Bytes& payload)
                {
                    Bytes frame{'S', 'i', 0, 0};
                    PutLe32(frame, static_cast<uint32_t>(payload.size()));
                    frame.insert(frame.end(), payload.begin(), payload.end());
                    return send(c, frame.data(), frame.size(), MSG_NOSIGNAL) ==
                           static_cast<ssize_t>(frame.size());
                };
                sendFrame({});
                uint8_t head[8];
                for (int i = 0; i < count && recv(c, head, 8, MSG_WAITALL) == 8; ++i)
                {
                    Bytes request(GetLe32(head + 4));
                    if (!request.empty() && recv(c, request.data(), request.size(), MSG_WAITALL) !=
                                                static_cast<ssize_t>(request.size()))
                        break;
                    m_aRequests.push_back(request);
                    const Bytes answer = reply(request);
                    if (!answer.empty())
                        sendFrame(answer);
                }
                if (hangUp)
                {
                    close(c);
                    return;
                }
                // The forwarding side must let the connection go on its own.
                pollfd p{c, POLLIN, 0};
                uint8_t byte;
                const bool ready = poll(&p, 1, 10000) == 1;
                const ssize_t n = ready ? recv(c, &byte, 1, MSG_DONTWAIT) : 1;
                m_bClosedByForwarder = n == 0 || (n < 0 && errno == ECONNRESET); // closed or reset
                close(c);
            });
    }
    void Wait()
    {
        if (m_tThread.joinable())
            m_tThread.join();
    }
    bool ClosedByForwarder() const { return m_bClosedByForwarder; }
    const std::vector<Bytes>& Requests() const { return m_aRequests; }

private:
    int m_iPort = 0; // before the socket: the constructor fills it
    int m_fd = -1;
    std::thread m_tThread;
    std::atomic<bool> m_bClosedByForwarder{false};
    std::vector<Bytes> m_aRequests;
};

class DevMsgFile : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(nyDebugInit(0, 8160, nullptr), 0);
        g_sPrefix = m_tRoot.Path() + "/root";
        std::filesystem::create_directories(g_sPrefix + "/sub");
        DevMsgServiceDescriptor descriptor;
        memset(&descriptor, 0, sizeof descriptor);
        descriptor.usThreads = 2;
        descriptor.uFlags = DEVMSG_FLAG_HANDLERS;
        descriptor.pfnHandler = FileHandler;
        ASSERT_EQ(DevMsgServiceStart(&descriptor), 0);
        m_usPort = descriptor.usPort;
        ASSERT_TRUE(m_tClient.Connect(m_usPort));
    }
    void TearDown() override
    {
        m_tClient.Close();
        DevMsgServiceStop();
    }

    uint16_t Write(const Bytes& header, const Bytes& data)
    {
        Bytes request = header;
        request.insert(request.end(), data.begin(), data.end());
        Reply reply;
        EXPECT_TRUE(m_tClient.Ask(kCmdWrite, reply, request));
        EXPECT_TRUE(reply.data.empty());
        return reply.status;
    }

    ReadResult Read(uint32_t flags, int32_t offset, uint32_t size, const std::string& name)
    {
        Reply reply;
        ReadResult r;
        EXPECT_TRUE(m_tClient.Ask(kCmdRead, reply, Header(flags, offset, size, name)));
        r.status = reply.status;
        if (reply.data.size() >= DEVMSG_FILE_READ_HEAD)
        {
            r.flags = GetLe32(&reply.data[0]);
            r.granted = GetLe32(&reply.data[4]);
            r.fileStatus = GetLe32(&reply.data[8]);
            r.offset = GetLe32(&reply.data[12]);
            r.count = GetLe32(&reply.data[16]);
            r.data.assign(reply.data.begin() + DEVMSG_FILE_READ_HEAD, reply.data.end());
        }
        return r;
    }

    kovetest::CTempDir m_tRoot;
    uint16_t m_usPort = 0;
    CDevMsgClient m_tClient;
};

TEST_F(DevMsgFile, WrittenInOneMessageAndReadBack)
{
    const Bytes data = Pattern(3000, 1);
    ASSERT_EQ(Write(Header(DEVMSG_FILE_TRUNCATE, 0, 3000, "sub/a.bin", 1000), data), 0);
    EXPECT_EQ(FileBytes(g_sPrefix + "/sub/a.bin"), data);

    ReadResult r = Read(0, 1000, 500, "sub/a.bin");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.fileStatus, 0u);
    EXPECT_EQ(r.offset, 1000u);
    EXPECT_EQ(r.count, 500u);
    EXPECT_EQ(r.flags & DEVMSG_FILE_EOF, 0u);
    EXPECT_EQ(r.data, Bytes(data.begin() + 1000, data.begin() + 1500));

    // Past the end: what there is, with the end-of-file mark.
    r = Read(0, 2800, 1000, "sub/a.bin");
    EXPECT_EQ(r.count, 200u);
    EXPECT_NE(r.flags & DEVMSG_FILE_EOF, 0u);
    EXPECT_EQ(r.data, Bytes(data.begin() + 2800, data.end()));

    // The tail, counted from the end.
    r = Read(DEVMSG_FILE_APPEND, -100, 100, "sub/a.bin");
    EXPECT_EQ(r.data, Bytes(data.end() - 100, data.end()));
    EXPECT_NE(r.flags & DEVMSG_FILE_APPEND, 0u);

    // Append, and a file that must be new.
    ASSERT_EQ(Write(Header(DEVMSG_FILE_APPEND, 0, 4, "sub/a.bin"), {1, 2, 3, 4}), 0);
    EXPECT_EQ(FileBytes(g_sPrefix + "/sub/a.bin").size(), 3004u);
    EXPECT_EQ(Write(Header(DEVMSG_FILE_NEW, 0, 4, "sub/a.bin"), {1, 2, 3, 4}), KESTREL_FILE_EXISTS);

    // A file that is not there: the head alone, with the open status.
    r = Read(0, 0, 10, "sub/missing");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.fileStatus, static_cast<uint32_t>(KESTREL_CANNOT_OPEN));
    EXPECT_EQ(r.count, 0u);
    EXPECT_EQ(Read(0, -1, 10, "sub/a.bin").status, KESTREL_FAILED);
}

TEST_F(DevMsgFile, NamesOutsideTheRootAreRefused)
{
    std::filesystem::create_directories(m_tRoot.Path() + "/other");
    const struct
    {
        std::string name;
        uint16_t status;
    } cases[] = {
        {"../outside.bin", KESTREL_PATH_OUTSIDE},
        {"sub/../../outside.bin", KESTREL_PATH_OUTSIDE},
        {"sub/../../other/../root/x.bin", KESTREL_PATH_OUTSIDE},
        {"/tmp/outside.bin", KESTREL_PATH_REFUSED},
        {"./x.bin", KESTREL_PATH_REFUSED},
        {std::string(DEVMSG_FILE_NAME_SIZE, 'n'), KESTREL_PATH_REFUSED}, // no terminator
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(Write(Header(0, 0, 3, c.name), {1, 2, 3}), c.status) << c.name;
        // A read answers a refused name in its head, or as its status when no header came.
        const ReadResult r = Read(0, 0, 3, c.name);
        EXPECT_EQ(r.status != 0 ? r.status : r.fileStatus, c.status) << c.name;
    }
    EXPECT_FALSE(std::filesystem::exists(m_tRoot.Path() + "/outside.bin"));
    EXPECT_FALSE(std::filesystem::exists(m_tRoot.Path() + "/x.bin"));

    // A request shorter than its header.
    Reply reply;
    ASSERT_TRUE(m_tClient.Ask(kCmdWrite, reply, Bytes(100, 0)));
    EXPECT_EQ(reply.status, KESTREL_BAD_REQUEST);
}

TEST_F(DevMsgFile, LargerMessageIsTakenWholeBeforeWriting)
{
    // The header announces more than this frame carries: the rest comes in a second frame of
    // the same message, into the grown block.
    const Bytes data = Pattern(20000, 2);
    Bytes first = {static_cast<uint8_t>(kCmdWrite), static_cast<uint8_t>(kCmdWrite >> 8), 0, 0};
    const Bytes header = Header(DEVMSG_FILE_TRUNCATE, 0, 20000, "whole.bin");
    first.insert(first.end(), header.begin(), header.end());
    first.insert(first.end(), data.begin(), data.begin() + 1000);
    ASSERT_TRUE(m_tClient.SendFrame(first, true));
    ASSERT_TRUE(m_tClient.SendFrame(Bytes(data.begin() + 1000, data.end())));
    Reply reply;
    ASSERT_TRUE(m_tClient.ReadReply(reply));
    EXPECT_EQ(reply.status, 0);
    EXPECT_EQ(FileBytes(g_sPrefix + "/whole.bin"), data);

    // Announcing more without sending it is a bad request.
    EXPECT_EQ(Write(Header(0, 0, 100, "short.bin"), Bytes(10, 1)), KESTREL_BAD_REQUEST);
    EXPECT_FALSE(std::filesystem::exists(g_sPrefix + "/short.bin"));
}

TEST_F(DevMsgFile, FragmentsOfALargeFileLandAtTheirOffset)
{
    // More than one block can take: written fragment by fragment, from offset 100.
    const uint32_t size = DEVMSG_FILE_MAX_PART + 300000;
    const Bytes data = Pattern(size, 3);
    Bytes first = {static_cast<uint8_t>(kCmdWrite), static_cast<uint8_t>(kCmdWrite >> 8), 0, 0};
    const Bytes header = Header(DEVMSG_FILE_TRUNCATE, 100, size, "big.bin", 65536);
    first.insert(first.end(), header.begin(), header.end());
    const size_t firstData = 5000;
    first.insert(first.end(), data.begin(), data.begin() + firstData);
    ASSERT_TRUE(m_tClient.SendFrame(first, true));
    size_t at = firstData;
    while (at < size)
    {
        const size_t piece = std::min<size_t>(200000, size - at);
        ASSERT_TRUE(m_tClient.SendFrame(Bytes(data.begin() + at, data.begin() + at + piece),
                                        at + piece < size));
        at += piece;
    }
    Reply reply;
    ASSERT_TRUE(m_tClient.ReadReply(reply));
    EXPECT_EQ(reply.status, 0);
    Bytes expect(100, 0);
    expect.insert(expect.end(), data.begin(), data.end());
    const Bytes written = FileBytes(g_sPrefix + "/big.bin");
    ASSERT_EQ(written.size(), expect.size());
    EXPECT_TRUE(written == expect);

    // The header in force counted down to nothing, behind the last byte written.
    EXPECT_EQ(g_iPendingSize.load(), 0);
    EXPECT_EQ(g_iPendingOffset.load(), 100 + static_cast<int64_t>(size));

    // The connection goes on with the next message; a read larger than the block grows the
    // reply over the request that named it.
    EXPECT_EQ(Read(0, 100, 4, "big.bin").data, Bytes(data.begin(), data.begin() + 4));
    const ReadResult r = Read(0, 100, 300000, "big.bin");
    EXPECT_EQ(r.count, 300000u);
    EXPECT_TRUE(r.data == Bytes(data.begin(), data.begin() + 300000));
}

TEST(DevMsgFileCalls, TakeTheHeaderAsItStandsInARequest)
{
    kovetest::CTempDir root;
    const std::string prefix = root.Path();
    const Bytes text = {'a', 'b', 'c'};
    EXPECT_EQ(DevMsgWriteFile(Header(DEVMSG_FILE_TRUNCATE, 2, 3, "f.bin").data(), text.data(), 3,
                              prefix.c_str()),
              0);
    EXPECT_EQ(FileBytes(prefix + "/f.bin"), (Bytes{0, 0, 'a', 'b', 'c'}));
    int fd = -1;
    ASSERT_EQ(DevMsgOpenFile(Header(0, 0, 0, "f.bin").data(), prefix.c_str(), 1, &fd), 0);
    EXPECT_EQ(lseek(fd, 0, SEEK_END), 5);
    close(fd);

    // The same directory named with 512 characters that do not end in "/", and with 513.
    constexpr size_t kLongestPrefix = 512;
    std::string longest = prefix;
    if ((kLongestPrefix - longest.size()) % 2 != 0)
        longest += '/';
    while (longest.size() < kLongestPrefix)
        longest += "/.";
    const std::string tooLong = longest + '/';

    const struct
    {
        const char* what;
        Bytes header;
        std::string prefix;
        int status;
    } cases[] = {
        {"name without its end", Header(0, 0, 3, std::string(DEVMSG_FILE_NAME_SIZE, 'n')), prefix,
         KESTREL_PATH_REFUSED},
        {"name above the prefix", Header(0, 0, 3, "../f.bin"), prefix, KESTREL_PATH_OUTSIDE},
        {"file that must be new", Header(DEVMSG_FILE_NEW, 0, 3, "f.bin"), prefix,
         KESTREL_FILE_EXISTS},
        {"negative offset", Header(0, -1, 3, "f.bin"), prefix, KESTREL_FAILED},
        {"prefix of 512 characters", Header(0, 0, 3, "g.bin"), longest, 0},
        {"prefix of 513 characters", Header(0, 0, 3, "h.bin"), tooLong, KESTREL_NO_SOCKET},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DevMsgWriteFile(c.header.data(), text.data(), 3, c.prefix.c_str()), c.status)
            << c.what;
    // A "/" joins prefix and name: the file lands in the prefix's directory, not beside it.
    EXPECT_EQ(FileBytes(prefix + "/g.bin"), text);
    EXPECT_FALSE(std::filesystem::exists(prefix + "/h.bin"));
    EXPECT_EQ(DevMsgOpenFile(Header(0, 0, 0, "g.bin").data(), tooLong.c_str(), 1, nullptr),
              KESTREL_NO_SOCKET);
    EXPECT_EQ(DevMsgOpenFile(Header(0, 0, 0, std::string(DEVMSG_FILE_NAME_SIZE, 'n')).data(),
                             prefix.c_str(), 1, nullptr),
              KESTREL_PATH_REFUSED);
    EXPECT_EQ(DevMsgOpenFile(nullptr, prefix.c_str(), 1, nullptr), KESTREL_INVALID_ARGUMENT);
    EXPECT_EQ(DevMsgWriteFile(nullptr, text.data(), 3, prefix.c_str()), KESTREL_INVALID_ARGUMENT);
    EXPECT_EQ(FileBytes(prefix + "/f.bin").size(), 5u);
}

TEST_F(DevMsgFile, ForwardedMessageGetsTheLocalServicesReply)
{
    CPeer peer;
    g_usForwardPort = peer.Port();
    peer.ServeOnce(
        [](const Bytes& request)
        {
            Bytes reply(request.begin(), request.begin() + 2);
            reply.push_back(7);
            reply.push_back(0);
            reply.insert(reply.end(), {'p', 'o', 'n', 'g'});
            return reply;
        });
    Reply reply;
    ASSERT_TRUE(m_tClient.Ask(kCmdForward, reply, {'p', 'i', 'n', 'g'}));
    EXPECT_EQ(reply.command, kCmdForward);
    EXPECT_EQ(reply.status, 7);
    EXPECT_EQ(reply.data, (Bytes{'p', 'o', 'n', 'g'}));
    peer.Wait();
    const std::vector<Bytes> expected = {Bytes{0x4E, 0x04, 0, 0, 'p', 'i', 'n', 'g'}};
    EXPECT_EQ(peer.Requests(), expected);
    EXPECT_TRUE(peer.ClosedByForwarder());

    // A reply shorter than its head is refused, and the connection to the peer let go.
    peer.ServeOnce([](const Bytes&) { return Bytes{1, 2}; });
    ASSERT_TRUE(m_tClient.Ask(kCmdForward, reply, {'x'}));
    EXPECT_EQ(reply.status, KESTREL_BAD_REQUEST);
    EXPECT_TRUE(reply.data.empty());
    peer.Wait();
    EXPECT_TRUE(peer.ClosedByForwarder());

    // A message too long to forward never reaches the peer.
    ASSERT_TRUE(m_tClient.Ask(kCmdForward, reply, Bytes(DEVMSG_FORWARD_MAX, 1)));
    EXPECT_EQ(reply.status, KESTREL_NO_SOCKET);

    // The service goes on.
    ASSERT_TRUE(m_tClient.Ask(DEVMSG_CMD_TRACE_SIZE, reply));
    EXPECT_EQ(reply.status, 0);
}

TEST_F(DevMsgFile, TunnelledConnectionRelaysEveryMessageToTheLocalService)
{
    CPeer peer;
    g_usForwardPort = peer.Port();
    // The peer answers each message with its command, status 5 and the data back.
    peer.ServeOnce(
        [](const Bytes& request)
        {
            Bytes reply(request.begin(), request.begin() + 2);
            reply.push_back(5);
            reply.push_back(0);
            reply.insert(reply.end(), request.begin() + 4, request.end());
            return reply;
        },
        3);
    Reply reply;
    ASSERT_TRUE(m_tClient.Ask(kCmdTunnel, reply, {'o', 'n', 'e'}));
    EXPECT_EQ(reply.command, kCmdTunnel);
    EXPECT_EQ(reply.status, 5);
    EXPECT_EQ(reply.data, (Bytes{'o', 'n', 'e'}));
    // From now on even the built-in commands are the peer's.
    ASSERT_TRUE(m_tClient.Ask(DEVMSG_CMD_TRACE_SIZE, reply, {'t', 'w', 'o'}));
    EXPECT_EQ(reply.command, DEVMSG_CMD_TRACE_SIZE);
    EXPECT_EQ(reply.status, 5);
    EXPECT_EQ(reply.data, (Bytes{'t', 'w', 'o'}));
    // Each message reached the peer marked as tunnelled; the client goes, and the tunnel lets
    // the peer go.
    m_tClient.Close();
    peer.Wait();
    EXPECT_TRUE(peer.ClosedByForwarder());
    const std::vector<Bytes> expected = {
        Bytes{0x4F, 0x04, 0xFF, 0xFF, 'o', 'n', 'e'},
        Bytes{DEVMSG_CMD_TRACE_SIZE, 0, 0xFF, 0xFF, 't', 'w', 'o'}};
    EXPECT_EQ(peer.Requests(), expected);
}
TEST_F(DevMsgFile, TunnelThatLosesTheLocalServiceEndsItsConnection)
{
    CPeer peer;
    g_usForwardPort = peer.Port();
    peer.ServeOnce([](const Bytes& request) { return Bytes(request.begin(), request.end()); }, 1,
                   true);
    Reply reply;
    ASSERT_TRUE(m_tClient.Ask(kCmdTunnel, reply, {'o', 'n', 'e'}));
    EXPECT_EQ(reply.data, (Bytes{'o', 'n', 'e'}));
    peer.Wait();
    // The next message finds the local service gone: the client is let go rather than left
    // waiting for a reply that cannot come, and the port serves the next client.
    ASSERT_TRUE(m_tClient.SendRequest(DEVMSG_CMD_TRACE_SIZE));
    EXPECT_TRUE(m_tClient.ClosedByPeer());
    CDevMsgClient next;
    ASSERT_TRUE(next.Connect(m_usPort));
    ASSERT_TRUE(next.Ask(DEVMSG_CMD_TRACE_SIZE, reply));
    EXPECT_EQ(reply.status, 0);
}
} // namespace
