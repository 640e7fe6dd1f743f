// Network set-up of the device: DHCP client, fixed address, default routes, hardware address,
// and what the interface has now.
#include "SystemNetSetup.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "KovePlatform.h"
#include "QTXShell.h"
#include "nyDebug.h"

namespace
{
const char kDefaultInterface[] = "eth0";
const char kDhcpScript[] = "/Applications/on_udhcpc.sh";
const char kDhcpPidFile[] = "/tmp/udhcpc.pid";
const char kDhcpClient[] = "udhcpc";
// Default routes are removed one by one; a device has a handful at most.
constexpr int kMaxRouteDeletions = 16;

void SleepMs(int milliseconds)
{
    timespec rest{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR)
    {
    }
}

const char* Interface(const char* interfaceName)
{
    return interfaceName != nullptr && *interfaceName != 0 ? interfaceName : kDefaultInterface;
}

std::string Dotted(uint32_t address)
{
    char text[INET_ADDRSTRLEN] = {};
    in_addr a;
    a.s_addr = address;
    if (inet_ntop(AF_INET, &a, text, sizeof text) == nullptr)
        return "0.0.0.0";
    return text;
}

void Trace(uint32_t flag, const char* text)
{
    if (nyDebugInterfaceGlobalFlags & flag)
        nyDebugSavePrintf(flag == NYDEBUG_FLAG_ERROR ? NYDEBUG_LEVEL_ERROR : NYDEBUG_LEVEL_INFO,
                          "%s", text);
}

// True when the process is the DHCP client: its command name is "udhcpc".
bool IsDhcpClient(int pid)
{
    if (pid <= 1)
        return false;
    FILE* file = fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "r");
    if (file == nullptr)
        return false;
    char name[32] = {};
    const bool read = fgets(name, sizeof name, file) != nullptr;
    fclose(file);
    name[strcspn(name, "\n")] = 0;
    return read && strcmp(name, kDhcpClient) == 0;
}

bool ReadRouteTable(FILE*& file)
{
    file = fopen("/proc/net/route", "r");
    if (file == nullptr)
        return false;
    char header[256];
    if (fgets(header, sizeof header, file) == nullptr)
    {
        fclose(file);
        file = nullptr;
        return false;
    }
    return true;
}

struct SRoute
{
    char acInterface[64];
    unsigned long ulDestination, ulGateway;
    unsigned uFlags;
    int iRefCount, iUse, iMetric;
    unsigned long ulMask;
    int iMtu, iWindow, iIrtt;
};

bool NextRoute(FILE* file, SRoute& route)
{
    char line[512];
    while (fgets(line, sizeof line, file) != nullptr)
        if (sscanf(line, "%63s%lx%lx%X%d%d%d%lx%d%d%d", route.acInterface, &route.ulDestination,
                   &route.ulGateway, &route.uFlags, &route.iRefCount, &route.iUse, &route.iMetric,
                   &route.ulMask, &route.iMtu, &route.iWindow, &route.iIrtt) == 11)
            return true;
    return false;
}

std::string AddressList(const uint32_t* list)
{
    if (list == nullptr)
        return "no";
    std::string text;
    for (int i = 0; i < 8 && list[i] != 0; ++i)
        text += (text.empty() ? "" : " ") + Dotted(list[i]);
    return text;
}
} // namespace

bool operator==(const NetworkSettings& a, const NetworkSettings& b)
{
    return a.iMode == b.iMode && a.uAddress == b.uAddress && a.uMask == b.uMask &&
           a.uGateway == b.uGateway &&
           memcmp(a.auReserved1, b.auReserved1, sizeof a.auReserved1) == 0 &&
           a.uDnsServer == b.uDnsServer &&
           memcmp(a.auReserved2, b.auReserved2, sizeof a.auReserved2) == 0;
}

int ReadPidFile(const char* devicePath)
{
    FILE* file = fopen(PlatPath(std::string(devicePath)).c_str(), "r");
    if (file == nullptr)
        return 0;
    char text[16] = {};
    const size_t count = fread(text, 1, 15, file);
    fclose(file);
    text[count] = 0;
    long pid = 0;
    for (size_t i = 0; i < count && text[i] >= '0' && text[i] <= '9'; ++i)
    {
        pid = pid * 10 + (text[i] - '0');
        if (pid > 0x3FFFFFFF)
            return 0;
    }
    return static_cast<int>(pid);
}

