/*
 * The synchronizer and transfer unit of the platform FPGA: 32 synchronizers working through a
 * configuration list in FPGA memory, a trace ring, timers, time stamp and system clock,
 * watchdogs, data-valid inputs and outputs, digital inputs, debug pins and LEDs.
 *
 * A synchronizer is reserved (DfcmAllocateSynchronizer), its transfers are programmed into the
 * configuration list (DfcmPrgTransfer, DfcmPrgLink), it is enabled, and later disabled and freed.
 * The list pointer must be set (DfcmInit or DfcmSetConfigPointer) before; without it the
 * synchronizer and list functions do nothing. Synchronizer numbers of 32 and above are refused.
 *
 * Registers lie at Fpga + offset (FpgaPlatform.h); nothing here throws, logs or prints.
 */
#ifndef DFCM_H
#define DFCM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define DFCM_SYNCHRONIZERS 32u
#define DFCM_DEBUG_PINS 16u
#define DFCM_TIMERS 3u /* timers with an interval register */

/* Register offsets from Fpga. */
#define DFCM_REG_USER_LEDS 0x000008u /* 2 bits per LED at bit 2 x led */
#define DFCM_REG_SYS_LEDS 0x00000Cu
#define DFCM_REG_TRACE_WINDOW 0x0C0100u
#define DFCM_REG_TRACE_MARKER 0x0C7FFCu    /* stays 0xFFFFFFFF until the ring has wrapped */
#define DFCM_REG_SYNC_LIST_START 0x100000u /* + 4n */
#define DFCM_REG_CONFIG_LIST 0x100080u
#define DFCM_REG_STATUS 0x110000u
#define DFCM_REG_IDLE_TIME 0x110004u
#define DFCM_REG_TIME_STAMP_LOW 0x110018u
#define DFCM_REG_TIME_STAMP_HIGH 0x11001Cu
#define DFCM_REG_TRACE_POINTER 0x110020u
#define DFCM_REG_CONTROL                                                                           \
    0x110080u /* bit 1 trace, bits 2-3 trace size, bit 30 flag, bit 31 enable */
