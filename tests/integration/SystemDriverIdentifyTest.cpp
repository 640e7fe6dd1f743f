// The system driver's identity on a simulated device: drivers register with the running hub,
// Identify lists them, and a UDP Identify request is answered by UDP to the sender and by TCP
// to port 61000 of the sender. The test talks to the hub with plain sockets.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <net/route.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "KoveTestSupport.h"
#include "xmlParser.h"

using namespace kovetest;
using Clock = std::chrono::steady_clock;

namespace
{
const std::string kXmlStart = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n\n";
const std::string kIdentify = kXmlStart + "<Identify/>\n";

sockaddr_in Loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int RemainingMs(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Reads from a connected socket until the peer closes it or the deadline passes.
std::string ReadUntilClosed(int socket, Clock::time_point deadline)
{
    std::string text;
    char buffer[4096];
    pollfd p{socket, POLLIN, 0};
    while (poll(&p, 1, RemainingMs(deadline)) > 0)
    {
        const ssize_t n = recv(socket, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

// Sends one request document to the hub's command port and returns the reply.
std::string Exchange(const std::string& document)
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = Loopback(62000);
    std::string reply;
    if (connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 &&
        send(s, document.data(), document.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(document.size()))
        reply = ReadUntilClosed(s, Clock::now() + std::chrono::seconds(10));
    close(s);
    return reply;
}

std::string Text(const XMLNode& node, const char* child)
{
    const char* text = node.getChildNode(child).getText();
    return text != nullptr ? text : "";
}

// The module element of a port in an Identify reply; empty when the port is not listed.
XMLNode ModuleOfPort(const XMLNode& system, int port)
{
    XMLNode modules = system.getChildNode("Modules");
    for (int i = 0; i < modules.nChildNode("Module"); ++i)
        if (Text(modules.getChildNode("Module", i), "Port") == std::to_string(port))
            return modules.getChildNode("Module", i);
    return XMLNode();
}

XMLNode IdentifyHub(std::string& reply)
{
    reply = Exchange(kIdentify);
    return XMLNode::parseString(reply.c_str(), "System");
}

class SystemDriverIdentify : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_pHub = std::make_unique<CTestProcess>(m_tDevice, "systemdriver");
        ASSERT_TRUE(m_pHub->WaitForPort(62000)) << m_pHub->Output();
    }

    void Register(const std::string& document)
    {
        const std::string reply = Exchange(kXmlStart + document);
        ASSERT_NE(reply.find("RegisterModule"), std::string::npos) << document;
        ASSERT_EQ(reply.find("<Error"), std::string::npos) << reply;
    }

    CSimDevice m_tDevice;
    std::unique_ptr<CTestProcess> m_pHub;
};

TEST_F(SystemDriverIdentify, ListsRegisteredDriversWithStampsAndMergedState)
{
    // Before the routing driver and two more are there, the device counts as booting.
    Register("<RegisterModule Name=\"FiberOptic:62002*0.0#0+,v1.2.3!5\" />\n");
    std::string reply;
    XMLNode system = IdentifyHub(reply);
    ASSERT_FALSE(system.isEmpty()) << reply;
    EXPECT_EQ(Text(system.getChildNode("SystemInfo"), "Status"), "Booting") << reply;

    Register("<RegisterModule Name=\"Duf:62001\" />\n");
    Register("<RegisterModule><Modules><Module Name=\"AI-8\" Port=\"62103\" ON=\"12.345678\" "
             "SN=\"42\" VersionHW=\"01\" VersionSW=\"v2.0.0\" VersionFpga=\"0x1A2B\" "
             "Status=\"Error\" /></Modules></RegisterModule>\n");
    system = IdentifyHub(reply);
    ASSERT_FALSE(system.isEmpty()) << reply;
    EXPECT_EQ(Text(system.getChildNode("SystemInfo"), "Status"), "Error") << reply;

    XMLNode modules = system.getChildNode("Modules");
    ASSERT_EQ(modules.nChildNode("Module"), 3) << reply;
    // In port order.
    EXPECT_STREQ(modules.getChildNode("Module", 0).getAttribute("Name"), "Duf");
    EXPECT_STREQ(modules.getChildNode("Module", 1).getAttribute("Name"), "FiberOptic");
    EXPECT_STREQ(modules.getChildNode("Module", 2).getAttribute("Name"), "AI-8");

    XMLNode duf = ModuleOfPort(system, 62001);
    EXPECT_EQ(duf.nChildNode(), 2) << "only Port and Status: " << reply;
    EXPECT_EQ(Text(duf, "Status"), "Running");

    XMLNode fiberOptic = ModuleOfPort(system, 62002);
    EXPECT_EQ(Text(fiberOptic, "VersionSW"), "v1.2.3");
    EXPECT_STREQ(fiberOptic.getChildNode("VersionSW").getAttribute("Build"), "5");
    EXPECT_TRUE(fiberOptic.getChildNode("Slot").isEmpty());

    XMLNode module = ModuleOfPort(system, 62103);
    EXPECT_EQ(Text(module, "Slot"), "3");
    EXPECT_EQ(Text(module, "OrderingNumber"), "12.345678");
    EXPECT_EQ(Text(module, "SerialNumber"), "000042");
    EXPECT_EQ(Text(module, "VersionHW"), "01");
    EXPECT_EQ(Text(module, "VersionSW"), "v2.0.0");
    EXPECT_STREQ(module.getChildNode("VersionSW").getAttribute("Status"), "OK");
    EXPECT_EQ(Text(module, "VersionFPGA"), "0x00001A2B");
    EXPECT_EQ(Text(module, "Status"), "Error");
}

TEST_F(SystemDriverIdentify, DriverThatStartsIsListedUntilItEnds)
{
    std::string reply;
    {
        CTestProcess driver(m_tDevice, "qtxtestdriver", {"-Slot=4"});
        // The driver opens its port first and registers right after.
        XMLNode module;
        WaitFor(
            [&]
            {
                module = ModuleOfPort(IdentifyHub(reply), 62104);
                return !module.isEmpty();
            },
            std::chrono::seconds(20));
        ASSERT_FALSE(module.isEmpty()) << reply << driver.Output();
        EXPECT_STREQ(module.getAttribute("Name"), "TestDriver");
        EXPECT_EQ(Text(module, "Slot"), "4");
        EXPECT_EQ(Text(module, "Status"), "Running");

        driver.Signal(SIGTERM);
        EXPECT_NE(driver.WaitExit(), -1);
    }
    // Its removal at the end takes it out of the document.
    XMLNode system = IdentifyHub(reply);
    ASSERT_FALSE(system.isEmpty()) << reply;
    EXPECT_TRUE(ModuleOfPort(system, 62104).isEmpty()) << reply;
}

// A UDP client of the discovery port, and the TCP listener on 61000 where answers also go.
class CDiscoveryClient
{
public:
    CDiscoveryClient()
    {
        m_iUdp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in any = Loopback(0);
        bind(m_iUdp, reinterpret_cast<const sockaddr*>(&any), sizeof any);
    }
    ~CDiscoveryClient()
    {
        close(m_iUdp);
        if (m_iListener >= 0)
            close(m_iListener);
    }

    bool Listen()
    {
        m_iListener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(m_iListener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in a = Loopback(61000);
        return bind(m_iListener, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 &&
               listen(m_iListener, 4) == 0;
    }

    void Send(const std::string& document)
    {
        const sockaddr_in hub = Loopback(62000);
        sendto(m_iUdp, document.data(), document.size(), 0, reinterpret_cast<const sockaddr*>(&hub),
               sizeof hub);
    }

    // The datagrams that come until one ends the document; empty when none comes in time.
    std::string ReceiveAnswer(std::chrono::milliseconds timeout)
    {
        const auto deadline = Clock::now() + timeout;
        std::string text;
        char buffer[65536];
        pollfd p{m_iUdp, POLLIN, 0};
        while (text.find("</System>") == std::string::npos &&
               poll(&p, 1, RemainingMs(deadline)) > 0)
        {
            const ssize_t n = recv(m_iUdp, buffer, sizeof buffer, 0);
            if (n > 0)
                text.append(buffer, static_cast<size_t>(n));
        }
        return text;
    }

    // Sends Identify until an answer comes, at most attempts times, each waiting so long.
    std::string Identify(int attempts, std::chrono::milliseconds each)
    {
        std::string answer;
        for (int attempt = 0; attempt < attempts && answer.empty(); ++attempt)
        {
            Send(kIdentify);
            answer = ReceiveAnswer(each);
        }
        return answer;
    }

    // What the next connection to 61000 brings; empty when none comes in time.
    std::string AcceptAnswer(std::chrono::milliseconds timeout)
    {
        const auto deadline = Clock::now() + timeout;
        pollfd p{m_iListener, POLLIN, 0};
        if (poll(&p, 1, RemainingMs(deadline)) <= 0)
            return "";
        const int connection = accept4(m_iListener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            return "";
        const std::string text = ReadUntilClosed(connection, deadline);
        close(connection);
        return text;
    }

private:
    int m_iUdp = -1;
    int m_iListener = -1;
};

TEST_F(SystemDriverIdentify, UdpIdentifyIsAnsweredToTheSenderAndOnTcp61000)
{
    Register("<RegisterModule Name=\"Duf:62001\" />\n");
    CDiscoveryClient client;

    // Nobody listens on 61000 yet: the UDP answer comes all the same. The discovery thread
    // starts with the hub, so the request is repeated until it is there.
    std::string answer = client.Identify(5, std::chrono::seconds(3));
    ASSERT_NE(answer.find("</System>"), std::string::npos) << m_pHub->Output();

    // With a listener both answers come, with the same document; the Ping sent first is not
    // answered, so the first datagram belongs to the Identify answer.
    ASSERT_TRUE(client.Listen());
    client.Send(kXmlStart + "<Ping/>\n");
    client.Send(kIdentify);
    const std::string udp = client.ReceiveAnswer(std::chrono::seconds(10));
    const std::string tcp = client.AcceptAnswer(std::chrono::seconds(10));
    EXPECT_EQ(udp.find("<?xml"), 0u) << udp;
    EXPECT_EQ(udp.find("Ping"), std::string::npos) << udp;
    EXPECT_NE(udp.find("<Port>62001</Port>"), std::string::npos) << udp;
    EXPECT_EQ(tcp, udp);
    EXPECT_FALSE(XMLNode::parseString(udp.c_str(), "System").isEmpty()) << udp;

    // It is the document that the command port sends for Identify.
    EXPECT_EQ(Exchange(kIdentify), udp);
}

TEST_F(SystemDriverIdentify, EveryDatagramIsARequestOfItsOwn)
{
    CDiscoveryClient client;
    std::string answer = client.Identify(5, std::chrono::seconds(3));
    ASSERT_NE(answer.find("</System>"), std::string::npos) << m_pHub->Output();

    // A datagram that ends inside its document, one that is not a document, one that is cut
    // in its binary head: none is answered, and none takes the next datagram with it.
    const std::string broken[] = {kXmlStart + "<Identify", kXmlStart + "<Identify><Extra>", "<?xml",
                                  std::string("<?bin\0\x02\x02", 8)};
    for (const std::string& datagram : broken)
    {
        SCOPED_TRACE(datagram);
        client.Send(datagram);
        client.Send(kIdentify);
        answer = client.ReceiveAnswer(std::chrono::seconds(5));
        EXPECT_NE(answer.find("</System>"), std::string::npos);
        EXPECT_EQ(answer.find("<?xml", 1), std::string::npos) << "answered once";
    }
}

TEST_F(SystemDriverIdentify, IgnoredDatagramsHoldNothingUp)
{
    CDiscoveryClient client;
    ASSERT_NE(client.Identify(5, std::chrono::seconds(3)).find("</System>"), std::string::npos)
        << m_pHub->Output();

    // A flood of datagrams that get no answer (empty, another request, no document), then a
    // tool's Identify: it is answered while the tool still waits. The Identify is repeated in
    // case the flood filled the socket's queue and it was dropped. The hub takes the datagrams
    // in order: each wait allows for the flood, on a loaded machine or under an emulator.
    const std::string ignored[] = {"", kXmlStart + "<Ping/>\n", "junk", std::string(100, '\xFF')};
    for (int i = 0; i < 300; ++i)
        client.Send(ignored[i % 4]);
    const std::string answer = client.Identify(5, std::chrono::seconds(4));
    EXPECT_NE(answer.find("</System>"), std::string::npos);
}

// Addresses of 198.51.100.0/24 are routed into the loopback interface, where nothing takes them:
// a connect there waits its whole time-out, as one to a host that is gone does. False where the
// route cannot be made.
bool RouteForgedSendersNowhere()
{
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    rtentry route{};
    auto* destination = reinterpret_cast<sockaddr_in*>(&route.rt_dst);
    destination->sin_family = AF_INET;
    destination->sin_addr.s_addr = inet_addr("198.51.100.0");
    auto* mask = reinterpret_cast<sockaddr_in*>(&route.rt_genmask);
    mask->sin_family = AF_INET;
    mask->sin_addr.s_addr = inet_addr("255.255.255.0");
    char device[] = "lo";
    route.rt_dev = device;
    route.rt_flags = RTF_UP;
    const bool made = ioctl(s, SIOCADDRT, &route) == 0 || errno == EEXIST;
    close(s);
    return made;
}

// Sends the document to the discovery port with a sender address of 198.51.100.0/24.
bool SendForged(int host, const std::string& document)
{
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_port = htons(40000);
    from.sin_addr.s_addr = htonl(0xC6336400u + static_cast<uint32_t>(host));
    const sockaddr_in hub = Loopback(62000);
    const bool sent =
        setsockopt(s, SOL_IP, IP_TRANSPARENT, &on, sizeof on) == 0 &&
        bind(s, reinterpret_cast<const sockaddr*>(&from), sizeof from) == 0 &&
        sendto(s, document.data(), document.size(), 0, reinterpret_cast<const sockaddr*>(&hub),
               sizeof hub) == static_cast<ssize_t>(document.size());
    close(s);
    return sent;
}

TEST_F(SystemDriverIdentify, IdentifiesFromSendersThatNobodyAnswersHoldNoToolUp)
{
    CDiscoveryClient client;
    ASSERT_NE(client.Identify(5, std::chrono::seconds(3)).find("</System>"), std::string::npos)
        << m_pHub->Output();
    if (!RouteForgedSendersNowhere() || !SendForged(1, kIdentify))
        GTEST_SKIP() << "no route or sender address of its own can be made in this namespace";

    // Forty Identify requests whose TCP answers would each wait the whole connect time-out of
    // 3 s (more than the hub keeps connecting at once), then a tool's: the tool gets both its
    // answers well before even three of those time-outs have passed.
    for (int host = 2; host <= 40; ++host)
        ASSERT_TRUE(SendForged(host, kIdentify));
    ASSERT_TRUE(client.Listen());
    const auto start = Clock::now();
    client.Send(kIdentify);
    const std::string udp = client.ReceiveAnswer(std::chrono::seconds(9));
    const std::string tcp =
        client.AcceptAnswer(std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::seconds(9) - (Clock::now() - start)));
    EXPECT_NE(udp.find("</System>"), std::string::npos) << udp;
    EXPECT_EQ(tcp, udp);
}
} // namespace

namespace
{
// The first file of that name below the device directory; empty when there is none.
std::string FindFile(const CSimDevice& device, const std::string& name)
{
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(device.Dir(), ec))
    {
        if (entry.path().filename() == name)
            return entry.path().string();
    }
    return std::string();
}

// Whether a document is well-formed XML 1.0 in UTF-8: every character allowed, and its markup
// parsed by this library's parser.
bool WellFormedUTF8(const std::string& document)
{
    if (!XmlCharacterProblem(document).empty())
        return false;
    XMLNode::setGlobalOptions(XMLNode::char_encoding_UTF8);
    XMLResults r;
    XMLNode::parseString(document.c_str(), nullptr, &r);
    return r.error == eXMLErrorNone;
}
} // namespace

TEST_F(SystemDriverIdentify, EveryDocumentItWritesIsUTF8WhateverTheRequestsWereIn)
{
    const std::string latinName = "M\xE4rz"; // in ISO-8859-1
    const std::string utf8Name = "M\xC3\xA4rz";
    const struct
    {
        const char* what;
        std::string request;
        std::string name; // as Identify lists it
    } cases[] = {
        {"declared ISO-8859-1",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<RegisterModule Name=\"" + latinName +
             ":62005\" />\n",
         utf8Name},
        {"undeclared, not UTF-8 from the start",
         "<?xml version=\"1.0\"?>\n<RegisterModule Name=\"L" + latinName + ":62006\" />\n",
         "L" + utf8Name},
        {"declared UTF-8 but holding a Latin-1 letter",
         kXmlStart + "<RegisterModule Name=\"U" + latinName + ":62007\" />\n", "U" + utf8Name},
        {"tab and line end in the name",
         kXmlStart + "<RegisterModule Name=\"T&#9;a&#10;b:62008\"/>", "T\ta\nb"},
        // characters that XML 1.0 does not allow are left out of what is written
        {"a reference to a control character",
         kXmlStart + "<RegisterModule Name=\"A&#1;B:62009\"/>", "AB"},
        {"a raw control character",
         kXmlStart + "<RegisterModule Name=\"A\x01"
                     "C:62010\"/>",
         "AC"},
        {"escape", kXmlStart + "<RegisterModule Name=\"A&#27;D:62011\"/>", "AD"},
        {"U+FFFE",
         kXmlStart + "<RegisterModule Name=\"A\xEF\xBF\xBE"
                     "E:62012\"/>",
         "AE"},
        {"declared Shift_JIS",
         "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n<RegisterModule "
         "Name=\"\x93\xFA\x96\x7B:62013\"/>",
         "\xE6\x97\xA5\xE6\x9C\xAC"},
        {"declared windows-1251",
         "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n<RegisterModule "
         "Name=\"\xCF\xF0:62014\"/>",
         "\xD0\x9F\xD1\x80"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        const std::string reply = Exchange(c.request);
        // The reply is the request turned UTF-8, and declared so (or not declared at all).
        EXPECT_NE(reply.find("RegisterModule"), std::string::npos) << reply;
        EXPECT_EQ(reply.find("<Error"), std::string::npos) << reply;
        EXPECT_TRUE(WellFormedUTF8(reply)) << XmlCharacterProblem(reply) << "\n" << reply;
    }

    std::string reply;
    XMLNode system = IdentifyHub(reply);
    ASSERT_TRUE(WellFormedUTF8(reply)) << XmlCharacterProblem(reply) << "\n" << reply;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        const int port = 62005 + static_cast<int>(&c - cases);
        XMLNode module = ModuleOfPort(system, port);
        ASSERT_FALSE(module.isEmpty()) << reply;
        EXPECT_EQ(std::string(module.getAttribute("Name")), c.name);
    }
    // Tabs and line ends in attribute values come as references, which a reader keeps.
    EXPECT_NE(reply.find("Name=\"T&#9;a&#10;b\""), std::string::npos) << reply;

    const std::string stored = ReadFile(FindFile(m_tDevice, "Identify.xml"));
    EXPECT_TRUE(WellFormedUTF8(stored)) << XmlCharacterProblem(stored) << "\n" << stored;
    EXPECT_NE(stored.find(utf8Name), std::string::npos) << stored;
    const std::string diagnostic = Exchange(kXmlStart + "<Diagnostic V=\"a&#9;b&#13;&#10;\"/>\n");
    EXPECT_TRUE(WellFormedUTF8(diagnostic)) << diagnostic;
    EXPECT_NE(diagnostic.find("V=\"a&#9;b&#13;&#10;\""), std::string::npos) << diagnostic;
}

TEST_F(SystemDriverIdentify, ARequestOfTooManyElementsIsRefusedAndTheHubGoesOn)
{
    // 8 MiB, the longest request, of empty elements: refused by the parser's item limit, with
    // the reason in the hub's log; the hub answers the next request as ever.
    const std::string head = kXmlStart + "<Ping>";
    std::string request = head;
    request.reserve(8 << 20);
    while (request.size() + 4 + 7 <= (8u << 20))
        request += "<a/>";
    request += "</Ping>";
    EXPECT_EQ(Exchange(request), "");

    std::string reply;
    EXPECT_FALSE(IdentifyHub(reply).isEmpty()) << reply;
    std::string log;
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(m_tDevice.Dir(), ec))
    {
        if (entry.path().filename().string().find("_log.txt") != std::string::npos)
            log += ReadFile(entry.path().string());
    }
    EXPECT_NE(log.find("refused: Error: Too many elements, attributes and texts at line 3"),
              std::string::npos)
        << log;
}
