/*
 * The CDI device: the FPGA of the bus-monitor variant, reached through the kernel driver
 * "/dev/cdi" (or "/dev/ryxfpga" where the device has no "/dev/cdi"). It gives raw reads and
 * writes of the CDI address space (FPGA registers and the PROFINET controllers' memory behind
 * the FPGA), hex switches, LEDs, update and factory-default status and the FPGA time stamp.
 * Both the system driver and the PROFINET sniffer driver use it.
 *
 * One process-wide handle with a use count: CdiOpen opens the device on first use, every
 * CdiOpen is matched by a CdiClose, the last CdiClose closes it. Opening, closing and requests
 * may come from any thread. Every request is one ioctl on
 * that handle; a request on a closed device returns the failure value of its function without
 * touching the kernel. No function throws, logs or prints.
 *
 * Records are byte arrays in the kernel driver's layout, little-endian:
 *  - raw access record: u32 status, u32 address, u32 data length n, then n data bytes
 *    (CDI_RAW_HEAD_SIZE + n bytes in all). On return the kernel driver has written its status
 *    into the first word; 0 means the access succeeded.
 *  - hex-switch record: CDI_HEX_SWITCH_RECORD_SIZE bytes.
 */
#ifndef CDI_H
#define CDI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

/* Request codes: read-write requests of type 'i', size field 4, number in the low byte. */
#define CDI_IOCTL_GET_DEBUG 0xC0046901u
#define CDI_IOCTL_GET_DEBUG_SIZE 0xC0046903u
#define CDI_IOCTL_RAW_READ 0xC0046948u
#define CDI_IOCTL_RAW_WRITE 0xC0046949u
#define CDI_IOCTL_SET_HEX_SWITCHES 0xC0046950u
#define CDI_IOCTL_GET_HEX_SWITCHES_DEBOUNCED 0xC0046951u
#define CDI_IOCTL_LED_CONTROL 0xC004695Du
#define CDI_IOCTL_LED_TEST_START 0xC004695Eu
#define CDI_IOCTL_LED_TEST_STOP 0xC004695Fu
#define CDI_IOCTL_GET_UPDATE_STATUS 0xC0046960u
#define CDI_IOCTL_SET_UPDATE_ERROR 0xC0046961u
#define CDI_IOCTL_IS_SET_TO_FACTORY_DEF 0xC0046962u
#define CDI_IOCTL_GET_FACTORY_DEF_CURRENT 0xC0046963u
#define CDI_IOCTL_GET_TIME_STAMP 0xC0046964u
#define CDI_IOCTL_GET_HEX_SWITCHES 0xC0046965u

/* Head of a raw access record (status, address, data length). */
#define CDI_RAW_HEAD_SIZE 12u
/* Size of the hex-switch record. */
#define CDI_HEX_SWITCH_RECORD_SIZE 16u

/* Base of the PROFINET controllers' memory in the CDI address space. */
#define CDI_CTRL_WINDOW 0x2000000u
/* Bit of a controller address that selects the controller of monitor port 1. */
#define CDI_CTRL_PORT1 0x1000000u
/* Longest controller access: one controller's part of the window. */
#define CDI_CTRL_MAX_LENGTH 0x1000000u

    /* Handle */

#define CDI_NAME_SIZE 256

    /* Path of the CDI node, "/dev/cdi"; may be changed before the first open. When it cannot be
     * opened, the FPGA node "/dev/ryxfpga" serves instead. */
    extern char CdiName[CDI_NAME_SIZE];

    /* Opens the device on first use ("/dev/cdi", else "/dev/ryxfpga", read-write) after the
     * device-layer start, and counts one more user. Returns 0, or -1 when the device-layer start
     * fails or neither node opens (the start is then undone and the count left alone). */
    int CdiOpen(void);
    /* Drops one user (the count never goes below 0); the last one closes the device and undoes
     * the device-layer start. Does nothing while the device is closed. */
    void CdiClose(void);
    /* 1 while no handle is open, else 0. */
    int CdiIsNotOpen(void);
    /* One ioctl on the handle with buffer as its argument; size is the record's length as the
     * caller works it out (the kernel takes its length from the record itself). Returns -1 when
     * no handle is open, else the ioctl's result (0 on success). */
    int CdiCall(uint32_t request, void* buffer, uint32_t size);

    /* Requests */

    /* Debug record: u32, u32, u32 data length n, then n bytes, filled by the kernel driver. */
    int CdiGetDebug(uint8_t* record);
    /* Size the kernel driver needs for the debug record; 0 on failure. */
    uint16_t CdiGetDebugSize(void);
    /* Raw read into a raw access record whose address and length the caller has set. */
    int CdiRawRead(uint8_t* record);
    /* Raw write of a raw access record. */
    int CdiRawWrite(uint8_t* record);
    int CdiSetHexSwitches(uint8_t* record);
    int CdiGetHexSwitchesDebounced(uint8_t* record);
    /* The hex switches as the CDI node reports them. The FPGA node has a different, longer record
     * under this request, so while the FPGA node serves instead of the CDI node the request is
     * refused (-1) and the record left alone. */
    int CdiGetHexSwitches(uint8_t* record);
    int CdiLedControl(uint32_t value);
    int CdiLedTestStart(void);
    int CdiLedTestStop(void);
    /* The update status word; 0 on failure. */
    uint32_t CdiGetUpdateStatus(void);
    int CdiSetUpdateError(uint32_t code);
    /* Non-zero when the hardware asks for factory defaults at start; 0 on failure. */
    uint32_t CdiIsSetToFactoryDef(void);
    /* Current state of the factory-default input, non-zero while active; 0 on failure. */
    uint32_t CdiGetFactoryDefCurrent(void);
    /* The FPGA time stamp; (uint64_t)-1 on failure. */
    uint64_t CdiGetTimeStamp(void);

    /* PROFINET controller memory */

    /* Status of a raw access of the controller memory from the request's result and the status
     * word the kernel driver left in the record: when the request failed, the low 16 bits of its
     * result; when it succeeded, the kernel driver's status moved to the upper 16 bits (its own
     * upper bits come round into the low half, so no failed access reads as 0). */
    uint32_t CdiAccessStatus(int result, uint32_t kernelStatus);

    /* Reads or writes length bytes at a controller address (CDI_CTRL_PORT1 set: the controller of
     * monitor port 1) as one raw access at address + CDI_CTRL_WINDOW.
     * Returns the request's result; *status (when not null) receives CdiAccessStatus. An access is
     * good only when the result and the status are both 0.
     * A read copies the data out only when the access is good. A length above
     * CDI_CTRL_MAX_LENGTH, or a null data pointer with a length, is refused without a request
     * (result -1). */
    int CdiCtrlRead(uint32_t address, void* data, uint32_t length, uint32_t* status);
    int CdiCtrlWrite(uint32_t address, const void* data, uint32_t length, uint32_t* status);
    /* Writes one u32 (little-endian) at a controller address. */
    int CdiCtrlWriteValue(uint32_t address, uint32_t value, uint32_t* status);

#ifdef __cplusplus
}
#endif

#endif
