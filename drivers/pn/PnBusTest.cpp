// The Ethernet bus test and the factory mode of the bus-monitor variant.
#include "PnBusTest.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "DevMem.h"
#include "KovePlatform.h"
#include "PnDrv.h"
#include "PnPort.h"
#include "QTXBinConfig.h"
#include "nyDebug.h"

#define PN_TRACE(...) nyDebugSavePrintf(NYDEBUG_LEVEL_INFO, __VA_ARGS__)

namespace
{
constexpr uint16_t kTestEtherType = 0x8888;
constexpr int kMinFrameBytes = 64;
constexpr size_t kTextBytes = 17;
const char kMonitorToService[] = "Monitor-->Service";
const char kServiceToMonitor[] = "Service-->Monitor";
constexpr uint32_t kClearBytes = 1024;
constexpr uint32_t kRingOn = 0x1;
constexpr uint32_t kRingFlush = 0x40000000;
constexpr uint32_t kRingBusy = 0x80000000;
constexpr uint32_t kRingFilter = 0x88880030;
// Offset of the test text in a captured frame.
constexpr uint32_t kCapturedTextOffset = 16;

void TraceMac(const char* caption, const uint8_t mac[6])
{
    PN_TRACE("%s%02X:%02X:%02X:%02X:%02X:%02X\n", caption, mac[0], mac[1], mac[2], mac[3], mac[4],
             mac[5]);
}

void* RawRecvThread(void* argument)
{
    RawRecvThreadData* data = static_cast<RawRecvThreadData*>(argument);
    uint8_t frame[PN_FRAME_BUFFER_SIZE];
    while (data->iRun.load() != 0)
    {
        struct sockaddr_ll from;
        socklen_t fromLength = sizeof from;
        const ssize_t got = recvfrom(data->iSocket, frame, sizeof frame, 0,
                                     reinterpret_cast<struct sockaddr*>(&from), &fromLength);
        if (got <= 0)
        {
            PN_TRACE("recvfrom [%s]\n", strerror(errno));
            continue;
        }
        // The socket also sees the frames its interface sends: only a frame that came in counts.
        if (from.sll_pkttype != PACKET_OUTGOING && got >= 6 && memcmp(frame, data->aucMac, 6) == 0)
        {
            TraceMac("Correct destination MAC: ", frame);
            nyDebugSaveMem(5, reinterpret_cast<const char*>(frame),
                           static_cast<uint8_t>(got < 254 ? got : 254));
            data->iReceived.store(1);
            break;
        }
        PN_TRACE("-");
        PnSleepMs(100);
    }
    PN_TRACE("RawRecvThread ended!\n");
    data->iEnded.store(1);
    return nullptr;
}

bool SameText(const uint8_t* frame, uint32_t length, const char* text)
{
    return length >= kCapturedTextOffset + kTextBytes &&
           memcmp(frame + kCapturedTextOffset, text, kTextBytes) == 0;
}

// One direction: receiver on the receiving port, the frame from the sending port.
int TestDirection(RawRecvThreadData* receiver, const uint8_t to[6], const char* toName,
                  const uint8_t from[6], const char* fromName, const char* text)
{
    StartRecv(receiver, to, toName);
    PnSleepMs(10);
    const int sent = SendRawFrame(to, from, fromName, text);
    return WaitForRawFrame(receiver, sent == 0 ? 100 : 0);
}
} // namespace

int FlushRingBuffer()
{
    WriteCdiWord(PN_RING_CONTROL, ReadCdiWord(PN_RING_CONTROL) & ~kRingOn);
    uint32_t control = 0;
    for (int i = 0; i < 11; ++i)
    {
        PnSleepMs(20);
        control = ReadCdiWord(PN_RING_CONTROL);
        if ((control & kRingBusy) == 0)
            break;
    }
    int result = 0;
    if (control & kRingBusy)
    {
        PN_TRACE("Busy isn't zero! --> Flush Ring Buffer will probably not work!\n");
        result = -1;
    }
    WriteCdiWord(PN_RING_CONTROL, control | kRingFlush);
    WriteCdiWord(PN_RING_FILTER, kRingFilter);
    WriteCdiWord(PN_RING_CONTROL, ReadCdiWord(PN_RING_CONTROL) | kRingOn);
    return result;
}

