// The PROFINET sniffer driver seen from outside: pndriver on a simulated bus-monitor device,
// slot 1 (port 62101), with a fake hub on 62000. Start and registration, refusal on another
// hardware family, the controller's states, the monitor port and the bus test over a veth pair
// standing for "eth0" and "eth1", and the orderly end.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <memory>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "FakeHub.h"
#include "KoveTestSupport.h"
#include "RequestClient.h"
#include "QTXCommunication.h"
#include "QTXXml.h"

using namespace kovetest;

namespace
{
// False where link states cannot be read at all: qemu-user, which runs the ARM build here,
// does not pass SIOCETHTOOL to the kernel.
bool LinkStatesReadable()
{
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return false;
    struct ifreq request;
    memset(&request, 0, sizeof request);
    strcpy(request.ifr_name, "lo");
    struct ethtool_value value = {ETHTOOL_GLINK, 0};
    request.ifr_data = reinterpret_cast<char*>(&value);
    const bool readable = ioctl(sock, SIOCETHTOOL, &request) == 0 || errno != ENOSYS;
    close(sock);
    return readable;
}

const std::string kHead = "<?xml version=\"1.0\"?>\n";
constexpr int kPnPort = 62101;
// Address switch 3 (switch 2 in bits 0-3 of the hex word): a valid address.
const std::string kUserConfig = ";hex=0x3;SamplingPeriodInUs=10;";

bool ExitedWith(int status, int code)
{
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

std::string IpTool()
{
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (access(path, X_OK) == 0)
            return path;
    return "";
}

// "ip <arguments>" in the test's network namespace; true when it worked.
bool Ip(const std::vector<std::string>& arguments)
{
    std::vector<std::string> argv{IpTool()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return !argv[0].empty() && RunCommand(argv) == 0;
}

class PnDriver : public testing::Test
{
protected:
    explicit PnDriver(const std::string& family = "PNA") : tDevice({"--family", family})
    {
        tHub.SetReply("GetUserConfig",
                      sXmlStart + "<GetUserConfig Value=\"" + kUserConfig + "\" />\n");
    }

    void SetUp() override { ASSERT_TRUE(tHub.Start()); }

    void Start()
    {
        pDriver = std::make_unique<CTestProcess>(tDevice, "pndriver");
        ASSERT_TRUE(pDriver->WaitForPort(kPnPort)) << pDriver->Output();
        ASSERT_TRUE(tHub.WaitForRequests("RegisterModule", 1)) << pDriver->Output();
    }

    // A veth pair for the two ports, both ends up; false (with the reason) when it cannot be
    // made here.
    bool MakePorts(std::string& why)
    {
        if (IpTool().empty())
            why = "no ip tool";
        else if (!Ip({"link", "add", "eth0", "type", "veth", "peer", "name", "eth1"}))
            why = "ip link add ... type veth failed";
        else if (!Ip({"link", "set", "eth0", "up"}) || !Ip({"link", "set", "eth1", "up"}))
            why = "cannot bring the veth pair up";
        return why.empty();
    }

    CReply Request(const std::string& request)
    {
        return SendRequest(kPnPort, request, tDevice.Dir() + "/reply.xml");
    }

    CReply Factory(const std::string& attributes)
    {
        return Request(kHead + "<KoveFactory " + attributes + " />");
    }

    std::string Log() const
    {
        return ReadFile(tDevice.Path("/Applications/tmp/Driver/log/Slot62101_log.txt"));
    }

    std::string Controller() const { return tDevice.Tool("pndrv"); }
    std::string ControllerRequests() const { return ReadFile(tDevice.Dir() + "/dev/pndrv.log"); }

    uint32_t Peek(const std::string& address) const
    {
        return static_cast<uint32_t>(std::stoul(tDevice.Tool("peek", {address}), nullptr, 16));
    }

    std::string Mii(const std::string& port, int phy, int reg) const
    {
        std::string value = tDevice.Tool("mii", {port, std::to_string(phy), std::to_string(reg)});
        return value.substr(0, value.find('\n'));
    }

    // EndDriver ends the driver in order: reply, exit status 0, every thread stopped.
    void EndDriver()
    {
        const CReply reply = Request(
            kHead +
            "<Debug><Properties><Property Name=\"EndDriver\" Value=\"\"/></Properties></Debug>");
        EXPECT_TRUE(reply.Has("Name=\"UserBreak\"")) << reply.sText;
        EXPECT_TRUE(ExitedWith(pDriver->WaitExit(), 0)) << pDriver->Output();
    }

    CSimDevice tDevice;
    CFakeHub tHub;
    std::unique_ptr<CTestProcess> pDriver;
};

class PnDriverOnEip : public PnDriver
{
protected:
    PnDriverOnEip() : PnDriver("EIP") {}
};

class PnDriverOnKv8 : public PnDriver
{
protected:
    PnDriverOnKv8() : PnDriver("KV8") {}
};

void ExpectStartedAndRegistered(CFakeHub& hub, const std::string& log, const std::string& directory)
{
    const std::vector<CHubRequest> registrations = hub.Requests("RegisterModule");
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_EQ(registrations[0].Attribute("Name").rfind("qorQB-PN:62101", 0), 0u)
        << registrations[0].sDocument;
    EXPECT_EQ(hub.Count("SetModuleError"), 0) << log;
    // Both factory-default files: the 16-byte head and a configuration header of type 1.
    for (const char* name : {"FactoryDefault.xml", "FactoryDefault_1.xml"})
    {
        const std::string file = ReadFile(directory + name);
        ASSERT_EQ(file.size(), 344u) << name;
        EXPECT_EQ(file.compare(0, 6, std::string("<?bin", 6)), 0);
        EXPECT_EQ(file[16 + 2], 1);
    }
}

TEST_F(PnDriver, StartsOnTheBusMonitorDeviceRegistersAsSlot1AndEndsInOrder)
{
    Start();
    ExpectStartedAndRegistered(tHub, Log(), tDevice.Path("/Applications/tmp/Driver/pndriver/"));
    // No sniffer reset while booting.
    EXPECT_EQ(ControllerRequests().find("0xC0046926"), std::string::npos) << ControllerRequests();
    EndDriver();
    EXPECT_TRUE(tHub.WaitForRequests("RemoveModule", 1));
    EXPECT_NE(Log().find("Monitor-port thread stopped"), std::string::npos) << Log();
    EXPECT_EQ(Log().find("still"), std::string::npos) << Log();
}

TEST_F(PnDriverOnEip, StartsOnTheOtherBusMonitorFamily)
{
    Start();
    ExpectStartedAndRegistered(tHub, Log(), tDevice.Path("/Applications/tmp/Driver/pndriver/"));
    pDriver->Signal(SIGTERM);
    EXPECT_TRUE(ExitedWith(pDriver->WaitExit(), 255)) << pDriver->Output();
    EXPECT_TRUE(tHub.WaitForRequests("RemoveModule", 1));
    EXPECT_NE(Log().find("Monitor-port thread stopped"), std::string::npos) << Log();
}

TEST_F(PnDriverOnKv8, RefusesToRunOnAnotherFamily)
{
    CTestProcess driver(tDevice, "pndriver");
    EXPECT_TRUE(ExitedWith(driver.WaitExit(), 1)) << driver.Output();
    ASSERT_TRUE(tHub.WaitForRequests("SetModuleError", 1));
    const std::string error = tHub.Requests("SetModuleError")[0].Attribute("Error");
    EXPECT_EQ(error, "HardwareError: qorQB-PN FPGA not found: Read 0x38564B") << error;
    EXPECT_NE(ReadFile(tDevice.Path("/tmp/Update/Event.log"))
                  .find("qorQB-PN] FPGA not found: Read 0x38564B"),
              std::string::npos)
        << ReadFile(tDevice.Path("/tmp/Update/Event.log"));
    EXPECT_EQ(tHub.Count("RegisterModule"), 0);
}

TEST_F(PnDriver, FollowsTheAddressSwitch)
{
    Start();
    // Address switch 0 is invalid: one module error, not repeated; a valid one clears it.
    const auto userConfig = [&](const std::string& hex) {
        return Request(kHead + "<SetUserConfig Value=\";hex=" + hex +
                       ";SamplingPeriodInUs=10;\" />");
    };
    userConfig("0x10");
    userConfig("0x20");
    ASSERT_TRUE(tHub.WaitForRequests("SetModuleError", 1));
    EXPECT_EQ(tHub.Requests("SetModuleError")[0].Attribute("Error"),
              "Addr Hex Switches Setting is invalid:  Addr:0");
    userConfig("0x5");
    ASSERT_TRUE(tHub.WaitForRequests("ClearModuleError", 1));
    EXPECT_EQ(tHub.Count("SetModuleError"), 1);
    EXPECT_EQ(tHub.Count("ClearModuleError"), 1);
}

TEST_F(PnDriver, ControllerFollowsFactorySettingsAndFactoryMode)
{
    Start();
    EXPECT_NE(Controller().find("sniffer=off\n"), std::string::npos) << Controller();

    // Factory settings reset the sniffer to its defaults.
    Request(kHead + "<FactorySettings />");
    EXPECT_NE(Controller().find("sniffer=default\n"), std::string::npos) << Controller();
    EXPECT_NE(Controller().find("last-reset=35\n"), std::string::npos) << Controller();
    EXPECT_NE(ControllerRequests().find("0xC0046926 35\n"), std::string::npos);

    // A controller that refuses the reset: the driver says so in its log and goes on.
    tDevice.Tool("pndrv", {"fail=26"});
    Request(kHead + "<FactorySettings />");
    EXPECT_NE(Log().find("Can not reset the sniffer to its defaults"), std::string::npos) << Log();
    EXPECT_NE(Controller().find("resets=1\n"), std::string::npos) << Controller();

    // Factory mode: service port at 100 Mbit, the monitor-port thread stopped, the controller
    // in its factory mode.
    CReply reply = Factory("FactoryMode=\"true\"");
    EXPECT_TRUE(reply.Has("FactoryMode=\"Done\"")) << reply.sText;
    EXPECT_NE(Controller().find("factory-mode=0\n"), std::string::npos) << Controller();
    EXPECT_NE(Log().find("Monitor-port thread stopped"), std::string::npos) << Log();
    EXPECT_EQ(Mii("eth1", 1, 9), "0x0000");
    EXPECT_EQ(Mii("eth1", 1, 0), "0x1300");

    // A second factory mode finds the thread stopped and stops nothing twice.
    reply = Factory("FactoryMode=\"1\"");
    EXPECT_TRUE(reply.Has("FactoryMode=\"Done\"")) << reply.sText;
    EndDriver();
}

TEST_F(PnDriver, MonitorPortSwitchesForwardingWithItsLink)
{
    if (!LinkStatesReadable())
        GTEST_SKIP() << "link states cannot be read here (SIOCETHTOOL not implemented)";
    std::string why;
    if (!MakePorts(why))
        GTEST_SKIP() << "no veth pair for eth0 and eth1 in this namespace: " << why;
    Start();
    // Link up and PHY ready: forwarding on.
    ASSERT_TRUE(WaitFor([&] { return (Peek("0x2004") & 0xC000) == 0x8000; })) << Peek("0x2004");
    // Link down: forwarding off, the addresses prepared and the PHY initialised once.
    ASSERT_TRUE(Ip({"link", "set", "eth0", "down"}));
    ASSERT_TRUE(WaitFor([&] { return (Peek("0x2004") & 0xC000) == 0x4000; })) << Peek("0x2004");
    ASSERT_TRUE(WaitFor([&] { return Mii("eth1", 0xF2, 4) == "0x0041"; }));
    EXPECT_NE(ReadFile(tDevice.Dir() + "/commands.log").find("ifconfig eth1 hw ether"),
              std::string::npos);
    // A PHY that does not report ready keeps forwarding off when the link comes back.
    tDevice.Tool("mii", {"eth1", "2", "10", "0"});
    ASSERT_TRUE(Ip({"link", "set", "eth0", "up"}));
    usleep(1200000); // two periods of the monitor-port thread
    EXPECT_EQ(Peek("0x2004") & 0xC000, 0x4000u);
    EndDriver();
}

TEST_F(PnDriver, BusTestPassesOverTheVethPairAndFailsWithOneEndDown)
{
    std::string why;
    if (!MakePorts(why))
        GTEST_SKIP() << "no veth pair for eth0 and eth1 in this namespace: " << why;
    Start();
    CReply reply = Factory("BusTest=\"true\"");
    EXPECT_TRUE(reply.Has("BusTest=\"Done\"")) << reply.sText << pDriver->Output();
    EXPECT_FALSE(reply.Has("Failed")) << reply.sText;
    // Both test frames went through the FPGA's capture ring.
    EXPECT_EQ(Peek("0x3024"), 64u);

    // Buffers that do not begin at a page: the mapping still covers what is read.
    tDevice.Tool("poke", {"0x3010", "0x30100FE0"});
    tDevice.Tool("poke", {"0x3000", "0x30000040"});
    reply = Factory("BusTest=\"true\"");
    EXPECT_TRUE(reply.Has("BusTest=\"Done\"")) << reply.sText;

    ASSERT_TRUE(Ip({"link", "set", "eth0", "down"}));
    reply = Factory("BusTest=\"true\"");
    EXPECT_FALSE(reply.Has("BusTest=\"Done\"")) << reply.sText;
    EXPECT_TRUE(reply.Has("Failed")) << reply.sText;
    EXPECT_TRUE(reply.Has("Error: Monitor port is not ready!")) << reply.sText;

    // An FPGA without the frame capture fails with its version.
    tDevice.Tool("poke", {"4", "0x01060063"});
    reply = Factory("BusTest=\"true\"");
    EXPECT_TRUE(reply.Has("fpgaVersion 0x01060063 is not ok!")) << reply.sText;
    EndDriver();
}
} // namespace
