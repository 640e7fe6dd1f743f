// Network defaults per product, host names, the NetBIOS name file, and the host commands of the
// network set-up on a simulated device (recorded in commands.log).
#include "SystemTestSupport.h"

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
TEST(SystemNetwork, ProductTableGivesDefaultsAndNames)
{
    NetworkSettings settings;
    char interfaceName[8] = "junk";
    LookupProductNetwork(&settings, interfaceName, sizeof interfaceName, 52230010);
    EXPECT_EQ(settings.iMode, 0);
    EXPECT_EQ(settings.uAddress, inet_addr("192.168.1.1"));
    EXPECT_EQ(settings.uMask, inet_addr("255.255.255.0"));
    EXPECT_STREQ(interfaceName, "eth0");
    LookupProductNetwork(&settings, interfaceName, 4, 53400000);
    EXPECT_EQ(settings.iMode, 1);
    EXPECT_STREQ(interfaceName, "hip"); // cut to its buffer
    NetworkSettings untouched;
    LookupProductNetwork(&untouched, interfaceName, sizeof interfaceName, 12345678);
    EXPECT_EQ(untouched.iMode, -1);
    EXPECT_STREQ(interfaceName, "");

    const uint8_t mac[6] = {2, 0, 0, 0, 0xAB, 0xCD};
    const struct
    {
        int32_t order, serial;
        const uint8_t* mac;
        int result;
        const char *host, *alias;
    } cases[] = {
        {57311001, 1234, mac, 0, "DP_001234", "DPMS_ABCD"},
        {57311001, 0, mac, 0, "", "DPMS_ABCD"},
        {57311011, 12345678, nullptr, 0, "DP64_12345678", ""},
        {52230000, 1234, mac, 0, "", ""},
        {11000000, 1234, mac, -1, "", ""},
    };
    for (const auto& c : cases)
    {
        std::string host = "x", alias = "y";
        EXPECT_EQ(MakeHostNames(host, alias, c.order, c.serial, c.mac), c.result) << c.order;
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(alias, c.alias);
    }
}

TEST_F(SystemUnit, NetbiosNameFile)
{
    const struct
    {
        const char *host, *alias, *text;
    } cases[] = {
        {"DP_001234", "DPMS_ABCD", " netbios name = DP_001234\n netbios aliases = DPMS_ABCD\n"},
        {"", "DPMS_ABCD", " netbios name = DPMS_ABCD\n"},
        {"PN_000001", "", " netbios name = PN_000001\n"},
        {"", "", ""},
    };
    for (const auto& c : cases)
    {
        ASSERT_EQ(WriteNbnsConf("/tmp/nbns.conf", c.host, c.alias), 0);
        EXPECT_EQ(kovetest::ReadFile(DevicePath("/tmp/nbns.conf")), c.text);
    }
    EXPECT_EQ(WriteNbnsConf("/tmp/no/such/dir/nbns.conf", "A", ""), -1);
}

