#include "KoveSimState.h"

#include "KovePlatMutex.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr uint32_t kMagic = 0x5453564B; // "KVST"
constexpr uint32_t kVersion = 4;
constexpr uint32_t kCapacity = 1u << 18; // entries of the bus table
constexpr uint32_t kCapacityBits = 18;
constexpr uint32_t kLimit = kCapacity / 4 * 3; // kept below 3/4 full so probes stay short
constexpr size_t kHeaderBytes = 4096;
constexpr uint32_t kWordMask = 0x3FFFFFFF; // word indices of the 32-bit byte space
constexpr uint32_t kFlagRefused = 1;

struct SSimBusEntry
{
    uint32_t uKey; // word index + 1; 0 marks a free entry
    uint32_t uValue;
    uint32_t uFlags;
    uint32_t uReserved;
};

constexpr size_t kFileBytes = kHeaderBytes + sizeof(SSimBusEntry) * kCapacity;

uint32_t Get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void Put32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Value of the low n bytes (n 1..4) of a little-endian word at p, merged into old.
uint32_t MergeBytes(uint32_t old, const uint8_t* p, uint32_t n)
{
    if (n >= 4)
        return Get32(p);
    uint32_t v = old;
    for (uint32_t b = 0; b < n; ++b)
        v = (v & ~(0xFFu << (8 * b))) | static_cast<uint32_t>(p[b]) << (8 * b);
    return v;
}

uint32_t HashSlot(uint32_t key)
{
    return (key * 2654435761u) >> (32 - kCapacityBits);
}

// Inputs of the FPGA that the hardware wires into bus words: the hex switches
// (where a family reads them from the bus) and the module word of an empty
// slot. They replace the bits of the stored word.
uint32_t ApplyInputs(const SSimRegisters& r, uint32_t index, uint32_t value)
{
    const uint32_t kWord8 = 8 >> 2;
    const uint32_t kWord8200 = 8200 >> 2;
    const uint32_t kWord110008 = 0x110008 >> 2;
    switch (SimFamilyCode(r.uIdWord))
    {
    case 2:
        if (index == kWord110008)
            value = (value & 0x00FFFFFF) | static_cast<uint32_t>(r.aHex[1] & 0xF) << 24 |
                    static_cast<uint32_t>(r.aHex[0] & 0xF) << 28;
        break;
    case 6:
        if (index == kWord8)
            value = (value & ~0x0FF00000u) | static_cast<uint32_t>(r.aHex[1] & 0xF) << 20 |
                    static_cast<uint32_t>(r.aHex[2] & 0xF) << 24;
        else if (index == kWord8200)
            value = (value & ~0xFFFFu) | r.aHex[3];
        break;
    case 7:
        if (index == kWord8)
            value = (value & ~0x0F000000u) | static_cast<uint32_t>(r.aHex[2] & 0xF) << 24;
        break;
    case 8:
        if (index == kWord8)
            value = (value & ~0x00F00000u) | static_cast<uint32_t>(r.aHex[1] & 0xF) << 20;
        break;
    default:
        break;
    }
    // Module word of slot n (1..4): 0x7FEF0000 + n * 0x20000000, 32-bit wrap-around.
    for (uint32_t slot = 1; slot <= 4; ++slot)
        if (!(r.uSlotMask & (1u << slot)) && index == ((0x7FEF0000u + slot * 0x20000000u) >> 2))
            return kSimEmptySlotWord;
    return value;
}

void FillRegisters(SSimRegisters* r, const SSimDescription& desc)
{
    memset(r, 0, sizeof *r);
    r->uIdWord = desc.uIdWord;
    memcpy(r->aHex, desc.aHex, sizeof r->aHex);
    r->uSlotMask = desc.uSlotMask;
    r->uFactoryButton = desc.bFactoryButton ? 1 : 0;
    r->uFactoryAtStart = r->uFactoryButton;
}

struct SCacheEntry
{
    dev_t tDev;
    ino_t tIno;
    std::shared_ptr<CSimState> pState;
};

CPlatMutex& CacheMutex()
{
    static CPlatMutex m;
    return m;
}

std::map<std::string, SCacheEntry>& Cache()
{
    static std::map<std::string, SCacheEntry> cache;
    return cache;
}
} // namespace

struct SSimStateFile
{
    uint32_t uMagic;
    uint32_t uVersion;
    uint32_t uCapacity;
    uint32_t uHeaderBytes;
    pthread_mutex_t tMutex;
    SSimRegisters tRegs;
    uint32_t uUsed;
};
static_assert(sizeof(SSimStateFile) <= kHeaderBytes, "state header too large");

