// The hub's network, seen from outside: systemdriver on a simulated device with an EEPROM image
// of a product with network defaults (ordering number 57.311001, host name DP_<serial>, alias
// DPMS_<MAC>). Settings of a configuration become host commands in commands.log; the NetBIOS
// responder answers queries for the host name on UDP 137; module versions are checked against
// the compatibility list.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "KoveTestSupport.h"
#include "NbnsEasy.h"
#include "RequestClient.h"

using namespace kovetest;

namespace
{
const std::string kHead = "<?xml version=\"1.0\"?>\n";

std::string Eeprom()
{
    std::string image(512 + 510, '\xFF');
    std::fill(image.begin(), image.begin() + 512, '\0');
    image.replace(16, 6, "001234");
    image.replace(32, 9, "qorKOVE-D");
    image.replace(64, 9, "57.311001");
    image.replace(144, 6, std::string("\x02\x00\x00\x00\xAB\xCD", 6));
    return image;
}

std::string Configuration(const std::string& properties)
{
    return kHead + "<Module Name=\"System\"><Properties>" + properties + "</Properties></Module>";
}

std::string Property(const char* name, const char* value)
{
    return std::string("<Property Name=\"") + name + "\" Value=\"" + value + "\"/>";
}

class SystemDriverNetwork : public testing::Test
{
protected:
    void StartHub()
    {
        const std::string directory = tDevice.Path("/Applications/tmp/Driver/systemdriver");
        std::filesystem::create_directories(directory);
        std::ofstream(directory + "/EEProm.bin", std::ios::binary) << Eeprom();
        pHub = std::make_unique<CTestProcess>(tDevice, "systemdriver");
        ASSERT_TRUE(pHub->WaitForPort(62000)) << pHub->Output();
    }

    CReply Request(const std::string& request)
    {
        return SendRequest(62000, request, tDevice.Dir() + "/reply.xml");
    }

    std::string Commands() const { return ReadFile(tDevice.Path("/commands.log")); }

