// Reading the framed messages of the diagnostic port and of VESK targets (see ToolsFrames.h).
#include "ToolsFrames.h"

#include "QTXBinConfig.h"
#include "QTXPnDiagFrame.h"

// The length field of the sniffer's frame head (QTXPnDiagFrame.h) lies behind magic and command.
const CToolsFrameFormat tDiagFrame = {PNDIAG_HEAD_SIZE, 4, true, true};
const CToolsFrameFormat tVeskCommandFrame = {TOOLS_VESK_COMMAND_HEAD_BYTES, 8, false, false};
const CToolsFrameFormat tVeskReplyFrame = {TOOLS_VESK_REPLY_HEAD_BYTES, 8, false, false};

bool FramePayloadLength(const CToolsFrameFormat& format, const unsigned char* head, size_t& payload)
{
    const unsigned char* field = head + format.uLengthOffset;
    int64_t length = format.bLength16
                         ? static_cast<int64_t>(QtxBinGetU16(field))
                         : static_cast<int64_t>(static_cast<int32_t>(QtxBinGetU32(field)));
    if (format.bLengthWithHead)
        length -= static_cast<int64_t>(format.uHeadBytes);
    if (length < 0 ||
        length + static_cast<int64_t>(format.uHeadBytes) > static_cast<int64_t>(TOOLS_FRAME_BUFFER))
        return false;
    payload = static_cast<size_t>(length);
    return true;
}

ToolsFrameResult ReadFrame(const CToolsFrameFormat& format,
                           const std::function<size_t(unsigned char*, size_t)>& read,
                           std::vector<unsigned char>& frame)
{
    frame.assign(format.uHeadBytes, 0);
    size_t got = read(frame.data(), format.uHeadBytes);
    if (got < format.uHeadBytes)
    {
        frame.resize(got);
        return TOOLS_FRAME_SHORT;
    }
    size_t payload = 0;
    if (!FramePayloadLength(format, frame.data(), payload))
        return TOOLS_FRAME_BAD_LENGTH;
    frame.resize(format.uHeadBytes + payload);
    got = payload ? read(frame.data() + format.uHeadBytes, payload) : 0;
    if (got < payload)
    {
        frame.resize(format.uHeadBytes + got);
        return TOOLS_FRAME_SHORT;
    }
    return TOOLS_FRAME_OK;
}

int32_t FrameI32(const std::vector<unsigned char>& frame, size_t offset)
{
    if (frame.size() < offset + 4)
        return 0;
    return static_cast<int32_t>(QtxBinGetU32(frame.data() + offset));
}
