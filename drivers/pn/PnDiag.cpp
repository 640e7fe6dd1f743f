// The diagnostic commands of port 999 and the loop of one server thread.
#include "PnDiag.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <unistd.h>

#include "Cdi.h"
#include "KestrelStatus.h"
#include "NySoc.h"
#include "PnDrv.h"
#include "QTXBinConfig.h"
#include "QTXVersion.h"
#include "nyDebug.h"

namespace
{
constexpr uint32_t kModuleInfoSize = 126;
constexpr uint32_t kOverviewRoom = 2560;
constexpr uint32_t kStationSize = 1812;
constexpr uint32_t kRelationRecord = 64;
constexpr uint32_t kSlotRecord = 80;
constexpr uint32_t kVersionRoom = 64;
constexpr uint32_t kBufferSize = NYSOC_DESCRIPTOR_HEAD_SIZE + PNDIAG_MAX_FRAME;
// The most a reply can carry: its length must fit the head's 16-bit field.
constexpr uint32_t kReplyRoom = 0xFFFF - PNDIAG_HEAD_SIZE;

uint16_t Get16(const uint8_t* p)
{
    return QtxBinGetU16(p);
}
uint32_t Get32(const uint8_t* p)
{
    return QtxBinGetU32(p);
}
uint32_t Swap32(uint32_t v)
{
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

// A good read of controller memory: the request worked and the kernel reported no error.
bool CtrlRead(uint32_t address, void* data, uint32_t length)
{
    uint32_t status = 0;
    return CdiCtrlRead(address, data, length, &status) == 0 && status == 0;
}

// Answer state of a diagnostic request: 0 done, 22 cut short (state cleared), 21 not available
// (where allowed), else failed.
uint16_t AnswerResult(uint8_t* buffer, bool notAvailableAllowed)
{
    switch (Get16(buffer + 2))
    {
    case PNDRV_ANSWER_DONE:
        return PNDIAG_OK;
    case PNDRV_ANSWER_MORE_DATA:
        QtxBinPutU16(buffer + 2, 0);
        return PNDIAG_CUT_SHORT;
    case PNDRV_ANSWER_NOT_AVAILABLE:
        return notAvailableAllowed ? PNDIAG_NOT_AVAILABLE : PNDIAG_FAILED;
    default:
        return PNDIAG_FAILED;
    }
}

uint16_t LoadFigure(uint32_t c, uint32_t d)
{
    if (d == 0)
        return c == 0 ? 0 : 1000;
    const double r = static_cast<double>(c) / d;
    double value;
    if (r < 1)
        value = r * 200;
    else if (r < 32)
        value = 210 + r * 640 / 64;
    else
        value = 890 + r * 100 / 64;
    return static_cast<uint16_t>(std::min(value, 65535.0));
}

uint16_t ModuleInfo(const PnDiagContext& context, uint8_t* b, uint32_t* length)
{
    std::memset(b, 0, kModuleInfoSize);
    std::memcpy(b, context.aucIdentity, sizeof context.aucIdentity);
    uint8_t version[24 + kVersionRoom] = {};
    QtxBinPutU16(version, kVersionRoom - 1);
    if (PNDrvSGetVersion(version) == 0)
    {
        char text[kVersionRoom] = {};
        std::memcpy(text, version + 8, std::min<uint32_t>(Get16(version), kVersionRoom - 1));
        QtxBinPutU32(b + 16, FirmwareVersionToUINT32(text));
    }
    uint8_t data[8];
    if (CtrlRead(0x001FFF00u, data, 8))
        std::memcpy(b + 20, data, 8);
    if (CtrlRead(0x001FFF00u | CDI_CTRL_PORT1, data, 8))
        std::memcpy(b + 28, data, 8);
    QtxBinPutU16(b + 36, 1);
    uint32_t counters[4] = {0, 0, 0, 0};
    if (context.activeCounters)
        context.activeCounters(counters);
    for (int i = 0; i < 4; ++i)
    {
        QtxBinPutU16(b + 38 + 4 * i, 1024);
        QtxBinPutU16(b + 40 + 4 * i, static_cast<uint16_t>(counters[i]));
    }
    b[54] = 0xFF;
    b[55] = 0xFF;
    if (CtrlRead(0x00600000u, data, 8))
    {
        b[54] = static_cast<uint8_t>(data[1] - 1);
        b[55] = static_cast<uint8_t>(data[1] - 1);
    }
    *length = kModuleInfoSize;
    return PNDIAG_OK;
}

uint16_t Overview(uint32_t port, uint8_t* b, uint32_t room, uint32_t* length)
{
    if (room < kOverviewRoom)
        return PNDIAG_NO_ROOM;
    // The whole reply is cleared: no byte of the request goes back out.
    std::memset(b, 0, kOverviewRoom);
    static thread_local uint8_t station[kStationSize];
    if (!CtrlRead(0x21000u | port, station, kStationSize))
    {
        nyDebugSavePrintf(NYDEBUG_LEVEL_ERROR, "XHIFReadErr");
        return PNDIAG_FAILED;
    }
    std::memcpy(b, station + 352, 6);
    b[7] = 0xFF;
    const uint32_t link = Get32(station + 32);
    switch (link & 0xF00u)
    {
    case 0x800:
        b[6] = 9;
        break;
    case 0xC00:
        b[6] = 10;
        break;
    case 0x400:
        b[6] = 8;
        break;
    default:
        b[6] = (link & 0x300u) == 0 ? 1 : 2;
        break;
    }
    for (int i = 0; i < 3; ++i)
        QtxBinPutU32(b + 8 + 4 * i, Swap32(Get32(station + 84 + 4 * i)));
    if (Get32(b + 8) == Get32(b + 16))
        QtxBinPutU32(b + 16, 0);
    QtxBinPutU32(b + 24, 3);
    std::memcpy(b + 32, station + 96, 256);
    b[32 + 255] = 0;
    QtxBinPutU16(b + 416, Get32(station + 40) == 1 ? 1 : 0);

    uint8_t kinds[9] = {};
    for (uint32_t i = 0; i < 8; ++i)
    {
        uint8_t r[kRelationRecord];
        if (!CtrlRead((0x2AC00u + kRelationRecord * i) | port, r, sizeof r))
            continue;
        const uint32_t n = r[6];
        if (Get16(r + 4) == 0 || n < 1 || n > 8)
            continue;
        uint8_t* e = b + 288 + 16 * (n - 1);
        QtxBinPutU32(e, Swap32(Get32(r + 60)));
        QtxBinPutU16(e + 4, Get16(r + 32));
        QtxBinPutU16(e + 6, Get16(r + 28));
        QtxBinPutU16(e + 8, Get16(r + 30));
        e[10] = static_cast<uint8_t>(Get32(r + 16) >> 16);
        kinds[n] = r[7];
    }

    uint32_t entries = 0;
    bool relations = false;
    for (uint32_t i = 0; i < 32; ++i)
    {
        uint8_t r[kSlotRecord];
        if (!CtrlRead((0x10000u + 2048u * i) | port, r, sizeof r) || r[4] <= 41)
            continue;
        uint8_t* e = b + 512 + 64 * entries;
        std::memcpy(e, r, 16);
        e[4] = static_cast<uint8_t>(i + 1);
        uint8_t low = 0;
        uint8_t high = 0;
        if (r[4] >= 76)
        {
            low = r[5] & 0xF;
            high = r[5] >> 4;
            low = low > 8 ? 0 : low;
            high = high > 8 ? 0 : high;
            if (low == 0)
            {
                low = high;
                high = 0;
            }
        }
        e[5] = low;
        e[22] = high;
        e[20] = static_cast<uint8_t>(Get32(r + 64) >> 24);
        e[23] = r[56];
        e[24] = std::min<uint8_t>(r[4], 76);
        if (kinds[low] == 0x10)
            e[21] |= 1;
        else if (kinds[low] == 0x20)
            e[21] |= 2;
        relations = relations || low != 0;
        ++entries;
    }
    b[511] = static_cast<uint8_t>(entries);
    if (b[6] == 0)
        b[6] = relations ? 2 : 1;
    *length = 512 + 64 * entries;
    return PNDIAG_OK;
}

uint16_t ControllerRequest(uint8_t* b, uint32_t payload)
{
    if (payload < PNDRV_REQUEST_SIZE)
        return PNDIAG_SHORT_PAYLOAD;
    b[1] = 0x40;
    const uint32_t kind = Get32(b + 264);
    if ((Get32(b + 4) & 2) != 0 && kind != 0 && kind != 2)
        return PNDIAG_REQUEST_REFUSED;
    if (PNDrvSRequest(b) != 0)
        return PNDIAG_FAILED;
    switch (b[1])
    {
    case 4:
        return PNDIAG_STATE_4;
    case 0x49:
        return PNDIAG_REFUSED_PENDING;
    case 0:
        return PNDIAG_OK;
    default:
        return PNDIAG_FAILED;
    }
}

uint16_t DeviceList(uint8_t* b, uint32_t payload, uint32_t room, uint32_t* length)
{
    if (payload < 16)
        return PNDIAG_SHORT_PAYLOAD;
    const uint32_t n = (room - 32) / 48;
    const uint16_t requested = Get16(b + 6);
    if (requested == 0 || requested > n)
        QtxBinPutU16(b + 6, static_cast<uint16_t>(n));
    b[16] = 0;
    b[17] = 0;
    QtxBinPutU16(b + 2, PNDRV_ANSWER_PENDING);
    nyDebugSavePrintf(NYDEBUG_LEVEL_INFO, "GetDevLi");
    if (PNDrvSGetDevList(b) != 0)
        return PNDIAG_FAILED;
    const uint16_t result = AnswerResult(b, false);
    if (result == PNDIAG_FAILED)
        return result;
    *length = 32 + 48 * std::min<uint32_t>(Get16(b + 16), Get16(b + 6));
    return result;
}

uint16_t Details(uint16_t command, uint8_t* b, uint32_t payload, uint32_t room, uint32_t* length)
{
    if (payload < 20)
        return PNDIAG_SHORT_PAYLOAD;
    QtxBinPutU16(b + 2, PNDRV_ANSWER_PENDING);
    int called;
    if (command == PNDIAG_CMD_DEVICE)
    {
        QtxBinPutU16(b + 446, 0);
        called = PNDrvSGetDev(b);
    }
    else
        called = PNDrvSGetAR(b);
    if (called != 0)
        return PNDIAG_FAILED;
    const uint16_t result = AnswerResult(b, true);
    if (result == PNDIAG_FAILED)
        return result;
    if (command == PNDIAG_CMD_DEVICE)
        *length = 512 + 16 * std::min<uint32_t>(Get16(b + 446), (room - 512) / 16);
    else
    {
        if (Get16(b + 86) > 1536)
            QtxBinPutU16(b + 86, 1536);
        *length = 640 + 32 * std::min<uint32_t>(Get16(b + 86), (room - 640) / 32);
    }
    return result;
}

uint16_t State(const PnDiagContext& context, uint8_t* b, uint32_t* length)
{
    QtxBinPutU16(b + 2, PNDRV_ANSWER_PENDING);
    if (PNDrvSGetState(b) != 0 || Get16(b + 2) != 0)
        return PNDIAG_FAILED;
    uint8_t s[PNDRV_STATISTICS_SIZE] = {};
    if (PNDrvSGetStatistics(s) == 0)
    {
        const uint64_t a = Get32(s);
        const uint64_t sum = (static_cast<uint64_t>(Get32(s + 12)) << 32 | Get32(s + 8)) + a;
        QtxBinPutU16(b + 48, sum == 0 ? 1000 : static_cast<uint16_t>(a * 1000 / sum));
        QtxBinPutU16(b + 50, LoadFigure(Get32(s + 16), Get32(s + 20)));
    }
    b[53] = context.monitorPortStatus ? context.monitorPortStatus() : 0;
    *length = PNDRV_STATE_SIZE;
    return PNDIAG_OK;
}

uint16_t RelationData(uint8_t* b, uint32_t payload, uint32_t room, uint32_t* length)
{
    if (payload < 20)
        return PNDIAG_SHORT_PAYLOAD;
    uint32_t request[5];
    for (int i = 0; i < 5; ++i)
        request[i] = Get32(b + 4 * i);
    std::memset(b, 0, 64);
    QtxBinPutU16(b, static_cast<uint16_t>(request[0]));
    QtxBinPutU16(b + 2, PNDRV_ANSWER_PENDING);
    QtxBinPutU32(b + 16, request[3]);
    QtxBinPutU32(b + 20, request[4]);
    nyDebugSavePrintf(NYDEBUG_LEVEL_INFO, "CRHex");
    if (PNDrvSReadCR(b, room) != 0)
        return PNDIAG_FAILED;
    const uint16_t result = AnswerResult(b, true);
    if (result == PNDIAG_FAILED)
        return result;
    *length = std::min<uint32_t>(64u + Get16(b + 44) + Get16(b + 46), room);
    return result;
}

double Now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}
} // namespace

