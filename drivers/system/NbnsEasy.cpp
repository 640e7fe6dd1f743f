// The NetBIOS name responder: query parsing, answers, and its thread.
#include "NbnsEasy.h"

#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <strings.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "SocPlain.h"
#include "SystemNetSetup.h"

namespace
{
constexpr uint16_t kPort = 137;
constexpr size_t kInterfaceChars = 16;
constexpr size_t kReceiveBytes = 1024;
constexpr int kReceiveTimeoutMs = 100;

struct SResponder
{
    std::atomic<int> iRunState{0};    // 1 run, 2 stop
    std::atomic<int> iThreadState{0}; // 1 running, 11 ended
    char acInterface[kInterfaceChars] = {};
    NbnsNames tNames;
};
SResponder g_tResponder;
std::mutex g_tStartMutex;

uint16_t Get16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void Put16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void SleepMs(int milliseconds)
{
    timespec rest{0, static_cast<long>(milliseconds) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR)
    {
    }
}

bool SameName(const char* a, const char* b)
{
    return *b != 0 && strcasecmp(a, b) == 0;
}

void* ResponderThread(void*)
{
    SResponder& r = g_tResponder;
    r.iThreadState = 1;
    puts("Start of NbnsEasyThread");
    while (r.iRunState == 1)
    {
        int error = 0;
        const int fd = soc_socket_udpserver(kPort, 0, &error);
        if (fd < 0)
        {
            printf("NbnsEasy: soc_socket_udpserver err %u\n", static_cast<unsigned>(error));
            SleepMs(20);
            continue;
        }
        printf("NbnsEasy bind to %s\n", r.acInterface);
        if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, r.acInterface,
                       static_cast<socklen_t>(strlen(r.acInterface))) != 0)
            printf("can't bind to interface %s\n", r.acInterface);
        fflush(stdout);
        uint8_t packet[kReceiveBytes];
        while (r.iRunState == 1)
        {
            // Short waits, so that a stop is seen at once.
            if (soc_select_timeout(fd, kReceiveTimeoutMs, 2) == 0)
                continue;
            sockaddr_in from;
            socklen_t fromLength = sizeof from;
            const ssize_t n = recvfrom(fd, packet, sizeof packet, MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &fromLength);
            // An empty datagram is no query, and a receive that found nothing is no failure: the
            // socket stays open, with the queries that wait in it.
            if (n == 0 || (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)))
                continue;
            if (n < 0)
            {
                printf("recvfrom returned %d\n", static_cast<int>(n));
                if (r.iRunState == 1)
                    SleepMs(10);
                break;
            }
            const size_t answer = NbnsAnswerQuery(packet, static_cast<size_t>(n), sizeof packet,
                                                  r.tNames, r.acInterface);
            if (answer > 0)
            {
                sendto(fd, packet, answer, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&from),
                       fromLength);
                printf("NBNS: send answer to 0x%08X\n", ntohl(from.sin_addr.s_addr));
            }
            fflush(stdout);
        }
        close(fd);
    }
    puts("End of NbnsEasyThread");
    fflush(stdout);
    r.iThreadState = 11;
    return nullptr;
}
} // namespace

bool NbnsParseQuery(const uint8_t* packet, size_t length, char name[NBNS_NAME_CHARS],
                    uint8_t* suffix)
{
    if (packet == nullptr || length < NBNS_QUERY_MIN)
        return false;
    const uint16_t flags = Get16(packet + 2);
    if ((flags & 0x8000u) != 0 || (flags & 0x7800u) != 0 || Get16(packet + 4) != 1 ||
        packet[12] != 0x20 || Get16(packet + 46) != 0x0020 || Get16(packet + 48) != 0x0001)
        return false;
    uint8_t decoded[16];
    for (int i = 0; i < 16; ++i)
    {
        const uint8_t high = packet[13 + 2 * i];
        const uint8_t low = packet[14 + 2 * i];
        if (high < 'A' || high > 'P' || low < 'A' || low > 'P')
            return false;
        decoded[i] = static_cast<uint8_t>((high - 'A') << 4 | (low - 'A'));
    }
    size_t n = 0;
    while (n < 15 && decoded[n] != ' ')
    {
        name[n] = static_cast<char>(toupper(decoded[n]));
        ++n;
    }
    name[n] = 0;
    *suffix = decoded[15];
    return true;
}

