// Tests of the device-message service in this process, on ports the kernel picks: the
// built-in commands and request errors, the handler protocol (streamed replies, requests
// larger than the frame buffer taken in parts or as a whole, parts nobody takes), bad
// frames from a peer, starting and stopping services, and the reply-room fallback.
//
// The client speaks the framed protocol with plain sockets, so the tests do not lean on
// the socket layer they run on.

#include "DevMsg.h"
#include "DevMsgClient.h"
#include "DeviceIdentity.h"
#include "StdoutCapture.h"
#include "nyDebug.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace
{
using Bytes = kovetest::DevMsgBytes;
using Clock = std::chrono::steady_clock;
using Frame = kovetest::DevMsgFrame;
using Reply = kovetest::DevMsgReply;
using CClient = kovetest::CDevMsgClient;
using kovetest::GetLe32;
using kovetest::PutLe16;
using kovetest::PutLe32;

constexpr auto kEvent = std::chrono::seconds(5); // deadline for what should happen soon

Bytes Pattern(size_t size)
{
    Bytes b(size);
    for (size_t i = 0; i < size; ++i)
        b[i] = static_cast<uint8_t>(i * 31 + 7);
    return b;
}

uint32_t Sum(const Bytes& b)
{
    uint32_t sum = 0;
    for (uint8_t v : b)
        sum += v;
    return sum;
}

// Commands of the test handler.
enum : uint16_t
{
    kCmdReverse = 300,    // reply: the request data reversed
    kCmdStream = 0x2000,  // reply in three parts "part0".."part2"
    kCmdWhole = 0x2001,   // data: u32 total, then bytes; whole request in the block (rest)
    kCmdInParts = 0x2002, // data counted part by part (next part)
    kCmdBadRest = 0x2003, // asks for the rest of a request that has none
    kCmdBlock = 0x2004,   // blocks until released
    kCmdWindows = 0x2005, // "abcdefghij" built once, sent in windows of 3 bytes
    kCmdPassOn = DEVMSG_CMD_TRACE_SIZE,
};

struct HandlerState
{
    std::mutex mutex;
    std::condition_variable changed;
    bool blocked = false;
    bool release = false;
    int order = 0;
    int handlerEnded = 0; // order numbers of events, for the stop test
    int destructorRan = 0;
    uint32_t counted = 0; // bytes of kCmdInParts so far
    int streamPart = 0;
};

HandlerState g_state;

void Reply32Pair(tagDEVMSG_HANDLE_STRUCT* record, uint32_t first, uint32_t second)
{
    uint8_t* reply = DevMsgReserveReply(record, 8, 0);
    ASSERT_NE(reply, nullptr);
    for (int i = 0; i < 4; ++i)
    {
        reply[i] = static_cast<uint8_t>(first >> (8 * i));
        reply[4 + i] = static_cast<uint8_t>(second >> (8 * i));
    }
}

uint32_t TestHandler(uint16_t command, tagDEVMSG_HANDLE_STRUCT* record)
{
    uint32_t length = 0;
    uint8_t* request = DevMsgGetRequest(record, &length);
    switch (command)
    {
    case kCmdReverse:
    {
        const Bytes copy(request, request + length);
        uint8_t* reply = DevMsgReserveReply(record, length, 0);
        for (uint32_t i = 0; i < length; ++i)
            reply[i] = copy[length - 1 - i];
        return 0;
    }
    case kCmdStream:
    {
        // The part number lives in the record's reply-part counter.
        const std::string text = "part" + std::to_string(record->uReplyPart);
        memcpy(DevMsgReserveReply(record, static_cast<uint32_t>(text.size()), 0), text.data(),
               text.size());
        record->uToDo = record->uReplyPart < 2 ? DEVMSG_TODO_STREAM : DEVMSG_TODO_REPLY;
        return 0;
    }
    case kCmdWindows:
    {
        // The reply is written once; each call sends the next window of it (odd offsets).
        const uint32_t window = 3;
        const uint32_t sent = record->uReplyPart * window;
        if (record->uReplyPart == 0)
        {
            memcpy(DevMsgReserveReply(record, 10, 0), "abcdefghij", 10);
            DevMsgTrimReply(record, window);
        }
        else
        {
            DevMsgReserveReplyAt(record, 10 - sent < window ? 10 - sent : window, window);
        }
        record->uToDo = sent + window < 10 ? DEVMSG_TODO_STREAM : DEVMSG_TODO_REPLY;
        return 0;
    }
    case kCmdWhole:
    {
        if (length < 4)
            return KESTREL_BAD_REQUEST;
        const uint32_t total = GetLe32(request);
        if (length - 4 < total)
        {
            if (DevMsgGrowRequestBuffer(record, total + 4) != 0)
                return KESTREL_NO_MEMORY;
            record->uToDo = DEVMSG_TODO_REST;
            return 0;
        }
        const Bytes data(request + 4, request + 4 + total);
        Reply32Pair(record, total, Sum(data));
        return 0;
    }
    case kCmdInParts:
    {
        if (record->uRequestOffset == DEVMSG_HEADER_RESERVE)
            g_state.counted = 0; // the first part
        g_state.counted += length;
        if (record->iLastReceiveStatus == KESTREL_MORE_FRAGMENTS)
        {
            record->uToDo = DEVMSG_TODO_NEXT_PART;
            return 0;
        }
        Reply32Pair(record, g_state.counted, 0);
        return 0;
    }
    case kCmdBadRest:
        record->uToDo = DEVMSG_TODO_REST;
        return 0;
    case kCmdBlock:
    {
        std::unique_lock<std::mutex> lock(g_state.mutex);
        g_state.blocked = true;
        g_state.changed.notify_all();
        g_state.changed.wait_for(lock, kEvent, [] { return g_state.release; });
        g_state.handlerEnded = ++g_state.order;
        return 0;
    }
    default:
        return DEVMSG_NOT_HANDLED;
    }
}

void TestRelease(tagDEVMSG_HANDLE_STRUCT*)
{
    std::lock_guard<std::mutex> lock(g_state.mutex);
    g_state.destructorRan = ++g_state.order;
    g_state.changed.notify_all();
}

class DevMsgService : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(nyDebugInit(0, 8160, nullptr), 0);
        std::lock_guard<std::mutex> lock(g_state.mutex);
        g_state.blocked = g_state.release = false;
        g_state.order = g_state.handlerEnded = g_state.destructorRan = 0;
    }
    void TearDown() override { DevMsgServiceStop(); }

    // Starts service entry 0 on a port the kernel picks.
    void Start(uint16_t threads, bool withHandler)
    {
        memset(&m_descriptor, 0, sizeof m_descriptor);
        m_descriptor.usThreads = threads;
        if (withHandler)
        {
            m_descriptor.uFlags = DEVMSG_FLAG_HANDLERS;
            m_descriptor.pfnHandler = TestHandler;
            m_descriptor.pfnRelease = TestRelease;
        }
        ASSERT_EQ(DevMsgServiceStart(&m_descriptor), 0);
        ASSERT_NE(m_descriptor.usPort, 0);
    }

    DevMsgServiceDescriptor m_descriptor;
};

