// The PROFINET controller device: the process-wide handle and one ioctl per operation.
#include "PnDrv.h"

#include <atomic>
#include <fcntl.h>
#include <mutex>

#include "KovePlatMutex.h"

#include "KovePlatform.h"
#include "QTXBinConfig.h"

namespace
{
const char kDeviceName[] = "/dev/pndrv";

// The handle is read by every request without a lock; opening and closing change it together
// with the use count under the open lock.
std::atomic<int> hPnDrv{-1};
uint32_t uPnDrvOpenCount = 0;
CPlatMutex tOpenLock;

int CallWordIn(uint32_t request, uint32_t value)
{
    uint8_t word[4];
    QtxBinPutU32(word, value);
    return PNDrvCall(request, word, sizeof word);
}

// Length of a record whose data length is in its word 2, plus the head.
uint32_t RecordSize(const uint8_t* record, uint32_t head)
{
    const uint64_t size = uint64_t{head} + QtxBinGetU32(record + 8);
    return size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
}
} // namespace

int PNDrvOpen()
{
    std::lock_guard<CPlatMutex> guard(tOpenLock);
    if (hPnDrv.load() == -1)
    {
        const int handle = PlatOpen(kDeviceName, O_RDWR);
        if (handle < 0)
            return -1;
        hPnDrv.store(handle);
    }
    ++uPnDrvOpenCount;
    return 0;
}

void PNDrvClose()
{
    std::lock_guard<CPlatMutex> guard(tOpenLock);
    const int handle = hPnDrv.load();
    if (handle == -1)
        return;
    if (uPnDrvOpenCount > 0)
        --uPnDrvOpenCount;
    if (uPnDrvOpenCount == 0)
    {
        hPnDrv.store(-1);
        PlatClose(handle);
    }
}

int PNDrvIsNotOpen()
{
    return hPnDrv.load() == -1 ? 1 : 0;
}

int PNDrvCall(uint32_t request, void* buffer, uint32_t /*size: the kernel reads the record*/)
{
    const int handle = hPnDrv.load();
    if (handle == -1)
        return -1;
    return PlatIoctl(handle, request, buffer);
}

int PNDrvSSetCopyImage(uint8_t* image)
{
    return PNDrvCall(PNDRV_IOCTL_SET_COPY_IMAGE, image, PNDRV_COPY_IMAGE_SIZE);
}

int PNDrvSPreparePort(uint32_t port)
{
    return CallWordIn(PNDRV_IOCTL_PREPARE_PORT, port);
}

int PNDrvSReset(uint32_t code)
{
    return CallWordIn(PNDRV_IOCTL_RESET, code);
}

int PNDrvSSetFactoryMode(uint32_t value)
{
    return CallWordIn(PNDRV_IOCTL_SET_FACTORY_MODE, value);
}

int PNDrvSRequest(uint8_t* request)
{
    return PNDrvCall(PNDRV_IOCTL_REQUEST, request, PNDRV_REQUEST_SIZE);
}

int PNDrvSGetSubslots(uint8_t* list)
{
    if (list == nullptr)
        return -1;
    return PNDrvCall(PNDRV_IOCTL_GET_SUBSLOTS, list, (QtxBinGetU16(list + 4) + 1u) * 16u);
}

int PNDrvSStartConfig(uint8_t* image)
{
    return PNDrvCall(PNDRV_IOCTL_START_CONFIG, image, PNDRV_SNIFFER_IMAGE_SIZE);
}

int PNDrvSConfigBegin()
{
    return PNDrvCall(PNDRV_IOCTL_CONFIG_BEGIN, nullptr, 0);
}

int PNDrvSConfigEnd()
{
    return PNDrvCall(PNDRV_IOCTL_CONFIG_END, nullptr, 0);
}

int PNDrvSWriteLastConfig(uint8_t* image)
{
    return PNDrvCall(PNDRV_IOCTL_WRITE_LAST_CONFIG, image, PNDRV_SNIFFER_IMAGE_SIZE);
}