int SetNetCardConfigurationEx(const NetworkSettings* active, const NetworkSettings* requested,
                              const char* hostName, const char* interfaceName)
{
    if (active == nullptr || requested == nullptr)
        return -1;
    const char* iface = Interface(interfaceName);
    puts("SetNetCardConfigurationEx is called");
    Trace(NYDEBUG_FLAG_PROGRESS, " SetNetCard_Start ");

    bool changedAll = false;
    if (requested->iMode != active->iMode)
    {
        Trace(NYDEBUG_FLAG_PROGRESS, " SetNetCard_StopDHCP ");
        StopDHCP();
        if (requested->iMode == 1)
        {
            Trace(NYDEBUG_FLAG_PROGRESS, " SetNetCard_StartDHCP ");
            StartDHCP(hostName, iface);
            return 0;
        }
        changedAll = true;
    }
    if (requested->iMode == -1)
        return -1;

    bool changeIp =
        changedAll || active->uAddress != requested->uAddress || active->uMask != requested->uMask;
    if (!changeIp && requested->iMode != 1)
    {
        // The interface may have been changed by someone else meanwhile.
        uint32_t address = 0;
        uint32_t mask = 0;
        const int status = IFInfoGetIPandMASK(iface, &address, &mask);
        if (status != 0 || address != requested->uAddress || mask != requested->uMask)
        {
            if (status != 0)
                printf("Error in IFInfoGetIPandMASK %d\n", status);
            puts("set change_ip to yes");
            changeIp = true;
        }
    }
    printf("changed_all = %s, change_ip = %s, IPs: 0x%08X 0x%08X, Masks 0x%08X 0x%08X\n",
           changedAll ? "yes" : "no", changeIp ? "yes" : "no", active->uAddress,
           requested->uAddress, active->uMask, requested->uMask);
    if (changeIp && requested->iMode != 1)
    {
        ExecuteProgram(
            {"ifconfig", iface, Dotted(requested->uAddress), "netmask", Dotted(requested->uMask)},
            true);
        changedAll = true;
    }
    if (changedAll || active->uGateway != requested->uGateway ||
        memcmp(active->auReserved1, requested->auReserved1, sizeof active->auReserved1) != 0)
    {
        // Every default route of the interface goes, a bounded number of times.
        int routes = CountDefaultRoutes(iface);
        if (routes < 1)
            routes = 1;
        for (int i = 0; i < routes && i < kMaxRouteDeletions; ++i)
            if (ExecuteProgram({"route", "del", "default", "gw", "0.0.0.0", "dev", iface}, true) !=
                0)
                break;
        if (requested->uGateway != 0)
        {
            const std::string gateway = Dotted(requested->uGateway);
            printf("New Gateway: 0x%08X: %s\n", requested->uGateway, gateway.c_str());
            ExecuteProgram({"route", "add", "default", "gw", gateway, "dev", iface}, true);
        }
    }
    fflush(stdout);
    return 0;
}

int StartDHCP(const char* hostName, const char* interfaceName)
{
    const char* iface = Interface(interfaceName);
    const std::string host = hostName != nullptr ? hostName : "";
    std::vector<std::string> command{kDhcpClient,  "-i", iface,       "-p",
                                     kDhcpPidFile, "-s", kDhcpScript, "-R"};
    if (!host.empty() && host.size() < 16)
    {
        command.push_back("-O");
        command.push_back("wins");
    }
    if (!host.empty())
        for (const char* option : {"-h", "-F"})
        {
            command.push_back(option);
            command.push_back(host);
        }
    size_t length = 0;
    std::string line;
    for (const std::string& word : command)
    {
        length += word.size() + 1;
        line += (line.empty() ? "" : " ") + word;
    }
    if (length >= 640)
        return -1;
    printf("CALL [%s]\n", line.c_str());
    fflush(stdout);
    ExecuteProgram(command, false);
    bool started = false;
    for (int i = 0; i < 80 && !started; ++i)
    {
        started = ReadPidFile(kDhcpPidFile) != 0;
        if (!started)
            SleepMs(10);
    }
    if (!started)
        Trace(NYDEBUG_FLAG_ERROR, " StartDHCP_ReadPidFile!! ");
    puts("end of ExecuteShellCommand");
    fflush(stdout);
    SleepMs(20);
    return 0;
}

