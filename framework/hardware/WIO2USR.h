/* Call interface of the module libraries.
 *
 * The plug-in measurement modules are reached through two libraries that are
 * loaded at run time: "libSRW.so" (module commands: reserve, release, EEPROM
 * read and write, reset, and the commands the service tool passes through) and
 * "libPLV.so" (blocks of the module's SPI flash and the module's flash file
 * system). Each exports one entry, WIO2USR_GetFunctions, that fills a table of
 * five functions: open (returns the library's context), close (context), a
 * DeviceIoControl-shaped call (context, code, in, in length, out, out length,
 * bytes returned; nonzero is success) and two entries not used here.
 *
 * This header holds that table and the codes and records both sides agree on.
 * Usable from C and C++. */
#ifndef WIO2USR_H
#define WIO2USR_H

#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

    typedef void* (*WIO2USR_OpenFunction)(void);
    typedef void (*WIO2USR_CloseFunction)(void* context);
    typedef int (*WIO2USR_IoctlFunction)(void* context, uint32_t code, void* in, uint32_t inLength,
                                         void* out, uint32_t outLength, uint32_t* bytesReturned);
    typedef void (*WIO2USR_UnusedFunction)(void);

    /* The library's function table, in this order. */
    typedef struct WIO2USR_FUNCTIONS
    {
        WIO2USR_OpenFunction pfnOpen;
        WIO2USR_CloseFunction pfnClose;
        WIO2USR_IoctlFunction pfnDeviceIoControl;
        WIO2USR_UnusedFunction pfnUnused3;
        WIO2USR_UnusedFunction pfnUnused4;
    } WIO2USR_FUNCTIONS;

    /* The entry of each library: fills the table, 0 on success. */
    typedef int (*WIO2USR_GetFunctionsEntry)(WIO2USR_FUNCTIONS* table);
#define WIO2USR_ENTRY_NAME "WIO2USR_GetFunctions"

#define WIO2USR_SRW_LIBRARY "libSRW.so"
#define WIO2USR_PLV_LIBRARY "libPLV.so"

/* Codes of both libraries. Reserve takes the slot as a 4-byte little-endian
 * int (libPLV also accepts {slot, module id, count}); release takes nothing. */
#define WIO2USR_RESERVE 0
#define WIO2USR_RELEASE 1

/* Codes of libSRW. Reads (SPI flash, RAM, EEPROM of the module's controller):
 * in the 4-byte address, out the bytes. Writes: in the bytes, out the 4-byte
 * address. Flash erase: in the 4-byte address, out the 4-byte length. Reset:
 * 2 bytes in. */
#define SRW_FLASH_ERASE 2
#define SRW_FLASH_READ 3
#define SRW_FLASH_WRITE 4
#define SRW_RAM_READ 5
#define SRW_RAM_WRITE 6
#define SRW_EEPROM_READ 9
#define SRW_EEPROM_WRITE 10
/* No input; a 16-byte answer of four u32 read before SPI flash transfers, the fourth of them
 * handed to the flash calls of libPLV. */
#define SRW_SPI_FLASH_PARAMETERS 16
#define SRW_MODULE_RESET 23

/* Codes of libPLV for flash blocks. Read: in the 4-byte address, out the pair
 * {buffer address (pointer-sized), u32 length}; bytes returned = bytes read.
 * Write: in = out = the block record: u32 result (0 when sent; the library's
 * answer comes back here), u32 flash address, u32 length, then the data; 4
 * bytes returned on success. A write erases each 64 KiB block it touches
 * before it programs the data, so a record for part of a block carries the
 * whole block. */
#define PLV_READ_BLOCK 13
#define PLV_WRITE_BLOCK 14
#define PLV_BLOCK_HEAD_SIZE 12
#define PLV_FLASH_BLOCK 0x10000u

/* Codes of libPLV for the module's flash file system (on the reserved module).
 *   PLV_FS_COUNT      out u32 number of files
 *   PLV_FS_HEADERS    out one PLV_FS_HEADER_SIZE-byte header per file
 *   PLV_FS_ADDRESSES  out one u32 flash address per file
 *   PLV_FS_SIZE       in name, out u32 size of the file
 *   PLV_FS_READ       in name, out the file's bytes (bytes returned = size)
 *   PLV_FS_WRITE      in a header (name, version) followed by the file's bytes;
 *                     a file of the same name is replaced
 *   PLV_FS_DELETE     in name
 *   PLV_FS_DEFRAG     nothing: files move together, leaving no gaps
 *   PLV_FS_FORMAT     in u32 (nonzero: a full erase); every file is removed
 * A name is NUL-terminated text of at most PLV_FS_NAME_MAX bytes, NUL included. */
#define PLV_FS_COUNT 0x40
#define PLV_FS_HEADERS 0x41
#define PLV_FS_ADDRESSES 0x42
#define PLV_FS_SIZE 0x43
#define PLV_FS_READ 0x44
#define PLV_FS_WRITE 0x45
#define PLV_FS_DELETE 0x46
#define PLV_FS_DEFRAG 0x47
#define PLV_FS_FORMAT 0x48

/* File header of the flash file system (256 bytes): u32 size at 0, version
 * (2 characters) at 4, date "YYYY-MM-DD" at 8, time "hh:mm:ss" at 18, name
 * (NUL-terminated) at 90. */
#define PLV_FS_HEADER_SIZE 256
#define PLV_FS_SIZE_OFFSET 0
#define PLV_FS_VERSION_OFFSET 4
#define PLV_FS_DATE_OFFSET 8
#define PLV_FS_TIME_OFFSET 18
#define PLV_FS_NAME_OFFSET 90
#define PLV_FS_NAME_MAX (PLV_FS_HEADER_SIZE - PLV_FS_NAME_OFFSET)

    /* Fields of the records are little-endian. */
    static inline uint32_t Wio2UsrGetLe32(const void* p)
    {
        const uint8_t* b = (const uint8_t*)p;
        return (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) |
               ((uint32_t)b[3] << 24);
    }

    static inline void Wio2UsrPutLe32(void* p, uint32_t value)
    {
        uint8_t* b = (uint8_t*)p;
        b[0] = (uint8_t)value;
        b[1] = (uint8_t)(value >> 8);
        b[2] = (uint8_t)(value >> 16);
        b[3] = (uint8_t)(value >> 24);
    }

#ifdef __cplusplus
}
#endif

#endif /* WIO2USR_H */
