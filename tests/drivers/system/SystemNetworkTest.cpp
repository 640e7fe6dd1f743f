// Network defaults per product, host names, the NetBIOS name file, and the host commands of the
// network set-up on a simulated device (recorded in commands.log).
#include "SystemTestSupport.h"

#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
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
} // namespace