TEST_F(DevMsgService, BuiltinCommandsAndBadRequestsKeepTheConnection)
{
    Start(0, false);
    EXPECT_EQ(m_descriptor.usThreads, DEVMSG_DEFAULT_THREADS);
    CClient client;
    ASSERT_TRUE(client.Connect(m_descriptor.usPort));

    const struct
    {
        const char* what;
        Bytes payload;
        uint16_t command;
        uint16_t status;
        size_t dataSize;
    } cases[] = {
        {"trace size", {3, 0, 0, 0}, 3, 0, 2},
        {"device information", {4, 0, 0, 0}, 4, 0, DEVMSG_DEVICE_INFO_SIZE},
        {"unknown built-in command", {5, 0, 9, 9, 1, 2}, 5, KESTREL_INVALID_ARGUMENT, 0},
        {"command above the built-in ones", {0x01, 0x04, 0, 0}, 1025, KESTREL_INVALID_ARGUMENT, 0},
        {"two bytes", {3, 0}, 3, KESTREL_BAD_REQUEST, 0},
        {"one byte", {0x42}, 0x42, KESTREL_BAD_REQUEST, 0},
        {"three bytes", {0x10, 0x27, 0}, 10000, KESTREL_BAD_REQUEST, 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(client.SendFrame(c.payload));
        Reply reply;
        ASSERT_TRUE(client.ReadReply(reply));
        EXPECT_EQ(reply.command, c.command);
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.data.size(), c.dataSize);
    }

    ASSERT_TRUE(client.SendRequest(3));
    Reply reply;
    ASSERT_TRUE(client.ReadReply(reply));
    ASSERT_EQ(reply.data.size(), 2u);
    EXPECT_EQ(reply.data[0] | (reply.data[1] << 8), 8160);
}

