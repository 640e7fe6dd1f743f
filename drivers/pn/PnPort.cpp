// PHY and port management of the bus-monitor variant: MII, forwarding, the interfaces' hardware
// addresses and the monitor-port thread.
#include "PnPort.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <linux/ethtool.h>
#include <linux/mii.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Cdi.h"
#include "KovePlatform.h"
#include "QTXBinConfig.h"
#include "nyDebug.h"

#define PN_TRACE(...) nyDebugSavePrintf(NYDEBUG_LEVEL_INFO, __VA_ARGS__)

const char* const PN_SERVICE_PORT = "eth0";
const char* const PN_MONITOR_PORT = "eth1";

namespace
{
constexpr int kPeriodMs = 500;
constexpr int kCommandBufferSize = 512;
constexpr int kCommandTooLong = 77;
constexpr uint32_t kFpgaIdPna = 0x414E50;
constexpr uint32_t kFpgaIdEip = 0x504945;
constexpr int kInitPhyAddress = 0xF2;
constexpr int kServicePhy = 1;
constexpr int kMonitorPhy = 2;
constexpr int kMonitorReadyRegister = 10;
constexpr int kMonitorReadyBit = 0x2000;
// WaitInterfaceStable: checks 250 ms apart, two ready ones in a row, four retries.
constexpr int kStableCheckMs = 250;
constexpr int kStableChecks = 2;
constexpr int kStableRetries = 4;

// The MII request record: the interface name and the MII request. Used by the monitor-port
// thread and, after it has been stopped, by the factory mode.
struct ifreq tMiiRequest = PnInterfaceRequest("eth1");
// 1: the standard MII requests; 0: the older private ones.
int iMiiStyle = 1;

// The status byte, guarded by its own lock. The lock lives as long as the process, since the
// diagnostic servers may read the byte whether the thread runs or not.
pthread_mutex_t tStatusMutex;
uint8_t ucMonitorPortStatus = 0;

// The thread, its run word (1 run, 2 stop) and the wake-up of its wait, all under tRunMutex.
pthread_mutex_t tRunMutex;
pthread_cond_t tRunCondition;
int iMonitorPortRun = 2;
pthread_t tMonitorThread;
bool bMonitorThreadValid = false;
// Serialises starting and stopping.
pthread_mutex_t tStartStopMutex;
pthread_once_t tLocksOnce = PTHREAD_ONCE_INIT;

void CreateLock(pthread_mutex_t* mutex)
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    if (pthread_mutex_init(mutex, &attributes) != 0)
        pthread_mutex_init(mutex, nullptr);
    pthread_mutexattr_destroy(&attributes);
}

void CreateLocks()
{
    CreateLock(&tStatusMutex);
    CreateLock(&tRunMutex);
    CreateLock(&tStartStopMutex);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&tRunCondition, &attributes);
    pthread_condattr_destroy(&attributes);
}

// Waits one period; false when the thread is to stop.
bool WaitPeriod(int milliseconds)
{
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += milliseconds / 1000;
    until.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L)
    {
        until.tv_nsec -= 1000000000L;
        ++until.tv_sec;
    }
    pthread_mutex_lock(&tRunMutex);
    while (iMonitorPortRun == 1 &&
           pthread_cond_timedwait(&tRunCondition, &tRunMutex, &until) != ETIMEDOUT)
    {
    }
    const bool run = iMonitorPortRun == 1;
    pthread_mutex_unlock(&tRunMutex);
    return run;
}

bool KeepRunning()
{
    pthread_mutex_lock(&tRunMutex);
    const bool run = iMonitorPortRun == 1;
    pthread_mutex_unlock(&tRunMutex);
    return run;
}

struct mii_ioctl_data* MiiData()
{
    return reinterpret_cast<struct mii_ioctl_data*>(&tMiiRequest.ifr_ifru);
}

// Runs one command built in a buffer of the device's size; kCommandTooLong when it would not
// fit.
int RunCommand(const char* format, const char* name, const uint8_t* mac = nullptr)
{
    char command[kCommandBufferSize];
    const int length = mac ? snprintf(command, sizeof command, format, name, mac[0], mac[1], mac[2],
                                      mac[3], mac[4], mac[5])
                           : snprintf(command, sizeof command, format, name);
    if (length < 0 || length >= kCommandBufferSize - 1)
    {
        PN_TRACE("SetMacAddressBuff!! ");
        return kCommandTooLong;
    }
    PN_TRACE("system(%s)\n", command);
    PlatSystem(command);
    return 0;
}

