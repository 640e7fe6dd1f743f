// Physical memory through "/dev/mem": mappings, copies and the fixed
// identification words.
#include "DevMem.h"

#include "KovePlatform.h"

#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/mman.h>
#include <unistd.h>

namespace
{

const char* const kMemDevice = "/dev/mem";

uint64_t PageSize()
{
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<uint64_t>(size) : 4096u;
}

uint32_t GetU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void PutU32(uint8_t* p, uint32_t value)
{
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

// Reads count consecutive 32-bit words of physical memory from address. The
// words are device registers: each is read once, as a whole word.
bool ReadPhysicalWords(uint32_t address, uint32_t* words, uint32_t count)
{
    void* pointer = nullptr;
    DevMemMapping mapping;
    if (DevMemMap32(address, count * 4u, &pointer, &mapping, 0) != KESTREL_OK)
        return false;
    const volatile uint32_t* source = static_cast<const volatile uint32_t*>(pointer);
    for (uint32_t i = 0; i < count; ++i)
        words[i] = source[i];
    DevMemUnmap(&mapping);
    return true;
}

} // namespace

extern "C"
{

    int DevMemMap32(uint32_t physicalAddress, uint32_t length, void** pointer,
                    DevMemMapping* mapping, int writable)
    {
        if (pointer == nullptr || mapping == nullptr)
            return KESTREL_INVALID_ARGUMENT;
        *pointer = nullptr;
        mapping->iFd = -1;
        mapping->pBase = nullptr;
        mapping->uLength = 0;

        const uint64_t page = PageSize();
        const uint64_t offsetInPage = physicalAddress % page;
        const uint64_t pageBase = physicalAddress - offsetInPage;
        const uint64_t mapLength = (length + offsetInPage + page - 1) / page * page;

        const int fd = PlatOpen(kMemDevice, (writable ? O_RDWR : O_RDONLY) | O_SYNC | O_CLOEXEC);
        if (fd < 0)
            return KESTREL_NOT_INITIALISED;

        // Where size_t or off_t are narrower than the range (a 32-bit build
        // without large-file offsets), refuse rather than map the wrong pages.
        if (mapLength > std::numeric_limits<size_t>::max() ||
            pageBase > static_cast<uint64_t>(std::numeric_limits<off_t>::max()))
        {
            PlatClose(fd);
            return KESTREL_FAILED;
        }

        const int prot = PROT_READ | (writable ? PROT_WRITE : 0);
        void* base = PlatMmap(nullptr, static_cast<size_t>(mapLength), prot, MAP_SHARED, fd,
                              static_cast<off_t>(pageBase));
        if (base == MAP_FAILED)
        {
            PlatClose(fd);
            return KESTREL_FAILED;
        }

        mapping->iFd = fd;
        mapping->pBase = base;
        mapping->uLength = static_cast<size_t>(mapLength);
        *pointer = static_cast<uint8_t*>(base) + offsetInPage;
        return KESTREL_OK;
    }

    void DevMemUnmap(DevMemMapping* mapping)
    {
        if (mapping == nullptr)
            return;
        if (mapping->pBase != nullptr && mapping->uLength != 0)
            PlatMunmap(mapping->pBase, mapping->uLength);
        if (mapping->iFd != -1)
            PlatClose(mapping->iFd);
        mapping->iFd = -1;
        mapping->pBase = nullptr;
        mapping->uLength = 0;
    }

    int DevMemCopy(uint8_t* record, uint32_t recordSize, int toMemory)
    {
        if (record == nullptr || recordSize < DEVMEM_COPY_HEAD_SIZE)
            return KESTREL_INVALID_ARGUMENT;
        const uint32_t address = GetU32(record + 4);
        const uint32_t length = GetU32(record + 8);
        uint8_t* data = record + DEVMEM_COPY_HEAD_SIZE;

        int status = KESTREL_OK;
        if (static_cast<uint64_t>(length) > recordSize - DEVMEM_COPY_HEAD_SIZE)
        {
            status = KESTREL_INVALID_ARGUMENT;
        }
        else if (length != 0)
        {
            void* pointer = nullptr;
            DevMemMapping mapping;
            status = DevMemMap32(address, length, &pointer, &mapping, toMemory ? 1 : 0);
            if (status == KESTREL_OK)
            {
                if (toMemory)
                    memcpy(pointer, data, length);
                else
                    memcpy(data, pointer, length);
                DevMemUnmap(&mapping);
            }
        }
        PutU32(record, static_cast<uint32_t>(status));
        return status;
    }

    uint32_t DevReadChipIdWord(void)
    {
        uint32_t word = 0;
        return ReadPhysicalWords(DEVMEM_CHIP_ID_ADDRESS, &word, 1) ? word : 0;
    }

    int DevChipFamily(uint32_t word)
    {
        switch ((word >> 16) & 0xFFu)
        {
        case 0x38:
            return 6;
        case 0x43:
            return 5;
        case 0x50:
            return 4;
        case 0x64:
            return 3;
        case 0x6B:
            return 1;
        case 0x77:
            return 2;
        default:
            return 0;
        }
    }

    uint32_t DevReadHardwareWords(uint32_t* second)
    {
        uint32_t words[2] = {DEVMEM_HARDWARE_WORD_UNREADABLE, 0};
        if (!ReadPhysicalWords(DEVMEM_HARDWARE_WORDS_ADDRESS, words, 2))
        {
            words[0] = DEVMEM_HARDWARE_WORD_UNREADABLE;
            words[1] = 0;
        }
        if (second != nullptr)
            *second = words[1];
        return words[0];
    }

} // extern "C"
