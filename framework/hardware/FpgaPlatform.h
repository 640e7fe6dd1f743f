/*
 * Set-up of the platform FPGA: the register base of every IP-core function, the reset of the
 * synchronizer unit's timing registers, the main interrupt controller, the small SPI master and
 * a dump of the FPGA's register windows.
 *
 * Every register lies at Fpga + offset and is reached through the bus bridge of the process's
 * driver object (store_u32 / read_u32), so the functions work on the device's bus and on a
 * driver's simulation buffer alike. Nothing here throws, logs or prints.
 */
#ifndef FPGA_PLATFORM_H
#define FPGA_PLATFORM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

/* Register offsets of the platform set-up, the interrupt controller and the SPI master. */
#define FPGA_REG_GENERAL_CONTROL 0x0E0004u /* bit 31 run, bit 30 PCI-master polling */
#define FPGA_REG_MAININT_ACTIVE 0x001004u
#define FPGA_REG_MAININT_SOURCE 0x001008u
#define FPGA_REG_MAININT_ENABLE 0x00100Cu
#define FPGA_REG_MAININT_ACK 0x001010u
#define FPGA_REG_SPI_CONTROL                                                                       \
    0x004000u /* bits 0-2 byte count, bit 8 chip select (0 = on), bit 31 busy */
#define FPGA_REG_SPI_DATA 0x008000u

/* Size of the buffer DfcmDumpFPGA fills. */
#define FPGA_DUMP_BYTES 385024u

    /* Register base of every FPGA unit; 0 until TesraInit. */
    extern uint32_t Fpga;

    /* Sets the register base and brings the synchronizer unit's timing registers to their start
     * values: control, watchdogs, data-valid, digital inputs, debug pins and synchronizer
     * controls 0; timer control 0 and the timer intervals 1600, 3200 and 64000 (written as
     * counts minus one); time stamp 0 with the 64 MHz increment. */
    void TesraInit(uint32_t base);
    /* Clears the run bit of the general control register. */
    void TesrExit(void);

    /* Main interrupt controller. */
    void MainIntEnable(uint32_t mask, int on);
    void MainIntAcknowledge(uint32_t mask);
    int MainIntIsActive(void);
    uint32_t MainIntQuerySource(void);

    /* SPI master: chip select (select nonzero selects), byte count of a transfer (0-7), and one
     * transfer: the word is written, the busy bit awaited and the word read returned. */
    void SpiCs(int select);
    void SpiByteCount(uint32_t count);
    /* The word read, or 0x45454545 (the bus's failed-read word) when the busy bit stays set. */
    uint32_t SpiTransfer(uint32_t word);
    /* The same transfer with its outcome: 0 and the word read in *read, or KESTREL_TIMEOUT (2)
     * when the busy bit is still set after 100 ms (then *read is left alone). */
    int SpiTransferWait(uint32_t word, uint32_t* read);

    /* Copies the FPGA's register windows into destination (FPGA_DUMP_BYTES bytes). */
    void DfcmDumpFPGA(uint32_t* destination);
    /* Copies bytes / 4 words from the bus address source (relative to Fpga). */
    void DumpFpgaPart(uint32_t source, uint32_t* destination, uint32_t bytes);

#ifdef __cplusplus
}
#endif

#endif