void* MonitorPortThread(void*)
{
    PN_TRACE("phytool: MonitorPortThread started!\n");
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
    {
        PN_TRACE("phytool_ERROR: socket\n");
        return nullptr;
    }
    strncpy(tMiiRequest.ifr_name, PN_MONITOR_PORT, IFNAMSIZ - 1);
    MiiData()->phy_id = 0;
    if (PlatIoctl(sock, SIOCGMIIPHY, &tMiiRequest) >= 0)
        iMiiStyle = 1;
    else if (PlatIoctl(sock, SIOCDEVPRIVATE, &tMiiRequest) >= 0)
        iMiiStyle = 0;
    else
    {
        PN_TRACE("phytool: SIOCGMIIPHY on %s failed: %s\n", tMiiRequest.ifr_name, strerror(errno));
        close(sock);
        return nullptr;
    }

    bool firstTime = true;
    while (KeepRunning())
    {
        const int link = detect_link_ethtool(sock);
        const bool ready = MonitorPhyReady(sock);
        if (link == 0)
        {
            if (firstTime)
            {
                uint8_t service[6];
                uint8_t monitor[6];
                PrepareMacs(service, monitor);
                InitPhy(sock);
                firstTime = false;
            }
            DisableForwarding();
        }
        else if (link == 1)
        {
            if (ready)
                EnableForwarding();
        }
        else
        {
            PN_TRACE("phytool: detect_link_ethtool reported error!\n");
        }
        SetMonitorPortStatus((link != 0 ? PN_MONITOR_LINK : 0) | (ready ? PN_MONITOR_READY : 0));
        if (!WaitPeriod(kPeriodMs))
            break;
    }
    close(sock);
    PN_TRACE("phytool: MonitorPortThread ended!\n");
    return nullptr;
}
} // namespace

void PnSleepMs(int milliseconds)
{
    struct timespec rest = {milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR)
    {
    }
}

struct ifreq PnInterfaceRequest(const char* name)
{
    struct ifreq request;
    memset(&request, 0, sizeof request);
    strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    return request;
}

uint32_t ReadCdiWord(uint32_t address)
{
    uint8_t record[CDI_RAW_HEAD_SIZE + 4] = {};
    QtxBinPutU32(record + 4, address);
    QtxBinPutU32(record + 8, 4);
    const int result = CdiRawRead(record);
    const uint32_t status = QtxBinGetU32(record);
    if (result != 0 || status != 0)
    {
        PN_TRACE("phytool: CDiRawReadErr ret=0x%08X, raw.Status=0x%08X ",
                 static_cast<uint32_t>(result), status);
        return 0;
    }
    return QtxBinGetU32(record + CDI_RAW_HEAD_SIZE);
}

void WriteCdiWord(uint32_t address, uint32_t value)
{
    uint8_t record[CDI_RAW_HEAD_SIZE + 4] = {};
    QtxBinPutU32(record + 4, address);
    QtxBinPutU32(record + 8, 4);
    QtxBinPutU32(record + CDI_RAW_HEAD_SIZE, value);
    const int result = CdiRawWrite(record);
    const uint32_t status = QtxBinGetU32(record);
    if (result != 0 || status != 0)
        PN_TRACE("phytool: CDiRawReadErr ret=0x%08X, raw.Status=0x%08X ",
                 static_cast<uint32_t>(result), status);
}

int MiiRead(int socket, int phy, int reg)
{
    struct mii_ioctl_data* mii = MiiData();
    mii->phy_id = static_cast<uint16_t>(phy);
    mii->reg_num = static_cast<uint16_t>(reg);
    if (PlatIoctl(socket, iMiiStyle ? SIOCGMIIREG : SIOCDEVPRIVATE + 1, &tMiiRequest) < 0)
    {
        PN_TRACE("phytool: SIOCGMIIREG on %s failed: %s\n", tMiiRequest.ifr_name, strerror(errno));
        return -1;
    }
    return mii->val_out;
}

void MiiWrite(int socket, int phy, int reg, int value)
{
    struct mii_ioctl_data* mii = MiiData();
    mii->phy_id = static_cast<uint16_t>(phy);
    mii->reg_num = static_cast<uint16_t>(reg);
    mii->val_in = static_cast<uint16_t>(value);
    if (PlatIoctl(socket, iMiiStyle ? SIOCSMIIREG : SIOCDEVPRIVATE + 2, &tMiiRequest) < 0)
        PN_TRACE("phytool: SIOCSMIIREG on %s failed: %s\n", tMiiRequest.ifr_name, strerror(errno));
}

void InitPhy(int socket)
{
    MiiWrite(socket, kInitPhyAddress, MII_BMCR, BMCR_RESET);
    MiiWrite(socket, kInitPhyAddress, MII_ADVERTISE, 0x41);
}

