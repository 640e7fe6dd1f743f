// The request server seen from a client: qtxtestdriver on a simulated device, its port 62103
// on loopback, a fake hub on 62000. Framing, connections, the request-file ring, and requests
// that are refused or time out without keeping the driver from the next client.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <regex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "FakeHub.h"
#include "KoveTestSupport.h"

using namespace kovetest;
using Clock = std::chrono::steady_clock;

namespace
{
constexpr int kPort = 62103;
const std::string kXmlHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
const std::string kTrailer = "\r\n\r\n\r\n";

// A plain TCP client of the driver's port.
class CClient
{
public:
    // `receiveBuffer` > 0: the socket's receive buffer, so that little waits in it unread.
    explicit CClient(int receiveBuffer = 0)
    {
        m_iSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0)
            setsockopt(m_iSocket, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(kPort);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_bConnected = connect(m_iSocket, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        int on = 1;
        setsockopt(m_iSocket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        timeval t{5, 0};
        setsockopt(m_iSocket, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
    }
    ~CClient() { close(m_iSocket); }
    CClient(const CClient&) = delete;
    CClient& operator=(const CClient&) = delete;

    bool Connected() const { return m_bConnected; }
    int Socket() const { return m_iSocket; }

    // Sends everything; false when the driver closed the connection first.
    bool Send(const std::string& data)
    {
        size_t sent = 0;
        while (sent < data.size())
        {
            ssize_t n = send(m_iSocket, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    // The next reply document with the bytes that trail it; empty when the connection closes
    // or nothing complete arrives in time.
    std::string Reply(std::chrono::milliseconds timeout = std::chrono::seconds(20))
    {
        const auto deadline = Clock::now() + timeout;
        std::string root;
        size_t end = 0;
        while (!FindCompleteDocument(m_sPending, root, end))
        {
            if (!Receive(deadline))
                return "";
        }
        // The line ends that follow the document belong to the reply (the driver ends every
        // reply with three CR LF pairs).
        const auto lineEndsUpTo = [this](size_t from)
        {
            while (from < m_sPending.size() &&
                   (m_sPending[from] == '\r' || m_sPending[from] == '\n'))
                ++from;
            return from;
        };
        size_t after = lineEndsUpTo(end);
        while (after == m_sPending.size() &&
               !(after - end >= kTrailer.size() &&
                 m_sPending.compare(after - kTrailer.size(), kTrailer.size(), kTrailer) == 0) &&
               Receive(Clock::now() + std::chrono::milliseconds(500)))
            after = lineEndsUpTo(end);
        end = after;
        std::string reply = m_sPending.substr(0, end);
        m_sPending.erase(0, end);
        return reply;
    }

    // The next `count` bytes; fewer when the connection closes or nothing comes in time.
    std::string Bytes(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20))
    {
        const auto deadline = Clock::now() + timeout;
        while (m_sPending.size() < count && Receive(deadline))
        {
        }
        std::string bytes = m_sPending.substr(0, count);
        m_sPending.erase(0, bytes.size());
        return bytes;
    }

    // Takes at most `count` bytes of what has arrived; false once the connection is closed.
    bool Take(size_t count, size_t& taken)
    {
        taken = 0;
        if (m_sPending.empty())
            Receive(Clock::now() + std::chrono::milliseconds(20));
        taken = std::min(count, m_sPending.size());
        m_sPending.erase(0, taken);
        return !m_bClosed || !m_sPending.empty();
    }

    // True when the driver ends the connection within the timeout without sending anything.
    bool ClosedUnanswered(std::chrono::milliseconds timeout = std::chrono::seconds(20))
    {
        const auto deadline = Clock::now() + timeout;
        while (Receive(deadline))
        {
        }
        return m_bClosed && m_sPending.empty();
    }

private:
    // Reads what is there; false on close, error or deadline.
    bool Receive(Clock::time_point deadline)
    {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{m_iSocket, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char buffer[65536];
        ssize_t n = recv(m_iSocket, buffer, sizeof buffer, 0);
        if (n <= 0)
        {
            m_bClosed = n == 0 || errno == ECONNRESET;
            return false;
        }
        m_sPending.append(buffer, static_cast<size_t>(n));
        return true;
    }

    int m_iSocket = -1;
    bool m_bConnected = false;
    bool m_bClosed = false;
    std::string m_sPending;
};

std::string Ping(const std::string& attributes = "")
{
    return kXmlHead + "<Ping" + attributes + "/>";
}

class RequestServer : public testing::Test
{
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(tDevice.Path("/Applications/tmp/Driver/log"));
        ASSERT_TRUE(tHub.Start());
    }

    // Starts the driver on slot 3; a receive timeout in ms when given.
    void StartDriver(int timeoutMs = 0)
    {
        std::vector<std::string> args{"-Slot=3"};
        if (timeoutMs > 0)
            args.push_back("-Startup=timeout=" + std::to_string(timeoutMs));
        pDriver = std::make_unique<CTestProcess>(tDevice, "qtxtestdriver", args);
        ASSERT_TRUE(pDriver->WaitForPort(kPort)) << pDriver->Output();
    }

    std::string DriverDirectory() const
    {
        return tDevice.Path("/Applications/tmp/Driver/qtxtestdriver/");
    }
    std::string RingFile(int slot, bool reply = false) const
    {
        return DriverDirectory() + "Tmp_Slot62103_No" + std::to_string(slot) +
               (reply ? "_out.xml" : ".xml");
    }
    // Ring slot whose request file holds exactly this text; -1 when none does.
    int SlotHolding(const std::string& content) const
    {
        for (int slot = 0; slot < 10; ++slot)
            if (ReadFile(RingFile(slot)) == content)
                return slot;
        return -1;
    }

    // The driver makes its ring ready for the next request after the client has its reply:
    // true once `settled` holds, false when it does not within five seconds.
    template <typename Condition> static bool Eventually(Condition settled)
    {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (!settled())
        {
            if (Clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }
    // The ring file exists and is empty and its old reply is gone: the last steps of making
    // the ring ready, so that the driver touches the directory no more until the next request.
    bool EventuallyEmpty(int slot) const
    {
        const std::string file = RingFile(slot);
        const std::string reply = RingFile(slot, true);
        return Eventually(
            [&]
            {
                return std::filesystem::exists(file) && ReadFile(file).empty() &&
                       !std::filesystem::exists(reply);
            });
    }

    // Bytes in all files of the driver directory; a file the driver removes meanwhile counts 0.
    uintmax_t RingBytes() const
    {
        uintmax_t total = 0;
        for (const auto& entry : std::filesystem::directory_iterator(DriverDirectory()))
        {
            std::error_code gone;
            const uintmax_t size = std::filesystem::file_size(entry.path(), gone);
            if (!gone)
                total += size;
        }
        return total;
    }

    // A request on a new connection: the reply, and whether the driver closed afterwards.
    std::string Exchange(const std::string& request, bool* closed = nullptr)
    {
        CClient client;
        EXPECT_TRUE(client.Connected());
        EXPECT_TRUE(client.Send(request));
        std::string reply = client.Reply();
        if (closed != nullptr)
            *closed = client.ClosedUnanswered();
        return reply;
    }

    CSimDevice tDevice;
    CFakeHub tHub;
    std::unique_ptr<CTestProcess> pDriver;
};

TEST_F(RequestServer, PingIsAnsweredAndKeepConnectionOrBinaryKeepTheConnection)
{
    StartDriver(300);

    // A new connection per request: the reply is the request itself, then the driver closes.
    bool closed = false;
    EXPECT_EQ(Exchange("\r\n\r\n" + Ping(), &closed), Ping() + kTrailer);
    EXPECT_TRUE(closed);

    // KeepConnection="true" in any letter case keeps the connection for the next request;
    // "NOP" is Ping's other name, and a request without the attribute ends the connection.
    CClient client;
    ASSERT_TRUE(client.Connected());
    const std::string requests[] = {
        Ping(" KeepConnection=\"true\""),
        "<?XML version=\"1.0\"?><NOP KeepConnection=\"TRUE\"></NOP >",
        Ping(" KeepConnection=\"true\" N=\"3\""),
    };
    for (const auto& request : requests)
    {
        SCOPED_TRACE(request);
        ASSERT_TRUE(client.Send(request));
        // The label is stored (and echoed) in lower case.
        EXPECT_EQ(client.Reply(), "<?xml" + request.substr(5) + kTrailer);
    }
    // An idle kept connection ends after one receive timeout.
    EXPECT_TRUE(client.ClosedUnanswered());

    // A binary request keeps its connection whatever it asks (Ping is served in XML only).
    const std::string binaryPing("<?bin\0\x03\0\0\0\0\0\0\0\0\0", 16);
    const std::string refused("<?bin\0\x03\x80\x00\xFF\0\0\0\0\0\0", 16);
    {
        CClient binary;
        for (int i = 0; i < 2; ++i)
        {
            ASSERT_TRUE(binary.Send(binaryPing));
            EXPECT_EQ(binary.Bytes(refused.size() + kTrailer.size()), refused + kTrailer);
        }
    }

    // Requests sent back to back in one piece on a kept connection are each answered, in
    // order: the bytes behind the end of one document start the next.
    {
        CClient pipelined;
        const std::string first = Ping(" KeepConnection=\"true\" N=\"1\"");
        ASSERT_TRUE(pipelined.Send(first + binaryPing + Ping(" N=\"3\"")));
        EXPECT_EQ(pipelined.Bytes(first.size() + kTrailer.size()), first + kTrailer);
        EXPECT_EQ(pipelined.Bytes(refused.size() + kTrailer.size()), refused + kTrailer);
        EXPECT_EQ(pipelined.Reply(), Ping(" N=\"3\"") + kTrailer);
        EXPECT_TRUE(pipelined.ClosedUnanswered());
    }

    CClient last;
    ASSERT_TRUE(last.Send(Ping(" KeepConnection=\"false\"")));
    EXPECT_EQ(last.Reply(), Ping(" KeepConnection=\"false\"") + kTrailer);
    EXPECT_TRUE(last.ClosedUnanswered());
}

TEST_F(RequestServer, RootTagsThatAreNoCommandGetNoReply)
{
    StartDriver();
    const std::string requests[] = {
        kXmlHead + "<Bogus/>",
        kXmlHead + "<PingX KeepConnection=\"true\"/>",
        // A document that does not parse under a known root: nothing to answer with.
        kXmlHead + "<Ping KeepConnection=\"true\"><a></Ping>",
    };
    for (const auto& request : requests)
    {
        SCOPED_TRACE(request);
        CClient client;
        ASSERT_TRUE(client.Send(request));
        const auto start = Clock::now();
        EXPECT_TRUE(client.ClosedUnanswered());
        // Closed at once, not after a receive timeout (10 s): the bound below that is room for
        // a loaded machine and an emulator.
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(9));
        EXPECT_GE(SlotHolding(request), 0) << "the request stays in its ring file";
    }
    EXPECT_EQ(Exchange(Ping()), Ping() + kTrailer);
}

TEST_F(RequestServer, RingOfTenFilesKeepsTheLastRequestsAndCutsLargeOnes)
{
    StartDriver();
    // A large request whose reply is stored too (Reconfigure is answered with an error).
    const std::string large =
        kXmlHead + "<Reconfigure Pad=\"" + std::string(5000, 'p') + "\"></Reconfigure>";
    const std::string reply = Exchange(large);
    ASSERT_GT(reply.size(), 2048u);
    const int base = SlotHolding(large);
    ASSERT_GE(base, 0);
    // What was sent is the stored reply from its first "<" on.
    const std::string storedReply = ReadFile(RingFile(base, true));
    const size_t start = storedReply.find('<');
    ASSERT_NE(start, std::string::npos);
    EXPECT_EQ(storedReply.substr(start) + kTrailer, reply);
    // The slot after the newest request is empty and has no reply.
    EXPECT_TRUE(EventuallyEmpty((base + 1) % 10)) << ReadFile(RingFile((base + 1) % 10));
    EXPECT_FALSE(std::filesystem::exists(RingFile((base + 1) % 10, true)));

    // The next request cuts the previous slot's files to 900 bytes and a note of their length.
    ASSERT_EQ(Exchange(Ping(" N=\"1\"")), Ping(" N=\"1\"") + kTrailer);
    const std::string cut = large.substr(0, 900) + "\n... [total file length was " +
                            std::to_string(large.size()) + " bytes]\n";
    EXPECT_TRUE(Eventually([&] { return ReadFile(RingFile(base)) == cut; }))
        << ReadFile(RingFile(base));
    EXPECT_TRUE(Eventually([&] { return ReadFile(RingFile(base, true)).size() < 1024; }));
    const std::string cutReply = ReadFile(RingFile(base, true));
    EXPECT_EQ(cutReply.substr(0, 900), storedReply.substr(0, 900));
    EXPECT_TRUE(std::regex_match(
        cutReply.substr(900), std::regex("\n\\.\\.\\. \\[total file length was \\d+ bytes\\]\n")))
        << cutReply.substr(900);
    // A file of exactly 2048 bytes stays whole.
    const std::string exact =
        Ping(" Pad=\"" + std::string(2048 - Ping(" Pad=\"\"").size(), 'q') + "\"");
    ASSERT_EQ(exact.size(), 2048u);
    ASSERT_EQ(Exchange(exact), exact + kTrailer);
    ASSERT_EQ(Exchange(Ping(" N=\"3\"")), Ping(" N=\"3\"") + kTrailer);
    EXPECT_EQ(ReadFile(RingFile((base + 2) % 10)), exact);

    // Nine more: slot 9 is followed by slot 0, the ring holds ten request files, and the
    // reply of the reused slot is gone.
    for (int n = 4; n <= 12; ++n)
    {
        const std::string ping = Ping(" N=\"" + std::to_string(n) + "\"");
        ASSERT_EQ(Exchange(ping), ping + kTrailer);
        EXPECT_EQ(ReadFile(RingFile((base + n) % 10)), ping);
    }
    EXPECT_TRUE(EventuallyEmpty((base + 13) % 10)) << ReadFile(RingFile((base + 13) % 10));
    int requestFiles = 0;
    int otherFiles = 0;
    for (const auto& entry : std::filesystem::directory_iterator(DriverDirectory()))
    {
        const std::string name = entry.path().filename().string();
        if (std::regex_match(name, std::regex("Tmp_Slot62103_No[0-9]\\.xml")))
            ++requestFiles;
        else
            ++otherFiles;
    }
    EXPECT_EQ(requestFiles, 10);
    EXPECT_EQ(otherFiles, 0) << "Ping stores no reply, and the old reply was removed";
}

// Everything the driver sends on one connection until it closes it (or a minute passes).
std::string ReceiveUntilClosed(CClient& client)
{
    std::string text;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    pollfd p{client.Socket(), POLLIN, 0};
    std::vector<char> buffer(1 << 20);
    for (;;)
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        const ssize_t n = recv(client.Socket(), buffer.data(), buffer.size(), 0);
        if (n <= 0)
            break;
        text.append(buffer.data(), static_cast<size_t>(n));
    }
    return text;
}

TEST_F(RequestServer, WhatOneReplyCostsIsBounded)
{
    StartDriver();
    // 998 elements nested one in the other around 500,000 empty ones (some 2 MB): the layout
    // indents no element deeper than 16 tabs, so the reply is a few times the request (it was
    // some 500 MB) and holds the whole document.
    std::string nested = kXmlHead + "<Diagnostic>";
    for (int i = 0; i < 998; ++i)
        nested += "<n>";
    for (int i = 0; i < 500000; ++i)
        nested += "<e/>";
    for (int i = 0; i < 998; ++i)
        nested += "</n>";
    nested += "</Diagnostic>";
    // 3 MiB of apostrophes, each written as "&apos;": a reply of 18 MiB would pass the bound
    // of 16 MiB, so it goes out as the root and the error, and no long file is made.
    const std::string apostrophes =
        kXmlHead + "<Diagnostic Name=\"x\">" + std::string(3 << 20, '\'') + "</Diagnostic>";
    // The same in an attribute of the root: even the root alone would pass the bound, so the
    // cut reply goes out without that attribute, and with the others.
    const std::string rootAttribute = kXmlHead + "<Diagnostic Name=\"x\" Big=\"" +
                                      std::string(3 << 20, '\'') +
                                      "\" Small=\"kept\"></Diagnostic>";
    const struct
    {
        const char* what;
        const std::string& request;
        bool cut;
        const char* root; // the root element's start tag in the cut reply
    } cases[] = {{"deeply nested", nested, false, ""},
                 {"escaped text", apostrophes, true, "<Diagnostic Name=\"x\">"},
                 {"root attribute", rootAttribute, true, "<Diagnostic Name=\"x\" Small=\"kept\">"}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        CClient client;
        ASSERT_TRUE(client.Connected());
        ASSERT_TRUE(client.Send(c.request));
        const std::string reply = ReceiveUntilClosed(client);
        ASSERT_NE(reply.find("</Diagnostic>"), std::string::npos) << reply.substr(0, 2000);
        EXPECT_LT(reply.size(), 16u << 20);
        if (c.cut)
        {
            EXPECT_LT(reply.size(), 4096u) << reply;
            EXPECT_NE(reply.find(c.root), std::string::npos) << reply;
            EXPECT_NE(reply.find("Name=\"ReplyTooLong\""), std::string::npos) << reply;
        }
        else
        {
            EXPECT_LT(reply.size(), 6 * c.request.size());
            EXPECT_EQ(CountOf(reply, "<e/>"), 500000u);
            EXPECT_EQ(reply.find("\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t"), std::string::npos);
        }
        // The reply file in the ring is the reply as sent, nothing longer.
        const int slot = SlotHolding(c.request);
        ASSERT_GE(slot, 0);
        EXPECT_LE(std::filesystem::file_size(RingFile(slot, true)), reply.size());
    }
    EXPECT_EQ(Exchange(Ping()), Ping() + kTrailer);
}

TEST_F(RequestServer, ARemovedDriverDirectoryRefusesRequestsUntilItIsBackThenTheRingGoesOn)
{
    StartDriver();
    ASSERT_EQ(Exchange(Ping(" N=\"1\"")), Ping(" N=\"1\"") + kTrailer);
    // The driver makes the ring ready after the reply; the directory goes once it has.
    const int first = SlotHolding(Ping(" N=\"1\""));
    ASSERT_GE(first, 0);
    ASSERT_TRUE(EventuallyEmpty((first + 1) % 10));
    // The driver holds the next request file open; gone with its directory, it keeps nothing.
    std::filesystem::remove_all(DriverDirectory());
    const std::string refused = Exchange(Ping(" N=\"2\""));
    EXPECT_NE(refused.find("CanNotStoreFile"), std::string::npos) << refused;
    EXPECT_FALSE(std::filesystem::exists(DriverDirectory()));

    // Made again, the directory takes the ring: every request in its file, the slot after the
    // newest one empty.
    std::filesystem::create_directories(DriverDirectory());
    for (int n = 3; n <= 5; ++n)
    {
        const std::string ping = Ping(" N=\"" + std::to_string(n) + "\"");
        ASSERT_EQ(Exchange(ping), ping + kTrailer);
        const int slot = SlotHolding(ping);
        EXPECT_GE(slot, 0) << ping;
        if (n == 5 && slot >= 0)
        {
            EXPECT_TRUE(EventuallyEmpty((slot + 1) % 10)) << ReadFile(RingFile((slot + 1) % 10));
        }
    }
}

TEST_F(RequestServer, BadRequestsAreRefusedOrTimedOutAndTheNextClientIsServed)
{
    StartDriver(300);

    std::string garbage(1 << 20, '\0');
    for (size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<char>((i * 7919u + (i >> 7)) % 251); // no "<" (60) stays
    for (char& c : garbage)
        if (c == '<')
            c = '>';
    std::string binaryHead("<?bin\0\x03\x00\0\0\0\0\x00\x10\0\0", 16); // 4096 payload bytes
    const std::string half = kXmlHead + "<Module Name=\"TestDriver\"><Signals>";

    const struct
    {
        const char* name;
        std::string data;
        bool endSending; // the client ends its side after the data
        bool kept;       // the partial request stays in its ring file
    } cases[] = {
        {"garbage, then the client closes", garbage, true, false},
        {"half a document, then the client stalls", half, false, true},
        {"binary head whose length runs past the data", binaryHead + "abc", false, true},
        {"a client that sends nothing", "", false, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        {
            CClient client;
            ASSERT_TRUE(client.Connected());
            ASSERT_TRUE(client.Send(c.data));
            if (c.endSending)
                shutdown(client.Socket(), SHUT_WR);
            EXPECT_TRUE(client.ClosedUnanswered());
        }
        if (c.kept)
        {
            EXPECT_GE(SlotHolding(c.data), 0) << "the partial request stays in its ring file";
        }
        EXPECT_LT(RingBytes(), 64u * 1024u) << "bytes before a document are not stored";
        EXPECT_EQ(Exchange(Ping()), Ping() + kTrailer);
    }

    // 100 MiB: the driver stops reading at its limit and closes; nothing past the limit is
    // kept, the ring file says why.
    {
        CClient client;
        ASSERT_TRUE(client.Send(kXmlHead + "<Module Name=\"TestDriver\">"));
        const std::string piece = []
        {
            std::string p;
            while (p.size() < (1 << 16))
                p += "<Signal Number=\"1\"><UserText>some text</UserText></Signal>\n";
            return p;
        }();
        size_t sent = 0;
        while (sent < (100u << 20) && client.Send(piece))
            sent += piece.size();
        EXPECT_LT(sent, 16u << 20);
        EXPECT_TRUE(client.ClosedUnanswered());
        EXPECT_GE(SlotHolding("***ERROR: File too long***"), 0);
    }
    EXPECT_EQ(Exchange(Ping()), Ping() + kTrailer);

    // The ring stays small: at most ten request files and their replies, none of them large.
    EXPECT_LE(std::distance(std::filesystem::directory_iterator(DriverDirectory()),
                            std::filesystem::directory_iterator()),
              20);
    EXPECT_LT(RingBytes(), 64u * 1024u);
}

TEST_F(RequestServer, ASilentClientIsDroppedAfterTheDefaultTimeoutAndTheNextOneServed)
{
    StartDriver();
    CClient silent;
    ASSERT_TRUE(silent.Connected());
    const auto start = Clock::now();
    // The next client waits in the queue until the silent one has timed out.
    CClient next;
    ASSERT_TRUE(next.Send(Ping()));
    EXPECT_EQ(next.Reply(std::chrono::seconds(30)), Ping() + kTrailer);
    EXPECT_TRUE(silent.ClosedUnanswered(std::chrono::seconds(1)));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(9500));
}

TEST_F(RequestServer, ManyClientsConnectingAtOnceAreAllAnswered)
{
    StartDriver();
    // Every driver of a device registering at once, and more: the clients that cannot be
    // served yet wait in the listening socket's queue instead of being lost.
    constexpr int kClients = 64;
    std::vector<std::string> replies(kClients);
    std::vector<std::thread> clients;
    std::atomic<int> ready{0};
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back(
            [&, i]
            {
                ++ready;
                while (ready.load() < kClients)
                    std::this_thread::yield();
                CClient client;
                if (client.Connected() && client.Send(Ping(" N=\"" + std::to_string(i) + "\"")))
                    replies[i] = client.Reply(std::chrono::seconds(30));
            });
    for (std::thread& client : clients)
        client.join();
    for (int i = 0; i < kClients; ++i)
        EXPECT_EQ(replies[i], Ping(" N=\"" + std::to_string(i) + "\"") + kTrailer) << i;
}

TEST_F(RequestServer, ATricklingClientIsDroppedWithinTheBoundAndTheNextOneServed)
{
    // Silence of 300 ms ends a reception; so does a whole request that takes longer than that
    // (plus a second per 64 KiB it carries). The trickler is never silent for 300 ms.
    StartDriver(300);
    CClient trickler;
    ASSERT_TRUE(trickler.Send(kXmlHead + "<Ping"));
    const auto start = Clock::now();
    std::atomic<bool> dropped{false};
    std::thread trickle(
        [&]
        {
            while (Clock::now() - start < std::chrono::seconds(10))
            {
                if (!trickler.Send(" "))
                {
                    dropped = true;
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });

    CClient next;
    ASSERT_TRUE(next.Send(Ping()));
    EXPECT_EQ(next.Reply(std::chrono::seconds(10)), Ping() + kTrailer);
    const auto answered = Clock::now() - start;
    trickle.join();
    EXPECT_TRUE(dropped) << "the trickling client was served for as long as it trickled";
    // The bound is 300 ms; the rest is room for a loaded machine and an emulator (a trickler
    // served for as long as it trickles holds the next client 10 s).
    EXPECT_LT(answered, std::chrono::seconds(9));
}

TEST_F(RequestServer, AClientTakingItsReplySlowlyIsDroppedWithinTheBoundAndTheNextOneServed)
{
    // A reply, too, must be taken within the timeout of silence (300 ms) and, as a whole,
    // within that timeout plus a second per 64 KiB taken so far: at most 4.3 s for this echo of
    // 256 KiB. The reader takes 2 KiB every 100 ms, never silent for long but too slow to have
    // it all in time (12.8 s).
    StartDriver(300);
    const std::string large = Ping(" Pad=\"" + std::string(256 * 1024, 'p') + "\"");
    CClient reader(4096);
    ASSERT_TRUE(reader.Send(large));
    const auto start = Clock::now();
    size_t got = 0;
    bool closed = false;
    std::thread read(
        [&]
        {
            size_t taken = 0;
            while (Clock::now() - start < std::chrono::seconds(20))
            {
                if (!reader.Take(2048, taken))
                {
                    closed = true;
                    return;
                }
                got += taken;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });

    CClient next;
    ASSERT_TRUE(next.Send(Ping()));
    EXPECT_EQ(next.Reply(std::chrono::seconds(20)), Ping() + kTrailer);
    const auto answered = Clock::now() - start;
    read.join();
    EXPECT_TRUE(closed) << "the slow reader was served for as long as it read";
    EXPECT_LT(got, large.size());
    // The bound is 4.3 s; the rest is room for a loaded machine.
    EXPECT_LT(answered, std::chrono::seconds(8));
}

TEST_F(RequestServer, WellFormedRequestsEndWhereTheirRootEndsWhateverTheirMarkupHolds)
{
    StartDriver(300);
    const std::string keep = " KeepConnection=\"true\"";
    const std::string requests[] = {
        "<Ping" + keep + " Error=\"a > b\" Text='x/>'/>",
        "<Ping" + keep + "><!-- </Ping> --></Ping>",
        "<Ping" + keep + "><![CDATA[</Ping>]]></Ping>",
        "<Ping" + keep + "><?note a=\"</Ping>\"?></Ping>",
        "<Ping" + keep + "><Ping>x</Ping><Ping/></Ping>",
        "<!-- <Lock> --><Ping" + keep + "/>",
    };
    // One after the other on a kept connection, sent in one piece: Ping echoes its request, so
    // every reply shows that its request ended exactly where it ends, none earlier or later.
    CClient client;
    std::string all;
    for (const auto& request : requests)
        all += kXmlHead + request;
    ASSERT_TRUE(client.Send(all + Ping()));
    for (const auto& request : requests)
    {
        SCOPED_TRACE(request);
        const std::string expected = kXmlHead + request + kTrailer;
        ASSERT_EQ(client.Bytes(expected.size()), expected);
    }
    const std::string last = Ping() + kTrailer;
    EXPECT_EQ(client.Bytes(last.size()), last);
    EXPECT_TRUE(client.ClosedUnanswered());
}
} // namespace
