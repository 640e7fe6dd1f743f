/* Identity of the device, for the base library.
 *
 * Reads the production data that the factory writes into the flash partition
 * "/dev/mtd_production", the version stamp of the boot loader, and assembles
 * the device information record that the device-message service hands out.
 * Also holds the table of products by ordering number with their network
 * interfaces.
 *
 * Production data, as read (at most DEVID_PRODUCTION_READ bytes):
 *   bytes    0-511   binary record; within it
 *            16-31   serial number text (16 characters, digits)
 *            32-63   product name (32 characters)
 *            64-95   ordering number text (32 characters, digits and dots)
 *            130-135 version (written by the updater)
 *   bytes  512-1022  optionally a zero-terminated text with elements
 *                    <Name>, <OrderingNumber> and <SerialNumber>, whose
 *                    values take the place of the binary fields.
 * Fields that are not filled up are zero-padded; a field may use all of its
 * bytes without a terminator.
 *
 * Every function has C linkage and reports by return value; none throws,
 * logs or prints (trace records aside). Usable from C and C++. */
#ifndef DEVICE_IDENTITY_H
#define DEVICE_IDENTITY_H

#include <stdint.h>

#include "KestrelStatus.h"

#if defined(__GNUC__)
#define DEVID_EXPORT __attribute__((visibility("default")))
#else
#define DEVID_EXPORT
#endif

/* Production data. */
#define DEVID_PRODUCTION_SIZE 512      /* binary part */
#define DEVID_PRODUCTION_READ 1023     /* binary part and text */
#define DEVID_PRODUCTION_BLOCK_FIRST 4 /* the block holds bytes 4 to 159 */
#define DEVID_PRODUCTION_BLOCK_SIZE 156
#define DEVID_SERIAL_OFFSET 16
#define DEVID_SERIAL_SIZE 16
#define DEVID_NAME_OFFSET 32
#define DEVID_NAME_SIZE 32
#define DEVID_ORDER_OFFSET 64
#define DEVID_ORDER_SIZE 32

/* Boot version block and its short text. */
#define DEVID_BOOT_VERSION_SIZE 128
#define DEVID_BOOT_SHORT_SIZE 16
/* Byte offset of the version block in "/dev/mtd_boot". */
#define DEVID_BOOT_VERSION_OFFSET 4325248
/* Room DevFormatBootVersion needs: "vMM.mm.rrr-rcNNN" and its terminator. */
#define DEVID_BOOT_TEXT_SIZE 17

/* Device information record (little-endian, zero-filled):
 *   0        version DEVMSG_DEVICE_INFO_VERSION
 *   4-127    production data bytes 4-127 (with the text values put in)
 *   128-129  production data bytes 128-129
 *   130-133  production data bytes 144-147
 *   134-135  production data bytes 148-149
 *   140-155  short boot version text
 *   156-283  boot version block (last byte 0)
 *   284-287  first hardware word (0xFFFFFF when unreadable)
 *   288-291  second hardware word (0 when unreadable)
 *   292-295  production data bytes 152-155
 *   296-299  production data bytes 156-159 */
#define DEVMSG_DEVICE_INFO_SIZE 512
#define DEVMSG_DEVICE_INFO_VERSION 9

/* Status of ReadFileTail for a file shorter than the distance (negated). */
#define DEVID_FILE_TOO_SHORT 87

#define ORDFLAG_ROWS 16
#define ORDFLAG_MAX_INTERFACES 2
#define ORDFLAG_INTERFACE_SIZE 32