void SetServicePort100Mbit()
{
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
    {
        PN_TRACE("phytool_ERROR: socket\n");
        return;
    }
    MiiWrite(sock, kServicePhy, MII_CTRL1000, 0);
    MiiWrite(sock, kServicePhy, MII_BMCR, BMCR_ANENABLE | BMCR_ANRESTART | BMCR_FULLDPLX);
    close(sock);
}

bool MonitorPhyReady(int socket)
{
    // A failed read (-1) has every bit set.
    return (MiiRead(socket, kMonitorPhy, kMonitorReadyRegister) & kMonitorReadyBit) != 0;
}

int detect_link_ethtool(int socket)
{
    struct ifreq request = PnInterfaceRequest(PN_MONITOR_PORT);
    struct ethtool_value value;
    memset(&value, 0, sizeof value);
    value.cmd = ETHTOOL_GLINK;
    request.ifr_data = reinterpret_cast<char*>(&value);
    if (PlatIoctl(socket, SIOCETHTOOL, &request) < 0)
        return -1;
    return value.data ? 1 : 0;
}

bool ForwardingEnabled()
{
    return (ReadCdiWord(PN_FPGA_FORWARDING) & PN_FORWARDING_ON) != 0;
}

void EnableForwarding()
{
    if (ForwardingEnabled())
        return;
    PN_TRACE("phytool: ForwardingEnabled!\n");
    WriteCdiWord(PN_FPGA_FORWARDING,
                 (ReadCdiWord(PN_FPGA_FORWARDING) | PN_FORWARDING_ON) & ~PN_FORWARDING_OFF);
}

void DisableForwarding()
{
    if (!ForwardingEnabled())
        return;
    PN_TRACE("phytool: ForwardingDisabled!\n");
    WriteCdiWord(PN_FPGA_FORWARDING,
                 (ReadCdiWord(PN_FPGA_FORWARDING) | PN_FORWARDING_OFF) & ~PN_FORWARDING_ON);
}

int GetInterfaceMac(uint8_t mac[6], const char* name)
{
    const int sock = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (sock < 0)
    {
        PN_TRACE("socket");
        return -1;
    }
    struct ifreq request = PnInterfaceRequest(name);
    if (PlatIoctl(sock, SIOCGIFHWADDR, &request) < 0)
        PN_TRACE("SIOCGIFHWADDR");
    else
        memcpy(mac, request.ifr_hwaddr.sa_data, 6);
    close(sock);
    return 0;
}

int GetInterfaceFlags(uint16_t* flags, const char* name)
{
    const int sock = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (sock < 0)
    {
        PN_TRACE("listener: socket\n");
        return -1;
    }
    struct ifreq request = PnInterfaceRequest(name);
    const int result = PlatIoctl(sock, SIOCGIFFLAGS, &request);
    close(sock);
    if (result < 0)
        return -1;
    *flags = static_cast<uint16_t>(request.ifr_flags);
    return 0;
}

int InterfaceIsUp(const char* name)
{
    uint16_t flags = 0;
    if (GetInterfaceFlags(&flags, name) != 0)
        return -1;
    return (flags & IFF_UP) ? 1 : 0;
}

int InterfaceIsRunning(const char* name)
{
    uint16_t flags = 0;
    if (GetInterfaceFlags(&flags, name) != 0)
        return -1;
    return (flags & IFF_RUNNING) ? 1 : 0;
}

int InterfaceReady(const char* name)
{
    const int up = InterfaceIsUp(name);
    const int running = InterfaceIsRunning(name);
    if (up < 0 || running < 0)
        return -1;
    PN_TRACE("[%s]:up=%d; connected=%d\n", name, up, running);
    return up == 1 && running == 1 ? 1 : 0;
}

int WaitInterfaceStable(const char* name)
{
    int stable = 0;
    for (int retryCnt = 0;; ++retryCnt)
    {
        PnSleepMs(kStableCheckMs);
        const int ready = InterfaceReady(name);
        if (ready < 0)
        {
            // An interface that cannot be asked is not stable either.
            PN_TRACE("[%s]: no interface state\n", name);
            return -1;
        }
        stable = ready == 1 ? stable + 1 : 0;
        if (stable == kStableChecks)
            return 0;
        if (retryCnt == kStableRetries)
        {
            PN_TRACE("timeout (retryCnt=%d)\n", retryCnt);
            return -1;
        }
    }
}

int InterfaceUp(const char* name)
{
    if (name == nullptr)
        return 0;
    return RunCommand("ifconfig %s up", name);
}

