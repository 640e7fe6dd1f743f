#include "KoveSimInterProc.h"

#include "KovePlatMutex.h"
#include "KovePlatNodes.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr unsigned long kRequestBase = 0xC0046900ul;
constexpr uint32_t kMagic = 0x5049564B; // "KVIP"
constexpr uint32_t kVersion = 1;
constexpr uint32_t kEvents = 256;
constexpr uint32_t kEventBytes = 48;
constexpr uint32_t kZavoEventBytes = 80;
constexpr uint32_t kProgressRecords = 32;
constexpr uint32_t kProgressBytes = 112;
constexpr uint32_t kStatusBytes = 80;
constexpr uint32_t kSlots = 16;
constexpr uint32_t kBlocks = 256;
constexpr uint32_t kGranule = 16;
constexpr size_t kPoolOffset = 1u << 20;
constexpr size_t kFileBytes = kPoolOffset + kSimInterProcPoolBytes;

enum ETransferResult : uint16_t
{
    kDone = 0,
    kEmpty = 1,
    kFull = 2,
    kTooLong = 3,
    kRoomTooSmall = 4,
};

struct SQueue
{
    // Free-running counts of messages written and read: their difference is
    // the number queued, also across the wrap of the counts.
    uint32_t uWritten;
    uint32_t uRead;
    struct
    {
        uint32_t uLength;
        uint8_t aData[kSimInterProcMessageBytes];
    } aSlots[kSimInterProcQueueDepth];
};

template <uint32_t Bytes> struct SEventRing
{
    uint32_t uWritten;
    uint32_t uRead;
    uint32_t uDropped;
    uint8_t aEvents[kEvents][Bytes];
};

struct SBlock
{
    uint32_t uOffset;
    uint32_t uSize;
    uint16_t uOwner;
    uint16_t uUsed;
};

struct SInterProcFile
{
    uint32_t uMagic;
    uint32_t uVersion;
    pthread_mutex_t tMutex;
    SQueue aQueues[kSimInterProcChannels];
    SEventRing<kEventBytes> tEvents;
    SEventRing<kZavoEventBytes> tZavoEvents;
    uint8_t aStatus[kSlots][kStatusBytes];
    uint8_t aHasStatus[kSlots];
    uint8_t aError[kSlots];
    uint8_t aUpdate[3];
    uint32_t uProgressWritten;
    uint8_t aProgress[kProgressRecords][kProgressBytes];
    uint16_t uLastConnection;
    SBlock aBlocks[kBlocks];
    uint32_t aStatistics[4]; // allocations, frees, refused allocations, owner changes
};
static_assert(sizeof(SInterProcFile) <= kPoolOffset, "interproc state too large");

struct SOpen
{
    SInterProcFile* pFile;
};

uint32_t Get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t Get16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

int Fail(int error)
{
    errno = error;
    return -1;
}

std::string StatePath(const std::string& simDir)
{
    return simDir + "/dev/interproc.state";
}

bool Valid(const SInterProcFile* f)
{
    return f->uMagic == kMagic && f->uVersion == kVersion;
}

// Makes the state file when the device has none yet: complete beside its
// name, then linked into place, so that of two processes making it at once
// both use the one that got there first.
int EnsureStateFile(const std::string& simDir)
{
    const std::string path = StatePath(simDir);
    if (access(path.c_str(), F_OK) == 0)
        return 0;
    std::string tmpl = path + ".XXXXXX";
    int fd = mkostemp(&tmpl[0], O_CLOEXEC);
    if (fd < 0)
        return -1;
    int err = 0;
    if (fchmod(fd, 0644) != 0 || ftruncate(fd, static_cast<off_t>(kFileBytes)) != 0)
        err = errno;
    void* p = MAP_FAILED;
    if (err == 0)
    {
        p = mmap(nullptr, sizeof(SInterProcFile), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED)
            err = errno;
    }
    if (err == 0)
    {
        auto* f = static_cast<SInterProcFile*>(p);
        err = PlatInitSharedMutex(&f->tMutex);
        f->uVersion = kVersion;
        f->uMagic = kMagic;
        munmap(p, sizeof(SInterProcFile));
    }
    close(fd);
    if (err == 0 && link(tmpl.c_str(), path.c_str()) != 0 && errno != EEXIST)
        err = errno;
    unlink(tmpl.c_str());
    if (err != 0)
        return Fail(err);
    return 0;
}

