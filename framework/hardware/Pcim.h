/*
 * The PCI-master unit of the platform FPGA: 16 channels addressed by PC addresses, eight
 * detectors, and the unit's interrupt registers.
 *
 * A channel is reserved and programmed (PcimAllocateChannel), enabled, and later disabled and
 * freed. Channel numbers of 16 and above are refused.
 *
 * Registers lie at Fpga + offset (FpgaPlatform.h); nothing here throws, logs or prints.
 */
#ifndef PCIM_H
#define PCIM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define PCIM_CHANNELS 16u
#define PCIM_DETECTORS 8u

/* Register offsets from Fpga. */
#define PCIM_REG_CHANNEL 0x0C0000u         /* + 16n: PC address words 0 and 1, port word */
#define PCIM_REG_GENERAL_CONTROL 0x0E0004u /* bit 30 polling */
#define PCIM_REG_CONTROL 0x0E0008u         /* bits 0-7, bits 8-23, bit 31 enable */
#define PCIM_REG_STATUS 0x0E000Cu
#define PCIM_REG_IDLE_TIME 0x0E0010u
#define PCIM_REG_DETECTOR 0x0E0020u /* + 4d */
#define PCIM_REG_INT_ACTIVE 0x0E0044u
#define PCIM_REG_INT_SOURCE 0x0E0048u
#define PCIM_REG_INT_ENABLE 0x0E004Cu
#define PCIM_REG_INT_ACK 0x0E0050u
#define PCIM_REG_DESCRIPTOR 0x0E1000u /* + 32n: transfer word, control word, reset word */

    /* Unit initialisation: nothing reserved, every channel stopped and reset, the unit enabled. */
    void PcimInit(uint16_t a, uint8_t b);
    void PcimExit(void);
    void PcimReadStatus(uint32_t* destination);
    uint32_t PcimReadIdleTime(void);

    /* Reserves channel ch and programs it: 0, or 1 when ch is reserved already or 16 or above. */
    int PcimAllocateChannel(uint32_t ch, uint8_t a, uint8_t b, uint32_t count, uint8_t f1,
                            uint16_t port1, uint16_t port2, uint32_t pcLow, uint32_t pcHigh,
                            uint32_t len10, uint8_t f2, uint8_t f3);
    /* 0 done, 1 when ch is not reserved. */
    int PcimEnableChannel(uint32_t ch, int on);
    int PcimResetChannel(uint32_t ch);
    int PcimFreeChannel(uint32_t ch);
    /* The first PC address word of channel ch; 0 for a channel of 16 and above. */
    uint32_t PcimReadPcAddress(uint32_t ch);

    void PcimSetPolling(int on);
    void PcimProgramDetector(uint32_t d, uint8_t a, uint8_t b);

    void PcimIntEnable(uint32_t mask, int on);
    void PcimIntAcknowledge(uint32_t mask);
    int PcimIntIsActive(void);
    uint32_t PcimIntQuerySource(void);

#ifdef __cplusplus
}
#endif

#endif