namespace
{
SSimBusEntry* Entries(SSimStateFile* f)
{
    return reinterpret_cast<SSimBusEntry*>(reinterpret_cast<char*>(f) + kHeaderBytes);
}

bool HeaderValid(const SSimStateFile& f)
{
    return f.uMagic == kMagic && f.uVersion == kVersion && f.uCapacity == kCapacity &&
           f.uHeaderBytes == kHeaderBytes;
}
} // namespace

std::string CSimState::FilePath(const std::string& dir)
{
    return dir + "/dev/fpga.state";
}

bool CSimState::IsValid(const std::string& dir)
{
    int fd = open(FilePath(dir).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    SSimStateFile head;
    bool ok = fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) == kFileBytes &&
              pread(fd, &head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
              HeaderValid(head);
    close(fd);
    return ok;
}

std::shared_ptr<CSimState> CSimState::Open(const std::string& dir)
{
    std::string path = FilePath(dir);
    std::lock_guard<CPlatMutex> guard(CacheMutex());
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return nullptr;
    auto it = Cache().find(dir);
    if (it != Cache().end() && it->second.tDev == st.st_dev && it->second.tIno == st.st_ino)
        return it->second.pState;

    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    if (fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) != kFileBytes)
    {
        close(fd);
        errno = EINVAL;
        return nullptr;
    }
    void* p = mmap(nullptr, kFileBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED)
    {
        int e = errno;
        close(fd);
        errno = e;
        return nullptr;
    }
    auto* file = static_cast<SSimStateFile*>(p);
    if (!HeaderValid(*file))
    {
        munmap(p, kFileBytes);
        close(fd);
        errno = EINVAL;
        return nullptr;
    }
    std::shared_ptr<CSimState> state(new CSimState(fd, file, kFileBytes));
    Cache()[dir] = SCacheEntry{st.st_dev, st.st_ino, state};
    return state;
}

int CSimState::Reset(const std::string& dir, const SSimDescription& desc)
{
    if (IsValid(dir))
    {
        std::shared_ptr<CSimState> state = Open(dir);
        if (!state)
            return -1;
        CLock lock(*state);
        if (!lock.Locked())
        {
            errno = EIO;
            return -1;
        }
        // Punching out the table gives zeros to every process that has it
        // mapped and gives the pages back; where that is not possible, clear it.
        if (fallocate(state->m_iFd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                      static_cast<off_t>(kHeaderBytes),
                      static_cast<off_t>(kFileBytes - kHeaderBytes)) != 0)
            memset(Entries(state->m_pFile), 0, kFileBytes - kHeaderBytes);
        FillRegisters(&state->m_pFile->tRegs, desc);
        state->m_pFile->uUsed = 0;
        return 0;
    }

    // A new file is made complete beside the final name and renamed into place.
    std::string tmpl = FilePath(dir) + ".XXXXXX";
    int fd = mkostemp(&tmpl[0], O_CLOEXEC);
    if (fd < 0)
        return -1;
    int err = 0;
    void* p = MAP_FAILED;
    if (fchmod(fd, 0644) != 0 || ftruncate(fd, static_cast<off_t>(kFileBytes)) != 0)
        err = errno;
    if (err == 0)
    {
        p = mmap(nullptr, kHeaderBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED)
            err = errno;
    }
    if (err == 0)
    {
        auto* file = static_cast<SSimStateFile*>(p);
        memset(file, 0, sizeof *file);
        err = PlatInitSharedMutex(&file->tMutex);
        FillRegisters(&file->tRegs, desc);
        file->uCapacity = kCapacity;
        file->uHeaderBytes = kHeaderBytes;
        file->uVersion = kVersion;
        file->uMagic = kMagic;
        munmap(p, kHeaderBytes);
    }
    close(fd);
    if (err == 0 && rename(tmpl.c_str(), FilePath(dir).c_str()) != 0)
        err = errno;
    if (err != 0)
    {
        unlink(tmpl.c_str());
        errno = err;
        return -1;
    }
    return 0;
}

CSimState::CSimState(int fd, SSimStateFile* file, size_t size)
    : m_iFd(fd), m_pFile(file), m_uSize(size)
{
}

CSimState::~CSimState()
{
    munmap(m_pFile, m_uSize);
    close(m_iFd);
}

CSimState::CLock::CLock(CSimState& state)
    : m_pMutex(&state.m_pFile->tMutex), m_bLocked(PlatLockSharedMutex(m_pMutex))
{
}