class CLocked
{
public:
    explicit CLocked(SInterProcFile* f) : m_pFile(f), m_bLocked(PlatLockSharedMutex(&f->tMutex)) {}
    ~CLocked()
    {
        if (m_bLocked)
            pthread_mutex_unlock(&m_pFile->tMutex);
    }
    CLocked(const CLocked&) = delete;
    CLocked& operator=(const CLocked&) = delete;
    bool Locked() const { return m_bLocked; }

private:
    SInterProcFile* m_pFile;
    bool m_bLocked;
};

// ---- Transfer buffers

int WriteTransfer(SInterProcFile* f, uint8_t* rec, uint16_t* result)
{
    const uint8_t channel = rec[0];
    if (channel >= kSimInterProcChannels)
        return Fail(EINVAL);
    SQueue& q = f->aQueues[channel];
    const uint32_t length = Get32(rec + 8);
    if (length > kSimInterProcMessageBytes)
        *result = kTooLong;
    else if (q.uWritten - q.uRead >= kSimInterProcQueueDepth)
        *result = kFull;
    else
    {
        auto& slot = q.aSlots[q.uWritten % kSimInterProcQueueDepth];
        slot.uLength = length;
        memcpy(slot.aData, rec + 24, length);
        ++q.uWritten;
        *result = kDone;
    }
    return 0;
}

int ReadTransfer(SInterProcFile* f, uint8_t* rec, uint16_t* result)
{
    const uint8_t channel = rec[0];
    if (channel >= kSimInterProcChannels)
        return Fail(EINVAL);
    SQueue& q = f->aQueues[channel];
    const uint32_t room = Get32(rec + 8);
    if (q.uWritten == q.uRead)
    {
        *result = kEmpty;
        return 0;
    }
    const auto& slot = q.aSlots[q.uRead % kSimInterProcQueueDepth];
    const uint32_t length = std::min(slot.uLength, kSimInterProcMessageBytes);
    if (length > room)
    {
        *result = kRoomTooSmall;
        return 0;
    }
    memcpy(rec + 24, slot.aData, length);
    Put32(rec + 12, length);
    ++q.uRead;
    *result = kDone;
    return 0;
}

// ---- Event rings

template <uint32_t Bytes> void PushEvent(SEventRing<Bytes>& ring, const uint8_t* event)
{
    if (ring.uWritten - ring.uRead >= kEvents)
    {
        ++ring.uRead;
        ++ring.uDropped;
    }
    memcpy(ring.aEvents[ring.uWritten % kEvents], event, Bytes);
    ++ring.uWritten;
}

template <uint32_t Bytes> void PushEvents(SEventRing<Bytes>& ring, const uint8_t* rec)
{
    const uint16_t count = Get16(rec);
    for (uint32_t i = 0; i < count; ++i)
        PushEvent(ring, rec + 4 + static_cast<size_t>(i) * Bytes);
}

template <uint32_t Bytes> void PopEvents(SEventRing<Bytes>& ring, uint8_t* rec)
{
    const uint32_t room = Get16(rec + 16);
    const uint32_t held = ring.uWritten - ring.uRead;
    const uint32_t count = std::min(room, held);
    for (uint32_t i = 0; i < count; ++i)
    {
        memcpy(rec + 24 + static_cast<size_t>(i) * Bytes, ring.aEvents[ring.uRead % kEvents],
               Bytes);
        ++ring.uRead;
    }
    Put16(rec + 16, static_cast<uint16_t>(count));
}

// ---- Memory pool

// The offset of a free run of size bytes (first fit), or -1.
int64_t FindFree(const SInterProcFile* f, uint32_t size)
{
    uint32_t starts[kBlocks];
    uint32_t ends[kBlocks];
    uint32_t n = 0;
    for (const SBlock& b : f->aBlocks)
        if (b.uUsed)
        {
            starts[n] = b.uOffset;
            ends[n++] = b.uOffset + b.uSize;
        }
    std::sort(starts, starts + n);
    std::sort(ends, ends + n);
    uint32_t at = 0;
    for (uint32_t i = 0; i <= n; ++i)
    {
        const uint32_t limit = i < n ? starts[i] : kSimInterProcPoolBytes;
        if (limit >= at && limit - at >= size)
            return at;
        if (i < n)
            at = std::max(at, ends[i]);
    }
    return -1;
}

SBlock* FindBlock(SInterProcFile* f, uint32_t offset)
{
    for (SBlock& b : f->aBlocks)
        if (b.uUsed && b.uOffset == offset)
            return &b;
    return nullptr;
}

