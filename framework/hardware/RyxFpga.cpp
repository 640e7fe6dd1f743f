// The FPGA device interface, on the platform layer.
#include "RyxFpga.h"

#include "KovePlatform.h"

#include <fcntl.h>
#include <pthread.h>
#include <string.h>

extern "C"
{
    int32_t HRyx = -1;
    uint32_t RyxFpgaOpenCnt = 0;
    char RyxFpgaName[RYXFPGA_NAME_SIZE] = "/dev/ryxfpga";
}

namespace
{
// Opens and closes may come from several threads; requests only read the handle.
pthread_mutex_t* OpenMutex()
{
    static pthread_mutex_t mutex;
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once,
                 []
                 {
                     pthread_mutexattr_t attr;
                     pthread_mutexattr_init(&attr);
                     pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
                     if (pthread_mutex_init(&mutex, &attr) != 0)
                         pthread_mutex_init(&mutex, nullptr);
                     pthread_mutexattr_destroy(&attr);
                 });
    return &mutex;
}

int32_t Handle()
{
    return __atomic_load_n(&HRyx, __ATOMIC_ACQUIRE);
}
void SetHandle(int32_t fd)
{
    __atomic_store_n(&HRyx, fd, __ATOMIC_RELEASE);
}

uint32_t Get32(const void* p)
{
    const auto* b = static_cast<const uint8_t*>(p);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

void Put32(void* p, uint32_t v)
{
    auto* b = static_cast<uint8_t*>(p);
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<uint8_t>(v >> (8 * i));
}

int OpenVim()
{
    return 0;
}
void CloseVim() {}
int DrvOpen(const char* name)
{
    return PlatOpen(name, O_RDWR);
}
void DrvClose(int fd)
{
    PlatClose(fd);
}
int DrvIoCtlCall(int fd, unsigned request, void* record, unsigned)
{
    return PlatIoctl(fd, request, record) == 0 ? 0 : -1;
}

// Length of a record with a 12-byte head whose word 2 counts the bytes behind it.
unsigned CountedLength(const void* record)
{
    return record ? static_cast<unsigned>(Get32(static_cast<const uint8_t*>(record) + 8) + 12ull)
                  : 0;
}

int CallWord(unsigned nn, uint32_t value)
{
    uint8_t word[4];
    Put32(word, value);
    return RyxFpgaCall(word, RYXFPGA_REQUEST(nn), sizeof word);
}

// A request that fills one word; failure gives failValue.
uint32_t GetWord(unsigned nn, uint32_t failValue)
{
    uint8_t word[4] = {0, 0, 0, 0};
    if (RyxFpgaCall(word, RYXFPGA_REQUEST(nn), sizeof word) != 0)
        return failValue;
    return Get32(word);
}

// One-word raw access for VIM2KBF_DeviceIoControl: true when the request and
// the bus access both succeeded.
bool RawWord(bool write, uint32_t address, uint32_t* value)
{
    uint8_t block[16];
    Put32(block, 0);
    Put32(block + 4, address);
    Put32(block + 8, 4);
    Put32(block + 12, write ? *value : 0);
    int r = write ? RyxFpgaRawWrite(block) : RyxFpgaRawRead(block);
    if (r != 0 || Get32(block) != 0)
        return false;
    if (!write)
        *value = Get32(block + 12);
    return true;
}
} // namespace

