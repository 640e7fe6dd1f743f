// Fuzz target: what the service tool qtx reads from peers and files: progress datagrams, the
// framed answers of the diagnostic port and of VESK targets (read in pieces as they come off a
// connection), and binary command replies shown by its dump.
//
// Input: byte 0 picks the reader (and, for frames, the piece size); the rest is the input.
// A frame that reads as whole must be exactly head plus announced payload, within one frame
// buffer, and hold the input's bytes; a decoded progress text never reaches beyond the datagram.
#include "FuzzSupport.h"
#include "QTXProgressRecord.h"
#include "QTXTools.h"
#include "ToolsFrames.h"

#include <algorithm>
#include <cstring>

using kovefuzz::Fail;

namespace
{
void CheckFrame(const CToolsFrameFormat& format, const uint8_t* data, size_t size, size_t piece)
{
    size_t position = 0;
    auto source = [&](unsigned char* out, size_t count)
    {
        // A connection delivers what it has, a piece at a time.
        size_t got = 0;
        while (got < count && position < size)
        {
            size_t n = std::min({count - got, size - position, piece});
            std::memcpy(out + got, data + position, n);
            position += n;
            got += n;
        }
        return got;
    };
    std::vector<unsigned char> frame;
    ToolsFrameResult result = ReadFrame(format, source, frame);
    if (frame.size() > TOOLS_FRAME_BUFFER || frame.size() > size)
        Fail("a frame larger than its buffer or its input");
    if (std::memcmp(frame.data(), data, frame.size()) != 0)
        Fail("a frame that does not hold the bytes that came");
    if (result == TOOLS_FRAME_OK)
    {
        size_t payload = 0;
        if (!FramePayloadLength(format, frame.data(), payload) ||
            frame.size() != format.uHeadBytes + payload)
            Fail("a whole frame whose length disagrees with its head");
    }
    else if (result == TOOLS_FRAME_SHORT && size >= format.uHeadBytes + TOOLS_FRAME_BUFFER)
        Fail("a short frame from an input longer than any frame");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t selector = data[0];
    ++data;
    --size;
    const size_t piece = 1 + (selector >> 2);
    switch (selector & 3)
    {
    case 0:
    {
        QTXProgressRecord record;
        if (DecodeProgressRecord(data, size, record) &&
            (record.sText.size() > QTX_PROGRESS_MAX_TEXT ||
             record.sText.size() + QTX_PROGRESS_HEAD_BYTES > size ||
             record.sText.find('\0') != std::string::npos))
            Fail("a progress text beyond its datagram");
        break;
    }
    case 1:
        CheckFrame(tDiagFrame, data, size, piece);
        break;
    case 2:
        CheckFrame((selector & 4) ? tVeskReplyFrame : tVeskCommandFrame, data, size, piece);
        break;
    default:
        DumpBinCommand(data, size);
        break;
    }
    return 0;
}
