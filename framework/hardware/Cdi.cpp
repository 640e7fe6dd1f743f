// The CDI device: one process-wide handle with a use count, one ioctl per request.
#include "Cdi.h"

#include "KovePlatform.h"

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <vector>

// Device-layer start -----------------------------------------------------------------------------
//
// Brackets the use of the FPGA device's memory window: started before a device node of the FPGA
// is opened, undone when the open fails or with the last close. The window needs no preparation
// on this platform, so the start always succeeds and the undo has nothing to do.
//
// These belong to the device layer shared by the FPGA device interfaces, not to the CDI device.
// They are weak so that the device layer's own definition takes their place once it has one.

extern "C" __attribute__((weak)) int OpenVim(void)
{
    return 0;
}

extern "C" __attribute__((weak)) void CloseVim(void) {}

// CDI device -------------------------------------------------------------------------------------

namespace
{

const char* const kFpgaNodeName = "/dev/ryxfpga";

// Status a reader puts into a raw access record, so that a request that leaves the record alone
// does not read as a good access.
constexpr uint32_t kReadStatusPreset = 0xDEAD;

// The handle is read by every request without a lock; opening and closing, which change it
// together with the use count, are serialised by the open lock.
std::atomic<int> hCdi{-1};
// Set while the FPGA node serves in place of the CDI node.
std::atomic<bool> bCdiOnFpgaNode{false};
uint32_t CdiOpenCnt = 0;

pthread_mutex_t* OpenLock()
{
    static pthread_mutex_t* lock = []
    {
        static pthread_mutex_t mutex;
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
        pthread_mutex_init(&mutex, &attr);
        pthread_mutexattr_destroy(&attr);
        return &mutex;
    }();
    return lock;
}

class OpenGuard
{
public:
    OpenGuard() { pthread_mutex_lock(OpenLock()); }
    ~OpenGuard() { pthread_mutex_unlock(OpenLock()); }
    OpenGuard(const OpenGuard&) = delete;
    OpenGuard& operator=(const OpenGuard&) = delete;
};

uint32_t GetU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void PutU32(uint8_t* p, uint32_t value)
{
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

// Length of a record whose data length is in its word 2; 0 when the record is null or the
// length does not fit in 32 bits (no record can be that long on the device).
uint32_t RecordLength(const uint8_t* record)
{
    if (record == nullptr)
        return 0;
    const uint64_t length = uint64_t{CDI_RAW_HEAD_SIZE} + GetU32(record + 8);
    return length > UINT32_MAX ? 0 : static_cast<uint32_t>(length);
}

int CallRecord(uint32_t request, uint8_t* record)
{
    const uint32_t size = RecordLength(record);
    if (size == 0)
        return -1;
    return CdiCall(request, record, size);
}

// A request that passes one u32 in; 0 or the failure of the request.
int CallWordIn(uint32_t request, uint32_t value)
{
    uint8_t word[4];
    PutU32(word, value);
    return CdiCall(request, word, sizeof word);
}

// A request that fills one u32; the word, or 0 when the request fails.
uint32_t CallWordOut(uint32_t request)
{
    uint8_t word[4] = {0, 0, 0, 0};
    if (CdiCall(request, word, sizeof word) != 0)
        return 0;
    return GetU32(word);
}

// One raw access of length bytes at a controller address; data is read into or written from.
int CtrlAccess(bool write, uint32_t address, void* data, uint32_t length, uint32_t* status)
{
    int result = -1;
    uint32_t kernelStatus = 0;
    if (length <= CDI_CTRL_MAX_LENGTH && (data != nullptr || length == 0))
    {
        std::vector<uint8_t> record;
        try
        {
            record.assign(CDI_RAW_HEAD_SIZE + length, 0);
        }
        catch (const std::bad_alloc&)
        {
            record.clear();
        }
        if (!record.empty())
        {
            PutU32(record.data(), write ? 0 : kReadStatusPreset);
            PutU32(record.data() + 4, address + CDI_CTRL_WINDOW);
            PutU32(record.data() + 8, length);
            if (write && length != 0)
                memcpy(record.data() + CDI_RAW_HEAD_SIZE, data, length);
            result = write ? CdiRawWrite(record.data()) : CdiRawRead(record.data());
            kernelStatus = GetU32(record.data());
            if (result == 0 && kernelStatus == 0 && !write && length != 0)
                memcpy(data, record.data() + CDI_RAW_HEAD_SIZE, length);
        }
    }
    if (status != nullptr)
        *status = CdiAccessStatus(result, kernelStatus);
    return result;
}

} // namespace

extern "C"
{

    char CdiName[CDI_NAME_SIZE] = "/dev/cdi";

    int CdiOpen(void)
    {
        OpenGuard guard;
        if (hCdi.load() == -1)
        {
            if (OpenVim() != 0)
                return -1;
            // A name that fills the whole array still ends here.
            char name[CDI_NAME_SIZE];
            memcpy(name, CdiName, sizeof name);
            name[sizeof name - 1] = '\0';
            bool onFpgaNode = false;
            int handle = PlatOpen(name, O_RDWR);
            if (handle < 0)
            {
                handle = PlatOpen(kFpgaNodeName, O_RDWR);
                onFpgaNode = true;
            }
            if (handle < 0)
            {
                CloseVim();
                return -1;
            }
            bCdiOnFpgaNode.store(onFpgaNode);
            hCdi.store(handle);
        }
        ++CdiOpenCnt;
        return 0;
    }

    void CdiClose(void)
    {
        OpenGuard guard;
        const int handle = hCdi.load();
        if (handle == -1)
            return;
        if (CdiOpenCnt > 0)
            --CdiOpenCnt;
        if (CdiOpenCnt == 0)
        {
            hCdi.store(-1);
            PlatClose(handle);
            CloseVim();
        }
    }

    int CdiIsNotOpen(void)
    {
        return hCdi.load() == -1 ? 1 : 0;
    }

    int CdiCall(uint32_t request, void* buffer, uint32_t size)
    {
        (void)size; // the kernel driver takes the length from the record
        const int handle = hCdi.load();
        if (handle == -1)
            return -1;
        return PlatIoctl(handle, request, buffer);
    }

    int CdiGetDebug(uint8_t* record)
    {
        return CallRecord(CDI_IOCTL_GET_DEBUG, record);
    }

    uint16_t CdiGetDebugSize(void)
    {
        uint8_t size[2] = {0, 0};
        if (CdiCall(CDI_IOCTL_GET_DEBUG_SIZE, size, sizeof size) != 0)
            return 0;
        return static_cast<uint16_t>(size[0] | (size[1] << 8));
    }

    int CdiRawRead(uint8_t* record)
    {
        const uint32_t size = RecordLength(record);
        if (size == 0)
            return -1;
        // The last data byte goes to the kernel as 0.
        if (size > CDI_RAW_HEAD_SIZE)
            record[size - 1] = 0;
        return CdiCall(CDI_IOCTL_RAW_READ, record, size);
    }

    int CdiRawWrite(uint8_t* record)
    {
        return CallRecord(CDI_IOCTL_RAW_WRITE, record);
    }

    int CdiSetHexSwitches(uint8_t* record)
    {
        return CdiCall(CDI_IOCTL_SET_HEX_SWITCHES, record, CDI_HEX_SWITCH_RECORD_SIZE);
    }

    int CdiGetHexSwitchesDebounced(uint8_t* record)
    {
        return CdiCall(CDI_IOCTL_GET_HEX_SWITCHES_DEBOUNCED, record, CDI_HEX_SWITCH_RECORD_SIZE);
    }

    int CdiGetHexSwitches(uint8_t* record)
    {
        // On the FPGA node this request number fills a 520-byte bus-state record.
        if (bCdiOnFpgaNode.load())
            return -1;
        return CdiCall(CDI_IOCTL_GET_HEX_SWITCHES, record, CDI_HEX_SWITCH_RECORD_SIZE);
    }

    int CdiLedControl(uint32_t value)
    {
        return CallWordIn(CDI_IOCTL_LED_CONTROL, value);
    }

    int CdiLedTestStart(void)
    {
        return CdiCall(CDI_IOCTL_LED_TEST_START, nullptr, 0);
    }

    int CdiLedTestStop(void)
    {
        return CdiCall(CDI_IOCTL_LED_TEST_STOP, nullptr, 0);
    }

    uint32_t CdiGetUpdateStatus(void)
    {
        return CallWordOut(CDI_IOCTL_GET_UPDATE_STATUS);
    }

    int CdiSetUpdateError(uint32_t code)
    {
        return CallWordIn(CDI_IOCTL_SET_UPDATE_ERROR, code);
    }

    uint32_t CdiIsSetToFactoryDef(void)
    {
        return CallWordOut(CDI_IOCTL_IS_SET_TO_FACTORY_DEF);
    }

    uint32_t CdiGetFactoryDefCurrent(void)
    {
        return CallWordOut(CDI_IOCTL_GET_FACTORY_DEF_CURRENT);
    }

    uint64_t CdiGetTimeStamp(void)
    {
        uint8_t stamp[8] = {};
        if (CdiCall(CDI_IOCTL_GET_TIME_STAMP, stamp, sizeof stamp) != 0)
            return UINT64_MAX;
        uint64_t value = 0;
        for (int i = 7; i >= 0; --i)
            value = (value << 8) | stamp[i];
        return value;
    }

    uint32_t CdiAccessStatus(int result, uint32_t kernelStatus)
    {
        if (result != 0)
            return static_cast<uint32_t>(result) & 0xFFFF;
        return (kernelStatus << 16) | (kernelStatus >> 16);
    }

    int CdiCtrlRead(uint32_t address, void* data, uint32_t length, uint32_t* status)
    {
        return CtrlAccess(false, address, data, length, status);
    }

    int CdiCtrlWrite(uint32_t address, const void* data, uint32_t length, uint32_t* status)
    {
        // Only read from on a write.
        return CtrlAccess(true, address, const_cast<void*>(data), length, status);
    }

    int CdiCtrlWriteValue(uint32_t address, uint32_t value, uint32_t* status)
    {
        uint8_t word[4];
        PutU32(word, value);
        return CdiCtrlWrite(address, word, sizeof word, status);
    }

} // extern "C"
