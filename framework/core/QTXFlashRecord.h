// Records in the flash partitions. The hub, the updater and the service tool keep data in the
// flash as records: a 12-byte head (a 4-character tag, 4 zero bytes, the length of the data as a
// 32-bit little-endian word) followed by the data. The hub stores its configuration archive as
// "KCFG" at the start of "/dev/mtd_data"; the update partition "/dev/mtd_update" holds the
// updater's result record "FREP" (the first word of its data is the distance from the start of
// the record to the record behind it) and the packed compatibility list "COMB".
//
// The head is read and written byte by byte, so the layout is the same on every processor.
// These functions work through the platform layer and report by return value; they neither
// throw nor log.
#ifndef QTX_FLASH_RECORD_H
#define QTX_FLASH_RECORD_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>

constexpr size_t QTX_FLASH_RECORD_HEAD_BYTES = 12;

struct QTXFlashRecordHead
{
    char acTag[5] = {}; // the four tag characters and a terminating zero
    uint32_t uZero = 0; // 0 in a valid head
    uint32_t uLength = 0;
};

void EncodeFlashRecordHead(const char* tag, uint32_t length,
                           unsigned char head[QTX_FLASH_RECORD_HEAD_BYTES]);
QTXFlashRecordHead DecodeFlashRecordHead(const unsigned char head[QTX_FLASH_RECORD_HEAD_BYTES]);
// True when the head carries the tag and its second word is 0.
bool IsFlashRecord(const QTXFlashRecordHead& head, const char* tag);

// Reads or writes count bytes at the descriptor's position (a partition or any file), going on
// after a short transfer or an interruption; the number of bytes done (less at the end of the
// partition or on an error, with errno set).
size_t FlashReadFully(int fd, void* data, size_t count);
size_t FlashWriteFully(int fd, const void* data, size_t count);

// Writes the record (head and data) at the start of an open partition. 0 when every byte was
// written, else the errno of the failure (EIO for a short write).
int WriteFlashRecord(int fd, const char* tag, const std::string& data);

// Records of the update partitions are written in blocks of 64 pages; the last block of a record
// is padded with 0xFF to a whole page, counted from the start of that block (the head belongs to
// the first block).
constexpr size_t QTX_FLASH_PAGE_BYTES = 1056;
constexpr size_t QTX_FLASH_BLOCK_BYTES = 64 * QTX_FLASH_PAGE_BYTES;

// Bytes that a record of `length` data bytes takes in an update partition, padding included.
uint64_t FlashRecordPaddedBytes(uint64_t length);

// Writes a record at the partition's current position, its data read from the source
// descriptor, in blocks (fsync after each whole one; progress(bytes of data written) after each
// block). room is what the partition has left from the position: the record must fit in it, and
// its padding stops at the partition's end. True when the whole record was read and written.
bool WriteFlashRecordBlocks(int partition, int source, uint32_t length, const char* tag,
                            uint64_t room, const std::function<void(uint64_t)>& progress);

#endif
