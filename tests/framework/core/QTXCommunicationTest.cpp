// The socket endpoint over loopback, on ports the kernel picks.
#include "QTXCommunication.h"

#include "KoveTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{
std::string ReadAll(const std::string& path)
{
    return kovetest::ReadFile(path);
}

void WriteAll(const std::string& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary) << data;
}

bool IsCloseOnExec(int fd)
{
    return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

// Head of a binary command file: "<?bin", zero, u16 tag, four zero bytes, u32 length.
std::string BinHead(uint16_t tag, uint32_t length)
{
    std::string h("<?bin\0", 6);
    h += static_cast<char>(tag & 0xFF);
    h += static_cast<char>(tag >> 8);
    h.append(4, '\0');
    for (int i = 0; i < 4; ++i)
        h += static_cast<char>((length >> (8 * i)) & 0xFF);
    return h;
}

// Everything that arrives until the peer closes.
std::string ReceiveUntilClosed(CQTXCommunication& c)
{
    std::string all;
    char buffer[4096];
    int n;
    while ((n = c.ReceiveBuffer(buffer, sizeof buffer, false)) >= 0)
        all.append(buffer, static_cast<size_t>(n));
    EXPECT_EQ(n, CQTXCommunication::RECEIVE_PEER_CLOSED);
    return all;
}

// A TCP server on a kernel-chosen port with one accepted client.
class CommunicationPair : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.OpenServerSocket(0, true));
        port = server.GetServerPort();
        ASSERT_GT(port, 0);
        ASSERT_TRUE(client.Open("127.0.0.1:" + std::to_string(port), true));
        ASSERT_TRUE(server.WaitForConnection());
    }

    // The client sends and then ends its side, so that a receive on the server ends too.
    void ClientSendsAndFinishes(const std::string& data)
    {
        ASSERT_TRUE(client.SendBuffer(data.data(), static_cast<int>(data.size())));
        shutdown(client.GetSocket(), SHUT_WR);
    }

    kovetest::CTempDir dir;
    CQTXCommunication server;
    CQTXCommunication client;
    int port = 0;
};
} // namespace

TEST(QTXCommunication, OpenTakesOnlyHostPortWithNumericHost)
{
    CQTXCommunication listener;
    ASSERT_TRUE(listener.OpenServerSocket(0, true));
    const std::string port = std::to_string(listener.GetServerPort());
    const struct
    {
        std::string address;
        bool opens;
    } cases[] = {
        {"localhost:" + port, true},
        {"LocalHost:" + port, true},
        {":" + port, true},
        {"127.0.0.1:" + port, true},
        {"127.0.0.1", false},            // no colon
        {"device.local:" + port, false}, // no name lookup
        {"127.0.0.1:0", false},
        {"127.0.0.1:" + std::to_string(65536 + listener.GetServerPort()), false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.address);
        CQTXCommunication client;
        EXPECT_EQ(client.Open(c.address, true), c.opens);
        EXPECT_EQ(client.Available(), c.opens);
        if (!c.opens)
        {
            EXPECT_EQ(client.GetSocket(), -1);
            continue;
        }
        EXPECT_TRUE(IsCloseOnExec(client.GetSocket()));
        ASSERT_TRUE(listener.WaitForConnection());
        EXPECT_TRUE(IsCloseOnExec(listener.GetSocket()));
        EXPECT_EQ(listener.GetAddress().rfind("127.0.0.1:", 0), 0u);
    }
}

TEST(QTXCommunication, ConnectToClosedPortFailsWithoutConnection)
{
    CQTXCommunication listener;
    ASSERT_TRUE(listener.OpenServerSocket(0, true));
    const int port = listener.GetServerPort();
    listener.CloseServerSocket();
    EXPECT_FALSE(listener.ServerStarted());

    CQTXCommunication client;
    EXPECT_FALSE(client.Open(":" + std::to_string(port), true));
    EXPECT_FALSE(client.Available());
    EXPECT_FALSE(client.SendBuffer("x", 1));
    char b;
    EXPECT_EQ(client.ReceiveBuffer(&b, 1, false), CQTXCommunication::RECEIVE_NO_SOCKET);
    EXPECT_EQ(client.GetAddress(), "");
}

