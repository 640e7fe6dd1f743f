/*
 * Interface of the inter-process kernel driver "/dev/interproc", which carries data between the
 * device's processors and processes: transfer buffers per channel, event records, a shared
 * memory pool mapped into the process, module status and module errors for the device's log
 * book, and update progress. One process-wide descriptor with a user count, and one C function
 * per request of the driver.
 *
 * Every request is ioctl(handle, 0xC0046900 + nn, record); records are byte arrays laid out
 * little-endian. The transfer-buffer record (requests 0x24, 0x25, 0x37, 0x38):
 *
 *   byte 0       channel (the system driver writes channel 2, the fiber-optic driver reads 1)
 *   bytes 1-7    zero
 *   bytes 8-11   u32 data length (for a read: the room behind the head)
 *   bytes 12-15  u32 a writer repeats the data length; the driver puts the length of a
 *                message read here
 *   bytes 16-17  u16 result (0 success), filled by the driver
 *   bytes 18-23  zero (0x37 and 0x38 return the u32 at 20)
 *   bytes 24..   data
 *
 * No function throws or logs; InterProcMemoryInit alone prints its two failure texts. Failures
 * are return values: -1 for a closed device or a refused request, 70 for a null record where
 * the function says so, null for a pool address that cannot be given.
 */
#ifndef INTER_PROC_H
#define INTER_PROC_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define INTERPROC_REQUEST(nn) (0xC0046900u + (unsigned)(nn))
#define INTERPROC_NAME_SIZE 256
#define INTERPROC_TRANSBUFF_HEAD 24u
#define INTERPROC_EVENT_BYTES 48u
#define INTERPROC_ZAVO_EVENT_BYTES 80u
#define INTERPROC_STATUS_BYTES 80u
#define INTERPROC_MEMPROP_BYTES 32u
/* Result for a null record of the functions that check it. */
#define INTERPROC_NULL_RECORD 70

    /* Descriptor of the device, -1 while closed; number of its users; path of the node. */
    extern int32_t HInterProc;
    extern uint32_t InterProcOpenCnt;
    extern char InterProcName[INTERPROC_NAME_SIZE];
    /* The pool's property record (word 1: pool size in bytes), the address of its mapping (null
     * while unmapped) and this process's owner id. */
    extern uint8_t InterProcMemProp[INTERPROC_MEMPROP_BYTES];
    extern void* InterProcMemPtr;
    extern uint16_t InterProcMemOwner;

    int InterProcOpen(void);
    void InterProcClose(void);
    /* One request with the record: 0, or -1 when it fails or the device is closed. */
    int InterProcCall(unsigned request, void* record, unsigned length);

    /* Nanoseconds of the monotonic clock. */
    int64_t GetMonotonicTime_ns(void);
    /* Fills the 8-byte log-book time at the start of record: u32 seconds at 0, bytes 4-5 left
     * alone, u16 ticks of 15258 ns at 6. */
    void qorM_LogBook_SetTime(void* record);
    /* Touches one byte per 4096 of buffer, so that every page is present. */
    void WriteEachPage(uint8_t* buffer, unsigned length);

    int InterProcGetDebug(void* record);
    uint16_t InterProcGetDebugSize(void);
    int InterProcGetWebDebug(void* record);
    uint16_t InterProcGetWebDebugSize(void);
    int InterProcWebDebugAdd(void* record);

    /* Transfer buffers: the u16 result of the record, or -1 when the request fails. */
    int InterProcWriteTransBuff(void* record);
    int InterProcReadTransBuff(void* record);

    /* Events: one of 48 bytes; {u16 count, 2 bytes, count events}; for a read {16 bytes, u16
     * count (room in, events read out), 6 bytes, events}. */
    int InterProcWriteEventOne(void* record);
    int InterProcWriteEvents(void* record);
    int InterProcReadEvents(void* record);
    /* 0 and the two words of the event book (events held, events lost), or -1 and both 0. */
    int InterProcGetEventBookStatus(uint32_t* a, uint32_t* b);

    /* Memory pool. Alloc gives the address of a block of size bytes (at most 65535) owned by
     * this process, or null. Free and Chown act only on addresses inside the pool. */
    void* InterProcMemoryAlloc(uint32_t size);
    void InterProcMemoryFree(void* ptr);
    void InterProcMemoryChown(void* ptr, uint16_t owner);
    int InterProcMemoryGetProp(void* record);      /* 32 bytes */
    int InterProcMemoryGetDiag(void* record);      /* 48 bytes */
    int InterProcMemoryGetStatistic(void* record); /* 24 bytes */
    int InterProcMemoryGetTrace(void* record);     /* 48 bytes */
    int InterProcMemoryGetTraceInfo(void* record); /* 16 bytes */

    int InterProcWriteStatus(void* record); /* 80-byte module status record */
    int InterProcUpdateStarted(uint8_t x);
    int InterProcUpdateEnded(uint8_t x);
    int InterProcReadStatus(void* record); /* 124 bytes */

    /* Connections: the u16 at 0 of the record, or -1. */
    int InterProcCreateConnsTransBuff(void* record);
    int InterProcCloseConnTransBuff(void* record);
    /* The u32 at 20 of the transfer-buffer record, or -1 when the request fails. */
    int64_t InterProc_ReceiveTransBuff(void* record);
    int64_t InterProc_SendTransBuff(void* record);
    /* -1 when the word at 0 is 0 or the request fails; else the record's address. */
    intptr_t InterProcKillConnections(void* record);

    int InterProc_SetModuleError(void* record);   /* 80 bytes; 70 for null */
    int InterProc_ResetModuleError(void* record); /* 80 bytes; 70 for null */
    int InterProc_ResetAllErrors(uint8_t x);
    int InterProcZavoWriteEventOne(void* record);   /* 80 bytes; 70 for null */
    int InterProcZavoWriteEvents(void* record);     /* 70 for null */
    int InterProcZavoReadEvents(void* record);      /* 70 for null */
    int InterProcWriteUpdateProgress(void* record); /* 112 bytes; 70 for null */
    int InterProcReadUpdateProgress(void* record);  /* 3584 bytes; 70 for null */
    int InterProc_ReadErrorMsg(void* record);       /* 644 bytes; 70 for null */

    /* Module status of a slot: booting / running, with the current log-book time. */
    int InterProcSetModuleBoot(uint8_t slot);
    int InterProcSetModuleOK(uint8_t slot);

    /* Maps the whole pool and keeps the owner id: 0, or -1 (pool size 0, or the node cannot
     * be opened or mapped; nothing stays open then). */
    int InterProcMemoryInit(uint16_t owner);
    /* Address of a pool offset; null when unmapped or the offset is outside the pool. */
    void* InterProcMemoryOffsetToPtr(int32_t offset);
    /* Offset of an address of the pool; -1 for null, no mapping or an address outside it. */
    int32_t InterProcMemoryPtrToOffset(const void* ptr);
    uint16_t InterProcMemoryGetOwnerID(void);
    /* Unmaps the pool: the unmap's result, or -1 when nothing is mapped. */
    int InterProcMemoryRelease(void);

#ifdef __cplusplus
}
#endif

#endif