CSimState::CLock::~CLock()
{
    if (m_bLocked)
        pthread_mutex_unlock(m_pMutex);
}

int64_t CSimState::FindLocked(uint32_t index) const
{
    const SSimBusEntry* e = Entries(m_pFile);
    uint32_t key = index + 1;
    uint32_t pos = HashSlot(key);
    for (uint32_t probes = 0; probes < kCapacity; ++probes, pos = (pos + 1) & (kCapacity - 1))
    {
        if (e[pos].uKey == key)
            return pos;
        if (e[pos].uKey == 0)
            return -1;
    }
    return -1;
}

int64_t CSimState::InsertLocked(uint32_t index)
{
    if (m_pFile->uUsed >= kLimit)
        return -1;
    SSimBusEntry* e = Entries(m_pFile);
    uint32_t key = index + 1;
    uint32_t pos = HashSlot(key);
    for (uint32_t probes = 0; probes < kCapacity; ++probes, pos = (pos + 1) & (kCapacity - 1))
    {
        if (e[pos].uKey == 0)
        {
            e[pos].uValue = 0;
            e[pos].uFlags = 0;
            e[pos].uKey = key;
            ++m_pFile->uUsed;
            return pos;
        }
    }
    return -1;
}

uint32_t CSimState::StoredWordLocked(uint32_t index) const
{
    int64_t pos = FindLocked(index);
    return pos < 0 ? 0 : Entries(m_pFile)[pos].uValue;
}

uint32_t CSimState::ReadWordLocked(uint32_t index) const
{
    const SSimRegisters& r = m_pFile->tRegs;
    if (index == 0)
        return r.uIdWord;
    return ApplyInputs(r, index, SimUnitLoad(r, index, StoredWordLocked(index)));
}

bool CSimState::StoreLocked(uint32_t index, uint32_t value)
{
    if (index == 0)
        return true; // the identification word is read-only
    value = SimUnitStore(m_pFile->tRegs, index, value);
    int64_t pos = FindLocked(index);
    if (pos < 0)
    {
        if (value == 0)
            return true;
        pos = InsertLocked(index);
        if (pos < 0)
            return false;
    }
    Entries(m_pFile)[pos].uValue = value;
    return true;
}

int64_t CSimState::BusRead(uint32_t address, uint8_t* data, uint32_t count)
{
    CLock lock(*this);
    if (!lock.Locked())
    {
        errno = EIO;
        return -1;
    }
    uint32_t base = address >> 2;
    uint32_t words = static_cast<uint32_t>((static_cast<uint64_t>(count) + 3) / 4);
    const SSimBusEntry* e = Entries(m_pFile);
    for (uint32_t i = 0; i < words; ++i)
    {
        int64_t pos = FindLocked((base + i) & kWordMask);
        if (pos >= 0 && (e[pos].uFlags & kFlagRefused))
            return kSimBusRefused;
    }
    for (uint32_t i = 0; i < words; ++i)
    {
        uint8_t bytes[4];
        Put32(bytes, ReadWordLocked((base + i) & kWordMask));
        uint32_t n = count - 4 * i < 4 ? count - 4 * i : 4;
        memcpy(data + 4 * static_cast<size_t>(i), bytes, n);
    }
    return kSimBusOk;
}

int64_t CSimState::BusWrite(uint32_t address, const uint8_t* data, uint32_t count)
{
    CLock lock(*this);
    if (!lock.Locked())
    {
        errno = EIO;
        return -1;
    }
    uint32_t base = address >> 2;
    uint32_t words = static_cast<uint32_t>((static_cast<uint64_t>(count) + 3) / 4);
    const SSimBusEntry* e = Entries(m_pFile);
    uint64_t needed = 0;
    for (uint32_t i = 0; i < words; ++i)
    {
        uint32_t index = (base + i) & kWordMask;
        int64_t pos = FindLocked(index);
        if (pos >= 0 && (e[pos].uFlags & kFlagRefused))
            return kSimBusRefused;
        uint32_t n = count - 4 * i < 4 ? count - 4 * i : 4;
        if (pos < 0 && index != 0 && MergeBytes(0, data + 4 * static_cast<size_t>(i), n) != 0)
            ++needed;
    }
    if (m_pFile->uUsed + needed > kLimit)
        return kSimBusFull;
    for (uint32_t i = 0; i < words; ++i)
    {
        uint32_t index = (base + i) & kWordMask;
        uint32_t n = count - 4 * i < 4 ? count - 4 * i : 4;
        StoreLocked(index,
                    MergeBytes(StoredWordLocked(index), data + 4 * static_cast<size_t>(i), n));
    }
    return kSimBusOk;
}