#ifdef __cplusplus
extern "C"
{
#endif

    /* Network interface of a product: its name, zero-padded. */
    typedef struct OrdFlagInterface
    {
        char szName[ORDFLAG_INTERFACE_SIZE];
    } OrdFlagInterface;

    /* One product (76 bytes): ordering number as an integer (the dotted text
     * without its dot), flag word (0 or 1), number of network interfaces (0 to
     * 2), the kind of each interface, the interfaces, one zero byte. */
    typedef struct OrdFlagRow
    {
        uint32_t uOrderingNumber;
        uint32_t uFlags;
        uint8_t uInterfaceCount;
        uint8_t aKinds[ORDFLAG_MAX_INTERFACES];
        OrdFlagInterface aInterfaces[ORDFLAG_MAX_INTERFACES];
        uint8_t uReserved;
    } OrdFlagRow;

    /* The products; the last row has the ordering number 0. Where a number
     * stands in several rows, the first counts. */
    extern DEVID_EXPORT const OrdFlagRow OrdFlag[ORDFLAG_ROWS];

    /* The row's flag word / interface count; 0 for a number not in the table. */
    DEVID_EXPORT uint32_t OrdFlagGetFlags(uint32_t orderingNumber);
    DEVID_EXPORT uint32_t OrdFlagGetInterfaceCount(uint32_t orderingNumber);
    /* Copies the row's interfaces; returns how many (at most the row's count,
     * room and 2; 0 without a buffer or for an unknown number). */
    DEVID_EXPORT uint32_t OrdFlagGetInterfaces(uint32_t orderingNumber,
                                               OrdFlagInterface* interfaces, uint32_t room);
    /* Copies the row's interface kinds; returns how many, or -70 without a
     * buffer or room. */
    DEVID_EXPORT int OrdFlagGetInterfaceKinds(uint32_t orderingNumber, uint8_t* kinds,
                                              uint32_t room);

    /* Reads up to length bytes of a file from offset. Absolute paths other
     * than device nodes are fixed paths of the device. Returns the number of
     * bytes read (less than length at the end of the file), -70 for bad
     * arguments, -86 when it cannot be opened, -79 on a seek or read error. */
    DEVID_EXPORT int ReadFileBlock(const char* path, void* buffer, int length, int offset);

    /* Reads up to length bytes starting distance bytes before the end of a
     * file. Returns as ReadFileBlock; -70 also when distance is below length,
     * -87 when the file is shorter than distance. */
    DEVID_EXPORT int ReadFileTail(const char* path, void* buffer, int length, int distance);

    /* Number in a text of digits and dots, read within length bytes or up to
     * a zero byte; dots are skipped. 0xFFFFFFFF when the first byte is 0xFF
     * (erased flash); 0 for any other character, an empty text, or a value
     * beyond 32 bits. */
    DEVID_EXPORT uint32_t DevParseNumberText(const char* text, uint32_t length);

    /* Value of the element <name>...</...> in a zero-terminated text: a
     * pointer to its first character and its length, or null (length 0) when
     * the text holds no element of exactly that name or its value has no
     * closing "</". */
    DEVID_EXPORT const char* DevFindTagValue(const char* text, const char* name, int* length);

    /* Reads the production data: copies bytes 4-159 into block, with the text
     * values put in. A Name of at least 1 character, an OrderingNumber of more
     * than 8 and a SerialNumber of at least 1 replace their field (cleared
     * first, the value cut to the field). The block is cleared first.
     * Returns 0; 70 without a block; 73 when fewer than 512 bytes can be read;
     * or ReadFileBlock's negative code. */
    DEVID_EXPORT int DevReadProductionData(uint8_t block[DEVID_PRODUCTION_BLOCK_SIZE]);

    /* Reads the first 512 bytes of the production data as they are.
     * Returns 0; 70 without a buffer; 73 when fewer than 512 bytes can be
     * read; or ReadFileBlock's negative code. */
    DEVID_EXPORT int DevReadProductionRaw(uint8_t buffer[DEVID_PRODUCTION_SIZE]);

    /* Serial number (bytes 16-31) and ordering number (bytes 64-95) of raw
     * production data, as DevParseNumberText reads them. Either output may be
     * null. */
    DEVID_EXPORT void DevProductionNumbers(const uint8_t* raw, uint32_t* orderingNumber,
                                           uint32_t* serialNumber);

    /* Boot version block from the first source that yields all 128 bytes:
     * "/tmp/BootFlash.version", the last 128 bytes of "/dev/mtd_bootimg", or
     * "/dev/mtd_boot" at DEVID_BOOT_VERSION_OFFSET. The block's last byte is
     * set to 0; shortText gets its first line (at most 15 characters,
     * zero-terminated). Returns 0, or -1 (both outputs cleared) when no
     * source yields the block or it begins with a zero byte. */
    DEVID_EXPORT int DevReadBootVersion(uint8_t block[DEVID_BOOT_VERSION_SIZE],
                                        char shortText[DEVID_BOOT_SHORT_SIZE]);

    /* Writes "vMM.mm.rrr" for a version text MMmmrrr, and "-rc" with
     * characters 8-10 when character 7 is neither zero nor a blank; text needs
     * DEVID_BOOT_TEXT_SIZE bytes. Returns the length written (10, or up to 16
     * with a release candidate); 0 and an empty text for a version shorter
     * than 7 characters. */
    DEVID_EXPORT int DevFormatBootVersion(char* text, const char* version);

    /* Packed version number of a version text MMmmrrr[sep NNN]:
     * (MM * 100000 + mm * 1000 + rrr) << 8 | NNN & 0xFF. The release candidate
     * counts when the text is longer than 10 characters, the separator is
     * white space or "-" and everything behind it is digits. 0 unless the
     * text begins with seven digits. */
    DEVID_EXPORT uint32_t DevParseBootVersion(const char* version);

    /* Fills the device information record of DEVMSG_DEVICE_INFO_SIZE bytes
     * (layout above). Parts that cannot be read stay zero, the first hardware
     * word aside. */
    DEVID_EXPORT void DevMsgDeviceInfo(uint8_t* record);

#ifdef __cplusplus
}
#endif

#endif /* DEVICE_IDENTITY_H */