void StopDHCP()
{
    const int pid = ReadPidFile(kDhcpPidFile);
    if (pid == 0)
        return;
    const std::string pidFile = PlatPath(std::string(kDhcpPidFile));
    // A stale or foreign number in the pid file must not reach another process.
    if (!IsDhcpClient(pid))
    {
        unlink(pidFile.c_str());
        return;
    }
    if (PlatKill(pid, SIGUSR2) != 0)
        Trace(NYDEBUG_FLAG_ERROR, " StopDHCP_Kill_1 ");
    SleepMs(50);
    if (PlatKill(pid, SIGKILL) != 0)
        Trace(NYDEBUG_FLAG_ERROR, " StopDHCP_Kill_2 ");
    if (unlink(pidFile.c_str()) != 0)
        Trace(NYDEBUG_FLAG_ERROR, " StopDHCP_Unlink ");
    SleepMs(500);
}

int SetNewDHCPName(const NetworkSettings* active, const char* hostName, const char* interfaceName)
{
    if (active == nullptr || hostName == nullptr || *hostName == 0)
        return 70;
    if (nyDebugInterfaceGlobalFlags & 0x10u)
        nyDebugSavePrintf(NYDEBUG_LEVEL_INFO, " SetNewDHCPName ");
    if (active->iMode != 1)
        return 0;
    StopDHCP();
    return StartDHCP(hostName, Interface(interfaceName));
}

void SetMacAddress(const uint8_t mac[6], const char* interfaceName)
{
    if (mac == nullptr)
        return;
    char address[18];
    snprintf(address, sizeof address, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2],
             mac[3], mac[4], mac[5]);
    const char* iface = Interface(interfaceName);
    printf("call [ifconfig %s hw ether %s]\n", iface, address);
    fflush(stdout);
    ExecuteProgram({"ifconfig", iface, "hw", "ether", address}, true);
}

int IFInfoGet(const char* interfaceName, uint32_t* address, uint32_t* mask, uint8_t mac[6])
{
    if (interfaceName == nullptr || *interfaceName == 0)
        return 70;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 73;
    int status = 0;
    auto ask = [&](unsigned long request, const char* what) -> ifreq
    {
        ifreq r;
        memset(&r, 0, sizeof r);
        strncpy(r.ifr_name, interfaceName, IFNAMSIZ - 1);
        if (ioctl(fd, request, &r) != 0)
        {
            if (nyDebugInterfaceGlobalFlags & NYDEBUG_FLAG_ERROR)
                nyDebugSavePrintf(NYDEBUG_LEVEL_ERROR, "%s%d", what, errno);
            status = 64;
            memset(&r.ifr_ifru, 0, sizeof r.ifr_ifru);
        }
        return r;
    };
    if (address != nullptr)
    {
        const ifreq r = ask(SIOCGIFADDR, "Error while reading ip: ");
        *address = reinterpret_cast<const sockaddr_in*>(&r.ifr_addr)->sin_addr.s_addr;
    }
    if (mask != nullptr)
    {
        const ifreq r = ask(SIOCGIFNETMASK, "Error while reading mask: ");
        *mask = reinterpret_cast<const sockaddr_in*>(&r.ifr_netmask)->sin_addr.s_addr;
    }
    if (mac != nullptr)
    {
        const ifreq r = ask(SIOCGIFHWADDR, "Error while reading mac: ");
        memcpy(mac, r.ifr_hwaddr.sa_data, 6);
    }
    close(fd);
    return status;
}

int IFInfoGetIPandMASK(const char* interfaceName, uint32_t* address, uint32_t* mask)
{
    return IFInfoGet(interfaceName, address, mask, nullptr);
}

int ReadDefaultGateway(const char* interfaceName, uint32_t* gateway)
{
    if (gateway == nullptr)
        return 70;
    *gateway = 0;
    FILE* file = fopen("/proc/net/route", "r");
    if (file == nullptr)
        return 72;
    fclose(file);
    if (!ReadRouteTable(file))
        return 79;
    SRoute route;
    while (NextRoute(file, route))
        if (interfaceName != nullptr && strcmp(route.acInterface, interfaceName) == 0 &&
            (route.uFlags & 3u) == 3u)
        {
            *gateway = static_cast<uint32_t>(route.ulGateway);
            break;
        }
    fclose(file);
    return 0;
}