void Allocate(SInterProcFile* f, uint8_t* rec)
{
    const uint16_t owner = Get16(rec);
    const uint32_t size = (Get16(rec + 2) + kGranule - 1) / kGranule * kGranule;
    int64_t offset = size == 0 ? -1 : FindFree(f, size);
    SBlock* entry = nullptr;
    for (SBlock& b : f->aBlocks)
        if (!b.uUsed)
        {
            entry = &b;
            break;
        }
    if (offset < 0 || entry == nullptr)
    {
        ++f->aStatistics[2];
        Put32(rec + 4, 0xFFFFFFFFu);
        return;
    }
    *entry = SBlock{static_cast<uint32_t>(offset), size, owner, 1};
    ++f->aStatistics[0];
    Put32(rec + 4, static_cast<uint32_t>(offset));
}

int Free(SInterProcFile* f, const uint8_t* rec)
{
    SBlock* b = FindBlock(f, Get32(rec + 4));
    if (b == nullptr)
        return Fail(EINVAL);
    if (b->uOwner != Get16(rec))
        return Fail(EPERM);
    b->uUsed = 0;
    ++f->aStatistics[1];
    return 0;
}

int Chown(SInterProcFile* f, const uint8_t* rec)
{
    SBlock* b = FindBlock(f, Get32(rec + 4));
    if (b == nullptr)
        return Fail(EINVAL);
    b->uOwner = Get16(rec);
    ++f->aStatistics[3];
    return 0;
}

void Diagnosis(const SInterProcFile* f, uint8_t* rec)
{
    memset(rec, 0, 48);
    uint32_t used = 0;
    uint32_t blocks = 0;
    for (const SBlock& b : f->aBlocks)
        if (b.uUsed)
        {
            used += b.uSize;
            ++blocks;
        }
    Put32(rec, kSimInterProcPoolBytes);
    Put32(rec + 4, used);
    Put32(rec + 8, kSimInterProcPoolBytes - used);
    Put32(rec + 12, blocks);
}

// ---- Module status

int SlotOf(const uint8_t* rec)
{
    const int slot = rec[10] - 16;
    return slot >= 0 && slot < static_cast<int>(kSlots) ? slot : -1;
}

void ReadStatus(const SInterProcFile* f, uint8_t* rec)
{
    memset(rec, 0, 124);
    for (uint32_t s = 0; s < kSlots; ++s)
    {
        rec[s] = f->aHasStatus[s] ? static_cast<uint8_t>(Get16(f->aStatus[s] + 8)) : 0xFF;
        rec[16 + s] = f->aError[s];
    }
    memcpy(rec + 32, f->aUpdate, sizeof f->aUpdate);
}

void ReadProgress(const SInterProcFile* f, uint8_t* rec)
{
    memset(rec, 0, kProgressRecords * kProgressBytes);
    const uint32_t count = std::min(f->uProgressWritten, kProgressRecords);
    for (uint32_t i = 0; i < count; ++i)
        memcpy(rec + static_cast<size_t>(i) * kProgressBytes,
               f->aProgress[(f->uProgressWritten - count + i) % kProgressRecords], kProgressBytes);
}