TEST_F(DevMsgService, HandlerRepliesStreamsAndPassesOn)
{
    Start(1, true);
    CClient client;
    ASSERT_TRUE(client.Connect(m_descriptor.usPort));

    ASSERT_TRUE(client.SendRequest(kCmdReverse, {1, 2, 3, 4, 5}));
    Reply reply;
    ASSERT_TRUE(client.ReadReply(reply));
    EXPECT_EQ(reply.command, kCmdReverse);
    EXPECT_EQ(reply.data, (Bytes{5, 4, 3, 2, 1}));

    // Three parts: the first with the command head, the later ones with data only.
    ASSERT_TRUE(client.SendRequest(kCmdStream));
    bool more = false;
    ASSERT_TRUE(client.ReadReply(reply, &more));
    EXPECT_TRUE(more);
    EXPECT_EQ(std::string(reply.data.begin(), reply.data.end()), "part0");
    for (const char* text : {"part1", "part2"})
    {
        Frame part;
        ASSERT_TRUE(client.ReadFrame(part));
        EXPECT_EQ(std::string(part.payload.begin(), part.payload.end()), text);
        EXPECT_EQ(part.more, std::string(text) != "part2");
    }

    // One reply sent window by window out of the block.
    ASSERT_TRUE(client.SendRequest(kCmdWindows));
    ASSERT_TRUE(client.ReadReply(reply, &more));
    std::string windows(reply.data.begin(), reply.data.end());
    while (more)
    {
        Frame part;
        ASSERT_TRUE(client.ReadFrame(part));
        windows.append(part.payload.begin(), part.payload.end());
        more = part.more;
    }
    EXPECT_EQ(windows, "abcdefghij");

    // A command the handler leaves to the service.
    ASSERT_TRUE(client.SendRequest(kCmdPassOn));
    ASSERT_TRUE(client.ReadReply(reply));
    EXPECT_EQ(reply.status, 0);
    EXPECT_EQ(reply.data.size(), 2u);
}

TEST_F(DevMsgService, RequestsLargerThanTheBufferArriveWholeOrInParts)
{
    Start(1, true);
    CClient client;
    ASSERT_TRUE(client.Connect(m_descriptor.usPort));

    // One frame of 60000 bytes of data: the handler grows the block and takes the rest.
    const Bytes data = Pattern(60000);
    Bytes whole;
    PutLe32(whole, static_cast<uint32_t>(data.size()));
    whole.insert(whole.end(), data.begin(), data.end());
    ASSERT_TRUE(client.SendRequest(kCmdWhole, whole));
    Reply reply;
    ASSERT_TRUE(client.ReadReply(reply));
    EXPECT_EQ(reply.status, 0);
    ASSERT_EQ(reply.data.size(), 8u);
    EXPECT_EQ(GetLe32(reply.data.data()), data.size());
    EXPECT_EQ(GetLe32(reply.data.data() + 4), Sum(data));

    // Three fragments of one message, 30000 bytes: taken part by part into the emptied block.
    ASSERT_TRUE(client.SendRequest(kCmdInParts, Pattern(10000), true));
    ASSERT_TRUE(client.SendFrame(Pattern(10000), true));
    ASSERT_TRUE(client.SendFrame(Pattern(10000), false));
    ASSERT_TRUE(client.ReadReply(reply));
    EXPECT_EQ(reply.status, 0);
    ASSERT_EQ(reply.data.size(), 8u);
    EXPECT_EQ(GetLe32(reply.data.data()), 30000u);

    // Several small messages later the block is back to its first size and still serves.
    for (int i = 0; i < 6; ++i)
    {
        ASSERT_TRUE(client.SendRequest(kCmdReverse, {static_cast<uint8_t>(i), 9}));
        ASSERT_TRUE(client.ReadReply(reply));
        EXPECT_EQ(reply.data, (Bytes{9, static_cast<uint8_t>(i)}));
    }
}

