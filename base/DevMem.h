/* Physical memory of the base library.
 *
 * Maps ranges of physical memory ("/dev/mem") into the process, copies
 * between physical memory and a caller's record, and reads the few fixed
 * identification words that the device keeps at physical addresses.
 *
 * Every function has C linkage and reports by return value; none throws,
 * logs or prints. Usable from C and C++. */
#ifndef DEVMEM_H
#define DEVMEM_H

#include <stddef.h>
#include <stdint.h>

#include "KestrelStatus.h"

#if defined(__GNUC__)
#define DEVMEM_EXPORT __attribute__((visibility("default")))
#else
#define DEVMEM_EXPORT
#endif

/* Physical addresses of the identification words. */
#define DEVMEM_CHIP_ID_ADDRESS 0x00200FFCu
#define DEVMEM_HARDWARE_WORDS_ADDRESS 0x40000000u
/* The first hardware word when it cannot be read. */
#define DEVMEM_HARDWARE_WORD_UNREADABLE 0x00FFFFFFu

/* Physical copy record: i32 status (written back), u32 physical address,
 * u32 length, then the data; little-endian. */
#define DEVMEM_COPY_HEAD_SIZE 12u

#ifdef __cplusplus
extern "C"
{
#endif

    /* One mapping of physical memory: the open "/dev/mem" (-1 none), the base
     * of the mapped pages and their length in bytes (0 none). */
    typedef struct DevMemMapping
    {
        int32_t iFd;
        void* pBase;
        size_t uLength;
    } DevMemMapping;

    /* Maps length bytes of physical memory from physicalAddress, shared and
     * readable (and writable when writable is non-zero). The mapping starts
     * at the page that holds the address and covers whole pages; *pointer is
     * the mapping base plus the address's offset in its page. Both outputs are
     * cleared first.
     * Returns 0; 73 when "/dev/mem" cannot be opened; 70 when the mapping
     * fails (nothing stays open); 72 when pointer or mapping is null. */
    DEVMEM_EXPORT int DevMemMap32(uint32_t physicalAddress, uint32_t length, void** pointer,
                                  DevMemMapping* mapping, int writable);

    /* Unmaps the pages and closes "/dev/mem" as far as the mapping holds them,
     * and resets the record (descriptor -1, base null, length 0). A reset or
     * null record is left alone. */
    DEVMEM_EXPORT void DevMemUnmap(DevMemMapping* mapping);

    /* Copies the data of a physical copy record of recordSize bytes into
     * physical memory (toMemory non-zero) or physical memory into the record's
     * data. The status is returned and written into the record: 0; 72 when
     * the record's length runs past recordSize; or the mapping's status.
     * 72 without writing anything when the record cannot hold its head. */
    DEVMEM_EXPORT int DevMemCopy(uint8_t* record, uint32_t recordSize, int toMemory);

    /* The 32-bit word at DEVMEM_CHIP_ID_ADDRESS, or 0 when it cannot be read. */
    DEVMEM_EXPORT uint32_t DevReadChipIdWord(void);

    /* Chip family from bits 16-23 of the chip identification word:
     * 0x38 -> 6, 0x43 -> 5, 0x50 -> 4, 0x64 -> 3, 0x6B -> 1, 0x77 -> 2, else 0. */
    DEVMEM_EXPORT int DevChipFamily(uint32_t word);

    /* The two 32-bit words at DEVMEM_HARDWARE_WORDS_ADDRESS: returns the first
     * (DEVMEM_HARDWARE_WORD_UNREADABLE when they cannot be read) and stores the
     * second through second when it is not null (0 when unreadable). */
    DEVMEM_EXPORT uint32_t DevReadHardwareWords(uint32_t* second);

#ifdef __cplusplus
}
#endif

#endif /* DEVMEM_H */