// Address texts of a configuration are read as inet_addr reads them (short forms, hexadecimal,
// and octal for a part with a leading zero). At start a stored file loads that way whatever it
// holds; a request is refused an address whose leading zeros make it read otherwise than in
// decimal, and an own address or mask that is not a dotted quad.
TEST_F(SystemUnit, AddressesReadAsInetAddrDoesAndAmbiguousOnesAreRefusedInARequest)
{
    const struct
    {
        const char* property;
        const char* text;
        const char* read;    // the word, as inet_addr reads it, in dotted form
        const char* refused; // the refusal of a request; nullptr: taken as at start
    } cases[] = {
        {"EthernetFixedIp", "010.000.000.001", "8.0.0.1",
         "\"010.000.000.001\" is ambiguous: with its leading zeros read as octal it is 8.0.0.1, "
         "in decimal 10.0.0.1; write it without leading zeros"},
        {"EthernetFixedIp", "192.168.001.009", "255.255.255.255",
         "read as octal it is no address, in decimal 192.168.1.9"},
        {"EthernetFixedIp", "192.168.000.007", "192.168.0.7", nullptr},
        {"EthernetFixedIp", "0x0A.0.0.1", "10.0.0.1", "is not an IPv4 address a.b.c.d"},
        {"EthernetFixedIp", "10.1", "10.0.0.1", "is not an IPv4 address a.b.c.d"},
        {"EthernetFixedNetworkMask", "0377.0377.0377.0", "255.255.255.0",
         "is not an IPv4 address a.b.c.d"},
        {"EthernetFixedNetworkMask", "255.255.255.000", "255.255.255.0", nullptr},
        {"EthernetFixedGateway", "010.0.0.1", "8.0.0.1", "in decimal 10.0.0.1"},
        {"EthernetFixedGateway", "0x0A000001", "10.0.0.1", nullptr},
        {"EthernetFixedDnsServer", "192.168.7", "192.168.0.7", nullptr},
        {"EthernetFixedDnsServer", "0010.0.0.1", "8.0.0.1", "in decimal 10.0.0.1"},
    };
    const char* const names[] = {"EthernetFixedIp", "EthernetFixedNetworkMask",
                                 "EthernetFixedGateway", "EthernetFixedDnsServer"};
    for (const auto& c : cases)
    {
        std::string properties = "<Property Name=\"EthernetDhcp\" Value=\"false\"/>";
        for (const char* name : names)
            properties += std::string("<Property Name=\"") + name + "\" Value=\"" +
                          (strcmp(name, c.property) == 0                   ? c.text
                           : strcmp(name, "EthernetFixedNetworkMask") == 0 ? "255.255.255.0"
                                                                           : "192.168.7.1") +
                          "\"/>";
        const std::string document =
            "<?xml version=\"1.0\"?>\n<Module Name=\"System\"><Properties>" + properties +
            "</Properties></Module>\n";
        for (const bool booting : {true, false})
        {
            SCOPED_TRACE(std::string(c.property) + " " + c.text + (booting ? " at start" : ""));
            System().tNetworkRequested = NetworkSettings();
            System().SetBooting(booting);
            System().Load(document);
            int setIndex = 0;
            const bool taken = System().ParseAndCheckConfiguration(setIndex);
            const NetworkSettings& n = System().tNetworkRequested;
            const uint32_t words[] = {n.uAddress, n.uMask, n.uGateway, n.uDnsServer};
            const size_t field = static_cast<size_t>(
                std::find_if(std::begin(names), std::end(names),
                             [&](const char* name) { return strcmp(name, c.property) == 0; }) -
                std::begin(names));
            if (booting || c.refused == nullptr)
            {
                EXPECT_TRUE(taken) << System().ReplyText();
                EXPECT_EQ(words[field], inet_addr(c.read));
                EXPECT_EQ(n.iMode, 0);
                continue;
            }
            EXPECT_FALSE(taken);
            EXPECT_EQ(n.iMode, -1);
            std::string reply = System().ReplyText();
            for (size_t at; (at = reply.find("&quot;")) != std::string::npos;)
                reply.replace(at, 6, "\"");
            EXPECT_NE(reply.find(c.refused), std::string::npos) << reply;
        }
    }
}

TEST_F(SystemUnit, NetworkSetUpRunsTheHostTools)
{
    const std::string log = DevicePath("/commands.log");
    auto commands = [&]
    {
        const std::string text = kovetest::ReadFile(log);
        std::filesystem::remove(log);
        return text;
    };
    NetworkSettings active;
    NetworkSettings requested;
    EXPECT_EQ(SetNetCardConfigurationEx(&active, &requested, "", "eth7"), -1);

    requested.iMode = 0;
    requested.uAddress = inet_addr("10.1.2.3");
    requested.uMask = inet_addr("255.255.0.0");
    ASSERT_EQ(SetNetCardConfigurationEx(&active, &requested, "", "eth7"), 0);
    EXPECT_EQ(commands(), "ifconfig eth7 10.1.2.3 netmask 255.255.0.0\n"
                          "route del default gw 0.0.0.0 dev eth7\n");
    // The same settings again: the interface does not have them (it does not exist here), so
    // they are set once more, and the routes with them.
    active = requested;
    ASSERT_EQ(SetNetCardConfigurationEx(&active, &requested, "", "eth7"), 0);
    EXPECT_EQ(commands(), "ifconfig eth7 10.1.2.3 netmask 255.255.0.0\n"
                          "route del default gw 0.0.0.0 dev eth7\n");

    // DHCP with a long host name: no WINS option.
    requested.iMode = 1;
    ASSERT_EQ(SetNetCardConfigurationEx(&active, &requested, "HOST_NAME_OF_16C", ""), 0);
    EXPECT_EQ(commands(), "udhcpc -i eth0 -p /tmp/udhcpc.pid -s /Applications/on_udhcpc.sh -R "
                          "-h HOST_NAME_OF_16C -F HOST_NAME_OF_16C\n");
    StartDHCP("DP_001234", "eth0");
    EXPECT_EQ(commands(), "udhcpc -i eth0 -p /tmp/udhcpc.pid -s /Applications/on_udhcpc.sh -R "
                          "-O wins -h DP_001234 -F DP_001234\n");
    const uint8_t mac[6] = {2, 0, 0, 0, 0xAB, 0xCD};
    SetMacAddress(mac, nullptr);
    EXPECT_EQ(commands(), "ifconfig eth0 hw ether 02:00:00:00:AB:CD\n");
}

