// The framed binary messages qtx exchanges besides command files:
// - the frames of the PROFINET sniffer's diagnostic port 999 (QTXPnDiagFrame.h): an 8-byte
//   head whose u16 at offset 4 is the frame length with the head (magic, command and result
//   are the other head fields, passed through as they are);
// - VESK command frames (12-byte head) and their replies (16-byte head, i32 result at 12),
//   whose i32 at offset 8 is the payload length without the head.
//
// A frame is read in two steps, the head and then the payload the head announces; the length
// is checked against the buffer of one frame (65536 bytes) before anything else is read, so a
// head from a file or a peer can never make the reader overrun or wait for more than it may
// take. The same reader serves request files and answers.
#ifndef TOOLS_FRAMES_H
#define TOOLS_FRAMES_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// Largest frame, head included.
constexpr size_t TOOLS_FRAME_BUFFER = 65536;

struct CToolsFrameFormat
{
    size_t uHeadBytes;    // bytes of the head
    size_t uLengthOffset; // where the length field lies in the head
    bool bLength16;       // u16 length field, else i32
    bool bLengthWithHead; // the length counts the head too
};

// Diagnostic frames of port 999.
extern const CToolsFrameFormat tDiagFrame;
// VESK frames: commands and replies.
constexpr size_t TOOLS_VESK_COMMAND_HEAD_BYTES = 12;
constexpr size_t TOOLS_VESK_REPLY_HEAD_BYTES = 16;
constexpr size_t TOOLS_VESK_RESULT_OFFSET = 12;
extern const CToolsFrameFormat tVeskCommandFrame;
extern const CToolsFrameFormat tVeskReplyFrame;

// Payload bytes behind the head (format.uHeadBytes bytes at head); false when the length field
// states less than the head or a frame longer than TOOLS_FRAME_BUFFER.
bool FramePayloadLength(const CToolsFrameFormat& format, const unsigned char* head,
                        size_t& payload);

enum ToolsFrameResult
{
    TOOLS_FRAME_OK,
    TOOLS_FRAME_SHORT,     // fewer bytes came than the head or its length asks for
    TOOLS_FRAME_BAD_LENGTH // the head's length does not fit a frame
};

// Reads one frame through read(buffer, count), which returns how many of the count bytes it
// delivered (fewer only at the end). frame holds head and payload afterwards (on failure what
// was read).
ToolsFrameResult ReadFrame(const CToolsFrameFormat& format,
                           const std::function<size_t(unsigned char*, size_t)>& read,
                           std::vector<unsigned char>& frame);

// i32 little-endian at an offset of a frame (0 when the frame is too short).
int32_t FrameI32(const std::vector<unsigned char>& frame, size_t offset);

#endif
