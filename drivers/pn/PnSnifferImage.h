// PnSnifferSignalRemap: one sniffer configuration image for the PROFINET controller, built from
// a binary sniffer configuration: the devices to watch, the controllers, raw communication
// relations, the signals taken from the sniffed traffic, the I/O records with their slot
// scripts, device-number and FPGA slot-index records and the diagnosis values. The driver keeps
// two and builds into the one that is not in use.
//
// The image is a 0x22000-byte record in the controller's layout (little-endian), written field
// by field. Header:
//   0  marks 0, 32, 2, 0      4 u32 creation time      8 u32 transfer time
//   16 u16 signal records     18 u16 I/O records       20 u16 first diagnosis record + 1
//   21 u8 input I/O records   22 u8 devices            23 u8 controllers
//   24 u16 slot-script words  26 u16 slot data bytes   28 u16 device-number records
//   30 u8 raw relations       32..38 u16 relation slots by kind of I/O record, 46 their sum
//   40 u16 FPGA slot-index records   44 u8 relation-usage records
//   48, 50 u16 slot values and status values      52 u16 error stage (0xFFFF reset, 0 done)
//   54 u16 failing record, 56 u16 detail, 58 i16 error code, 60 u16 first diagnosis record
// Zones: devices 256 (256 bytes each, 64), controllers 16640 (256, 15), raw relations 20480
// (16, 128), relation-usage records 22528 (4, 128), signal records 24576 (16, 2048), I/O
// records 57344 (32, 1024), device-number records 90112 (128, 64), slot script 98304 (4096
// u16 words), FPGA slot-index records 106496 (32 each).
//
// Signal record (16 bytes): u16 0 bit position (bit 14: single bit); byte 2 flags (bit 4 slot
// value, bit 5 or 6 by the entry's flag, bit 7 and bits 0-3 the controller); byte 4 controller
// of a sniffer value; byte 5 sniffer value class; u16 4 the entry's bytes 10-11 (slot values);
// u16 6 slot field; byte 6 / 7 relation and its kind (status values); byte 8 device index (64:
// status value); byte 9 width (bit 7: diagnosis value); u16 10 place in the extracted slot
// data or remap index; u16 12 signal number; u16 14 I/O record, usage record or status address.
//
// Relation-usage record (4 bytes): byte 0 device index, byte 1 controller number, byte 2 use (0
// input figures, 1 output figures, 2 connection state only), byte 3 its number.
//
// Functions return 0 or a negative configuration error code and never throw.
#ifndef PN_SNIFFER_IMAGE_H
#define PN_SNIFFER_IMAGE_H

#include <cstdint>
#include <memory>
#include <vector>

constexpr uint32_t PN_IMAGE_SIZE = 0x22000;
constexpr uint32_t PN_IMAGE_MAX_DEVICES = 64;
constexpr uint32_t PN_IMAGE_MAX_CONTROLLERS = 15;
constexpr uint32_t PN_IMAGE_MAX_RAW_RELATIONS = 128;
constexpr uint32_t PN_IMAGE_MAX_SIGNALS = 2048;
constexpr uint32_t PN_IMAGE_MAX_IO_RECORDS = 1024;
constexpr uint32_t PN_IMAGE_DEVICE_OFFSET = 256;
constexpr uint32_t PN_IMAGE_CONTROLLER_OFFSET = 16640;
constexpr uint32_t PN_IMAGE_RAW_OFFSET = 20480;
constexpr uint32_t PN_IMAGE_USAGE_OFFSET = 22528;
constexpr uint32_t PN_IMAGE_SIGNAL_OFFSET = 24576;
constexpr uint32_t PN_IMAGE_IO_OFFSET = 57344;
constexpr uint32_t PN_IMAGE_DEVNUM_OFFSET = 90112;
constexpr uint32_t PN_IMAGE_SCRIPT_OFFSET = 98304;
constexpr uint32_t PN_IMAGE_SLOT_INDEX_OFFSET = 106496;