int PNDrvSCheckDevices(uint8_t* image)
{
    return PNDrvCall(PNDRV_IOCTL_CHECK_DEVICES, image, PNDRV_SNIFFER_IMAGE_SIZE);
}

int PNDrvSGetStatistics(uint8_t* statistics)
{
    return PNDrvCall(PNDRV_IOCTL_GET_STATISTICS, statistics, PNDRV_STATISTICS_SIZE);
}

int PNDrvSGetVersion(uint8_t* record)
{
    if (record == nullptr)
        return -1;
    return PNDrvCall(PNDRV_IOCTL_GET_VERSION, record, 24u + QtxBinGetU16(record));
}

int PNDrvSWaitCopyMachine(uint32_t* value)
{
    if (value == nullptr)
        return -1;
    uint8_t word[4];
    QtxBinPutU32(word, *value);
    const int result = PNDrvCall(PNDRV_IOCTL_WAIT_COPY_MACHINE, word, sizeof word);
    *value = QtxBinGetU32(word);
    return result;
}

int PNDrvSGetDevList(uint8_t* list)
{
    if (list == nullptr)
        return -1;
    return PNDrvCall(PNDRV_IOCTL_GET_DEV_LIST, list, 32u + 48u * QtxBinGetU16(list + 6));
}

int PNDrvSGetDev(uint8_t* record)
{
    return PNDrvCall(PNDRV_IOCTL_GET_DEV, record, PNDRV_DEV_SIZE);
}

int PNDrvSGetAR(uint8_t* record)
{
    return PNDrvCall(PNDRV_IOCTL_GET_AR, record, PNDRV_AR_SIZE);
}

int PNDrvSGetState(uint8_t* record)
{
    return PNDrvCall(PNDRV_IOCTL_GET_STATE, record, PNDRV_STATE_SIZE);
}

int PNDrvSReadCR(uint8_t* buffer, uint32_t size)
{
    if (size < PNDRV_READ_CR_MIN_SIZE)
        return PNDRV_BUFFER_TOO_SMALL;
    return PNDrvCall(PNDRV_IOCTL_READ_CR, buffer, size);
}

uint16_t PNDrvGetDebugSize()
{
    uint8_t size[2] = {0, 0};
    if (PNDrvCall(PNDRV_IOCTL_DEBUG_SIZE, size, sizeof size) != 0)
        return 0;
    return QtxBinGetU16(size);
}

int PNDrvDataExchange(uint32_t request, uint8_t* record)
{
    if (record == nullptr ||
        (request != PNDRV_IOCTL_EXCHANGE && request != PNDRV_IOCTL_EXCHANGE_TEXT))
        return PNDRV_EXCHANGE_FAILED;
    const uint32_t size = RecordSize(record, 24);
    if (request == PNDRV_IOCTL_EXCHANGE_TEXT && size > 24)
        record[size - 1] = 0;
    const uint32_t callerWord = QtxBinGetU32(record + 16);
    if (PNDrvCall(request, record, size) != 0)
        return PNDRV_EXCHANGE_FAILED;
    const uint32_t status = QtxBinGetU32(record + 16);
    QtxBinPutU32(record + 16, callerWord);
    return static_cast<int>(status);
}

uint32_t PNDrvGetValue()
{
    uint8_t word[4] = {0, 0, 0, 0};
    if (PNDrvCall(PNDRV_IOCTL_GET_VALUE, word, sizeof word) != 0)
        return 0;
    return QtxBinGetU32(word);
}

uint32_t PNDrvQueryValue()
{
    uint8_t word[4];
    QtxBinPutU32(word, 64);
    if (PNDrvCall(PNDRV_IOCTL_QUERY_VALUE, word, sizeof word) != 0)
        return PNDRV_VALUE_FAILED;
    return QtxBinGetU32(word);
}