int SendRawFrame(const uint8_t destination[6], const uint8_t source[6], const char* name,
                 const char* text)
{
    const int sock = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 255);
    if (sock < 0)
    {
        PN_TRACE("Send failed\n");
        return -1;
    }
    struct ifreq request = PnInterfaceRequest(name);
    int index = 0;
    if (PlatIoctl(sock, SIOCGIFINDEX, &request) < 0)
        PN_TRACE("SIOCGIFINDEX\n");
    else
        index = request.ifr_ifindex;
    if (PlatIoctl(sock, SIOCGIFHWADDR, &request) < 0)
        PN_TRACE("SIOCGIFHWADDR\n");

    uint8_t frame[PN_FRAME_BUFFER_SIZE] = {};
    memcpy(frame, destination, 6);
    memcpy(frame + 6, source, 6);
    frame[12] = static_cast<uint8_t>(kTestEtherType >> 8);
    frame[13] = static_cast<uint8_t>(kTestEtherType & 0xFF);
    const size_t textLength = strnlen(text, kTextBytes);
    memcpy(frame + 14, text, textLength);
    size_t length = 14 + textLength;
    if (length < kMinFrameBytes)
        length = kMinFrameBytes;

    struct sockaddr_ll address;
    memset(&address, 0, sizeof address);
    address.sll_family = AF_PACKET;
    address.sll_ifindex = index;
    address.sll_halen = 6;
    memcpy(address.sll_addr, destination, 6);
    const ssize_t sent = PlatSendTo(sock, frame, length, 0,
                                    reinterpret_cast<struct sockaddr*>(&address), sizeof address);
    close(sock);
    if (sent != static_cast<ssize_t>(length))
    {
        PN_TRACE("Send failed\n");
        return -1;
    }
    return 0;
}

void StartRecv(RawRecvThreadData* data, const uint8_t mac[6], const char* name)
{
    data->iSocket = -1;
    data->iReceived.store(-1);
    data->iEnded.store(1);
    data->iRun.store(0);
    data->bThreadValid = false;

    const int sock = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(kTestEtherType));
    if (sock < 0)
    {
        PN_TRACE("listener: socket\n");
        return;
    }
    const int yes = 1;
    struct timeval timeout = {2, 0};
    const char* failure = nullptr;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0)
        failure = "setsockopt\n";
    else if (setsockopt(sock, SOL_SOCKET, SO_BINDTODEVICE, name, strnlen(name, IFNAMSIZ - 1)) != 0)
        failure = "SO_BINDTODEVICE\n";
    else if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
        failure = "SO_RCVTIMEO\n";
    else
    {
        // A packet socket takes its frames from the interface it is bound to.
        struct sockaddr_ll local;
        memset(&local, 0, sizeof local);
        local.sll_family = AF_PACKET;
        local.sll_protocol = htons(kTestEtherType);
        local.sll_ifindex = static_cast<int>(if_nametoindex(name));
        if (local.sll_ifindex == 0 ||
            bind(sock, reinterpret_cast<struct sockaddr*>(&local), sizeof local) != 0)
            failure = "SO_BINDTODEVICE\n";
    }
    if (failure != nullptr)
    {
        PN_TRACE("%s", failure);
        close(sock);
        return;
    }
    data->iSocket = sock;
    data->iReceived.store(0);
    memcpy(data->aucMac, mac, 6);
    data->iRun.store(1);
    data->iEnded.store(0);
    if (pthread_create(&data->tThread, nullptr, RawRecvThread, data) != 0)
    {
        PN_TRACE("listener: thread\n");
        close(sock);
        data->iSocket = -1;
        data->iReceived.store(-1);
        data->iEnded.store(1);
        return;
    }
    data->bThreadValid = true;
}