TEST_F(DevMsgService, PartsThatNobodyTakesAreDrained)
{
    Start(1, true);
    CClient client;
    ASSERT_TRUE(client.Connect(m_descriptor.usPort));

    const struct
    {
        const char* what;
        uint16_t command;
        uint16_t status;
    } cases[] = {
        // An unknown command of 20000 bytes in two fragments (answered from the first
        // block, the rest dropped), and a handler that asks for the rest of a request that
        // has none.
        {"unknown command", 5, KESTREL_INVALID_ARGUMENT},
        {"rest that never comes", kCmdBadRest, KESTREL_BAD_REQUEST},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        const bool fragmented = c.command == 5;
        ASSERT_TRUE(client.SendRequest(c.command, Pattern(fragmented ? 12000 : 10), fragmented));
        if (fragmented)
        {
            ASSERT_TRUE(client.SendFrame(Pattern(8000)));
        }
        Reply reply;
        ASSERT_TRUE(client.ReadReply(reply));
        EXPECT_EQ(reply.command, c.command);
        EXPECT_EQ(reply.status, c.status);

        // The next message is served as usual.
        ASSERT_TRUE(client.SendRequest(kCmdReverse, {1, 2}));
        ASSERT_TRUE(client.ReadReply(reply));
        EXPECT_EQ(reply.command, kCmdReverse);
        EXPECT_EQ(reply.data, (Bytes{2, 1}));
    }
}

