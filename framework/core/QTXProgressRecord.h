// The progress record "#P": one UDP datagram that the updater and long file transfers send to
// tell how far they are, and that the service tool shows. Little-endian, laid out byte by byte:
//
//   offset 0   '#', 'P'
//          2   u16 record length (text length + 16)
//          4   u16 total number of parts
//          6   u16 current part
//          8   f32 fraction of the current part done (0 to 1)
//         12   the text, zero-terminated, at most 239 characters, then filler up to the length
//
// Encoding and decoding live here once, so the sender (CQTXCommunication::SendProgressMessage)
// and every reader agree. The decoder trusts nothing of a datagram: it reads only the bytes
// that arrived.
#ifndef QTX_PROGRESS_RECORD_H
#define QTX_PROGRESS_RECORD_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Bytes in front of the text.
constexpr size_t QTX_PROGRESS_HEAD_BYTES = 12;
// Length of a record beyond its text (head, zero byte and filler).
constexpr size_t QTX_PROGRESS_OVERHEAD = 16;
// Longest text a record carries.
constexpr size_t QTX_PROGRESS_MAX_TEXT = 239;

struct QTXProgressRecord
{
    uint16_t uLength = 0; // the record length its head states
    uint16_t uTotal = 0;
    uint16_t uCurrent = 0;
    float fFraction = 0;
    std::string sText;
};

// The record for the values; the text is cut to QTX_PROGRESS_MAX_TEXT characters.
std::vector<uint8_t> EncodeProgressRecord(const std::string& text, int current, int total,
                                          double fraction);

// True when the datagram is a progress record: it begins with "#P" and holds the whole head
// (12 bytes). The text is taken up to its zero byte, the end of the datagram or
// QTX_PROGRESS_MAX_TEXT characters, whichever comes first. A datagram shorter than the head
// is no record (false), so nothing behind what arrived is read.
bool DecodeProgressRecord(const void* data, size_t length, QTXProgressRecord& record);

#endif