extern "C"
{

    int RyxFpgaOpen(void)
    {
        pthread_mutex_lock(OpenMutex());
        int result = 0;
        if (Handle() == -1)
        {
            if (OpenVim() != 0)
            {
                result = -1;
            }
            else
            {
                int fd = DrvOpen(RyxFpgaName);
                if (fd < 0)
                {
                    CloseVim();
                    result = -1;
                }
                else
                {
                    SetHandle(fd);
                }
            }
        }
        if (result == 0)
            ++RyxFpgaOpenCnt;
        pthread_mutex_unlock(OpenMutex());
        return result;
    }

    void RyxFpgaClose(void)
    {
        pthread_mutex_lock(OpenMutex());
        int32_t fd = Handle();
        if (fd != -1)
        {
            if (RyxFpgaOpenCnt > 0)
                --RyxFpgaOpenCnt;
            if (RyxFpgaOpenCnt == 0)
            {
                DrvClose(fd);
                SetHandle(-1);
                CloseVim();
            }
        }
        pthread_mutex_unlock(OpenMutex());
    }

    void RyxFpgaGetInternals(int* handle, unsigned* count)
    {
        pthread_mutex_lock(OpenMutex());
        if (handle)
            *handle = Handle();
        if (count)
            *count = RyxFpgaOpenCnt;
        pthread_mutex_unlock(OpenMutex());
    }

    int RyxFpgaCall(void* record, unsigned request, unsigned length)
    {
        int32_t fd = Handle();
        if (fd == -1)
            return -1;
        return DrvIoCtlCall(fd, request, record, length);
    }

    int RyxFpgaGetDebug(void* record)
    {
        return RyxFpgaCall(record, RYXFPGA_REQUEST(0x01), CountedLength(record));
    }

    uint16_t RyxFpgaGetDebugSize(void)
    {
        uint8_t size[2] = {0, 0};
        if (RyxFpgaCall(size, RYXFPGA_REQUEST(0x03), sizeof size) != 0)
            return 0;
        return static_cast<uint16_t>(size[0] | size[1] << 8);
    }

    int RyxFpgaRawRead(void* block)
    {
        return RyxFpgaCall(block, RYXFPGA_REQUEST(0x48), CountedLength(block));
    }

    int RyxFpgaRawWrite(void* block)
    {
        return RyxFpgaCall(block, RYXFPGA_REQUEST(0x49), CountedLength(block));
    }

    int RyxFpgaReadRecordsWait(void* record)
    {
        unsigned length = 0;
        if (record)
        {
            const auto* r = static_cast<const uint8_t*>(record);
            uint64_t size = Get32(r + 8);
            uint64_t count = static_cast<uint64_t>(r[12] | r[13] << 8);
            length = static_cast<unsigned>(count * (size + 4) + 16);
        }
        return RyxFpgaCall(record, RYXFPGA_REQUEST(0x4A), length);
    }

    int RyxFpgaWatchInterruptsStart(uint32_t mask)
    {
        return CallWord(0x4B, mask);
    }
    int RyxFpgaWatchInterruptsStop(uint32_t mask)
    {
        return CallWord(0x4C, mask);
    }
    int RyxFpgaWatchInterruptsGet(void* record)
    {
        return RyxFpgaCall(record, RYXFPGA_REQUEST(0x4D), 36);
    }
    int RyxFpgaWatchInterruptsWait(void* record)
    {
        return RyxFpgaCall(record, RYXFPGA_REQUEST(0x4E), 36);
    }
    int RyxFpgaWatchInterruptsWakeUp(void)
    {
        return RyxFpgaCall(nullptr, RYXFPGA_REQUEST(0x4F), 0);
    }
    int RyxFpgaSetHexSwitches(void* record)
    {
        return RyxFpgaCall(record, RYXFPGA_REQUEST(0x50), 16);
    }
    int RyxFpgaGetHexSwitchesDebounced(void* record)
    {
        return RyxFpgaCall(record, RYXFPGA_REQUEST(0x51), 16);
    }
    int RyxFpgaCfgTransStart(uint32_t value)
    {
        return CallWord(0x52, value);
    }
    uint32_t RyxFpgaCfgTransWait(void)
    {
        return GetWord(0x53, 0x80000000u);
    }
    int RyxFpgaCfgTransRead(void* record)
    {
        return RyxFpgaCall(record, RYXFPGA_REQUEST(0x54), CountedLength(record));
    }
    int RyxFpgaCfgTransWaitCancel(void)
    {
        return RyxFpgaCall(nullptr, RYXFPGA_REQUEST(0x55), 0);
    }
    int RyxFpgaMultiAccess(void* record)
    {
        return RyxFpgaCall(record, RYXFPGA_REQUEST(0x56), CountedLength(record));
    }
    int RyxFpgaCallDpRamCommand(void* record)
    {
        return RyxFpgaCall(record, RYXFPGA_REQUEST(0x57), 8);
    }
    int RyxFpgaDpRamCmdCancel(uint16_t which)
    {
        return CallWord(0x58, which != 0 ? 2 : 1);
    }
    int RyxFpgaSlavePtrExchange(void* record)
    {
        return RyxFpgaCall(record, RYXFPGA_REQUEST(0x5C), 264);
    }
    int RyxFpgaLedControl(uint32_t leds)
    {
        return CallWord(0x5D, leds);
    }
    int RyxFpgaLedTestStart(void)
    {
        return RyxFpgaCall(nullptr, RYXFPGA_REQUEST(0x5E), 0);
    }
    int RyxFpgaLedTestStop(void)
    {
        return RyxFpgaCall(nullptr, RYXFPGA_REQUEST(0x5F), 0);
    }
    uint32_t RyxFpgaGetUpdateStatus(void)
    {
        return GetWord(0x60, 0);
    }
    int RyxFpgaSetUpdateError(uint32_t code)
    {
        return CallWord(0x61, code);
    }
    uint32_t RyxFpgaIsSetToFactoryDef(void)
    {
        return GetWord(0x62, 0);
    }
    uint32_t RyxFpgaGetFactoryDefCurrent(void)
    {
        return GetWord(0x63, 0);
    }

    int64_t RyxFpgaGetTimeStamp(void)
    {
        uint8_t stamp[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        if (RyxFpgaCall(stamp, RYXFPGA_REQUEST(0x64), sizeof stamp) != 0)
            return -1;
        uint64_t v = 0;
        for (int i = 7; i >= 0; --i)
            v = v << 8 | stamp[i];
        return static_cast<int64_t>(v);
    }

    int DPdpramGetBusState(uint8_t which, uint8_t* record)
    {
        if (record == nullptr)
            return -1;
        record[0] = which;
        if (RyxFpgaCall(record, RYXFPGA_REQUEST(0x65), 520) != 0)
        {
            record[0] = 0;
            return -1;
        }
        return 0;
    }

    int VIM2KBF_DeviceIoControl(void* handle, uint32_t code, void* inBuffer, uint32_t inLength,
                                void* outBuffer, uint32_t outLength, uint32_t* bytesReturned)
    {
        (void)handle;
        bool read = code == 2 || (code == 3 && outLength == 4);
        bool write = code == 6 || (code == 7 && inLength == 4);
        if ((!read && !write) || inBuffer == nullptr || outBuffer == nullptr)
            return 0;
        if (read)
        {
            uint32_t value = 0;
            if (!RawWord(false, Get32(inBuffer), &value))
                return 0;
            Put32(outBuffer, value);
            if (bytesReturned)
                *bytesReturned = 4;
            return 1;
        }
        uint32_t value = Get32(inBuffer);
        if (!RawWord(true, Get32(outBuffer), &value))
            return 0;
        if (bytesReturned)
            *bytesReturned = 0;
        return 1;
    }
}