int WaitForRawFrame(RawRecvThreadData* data, int timeoutMs)
{
    if (data->iReceived.load() == -1)
        return -1;
    int result = -1;
    if (timeoutMs < 10)
    {
        PN_TRACE("timeout_ms to low!\n");
        result = -2;
    }
    else
    {
        for (int i = 0; i < timeoutMs / 10 + 1; ++i)
        {
            if (data->iReceived.load() == 1)
            {
                result = 0;
                break;
            }
            PnSleepMs(10);
        }
    }
    data->iRun.store(0);
    if (result != 0)
        PN_TRACE("timeout after %d ms!\n", timeoutMs);
    // The receiver ends within its socket's receive time; its socket is closed after it.
    if (data->bThreadValid)
        pthread_join(data->tThread, nullptr);
    data->bThreadValid = false;
    if (data->iSocket >= 0)
        close(data->iSocket);
    data->iSocket = -1;
    return result;
}

uint32_t ReadNextFrame(uint8_t* buffer, uint32_t* counter, const uint8_t* header,
                       uint32_t headerSize, const uint8_t* data, uint32_t dataSize)
{
    const uint32_t at = *counter & 0xFFFFFF;
    if (uint64_t{at} + PN_FRAME_HEADER_SIZE > headerSize)
        return 0;
    const uint8_t* record = header + at;
    const uint32_t sequence = QtxBinGetU32(record + 28);
    PN_TRACE("nextFrameCnt=0x%08X; shead->Sequence=0x%08X\n", *counter, sequence);
    if (sequence != *counter)
        return 0;
    uint32_t length = QtxBinGetU16(record);
    if (length > PN_FRAME_BUFFER_SIZE)
        length = PN_FRAME_BUFFER_SIZE;
    const uint32_t position = QtxBinGetU32(record + 4) & 0x1FFFFFC0;
    if (uint64_t{position} + length > dataSize)
        return 0;
    memcpy(buffer, data + position, length);
    *counter = (*counter + PN_FRAME_HEADER_SIZE) & 0x1FFFFFE0;
    return length;
}