// Error codes of the image.
constexpr int PN_ERR_ENTRIES = -1001;
constexpr int PN_ERR_TOO_MANY_DEVICES = -3102;
constexpr int PN_ERR_TOO_MANY_CONTROLLERS = -3103;
constexpr int PN_ERR_TOO_MANY_IO_RECORDS = -3104;
constexpr int PN_ERR_SLOT_DATA_SIZE = -3105;
constexpr int PN_ERR_TOO_MANY_RELATIONS = -3106;
// A relation of a device with values of a second slot.
constexpr int PN_ERR_RELATION_SLOT = -3107;
constexpr int PN_ERR_RELATION_SUM = -3108;
constexpr int PN_ERR_TOO_MANY_RAW_RELATIONS = -3109;
// -3110 (an FPGA slot-index record that names another device) is never produced: the slot-index
// records are looked up by device and slot, so a record always belongs to the I/O record's device.
constexpr int PN_ERR_SLOT_INDEX_KIND = -3111;
constexpr int PN_ERR_TOO_MANY_USAGES = -3113;
constexpr int PN_ERR_BIT_OFFSET = -18102;
constexpr int PN_ERR_CONTROLLER_IDENT = -18110;
constexpr int PN_ERR_EMPTY_NAME = -18112;
constexpr int PN_ERR_MEMORY_RANGE = -18113;
constexpr int PN_ERR_DEVICE_INDEX = -18114;
constexpr int PN_ERR_CONTROLLER_NUMBER = -18115;
constexpr int PN_ERR_RAW_RELATION = -18118;
constexpr int PN_ERR_MAC_ADDRESS = -18119;
constexpr int PN_ERR_DEVICE_IDENT = -18120;
constexpr int PN_ERR_CONTROLLER_VERDICT = -19200;

class PnSnifferSignalRemap
{
public:
    PnSnifferSignalRemap();
    virtual ~PnSnifferSignalRemap();
    PnSnifferSignalRemap(const PnSnifferSignalRemap&) = delete;
    PnSnifferSignalRemap& operator=(const PnSnifferSignalRemap&) = delete;

    // 0, or -74 when a buffer could not be allocated.
    int Status() const { return m_iStatus; }
    const uint8_t* Image() const { return m_pImage.get(); }
    uint8_t* Image() { return m_pImage.get(); }

    void Reset();
    // `count` 256-byte device entries; with `checkByController` the controller judges them too.
    int AddDevices(const uint8_t* entries, uint32_t count, bool checkByController);
    int AddControllers(const uint8_t* entries, uint32_t count);
    int AddRawRelations(const uint8_t* entries, uint32_t count);
    // A 12-byte signal entry of access 2 (source kinds 0, 2, 3) with its signal number.
    int AddSnifferSignal(const uint8_t* entry, uint32_t number, uint32_t widthBits);

    // The entry codes of the last AddDevices or AddControllers.
    const std::vector<int16_t>& Errors() const { return m_vErrors; }

    // -1 when absent; 0x80000000 + status address for a status value; else the place in the
    // extracted slot data (bits 0-14) with the I/O record in bits 16-25.
    int64_t FindSnifferValue(uint32_t number, bool digital);
    void MarkDiagnosisValue(uint32_t number, bool digital, uint32_t remapIndex);
    // Starts the iteration of the diagnosis values.
    void FirstDiagnosisValue() { m_uDiagIterator = 0; }
    // The next diagnosis value: its remap index, memory address (bits) and width; false at the end.
    bool NextDiagnosisValue(uint32_t* remapIndex, int32_t* address, uint32_t* widthBits);

    // Completes the image; 0 or the code (the stage, record and code stay in the header).
    int Complete();
    // Hands a complete image to the controller: 0, the error stage, or the request's result.
    int StartAndFinish();
    int WriteLastConfiguration();

    uint16_t Get16(uint32_t offset) const;
    uint8_t Get8(uint32_t offset) const { return m_pImage[offset]; }

private:
    void Put16(uint32_t offset, uint16_t value);
    uint8_t* Signal(uint32_t i) { return m_pImage.get() + PN_IMAGE_SIGNAL_OFFSET + 16 * i; }
    int Fail(uint16_t stage, uint32_t index, uint32_t detail, int code);
    void Stamp(uint32_t offset);
    int BuildIoRecords(uint32_t signals);
    int BuildScripts(uint32_t ioRecords);
    int BuildDeviceRecords(uint32_t ioRecords);
    int NumberRelationUsages(uint32_t signals);

    std::unique_ptr<uint8_t[]> m_pImage;
    std::vector<int16_t> m_vErrors;
    int m_iStatus = 0;
    uint32_t m_uDiagIterator = 0;
    uint32_t m_uSearch = 0;
};

#endif
