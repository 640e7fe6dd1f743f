/* Binary trace buffer of the base library.
 *
 * Every program records compact binary trace records into one process-wide
 * buffer; the device-message service reads it out remotely and empties it on
 * each read. A call site tests its bit of nyDebugInterfaceGlobalFlags before
 * calling a record function; the record functions themselves do not test it
 * (except nyDebugSavePrintfMasked).
 *
 * Record layouts (little-endian, back to back from the start of the buffer):
 *   nyDebugSaveOpcode8  2 bytes   0, opcode
 *   nyDebugSave8        2 bytes   type, value
 *   nyDebugSave16       4 bytes   0, type, value
 *   nyDebugSave32       6 bytes   0, type, value
 *   nyDebugSave64      10 bytes   0, type, value
 *   nyDebugSave2x32     8 bytes   first word, second word
 *   byte string / text  n + 2     [0 when n is odd], type, n, n bytes
 *   value list          m + 2     [0 when m is odd], level * 32 + 26,
 *                                 (count - 1) * 32 | (value type & 0x1F), values
 * The type byte is level * 32 + kind. A record that does not fit is dropped;
 * while room remains, one space byte (0x20) marks each dropped record.
 *
 * Any thread may trace at any time; a record call never waits for another
 * thread (records lie in the order their calls claimed room). A fetch or reset
 * waits for the records already claimed to be written, and takes those.
 *
 * The functions have C linkage and are plain exported symbols: the framework
 * library does not link this library and binds them through the program.
 * Usable from C and C++. */
#ifndef NYDEBUG_H
#define NYDEBUG_H

#include <stdint.h>

#if defined(__GNUC__)
#define NYDEBUG_EXPORT __attribute__((visibility("default")))
#define NYDEBUG_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define NYDEBUG_EXPORT
#define NYDEBUG_PRINTF(fmt, args)
#endif

/* Bits of nyDebugInterfaceGlobalFlags. 0x02 to 0x40 are detail classes that each
 * component assigns to itself. */
#define NYDEBUG_FLAG_PROGRESS 0x01u
#define NYDEBUG_FLAG_ERROR 0x80u

/* Type byte of a record: level (0 to 7) in the upper three bits, kind below. */
#define NYDEBUG_TYPE(level, kind) ((uint8_t)(((level) << 5) | ((kind)&0x1F)))
#define NYDEBUG_KIND_TEXT 5
#define NYDEBUG_KIND_VALUES 26
#define NYDEBUG_LEVEL_INFO 5
#define NYDEBUG_LEVEL_ERROR 7

#ifdef __cplusplus
extern "C"
{
#endif

    /* Trace classes switched on; starts at 0x00FFFFFF. Read without a lock. */
    extern NYDEBUG_EXPORT uint32_t nyDebugInterfaceGlobalFlags;

    /* Sets up the process's trace buffer: size modulo 65536, rounded down to a
     * multiple of 4. Without a buffer of the caller's it allocates one (4000
     * bytes when the size comes to less than 4). A second call replaces the
     * first buffer (an allocated one is freed). Returns 0, or 74 when the
     * allocation fails (the previous buffer then stays in use). */
    NYDEBUG_EXPORT int nyDebugInit(uint32_t ignored, uint32_t size, char* buffer);

    /* Drops the buffer (frees an allocated one); later records are dropped. */
    NYDEBUG_EXPORT void nyDebugExit(void);

    NYDEBUG_EXPORT void nyDebugSaveOpcode8(uint8_t opcode);
    NYDEBUG_EXPORT void nyDebugSave8(uint8_t type, uint8_t value);
    NYDEBUG_EXPORT void nyDebugSave16(uint8_t type, uint16_t value);
    NYDEBUG_EXPORT void nyDebugSave32(uint8_t type, uint32_t value);
    NYDEBUG_EXPORT void nyDebugSave64(uint8_t type, uint64_t value);
    NYDEBUG_EXPORT void nyDebugSave2x32(uint32_t first, uint32_t second);

    /* Byte string; a length of 255 is stored as 254. */
    NYDEBUG_EXPORT void nyDebugSaveMem(uint8_t type, const char* bytes, uint8_t length);

    /* Text record of the low byte of each 16-bit character (at most 254). */
    NYDEBUG_EXPORT void nyDebugSaveText16(uint8_t level, const uint16_t* characters, uint8_t count);

    /* Text record of type level * 32 + 5, formatted; at most 254 characters. */
    NYDEBUG_EXPORT void nyDebugSavePrintf(uint8_t level, const char* format, ...)
        NYDEBUG_PRINTF(2, 3);

    /* As nyDebugSavePrintf, but only when none of the mask bits is set in
     * nyDebugInterfaceGlobalFlags. */
    NYDEBUG_EXPORT void nyDebugSavePrintfMasked(uint32_t mask, uint8_t level, const char* format,
                                                ...) NYDEBUG_PRINTF(3, 4);

    /* A text record and, for an element size of 1, 2 or 4 and a count above 0,
     * a value-list record of up to 8 values. The values are passed as 32-bit
     * arguments and stored in the element size. Both records are claimed in
     * one step, so no other record comes between them. */
    NYDEBUG_EXPORT void nyDebugSaveMulti(uint8_t level, const char* text, uint8_t textLength,
                                         uint8_t valueType, uint8_t elementSize, int32_t count,
                                         ...);

    /* Copies the recorded bytes to the destination and returns their number,
     * or -82 (nothing copied) when they do not fit. Either way the buffer is
     * empty afterwards. */
    NYDEBUG_EXPORT int nyDebugFetch(char* destination, uint32_t capacity);

    /* Size of the data area (0 while no buffer is set up). */
    NYDEBUG_EXPORT uint16_t nyDebugGetSize(void);

    /* Bytes recorded so far. */
    NYDEBUG_EXPORT uint16_t nyDebugGetPosition(void);

    /* Empties the buffer; returns the bytes it held. */
    NYDEBUG_EXPORT uint16_t nyDebugReset(void);

#ifdef __cplusplus
}
#endif

#endif /* NYDEBUG_H */
