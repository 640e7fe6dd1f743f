// File access and forwarding of device-message command handlers, through a service of this
// process whose handler offers them below a temporary directory: the name check, files
// written in one message, in one grown message and in fragments (at their offset), reads
// with the end-of-file mark, refused names, and forwarding to a local peer whose connection
// is let go on every path.
#include "DevMsg.h"
#include "DevMsgClient.h"
#include "DevMsgFile.h"
#include "KoveTestSupport.h"
#include "nyDebug.h"

#include <gtest/gtest.h>

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
};

std::string g_sPrefix;
std::atomic<uint16_t> g_usForwardPort{0};

uint32_t FileHandler(uint16_t command, tagDEVMSG_HANDLE_STRUCT* record)
{
    switch (command)
    {
    case kCmdWrite:
        return static_cast<uint32_t>(
            DevMsgFileWriteCommand(record, command, g_sPrefix.c_str(), nullptr));
    case kCmdRead:
        return static_cast<uint32_t>(DevMsgFileReadRequest(record, g_sPrefix.c_str()));
    case kCmdForward:
        return DevMsgSrvForwardMessage(record, g_usForwardPort.load());
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

    // Serves one connection: greeting, one request, then reply (when not empty).
    void ServeOnce(const std::function<Bytes(const Bytes&)>& reply)
    {
        m_bClosedByForwarder = false;
        m_tThread = std::thread(
            [this, reply]
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
                if (recv(c, head, 8, MSG_WAITALL) == 8)
                {
                    Bytes request(GetLe32(head + 4));
                    if (request.empty() || recv(c, request.data(), request.size(), MSG_WAITALL) ==
                                               static_cast<ssize_t>(request.size()))
                    {
                        m_tRequest = request;
                        const Bytes answer = reply(request);
                        if (!answer.empty())
                            sendFrame(answer);
                    }
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
    const Bytes& Request() const { return m_tRequest; }

private:
    int m_iPort = 0; // before the socket: the constructor fills it
    int m_fd = -1;
    std::thread m_tThread;
    std::atomic<bool> m_bClosedByForwarder{false};
    Bytes m_tRequest;
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
        ASSERT_TRUE(m_tClient.Connect(descriptor.usPort));
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

    // The connection goes on with the next message.
    EXPECT_EQ(Read(0, 100, 4, "big.bin").data, Bytes(data.begin(), data.begin() + 4));
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
    EXPECT_EQ(peer.Request(), (Bytes{0x4E, 0x04, 0, 0, 'p', 'i', 'n', 'g'}));
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
} // namespace