int Request(SInterProcFile* f, unsigned nn, uint8_t* rec)
{
    uint16_t result = 0;
    switch (nn)
    {
    case 0x01:
    case 0x21:
        Put32(rec + 8, 0);
        return 0;
    case 0x03:
    case 0x22:
        Put16(rec, 0);
        return 0;
    case 0x23:
        return 0;
    case 0x24:
    case 0x38:
    case 0x25:
    case 0x37:
    {
        const bool write = nn == 0x24 || nn == 0x38;
        if ((write ? WriteTransfer(f, rec, &result) : ReadTransfer(f, rec, &result)) != 0)
            return -1;
        Put16(rec + 16, result);
        if (nn == 0x37 || nn == 0x38)
            Put32(rec + 20, result);
        return 0;
    }
    case 0x26:
        PushEvent(f->tEvents, rec);
        return 0;
    case 0x27:
        PushEvents(f->tEvents, rec);
        return 0;
    case 0x28:
        PopEvents(f->tEvents, rec);
        return 0;
    case 0x29:
        Put32(rec, f->tEvents.uWritten - f->tEvents.uRead);
        Put32(rec + 4, f->tEvents.uDropped);
        return 0;
    case 0x2A:
        Allocate(f, rec);
        return 0;
    case 0x2B:
        return Free(f, rec);
    case 0x2C:
        return Chown(f, rec);
    case 0x2D:
        memset(rec, 0, 32);
        Put32(rec + 4, kSimInterProcPoolBytes);
        Put32(rec + 8, kGranule);
        Put32(rec + 12, kBlocks);
        return 0;
    case 0x2E:
        Diagnosis(f, rec);
        return 0;
    case 0x2F:
        memset(rec, 0, 24);
        for (int i = 0; i < 4; ++i)
            Put32(rec + 4 * i, f->aStatistics[i]);
        return 0;
    case 0x30:
        memset(rec, 0, 48);
        return 0;
    case 0x31:
        memset(rec, 0, 16);
        return 0;
    case 0x32:
    {
        const int slot = SlotOf(rec);
        if (slot < 0)
            return Fail(EINVAL);
        memcpy(f->aStatus[slot], rec, kStatusBytes);
        f->aHasStatus[slot] = 1;
        return 0;
    }
    case 0x33:
        memcpy(f->aUpdate, rec, sizeof f->aUpdate);
        return 0;
    case 0x34:
        ReadStatus(f, rec);
        return 0;
    case 0x35:
        if (++f->uLastConnection == 0)
            f->uLastConnection = 1;
        Put16(rec, f->uLastConnection);
        return 0;
    case 0x36:
    case 0x39:
        return 0;
    case 0x3A:
    case 0x3B:
    {
        const int slot = SlotOf(rec);
        if (slot < 0)
            return Fail(EINVAL);
        f->aError[slot] = nn == 0x3A ? 1 : 0;
        return 0;
    }
    case 0x3C:
        memset(f->aError, 0, sizeof f->aError);
        return 0;
    case 0x3E:
        PushEvent(f->tZavoEvents, rec);
        return 0;
    case 0x3F:
        PushEvents(f->tZavoEvents, rec);
        return 0;
    case 0x40:
        PopEvents(f->tZavoEvents, rec);
        return 0;
    case 0x41:
        memcpy(f->aProgress[f->uProgressWritten % kProgressRecords], rec, kProgressBytes);
        ++f->uProgressWritten;
        return 0;
    case 0x42:
        ReadProgress(f, rec);
        return 0;
    case 0x43:
        memset(rec, 0, 644);
        return 0;
    default:
        return Fail(EINVAL);
    }
}

int InterProcIoctl(int, void* priv, unsigned long request, void* arg)
{
    if ((request & ~0xFFul) != kRequestBase)
        return Fail(EINVAL);
    if (arg == nullptr)
        return Fail(EFAULT);
    SInterProcFile* f = static_cast<SOpen*>(priv)->pFile;
    CLocked lock(f);
    if (!lock.Locked())
        return Fail(EIO);
    return Request(f, static_cast<unsigned>(request & 0xFF), static_cast<uint8_t*>(arg));
}

int InterProcOpen(const std::string& simDir, const char*, int, void** priv)
{
    if (EnsureStateFile(simDir) != 0)
        return -1;
    int fd = open(StatePath(simDir).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    void* p = MAP_FAILED;
    if (fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) == kFileBytes)
        p = mmap(nullptr, sizeof(SInterProcFile), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED || !Valid(static_cast<SInterProcFile*>(p)))
    {
        if (p != MAP_FAILED)
            munmap(p, sizeof(SInterProcFile));
        close(fd);
        return Fail(EIO);
    }
    *priv = new SOpen{static_cast<SInterProcFile*>(p)};
    return fd;
}

void InterProcRelease(void* priv)
{
    auto* o = static_cast<SOpen*>(priv);
    munmap(o->pFile, sizeof(SInterProcFile));
    delete o;
}

// The pool: a mapping of its part of the state file.
void* InterProcMmap(int fd, void*, void* addr, size_t length, int prot, int flags, off_t offset)
{
    if (offset < 0 || length == 0 || static_cast<uint64_t>(offset) > kSimInterProcPoolBytes ||
        length > kSimInterProcPoolBytes - static_cast<uint64_t>(offset) ||
        offset % sysconf(_SC_PAGESIZE) != 0)
    {
        errno = EINVAL;
        return MAP_FAILED;
    }
    return mmap(addr, length, prot, flags, fd, static_cast<off_t>(kPoolOffset) + offset);
}
} // namespace

const SPlatNodeOps g_tSimInterProcOps = {InterProcOpen,   PlatNodeCloseFd, InterProcRelease,
                                         InterProcIoctl,  PlatNodeNoRead,  PlatNodeNoWrite,
                                         PlatNodeNoLseek, InterProcMmap};
