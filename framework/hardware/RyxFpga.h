/*
 * Interface of the FPGA kernel driver "/dev/ryxfpga": one process-wide handle
 * with a user count, and one C function per request of the driver.
 *
 * Every request is ioctl(handle, 0xC0046900 + nn, record). Records are byte
 * arrays laid out little-endian; the raw access block used by the raw reads
 * and writes (and, in the same layout, by the configuration-transfer read,
 * the multi-access and the debug record) is:
 *
 *   word 0  status      set by the caller (readers 0xDEAD, single-word
 *                       writers 0); 0 after the call when the access
 *                       succeeded, any other value when it failed
 *   word 1  address     bus byte address, a multiple of 4
 *   word 2  byte count  number of data bytes that follow
 *   word 3.. data       the words read, or to be written
 *
 * A refused bus access leaves a nonzero status while the request itself
 * returns 0: callers test both.
 *
 * No function prints, logs or throws. On a closed device every request
 * returns its failure value without touching the driver.
 */
#ifndef RYX_FPGA_H
#define RYX_FPGA_H

#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define RYXFPGA_REQUEST(nn) (0xC0046900u + (unsigned)(nn))
#define RYXFPGA_RAW_HEAD_BYTES 12u
#define RYXFPGA_NAME_SIZE 256

    /* Descriptor of the device, -1 while closed. */
    extern int32_t HRyx;
    /* Number of users of the open device. */
    extern uint32_t RyxFpgaOpenCnt;
    /* Path of the device node; may be changed before the first open. */
    extern char RyxFpgaName[RYXFPGA_NAME_SIZE];

    /* Opens the device on first use and counts the user: 0, or -1 when the node
     * cannot be opened. */
    int RyxFpgaOpen(void);
    /* Drops one user; the last one closes the device. Harmless while closed. */
    void RyxFpgaClose(void);
    /* Copies the handle and the count out through the pointers that are not null. */
    void RyxFpgaGetInternals(int* handle, unsigned* count);
    /* One request with the record: 0, or -1 when it fails or the device is
     * closed. length is the record's length (the driver takes it from the record). */
    int RyxFpgaCall(void* record, unsigned request, unsigned length);

    int RyxFpgaGetDebug(void* record);                /* 0x01 {u32, u32, u32 byte count, bytes} */
    uint16_t RyxFpgaGetDebugSize(void);               /* 0x03; 0 on failure */
    int RyxFpgaRawRead(void* block);                  /* 0x48 raw access block */
    int RyxFpgaRawWrite(void* block);                 /* 0x49 raw access block */
    int RyxFpgaReadRecordsWait(void* record);         /* 0x4A */
    int RyxFpgaWatchInterruptsStart(uint32_t mask);   /* 0x4B */
    int RyxFpgaWatchInterruptsStop(uint32_t mask);    /* 0x4C */
    int RyxFpgaWatchInterruptsGet(void* record);      /* 0x4D, 36 bytes */
    int RyxFpgaWatchInterruptsWait(void* record);     /* 0x4E, 36 bytes */
    int RyxFpgaWatchInterruptsWakeUp(void);           /* 0x4F */
    int RyxFpgaSetHexSwitches(void* record);          /* 0x50, 16 bytes */
    int RyxFpgaGetHexSwitchesDebounced(void* record); /* 0x51, 16 bytes */
    int RyxFpgaCfgTransStart(uint32_t value);         /* 0x52 */
    uint32_t RyxFpgaCfgTransWait(void);               /* 0x53; 0x80000000 on failure */
    int RyxFpgaCfgTransRead(void* record);            /* 0x54, raw block layout */
    int RyxFpgaCfgTransWaitCancel(void);              /* 0x55 */
    int RyxFpgaMultiAccess(void* record);             /* 0x56, raw block layout */
    int RyxFpgaCallDpRamCommand(void* record);        /* 0x57, 8 bytes */
    int RyxFpgaDpRamCmdCancel(uint16_t which);        /* 0x58 */
    int RyxFpgaSlavePtrExchange(void* record);        /* 0x5C, 264 bytes */
    int RyxFpgaLedControl(uint32_t leds);             /* 0x5D */
    int RyxFpgaLedTestStart(void);                    /* 0x5E */
    int RyxFpgaLedTestStop(void);                     /* 0x5F */
    uint32_t RyxFpgaGetUpdateStatus(void);            /* 0x60; 0 on failure */
    int RyxFpgaSetUpdateError(uint32_t code);         /* 0x61 */
    uint32_t RyxFpgaIsSetToFactoryDef(void);          /* 0x62; 0 on failure */
    uint32_t RyxFpgaGetFactoryDefCurrent(void);       /* 0x63; 0 on failure */
    int64_t RyxFpgaGetTimeStamp(void);                /* 0x64; -1 on failure */
    /* 0x65 with a 520-byte record whose byte 0 is which; on failure byte 0 is 0. */
    int DPdpramGetBusState(uint8_t which, uint8_t* record);

    /* Raw single-word access shaped as DeviceIoControl; the handle is not used.
     * Code 2 (or 3 with outLength 4) reads the word at the address in the first
     * word of inBuffer into the first word of outBuffer; code 6 (or 7 with
     * inLength 4) writes the first word of inBuffer to the address in the first
     * word of outBuffer. 1 when the request and the bus access succeeded (then
     * bytesReturned, when not null, gets 4 for a read and 0 for a write), else 0. */
    int VIM2KBF_DeviceIoControl(void* handle, uint32_t code, void* inBuffer, uint32_t inLength,
                                void* outBuffer, uint32_t outLength, uint32_t* bytesReturned);

#ifdef __cplusplus
}
#endif

#endif