    CSimDevice tDevice;
    std::unique_ptr<CTestProcess> pHub;
};

TEST_F(SystemDriverNetwork, FixedAndDhcpSettingsBecomeHostCommands)
{
    StartHub();
    CReply reply = Request(Configuration(
        Property("EthernetDhcp", "False") + Property("EthernetFixedIp", "192.168.7.20") +
        Property("EthernetFixedNetworkMask", "255.255.255.0") +
        Property("EthernetFixedGateway", "192.168.7.1") +
        Property("EthernetFixedDnsServer", "192.168.7.1")));
    EXPECT_FALSE(reply.Has("<Error")) << reply.sText;
    EXPECT_NE(Commands().find("ifconfig eth0 192.168.7.20 netmask 255.255.255.0\n"
                              "route del default gw 0.0.0.0 dev eth0\n"
                              "route add default gw 192.168.7.1 dev eth0\n"),
              std::string::npos)
        << Commands();
    // The applied configuration is stored in flash.
    EXPECT_EQ(ReadFile(tDevice.Path("/dev/mtd_data")).substr(0, 4), "KCFG");

    reply = Request(Configuration(Property("EthernetDhcp", "TRUE")));
    EXPECT_FALSE(reply.Has("<Error")) << reply.sText;
    // The configuration path gives the DHCP client no host name.
    EXPECT_NE(Commands().find("udhcpc -i eth0 -p /tmp/udhcpc.pid -s /Applications/on_udhcpc.sh "
                              "-R\n"),
              std::string::npos)
        << Commands();

    // Refused values change nothing.
    const std::string before = Commands();
    const struct
    {
        std::string properties;
        const char* property;
    } refused[] = {
        {Property("EthernetDhcp", "yes"), "EthernetDhcp"},
        {Property("EthernetDhcp", "false") + Property("EthernetFixedIp", "192.168.7") +
             Property("EthernetFixedNetworkMask", "255.255.255.0") +
             Property("EthernetFixedGateway", "192.168.7.1") +
             Property("EthernetFixedDnsServer", "192.168.7.1"),
         "EthernetFixedIp"},
        {Property("EthernetDhcp", "false") + Property("EthernetFixedIp", "192.168.7.20") +
             Property("EthernetFixedNetworkMask", "mask") +
             Property("EthernetFixedGateway", "192.168.7.1") +
             Property("EthernetFixedDnsServer", "192.168.7.1"),
         "EthernetFixedNetworkMask"},
        {Property("EthernetDhcp", "false") + Property("EthernetFixedIp", "0.0.0.0") +
             Property("EthernetFixedNetworkMask", "255.255.255.0") +
             Property("EthernetFixedGateway", "192.168.7.1") +
             Property("EthernetFixedDnsServer", "192.168.7.1"),
         "EthernetFixedIp"},
        {Property("EthernetDhcp", "false") + Property("EthernetFixedIp", "192.168.7.20"),
         "EthernetFixedNetworkMask"},
    };
    for (const auto& c : refused)
    {
        SCOPED_TRACE(c.properties);
        reply = Request(Configuration(c.properties));
        EXPECT_TRUE(reply.Has("Name=\"PropertyError\"")) << reply.sText;
        const size_t property = reply.sText.find(std::string("Name=\"") + c.property + "\"");
        ASSERT_NE(property, std::string::npos) << reply.sText;
        const size_t end = reply.sText.find("/>", property);
        EXPECT_NE(reply.sText.substr(property, end - property).find("Error="), std::string::npos)
            << reply.sText;
    }
    EXPECT_EQ(Commands(), before);
}

// The gateway and the DNS server take any text: one that is no address is the word 0xFFFFFFFF.
// A stored configuration loads at start as it was accepted, even one with an address text that
// a request is refused for now: it never gives way to the factory defaults for that.
TEST_F(SystemDriverNetwork, AddressTextsThatAreNoAddressesAreTakenAndSurviveARestart)
{
    StartHub();
    CReply reply = Request(Configuration(Property("EthernetDhcp", "false") +
                                         Property("EthernetFixedIp", "192.168.7.20") +
                                         Property("EthernetFixedNetworkMask", "255.255.255.0") +
                                         Property("EthernetFixedGateway", "gateway") +
                                         Property("EthernetFixedDnsServer", "name.server")));
    EXPECT_FALSE(reply.Has("<Error")) << reply.sText;
    EXPECT_NE(Commands().find("ifconfig eth0 192.168.7.20 netmask 255.255.255.0\n"
                              "route del default gw 0.0.0.0 dev eth0\n"
                              "route add default gw 255.255.255.255 dev eth0\n"),
              std::string::npos)
        << Commands();

    const auto stop = [this]
    {
        pHub->Signal(SIGTERM);
        pHub->WaitExit();
        pHub.reset();
        std::filesystem::remove(tDevice.Path("/commands.log"));
    };
    // Applied again after a restart: the configuration came through, not the defaults.
    stop();
    StartHub();
    EXPECT_NE(Commands().find("ifconfig eth0 192.168.7.20 netmask 255.255.255.0\n"),
              std::string::npos)
        << Commands() << pHub->Output();
    EXPECT_EQ(Commands().find("udhcpc"), std::string::npos) << Commands();

    // A configuration stored with a short address form (taken as inet_addr reads it) loads
    // too, with the flash erased so that the stored file is what the hub finds.
    std::string stored;
    for (const auto& entry : std::filesystem::directory_iterator(
             tDevice.Path("/Applications/tmp/Driver/Configuration")))
        if (entry.path().filename().string().rfind("Config_62000_", 0) == 0)
            stored = entry.path().string();
    ASSERT_FALSE(stored.empty());
    stop();
    std::string text = ReadFile(stored);
    const size_t at = text.find("192.168.7.20");
    ASSERT_NE(at, std::string::npos) << text;
    std::ofstream(stored, std::ios::binary) << text.replace(at, 12, "192.168.7");
    std::fstream flash(tDevice.Path("/dev/mtd_data"),
                       std::ios::binary | std::ios::in | std::ios::out);
    flash.write("\xFF\xFF\xFF\xFF", 4);
    flash.close();
    StartHub();
    EXPECT_NE(Commands().find("ifconfig eth0 192.168.0.7 netmask 255.255.255.0\n"
                              "route del default gw 0.0.0.0 dev eth0\n"
                              "route add default gw 255.255.255.255 dev eth0\n"),
              std::string::npos)
        << Commands() << pHub->Output();
    EXPECT_NE(ReadFile(stored).find("192.168.7\""), std::string::npos) << ReadFile(stored);
}

TEST_F(SystemDriverNetwork, StartupModeSetsTheMacAddressAndWritesTheNetbiosNames)
{
    const std::string directory = tDevice.Path("/Applications/tmp/Driver/systemdriver");
    std::filesystem::create_directories(directory);
    std::ofstream(directory + "/EEProm.bin", std::ios::binary) << Eeprom();
    CTestProcess hub(tDevice, "systemdriver", {"-Startup=" + tDevice.Path("/name")});
    hub.WaitExit();
    EXPECT_EQ(ReadFile(tDevice.Path("/name")), "qorKOVE-D\n");
    EXPECT_NE(Commands().find("ifconfig eth0 hw ether 02:00:00:00:AB:CD\n"), std::string::npos)
        << Commands() << hub.Output();
    EXPECT_EQ(ReadFile(tDevice.Path("/tmp/nbns.conf")),
              " netbios name = DP_001234\n netbios aliases = DPMS_ABCD\n");
}

TEST_F(SystemDriverNetwork, IncompatibleModuleVersionIsMarked)
{
    std::filesystem::create_directories(tDevice.Path("/tmp"));
    std::ofstream(tDevice.Path("/tmp/Compatibility.xml"))
        << "<Compatibility><OverallRelease><Version>3</Version><SubVersion>4</SubVersion>"
           "<Build>5</Build></OverallRelease><Modules><Module><Name>AI</Name>"
           "<Version>v1.0.0</Version></Module></Modules></Compatibility>\n";
    StartHub();
    Request(kHead + "<RegisterModule Name=\"AI:62103*12.345678#42+01,v2.0.0!0x1\"/>");
    Request(kHead + "<RegisterModule Name=\"AI:62104*12.345678#43+01,v1.0.0!0x1\"/>");
    const std::string identify = Request(kHead + "<Identify/>").sText;
    EXPECT_NE(identify.find("<VersionSW Status=\"NeedsUpdate\">v2.0.0</VersionSW>"),
              std::string::npos)
        << identify;
    EXPECT_NE(identify.find("<VersionSW Status=\"OK\">v1.0.0</VersionSW>"), std::string::npos)
        << identify;
    EXPECT_NE(identify.find("<VersionSW Status=\"OK\">v3.4.5</VersionSW>"), std::string::npos)
        << identify;
}

// A UDP socket bound to the interface, as a PC on that network would send from.
int NetbiosClient()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, "eth0", 4);
    return fd;
}