uint16_t PnDiagHandleCommand(const PnDiagContext& context, uint16_t command, uint8_t* buffer,
                             uint32_t payloadLength, uint32_t room, uint32_t* replyLength)
{
    *replyLength = 0;
    uint32_t length = 0;
    uint16_t result;
    switch (command)
    {
    case PNDIAG_CMD_MODULE_INFO:
        result = room < kModuleInfoSize ? PNDIAG_NO_ROOM : ModuleInfo(context, buffer, &length);
        break;
    case PNDIAG_CMD_OVERVIEW_PORT0:
    case PNDIAG_CMD_OVERVIEW_PORT1:
        result = Overview(command == PNDIAG_CMD_OVERVIEW_PORT1 ? CDI_CTRL_PORT1 : 0, buffer, room,
                          &length);
        break;
    case PNDIAG_CMD_CONTROLLER_COMMAND:
        if (payloadLength < 4)
            return PNDIAG_SHORT_PAYLOAD;
        PNDrvSReset(Get32(buffer));
        result = PNDIAG_OK;
        break;
    case PNDIAG_CMD_CONTROLLER_REQUEST:
        result =
            room < PNDRV_REQUEST_SIZE ? PNDIAG_NO_ROOM : ControllerRequest(buffer, payloadLength);
        break;
    case PNDIAG_CMD_DEVICE_LIST:
        result = room < 32 ? PNDIAG_NO_ROOM : DeviceList(buffer, payloadLength, room, &length);
        break;
    case PNDIAG_CMD_DEVICE:
    case PNDIAG_CMD_RELATION:
        result = room < PNDRV_AR_SIZE ? PNDIAG_NO_ROOM
                                      : Details(command, buffer, payloadLength, room, &length);
        break;
    case PNDIAG_CMD_STATE:
        result = room < PNDRV_STATE_SIZE ? PNDIAG_NO_ROOM : State(context, buffer, &length);
        break;
    case PNDIAG_CMD_RELATION_DATA:
        result = room < PNDRV_READ_CR_MIN_SIZE ? PNDIAG_NO_ROOM
                                               : RelationData(buffer, payloadLength, room, &length);
        break;
    default:
        return PNDIAG_UNKNOWN_COMMAND;
    }
    *replyLength = std::min(length, room);
    return result;
}