int SetMacAddress(const uint8_t mac[6], const char* name)
{
    if (name == nullptr)
        return 0;
    int result = RunCommand("ifconfig %s down", name);
    if (result != 0)
        return result;
    PnSleepMs(500);
    result = RunCommand("ifconfig %s hw ether %02x:%02x:%02x:%02x:%02x:%02x", name, mac);
    if (result != 0)
        return result;
    result = RunCommand("ifconfig %s up", name);
    if (result != 0)
        return result;
    PnSleepMs(500);
    return 0;
}

void ComputeMonitorMacForId(uint8_t monitor[6], const uint8_t service[6], uint32_t fpgaId)
{
    uint32_t increment = 1;
    if (fpgaId == kFpgaIdPna)
        increment = 7;
    else if (fpgaId != kFpgaIdEip)
        PN_TRACE("fpgaID unknown!\n");
    const uint32_t low =
        (static_cast<uint32_t>(service[2]) << 24 | static_cast<uint32_t>(service[3]) << 16 |
         static_cast<uint32_t>(service[4]) << 8 | service[5]) +
        increment;
    monitor[0] = service[0];
    monitor[1] = service[1];
    monitor[2] = static_cast<uint8_t>(low >> 24);
    monitor[3] = static_cast<uint8_t>(low >> 16);
    monitor[4] = static_cast<uint8_t>(low >> 8);
    monitor[5] = static_cast<uint8_t>(low);
}

void ComputeMonitorMac(uint8_t monitor[6], const uint8_t service[6])
{
    ComputeMonitorMacForId(monitor, service, ReadCdiWord(PN_FPGA_ID) & 0xFFFFFF);
}

int PrepareMacs(uint8_t service[6], uint8_t monitor[6])
{
    uint8_t current[6] = {};
    memset(service, 0, 6);
    GetInterfaceMac(current, PN_MONITOR_PORT);
    GetInterfaceMac(service, PN_SERVICE_PORT);
    if (InterfaceIsUp(PN_SERVICE_PORT) != 1)
    {
        InterfaceUp(PN_SERVICE_PORT);
        PnSleepMs(500);
    }
    ComputeMonitorMac(monitor, service);
    if (memcmp(monitor, current, 6) == 0)
    {
        PN_TRACE("ifName=%s\n MAC is already set\n", PN_MONITOR_PORT);
        if (InterfaceIsUp(PN_MONITOR_PORT) != 1)
        {
            InterfaceUp(PN_MONITOR_PORT);
            PnSleepMs(5000);
        }
        return 0;
    }
    return SetMacAddress(monitor, PN_MONITOR_PORT);
}

bool StartMonitorPortThread()
{
    pthread_once(&tLocksOnce, CreateLocks);
    pthread_mutex_lock(&tStartStopMutex);
    bool started = bMonitorThreadValid;
    if (!started)
    {
        pthread_mutex_lock(&tRunMutex);
        iMonitorPortRun = 1;
        pthread_mutex_unlock(&tRunMutex);
        started = pthread_create(&tMonitorThread, nullptr, MonitorPortThread, nullptr) == 0;
        bMonitorThreadValid = started;
        if (!started)
            iMonitorPortRun = 2;
    }
    pthread_mutex_unlock(&tStartStopMutex);
    return started;
}

void StopMonitorPortThread()
{
    pthread_once(&tLocksOnce, CreateLocks);
    pthread_mutex_lock(&tStartStopMutex);
    if (bMonitorThreadValid)
    {
        pthread_mutex_lock(&tRunMutex);
        iMonitorPortRun = 2;
        pthread_cond_broadcast(&tRunCondition);
        pthread_mutex_unlock(&tRunMutex);
        // The thread uses the MII record and the status lock: it ends before anything else
        // may touch them.
        pthread_join(tMonitorThread, nullptr);
        bMonitorThreadValid = false;
    }
    pthread_mutex_unlock(&tStartStopMutex);
}

bool MonitorPortThreadRunning()
{
    pthread_once(&tLocksOnce, CreateLocks);
    pthread_mutex_lock(&tStartStopMutex);
    const bool running = bMonitorThreadValid;
    pthread_mutex_unlock(&tStartStopMutex);
    return running;
}

uint8_t GetMonitorPortStatus()
{
    pthread_once(&tLocksOnce, CreateLocks);
    pthread_mutex_lock(&tStatusMutex);
    const uint8_t status = ucMonitorPortStatus;
    pthread_mutex_unlock(&tStatusMutex);
    return status;
}

void SetMonitorPortStatus(uint32_t value)
{
    pthread_once(&tLocksOnce, CreateLocks);
    pthread_mutex_lock(&tStatusMutex);
    ucMonitorPortStatus = static_cast<uint8_t>(value & 0xFF);
    pthread_mutex_unlock(&tStatusMutex);
}