std::vector<uint8_t> Query(const char* name, uint8_t id)
{
    std::vector<uint8_t> q(50, 0);
    q[0] = 0x12;
    q[1] = id;
    q[2] = 0x01;
    q[3] = 0x10;
    q[5] = 1;
    q[12] = 0x20;
    NbnsEncodeName(name, 0, q.data() + 13);
    q[47] = 0x20;
    q[49] = 1;
    return q;
}

TEST_F(SystemDriverNetwork, NetbiosQueryForTheHostNameIsAnswered)
{
    if (RunCommand({"/usr/bin/env", "ip", "link", "add", "eth0", "type", "veth", "peer", "name",
                    "eth0peer"}) != 0 ||
        RunCommand({"/usr/bin/env", "ip", "addr", "add", "10.9.8.7/24", "dev", "eth0"}) != 0 ||
        RunCommand({"/usr/bin/env", "ip", "link", "set", "eth0", "up"}) != 0 ||
        RunCommand({"/usr/bin/env", "ip", "link", "set", "eth0peer", "up"}) != 0)
        GTEST_SKIP() << "no interface eth0 can be made in this network namespace";
    StartHub();
    const int fd = NetbiosClient();
    sockaddr_in hub{};
    hub.sin_family = AF_INET;
    hub.sin_port = htons(137);
    hub.sin_addr.s_addr = inet_addr("10.9.8.7");
    // A foreign name and then the host name: the first answer is the host name's.
    std::vector<uint8_t> answer(100);
    ssize_t received = 0;
    for (int attempt = 0; attempt < 100 && received <= 0; ++attempt)
    {
        for (const auto& q : {Query("OTHERNAME", 1), Query("dp_001234", 2)})
            sendto(fd, q.data(), q.size(), 0, reinterpret_cast<sockaddr*>(&hub), sizeof hub);
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) == 1)
            received = recv(fd, answer.data(), answer.size(), 0);
    }
    ASSERT_EQ(received, 62) << pHub->Output();

    // An empty datagram is no query: the query right behind it, sent once, is answered (answers
    // to the repeated queries above may still come first).
    const std::vector<uint8_t> query = Query("DP_001234", 3);
    sendto(fd, "", 0, 0, reinterpret_cast<sockaddr*>(&hub), sizeof hub);
    sendto(fd, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&hub), sizeof hub);
    std::vector<uint8_t> next(100);
    bool answered = false;
    pollfd p{fd, POLLIN, 0};
    while (!answered && poll(&p, 1, 5000) == 1)
        answered = recv(fd, next.data(), next.size(), 0) == 62 && next[1] == 3;
    close(fd);
    EXPECT_TRUE(answered) << pHub->Output();
    uint8_t expected[62] = {0x12, 2, 0x84, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0x20};
    NbnsEncodeName("DP_001234", 0, expected + 13);
    const uint8_t tail[] = {0, 0, 0x20, 0, 1, 0, 0, 0, 180, 0, 6, 0, 0, 10, 9, 8, 7};
    memcpy(expected + 45, tail, sizeof tail);
    EXPECT_EQ(std::vector<uint8_t>(answer.begin(), answer.begin() + 62),
              std::vector<uint8_t>(expected, expected + 62));
}
} // namespace