TEST(QTXCommunication, ListeningPortIsTakenBackAtOnceButNeverShared)
{
    CQTXCommunication first;
    ASSERT_TRUE(first.OpenServerSocket(0, true));
    const int port = first.GetServerPort();
    EXPECT_TRUE(IsCloseOnExec(first.GetServerSocket()));

    // A connection that the server side closes first keeps the port busy for a while.
    int raw = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(raw, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(raw, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_TRUE(first.WaitForConnection());
    first.Close();
    char b;
    EXPECT_EQ(read(raw, &b, 1), 0);
    close(raw);

    CQTXCommunication second;
    EXPECT_FALSE(second.OpenServerSocket(port, true)); // still listening
    first.CloseServerSocket();
    EXPECT_TRUE(second.OpenServerSocket(port, true));
}

TEST(QTXCommunication, EveryAcceptedConnectionHasTheStandardOptions)
{
    const auto get = [](int s, int level, int name)
    {
        int value = -1;
        socklen_t length = sizeof value;
        EXPECT_EQ(getsockopt(s, level, name, &value, &length), 0);
        return value;
    };
    int reference = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(reference, 0);
    TCPSocket_SetStdOption(reference);

    CQTXCommunication server;
    ASSERT_TRUE(server.OpenServerSocket(0, true));
    for (int i = 0; i < 3; ++i)
    {
        CQTXCommunication client;
        ASSERT_TRUE(client.Open("127.0.0.1:" + std::to_string(server.GetServerPort()), true));
        ASSERT_TRUE(server.WaitForConnection());
        const int s = server.GetSocket();
        EXPECT_EQ(get(s, IPPROTO_TCP, TCP_NODELAY), 1) << i;
        EXPECT_EQ(get(s, SOL_SOCKET, SO_SNDBUF), get(reference, SOL_SOCKET, SO_SNDBUF)) << i;
        EXPECT_EQ(get(s, SOL_SOCKET, SO_RCVBUF), get(reference, SOL_SOCKET, SO_RCVBUF)) << i;
    }
    close(reference);
}

TEST_F(CommunicationPair, BuffersArriveWholeAndPeerCloseEndsTheConnection)
{
    std::string data(100000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    // Far more than the socket buffers hold: both sides wait for each other in turn.
    bool sent = false;
    std::thread sender([&]()
                       { sent = client.SendBuffer(data.data(), static_cast<int>(data.size())); });
    std::string got(data.size(), '\0');
    EXPECT_EQ(server.ReceiveBuffer(&got[0], static_cast<int>(got.size()), true),
              static_cast<int>(got.size()));
    sender.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(got, data);

    // Nothing more: a single attempt gives 0, a waiting receive runs into the timeout.
    server.SetTimeout(1, 10);
    char b[4];
    EXPECT_EQ(server.ReceiveBuffer(b, sizeof b, false), 0);
    EXPECT_EQ(server.ReceiveBuffer(b, sizeof b, true), CQTXCommunication::RECEIVE_TIMEOUT);
    EXPECT_TRUE(server.Available());

    // Part of a waited-for buffer, then the peer ends: the part counts, and the connection
    // is gone.
    server.SetTimeout(10000, 10);
    ClientSendsAndFinishes("ab");
    EXPECT_EQ(server.ReceiveBuffer(b, sizeof b, true), 2);
    EXPECT_FALSE(server.Available());
    EXPECT_EQ(server.ReceiveBuffer(b, sizeof b, true), CQTXCommunication::RECEIVE_NO_SOCKET);
}

TEST_F(CommunicationPair, SendToVanishedPeerFailsWithoutSignal)
{
    client.Close(); // resets the connection
    std::string data(1 << 20, 'x');
    server.SetTimeout(1000, 10);
    bool ok = true;
    for (int i = 0; i < 20 && ok; ++i)
        ok = server.SendBuffer(data.data(), static_cast<int>(data.size()));
    EXPECT_FALSE(ok);
}

TEST_F(CommunicationPair, MovedConnectionKeepsPeerAndSettings)
{
    const std::string clientAddress = server.GetAddress();
    server.SetTimeout(1234, 7);
    CQTXCommunication other;
    ASSERT_TRUE(other.Open(":" + std::to_string(port), true)); // replaced by the move
    server.MoveConnectionTo(other);
    EXPECT_FALSE(server.Available());
    EXPECT_TRUE(server.ServerStarted());
    EXPECT_EQ(other.GetAddress(), clientAddress);
    EXPECT_EQ(other.GetTimeout(), 1234);

    ASSERT_TRUE(other.SendBuffer("hello", 5));
    char b[5];
    ASSERT_EQ(client.ReceiveBuffer(b, 5, true), 5);
    EXPECT_EQ(std::string(b, 5), "hello");
}

TEST_F(CommunicationPair, SendFileSkipsToTheFirstTagAndEndsShortXmlWithLineBreaks)
{
    const std::string crlf3 = "\r\n\r\n\r\n";
    const std::string big(6000, 'a');
    const std::string mid(5000, 'b');
    const struct
    {
        const char* name;
        std::string content;
        bool xml;
        std::string sent;
    } cases[] = {
        {"two full pieces", "<" + big.substr(1), true, "<" + big.substr(1)},
        {"short last piece", "<" + mid.substr(1), true, "<" + mid.substr(1) + crlf3},
        {"junk before the tag", "\xEF\xBB\xBF  <Ping/>", true, "<Ping/>" + crlf3},
        {"last piece too long for the trailer", std::string(2994, '<'), true,
         std::string(2994, '<')},
        {"no tag at all", "no markup", true, ""},
        {"raw", "\r\nraw<data", false, "\r\nraw<data"},
        {"empty", "", false, ""},
    };
    std::string expected;
    for (const auto& c : cases)
    {
        std::string path = dir.Path() + "/" + c.name;
        WriteAll(path, c.content);
        EXPECT_TRUE(client.SendFile(path, c.xml)) << c.name;
        expected += c.sent;
    }
    EXPECT_TRUE(client.SendFile("", true));
    EXPECT_FALSE(client.SendFile(dir.Path() + "/missing", false));
    shutdown(client.GetSocket(), SHUT_WR);
    EXPECT_EQ(ReceiveUntilClosed(server), expected);
}

TEST_F(CommunicationPair, SendDocumentSendsBytesInMemoryAsSendFileSendsTheFile)
{
    // Zero bytes before and inside the document; the second piece is short enough for the
    // trailer.
    const std::string document =
        std::string("\0\n ", 3) + "<Ping>" + std::string(4000, '\0') + "</Ping>";
    const std::string path = dir.Path() + "/document";
    WriteAll(path, document);
    ASSERT_TRUE(client.SendFile(path, true));
    ASSERT_TRUE(client.SendDocument(document.data(), document.size(), true));
    ASSERT_TRUE(client.SendDocument(document.data(), document.size(), false));
    ASSERT_TRUE(client.SendDocument("no markup", 9, true));
    ASSERT_TRUE(client.SendDocument(nullptr, 0, true));
    shutdown(client.GetSocket(), SHUT_WR);
    const std::string sent = document.substr(3) + "\r\n\r\n\r\n";
    EXPECT_EQ(ReceiveUntilClosed(server), sent + sent + document);
}

TEST_F(CommunicationPair, DocumentsAreFramedWithoutLengthPrefix)
{
    const std::string module = "<?xml version=\"1.0\"?>\n<!-- note -->\n<?style a?>\n"
                               "<Module Name=\"a/b\"><Signal/>" +
                               std::string(7000, 's') + "</Mod></module\t>";
    const struct
    {
        const char* name;
        std::string sent;
        bool complete;
        std::string root;
        std::string stored;
    } cases[] = {
        {"label in any case after leftovers", "\r\n\r\nxx<?XML?><Ping/>\r\n<Ping/>", true, "Ping",
         "<?xml?><Ping/>"},
        {"empty root with blanks", "<?xml?>< Ping / >", true, "Ping", "<?xml?>< Ping / >"},
        {"closing tag in other case, over several pieces", module + "trailing", true, "Module",
         "<?xml" + module.substr(5)},
        {"new document inside a body", "<?xml?><Lock><?xml?><Ping/>", true, "Ping",
         "<?xml?><Ping/>"},
        {"label mixing xml and bin", "<?xin<?xml?><A/>", true, "A", "<?xml?><A/>"},
        {"incomplete", "<?xml?><Module><Signal/>", false, "", "<?xml?><Module><Signal/>"},
        {"no label", "<Ping/>", false, "", ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        CQTXCommunication s, k;
        ASSERT_TRUE(s.OpenServerSocket(0, true));
        ASSERT_TRUE(k.Open(":" + std::to_string(s.GetServerPort()), true));
        ASSERT_TRUE(s.WaitForConnection());
        ASSERT_TRUE(k.SendBuffer(c.sent.data(), static_cast<int>(c.sent.size())));
        shutdown(k.GetSocket(), SHUT_WR);

        const std::string file = dir.Path() + "/request.xml";
        std::string root = "stale";
        uint16_t tag = 99;
        EXPECT_EQ(s.ReceiveDocument(file, 0, root, tag), c.complete);
        EXPECT_EQ(root, c.root);
        EXPECT_EQ(tag, 0);
        EXPECT_EQ(ReadAll(file), c.stored);
    }
}

TEST_F(CommunicationPair, RequestCodeComesFromRootNameOrBinaryTag)
{
    std::string payload(10000, '\0');
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(i);
    const std::string binary = BinHead(0x8103, static_cast<uint32_t>(payload.size())) + payload;
    const struct
    {
        const char* name;
        std::string sent;
        unsigned int code;
        std::string stored;
    } cases[] = {
        {"root name in any case", "<?xml?><ping/>", 3, "<?xml?><ping/>"},
        {"root with content", "<?xml?><Module><Signal/></Module>", 257,
         "<?xml?><Module><Signal/></Module>"},
        {"root that is no request", "<?xml?><NoSuchRequest/>", 0, "<?xml?><NoSuchRequest/>"},
        // Bytes after the payload are not taken; bit 15 of the tag does not reach the code.
        {"binary over several pieces", "\r\n<?BIN" + binary.substr(5) + "after", 0x80000103u,
         binary},
    };
    const std::string file = dir.Path() + "/request.xml";
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        // One request after the other on the same connection.
        ASSERT_TRUE(client.SendBuffer(c.sent.data(), static_cast<int>(c.sent.size())));
        EXPECT_EQ(server.ReceiveXmlFile(file, 0), c.code);
        EXPECT_EQ(ReadAll(file), c.stored);
    }
}

TEST_F(CommunicationPair, OverlongDocumentsAreRefusedAndNotStored)
{
    const std::string file = dir.Path() + "/request.xml";
    const struct
    {
        const char* name;
        std::string sent;
        int maxLength;
    } cases[] = {
        {"xml over the caller's limit", "<?xml?><Module>" + std::string(200, 'x') + "</Module>",
         100},
        // 16 + length overflows 32 bits: only 64-bit arithmetic sees it is too long.
        {"binary head announcing 4 GiB", BinHead(1, 0xFFFFFFFFu) + "0123456789abcdef", 0},
        {"binary head over the built-in limit", BinHead(1, QTX_MAX_RECEIVE_LENGTH), 0},
        {"binary head over the caller's limit", BinHead(1, 100), 100},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        CQTXCommunication s, k;
        ASSERT_TRUE(s.OpenServerSocket(0, true));
        ASSERT_TRUE(k.Open(":" + std::to_string(s.GetServerPort()), true));
        ASSERT_TRUE(s.WaitForConnection());
        // The connection stays open: the refusal must not wait for the announced bytes.
        ASSERT_TRUE(k.SendBuffer(c.sent.data(), static_cast<int>(c.sent.size())));
        EXPECT_EQ(s.ReceiveXmlFile(file, c.maxLength), 0u);
        EXPECT_EQ(ReadAll(file), "***ERROR: File too long***");
    }
}

TEST_F(CommunicationPair, NothingReceivedGivesCodeZero)
{
    // Silence until the timeout; the file is there but empty.
    server.SetTimeout(1, 10);
    const std::string file = dir.Path() + "/request.xml";
    WriteAll(file, "old request");
    EXPECT_EQ(server.ReceiveXmlFile(file, 0), 0u);
    EXPECT_EQ(ReadAll(file), "");

    // A file that cannot be created ends the receive at once.
    server.SetTimeout(10000, 10);
    EXPECT_EQ(server.ReceiveXmlFile(dir.Path() + "/no/such/dir/request.xml", 0), 0u);

    // The peer closes before the document is complete.
    ClientSendsAndFinishes(BinHead(3, 10) + "12345");
    EXPECT_EQ(server.ReceiveXmlFile(file, 0), 0u);
    EXPECT_EQ(ReadAll(file), BinHead(3, 10) + "12345");
    EXPECT_FALSE(server.Available());
}

TEST(QTXCommunication, ProgressRecordsOverUdpAndReplyToTheSender)
{
    CQTXCommunication receiver;
    ASSERT_TRUE(receiver.OpenServerSocket(0, false));
    EXPECT_TRUE(IsCloseOnExec(receiver.GetServerSocket()));
    CQTXCommunication sender;
    ASSERT_TRUE(sender.Open("127.0.0.1:" + std::to_string(receiver.GetServerPort()), false));

    auto next = [&receiver]()
    {
        uint8_t record[1024];
        // A waiting UDP receive returns with the first datagram, however short.
        int n = receiver.ReceiveBuffer(record, sizeof record, true);
        return std::string(reinterpret_cast<char*>(record), n > 0 ? static_cast<size_t>(n) : 0);
    };

    const std::string text(300, 't');
    sender.SendProgressMessage(text, 3, 7, 1.0, 3600);
    std::string r = next();
    ASSERT_EQ(r.size(), 255u);
    EXPECT_EQ(r.substr(0, 2), "#P");
    const auto u16 = [&r](size_t at)
    { return static_cast<uint8_t>(r[at]) | (static_cast<uint8_t>(r[at + 1]) << 8); };
    EXPECT_EQ(u16(2), 255);
    EXPECT_EQ(u16(4), 7);
    EXPECT_EQ(u16(6), 3);
    EXPECT_EQ(r.substr(8, 4), std::string("\x00\x00\x80\x3F", 4)); // 1.0f little-endian
    EXPECT_EQ(r.substr(12, 239), text.substr(0, 239));
    EXPECT_EQ(r.substr(251), std::string(4, '\0'));

    // Within the interval only the middle of a transfer is held back.
    sender.SendProgressMessage("held back", 4, 7, 0.5, 3600);
    sender.SendProgressMessage("beyond total", 8, 7, 0.5, 3600);
    sender.SendProgressMessage("", 0, 0, 0.0, 3600);
    sender.SendProgressMessage("no interval", 5, 7, 0.5, 0);
    EXPECT_EQ(next().substr(12, 13), std::string("beyond total\0", 13));
    r = next();
    EXPECT_EQ(r.size(), 16u);
    EXPECT_EQ(r[12], '\0');
    EXPECT_EQ(next().substr(12, 11), "no interval");

    // The receiver knows the sender and answers it on its own socket.
    ASSERT_TRUE(receiver.OpenForReply(0, false));
    ASSERT_TRUE(receiver.SendBuffer("ack", 3));
    char b[16];
    ASSERT_EQ(sender.ReceiveBuffer(b, sizeof b, true), 3);
    EXPECT_EQ(std::string(b, 3), "ack");
}

TEST(QTXCommunication, ReplyNeedsAKnownSender)
{
    CQTXCommunication c;
    EXPECT_FALSE(c.OpenForReply(0, false));
    EXPECT_FALSE(c.Available());
}