void NbnsEncodeName(const char* name, uint8_t suffix, uint8_t out[32])
{
    uint8_t plain[16];
    size_t n = 0;
    for (; n < 15 && name != nullptr && name[n] != 0; ++n)
        plain[n] = static_cast<uint8_t>(toupper(static_cast<unsigned char>(name[n])));
    for (; n < 15; ++n)
        plain[n] = ' ';
    plain[15] = suffix;
    for (int i = 0; i < 16; ++i)
    {
        out[2 * i] = static_cast<uint8_t>('A' + (plain[i] >> 4));
        out[2 * i + 1] = static_cast<uint8_t>('A' + (plain[i] & 0x0F));
    }
}

void NbnsBuildAnswer(uint16_t transactionId, const char* name, uint32_t address,
                     uint8_t answer[NBNS_ANSWER_BYTES])
{
    memset(answer, 0, NBNS_ANSWER_BYTES);
    Put16(answer, transactionId);
    answer[2] = 0x84;
    Put16(answer + 6, 1);
    answer[12] = 0x20;
    NbnsEncodeName(name, 0, answer + 13);
    Put16(answer + 46, 0x0020);
    Put16(answer + 48, 0x0001);
    answer[53] = 180; // time to live, seconds
    Put16(answer + 54, 6);
    memcpy(answer + 58, &address, 4); // already in network order
}

size_t NbnsAnswerQuery(uint8_t* packet, size_t length, size_t capacity, const NbnsNames& names,
                       const char* interfaceName)
{
    char name[NBNS_NAME_CHARS];
    uint8_t suffix = 0xFF;
    if (capacity < NBNS_ANSWER_BYTES || !NbnsParseQuery(packet, length, name, &suffix) ||
        suffix != 0 || name[0] == 0)
        return 0;
    const char* matched = SameName(name, names.acName1)   ? names.acName1
                          : SameName(name, names.acName2) ? names.acName2
                                                          : nullptr;
    if (matched == nullptr)
        return 0;
    uint32_t address = 0;
    IFInfoGetIPandMASK(interfaceName, &address, nullptr);
    printf("NBNS: requested Name[%s] my Ip 0x%08X\n", matched, ntohl(address));
    if (address == 0)
        return 0;
    NbnsBuildAnswer(Get16(packet), matched, address, packet);
    return NBNS_ANSWER_BYTES;
}

int StartEthNbnsEasyThread(const char* interfaceName, const char* name1, const char* name2)
{
    std::lock_guard<std::mutex> guard(g_tStartMutex);
    puts("StartEthNbnsEasyThread");
    const char* iface = interfaceName != nullptr && *interfaceName != 0 ? interfaceName : "eth0";
    if (strlen(iface) >= kInterfaceChars)
        return 70;
    SResponder& r = g_tResponder;
    if (r.iThreadState == 1)
        return 0;
    // A NetBIOS name has at most 15 characters: a longer one could never be asked for.
    r.tNames = NbnsNames();
    if (name1 != nullptr && strlen(name1) < NBNS_NAME_CHARS)
        strcpy(r.tNames.acName1, name1);
    if (name2 != nullptr && strlen(name2) < NBNS_NAME_CHARS)
        strcpy(r.tNames.acName2, name2);
    if (r.tNames.acName1[0] == 0 && r.tNames.acName2[0] == 0)
        return 0;
    memset(r.acInterface, 0, sizeof r.acInterface);
    strncpy(r.acInterface, iface, sizeof r.acInterface - 1);
    r.iRunState = 1;
    r.iThreadState = 1;
    printf("Call BeginThreadEx(NbnsEasyThread) for %s\n", r.acInterface);
    fflush(stdout);
    pthread_t thread;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    const int started = pthread_create(&thread, &attributes, ResponderThread, nullptr);
    pthread_attr_destroy(&attributes);
    if (started != 0)
    {
        r.iRunState = 0;
        r.iThreadState = 11;
        return 73;
    }
    return 0;
}

void StopNbnsEasyThread()
{
    std::lock_guard<std::mutex> guard(g_tStartMutex);
    SResponder& r = g_tResponder;
    r.iRunState = 2;
    for (int i = 0; i < 20 && r.iThreadState == 1; ++i)
        SleepMs(10);
}

bool NbnsEasyThreadRunning()
{
    return g_tResponder.iThreadState == 1;
}