TEST_F(DevMsgService, BadFramesDropOnlyTheirConnection)
{
    Start(1, false);
    const struct
    {
        const char* what;
        Bytes head;
    } cases[] = {
        {"length beyond any buffer", {'S', 'i', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"no frame start", {'X', 'Y', 0, 0, 4, 0, 0, 0, 3, 0, 0, 0}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        CClient bad;
        ASSERT_TRUE(bad.Connect(m_descriptor.usPort));
        ASSERT_TRUE(bad.SendRaw(c.head));
        EXPECT_TRUE(bad.ClosedByPeer());
        bad.Close();

        CClient good;
        ASSERT_TRUE(good.Connect(m_descriptor.usPort));
        ASSERT_TRUE(good.SendRequest(3));
        Reply reply;
        ASSERT_TRUE(good.ReadReply(reply));
        EXPECT_EQ(reply.status, 0);
    }
}

TEST_F(DevMsgService, SecondStartOfARunningServiceIsRefused)
{
    Start(1, false);
    DevMsgServiceDescriptor again = m_descriptor;
    EXPECT_EQ(DevMsgServiceStart(&again), KESTREL_BUSY);
    EXPECT_EQ(DevMsgServiceStart(nullptr), KESTREL_INVALID_ARGUMENT);
    // The first one still serves.
    CClient client;
    ASSERT_TRUE(client.Connect(m_descriptor.usPort));
}

TEST_F(DevMsgService, MultiStartsEightServicesAndStopClosesThemAll)
{
    std::vector<DevMsgServiceDescriptor> descriptors(9);
    for (auto& d : descriptors)
    {
        memset(&d, 0, sizeof d);
        d.usThreads = 1;
    }
    EXPECT_EQ(DevMsgServiceStartMulti(descriptors.data(), 9), KESTREL_TOO_MANY_SERVICES);
    EXPECT_EQ(descriptors[8].usPort, 0) << "the ninth is not started";
    for (int i = 0; i < DEVMSG_MAX_SERVICES; ++i)
    {
        SCOPED_TRACE(i);
        ASSERT_NE(descriptors[i].usPort, 0);
        CClient client;
        ASSERT_TRUE(client.Connect(descriptors[i].usPort));
    }

    EXPECT_EQ(DevMsgServiceStop(), 0);
    EXPECT_EQ(DevMsgServiceStop(), KESTREL_NOT_INITIALISED);
    for (int i = 0; i < DEVMSG_MAX_SERVICES; ++i)
    {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(descriptors[i].usPort);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_NE(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << i;
        close(s);
    }
}

TEST_F(DevMsgService, StopWaitsForARunningHandlerAndTheConnectionsEnd)
{
    Start(2, true);
    CClient client;
    ASSERT_TRUE(client.Connect(m_descriptor.usPort));
    ASSERT_TRUE(client.SendRequest(kCmdBlock));
    {
        std::unique_lock<std::mutex> lock(g_state.mutex);
        ASSERT_TRUE(g_state.changed.wait_for(lock, kEvent, [] { return g_state.blocked; }));
    }

    auto stop = std::async(std::launch::async,
                           []
                           {
                               const int status = DevMsgServiceStop();
                               std::lock_guard<std::mutex> lock(g_state.mutex);
                               return std::make_pair(status, ++g_state.order);
                           });
    // The stop drops the client while the handler still runs, and goes on waiting for it
    // (a stop that did not wait would be back at once).
    EXPECT_TRUE(client.ClosedByPeer());
    EXPECT_EQ(stop.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    {
        std::lock_guard<std::mutex> lock(g_state.mutex);
        g_state.release = true;
        g_state.changed.notify_all();
    }
    ASSERT_EQ(stop.wait_for(kEvent), std::future_status::ready);
    const auto [status, stopReturned] = stop.get();
    EXPECT_EQ(status, 0);
    std::lock_guard<std::mutex> lock(g_state.mutex);
    EXPECT_GT(g_state.handlerEnded, 0);
    EXPECT_GT(g_state.destructorRan, g_state.handlerEnded);
    EXPECT_GT(stopReturned, g_state.destructorRan) << "the stop returned before its threads ended";
}

TEST_F(DevMsgService, ThreadsAndConnectionsAreShownOnStandardOutput)
{
    kovetest::CStdoutCapture out;
    memset(&m_descriptor, 0, sizeof m_descriptor);
    m_descriptor.usThreads = 2;
    m_descriptor.ucRights = 1;
    ASSERT_EQ(DevMsgServiceStart(&m_descriptor), 0);
    EXPECT_TRUE(out.WaitFor("ServiceThread NySocHandle ", 2)) << out.Text();
    {
        CClient client;
        ASSERT_TRUE(client.Connect(m_descriptor.usPort));
        ASSERT_TRUE(client.SendRequest(3));
        Reply reply;
        ASSERT_TRUE(client.ReadReply(reply));
        EXPECT_TRUE(out.WaitFor("B4_SendReciveLoop UserRights ffff\n")) << out.Text();
    }
    ASSERT_EQ(DevMsgServiceStop(), 0);
    EXPECT_TRUE(out.WaitFor("End of ServiceThread\n", 2)) << out.Text();

    // Each thread names its own handle of the socket layer, one line each.
    const std::string text = out.Text();
    const std::regex line("ServiceThread NySocHandle ([0-9]+)\n");
    std::set<int> handles;
    for (auto m = std::sregex_iterator(text.begin(), text.end(), line); m != std::sregex_iterator();
         ++m)
        handles.insert(std::stoi((*m)[1]));
    EXPECT_EQ(handles.size(), 2u) << text;
    EXPECT_EQ(handles.count(0), 0u) << text;
    EXPECT_EQ(out.Count("B4_SendReciveLoop UserRights "), 1) << text;
}

TEST(DevMsgRecord, ReplyRoomFallsBackToWhatCanBeHad)
{
    tagDEVMSG_HANDLE_STRUCT record;
    memset(&record, 0, sizeof record);
    ASSERT_EQ(DevMsgAllocFrameBuff(&record), 0);

    // No block can hold 4 GB: the fallback takes the maximum instead.
    uint8_t* reply = DevMsgReserveReplyFallback(&record, 0xFFFFFFF0u, 20, 1u << 20);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(record.uReplyLength, 1u << 20);
    EXPECT_GE(record.uCapacity, DEVMSG_HEADER_RESERVE + 20 + (1u << 20));
    reply[(1u << 20) - 1] = 1; // the whole room is there

    // Without a fallback the impossible size is refused and the block stays.
    const uint32_t capacity = record.uCapacity;
    EXPECT_EQ(DevMsgReserveReply(&record, 0xFFFFFFF0u, 0), nullptr);
    EXPECT_EQ(DevMsgGrowRequestBuffer(&record, 0xFFFFFFFFu), KESTREL_NO_MEMORY);
    EXPECT_EQ(record.uCapacity, capacity);
    DevMsgFreeFrameBuff(&record);
}

TEST(DevMsgRecord, RightsTextFitsItsBuffer)
{
    const struct
    {
        int size;
        const char* text;
    } cases[] = {{32, "StdRo"}, {6, "StdRo"}, {5, ""}, {1, ""}};
    for (const auto& c : cases)
    {
        char buffer[32];
        memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(DevMsgRightsText(buffer, c.size), static_cast<int>(strlen(c.text))) << c.size;
        EXPECT_STREQ(buffer, c.text) << c.size;
    }
}
} // namespace
