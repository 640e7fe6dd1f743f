// The FPGA's copy machine of one monitor port: a program of 32-bit instructions that gathers
// the values a sniffer configuration asks for (bytes of the sniffed slots' I/O data, slot status
// words, special values, memory words) into the port's 4096-byte destination buffer. The remap
// areas then address the values by their place in that buffer.
//
// A table is a 19720-byte record, laid out byte by byte (little-endian):
//   0     u8 slot-entry count (0 to 64)      1  u8 port number (0 or 1)
//   2     u16 destination position in bytes  4  64 slot entries of 52 bytes
//   3332  u16 digital bits placed            3334 u16 program word count
//   3336  the program: 4096 u32 words
// Slot entry: u8 slot number (0 free), u8 lowest used byte offset (255 new), u8 highest, u8
// listed special values; u16 data and values length, u16 data position, u16 status-word
// position, u16 block length; 8 bytes usage map (one bit per 4-byte unit); 8 cells of
// {u16 identifier, u16 position in bits}.
//
// Functions return 0 or a negative configuration error code; they never throw.
#ifndef PN_COPY_MACHINE_H
#define PN_COPY_MACHINE_H

#include <cstdint>

constexpr uint32_t PN_CPM_TABLE_SIZE = 19720;
constexpr uint32_t PN_CPM_HEAD_SIZE = 3336;
constexpr uint32_t PN_CPM_SLOTS = 64;
constexpr uint32_t PN_CPM_PROGRAM_WORDS = 4096;
constexpr uint32_t PN_CPM_DESTINATION_SIZE = 4096;
// Position a special value of the port's end position gets until the program is closed.
constexpr int32_t PN_CPM_END_MARKER = 0xFFF;

// Error codes of the copy machine.
constexpr int PN_ERR_SLOT_TABLE_FULL = -3100;
constexpr int PN_ERR_CPM_FULL = -3101;
constexpr int PN_ERR_RECORDS_FULL = -1103;
constexpr int PN_ERR_SLOT_NUMBER = -18101;
constexpr int PN_ERR_SOURCE_KIND = -18103;
constexpr int PN_ERR_UNKNOWN_SPECIAL = -18104;
constexpr int PN_ERR_WIDTH = -18105;
constexpr int PN_ERR_NO_SLOT_ENTRY = -18106;
constexpr int PN_ERR_OUTSIDE_SLOT_RANGE = -18107;
constexpr int PN_ERR_SPECIAL_NOT_LISTED = -18108;
constexpr int PN_ERR_TOO_MANY_SPECIALS = -18109;

// One row of the special-value table.
struct PnSpecialValue
{
    uint16_t usId;
    uint8_t ucSize; // bytes
    uint32_t ulAddress;
    uint32_t ulFlags;
};
constexpr uint32_t PN_SPECIAL_FROM_SOURCE = 0x10;
constexpr uint32_t PN_SPECIAL_FROM_MEMORY = 0x20;
constexpr uint32_t PN_SPECIAL_IN_SLOT_BLOCK = 0x40;
constexpr uint32_t PN_SPECIAL_IN_STATUS_WORD = 0x80;
constexpr uint32_t PN_SPECIAL_END_POSITION = 0x100;
constexpr uint32_t PN_SPECIAL_PART_BYTES = 0x400;
constexpr uint32_t PN_SPECIAL_BITS_ONLY = 0x800;
constexpr uint16_t PN_SPECIAL_SLOT_DIAGNOSIS = 0x1001;

// The row of an identifier, or null.
const PnSpecialValue* PnFindSpecialValue(uint16_t id);

// Clears the head and keeps the port number.
void CpmReset(uint8_t* table, uint8_t port);
uint8_t CpmPort(const uint8_t* table);
uint16_t CpmWordCount(const uint8_t* table);
uint32_t CpmWord(const uint8_t* table, uint32_t index);
void CpmSetWord(uint8_t* table, uint32_t index, uint32_t word);
uint16_t CpmDestination(const uint8_t* table);

// Notes that bytes [offset, offset + length) of a slot's data are used.
int CpmRegisterSlotRange(uint8_t* table, uint8_t slot, uint32_t offset, uint32_t length);
// Lists a special value that the slot block copies (identifiers with PN_SPECIAL_IN_SLOT_BLOCK).
int CpmRegisterSpecialValue(uint8_t* table, uint16_t id, uint32_t slot);
// Places a value of a 12-byte signal entry (source kind in bits 4-5 of byte 3) of widthBits
// bits; *position receives its place in the destination in bits.
int CpmPlaceValue(uint8_t* table, const uint8_t* entry, uint32_t widthBits, int32_t* position);
// Sorts the slot entries by slot number, free entries last.
void CpmSort(uint8_t* table);
// Appends the block of every slot entry to the program.
int CpmGenerateSlotBlocks(uint8_t* table);
// Appends the closing special-source instruction and the end word; *endBits receives the end
// position's place in bits.
int CpmClose(uint8_t* table, int32_t* endBits);
// Writes the slot length table (one u32 per slot 1 to 32 at byte 256 + 4 x slot) into an image
// half of the controller.
void CpmWriteSlotLengths(const uint8_t* table, uint8_t* imageHalf);

#endif
