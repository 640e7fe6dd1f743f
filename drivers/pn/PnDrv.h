// The PROFINET controller of the bus-monitor variant, reached through its kernel driver
// "/dev/pndrv": one process-wide handle with a use count, one ioctl per operation. The sniffer
// driver loads sniffer configurations and copy-machine images with it, resets the sniffer, puts
// the controller into its factory mode and reads devices, relations, states and statistics.
//
// PNDrvOpen opens the node on first use, every PNDrvOpen is matched by a PNDrvClose, the last
// one closes it. Every request on a closed device returns -1 (or the failure value its
// function names) without touching the kernel. Records are byte arrays in the kernel driver's
// layout, little-endian. No function throws, logs or prints.
#ifndef PN_DRV_H
#define PN_DRV_H

#include <cstdint>

// Request codes (type 'i', size field 4, number in the low byte).
constexpr uint32_t PNDRV_IOCTL_DEBUG = 0xC0006901u;
constexpr uint32_t PNDRV_IOCTL_DEBUG_SIZE = 0xC0006903u;
constexpr uint32_t PNDRV_IOCTL_SET_COPY_IMAGE = 0xC0046922u;
constexpr uint32_t PNDRV_IOCTL_PREPARE_PORT = 0xC0046923u;
constexpr uint32_t PNDRV_IOCTL_EXCHANGE = 0xC0046924u;
constexpr uint32_t PNDRV_IOCTL_EXCHANGE_TEXT = 0xC0046925u;
constexpr uint32_t PNDRV_IOCTL_RESET = 0xC0046926u;
constexpr uint32_t PNDRV_IOCTL_SET_FACTORY_MODE = 0xC0046929u;
constexpr uint32_t PNDRV_IOCTL_REQUEST = 0xC004692Au;
constexpr uint32_t PNDRV_IOCTL_GET_SUBSLOTS = 0xC004692Bu;
constexpr uint32_t PNDRV_IOCTL_GET_VALUE = 0xC004692Eu;
constexpr uint32_t PNDRV_IOCTL_START_CONFIG = 0xC004692Fu;
constexpr uint32_t PNDRV_IOCTL_QUERY_VALUE = 0xC0046930u;
constexpr uint32_t PNDRV_IOCTL_CONFIG_BEGIN = 0xC0046931u;
constexpr uint32_t PNDRV_IOCTL_CONFIG_END = 0xC0046932u;
constexpr uint32_t PNDRV_IOCTL_WRITE_LAST_CONFIG = 0xC0046933u;
constexpr uint32_t PNDRV_IOCTL_GET_STATISTICS = 0xC0046935u;
constexpr uint32_t PNDRV_IOCTL_GET_VERSION = 0xC0046937u;
constexpr uint32_t PNDRV_IOCTL_WAIT_COPY_MACHINE = 0xC0046938u;
constexpr uint32_t PNDRV_IOCTL_CHECK_DEVICES = 0xC004693Au;
constexpr uint32_t PNDRV_IOCTL_GET_DEV_LIST = 0xC0046949u;
constexpr uint32_t PNDRV_IOCTL_GET_DEV = 0xC004694Bu;
constexpr uint32_t PNDRV_IOCTL_GET_AR = 0xC004694Cu;
constexpr uint32_t PNDRV_IOCTL_GET_STATE = 0xC0046950u;
constexpr uint32_t PNDRV_IOCTL_READ_CR = 0xC0046951u;

// Sizes of the fixed records.
constexpr uint32_t PNDRV_COPY_IMAGE_SIZE = 49152;
constexpr uint32_t PNDRV_SNIFFER_IMAGE_SIZE = 0x22000;
constexpr uint32_t PNDRV_REQUEST_SIZE = 1400;
constexpr uint32_t PNDRV_STATISTICS_SIZE = 24;
constexpr uint32_t PNDRV_DEV_SIZE = 512;
constexpr uint32_t PNDRV_AR_SIZE = 640;
constexpr uint32_t PNDRV_STATE_SIZE = 512;
constexpr uint32_t PNDRV_READ_CR_MIN_SIZE = 4160;

// Sniffer reset codes.
constexpr uint32_t PNDRV_RESET_TO_DEFAULTS = 35;
constexpr uint32_t PNDRV_RESET_AFTER_FACTORY_DEFAULT = 36;