int PNBusTest(char* message)
{
    message[0] = '\0';
    PN_TRACE("PNBusTest started ");
    const uint32_t version = ReadCdiWord(PN_FPGA_VERSION);
    if (version < PN_BUS_TEST_FPGA_VERSION_MIN)
    {
        snprintf(message, PN_MESSAGE_SIZE,
                 "fpgaVersion 0x%08X is not ok! Version >= FPGA_VERSION_MIN is required!\n",
                 version);
        return -1;
    }
    DisableForwarding();

    const uint32_t headerBase = ReadCdiWord(PN_RING_HEADER_BASE);
    const uint32_t headerSize = ReadCdiWord(PN_RING_HEADER_SIZE);
    const uint32_t dataBase = ReadCdiWord(PN_RING_DATA_BASE);
    const uint32_t dataSize = ReadCdiWord(PN_RING_DATA_SIZE);
    // One mapping over both buffers, from the lower start to the higher end.
    const uint64_t low = headerBase < dataBase ? headerBase : dataBase;
    const uint64_t headerEnd = uint64_t{headerBase} + headerSize;
    const uint64_t dataEnd = uint64_t{dataBase} + dataSize;
    const uint64_t high = headerEnd > dataEnd ? headerEnd : dataEnd;
    void* pointer = nullptr;
    DevMemMapping mapping;
    const int mapped = headerSize == 0 || dataSize == 0 || high - low > UINT32_MAX
                           ? 70
                           : DevMemMap32(static_cast<uint32_t>(low),
                                         static_cast<uint32_t>(high - low), &pointer, &mapping, 1);
    if (mapped == 73)
    {
        snprintf(message, PN_MESSAGE_SIZE, "Can not open /dev/mem ");
        return -1;
    }
    if (mapped != 0)
    {
        snprintf(message, PN_MESSAGE_SIZE, "mmap failed ");
        return -1;
    }
    uint8_t* header = static_cast<uint8_t*>(pointer) + (headerBase - low);
    uint8_t* data = static_cast<uint8_t*>(pointer) + (dataBase - low);
    memset(header, 0, headerSize < kClearBytes ? headerSize : kClearBytes);
    memset(data, 0, dataSize < kClearBytes ? dataSize : kClearBytes);

    uint8_t serviceMac[6];
    uint8_t monitorMac[6];
    PrepareMacs(serviceMac, monitorMac);
    TraceMac("service MAC: ", serviceMac);
    TraceMac("monitor MAC: ", monitorMac);
    const char* notReady = nullptr;
    if (InterfaceReady(PN_MONITOR_PORT) != 1)
        notReady = "Monitor port is not ready!\n";
    else if (InterfaceReady(PN_SERVICE_PORT) != 1)
        notReady = "Service port is not ready!\n";
    if (notReady != nullptr)
    {
        snprintf(message, PN_MESSAGE_SIZE, "%s", notReady);
        DevMemUnmap(&mapping);
        return -1;
    }

    FlushRingBuffer();
    RawRecvThreadData receiver;
    const int monitorToService = TestDirection(&receiver, serviceMac, PN_SERVICE_PORT, monitorMac,
                                               PN_MONITOR_PORT, kMonitorToService);
    const int serviceToMonitor = TestDirection(&receiver, monitorMac, PN_MONITOR_PORT, serviceMac,
                                               PN_SERVICE_PORT, kServiceToMonitor);

    int fromMonitor = 0;
    int fromService = 0;
    uint32_t counter = 0;
    uint8_t frame[PN_FRAME_BUFFER_SIZE];
    for (;;)
    {
        const uint32_t length = ReadNextFrame(frame, &counter, header, headerSize, data, dataSize);
        if (length == 0)
            break;
        if (SameText(frame, length, kMonitorToService))
            ++fromMonitor;
        else if (SameText(frame, length, kServiceToMonitor))
            ++fromService;
    }
    DevMemUnmap(&mapping);

    if (monitorToService == 0 && serviceToMonitor == 0 && fromMonitor != 0 && fromService != 0)
    {
        PN_TRACE("Bus Test ended! Everything is working!\n");
        return 0;
    }
    PN_TRACE("At least one interface is *** not *** working!\n");
    PN_TRACE("statPortMonitor2Service=%d (%s)\n", monitorToService,
             monitorToService == 0 ? "OK" : "NOK");
    PN_TRACE("statPortService2Monitor=%d (%s)\n", serviceToMonitor,
             serviceToMonitor == 0 ? "OK" : "NOK");
    PN_TRACE("gotFrameFromMonitor=%d (%s)\n", fromMonitor, fromMonitor != 0 ? "OK" : "NOK");
    PN_TRACE("gotFrameFromService=%d (%s)\n", fromService, fromService != 0 ? "OK" : "NOK");
    snprintf(message, PN_MESSAGE_SIZE, "At least one interface is *** not *** working! ");
    return -1;
}

int SetToFactoryMode(char* message)
{
    message[0] = '\0';
    PN_TRACE("SetToFactoryMode started\n");
    // The thread uses the MII request record that the service port's setting uses too: it
    // ends first.
    StopMonitorPortThread();
    SetServicePort100Mbit();
    PnSleepMs(20);
    PNDrvSSetFactoryMode(0);
    DisableForwarding();
    uint8_t serviceMac[6];
    uint8_t monitorMac[6];
    PrepareMacs(serviceMac, monitorMac);
    return 0;
}