void PnDiagServe(const PnDiagContext& context, const std::atomic<int>& run, int idleMs)
{
    const uint32_t handle = NySocStartTcpServer(PNDIAG_PORT, 0);
    printf("TcpDiagThread %d\n", static_cast<int>(handle));
    fflush(stdout);
    if (handle == 0)
        return;
    uint8_t* buffer = new (std::nothrow) uint8_t[kBufferSize];
    if (buffer == nullptr)
    {
        NySocStopConnection(handle);
        return;
    }
    auto* d = reinterpret_cast<NySocFrameDescriptor*>(buffer);
    uint8_t* frame = buffer + NYSOC_DESCRIPTOR_HEAD_SIZE;
    uint32_t received = 0;
    bool connected = false;
    double since = 0;
    const auto drop = [&]
    {
        // The client goes; the handle waits for the next one.
        NySocDisconnect(handle, 0);
        connected = false;
        received = 0;
    };
    while (run.load() == 1)
    {
        std::memset(d, 0, NYSOC_DESCRIPTOR_HEAD_SIZE);
        d->uHandle = handle;
        d->uCapacity = PNDIAG_MAX_FRAME;
        d->uLength = received;
        const int status = NySocReceive(d, 50);
        if (status != KESTREL_OK && status != KESTREL_TIMEOUT)
        {
            // No client: take the next one waiting for the port at once, else look again in
            // 10 ms.
            connected = false;
            received = 0;
            if (NySocRestart(handle, 0) != KESTREL_OK)
                usleep(10000);
            continue;
        }
        if (!connected)
        {
            connected = true;
            since = Now();
        }
        received = std::min<uint32_t>(d->uLength, PNDIAG_MAX_FRAME);
        PnDiagHead head;
        const PnDiagFrameState state = PnDiagCheckFrame(frame, received, &head);
        if (state == PNDIAG_BAD_HEAD)
        {
            drop();
            continue;
        }
        if (state == PNDIAG_COMPLETE)
        {
            // The buffer serves one client after another: nothing of an earlier request or
            // reply may stand behind this request where the controller leaves bytes untouched.
            std::memset(frame + head.usLength, 0, PNDIAG_MAX_FRAME - head.usLength);
            uint32_t length = 0;
            head.usResult =
                PnDiagHandleCommand(context, head.usCommand, frame + PNDIAG_HEAD_SIZE,
                                    head.usLength - PNDIAG_HEAD_SIZE, kReplyRoom, &length);
            head.usLength = static_cast<uint16_t>(length + PNDIAG_HEAD_SIZE);
            PnDiagWriteHead(frame, head);
            d->uHandle = handle;
            d->uLength = head.usLength;
            NySocSend(d, 300);
            received = 0;
            since = Now();
            continue;
        }
        if (connected && (Now() - since) * 1000 > idleMs)
            drop();
    }
    NySocStopConnection(handle);
    delete[] buffer;
}