// Answer of the list and detail requests in the u16 at byte 2: the caller writes
// PNDRV_ANSWER_PENDING, the controller answers 0 done, 6 more data than fitted, 10 not
// available; other values are failures.
constexpr uint16_t PNDRV_ANSWER_PENDING = 0x49;
constexpr uint16_t PNDRV_ANSWER_DONE = 0;
constexpr uint16_t PNDRV_ANSWER_MORE_DATA = 6;
constexpr uint16_t PNDRV_ANSWER_NOT_AVAILABLE = 10;

// Results of the functions that report on their own.
constexpr int PNDRV_VALUE_FAILED = 72;
constexpr int PNDRV_EXCHANGE_FAILED = 73;
constexpr int PNDRV_BUFFER_TOO_SMALL = 82;

// Handle.
// Opens "/dev/pndrv" on first use and counts one more user: 0, or -1 when it cannot be opened.
int PNDrvOpen();
// Drops one user; the last one closes the device. Nothing while it is closed.
void PNDrvClose();
// 1 while no handle is open.
int PNDrvIsNotOpen();
// One ioctl on the handle; size is the record's length as the caller works it out. -1 when the
// device is closed, else the ioctl's result.
int PNDrvCall(uint32_t request, void* buffer, uint32_t size);

// Named operations; each returns the call's result unless it says otherwise.
int PNDrvSSetCopyImage(uint8_t* image); // PNDRV_COPY_IMAGE_SIZE bytes, port in the u32 at 4
int PNDrvSPreparePort(uint32_t port);
int PNDrvSReset(uint32_t code);
int PNDrvSSetFactoryMode(uint32_t value);
int PNDrvSRequest(uint8_t* request); // PNDRV_REQUEST_SIZE bytes
// Subslot list: head with the u16 count at byte 4, (count + 1) x 16 bytes.
int PNDrvSGetSubslots(uint8_t* list);
int PNDrvSStartConfig(uint8_t* image); // PNDRV_SNIFFER_IMAGE_SIZE bytes
int PNDrvSConfigBegin();
int PNDrvSConfigEnd();
int PNDrvSWriteLastConfig(uint8_t* image);
int PNDrvSCheckDevices(uint8_t* image);
int PNDrvSGetStatistics(uint8_t* statistics); // PNDRV_STATISTICS_SIZE bytes
// Version record: the caller puts the room for the text into the first u16, the controller its
// length; the text stands at byte 8; 24 + room bytes.
int PNDrvSGetVersion(uint8_t* record);
int PNDrvSWaitCopyMachine(uint32_t* value);
// Device list: u16 count at 6, 32 + 48 x count bytes.
int PNDrvSGetDevList(uint8_t* list);
int PNDrvSGetDev(uint8_t* record);   // PNDRV_DEV_SIZE bytes
int PNDrvSGetAR(uint8_t* record);    // PNDRV_AR_SIZE bytes
int PNDrvSGetState(uint8_t* record); // PNDRV_STATE_SIZE bytes
// Data read into a buffer of size bytes: PNDRV_BUFFER_TOO_SMALL without a call when the buffer
// is smaller than PNDRV_READ_CR_MIN_SIZE.
int PNDrvSReadCR(uint8_t* buffer, uint32_t size);

// Requests the driver calls by number.
// Debug size (u16), 0 on failure.
uint16_t PNDrvGetDebugSize();
// Data exchange (PNDRV_IOCTL_EXCHANGE or PNDRV_IOCTL_EXCHANGE_TEXT): record with the data length
// in word 2 and a status word at byte 16, 24 + length bytes. PNDRV_EXCHANGE_FAILED when the call
// fails, else the status word the controller left; the record's word keeps the caller's value.
// The text form sets the last data byte to 0 first.
int PNDrvDataExchange(uint32_t request, uint8_t* record);
// Controller value (PNDRV_IOCTL_GET_VALUE), 0 on failure.
uint32_t PNDrvGetValue();
// Controller value for 64 (PNDRV_IOCTL_QUERY_VALUE): PNDRV_VALUE_FAILED when the call fails.
uint32_t PNDrvQueryValue();

#endif