int64_t CSimState::BusMulti(uint8_t* entries, uint32_t count)
{
    CLock lock(*this);
    if (!lock.Locked())
    {
        errno = EIO;
        return -1;
    }
    uint32_t n = count / 8;
    const SSimBusEntry* e = Entries(m_pFile);
    uint64_t needed = 0;
    for (uint32_t i = 0; i < n; ++i)
    {
        uint32_t address = Get32(entries + 8 * static_cast<size_t>(i));
        uint32_t index = address >> 2;
        int64_t pos = FindLocked(index);
        if (pos >= 0 && (e[pos].uFlags & kFlagRefused))
            return kSimBusRefused;
        if (!(address & 1) && pos < 0 && index != 0 &&
            Get32(entries + 8 * static_cast<size_t>(i) + 4) != 0)
            ++needed;
    }
    if (m_pFile->uUsed + needed > kLimit)
        return kSimBusFull;
    for (uint32_t i = 0; i < n; ++i)
    {
        uint8_t* entry = entries + 8 * static_cast<size_t>(i);
        uint32_t address = Get32(entry);
        if (address & 1)
            Put32(entry + 4, ReadWordLocked(address >> 2));
        else
            StoreLocked(address >> 2, Get32(entry + 4));
    }
    return kSimBusOk;
}

int CSimState::SetRefused(uint32_t address, bool refused)
{
    CLock lock(*this);
    if (!lock.Locked())
    {
        errno = EIO;
        return -1;
    }
    uint32_t index = address >> 2;
    int64_t pos = FindLocked(index);
    if (pos < 0)
    {
        if (!refused)
            return 0;
        pos = InsertLocked(index);
        if (pos < 0)
        {
            errno = ENOSPC;
            return -1;
        }
    }
    SSimBusEntry& entry = Entries(m_pFile)[pos];
    entry.uFlags = refused ? (entry.uFlags | kFlagRefused) : (entry.uFlags & ~kFlagRefused);
    return 0;
}

template <typename Change> int CSimState::WithRegisters(Change change)
{
    CLock lock(*this);
    if (!lock.Locked())
    {
        errno = EIO;
        return -1;
    }
    change(m_pFile->tRegs);
    return 0;
}

int CSimState::Registers(SSimRegisters* regs)
{
    return WithRegisters([&](SSimRegisters& r) { *regs = r; });
}
int CSimState::SetLedWord(uint32_t value)
{
    return WithRegisters(
        [&](SSimRegisters& r)
        {
            if (r.uLedWord == value && r.uLedShownCount != 0)
                return;
            r.uLedWord = value;
            constexpr uint32_t kKept = sizeof r.aLedShown / sizeof r.aLedShown[0];
            if (r.uLedShownCount == kKept)
            {
                memmove(r.aLedShown, r.aLedShown + 1, sizeof r.aLedShown - sizeof r.aLedShown[0]);
                --r.uLedShownCount;
            }
            r.aLedShown[r.uLedShownCount++] = value;
        });
}
int CSimState::SetLedTest(bool on)
{
    return WithRegisters([&](SSimRegisters& r) { r.uLedTest = on ? 1 : 0; });
}
int CSimState::SetUpdateError(uint32_t value)
{
    return WithRegisters([&](SSimRegisters& r) { r.uUpdateError = value; });
}
int CSimState::SetPublishedHex(const uint8_t record[16])
{
    return WithRegisters([&](SSimRegisters& r)
                         { memcpy(r.aPublishedHex, record, sizeof r.aPublishedHex); });
}
int CSimState::SetHexSwitches(const uint8_t hex[4])
{
    return WithRegisters([&](SSimRegisters& r) { memcpy(r.aHex, hex, sizeof r.aHex); });
}
int CSimState::SetFactoryButton(bool on)
{
    return WithRegisters([&](SSimRegisters& r) { r.uFactoryButton = on ? 1 : 0; });
}
int CSimState::SetGpioLine(int line, bool held, bool active)
{
    if (line < 80 || line > 88)
    {
        errno = EINVAL;
        return -1;
    }
    const uint32_t bit = 1u << (line - 80);
    return WithRegisters(
        [&](SSimRegisters& r)
        {
            r.uGpioHeldMask = held ? (r.uGpioHeldMask | bit) : (r.uGpioHeldMask & ~bit);
            r.uGpioHeldLevel = active ? (r.uGpioHeldLevel | bit) : (r.uGpioHeldLevel & ~bit);
        });
}
