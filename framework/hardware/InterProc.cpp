// The inter-process kernel driver interface, on the platform layer.
#include "InterProc.h"

#include "KovePlatform.h"
#include "QTXGlobal.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>

extern "C"
{
    int32_t HInterProc = -1;
    uint32_t InterProcOpenCnt = 0;
    char InterProcName[INTERPROC_NAME_SIZE] = "/dev/interproc";
    uint8_t InterProcMemProp[INTERPROC_MEMPROP_BYTES] = {};
    void* InterProcMemPtr = nullptr;
    uint16_t InterProcMemOwner = 0;
}

namespace
{
// Length of a log-book tick in nanoseconds.
constexpr int64_t kLogBookTickNs = 15258;
constexpr size_t kPageBytes = 4096;

// Descriptor kept for the pool's mapping (not the counted handle), and the mapped size.
int32_t g_iMemFd = -1;
size_t g_uMemSize = 0;

// Opens, closes and the pool's set-up may come from several threads.
pthread_mutex_t* OpenMutex()
{
    static pthread_mutex_t mutex;
    static const bool created = (NyMutexCreatePrivate(&mutex), true);
    (void)created;
    return &mutex;
}

struct SOpenLock
{
    SOpenLock() { pthread_mutex_lock(OpenMutex()); }
    ~SOpenLock() { pthread_mutex_unlock(OpenMutex()); }
};

int32_t Handle()
{
    return __atomic_load_n(&HInterProc, __ATOMIC_ACQUIRE);
}

uint32_t Get32(const void* p)
{
    const auto* b = static_cast<const uint8_t*>(p);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}
uint16_t Get16(const void* p)
{
    const auto* b = static_cast<const uint8_t*>(p);
    return static_cast<uint16_t>(b[0] | b[1] << 8);
}
void Put32(void* p, uint32_t v)
{
    auto* b = static_cast<uint8_t*>(p);
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put16(void* p, uint16_t v)
{
    auto* b = static_cast<uint8_t*>(p);
    b[0] = static_cast<uint8_t>(v);
    b[1] = static_cast<uint8_t>(v >> 8);
}

unsigned CountedLength(const void* record, size_t countAt, uint64_t unit, uint64_t head)
{
    if (record == nullptr)
        return 0;
    const uint64_t count = countAt == 8 ? Get32(static_cast<const uint8_t*>(record) + 8)
                                        : Get16(static_cast<const uint8_t*>(record) + countAt);
    return static_cast<unsigned>(count * unit + head);
}

int Call(unsigned nn, void* record, unsigned length)
{
    return InterProcCall(INTERPROC_REQUEST(nn), record, length);
}

// A request on a record the caller must give: 70 for a null one.
int CallRecord(unsigned nn, void* record, unsigned length)
{
    if (record == nullptr)
        return INTERPROC_NULL_RECORD;
    return Call(nn, record, length);
}

uint16_t GetSize(unsigned nn)
{
    uint8_t word[2] = {0, 0};
    if (Call(nn, word, sizeof word) != 0)
        return 0;
    return Get16(word);
}

// The u16 result of a transfer-buffer record after the request, or -1.
int TransferResult(unsigned nn, void* record)
{
    if (record == nullptr)
        return -1;
    if (Call(nn, record, CountedLength(record, 8, 1, INTERPROC_TRANSBUFF_HEAD)) != 0)
        return -1;
    return Get16(static_cast<uint8_t*>(record) + 16);
}

int64_t TransferResult32(unsigned nn, void* record)
{
    if (record == nullptr)
        return -1;
    if (Call(nn, record, CountedLength(record, 8, 1, INTERPROC_TRANSBUFF_HEAD)) != 0)
        return -1;
    return Get32(static_cast<uint8_t*>(record) + 20);
}

uint8_t* DataArea(void* record)
{
    return static_cast<uint8_t*>(record) + INTERPROC_TRANSBUFF_HEAD;
}

int SetModuleState(uint8_t slot, uint16_t booting)
{
    uint8_t record[INTERPROC_STATUS_BYTES] = {};
    qorM_LogBook_SetTime(record);
    Put16(record + 8, booting);
    record[10] = static_cast<uint8_t>(slot + 16);
    record[11] = 0x01;
    return InterProcWriteStatus(record);
}

int UpdateState(uint8_t x, uint8_t started)
{
    uint8_t record[3] = {x, started, 0};
    return Call(0x33, record, sizeof record);
}

// The pool offset of an address inside the mapping, or -1.
int64_t PoolOffset(const void* ptr)
{
    if (ptr == nullptr || InterProcMemPtr == nullptr)
        return -1;
    const auto address = reinterpret_cast<uintptr_t>(ptr);
    const auto base = reinterpret_cast<uintptr_t>(InterProcMemPtr);
    if (address < base || address - base >= g_uMemSize)
        return -1;
    return static_cast<int64_t>(address - base);
}

// Free and Chown: {u16 owner, 2 zero bytes, u32 offset}, sent only for an address of the pool.
void SendPoolOffset(unsigned nn, const void* ptr, uint16_t owner)
{
    const int64_t offset = PoolOffset(ptr);
    if (offset < 0)
        return;
    uint8_t record[8] = {};
    Put16(record, owner);
    Put32(record + 4, static_cast<uint32_t>(offset));
    Call(nn, record, sizeof record);
}
} // namespace

extern "C"
{
    int InterProcOpen(void)
    {
        SOpenLock lock;
        if (Handle() == -1)
        {
            int fd = PlatOpen(InterProcName, O_RDWR);
            if (fd < 0)
                return -1;
            __atomic_store_n(&HInterProc, fd, __ATOMIC_RELEASE);
        }
        ++InterProcOpenCnt;
        return 0;
    }

    void InterProcClose(void)
    {
        SOpenLock lock;
        if (Handle() == -1)
            return;
        if (InterProcOpenCnt > 0)
            --InterProcOpenCnt;
        if (InterProcOpenCnt == 0)
        {
            int fd = Handle();
            __atomic_store_n(&HInterProc, -1, __ATOMIC_RELEASE);
            PlatClose(fd);
        }
    }

    int InterProcCall(unsigned request, void* record, unsigned /*length*/)
    {
        int fd = Handle();
        if (fd == -1)
            return -1;
        return PlatIoctl(fd, request, record) == 0 ? 0 : -1;
    }

    int64_t GetMonotonicTime_ns(void)
    {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    }

    void qorM_LogBook_SetTime(void* record)
    {
        if (record == nullptr)
            return;
        const int64_t now = GetMonotonicTime_ns();
        auto* b = static_cast<uint8_t*>(record);
        Put32(b, static_cast<uint32_t>(now / 1000000000));
        // The last ticks of a second would pass 16 bits and wrap to 0-3, before the start of
        // that second: they stay at the highest tick instead.
        const int64_t ticks = (now % 1000000000) / kLogBookTickNs;
        Put16(b + 6, static_cast<uint16_t>(ticks > 0xFFFF ? 0xFFFF : ticks));
    }

    void WriteEachPage(uint8_t* buffer, unsigned length)
    {
        if (buffer == nullptr)
            return;
        for (size_t offset = 0; offset < length; offset += kPageBytes)
            buffer[offset] = static_cast<uint8_t>(offset >> 9);
    }

    int InterProcGetDebug(void* record)
    {
        return Call(0x01, record, CountedLength(record, 8, 1, 12));
    }
    uint16_t InterProcGetDebugSize(void)
    {
        return GetSize(0x03);
    }
    int InterProcGetWebDebug(void* record)
    {
        return Call(0x21, record, CountedLength(record, 8, 1, 12));
    }
    uint16_t InterProcGetWebDebugSize(void)
    {
        return GetSize(0x22);
    }
    int InterProcWebDebugAdd(void* record)
    {
        return Call(0x23, record, CountedLength(record, 8, 1, 12));
    }

    int InterProcWriteTransBuff(void* record)
    {
        return TransferResult(0x24, record);
    }
    int InterProcReadTransBuff(void* record)
    {
        if (record != nullptr)
            WriteEachPage(DataArea(record), Get32(static_cast<uint8_t*>(record) + 8));
        return TransferResult(0x25, record);
    }

    int InterProcWriteEventOne(void* record)
    {
        return Call(0x26, record, INTERPROC_EVENT_BYTES);
    }
    int InterProcWriteEvents(void* record)
    {
        return Call(0x27, record, CountedLength(record, 0, INTERPROC_EVENT_BYTES, 4));
    }
    int InterProcReadEvents(void* record)
    {
        return Call(0x28, record, CountedLength(record, 16, INTERPROC_EVENT_BYTES, 24));
    }
    int InterProcGetEventBookStatus(uint32_t* a, uint32_t* b)
    {
        uint8_t record[8] = {};
        const bool ok = Call(0x29, record, sizeof record) == 0;
        if (a)
            *a = ok ? Get32(record) : 0;
        if (b)
            *b = ok ? Get32(record + 4) : 0;
        return ok ? 0 : -1;
    }

    void* InterProcMemoryAlloc(uint32_t size)
    {
        // The request carries the size in 16 bits: a larger block cannot be asked for.
        if (InterProcMemPtr == nullptr || size > 0xFFFF)
            return nullptr;
        uint8_t record[8] = {};
        Put16(record, InterProcMemOwner);
        Put16(record + 2, static_cast<uint16_t>(size));
        Put32(record + 4, 0xFFFFFFFFu);
        if (Call(0x2A, record, sizeof record) != 0)
            return nullptr;
        const auto offset = static_cast<int32_t>(Get32(record + 4));
        // The block must lie wholly inside the pool.
        if (offset < 0 || static_cast<uint64_t>(offset) + size > g_uMemSize)
            return nullptr;
        return static_cast<uint8_t*>(InterProcMemPtr) + offset;
    }
    void InterProcMemoryFree(void* ptr)
    {
        SendPoolOffset(0x2B, ptr, InterProcMemOwner);
    }
    void InterProcMemoryChown(void* ptr, uint16_t owner)
    {
        SendPoolOffset(0x2C, ptr, owner);
    }
    int InterProcMemoryGetProp(void* record)
    {
        return Call(0x2D, record, 32);
    }
    int InterProcMemoryGetDiag(void* record)
    {
        return Call(0x2E, record, 48);
    }
    int InterProcMemoryGetStatistic(void* record)
    {
        return Call(0x2F, record, 24);
    }
    int InterProcMemoryGetTrace(void* record)
    {
        return Call(0x30, record, 48);
    }
    int InterProcMemoryGetTraceInfo(void* record)
    {
        return Call(0x31, record, 16);
    }

    int InterProcWriteStatus(void* record)
    {
        return Call(0x32, record, INTERPROC_STATUS_BYTES);
    }
    int InterProcUpdateStarted(uint8_t x)
    {
        return UpdateState(x, 1);
    }
    int InterProcUpdateEnded(uint8_t x)
    {
        return UpdateState(x, 0);
    }
    int InterProcReadStatus(void* record)
    {
        return Call(0x34, record, 124);
    }

    int InterProcCreateConnsTransBuff(void* record)
    {
        if (record == nullptr)
            return -1;
        const unsigned count = static_cast<uint8_t*>(record)[5];
        if (Call(0x35, record, (count + 8) * 4) != 0)
            return -1;
        return Get16(record);
    }
    int InterProcCloseConnTransBuff(void* record)
    {
        if (record == nullptr || Get32(record) == 0)
            return -1;
        if (Call(0x36, record, 4) != 0)
            return -1;
        const int result = Get16(record);
        Put16(record, 0);
        return result;
    }
    int64_t InterProc_ReceiveTransBuff(void* record)
    {
        if (record != nullptr)
            WriteEachPage(DataArea(record), Get32(static_cast<uint8_t*>(record) + 8));
        return TransferResult32(0x37, record);
    }
    int64_t InterProc_SendTransBuff(void* record)
    {
        return TransferResult32(0x38, record);
    }
    intptr_t InterProcKillConnections(void* record)
    {
        if (record == nullptr || Get32(record) == 0)
            return -1;
        if (Call(0x39, record, 4) != 0)
            return -1;
        Put16(record, 0);
        return reinterpret_cast<intptr_t>(record);
    }

    int InterProc_SetModuleError(void* record)
    {
        return CallRecord(0x3A, record, 80);
    }
    int InterProc_ResetModuleError(void* record)
    {
        return CallRecord(0x3B, record, 80);
    }
    int InterProc_ResetAllErrors(uint8_t x)
    {
        uint8_t record[1] = {x};
        return Call(0x3C, record, 1);
    }
    int InterProcZavoWriteEventOne(void* record)
    {
        return CallRecord(0x3E, record, INTERPROC_ZAVO_EVENT_BYTES);
    }
    int InterProcZavoWriteEvents(void* record)
    {
        if (record == nullptr)
            return INTERPROC_NULL_RECORD;
        const uint64_t count = Get16(record);
        return Call(0x3F, record, static_cast<unsigned>((count - 1) * 80 + 84));
    }
    int InterProcZavoReadEvents(void* record)
    {
        if (record == nullptr)
            return INTERPROC_NULL_RECORD;
        const uint64_t count = Get16(static_cast<uint8_t*>(record) + 16);
        return Call(0x40, record, static_cast<unsigned>((count - 1) * 80 + 104));
    }
    int InterProcWriteUpdateProgress(void* record)
    {
        return CallRecord(0x41, record, 112);
    }
    int InterProcReadUpdateProgress(void* record)
    {
        return CallRecord(0x42, record, 3584);
    }
    int InterProc_ReadErrorMsg(void* record)
    {
        return CallRecord(0x43, record, 644);
    }

    int InterProcSetModuleBoot(uint8_t slot)
    {
        return SetModuleState(slot, 1);
    }
    int InterProcSetModuleOK(uint8_t slot)
    {
        return SetModuleState(slot, 0);
    }

    int InterProcMemoryInit(uint16_t owner)
    {
        SOpenLock lock;
        memset(InterProcMemProp, 0, sizeof InterProcMemProp);
        if (InterProcMemoryGetProp(InterProcMemProp) != 0)
            return -1;
        const uint32_t size = Get32(InterProcMemProp + 4);
        if (size == 0)
            return -1;
        if (InterProcMemPtr != nullptr)
        {
            // Mapped already: one mapping serves the process.
            InterProcMemOwner = owner;
            return 0;
        }
        int fd = PlatOpen(InterProcName, O_RDWR | O_SYNC);
        if (fd < 0)
        {
            printf("open failed!\n");
            return -1;
        }
        void* map = PlatMmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED)
        {
            PlatClose(fd);
            printf("mmap failed!\n");
            return -1;
        }
        InterProcMemOwner = owner;
        g_iMemFd = fd;
        g_uMemSize = size;
        InterProcMemPtr = map;
        return 0;
    }

    void* InterProcMemoryOffsetToPtr(int32_t offset)
    {
        if (InterProcMemPtr == nullptr || offset < 0 || static_cast<uint32_t>(offset) >= g_uMemSize)
            return nullptr;
        return static_cast<uint8_t*>(InterProcMemPtr) + offset;
    }

    int32_t InterProcMemoryPtrToOffset(const void* ptr)
    {
        return static_cast<int32_t>(PoolOffset(ptr));
    }

    uint16_t InterProcMemoryGetOwnerID(void)
    {
        return InterProcMemOwner;
    }

    int InterProcMemoryRelease(void)
    {
        SOpenLock lock;
        if (InterProcMemPtr == nullptr || g_uMemSize == 0)
            return -1;
        const int result = PlatMunmap(InterProcMemPtr, g_uMemSize);
        InterProcMemPtr = nullptr;
        g_uMemSize = 0;
        PlatClose(g_iMemFd);
        g_iMemFd = -1;
        return result;
    }
}