int CountDefaultRoutes(const char* interfaceName)
{
    FILE* file = nullptr;
    if (interfaceName == nullptr || !ReadRouteTable(file))
        return 0;
    int count = 0;
    SRoute route;
    while (NextRoute(file, route))
        if (strcmp(route.acInterface, interfaceName) == 0 && route.ulDestination == 0 &&
            (route.uFlags & 3u) == 3u)
            ++count;
    fclose(file);
    return count;
}

int StartDHCPForInterface(const char* interfaceName, const char* hostName)
{
    if (access(PlatPath(std::string(kDhcpScript)).c_str(), X_OK) != 0)
        return 72;
    const std::string iface = Interface(interfaceName);
    const std::string pidFile = "/tmp/udhcpc_" + iface + ".pid";
    if (pidFile.size() > 51)
        return 70;
    std::vector<std::string> command{kDhcpClient, "-i",        iface, "-p", pidFile,
                                     "-s",        kDhcpScript, "-R",  "-O", "wins"};
    if (hostName != nullptr && *hostName != 0)
        for (const char* option : {"-h", "-F"})
        {
            command.push_back(option);
            command.push_back(hostName);
        }
    size_t length = 0;
    for (const std::string& word : command)
        length += word.size() + 1;
    if (length > 511)
        return 77;
    ExecuteProgram(command, false);
    return 0;
}

int StopDHCPForInterface(const char* interfaceName)
{
    if (interfaceName == nullptr || *interfaceName == 0)
        return 70;
    const std::string pidFile = "/tmp/udhcpc_" + std::string(interfaceName) + ".pid";
    const int pid = ReadPidFile(pidFile.c_str());
    unlink(PlatPath(pidFile).c_str());
    if (!IsDhcpClient(pid))
        return 64;
    PlatKill(pid, SIGTERM);
    RunInterfaceScript(interfaceName, 0, 0, nullptr, nullptr);
    return 0;
}

int RunInterfaceScript(const char* interfaceName, uint32_t address, uint32_t mask,
                       const uint32_t* routers, const uint32_t* dnsServers)
{
    const bool both = address != 0 && mask != 0;
    const std::vector<std::string> command{
        "env",
        std::string("interface=") + Interface(interfaceName),
        "ip=" + (both ? Dotted(address) : std::string()),
        "subnet=" + (both ? Dotted(mask) : std::string()),
        "broadcast=" + (both ? Dotted((address & mask) | ~mask) : std::string()),
        "router=" + AddressList(routers),
        "dns=" + AddressList(dnsServers),
        "wins=",
        PlatPath(std::string(kDhcpScript)),
        address != 0 ? "renew" : "deconfig"};
    ExecuteProgram(command, true);
    return 0;
}

int GetHostAddresses(uint8_t* list)
{
    if (list == nullptr)
        return 70;
    const int size = list[2] | list[3] << 8;
    if (size < kHostAddressListHead + kHostAddressEntrySize)
        return 70;
    const int room = (size - kHostAddressListHead) / kHostAddressEntrySize;
    char name[81] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return 73;
    // The reentrant lookup: the hub's threads may resolve names at the same time.
    hostent host;
    hostent* found = nullptr;
    int error = 0;
    std::vector<char> buffer(1024);
    int status;
    while ((status = gethostbyname_r(name, &host, buffer.data(), buffer.size(), &found, &error)) ==
               ERANGE &&
           buffer.size() < 65536)
        buffer.resize(buffer.size() * 2);
    if (status != 0 || found == nullptr)
        return 73;
    int count = 0;
    if (found->h_addrtype == AF_INET && found->h_length == 4)
        for (; found->h_addr_list[count] != nullptr && count < room && count < 255; ++count)
        {
            uint8_t* entry = list + kHostAddressListHead + count * kHostAddressEntrySize;
            memset(entry, 0, kHostAddressEntrySize);
            for (int i = 0; i < 4; ++i)
                entry[i] = static_cast<uint8_t>(kHostAddressKind >> (8 * i));
            memcpy(entry + 4, found->h_addr_list[count], 4);
        }
    list[4] = static_cast<uint8_t>(count);
    return 0;
}

int IsDhcpPidFilePresent()
{
    return access(PlatPath(std::string(kDhcpPidFile)).c_str(), F_OK) == 0 ? 0 : 7;
}
