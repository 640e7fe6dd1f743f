// Module commands, EEPROM and SPI flash of the plug-in modules through the module libraries.
//
// SrwCommand keeps "libSRW.so" loaded with one module reserved between calls, under a lock
// of its own so that two threads never tear its state apart. The flash calls load
// "libPLV.so" for each call and release the module and the library on every way out.
#include "ModuleMemory.h"

#include "KovePlatform.h"
#include "QTXError.h"
#include "QTXGlobal.h"
#include "QTXShell.h"

#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace
{
constexpr int kFirstSlotPort = 62100;
constexpr int kLastModuleSlot = 4;
constexpr int kReserveRetryMs = 100;
constexpr int kEepromSettleMs = 20;
constexpr uint32_t kBlockMask = PLV_FLASH_BLOCK - 1;
const char kCalibrationMagic[4] = {'C', 'A', 'L', 'I'};
const char kCalibrationFile[] = "calibration.zip";

void SleepMs(long ms)
{
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
}

// Slot 0..4, or a slot driver's port 62100..62104 turned into its slot; -1 otherwise.
int ModuleSlot(int slot)
{
    if (slot >= kFirstSlotPort && slot <= kFirstSlotPort + kLastModuleSlot)
        slot -= kFirstSlotPort;
    return slot >= 0 && slot <= kLastModuleSlot ? slot : -1;
}

// State of SrwCommand: the loaded library and the reserved module, under its mutex.
struct SSrwState
{
    pthread_mutex_t tMutex;
    WIO2USR_HANDLE* pHandle = nullptr;
    bool bReserved = false;
    int iReservedSlot = 0;
    SSrwState() { NyMutexCreatePrivate(&tMutex); }
};

SSrwState& SrwState()
{
    static SSrwState state;
    return state;
}

bool ReserveSlot(WIO2USR_HANDLE* handle, int slot)
{
    uint8_t in[4];
    Wio2UsrPutLe32(in, static_cast<uint32_t>(slot));
    uint32_t returned = 0;
    return WIO2USR_Call(handle, WIO2USR_RESERVE, in, sizeof in, nullptr, 0, &returned);
}

void UnloadSrw(SSrwState& state)
{
    if (state.pHandle == nullptr)
        return;
    if (state.bReserved)
    {
        uint32_t returned = 0;
        WIO2USR_Call(state.pHandle, WIO2USR_RELEASE, nullptr, 0, nullptr, 0, &returned);
    }
    WIO2USR_CloseHandle(state.pHandle);
    state.pHandle = nullptr;
    state.bReserved = false;
}

// An open "libPLV.so" with the module reserved; releases and unloads on every way out.
class CPlvSession
{
public:
    explicit CPlvSession(int slot, int extra)
    {
        m_pHandle = WIO2USR_OpenDll(WIO2USR_PLV_LIBRARY);
        uint32_t returned = 0;
        m_bReserved = m_pHandle != nullptr && Reserve_PLV_Module(m_pHandle, slot, extra, &returned);
    }
    ~CPlvSession()
    {
        if (m_pHandle == nullptr)
            return;
        uint32_t returned = 0;
        WIO2USR_Call(m_pHandle, WIO2USR_RELEASE, nullptr, 0, nullptr, 0, &returned);
        WIO2USR_CloseHandle(m_pHandle);
    }
    CPlvSession(const CPlvSession&) = delete;
    CPlvSession& operator=(const CPlvSession&) = delete;

    bool Ready() const { return m_bReserved; }
    WIO2USR_HANDLE* Handle() const { return m_pHandle; }

private:
    WIO2USR_HANDLE* m_pHandle = nullptr;
    bool m_bReserved = false;
};

// Writes one block record and checks the library's answer.
bool WriteRecord(WIO2USR_HANDLE* handle, std::vector<uint8_t>& record)
{
    int result = -1;
    uint32_t returned = 0;
    return Write_PLV_Block(handle, record.data(), static_cast<uint32_t>(record.size()), &result,
                           &returned) &&
           returned == 4 && result == 0;
}

bool ReadExactly(int fd, uint8_t* out, size_t count)
{
    size_t at = 0;
    while (at < count)
    {
        const ssize_t n = PlatRead(fd, out + at, count - at);
        if (n <= 0)
            return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

bool WriteWholeFile(const std::string& path, const uint8_t* data, size_t count)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    size_t at = 0;
    while (at < count)
    {
        const ssize_t n = write(fd, data + at, count - at);
        if (n <= 0)
        {
            close(fd);
            return false;
        }
        at += static_cast<size_t>(n);
    }
    return close(fd) == 0;
}
} // namespace

bool SrwCommand(int code, void* in, int inLength, void* out, int outLength, int /*extra*/,
                int budgetMs, int slot)
{
    SSrwState& state = SrwState();
    LockGuard lock(&state.tMutex);
    lock.Lock();
    if (code < 0)
    {
        UnloadSrw(state);
        return true;
    }
    // A negative length would reach the library as a huge one.
    if (inLength < 0 || outLength < 0)
        return false;
    if (state.pHandle == nullptr)
    {
        state.pHandle = WIO2USR_OpenDll(WIO2USR_SRW_LIBRARY);
        if (state.pHandle == nullptr)
            return false;
        state.bReserved = false;
    }
    if (!state.bReserved || state.iReservedSlot != slot)
    {
        // Another module: the one held is let go first.
        if (state.bReserved)
        {
            uint32_t returned = 0;
            WIO2USR_Call(state.pHandle, WIO2USR_RELEASE, nullptr, 0, nullptr, 0, &returned);
            state.bReserved = false;
        }
        int budget = budgetMs;
        while (!ReserveSlot(state.pHandle, slot))
        {
            budget -= kReserveRetryMs;
            if (budget < 0)
            {
                // The next command loads and reserves afresh.
                UnloadSrw(state);
                return false;
            }
            SleepMs(kReserveRetryMs);
        }
        state.bReserved = true;
        state.iReservedSlot = slot;
    }
    // The library's result tells success; how many bytes it reports is its own affair (not
    // every library reports a count), so the caller's buffer is what it asked for.
    uint32_t returned = 0;
    return WIO2USR_Call(state.pHandle, static_cast<uint32_t>(code), in,
                        static_cast<uint32_t>(inLength), out, static_cast<uint32_t>(outLength),
                        &returned);
}

bool EepromRead(void* buffer, int length, int address, int slot, int budgetMs, bool keepReserved)
{
    slot = ModuleSlot(slot);
    if (buffer == nullptr || address < 0 || length < 1 || slot < 0)
        return false;
    uint8_t in[4];
    Wio2UsrPutLe32(in, static_cast<uint32_t>(address));
    const bool read = SrwCommand(SRW_EEPROM_READ, in, 4, buffer, length, length, budgetMs, slot);
    if (!keepReserved)
        SrwCommand(-1, nullptr, 0, nullptr, 0, 0, 0, slot);
    return read;
}

bool EepromWrite(void* buffer, int length, int address, int slot, int /*budgetMs*/,
                 bool keepReserved)
{
    // The slot goes to the module library as it is: a slot driver's port is no slot here, and
    // a slot without a module is refused by the library's reservation.
    if (buffer == nullptr || address < 0 || length < 0)
        return false;
    // The production record (the first 512 bytes) gets its checksum when the write covers it;
    // a write that does not is written as given.
    if (address == 0 && length >= EEPROM_IMAGE_SIZE)
        EepromCheck(buffer, EEPROM_IMAGE_SIZE, true);
    uint8_t where[4];
    Wio2UsrPutLe32(where, static_cast<uint32_t>(address));
    bool ok = SrwCommand(SRW_EEPROM_WRITE, buffer, length, where, 4, 0, 0, slot);
    if (ok)
    {
        SleepMs(kEepromSettleMs);
        std::vector<uint8_t> readBack(static_cast<size_t>(length));
        ok = SrwCommand(SRW_EEPROM_READ, where, 4, readBack.data(), length, length, 0, slot) &&
             (length == 0 || memcmp(readBack.data(), buffer, static_cast<size_t>(length)) == 0);
    }
    if (!keepReserved)
        SrwCommand(-1, nullptr, 0, nullptr, 0, 0, 0, slot);
    return ok;
}

bool EepromReleaseLock()
{
    return SrwCommand(-1, nullptr, 0, nullptr, 0, 0, 0, 0);
}

bool EepromCheck(void* image, int length, bool update)
{
    if (image == nullptr || length < 4)
        return false;
    uint8_t* bytes = static_cast<uint8_t*>(image);
    uint32_t sum = 0;
    for (int i = 0; i < length - 4; ++i)
        sum += (bytes[i] + 0x65u) & 0xFFu;
    const bool matched = Wio2UsrGetLe32(bytes + length - 4) == sum;
    if (update)
        Wio2UsrPutLe32(bytes + length - 4, sum);
    return matched;
}

int TriggerSystemWatchdog()
{
    return 1;
}

bool Reserve_PLV_Module(WIO2USR_HANDLE* handle, int slot, int /*extra*/, uint32_t* bytesReturned)
{
    uint8_t in[4];
    Wio2UsrPutLe32(in, static_cast<uint32_t>(slot));
    return WIO2USR_Call(handle, WIO2USR_RESERVE, in, sizeof in, nullptr, 0, bytesReturned);
}

bool Read_PLV_Block(WIO2USR_HANDLE* handle, uint8_t* buffer, uint32_t length, uint32_t address,
                    uint32_t* bytesReturned)
{
    uint8_t in[4];
    Wio2UsrPutLe32(in, address);
    // {buffer address, length}: the address is as wide as a pointer of the device.
    uint8_t pair[sizeof(void*) + 4];
    memcpy(pair, &buffer, sizeof(void*));
    Wio2UsrPutLe32(pair + sizeof(void*), length);
    return WIO2USR_Call(handle, PLV_READ_BLOCK, in, sizeof in, pair, sizeof pair, bytesReturned);
}

bool Write_PLV_Block(WIO2USR_HANDLE* handle, uint8_t* record, uint32_t recordLength, int* result,
                     uint32_t* bytesReturned)
{
    if (record == nullptr || recordLength < PLV_BLOCK_HEAD_SIZE)
        return false;
    if (!WIO2USR_Call(handle, PLV_WRITE_BLOCK, record, recordLength, record, recordLength,
                      bytesReturned))
        return false;
    if (result != nullptr)
        *result = static_cast<int>(Wio2UsrGetLe32(record));
    return true;
}

bool SpiFlashRead(void* buffer, int length, int address, int slot, int extra)
{
    if (buffer == nullptr || length < 1 || address < 0)
        return false;
    CPlvSession session(slot, extra);
    uint32_t returned = 0;
    return session.Ready() &&
           Read_PLV_Block(session.Handle(), static_cast<uint8_t*>(buffer),
                          static_cast<uint32_t>(length), static_cast<uint32_t>(address),
                          &returned) &&
           returned == static_cast<uint32_t>(length);
}

bool SpiFlashWrite(const void* data, int length, int address, int slot, int extra)
{
    if (data == nullptr || length < 0 || address < 0)
        return false;
    CPlvSession session(slot, extra);
    if (!session.Ready())
        return false;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    uint32_t at = static_cast<uint32_t>(address);
    uint32_t left = static_cast<uint32_t>(length);
    if ((at & kBlockMask) == 0 && (left & kBlockMask) == 0)
    {
        // Whole blocks: one record.
        std::vector<uint8_t> record(PLV_BLOCK_HEAD_SIZE + static_cast<size_t>(left));
        Wio2UsrPutLe32(record.data(), 0);
        Wio2UsrPutLe32(record.data() + 4, at);
        Wio2UsrPutLe32(record.data() + 8, left);
        if (left > 0)
            memcpy(record.data() + PLV_BLOCK_HEAD_SIZE, bytes, left);
        return WriteRecord(session.Handle(), record);
    }
    std::vector<uint8_t> record(PLV_BLOCK_HEAD_SIZE + PLV_FLASH_BLOCK);
    uint8_t* block = record.data() + PLV_BLOCK_HEAD_SIZE;
    while (left > 0)
    {
        const uint32_t blockAddress = at & ~kBlockMask;
        const uint32_t offset = at & kBlockMask;
        const uint32_t chunk = PLV_FLASH_BLOCK - offset < left ? PLV_FLASH_BLOCK - offset : left;
        if (chunk < PLV_FLASH_BLOCK)
        {
            // A part of a block: the block as it stands, with the part laid into it.
            uint32_t returned = 0;
            if (!Read_PLV_Block(session.Handle(), block, PLV_FLASH_BLOCK, blockAddress,
                                &returned) ||
                returned != PLV_FLASH_BLOCK)
                return false;
        }
        memcpy(block + offset, bytes, chunk);
        // The whole block goes back, so the flash keeps what lies around the part; the head
        // counts the bytes of this chunk, as the module library expects.
        Wio2UsrPutLe32(record.data(), 0);
        Wio2UsrPutLe32(record.data() + 4, blockAddress);
        Wio2UsrPutLe32(record.data() + 8, chunk);
        if (!WriteRecord(session.Handle(), record))
            return false;
        at += chunk;
        bytes += chunk;
        left -= chunk;
    }
    return true;
}

bool GetCalibrationFromFlash(const std::string& device, const std::string& directory)
{
    const int fd = PlatOpen(device.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    uint8_t head[12];
    std::vector<uint8_t> archive;
    bool ok = ReadExactly(fd, head, sizeof head) &&
              memcmp(head, kCalibrationMagic, sizeof kCalibrationMagic) == 0;
    const uint32_t length = ok ? Wio2UsrGetLe32(head + 8) : 0;
    ok = ok && length >= 2 && length <= CALIBRATION_MAX_LENGTH;
    if (ok)
    {
        archive.resize(length);
        ok = ReadExactly(fd, archive.data(), length);
    }
    PlatClose(fd);
    if (!ok)
        return false;
    std::string folder = PlatPath(directory.empty() ? std::string(".") : directory);
    if (folder.back() != '/')
        folder += '/';
    const std::string zip = folder + kCalibrationFile;
    if (!WriteWholeFile(zip, archive.data(), archive.size()))
        return false;
    // The folder is one argument of unzip, whatever characters its name holds.
    const int status = ExecuteProgram({"unzip", "-o", "-q", zip, "-d", folder}, true);
    unlink(zip.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
