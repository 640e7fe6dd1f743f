/*
 * The bus-master DMA unit of the platform FPGA: 16 channels that run transfer lists kept in
 * FPGA memory, with the unit's interrupt registers.
 *
 * A channel is reserved and programmed (BpbmAllocateChannel), its transfers are written into
 * the list (BpbmPrgTransfer, BpbmPrgLink), it is enabled, and later disabled and freed. The list
 * pointer must be set (BpbmInit or BpbmSetConfigPointer) before; without it the channel and list
 * functions do nothing. Channel numbers of 16 and above are refused.
 *
 * Registers lie at Fpga + offset (FpgaPlatform.h); nothing here throws, logs or prints.
 */
#ifndef BPBM_H
#define BPBM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define BPBM_CHANNELS 16u
/* A port number of a transfer that means "no port". */
#define BPBM_NO_PORT 255u

/* Register offsets from Fpga. */
#define BPBM_REG_CHANNEL 0x160000u /* + 16n: list start, parameter words 1 and 2 */
#define BPBM_REG_LIST 0x160100u
#define BPBM_REG_CONTROL 0x170004u /* bits 4-7, 8-15, bit 30 flag, bit 31 enable */
#define BPBM_REG_STATUS 0x170008u  /* bit 28 pending, bit 31 busy */
#define BPBM_REG_IDLE_TIME 0x17000Cu
#define BPBM_REG_INT_ACTIVE 0x170024u
#define BPBM_REG_INT_SOURCE 0x170028u
#define BPBM_REG_INT_ENABLE 0x17002Cu
#define BPBM_REG_INT_ACK 0x170030u
#define BPBM_REG_DESCRIPTOR 0x171000u /* + 32n: transfer word, control word, reset word */

    /* Unit initialisation: nothing reserved, the list pointer at the unit's list, every channel
     * stopped; waits until the unit is no longer busy (acknowledging pending work), then resets
     * the channels and enables the unit. 0, or KESTREL_TIMEOUT (2) when the unit stays busy for
     * 100 ms: then it is left disabled. */
    int BpbmInit(uint8_t a, uint8_t b, int flag);
    /* Disables the unit; the reservations stay. */
    void BpbmExit(void);
    void BpbmReadStatus(uint32_t* destination);
    uint32_t BpbmReadIdleTime(void);

    /* Reserves channel ch and programs it; its list starts at the current list pointer. The list
     * pointer, or 0 when there is none, ch is reserved already or ch is 16 or above. */
    uint32_t BpbmAllocateChannel(uint32_t ch, uint8_t a, uint8_t b, uint8_t c, uint16_t count,
                                 uint16_t len14, uint16_t opt13, uint32_t p1, uint32_t p2,
                                 uint8_t flag);
    /* 0 done (or no list pointer), 1 when ch is not reserved. */
    int BpbmEnableChannel(uint32_t ch, int on);
    int BpbmResetChannel(uint32_t ch);
    int BpbmFreeChannel(uint32_t ch);
    int BpbmSetConfigPointer(uint32_t pointer);
    uint32_t BpbmReadConfigPointer(void);

    /* Transfer list: each writes at the list pointer and returns the advanced pointer; 0
     * (nothing written) without a list pointer. A port of BPBM_NO_PORT leaves its valid bit
     * clear. */
    uint32_t BpbmPrgTransfer(uint32_t addr14, uint32_t addr16, uint32_t len14, uint32_t flag1,
                             uint8_t flag2, uint8_t portA, uint8_t portB);
    uint32_t BpbmPrgLink(uint32_t next);

    void BpbmIntEnable(uint32_t mask, int on);
    void BpbmIntAcknowledge(uint32_t mask);
    int BpbmIntIsActive(void);
    uint32_t BpbmIntQuerySource(void);

#ifdef __cplusplus
}
#endif

#endif
