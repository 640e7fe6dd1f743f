// Reader of the binary "ForDuf" module description (the form that CQTXGenerateForDuf writes):
// finds one signal list by its name and hands out its head, its address part and its signal
// records. The description comes from another process (a module driver's AddressTable answer or
// the file cached from it), so every size and count is checked against the bytes at hand before
// anything is read or allocated; a malformed description gives a status, never an overrun.
//
// Layout, little-endian: the 16-byte "<?bin" head (tag 0x101), then per list a record of `size`
// bytes {u32 size, u8 kind, u8 direction, u16 count, char name[16], address part} followed by
// count signal records of 12 bytes {u16 number, u16 length, u32 offset, u8 type, 3 zero bytes}.
// The address part of kind 1: u8 global, system and module event, u8 bus masters n, u32 base
// address, u32 offset per slot, then n x {u32 offset register, u32 transfers t,
// t x {u32 source, u32 destination, u32 length}}; of kind 2: u8 global and system event, two
// bytes, u32 base address, u32 length.
#ifndef QTX_READ_FOR_DUF_H
#define QTX_READ_FOR_DUF_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Outcome of QTXForDufFindList.
enum QTXForDufStatus
{
    QTX_FORDUF_OK = 0,
    QTX_FORDUF_NOT_BINARY = 1, // shorter than the head, or no "<?bin" head
    QTX_FORDUF_WRONG_TAG = 2,  // a binary document with another tag than 0x101
    QTX_FORDUF_CORRUPT = 3,    // a list head or signal record that the data cut short, or a
                               // size that cannot hold the list head
    QTX_FORDUF_NO_LIST = 4     // the lists end without one of that name
};

struct QTXForDufTransfer
{
    uint32_t uSource = 0;
    uint32_t uDestination = 0;
    uint32_t uLength = 0;
};

struct QTXForDufBusMaster
{
    uint32_t uOffsetRegister = 0; // 0xFFFFFFFF: none
    std::vector<QTXForDufTransfer> vTransfers;
};

struct QTXForDufSignal
{
    uint16_t uNumber = 0;
    uint16_t uLength = 0; // bits
    uint32_t uOffset = 0; // bits
    uint8_t uType = 0;    // code of aVraTypeItems
};

struct QTXForDufList
{
    uint32_t uSize = 0;
    uint8_t uKind = 0;
    uint8_t uDirection = 0; // 0 input, 1 output
    std::string sName;
    std::vector<QTXForDufSignal> vSignals;
    // The address part of kinds 1 and 2; set only when the record holds it whole, with every
    // bus-master block and transfer its counts announce.
    bool bAddressPart = false;
    uint8_t uGlobalEvent = 0;
    uint8_t uSystemEvent = 0;
    uint8_t uModuleEvent = 0;
    uint32_t uBaseAddress = 0;
    uint32_t uOffsetPerSlot = 0; // kind 2: the length of the range
    std::vector<QTXForDufBusMaster> vBusMasters;
};

constexpr uint16_t QTX_FORDUF_TAG = 0x101;
constexpr size_t QTX_FORDUF_HEAD_BYTES = 16;

// True when the bytes begin with the six bytes "<?bin" and zero.
bool QTXForDufIsBinaryHead(const unsigned char* data, size_t length);

// Looks for the list named `name` (compared without regard to case, the stored name up to its
// first zero byte or its 16th byte) in the description of `length` bytes and fills `list`.
QTXForDufStatus QTXForDufFindList(const unsigned char* data, size_t length, const std::string& name,
                                  QTXForDufList& list);

// True when a list record of `size` bytes holds everything its kind and counts describe.
bool QTXForDufRecordConsistent(const unsigned char* record, size_t size);

#endif