TEST_F(SystemUnit, StopDhcpSignalsOnlyTheDhcpClient)
{
    const std::string pidFile = DevicePath("/tmp/udhcpc.pid");
    const std::string log = DevicePath("/commands.log");
    std::filesystem::create_directories(DevicePath("/tmp"));
    // Not a DHCP client: pid 1, this test, a number of nothing.
    for (const std::string& pid :
         std::vector<std::string>{"1", "0", std::to_string(getpid()), "99999999", "-5", "x"})
    {
        std::ofstream(pidFile) << pid << "\n";
        StopDHCP();
        EXPECT_EQ(kovetest::ReadFile(log), "") << pid;
    }

    // A process named udhcpc gets both signals (recorded on the simulated device).
    kovetest::CTempDir bin;
    const std::string client = bin.Path() + "/udhcpc";
    std::filesystem::copy_file("/bin/sleep", client);
    const pid_t pid = fork();
    if (pid == 0)
    {
        execl(client.c_str(), "udhcpc", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(kovetest::WaitFor(
        [&]
        { return kovetest::ReadFile("/proc/" + std::to_string(pid) + "/comm") == "udhcpc\n"; }));
    std::ofstream(pidFile) << pid << "\n";
    StopDHCP();
    EXPECT_EQ(kovetest::ReadFile(log),
              "kill -12 " + std::to_string(pid) + "\nkill -9 " + std::to_string(pid) + "\n");
    EXPECT_FALSE(std::filesystem::exists(pidFile));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// A process named udhcpc (a copy of sleep) that the per-interface functions may signal.
class CFakeDhcpClient
{
public:
    CFakeDhcpClient()
    {
        const std::string client = tBin.Path() + "/udhcpc";
        std::filesystem::copy_file("/bin/sleep", client);
        iPid = fork();
        if (iPid == 0)
        {
            execl(client.c_str(), "udhcpc", "30", static_cast<char*>(nullptr));
            _exit(127);
        }
        EXPECT_TRUE(kovetest::WaitFor(
            [&] {
                return kovetest::ReadFile("/proc/" + std::to_string(iPid) + "/comm") == "udhcpc\n";
            }));
    }
    ~CFakeDhcpClient()
    {
        kill(iPid, SIGKILL);
        waitpid(iPid, nullptr, 0);
    }
    kovetest::CTempDir tBin;
    pid_t iPid = -1;
};

// The device's DHCP script as a recorder: a line per run with its argument and the variables.
void InstallDhcpScript(const std::string& path)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << "#!/bin/sh\n"
                           "printf '%s|%s|%s|%s|%s|%s|%s|%s\\n' \"$1\" \"$interface\" \"$ip\" "
                           "\"$subnet\" \"$broadcast\" \"$router\" \"$dns\" \"$wins\" "
                           ">> \"${0%/*}/script.log\"\n";
    chmod(path.c_str(), 0755);
}

TEST_F(SystemUnit, InterfaceScriptGetsTheValuesAsTheDhcpClientGivesThem)
{
    const std::string script = DevicePath("/Applications/on_udhcpc.sh");
    const std::string log = DevicePath("/Applications/script.log");
    InstallDhcpScript(script);
    const uint32_t routers[] = {inet_addr("10.0.0.1"), inet_addr("10.0.0.2"), 0,
                                inet_addr("10.0.0.3")};
    const uint32_t dns[9] = {inet_addr("1.1.1.1"), inet_addr("1.1.1.2"), inet_addr("1.1.1.3"),
                             inet_addr("1.1.1.4"), inet_addr("1.1.1.5"), inet_addr("1.1.1.6"),
                             inet_addr("1.1.1.7"), inet_addr("1.1.1.8"), inet_addr("1.1.1.9")};
    const struct
    {
        const char* interfaceName;
        const char *address, *mask;
        const uint32_t *routers, *dns;
        const char* line;
    } cases[] = {
        {"eth1", "10.0.3.7", "255.255.254.0", routers, dns,
         "renew|eth1|10.0.3.7|255.255.254.0|10.0.3.255|10.0.0.1 10.0.0.2|1.1.1.1 1.1.1.2 1.1.1.3 "
         "1.1.1.4 1.1.1.5 1.1.1.6 1.1.1.7 1.1.1.8|"},
        // Address 0: the interface is deconfigured, with no values.
        {"eth1", "0.0.0.0", "255.255.0.0", nullptr, nullptr, "deconfig|eth1||||no|no|"},
        // An address without a mask is renewed without values; no name means eth0.
        {nullptr, "10.0.3.7", "0.0.0.0", routers + 2, nullptr, "renew|eth0|||||no|"},
    };
    for (const auto& c : cases)
    {
        std::filesystem::remove(log);
        EXPECT_EQ(RunInterfaceScript(c.interfaceName, inet_addr(c.address), inet_addr(c.mask),
                                     c.routers, c.dns),
                  0);
        EXPECT_EQ(kovetest::ReadFile(log), std::string(c.line) + "\n") << c.address;
    }
}

TEST_F(SystemUnit, DhcpClientPerInterfaceStartsAndStops)
{
    const std::string log = DevicePath("/commands.log");
    const std::string script = DevicePath("/Applications/on_udhcpc.sh");
    // Started in the background: wait for its line.
    auto started = [&]
    {
        std::string text;
        kovetest::WaitFor([&] { return !(text = kovetest::ReadFile(log)).empty(); });
        std::filesystem::remove(log);
        return text;
    };

    EXPECT_EQ(StartDHCPForInterface("eth1", "DP_1"), 72); // the script is missing
    InstallDhcpScript(script);
    EXPECT_EQ(StartDHCPForInterface("eth1", "DP_1"), 0);
    EXPECT_EQ(started(), "udhcpc -i eth1 -p /tmp/udhcpc_eth1.pid -s /Applications/on_udhcpc.sh "
                         "-R -O wins -h DP_1 -F DP_1\n");
    EXPECT_EQ(StartDHCPForInterface("eth1", nullptr), 0);
    EXPECT_EQ(started(), "udhcpc -i eth1 -p /tmp/udhcpc_eth1.pid -s /Applications/on_udhcpc.sh "
                         "-R -O wins\n");
    // The pid file name at its limit of 51 characters, and one past it.
    EXPECT_EQ(StartDHCPForInterface(std::string(35, 'i').c_str(), nullptr), 0);
    started();
    EXPECT_EQ(StartDHCPForInterface(std::string(36, 'i').c_str(), nullptr), 70);
    // The host name goes in twice: 230 characters make the command too long.
    EXPECT_EQ(StartDHCPForInterface("eth1", std::string(230, 'h').c_str()), 77);
    EXPECT_EQ(kovetest::ReadFile(log), "");

    EXPECT_EQ(StopDHCPForInterface(nullptr), 70);
    EXPECT_EQ(StopDHCPForInterface("eth1"), 64); // no pid file
    const std::string pidFile = DevicePath("/tmp/udhcpc_eth1.pid");
    std::filesystem::create_directories(DevicePath("/tmp"));
    std::ofstream(pidFile) << getpid() << "\n"; // not a DHCP client: no signal
    EXPECT_EQ(StopDHCPForInterface("eth1"), 64);
    EXPECT_EQ(kovetest::ReadFile(log), "");

    CFakeDhcpClient client;
    std::ofstream(pidFile) << client.iPid << "\n";
    EXPECT_EQ(StopDHCPForInterface("eth1"), 0);
    EXPECT_EQ(kovetest::ReadFile(log), "kill -15 " + std::to_string(client.iPid) + "\n");
    EXPECT_FALSE(std::filesystem::exists(pidFile));
    EXPECT_EQ(kovetest::ReadFile(DevicePath("/Applications/script.log")),
              "deconfig|eth1||||no|no|\n");
}

bool ReadAll(int fd, void* data, size_t size)
{
    auto* p = static_cast<char*>(data);
    while (size > 0)
    {
        const ssize_t n = read(fd, p, size);
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Runs GetHostAddresses on the list in a child with a host name of its own (a UTS namespace)
// and without network (no name server is asked). Returns the status, or -1 when no such child
// can be had.
int HostAddressesUnderName(const char* hostName, std::vector<uint8_t>& list)
{
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0)
    {
        close(pipeFds[0]);
        if (unshare(CLONE_NEWUTS | CLONE_NEWNET) != 0 &&
            unshare(CLONE_NEWUSER | CLONE_NEWUTS | CLONE_NEWNET) != 0)
            _exit(1);
        if (sethostname(hostName, strlen(hostName)) != 0)
            _exit(1);
        const int status = GetHostAddresses(list.data());
        const bool written =
            write(pipeFds[1], &status, sizeof status) == sizeof status &&
            write(pipeFds[1], list.data(), list.size()) == static_cast<ssize_t>(list.size());
        _exit(written ? 0 : 1);
    }
    close(pipeFds[1]);
    int status = -1;
    std::vector<uint8_t> result(list.size());
    const bool read = ReadAll(pipeFds[0], &status, sizeof status) &&
                      ReadAll(pipeFds[0], result.data(), result.size());
    close(pipeFds[0]);
    int exitStatus = 0;
    waitpid(pid, &exitStatus, 0);
    if (!read || !WIFEXITED(exitStatus) || WEXITSTATUS(exitStatus) != 0)
        return -1;
    list = result;
    return status;
}

TEST(SystemNetwork, HostAddressesFillTheCallersList)
{
    // A list with the given size word, the rest of it 0xEE.
    auto list = [](size_t bytes, uint16_t size)
    {
        std::vector<uint8_t> l(bytes, 0xEE);
        l[2] = static_cast<uint8_t>(size);
        l[3] = static_cast<uint8_t>(size >> 8);
        return l;
    };
    EXPECT_EQ(GetHostAddresses(nullptr), 70);
    std::vector<uint8_t> small = list(815, 815);
    EXPECT_EQ(GetHostAddresses(small.data()), 70);
    EXPECT_EQ(small, list(815, 815)); // untouched

    // Room for one entry: the bytes past it stay as they were.
    std::vector<uint8_t> one = list(8 + 808 + 100, 8 + 808 + 100);
    const int status = HostAddressesUnderName("localhost", one);
    if (status == -1)
        GTEST_SKIP() << "no UTS and network namespace for a host name of its own";
    ASSERT_EQ(status, 0);
    EXPECT_EQ(one[4], 1);
    std::vector<uint8_t> entry(808, 0);
    entry[1] = 0x30; // kind 12288, little-endian
    entry[4] = 127;
    entry[7] = 1;
    EXPECT_EQ(std::vector<uint8_t>(one.begin() + 8, one.begin() + 816), entry);
    EXPECT_EQ(std::vector<uint8_t>(one.begin() + 816, one.end()), std::vector<uint8_t>(100, 0xEE));

    // A name nobody knows (where the resolver does not answer for the own host name itself).
    if (kovetest::ReadFile("/etc/nsswitch.conf").find("myhostname") != std::string::npos)
        return;
    std::vector<uint8_t> unknown = list(8 + 808, 8 + 808);
    EXPECT_EQ(HostAddressesUnderName("kove-no-such-host.invalid", unknown), 73);
}
} // namespace