#define DFCM_REG_INIT_VALUE 0x110084u
#define DFCM_REG_GLOBAL_EVENT 0x11008Cu
#define DFCM_REG_TIME_STAMP_INC 0x110090u
#define DFCM_REG_SYSCLOCK_INC 0x110094u
#define DFCM_REG_WATCHDOG2 0x110098u
#define DFCM_REG_WATCHDOG1 0x11009Cu
#define DFCM_REG_LOG_WATCHDOG 0x1100A0u
#define DFCM_REG_SYSCLOCK_TRIGGER 0x1100A4u
#define DFCM_REG_TIMER_CONTROL 0x1100B0u  /* bits 0-3 timers, 8-11 mask, 16-23 clock value */
#define DFCM_REG_TIMER_INTERVAL 0x1100B4u /* + 4t, timers t 0..2 */
#define DFCM_REG_IN_DATA_VALID 0x1100C0u  /* + 4 (input - 1) */
#define DFCM_REG_OUT_DATA_VALID 0x1100E0u /* + 4 (output - 1) */
#define DFCM_REG_DIGITAL_IN 0x110180u     /* + 4i, i 0..7 */
#define DFCM_REG_DEBUG_MUX_8_9 0x1101A0u  /* sources 8, 9 and any other */
#define DFCM_REG_DEBUG_MUX_12_13 0x1101A4u
#define DFCM_REG_DEBUG_MUX_4_5 0x1101A8u
#define DFCM_REG_DEBUG_PIN 0x1101C0u  /* + 4p */
#define DFCM_REG_SYNC_RESET 0x110200u /* + 4n */
#define DFCM_REG_SYNC_CONTROL                                                                      \
    0x110280u /* + 4n: bits 0-15 count - 1, 16-22, 24-26, bit 31 enable                            \
               */

    /* Unit initialisation: nothing reserved, the list pointer at the configuration list, every
     * synchronizer disabled and reset, then the unit enabled. */
    void DfcmInit(uint32_t value, int flag);
    /* Disables the unit; the reservations stay. */
    void DfcmExit(void);
    void DfcmReadStatus(uint32_t* destination);
    uint32_t DfcmReadIdleTime(void);

    /* Reserves synchronizer n and programs it: its list starts at the current list pointer.
     * The list pointer, or 0 when there is none, n is reserved already or n is 32 or above. */
    uint32_t DfcmAllocateSynchronizer(uint32_t n, uint8_t a, uint8_t b, uint32_t count);
    /* 0 done (or no list pointer), 1 when n is not reserved. */
    int DfcmEnableSynchronizer(uint32_t n, int on);
    int DfcmResetSynchronizer(uint32_t n);
    int DfcmFreeSynchronizer(uint32_t n);
    int DfcmSetConfigPointer(uint32_t pointer);
    uint32_t DfcmReadConfigPointer(void);

    /* Configuration list: each writes at the list pointer and returns the advanced pointer;
     * 0 (nothing written) without a list pointer. */
    uint32_t DfcmPrgTransfer(uint32_t source, uint32_t destination, uint16_t length, uint32_t opt1,
                             uint32_t opt2, const uint32_t* data, uint8_t f1, uint8_t f2,
                             uint8_t code6);
    uint32_t DfcmPrgLink(uint32_t next);
    /* Bytes one DfcmPrgTransfer with these arguments adds to the configuration list (data: a
     * copy mask is given). */
    uint32_t DfcmTransferBytes(uint16_t length, uint32_t opt1, uint32_t opt2, int data);

    /* Trace ring of 128 << size words (size 0-3). */
    void DfcmEnableTrace(int on, uint32_t size);
    uint32_t DfcmReadTracePointer(void);
    int DfcmSetTracePointer(uint32_t pointer);
    /* Copies up to count of the newest trace words, oldest first; the number copied. */
    uint32_t DfcmCopyTraceData(uint32_t* buffer, uint32_t count);

    int DfcmSetGlobalEvent(uint32_t event);
    int DfcmControlTimer(uint32_t mask, uint32_t value);
    /* Interval of timer 1 or 2 in counts, written as count minus one into the register of
     * that timer (0x1100B4 + 4 x timer; an interval of 0 leaves 0xFFFFFFFF, the longest).
     * 1 for another timer (nothing written: timer 0 is set up by TesraInit alone, and timer
     * 3's register would be the first data-valid input), else 0. */
    int DfcmSetTimerInterval(uint32_t timer, uint32_t interval);
    /* The interval register of timer 0-2 (count minus one); 0 for another timer. */
    uint32_t DfcmReadTimerInterval(uint32_t timer);
    /* 0, or 1 for a pin beyond the 16 debug pins (nothing written). */
    int DfcmProgramDebugPin(uint32_t pin, int on, uint32_t source, uint32_t index, uint8_t value,
                            uint8_t mode);
    /* state: 2 bits per LED. */
    void DfcmSetUserLed(uint32_t led, uint32_t state);
    void DfcmSetSysLed(uint32_t mask, int on);
    /* 0, or the input / output number when it is not 1..6 (nothing written). */
    uint32_t DfcmInDataValid(uint32_t input, uint8_t a, uint32_t count);
    uint32_t DfcmOutDataValid(uint32_t output, uint32_t value);
    /* 0, or wd when it is not 1 or 2. */
    uint32_t DfcmSetWatchdog(uint32_t wd, uint32_t time);
    void DfcmTrigLogWd(int flag);
    void DfcmControlSysClock(uint8_t a, uint8_t b);
    uint32_t DfcmCalcSysClockInc(double period);
    void DfcmSetSysClockInc(uint32_t increment);
    void DfcmTriggerSysClock(void);
    void DfcmSetTimeStamp(uint32_t low, uint32_t high);
    uint32_t DfcmCalcTimeStampInc(void);
    void DfcmSetTimeStampInc(uint32_t increment);
    /* 0, or the input when it is above 7 (nothing written). */
    uint32_t DfcmConfigDigIn(uint32_t input, uint8_t mode, uint16_t value);

#ifdef __cplusplus
}
#endif

#endif
